#include "web/quarhttp.h"

#include <QEventLoop>
#include <QHttpMultiPart>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>

namespace {

// A stalled connection gives up after this long without any bytes moving.
constexpr int kInactivityTimeoutMs = 60000;

}  // namespace

QUrl SoftwareHostUrl(QString* errorText) {
    QString value = qEnvironmentVariable("QUARBSL_SOFTWARE_HOST").trimmed();
    if (value.isEmpty())
        value = QString::fromLatin1(kDefaultSoftwareHost);
    if (!value.startsWith(QLatin1String("https://"), Qt::CaseInsensitive) &&
        !value.startsWith(QLatin1String("http://"), Qt::CaseInsensitive))
        value.prepend(QLatin1String("http://"));
    while (value.endsWith(QLatin1Char('/')))
        value.chop(1);

    QUrl url(value, QUrl::StrictMode);
    const bool plain = url.path().isEmpty() && !url.hasQuery() && !url.hasFragment() &&
                       url.userInfo().isEmpty();
    if (!url.isValid() || url.host().isEmpty() || !plain) {
        if (errorText)
            *errorText = QStringLiteral("The software host \"%1\" is not a usable host[:port] value.")
                             .arg(qEnvironmentVariable("QUARBSL_SOFTWARE_HOST"));
        return QUrl();
    }
    return url;
}

QuarHttp::QuarHttp(QObject* parent) : QObject(parent), manager(new QNetworkAccessManager(this)) {
    // Requests go straight to the configured host, never through a proxy
    // picked up from the environment.
    manager->setProxy(QNetworkProxy::NoProxy);
    // Redirects are followed, but only within the software host.
    manager->setRedirectPolicy(QNetworkRequest::SameOriginRedirectPolicy);
}

QuarHttp::~QuarHttp() {
    Disconnect();
}

int QuarHttp::Get(const QString& path, QByteArray* body, QString* errorText) {
    return Run(path, nullptr, body, errorText);
}

int QuarHttp::Post(const QString& path, QHttpMultiPart* multipart, QByteArray* body, QString* errorText) {
    return Run(path, multipart, body, errorText);
}

void QuarHttp::Disconnect() {
    if (current) {
        aborted = true;
        current->abort();
    }
}

int QuarHttp::Run(const QString& path, QHttpMultiPart* multipart, QByteArray* body, QString* errorText) {
    if (body)
        body->clear();
    if (errorText)
        errorText->clear();
    if (current) {
        delete multipart;
        if (errorText)
            *errorText = QStringLiteral("Another web request is still running.");
        return -4;
    }

    QString hostError;
    QUrl url = SoftwareHostUrl(&hostError);
    if (!url.isValid()) {
        delete multipart;
        if (errorText)
            *errorText = hostError;
        return -1;
    }
    const QString host = url.host();
    url.setPath(path.startsWith(QLatin1Char('/')) ? path : QLatin1Char('/') + path);
    if (!url.isValid() || url.host() != host) {
        delete multipart;
        if (errorText)
            *errorText = QStringLiteral("The request path \"%1\" is not usable.").arg(path);
        return -1;
    }
    lastUrl = url;

    QNetworkRequest request(url);
    request.setRawHeader("Accept", "text/html, */*");
    request.setTransferTimeout(kInactivityTimeoutMs);

    aborted = false;
    QNetworkReply* reply = multipart ? manager->post(request, multipart) : manager->get(request);
    if (multipart)
        multipart->setParent(reply);
    current = reply;

    bool uploadBegun = false;
    bool downloadBegun = false;
    QPointer<QuarHttp> self(this);
    connect(reply, &QNetworkReply::uploadProgress, this, [&](qint64 sent, qint64 total) {
        // Qt reports (0, 0) once the body is out; that is no progress.
        if (total <= 0)
            return;
        if (!uploadBegun) {
            uploadBegun = true;
            if (onWorkBegin)
                onWorkBegin(WorkWrite, total);
        }
        if (onWork)
            onWork(WorkWrite, sent);
    });
    connect(reply, &QNetworkReply::downloadProgress, this, [&](qint64 received, qint64 total) {
        if (!downloadBegun) {
            downloadBegun = true;
            if (onWorkBegin)
                onWorkBegin(WorkRead, total > 0 ? total : 0);
        }
        if (onWork)
            onWork(WorkRead, received);
    });

    QEventLoop loop;
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();

    if (!self) {
        // The client went away while its request was running.
        return -3;
    }
    current = nullptr;
    reply->disconnect(this);
    if (uploadBegun && onWorkEnd)
        onWorkEnd(WorkWrite);
    if (downloadBegun && onWorkEnd)
        onWorkEnd(WorkRead);

    lastUrl = reply->url();
    int result = 1;
    if (reply->error() != QNetworkReply::NoError) {
        result = aborted ? -3 : -2;
        if (errorText)
            *errorText = reply->errorString();
    } else if (body) {
        *body = reply->readAll();
    }
    aborted = false;
    reply->deleteLater();
    return result;
}
