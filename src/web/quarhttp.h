// The HTTP client of the web window: one blocking GET or multipart POST at a
// time against the maker's software host. A request runs a local event loop
// until it ends, so windows keep repainting and taking input meanwhile; that
// is also how the user can close the feedback form while a body uploads.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>

class QHttpMultiPart;
class QNetworkAccessManager;
class QNetworkReply;

// Default software host when QUARBSL_SOFTWARE_HOST is not set.
inline constexpr const char* kDefaultSoftwareHost = "software.quarnel.example";

// Base address of the software host: QUARBSL_SOFTWARE_HOST as "host[:port]"
// (plain HTTP), "http://host[:port]" or "https://host[:port]" (TLS); the
// default host otherwise. An unusable value gives an invalid URL and
// errorText says why.
QUrl SoftwareHostUrl(QString* errorText = nullptr);

class QuarHttp : public QObject {
    Q_OBJECT
public:
    enum WorkMode { WorkRead, WorkWrite };

    // Work events: an upload (WorkWrite) or download (WorkRead) starts with
    // its size, progresses with the bytes moved so far, and ends.
    std::function<void(WorkMode, qint64 maximum)> onWorkBegin;
    std::function<void(WorkMode, qint64 count)> onWork;
    std::function<void(WorkMode)> onWorkEnd;

    explicit QuarHttp(QObject* parent = nullptr);
    ~QuarHttp() override;

    // Both return 1 with the answer body, or a negative code with a readable
    // error text: -1 bad host or path, -2 transport failure or HTTP error
    // status, -3 aborted by Disconnect, -4 another request is running.
    int Get(const QString& path, QByteArray* body, QString* errorText);
    // Takes ownership of the multipart body in every case.
    int Post(const QString& path, QHttpMultiPart* multipart, QByteArray* body, QString* errorText);

    // Aborts the running request, if any. Safe to call at any time.
    void Disconnect();
    bool Busy() const { return current != nullptr; }

    // The address the last request went to (after redirects).
    QUrl LastUrl() const { return lastUrl; }

private:
    int Run(const QString& path, QHttpMultiPart* multipart, QByteArray* body, QString* errorText);

    QNetworkAccessManager* manager;
    QNetworkReply* current = nullptr;
    QUrl lastUrl;
    bool aborted = false;
};
