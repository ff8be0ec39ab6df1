// The web window: the version check against the maker's version finder and
// the "Send Feedback" form, which posts the user's message with the
// diagnostic log attached. One object, created after the main window and
// kept for the whole run.
#pragma once

#include "web/quarhttp.h"
#include "web/webtext.h"

#include <QDialog>
#include <QString>
#include <QUrl>

#include <functional>

class QComboBox;
class QHttpMultiPart;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;
class QToolButton;
class QuarLog;

// The maker's support addresses (fictional).
inline constexpr const char* kSupportEmail = "support@quarnel.example.com";
inline constexpr const char* kSupportWebSite = "www.quarnel.example.com";

// Stored contact details: QSettings(kSettingsOrganization, kSettingsApplication)
// under the group "FeedbackForm".
inline constexpr const char* kSettingsOrganization = "Quarnel Devices, Inc";
inline constexpr const char* kSettingsApplication = "QuarBSL";

// What the main window hands to the feedback form before showing it.
struct WEB_FORM_INFO_TYPE {
    QString productName;        // main window caption
    QString productVersion;     // image label, e.g. "ORBIS62 4.06"
    QString registeredName;     // pre-fills the name when not empty
    QString registeredCompany;  // pre-fills the company when not empty
    QString defaultEmailTo;     // used when no representative is given
    QString errorFile1;         // the diagnostic log, attached without asking
    QString errorFile2;         // attached when not empty
    QString errorFile3;         // attached when not empty
    QString browseFolder;       // start folder of the file dialog
};

class TfrmWeb : public QDialog {
    Q_OBJECT
public:
    // Message dialog kinds.
    enum { kWarning = 0, kError = 1, kInformation = 2, kConfirmation = 3 };
    // Largest file the user may attach (7 MB).
    static constexpr qint64 kMaxSendFileSize = 0x700000;
    // The progress bar appears for bodies larger than this.
    static constexpr qint64 kProgressThreshold = 0x200000;
    // The log is cut to this many bytes before the form opens.
    static constexpr long kLogTailBytes = 32768;

    // owner is the main window: the form and every message are centred on it.
    explicit TfrmWeb(QWidget* owner = nullptr);
    ~TfrmWeb() override;

    // Seams for the desktop. When set they replace, in order: the message
    // dialog (returns true for Yes), the browser launch (returns whether it
    // worked) and the file dialog (returns the chosen path or empty).
    std::function<bool(const QString& message, const QString& title, bool yesNo, int kind)> askUserHook;
    std::function<bool(const QUrl& address)> openUrlHook;
    std::function<QString(const QString& startFolder)> chooseFileHook;

    // Modal question; true only when the user chose Yes.
    bool AskUser(const QString& message, const QString& title, bool yesNo, int kind);

    // Asks the version finder for the newest version of the product. Returns
    // it (times 100), or 0 when nothing was asked or the check failed. When
    // silent only a newer version is reported.
    int CheckVersion(unsigned currentVersion, const QString& path, bool silent, const QString& productName);

    // Feedback.
    int SetFormInfo(const WEB_FORM_INFO_TYPE& info);
    const WEB_FORM_INFO_TYPE& FormInfo() const { return formInfo; }
    // The Send Feedback command after the record is built: hands it over,
    // trims the log (or notes in it that it is empty) and opens the form.
    void LaunchFeedback(const WEB_FORM_INFO_TYPE& info, QuarLog* log, const QString& logSource);
    void ShowFeedbackForm();
    int PostFeedback();
    bool AttachFile(QHttpMultiPart* body, const QString& path, bool report);
    QString ComputerInformation() const;
    QString RespondViaText() const;

    // Form events.
    void FormShow();
    void FormClose();
    void btnSendClick();
    void btnSendFileClick();
    void cbFeedbackTypeChange();
    void HTTPWorkBegin(QuarHttp::WorkMode mode, qint64 maximum);
    void HTTPWork(QuarHttp::WorkMode mode, qint64 count);
    void HTTPWorkEnd(QuarHttp::WorkMode mode);

    QString FeedbackKind() const { return feedbackKind; }
    QString LastSendError() const { return lastSendError; }
    bool Uploading() const { return uploading; }
    QString SendFilePath() const { return sendFilePath; }

    // Controls.
    QLabel* Label1;
    QLabel* Label2;
    QLineEdit* edName;
    QLineEdit* edCompany;
    QLabel* Label3;
    QLabel* Label4;
    QLineEdit* edEmail;
    QLineEdit* edTelephone;
    QLabel* Label7;
    QLabel* Label5;
    QComboBox* cbFeedbackType;
    QComboBox* cbRespondVia;
    QLabel* lblDescription;
    QPlainTextEdit* reDescription;
    QLabel* Label6;
    QLineEdit* edSendFile;
    QToolButton* btnSendFile;
    QLabel* Label8;
    QLineEdit* edEmailTo;
    QProgressBar* pbWeb;
    QPushButton* btnSend;
    QuarHttp* HTTP;

signals:
    // Upload progress, after the progress bar has been updated.
    void uploadProgress(qint64 count);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

private:
    bool OpenAddress(const QUrl& address);
    void LimitDescription();

    QWidget* owner;
    WEB_FORM_INFO_TYPE formInfo;
    QString feedbackKind;
    QString storedEmailTo;
    QString lastSendError;
    QString sendFilePath;
    bool uploading = false;
};

// The main window's one-shot start-up check: Arm() starts the 500 ms timer,
// and when it fires the timer stops and the version is checked silently with
// the inputs the provider gives at that moment.
struct WebCheckInputs {
    unsigned currentVersion = 0;
    QString path;
    QString productName;
};

class WebCheckTimer : public QObject {
    Q_OBJECT
public:
    WebCheckTimer(TfrmWeb* web, std::function<WebCheckInputs()> inputs, QObject* parent = nullptr);
    void Arm();
    bool Armed() const;
    // The timer event; also callable directly.
    void tWebCheckTimer();
    // Result of the last check (0 when none ran or it failed).
    int LastResult() const { return lastResult; }

private:
    TfrmWeb* web;
    std::function<WebCheckInputs()> inputs;
    QTimer* timer;
    int lastResult = 0;
};
