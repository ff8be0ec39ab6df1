// Saves a picture of the main window as it looks after start-up:
// quarbsl-screenshot OUT.png [switches...]. Meant for the offscreen
// platform; the start-up version check and every message are answered
// without showing anything.
#include <QApplication>
#include <QElapsedTimer>
#include <QPixmap>

#include <cstdio>

#include "app/window/frmmain.h"
#include "web/web.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: quarbsl-screenshot OUT.png [switches...]\n");
        return 2;
    }
    QStringList switches;
    for (int i = 2; i < argc; ++i)
        switches << QString::fromLocal8Bit(argv[i]);

    QApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("QuarBSL"));
    TfrmMain window(switches);
    window.messageBoxHook = [](const quarwin::MessageBoxRequest& r) {
        std::fprintf(stderr, "quarbsl-screenshot: message \"%s\"\n", qPrintable(r.title));
        return QMessageBox::Ok;
    };
    window.Web()->askUserHook = [](const QString&, const QString&, bool, int) { return false; };
    window.show();
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 300)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    if (!window.grab().save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "quarbsl-screenshot: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
