// The window program: the updater as a desktop application.
#include <QApplication>
#include <QIcon>
#include <QPixmap>
#include <QStringList>

#include "app/window/frmmain.h"
#include "app/window/productpicture.h"

int main(int argc, char** argv) {
    // The switches are read as given, before the toolkit takes its own.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    QApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("QuarBSL"));
    QGuiApplication::setDesktopFileName(QStringLiteral("quarbsl"));
    QApplication::setWindowIcon(QIcon(QPixmap::fromImage(quarwin::ProductPicture(48))));

    TfrmMain window(arguments);
    window.show();
    return application.exec();
}
