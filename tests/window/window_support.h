// Shared pieces of the window tests: the application object, a private home
// for every test (settings, working folder), the answered message boxes and
// file dialogs, and pseudo-terminals that stand in for comm ports.
#pragma once

#include "qt_support.h"
#include "app/window/frmmain.h"
#include "web/web.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <deque>
#include <map>
#include <ostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Readable failure output for Qt strings.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace wintest {

using qttest::AppReady;
using qttest::EnsureApp;
using qttest::WaitFor;

// Lets the event loop run for a while.
inline void Pump(int ms) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

// A loopback port nothing listens on.
inline quint16 DeadPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

// A private home: HOME, the XDG folders and Qt's settings path point into a
// fresh folder; the web layer talks to a dead loopback port unless the test
// names a server.
class TempHome {
public:
    TempHome() {
        char tmpl[] = "/tmp/quarbsl-window-XXXXXX";
        const char* made = ::mkdtemp(tmpl);
        root = made ? made : "";
        config = root + "/config";
        data = root + "/data";
        ::setenv("HOME", root.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        ::setenv("XDG_DATA_HOME", data.c_str(), 1);
        ::unsetenv("QUARBSL_EXTRA_PORTS");
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, QString::fromStdString(config));
        UseSoftwareHost(DeadPort());
    }
    ~TempHome() {
        if (!root.empty())
            std::system(("rm -rf '" + root + "'").c_str());
    }
    static void UseSoftwareHost(quint16 port) {
        qputenv("QUARBSL_SOFTWARE_HOST", QByteArray("127.0.0.1:") + QByteArray::number(port));
    }
    std::string WorkFolder() const { return data + "/Quarnel/QuarBSL"; }
    QString SettingsFile() const { return QString::fromStdString(config + "/Quarnel Devices, Inc/QuarBSL.conf"); }

    std::string root, config, data;
};

// A pseudo-terminal whose slave side is listed as a comm port.
class FakePort {
public:
    FakePort() {
        char name[128] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) == 0)
            path = name;
    }
    ~FakePort() {
        if (slave >= 0)
            ::close(slave);
        if (master >= 0)
            ::close(master);
    }
    // The name the port list uses ("pts/N").
    std::string Name() const { return path.rfind("/dev/", 0) == 0 ? path.substr(5) : path; }

    std::string path;
    int master = -1;
    int slave = -1;
};

inline void ListPorts(const std::vector<const FakePort*>& ports) {
    std::string list;
    for (const FakePort* p : ports)
        list += (list.empty() ? "" : ":") + p->path;
    ::setenv("QUARBSL_EXTRA_PORTS", list.c_str(), 1);
}

struct Shown {
    QString title;
    QString text;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
};

struct Chosen {
    QString title;
    QString filter;
    QString defaultSuffix;
    bool save;
};

// Answers every message box and file dialog of one window from a script and
// records what was asked.
class Desk {
public:
    std::vector<Shown> shown;
    std::vector<Chosen> chosen;
    std::deque<QMessageBox::StandardButton> buttons;  // answers of the next boxes
    std::deque<QString> paths;                        // answers of the next dialogs
    std::vector<std::pair<QString, QString>> webAsked;  // web window: title, message
    bool webYes = false;

    void Install(TfrmMain& w) {
        w.messageBoxHook = [this](const quarwin::MessageBoxRequest& r) {
            shown.push_back({r.title, r.text, r.icon, r.buttons});
            if (!buttons.empty()) {
                const QMessageBox::StandardButton b = buttons.front();
                buttons.pop_front();
                return b;
            }
            return r.defaultButton;
        };
        w.fileDialogHook = [this](const quarwin::FileDialogRequest& r) {
            chosen.push_back({r.title, r.filter, r.defaultSuffix, r.save});
            if (paths.empty())
                return QString();
            const QString p = paths.front();
            paths.pop_front();
            return p;
        };
        w.Web()->askUserHook = [this](const QString& m, const QString& t, bool yesNo, int) {
            webAsked.emplace_back(t, m);
            return yesNo && webYes;
        };
    }
    std::vector<QString> Titles() const {
        std::vector<QString> t;
        for (const Shown& s : shown)
            t.push_back(s.title);
        return t;
    }
};

// A window with its desk, shown, start-up done.
struct Window {
    explicit Window(const QStringList& args = {}) : w(args) {
        desk.Install(w);
        w.show();
        QCoreApplication::processEvents();
    }
    template <typename T>
    T* Find(const char* name) {
        return w.findChild<T*>(QString::fromLatin1(name));
    }
    QAction* Item(const char* name) { return Find<QAction>(name); }
    QStringList PortItems() {
        QStringList items;
        for (int i = 0; i < w.cbCommPort->count(); ++i)
            items << w.cbCommPort->itemText(i);
        return items;
    }

    TfrmMain w;
    Desk desk;
};

inline std::string ReadFile(const std::string& path) {
    QFile f(QString::fromStdString(path));
    if (!f.open(QIODevice::ReadOnly))
        return std::string();
    return f.readAll().toStdString();
}

// A small HTTP server on loopback: fixed bodies by path, requests recorded.
class TinyHttp {
public:
    // Paths and their bodies; set them before the first request arrives.
    std::map<QByteArray, QByteArray> bodies;

    // Serves from a thread of its own, so a request that the window makes
    // from inside a timer's nested event loop is answered whatever that
    // loop polls.
    TinyHttp() {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listener, 8) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            return;
        port = ntohs(addr.sin_port);
        worker = std::thread([this] { Serve(); });
    }
    ~TinyHttp() {
        stop = true;
        if (worker.joinable())
            worker.join();
        if (listener >= 0)
            ::close(listener);
    }
    TinyHttp(const TinyHttp&) = delete;
    TinyHttp& operator=(const TinyHttp&) = delete;

    quint16 Port() const { return port; }
    // The request paths so far, in order.
    std::vector<QByteArray> Paths() const {
        std::lock_guard<std::mutex> lock(mutex);
        return paths;
    }

private:
    void Serve() {
        while (!stop) {
            pollfd p{listener, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            QByteArray request;
            char chunk[1024];
            while (request.indexOf("\r\n\r\n") < 0 && request.size() < 65536) {
                pollfd q{fd, POLLIN, 0};
                if (::poll(&q, 1, 5000) <= 0)
                    break;
                const ssize_t n = ::read(fd, chunk, sizeof chunk);
                if (n <= 0)
                    break;
                request.append(chunk, static_cast<qsizetype>(n));
            }
            const QByteArray path = request.left(request.indexOf("\r\n")).split(' ').value(1);
            QByteArray body = "not here";
            bool ok = false;
            {
                std::lock_guard<std::mutex> lock(mutex);
                paths.push_back(path);
                auto found = bodies.find(path);
                if (found != bodies.end()) {
                    ok = true;
                    body = found->second;
                }
            }
            const QByteArray answer = QByteArray("HTTP/1.1 ") + (ok ? "200 OK" : "404 Not Found") +
                                      "\r\nContent-Type: text/plain\r\nContent-Length: " +
                                      QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
            qsizetype sent = 0;
            while (sent < answer.size()) {
                const ssize_t n = ::write(fd, answer.constData() + sent, static_cast<size_t>(answer.size() - sent));
                if (n <= 0)
                    break;
                sent += n;
            }
            ::shutdown(fd, SHUT_WR);
            ::close(fd);
        }
    }

    int listener = -1;
    quint16 port = 0;
    std::atomic<bool> stop{false};
    mutable std::mutex mutex;
    std::vector<QByteArray> paths;
    std::thread worker;
};

}  // namespace wintest
