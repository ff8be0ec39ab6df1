#include "web/web.h"

#include "diag/quarlog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHttpMultiPart>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QShowEvent>
#include <QStyle>
#include <QTimer>
#include <QToolButton>

#include <climits>

namespace {

constexpr int kDescriptionMaxLength = 2048;
const char* const kFeedbackPath = "/php-bin/app_feedback.php";
const char* const kSettingsGroup = "FeedbackForm";

const char* const kRespondVia[] = {
    "No response necessary",        "Email", "Telephone (morning is best)", "Telephone (mid day is best)",
    "Telephone (afternoon is best)",
};

struct FeedbackType {
    const char* kind;
    const char* description;
};
const FeedbackType kFeedbackTypes[] = {
    {"General Feedback", "Please describe the feedback below"},
    {"Feature Suggestion", "Please describe the feature suggestion below"},
    {"Bug Report", "Please describe the bug or issue below"},
    {"Other Feedback", "Please describe the other feedback below"},
};

// A header parameter value in double quotes; quotes and line breaks would
// end it early, so they are percent-encoded the way browsers do.
QByteArray QuotedParameter(const QString& value) {
    QByteArray bytes = value.toUtf8();
    bytes.replace('"', "%22");
    bytes.replace('\r', "%0D");
    bytes.replace('\n', "%0A");
    return '"' + bytes + '"';
}

void AddField(QHttpMultiPart* body, const char* name, const QString& value) {
    QHttpPart part;
    part.setRawHeader("Content-Disposition", QByteArray("form-data; name=\"") + name + '"');
    part.setBody(value.toUtf8());
    body->append(part);
}

QLabel* MakeLabel(QWidget* parent, const char* text, int left, int top) {
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    label->move(left, top);
    label->adjustSize();
    return label;
}

QLineEdit* MakeEdit(QWidget* parent, int left, int top, int width, int height, const char* hint) {
    auto* edit = new QLineEdit(parent);
    edit->setGeometry(left, top, width, height);
    edit->setToolTip(QString::fromUtf8(hint));
    return edit;
}

}  // namespace

TfrmWeb::TfrmWeb(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                         Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      owner(owner) {
    setWindowTitle(QStringLiteral("Send Feedback to VORTA"));
    QFont tahoma(QStringLiteral("Tahoma"));
    tahoma.setPixelSize(11);
    setFont(tahoma);
    setFixedSize(383, 492);
    setModal(false);

    // Created in tab order.
    Label1 = MakeLabel(this, "Name (required)", 16, 16);
    Label2 = MakeLabel(this, "Company Name", 200, 16);
    edName = MakeEdit(this, 16, 35, 169, 21, "Please enter your first and last name");
    edCompany = MakeEdit(this, 200, 35, 169, 21, "Please enter the name of your company");
    Label3 = MakeLabel(this, "Email Address", 16, 64);
    Label4 = MakeLabel(this, "Telephone (include area code)", 200, 64);
    edEmail = MakeEdit(this, 16, 83, 169, 21, "Please enter your email address");
    edTelephone =
        MakeEdit(this, 200, 83, 169, 21, "Please enter your phone number including area and country codes");
    Label7 = MakeLabel(this, "Type of feedback", 16, 110);
    Label5 = MakeLabel(this, "Please respond via", 200, 110);

    cbFeedbackType = new QComboBox(this);
    cbFeedbackType->setGeometry(16, 129, 169, 21);
    cbFeedbackType->addItems({QStringLiteral("General Feedback"), QStringLiteral("Feature Suggestion"),
                              QStringLiteral("Bug Report"), QStringLiteral("Other")});
    cbFeedbackType->setToolTip(QStringLiteral("What type of feedback do you want to send to Quarnel?"));

    cbRespondVia = new QComboBox(this);
    cbRespondVia->setGeometry(200, 129, 169, 21);
    for (const char* item : kRespondVia)
        cbRespondVia->addItem(QString::fromLatin1(item));
    cbRespondVia->setToolTip(QStringLiteral("How can Quarnel contact you?"));

    lblDescription = MakeLabel(this, "", 16, 166);
    reDescription = new QPlainTextEdit(this);
    reDescription->setGeometry(16, 185, 353, 112);
    reDescription->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    reDescription->setToolTip(QStringLiteral("Please enter your comments here"));
    reDescription->setTabChangesFocus(true);

    Label6 = MakeLabel(this, "Send the following file (file size can be up to 6 MB):", 16, 312);
    edSendFile = MakeEdit(this, 16, 331, 245, 21, "Click the browse button to pick the file you want to send.");
    edSendFile->setReadOnly(true);
    btnSendFile = new QToolButton(this);
    btnSendFile->setGeometry(267, 331, 23, 22);
    btnSendFile->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
    btnSendFile->setToolTip(QStringLiteral("Click this button to find the file you want to send."));

    Label8 = MakeLabel(this, "Send the feedback to my VORTA Group Representative's email address:", 16, 396);
    edEmailTo = MakeEdit(this, 16, 415, 353, 21,
                         "Please enter the email address of your VORTA Group Representative, "
                         "for example jane.doe@example.com");

    pbWeb = new QProgressBar(this);
    pbWeb->setGeometry(16, 458, 245, 17);
    pbWeb->setTextVisible(false);
    pbWeb->hide();

    btnSend = new QPushButton(QStringLiteral("Send"), this);
    btnSend->setGeometry(294, 455, 75, 25);
    btnSend->setDefault(true);
    btnSend->setToolTip(QStringLiteral("Click to send this information to Quarnel"));

    HTTP = new QuarHttp(this);
    HTTP->onWorkBegin = [this](QuarHttp::WorkMode mode, qint64 maximum) { HTTPWorkBegin(mode, maximum); };
    HTTP->onWork = [this](QuarHttp::WorkMode mode, qint64 count) { HTTPWork(mode, count); };
    HTTP->onWorkEnd = [this](QuarHttp::WorkMode mode) { HTTPWorkEnd(mode); };

    connect(btnSend, &QPushButton::clicked, this, [this] { btnSendClick(); });
    connect(btnSendFile, &QToolButton::clicked, this, [this] { btnSendFileClick(); });
    connect(cbFeedbackType, &QComboBox::currentIndexChanged, this, [this] { cbFeedbackTypeChange(); });
    connect(reDescription, &QPlainTextEdit::textChanged, this, [this] { LimitDescription(); });

    cbFeedbackTypeChange();
}

TfrmWeb::~TfrmWeb() {
    HTTP->Disconnect();
}

bool TfrmWeb::AskUser(const QString& message, const QString& title, bool yesNo, int kind) {
    if (askUserHook)
        return askUserHook(message, title, yesNo, kind);

    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (kind) {
    case kWarning: icon = QMessageBox::Warning; break;
    case kError: icon = QMessageBox::Critical; break;
    case kInformation: icon = QMessageBox::Information; break;
    case kConfirmation: icon = QMessageBox::Question; break;
    default: break;
    }
    QWidget* parent = owner ? owner : (isVisible() ? this : nullptr);
    QMessageBox box(icon, title, message, yesNo ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok, parent);
    box.setDefaultButton(yesNo ? QMessageBox::Yes : QMessageBox::Ok);
    QApplication::beep();
    return box.exec() == QMessageBox::Yes;
}

bool TfrmWeb::OpenAddress(const QUrl& address) {
    // Only web pages are handed to the desktop, whatever the reply said.
    const QString scheme = address.scheme().toLower();
    if (!address.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return false;
    if (openUrlHook)
        return openUrlHook(address);
    return QDesktopServices::openUrl(address);
}

int TfrmWeb::CheckVersion(unsigned currentVersion, const QString& path, bool silent, const QString& productName) {
    if (path.isEmpty() || currentVersion == 0)
        return 0;

    int error = 0;
    int online = 0;
    QString address;
    QByteArray body;
    QString clientError;
    if (HTTP->Get(path, &body, &clientError) < 0)
        error = kWebConnectError;
    else if (ParseVersionFinderReply(QString::fromUtf8(body), &online, &address) < 0)
        error = kWebParseError;

    if (error != 0) {
        if (!silent) {
            QString message;
            if (error == kWebConnectError) {
                message = QStringLiteral("Error connecting to VORTA Group's version check service.\n"
                                         "This feature requires your computer to be connected \n"
                                         "to the internet.\n"
                                         "\n\nPlease make a connection to the internet and try again.");
                if (!clientError.isEmpty())
                    message += QStringLiteral("\n\nError: ") + clientError;
            } else {
                message = QStringLiteral("Error parsing the version information returned by \n"
                                         "VORTA Group's version check service.\n") +
                          QStringLiteral("[error %1]").arg(error) +
                          QStringLiteral("\n\nPlease try again or contact VORTA for help.");
            }
            AskUser(message, QStringLiteral("Version Check Error"), false, kError);
        }
        return 0;
    }

    if (static_cast<qint64>(online) > static_cast<qint64>(currentVersion)) {
        QString message;
        if (IsDownloadAddress(address))
            message = QStringLiteral("There is newer version of ") + productName +
                      QStringLiteral(" available for download.") +
                      QStringLiteral("\n\nWould you like to download this new version with your web browser now?");
        else
            message = QStringLiteral("There is information about a newer version of ") + productName +
                      QStringLiteral("\navailable at ") + address +
                      QStringLiteral("\n\nWould you like to visit this page with your web browser now?");
        if (AskUser(message, QStringLiteral("New Version Available"), true, kInformation) &&
            !OpenAddress(QUrl(address, QUrl::StrictMode)))
            AskUser(productName + QStringLiteral(" had trouble launching your web browser.\n") +
                        QStringLiteral("Please try manually going to:\n") + address,
                    QStringLiteral("Web Browser Launch Error"), false, kWarning);
    } else if (!silent) {
        if (static_cast<qint64>(online) == static_cast<qint64>(currentVersion))
            AskUser(QStringLiteral("You are using the latest version of ") + productName + QStringLiteral("."),
                    QStringLiteral("Version Finder"), false, kInformation);
        else
            AskUser(QStringLiteral("You are running a newer version of ") + productName +
                        QStringLiteral("\nthan is available from VORTA Group's web site."),
                    QStringLiteral("Version Finder"), false, kInformation);
    }
    return online;
}

int TfrmWeb::SetFormInfo(const WEB_FORM_INFO_TYPE& info) {
    formInfo = info;
    return 1;
}

void TfrmWeb::LaunchFeedback(const WEB_FORM_INFO_TYPE& info, QuarLog* log, const QString& logSource) {
    SetFormInfo(info);
    if (log && log->FileSize() > 0)
        log->KeepTail(kLogTailBytes);
    else
        LogMessage(log, 10, logSource.toUtf8().constData(), "Launching web feedback with an empty error file.");
    ShowFeedbackForm();
}

void TfrmWeb::ShowFeedbackForm() {
    QString clientError;
    if (HTTP->Get(QStringLiteral("/"), nullptr, &clientError) < 0) {
        QString message = QStringLiteral("Error connecting to VORTA Group's customer feedback internet service.\n\n") +
                          QStringLiteral("This feature requires your computer to be connected to the internet\n") +
                          QStringLiteral("and be able to contact VORTA Group's Web Site") + QLatin1Char(' ') +
                          QLatin1Char('(') + QString::fromLatin1(kSupportWebSite) + QStringLiteral(").") +
                          QStringLiteral("\n\nPlease make a connection to the internet and try again.");
        if (!clientError.isEmpty())
            message += QStringLiteral("\n\nError: ") + clientError;
        AskUser(message, QStringLiteral("Internet Access Error"), false, kError);
        return;
    }
    show();
    raise();
    activateWindow();
}

void TfrmWeb::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TfrmWeb::FormShow() {
    QSettings settings(QString::fromLatin1(kSettingsOrganization), QString::fromLatin1(kSettingsApplication));
    settings.beginGroup(QString::fromLatin1(kSettingsGroup));
    auto stored = [&settings](const char* key) { return settings.value(QString::fromLatin1(key)).toString(); };
    edName->setText(stored("Name"));
    edCompany->setText(stored("Company"));
    edTelephone->setText(stored("Phone"));
    edEmail->setText(stored("Email"));
    storedEmailTo = stored("EmailTo");
    settings.endGroup();

    if (!formInfo.registeredName.isEmpty())
        edName->setText(formInfo.registeredName);
    if (!formInfo.registeredCompany.isEmpty())
        edCompany->setText(formInfo.registeredCompany);
    if (formInfo.productName.isEmpty())
        formInfo.productName = QCoreApplication::applicationName();

    edEmailTo->setText(storedEmailTo);
    edSendFile->clear();
    sendFilePath.clear();
    reDescription->clear();
    cbRespondVia->setCurrentIndex(1);
    cbFeedbackType->setCurrentIndex(0);
    cbFeedbackTypeChange();
    pbWeb->hide();
    uploading = false;
}

void TfrmWeb::closeEvent(QCloseEvent* event) {
    FormClose();
    QDialog::closeEvent(event);
}

void TfrmWeb::reject() {
    FormClose();
    QDialog::reject();
}

void TfrmWeb::FormClose() {
    if (uploading)
        HTTP->Disconnect();
}

void TfrmWeb::cbFeedbackTypeChange() {
    const int index = cbFeedbackType->currentIndex();
    const FeedbackType& type = (index >= 0 && index < 4) ? kFeedbackTypes[index] : kFeedbackTypes[0];
    feedbackKind = QString::fromLatin1(type.kind);
    lblDescription->setText(QString::fromLatin1(type.description));
    lblDescription->adjustSize();
}

void TfrmWeb::LimitDescription() {
    const QString text = reDescription->toPlainText();
    if (text.size() <= kDescriptionMaxLength)
        return;
    const QSignalBlocker block(reDescription);
    reDescription->setPlainText(text.left(kDescriptionMaxLength));
    reDescription->moveCursor(QTextCursor::End);
}

void TfrmWeb::btnSendFileClick() {
    edSendFile->clear();
    sendFilePath.clear();
    const QString path = chooseFileHook
                             ? chooseFileHook(formInfo.browseFolder)
                             : QFileDialog::getOpenFileName(this, QStringLiteral("Send File with Feedback"),
                                                            formInfo.browseFolder, QStringLiteral("Any File Type (*)"));
    if (path.isEmpty())
        return;
    const QFileInfo file(path);
    const qint64 size = file.size();
    if (size <= kMaxSendFileSize) {
        edSendFile->setText(file.fileName());
        sendFilePath = path;
        return;
    }
    QLocale locale = QLocale::system();
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    AskUser(QStringLiteral("The file \"") + file.fileName() + QStringLiteral("\" is too big.\n\n") +
                QStringLiteral("The maximun file size you can send with your feedback\n") +
                QStringLiteral("is 8 megabytes (this file is ") + locale.toString(size / 1048576.0, 'f', 1) +
                QStringLiteral(" MB).") + QStringLiteral("\n\nPlease choose a different file to send."),
            QStringLiteral("File Size Error"), false, kError);
}

void TfrmWeb::btnSendClick() {
    lastSendError.clear();

    const QString missing = QStringLiteral("Missing Information");
    const QString badAddress = QStringLiteral("Bad Email Address");
    const QString email = edEmail->text();
    const QString emailTo = edEmailTo->text();
    if (edName->text().isEmpty()) {
        AskUser(QStringLiteral("Please enter your name in the name field"), missing, false, kWarning);
        edName->setFocus();
        return;
    }
    if (email.isEmpty() && edTelephone->text().isEmpty() && cbRespondVia->currentIndex() != 0) {
        AskUser(QStringLiteral("Please enter your phone number or email address so VORTA Group ") +
                    QStringLiteral("can respond to your feedback."),
                missing, false, kWarning);
        edTelephone->setFocus();
        return;
    }
    if (!emailTo.isEmpty() && !emailTo.contains(QLatin1Char('@'))) {
        AskUser(QStringLiteral("The email address you entered for your VORTA Group\n") +
                    QStringLiteral("Representative isn't complete.\n\n") +
                    QStringLiteral("Please enter a complete email address including\n") +
                    QStringLiteral("the '@' symbol and domain name."),
                badAddress, false, kWarning);
        edEmailTo->setFocus();
        return;
    }
    const bool hasBlank = email.contains(QLatin1Char(' '));
    if (!email.isEmpty() && (!email.contains(QLatin1Char('@')) || hasBlank)) {
        QString message = QStringLiteral("The email address you entered doesn't seem to be correct.\n\n") +
                          QStringLiteral("Please enter a complete email address including\n") +
                          QStringLiteral("the '@' symbol and domain name.");
        if (hasBlank)
            message += QStringLiteral("\n\nPlease remove any space characters in the email address.");
        AskUser(message, badAddress, false, kWarning);
        edEmail->setFocus();
        return;
    }

    btnSend->setEnabled(false);
    QApplication::setOverrideCursor(Qt::WaitCursor);

    {
        QSettings settings(QString::fromLatin1(kSettingsOrganization), QString::fromLatin1(kSettingsApplication));
        settings.beginGroup(QString::fromLatin1(kSettingsGroup));
        settings.setValue(QStringLiteral("Name"), edName->text());
        settings.setValue(QStringLiteral("Company"), edCompany->text());
        settings.setValue(QStringLiteral("Phone"), edTelephone->text());
        settings.setValue(QStringLiteral("Email"), email);
        settings.setValue(QStringLiteral("EmailTo"), emailTo);
        settings.endGroup();
    }

    const int r = PostFeedback();
    btnSend->setEnabled(true);
    QApplication::restoreOverrideCursor();

    if (r == 1) {
        hide();
        QCoreApplication::processEvents();
        AskUser(QStringLiteral("Thank you for submitting your ") + feedbackKind + QStringLiteral("."),
                QStringLiteral("Feedback Successfully Sent"), false, kInformation);
        close();
    } else if (r == -1000 && isVisible()) {
        QString message = QStringLiteral("There was an error trying to send your ") + feedbackKind +
                          QStringLiteral(" to VORTA Group.\n\nPlease try again.");
        if (!lastSendError.isEmpty())
            message += QStringLiteral("\n\nError: ") + lastSendError;
        AskUser(message, QStringLiteral("Error Sending Feedback"), false, kWarning);
    }
}

QString TfrmWeb::RespondViaText() const {
    const int index = cbRespondVia->currentIndex();
    if (index >= 0 && index < 5)
        return QString::fromLatin1(kRespondVia[index]);
    return QStringLiteral("Unknown RespondVia");
}

QString TfrmWeb::ComputerInformation() const {
    return CurrentComputerInformation();
}

bool TfrmWeb::AttachFile(QHttpMultiPart* body, const QString& path, bool report) {
    const QFileInfo info(path);
    auto* file = new QFile(path, body);
    QString error;
    bool missing = false;
    if (!info.exists()) {
        missing = true;
        error = QStringLiteral("The system cannot find the file specified.");
    } else if (!info.isFile()) {
        // Devices and folders have no size to send.
        error = QStringLiteral("\"%1\" is not a regular file.").arg(path);
    } else if (!file->open(QIODevice::ReadOnly)) {
        error = file->errorString();
    }

    if (error.isEmpty()) {
        QHttpPart part;
        part.setRawHeader("Content-Disposition", "form-data; name=" + QuotedParameter(info.fileName()) +
                                                     "; filename=" + QuotedParameter(info.absoluteFilePath()));
        const QMimeDatabase mime;
        part.setHeader(QNetworkRequest::ContentTypeHeader,
                       mime.mimeTypeForFile(path, QMimeDatabase::MatchExtension).name());
        part.setBodyDevice(file);
        body->append(part);
        return true;
    }

    delete file;
    if (report) {
        const QString lead = QStringLiteral("Error sending the file \"") + info.fileName() + QStringLiteral("\". ");
        QString message;
        if (missing)
            message = lead + QStringLiteral("\nThe file is empty or can't be found on the system.") +
                      QStringLiteral("\n\nPlease check your file name and try again.");
        else
            message = lead + QStringLiteral("\n\nPlease try again.") + QStringLiteral("\n\nError: ") + error;
        AskUser(message, QStringLiteral("Error Reading File"), false, kError);
    }
    return false;
}

int TfrmWeb::PostFeedback() {
    auto* body = new QHttpMultiPart(QHttpMultiPart::FormDataType);
    const QString emailTo = edEmailTo->text().isEmpty() ? formInfo.defaultEmailTo : edEmailTo->text();
    AddField(body, "EmailTo", emailTo);
    AddField(body, "EmailSubject", formInfo.productName + QLatin1Char(' ') + feedbackKind);
    AddField(body, "Name", edName->text());
    AddField(body, "Company Name", edCompany->text());
    AddField(body, "Email", edEmail->text());
    AddField(body, "Telephone", edTelephone->text());
    AddField(body, "Respond Via", RespondViaText());
    AddField(body, "Registered Name", formInfo.registeredName);
    AddField(body, "Registered Company", formInfo.registeredCompany);
    AddField(body, "Software Version", formInfo.productName + QStringLiteral(" version ") + formInfo.productVersion);
    AddField(body, "Installation Path", QCoreApplication::applicationFilePath());
    AddField(body, "Computer Information", ComputerInformation());
    AddField(body, "Feedback", reDescription->toPlainText());

    for (const QString* log : {&formInfo.errorFile1, &formInfo.errorFile2, &formInfo.errorFile3})
        if (!log->isEmpty())
            AttachFile(body, *log, false);
    if (!edSendFile->text().isEmpty() && !AttachFile(body, sendFilePath, true)) {
        delete body;
        return 0;
    }

    QByteArray answer;
    QString error;
    if (HTTP->Post(QString::fromLatin1(kFeedbackPath), body, &answer, &error) < 0) {
        lastSendError = error;
        return -1000;
    }
    return QString::fromUtf8(answer).contains(QLatin1String("Script Completed")) ? 1 : -1000;
}

void TfrmWeb::HTTPWorkBegin(QuarHttp::WorkMode mode, qint64 maximum) {
    if (mode != QuarHttp::WorkWrite)
        return;
    if (maximum > kProgressThreshold)
        pbWeb->show();
    pbWeb->setRange(0, static_cast<int>(qMin<qint64>(maximum, INT_MAX)));
    uploading = true;
}

void TfrmWeb::HTTPWork(QuarHttp::WorkMode mode, qint64 count) {
    // Window messages keep flowing through the request's own event loop.
    if (mode != QuarHttp::WorkWrite)
        return;
    pbWeb->setValue(static_cast<int>(qMin<qint64>(count, INT_MAX)));
    emit uploadProgress(count);
}

void TfrmWeb::HTTPWorkEnd(QuarHttp::WorkMode mode) {
    if (mode == QuarHttp::WorkWrite)
        pbWeb->hide();
    uploading = false;
}

WebCheckTimer::WebCheckTimer(TfrmWeb* web, std::function<WebCheckInputs()> inputs, QObject* parent)
    : QObject(parent), web(web), inputs(std::move(inputs)), timer(new QTimer(this)) {
    timer->setSingleShot(true);
    timer->setInterval(500);
    connect(timer, &QTimer::timeout, this, [this] { tWebCheckTimer(); });
}

void WebCheckTimer::Arm() {
    timer->start();
}

bool WebCheckTimer::Armed() const {
    return timer->isActive();
}

void WebCheckTimer::tWebCheckTimer() {
    timer->stop();
    const WebCheckInputs in = inputs ? inputs() : WebCheckInputs{};
    lastResult = web->CheckVersion(in.currentVersion, in.path, true, in.productName);
}
