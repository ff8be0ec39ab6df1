#include "web_support.h"

#include "diag/quarlog.h"

#include <QComboBox>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QToolButton>

namespace {

const QString kProduct = QStringLiteral("ORBIS 62 Sensor Firmware Updater");

QString Sha256(const QByteArray& data) {
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
}

void WriteFile(const QString& path, const QByteArray& data) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(data), data.size());
}

// A file of the given size without writing it all out.
void SizedFile(const QString& path, qint64 size) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("QuarBSL test file\n");
    ASSERT_TRUE(file.resize(size));
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class FeedbackTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        EnsureApp();
        recordDir = new QTemporaryDir;
        php = new PhpServer;
        phpStarted = php->Start(recordDir->path());
    }
    static void TearDownTestSuite() {
        delete php;
        delete recordDir;
    }

    void SetUp() override {
        ASSERT_TRUE(phpStarted) << "php -S did not start";
        ASSERT_TRUE(dir.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.filePath(QStringLiteral("config")));
        QFile::remove(RecordPath());
        QFile::remove(recordDir->filePath(QStringLiteral("reply.txt")));
        UseSoftwareHost(php->Port());

        logPath = dir.filePath(kProduct + QStringLiteral(".errors.txt"));
        logData = "2026-01-05 10:00:00 - QuarBSL: BSLSendFirmware successful (41 s)\r\n";
        WriteFile(logPath, logData);
        info.productName = kProduct;
        info.productVersion = QStringLiteral("ORBIS62 4.06");
        info.defaultEmailTo = QString::fromLatin1(kSupportEmail);
        info.errorFile1 = logPath;
        info.browseFolder = dir.path();

        asks.Install(form);
        form.chooseFileHook = [this](const QString& start) {
            browsedFrom = start;
            return nextFile;
        };
    }
    void TearDown() override { form.hide(); }

    static QString RecordPath() { return recordDir->filePath(QStringLiteral("record.json")); }
    static QJsonObject Record() { return QJsonDocument::fromJson(ReadAll(RecordPath())).object(); }

    void Open() {
        form.SetFormInfo(info);
        form.ShowFeedbackForm();
        ASSERT_TRUE(form.isVisible());
    }
    void FillRequired() {
        form.edName->setText(QStringLiteral("Jane Doe"));
        form.edEmail->setText(QStringLiteral("jane@example.com"));
    }
    void Choose(const QString& path) {
        nextFile = path;
        form.btnSendFile->click();
    }
    static std::unique_ptr<QSettings> Stored() {
        auto settings = std::make_unique<QSettings>(QString::fromLatin1(kSettingsOrganization),
                                                    QString::fromLatin1(kSettingsApplication));
        settings->beginGroup(QStringLiteral("FeedbackForm"));
        return settings;
    }

    static QTemporaryDir* recordDir;
    static PhpServer* php;
    static bool phpStarted;

    AppReady ready;
    QTemporaryDir dir;
    QString logPath;
    QByteArray logData;
    WEB_FORM_INFO_TYPE info;
    TfrmWeb form;
    AskRecorder asks;
    QString nextFile;
    QString browsedFrom;
};

QTemporaryDir* FeedbackTest::recordDir = nullptr;
PhpServer* FeedbackTest::php = nullptr;
bool FeedbackTest::phpStarted = false;

TEST_F(FeedbackTest, SendsFieldsAndFilesAsThePhpParserSeesThem) {
    {
        auto stored = Stored();
        stored->setValue(QStringLiteral("Name"), QStringLiteral("Stored Name"));
        stored->setValue(QStringLiteral("Company"), QStringLiteral("Stored Company"));
        stored->setValue(QStringLiteral("Phone"), QStringLiteral("+1 555 0100"));
        stored->setValue(QStringLiteral("Email"), QStringLiteral("stored@example.com"));
    }
    info.registeredCompany = QStringLiteral("Registered Company Ltd");
    Open();
    EXPECT_EQ(form.edName->text(), "Stored Name");
    EXPECT_EQ(form.edCompany->text(), "Registered Company Ltd");
    EXPECT_EQ(form.edTelephone->text(), "+1 555 0100");
    EXPECT_EQ(form.edEmail->text(), "stored@example.com");
    EXPECT_EQ(form.cbRespondVia->currentIndex(), 1);
    EXPECT_EQ(form.FeedbackKind(), "General Feedback");

    const QString userFile = dir.filePath(QStringLiteral("reading \"7\".png"));
    static const char png[] = "\x89PNG\r\n\x1a\n\0\0 not really a picture";
    const QByteArray userData(png, sizeof png - 1);
    WriteFile(userFile, userData);
    Choose(userFile);
    EXPECT_EQ(browsedFrom, dir.path());
    EXPECT_EQ(form.edSendFile->text(), "reading \"7\".png");

    form.cbFeedbackType->setCurrentIndex(2);
    form.cbRespondVia->setCurrentIndex(2);
    const QString description = QStringLiteral("Sensor says \"ERR 7\" after the update.\nTemperature 21 °C.");
    form.reDescription->setPlainText(description);
    form.btnSend->click();

    EXPECT_EQ(asks.asked, (std::vector<Asked>{{QStringLiteral("Thank you for submitting your Bug Report."),
                                               QStringLiteral("Feedback Successfully Sent"), false, 2}}));
    EXPECT_FALSE(form.isVisible());

    const QJsonObject record = Record();
    ASSERT_FALSE(record.isEmpty());
    EXPECT_EQ(record["method"].toString(), "POST");
    EXPECT_EQ(record["accept"].toString(), "text/html, */*");
    EXPECT_TRUE(record["content_type"].toString().startsWith("multipart/form-data; boundary="));

    // PHP turns blanks in field names into underscores.
    const QStringList keys = {"EmailTo",          "EmailSubject",       "Name",
                              "Company_Name",     "Email",              "Telephone",
                              "Respond_Via",      "Registered_Name",    "Registered_Company",
                              "Software_Version", "Installation_Path",  "Computer_Information",
                              "Feedback"};
    QStringList sentKeys;
    for (const QJsonValue& key : record["post_keys"].toArray())
        sentKeys << key.toString();
    EXPECT_EQ(sentKeys, keys);

    const QJsonObject post = record["post"].toObject();
    EXPECT_EQ(post["EmailTo"].toString(), kSupportEmail);
    EXPECT_EQ(post["EmailSubject"].toString(), "ORBIS 62 Sensor Firmware Updater Bug Report");
    EXPECT_EQ(post["Name"].toString(), "Stored Name");
    EXPECT_EQ(post["Company_Name"].toString(), "Registered Company Ltd");
    EXPECT_EQ(post["Email"].toString(), "stored@example.com");
    EXPECT_EQ(post["Telephone"].toString(), "+1 555 0100");
    EXPECT_EQ(post["Respond_Via"].toString(), "Telephone (morning is best)");
    EXPECT_EQ(post["Registered_Name"].toString(), "");
    EXPECT_EQ(post["Registered_Company"].toString(), "Registered Company Ltd");
    EXPECT_EQ(post["Software_Version"].toString(), "ORBIS 62 Sensor Firmware Updater version ORBIS62 4.06");
    EXPECT_EQ(post["Installation_Path"].toString(), QCoreApplication::applicationFilePath());
    EXPECT_TRUE(post["Computer_Information"].toString().contains(" (Version "));
    EXPECT_EQ(post["Feedback"].toString(), description);

    const QJsonArray files = record["files"].toArray();
    ASSERT_EQ(files.size(), 2);
    const QJsonObject log = files[0].toObject();
    EXPECT_EQ(log["field"].toString(), "ORBIS_62_Sensor_Firmware_Updater_errors_txt");
    EXPECT_EQ(log["full_path"].toString(), logPath);
    EXPECT_EQ(log["type"].toString(), "text/plain");
    EXPECT_EQ(log["error"].toInt(), 0);
    EXPECT_EQ(log["sha256"].toString(), Sha256(logData));
    const QJsonObject user = files[1].toObject();
    EXPECT_EQ(user["type"].toString(), "image/png");
    EXPECT_EQ(user["size"].toInt(), userData.size());
    EXPECT_EQ(user["sha256"].toString(), Sha256(userData));
    EXPECT_EQ(user["full_path"].toString(), dir.filePath(QStringLiteral("reading %227%22.png")));

    // The contact details were kept for next time.
    auto stored = Stored();
    EXPECT_EQ(stored->value("Name").toString(), "Stored Name");
    EXPECT_EQ(stored->value("Company").toString(), "Registered Company Ltd");
    EXPECT_EQ(stored->value("EmailTo").toString(), "");
}

TEST_F(FeedbackTest, RepresentativeNoResponseAndMissingLogs) {
    info.errorFile2 = dir.filePath(QStringLiteral("gone.errors.txt"));
    Open();
    form.edName->setText(QStringLiteral("Jane Doe"));
    form.edEmailTo->setText(QStringLiteral("rep@example.org"));
    form.cbRespondVia->setCurrentIndex(0);  // no e-mail, no telephone: fine
    form.reDescription->setPlainText(QString(3000, QLatin1Char('x')));
    form.btnSend->click();

    ASSERT_EQ(asks.asked.size(), 1u);
    EXPECT_EQ(asks.asked[0].title, "Feedback Successfully Sent");
    const QJsonObject record = Record();
    EXPECT_EQ(record["post"].toObject()["EmailTo"].toString(), "rep@example.org");
    EXPECT_EQ(record["post"].toObject()["Respond_Via"].toString(), "No response necessary");
    EXPECT_EQ(record["post"].toObject()["Feedback"].toString(), QString(2048, QLatin1Char('x')));
    EXPECT_EQ(record["files"].toArray().size(), 1);  // the missing log is left out
    EXPECT_EQ(Stored()->value("EmailTo").toString(), "rep@example.org");

    // Next time the representative comes back from the stored settings.
    Open();
    EXPECT_EQ(form.edEmailTo->text(), "rep@example.org");
    EXPECT_EQ(form.edName->text(), "Jane Doe");
}

TEST_F(FeedbackTest, ValidationStopsBeforeAnythingIsStoredOrSent) {
    struct Case {
        const char* name;
        const char* email;
        const char* telephone;
        int respondVia;
        const char* emailTo;
        const char* title;
        const char* message;
        QLineEdit* TfrmWeb::*focus;
    };
    const char* const badEmail =
        "The email address you entered doesn't seem to be correct.\n\n"
        "Please enter a complete email address including\nthe '@' symbol and domain name.";
    const Case cases[] = {
        {"", "jane@example.com", "", 1, "", "Missing Information", "Please enter your name in the name field",
         &TfrmWeb::edName},
        {"Jane", "", "", 1, "", "Missing Information",
         "Please enter your phone number or email address so VORTA Group can respond to your feedback.",
         &TfrmWeb::edTelephone},
        {"Jane", "jane doe", "", 1, "rep.example.org", "Bad Email Address",
         "The email address you entered for your VORTA Group\nRepresentative isn't complete.\n\n"
         "Please enter a complete email address including\nthe '@' symbol and domain name.",
         &TfrmWeb::edEmailTo},
        {"Jane", "jane doe@example.com", "", 1, "", "Bad Email Address", nullptr, &TfrmWeb::edEmail},
        {"Jane", "jane.example.com", "555", 0, "", "Bad Email Address", badEmail, &TfrmWeb::edEmail},
    };
    const QString withBlank =
        QString::fromLatin1(badEmail) + QStringLiteral("\n\nPlease remove any space characters in the email address.");
    Open();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message ? c.message : "blank in address");
        asks.asked.clear();
        form.edName->setText(QString::fromLatin1(c.name));
        form.edEmail->setText(QString::fromLatin1(c.email));
        form.edTelephone->setText(QString::fromLatin1(c.telephone));
        form.cbRespondVia->setCurrentIndex(c.respondVia);
        form.edEmailTo->setText(QString::fromLatin1(c.emailTo));
        form.btnSend->setFocus();
        form.btnSend->click();

        const QString message = c.message ? QString::fromLatin1(c.message) : withBlank;
        EXPECT_EQ(asks.asked, (std::vector<Asked>{{message, QString::fromLatin1(c.title), false, 0}}));
        EXPECT_EQ(form.focusWidget(), form.*c.focus);
        EXPECT_TRUE(form.isVisible());
        EXPECT_TRUE(form.btnSend->isEnabled());
    }
    EXPECT_FALSE(QFile::exists(RecordPath()));
    EXPECT_FALSE(Stored()->contains("Name"));
}

TEST_F(FeedbackTest, FileSizeLimitIsSevenMegabytes) {
    const QString fits = dir.filePath(QStringLiteral("fits.bin"));
    const QString tooBig = dir.filePath(QStringLiteral("too big.bin"));
    SizedFile(fits, TfrmWeb::kMaxSendFileSize);
    SizedFile(tooBig, TfrmWeb::kMaxSendFileSize + 1);
    Open();
    FillRequired();

    Choose(tooBig);
    EXPECT_EQ(asks.asked,
              (std::vector<Asked>{{QStringLiteral("The file \"too big.bin\" is too big.\n\n"
                                                  "The maximun file size you can send with your feedback\n"
                                                  "is 8 megabytes (this file is 7.0 MB).\n\n"
                                                  "Please choose a different file to send."),
                                   QStringLiteral("File Size Error"), false, 1}}));
    EXPECT_TRUE(form.edSendFile->text().isEmpty());

    asks.asked.clear();
    Choose(fits);
    EXPECT_EQ(form.edSendFile->text(), "fits.bin");
    EXPECT_TRUE(asks.asked.empty());

    // A body this large shows the progress bar while it goes out.
    bool barShown = false;
    qint64 lastCount = 0;
    QObject::connect(&form, &TfrmWeb::uploadProgress, [&](qint64 count) {
        barShown = barShown || form.pbWeb->isVisible();
        lastCount = count;
    });
    form.btnSend->click();
    ASSERT_EQ(asks.asked.size(), 1u);
    EXPECT_EQ(asks.asked[0].title, "Feedback Successfully Sent");
    EXPECT_TRUE(barShown);
    EXPECT_FALSE(form.pbWeb->isVisible());
    EXPECT_GT(lastCount, TfrmWeb::kMaxSendFileSize);

    const QJsonArray files = Record()["files"].toArray();
    ASSERT_EQ(files.size(), 2);
    EXPECT_EQ(files[1].toObject()["size"].toInteger(), TfrmWeb::kMaxSendFileSize);
    EXPECT_EQ(files[1].toObject()["sha256"].toString(), Sha256(ReadAll(fits)));
}

TEST_F(FeedbackTest, AnswerWithoutConfirmationKeepsTheForm) {
    WriteFile(recordDir->filePath(QStringLiteral("reply.txt")), "<html>Temporarily unavailable</html>");
    Open();
    FillRequired();
    form.edTelephone->setText(QStringLiteral("555 0101"));
    form.btnSend->click();

    EXPECT_EQ(asks.asked, (std::vector<Asked>{{QStringLiteral("There was an error trying to send your General "
                                                              "Feedback to VORTA Group.\n\nPlease try again."),
                                               QStringLiteral("Error Sending Feedback"), false, 0}}));
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(form.edName->text(), "Jane Doe");
    EXPECT_TRUE(form.btnSend->isEnabled());
    EXPECT_EQ(Stored()->value("Phone").toString(), "555 0101");  // stored before every attempt
}

TEST_F(FeedbackTest, HostUnreachable) {
    const QString lead = QStringLiteral(
        "Error connecting to VORTA Group's customer feedback internet service.\n\n"
        "This feature requires your computer to be connected to the internet\n"
        "and be able to contact VORTA Group's Web Site (www.quarnel.example.com)."
        "\n\nPlease make a connection to the internet and try again.\n\nError: ");
    UseSoftwareHost(DeadPort());
    form.SetFormInfo(info);
    form.ShowFeedbackForm();
    EXPECT_FALSE(form.isVisible());
    ASSERT_EQ(asks.asked.size(), 1u);
    EXPECT_EQ(asks.asked[0].title, "Internet Access Error");
    EXPECT_EQ(asks.asked[0].kind, 1);
    EXPECT_TRUE(asks.asked[0].message.startsWith(lead)) << asks.asked[0].message.toStdString();
    EXPECT_GT(asks.asked[0].message.size(), lead.size());

    // The host goes away after the form opened: the send error names the cause.
    UseSoftwareHost(php->Port());
    Open();
    FillRequired();
    UseSoftwareHost(DeadPort());
    asks.asked.clear();
    form.btnSend->click();
    ASSERT_EQ(asks.asked.size(), 1u);
    EXPECT_EQ(asks.asked[0].title, "Error Sending Feedback");
    EXPECT_TRUE(asks.asked[0].message.startsWith(
        QStringLiteral("There was an error trying to send your General Feedback to VORTA Group.\n\n"
                       "Please try again.\n\nError: ")));
    EXPECT_EQ(asks.asked[0].message.mid(asks.asked[0].message.lastIndexOf("Error: ") + 7), form.LastSendError());
    EXPECT_TRUE(form.isVisible());
}

TEST_F(FeedbackTest, VanishedUserFileStopsTheSend) {
    const QString userFile = dir.filePath(QStringLiteral("notes.txt"));
    WriteFile(userFile, "notes");
    Open();
    FillRequired();
    Choose(userFile);
    ASSERT_TRUE(QFile::remove(userFile));
    form.btnSend->click();

    EXPECT_EQ(asks.asked, (std::vector<Asked>{{QStringLiteral("Error sending the file \"notes.txt\". \n"
                                                              "The file is empty or can't be found on the system."
                                                              "\n\nPlease check your file name and try again."),
                                               QStringLiteral("Error Reading File"), false, 1}}));
    EXPECT_EQ(form.PostFeedback(), 0);
    EXPECT_FALSE(QFile::exists(RecordPath()));
    EXPECT_TRUE(form.isVisible());
}

TEST_F(FeedbackTest, ClosingDuringUploadAbortsQuietly) {
    const QString big = dir.filePath(QStringLiteral("big.bin"));
    SizedFile(big, TfrmWeb::kMaxSendFileSize);
    Open();
    FillRequired();
    Choose(big);

    bool closedWhileUploading = false;
    QObject::connect(&form, &TfrmWeb::uploadProgress, [&](qint64 count) {
        if (!closedWhileUploading && count > 0 && count < TfrmWeb::kMaxSendFileSize) {
            closedWhileUploading = form.Uploading();
            form.close();
        }
    });
    form.btnSend->click();

    EXPECT_TRUE(closedWhileUploading);
    EXPECT_TRUE(asks.asked.empty());
    EXPECT_FALSE(form.isVisible());
    EXPECT_FALSE(form.Uploading());
    EXPECT_FALSE(form.pbWeb->isVisible());
    EXPECT_TRUE(form.btnSend->isEnabled());
    EXPECT_FALSE(form.LastSendError().isEmpty());
    // The server never ran the script for the cut-off body.
    WaitFor([] { return false; }, 1000);
    EXPECT_FALSE(QFile::exists(RecordPath()));
}

TEST_F(FeedbackTest, LaunchTrimsTheLogBeforeOpening) {
    const QString path = dir.filePath(QStringLiteral("trim.errors.txt"));
    QByteArray lines;
    for (int i = 0; lines.size() < 100000; ++i)
        lines += QByteArray("line ") + QByteArray::number(i).rightJustified(6, '0') + " of the old log\r\n";
    lines.truncate(100000);
    WriteFile(path, lines);
    {
        QuarLog log(path.toUtf8().constData(), 30, false);
        form.LaunchFeedback(info, &log, kProduct);
    }
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(form.FormInfo().errorFile1, logPath);
    const QByteArray kept = ReadAll(path);
    EXPECT_LE(kept.size(), TfrmWeb::kLogTailBytes);
    EXPECT_GT(kept.size(), TfrmWeb::kLogTailBytes - 100);
    EXPECT_TRUE(lines.endsWith(kept));

    form.hide();
    const QString empty = dir.filePath(QStringLiteral("empty.errors.txt"));
    WriteFile(empty, "");
    {
        QuarLog log(empty.toUtf8().constData(), 30, false);
        form.LaunchFeedback(info, &log, kProduct);
    }
    EXPECT_TRUE(form.isVisible());
    const QByteArray noted = ReadAll(empty);
    EXPECT_TRUE(noted.contains(" - ORBIS 62 Sensor Firmware Updater: Launching web feedback with an empty error file."))
        << noted.toStdString();
}

}  // namespace
