// What the Qt tests share: one offscreen application for the whole test
// program, and a wait that keeps the event loop running.
#pragma once

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

namespace qttest {

inline void EnsureApp() {
    static int argc = 1;
    static char name[] = "quarbsl_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return new QApplication(argc, argv);
    }();
    (void)app;
}

// First member of a fixture: the application exists before the fixture's
// widgets, servers and sockets are made.
struct AppReady {
    AppReady() { EnsureApp(); }
};

// Lets the event loop run until done() or the bound passes.
template <typename Done>
bool WaitFor(Done done, int boundMs = 30000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > boundMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

}  // namespace qttest
