// Shared pieces of the web tests: the application object, the answered
// message dialogs, a small scripted HTTP server and PHP's built-in server.
#pragma once

#include "qt_support.h"
#include "web/web.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <gtest/gtest.h>

#include <sys/prctl.h>

#include <csignal>

#include <map>
#include <memory>
#include <vector>

using qttest::AppReady;
using qttest::EnsureApp;
using qttest::WaitFor;

struct Asked {
    QString message;
    QString title;
    bool yesNo;
    int kind;
};

inline bool operator==(const Asked& a, const Asked& b) {
    return a.message == b.message && a.title == b.title && a.yesNo == b.yesNo && a.kind == b.kind;
}

inline std::ostream& operator<<(std::ostream& os, const Asked& a) {
    return os << "{title \"" << a.title.toStdString() << "\", kind " << a.kind << (a.yesNo ? ", yes/no" : ", ok")
              << ", message \"" << a.message.toStdString() << "\"}";
}

// Records every message the window shows and answers questions with `yes`.
struct AskRecorder {
    std::vector<Asked> asked;
    bool yes = false;
    void Install(TfrmWeb& web) {
        web.askUserHook = [this](const QString& m, const QString& t, bool yn, int k) {
            asked.push_back({m, t, yn, k});
            return yn && yes;
        };
    }
};

// A port on loopback that nothing listens on.
inline quint16 DeadPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

inline void UseSoftwareHost(quint16 port) {
    qputenv("QUARBSL_SOFTWARE_HOST", QByteArray("127.0.0.1:") + QByteArray::number(port));
}

// HTTP/1.1 server on loopback answering from a table of paths; records the
// request line and headers of every request. Unknown paths get 404.
class ReplyServer {
public:
    struct Reply {
        int status = 200;
        QByteArray body;
        QByteArray location;  // for redirects
    };
    struct Request {
        QByteArray method;
        QByteArray path;
        std::map<QByteArray, QByteArray> headers;  // names in lower case
    };

    std::map<QByteArray, Reply> replies;
    std::vector<Request> requests;

    ReplyServer() {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = server.nextPendingConnection())
                Serve(socket);
        });
    }
    quint16 Port() const { return server.serverPort(); }

private:
    void Serve(QTcpSocket* socket) {
        auto buffer = std::make_shared<QByteArray>();
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
            buffer->append(socket->readAll());
            const qsizetype end = buffer->indexOf("\r\n\r\n");
            if (end < 0)
                return;
            const QList<QByteArray> lines = buffer->left(end).split('\n');
            Request request;
            const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
            request.method = first.value(0);
            request.path = first.value(1);
            for (qsizetype i = 1; i < lines.size(); ++i) {
                const qsizetype colon = lines[i].indexOf(':');
                if (colon > 0)
                    request.headers[lines[i].left(colon).trimmed().toLower()] = lines[i].mid(colon + 1).trimmed();
            }
            requests.push_back(request);
            buffer->clear();

            auto found = replies.find(request.path);
            const Reply reply = found != replies.end() ? found->second : Reply{404, "not here", {}};
            QByteArray head = "HTTP/1.1 " + QByteArray::number(reply.status) + " X\r\nContent-Type: text/plain\r\n";
            if (!reply.location.isEmpty())
                head += "Location: " + reply.location + "\r\n";
            head += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\nConnection: close\r\n\r\n";
            socket->write(head + reply.body);
            socket->disconnectFromHost();
        });
    }

    QTcpServer server;
};

// PHP's built-in web server over tests/web/php, writing what the feedback
// script received to recordDir/record.json.
class PhpServer {
public:
    bool Start(const QString& recordDir) {
        port = DeadPort();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("FEEDBACK_RECORD_DIR"), recordDir);
        process.setProcessEnvironment(env);
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(QProcess::nullDevice());
        // The server goes with the test process, even when that one crashes.
        process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
        process.start(QStringLiteral("php"),
                      {QStringLiteral("-d"), QStringLiteral("upload_max_filesize=32M"), QStringLiteral("-d"),
                       QStringLiteral("post_max_size=64M"), QStringLiteral("-S"),
                       QStringLiteral("127.0.0.1:%1").arg(port), QStringLiteral("-t"),
                       QStringLiteral(QUARBSL_WEB_DOCROOT)});
        if (!process.waitForStarted(10000))
            return false;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 15000) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, port);
            if (probe.waitForConnected(500))
                return true;
            if (process.state() != QProcess::Running)
                return false;
            QThread::msleep(50);
        }
        return false;
    }
    void Stop() {
        if (process.state() == QProcess::NotRunning)
            return;
        process.terminate();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    ~PhpServer() { Stop(); }
    quint16 Port() const { return port; }

private:
    QProcess process;
    quint16 port = 0;
};
