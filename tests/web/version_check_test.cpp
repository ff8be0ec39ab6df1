#include "web_support.h"

#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

namespace {

const QString kProduct = QStringLiteral("ORBIS 62 Sensor Firmware Updater");
const QString kPath = QStringLiteral("/versionfinder/WPX1-Firmware.txt");
const char* const kDownload = "http://dl.quarnel.example.com/ORBIS62Updater.exe";
const char* const kInfoPage = "http://www.quarnel.example.com/orbis62.html";

const QString kConnectErrorLead = QStringLiteral(
    "Error connecting to VORTA Group's version check service.\n"
    "This feature requires your computer to be connected \n"
    "to the internet.\n"
    "\n\nPlease make a connection to the internet and try again."
    "\n\nError: ");
const Asked kParseError{QStringLiteral("Error parsing the version information returned by \n"
                                       "VORTA Group's version check service.\n"
                                       "[error -1002]\n\nPlease try again or contact VORTA for help."),
                        QStringLiteral("Version Check Error"), false, 1};
const Asked kDownloadQuestion{
    QStringLiteral("There is newer version of ORBIS 62 Sensor Firmware Updater available for download."
                   "\n\nWould you like to download this new version with your web browser now?"),
    QStringLiteral("New Version Available"), true, 2};
const Asked kInfoQuestion{QStringLiteral("There is information about a newer version of ORBIS 62 Sensor Firmware "
                                         "Updater\navailable at http://www.quarnel.example.com/orbis62.html"
                                         "\n\nWould you like to visit this page with your web browser now?"),
                          QStringLiteral("New Version Available"), true, 2};
const Asked kLaunchError{QStringLiteral("ORBIS 62 Sensor Firmware Updater had trouble launching your web browser.\n"
                                        "Please try manually going to:\n"
                                        "http://www.quarnel.example.com/orbis62.html"),
                         QStringLiteral("Web Browser Launch Error"), false, 0};
const Asked kLatest{QStringLiteral("You are using the latest version of ORBIS 62 Sensor Firmware Updater."),
                    QStringLiteral("Version Finder"), false, 2};
const Asked kRunningNewer{QStringLiteral("You are running a newer version of ORBIS 62 Sensor Firmware Updater\n"
                                         "than is available from VORTA Group's web site."),
                          QStringLiteral("Version Finder"), false, 2};

class VersionCheckTest : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureApp();
        UseSoftwareHost(server.Port());
        asks.Install(web);
        web.openUrlHook = [this](const QUrl& url) {
            opened.push_back(url.toString());
            return browserWorks;
        };
    }
    void Serve(const QByteArray& body) { server.replies[kPath.toLatin1()] = {200, body, {}}; }

    AppReady ready;
    ReplyServer server;
    TfrmWeb web;
    AskRecorder asks;
    std::vector<QString> opened;
    bool browserWorks = true;
};

struct ReplyCase {
    const char* name;
    QByteArray body;
    bool silent;
    bool answerYes;
    bool browserWorks;
    int result;
    std::vector<Asked> expected;
    std::vector<QString> opened;
};

TEST_F(VersionCheckTest, RepliesFromTheVersionFinder) {
    const QByteArray download = QByteArray("4.07 ") + kDownload + "\r\n";
    const std::vector<ReplyCase> cases = {
        {"newer download at start-up", download, true, true, true, 407, {kDownloadQuestion}, {kDownload}},
        {"newer download from the menu, declined", download, false, false, true, 407, {kDownloadQuestion}, {}},
        {"newer information page, browser fails", QByteArray("407 ") + kInfoPage, false, true, false, 407,
         {kInfoQuestion, kLaunchError}, {kInfoPage}},
        {"same version at start-up", QByteArray("406\r\n") + kInfoPage, true, true, true, 406, {}, {}},
        {"same version from the menu", QByteArray("406\r\n") + kInfoPage, false, true, true, 406, {kLatest}, {}},
        {"older online from the menu", QByteArray("4.05 ") + kInfoPage, false, true, true, 405, {kRunningNewer}, {}},
        {"older online at start-up", QByteArray("4.05 ") + kInfoPage, true, true, true, 405, {}, {}},
        {"no address from the menu", "4.07\r\n", false, true, true, 0, {kParseError}, {}},
        {"no address at start-up", "4.07\r\n", true, true, true, 0, {}, {}},
        {"a word instead of a version", QByteArray("latest ") + kInfoPage, false, true, true, 0, {kParseError}, {}},
    };
    for (const ReplyCase& c : cases) {
        SCOPED_TRACE(c.name);
        Serve(c.body);
        asks.asked.clear();
        asks.yes = c.answerYes;
        opened.clear();
        browserWorks = c.browserWorks;

        EXPECT_EQ(web.CheckVersion(406, kPath, c.silent, kProduct), c.result);
        EXPECT_EQ(asks.asked, c.expected);
        EXPECT_EQ(opened, c.opened);
    }
    EXPECT_EQ(server.requests.size(), cases.size());
}

TEST_F(VersionCheckTest, RequestCarriesPathAndAcceptHeader) {
    Serve("406 http://x");
    web.CheckVersion(406, kPath, true, kProduct);
    ASSERT_EQ(server.requests.size(), 1u);
    EXPECT_EQ(server.requests[0].method, "GET");
    EXPECT_EQ(server.requests[0].path, kPath.toLatin1());
    EXPECT_EQ(server.requests[0].headers["accept"], "text/html, */*");
    EXPECT_EQ(server.requests[0].headers["host"], "127.0.0.1:" + QByteArray::number(server.Port()));
}

TEST_F(VersionCheckTest, NothingIsAskedWithoutPathOrVersion) {
    Serve("4.07 http://x.exe");
    EXPECT_EQ(web.CheckVersion(0, kPath, false, kProduct), 0);
    EXPECT_EQ(web.CheckVersion(406, QString(), false, kProduct), 0);
    EXPECT_TRUE(server.requests.empty());
    EXPECT_TRUE(asks.asked.empty());
}

TEST_F(VersionCheckTest, ConnectionErrorsCarryTheClientText) {
    // An HTTP error status, then no server at all.
    for (quint16 port : {server.Port(), DeadPort()}) {
        SCOPED_TRACE(port);
        UseSoftwareHost(port);
        asks.asked.clear();
        EXPECT_EQ(web.CheckVersion(406, QStringLiteral("/versionfinder/none.txt"), true, kProduct), 0);
        EXPECT_TRUE(asks.asked.empty());

        EXPECT_EQ(web.CheckVersion(406, QStringLiteral("/versionfinder/none.txt"), false, kProduct), 0);
        ASSERT_EQ(asks.asked.size(), 1u);
        EXPECT_EQ(asks.asked[0].title, "Version Check Error");
        EXPECT_EQ(asks.asked[0].kind, 1);
        EXPECT_FALSE(asks.asked[0].yesNo);
        EXPECT_TRUE(asks.asked[0].message.startsWith(kConnectErrorLead)) << asks.asked[0].message.toStdString();
        EXPECT_GT(asks.asked[0].message.size(), kConnectErrorLead.size());
    }
}

TEST_F(VersionCheckTest, RedirectsStayOnTheSoftwareHost) {
    ReplyServer elsewhere;
    elsewhere.replies[kPath.toLatin1()] = {200, "9.99 http://x.exe", {}};
    server.replies["/versionfinder/old.txt"] = {301, {}, kPath.toLatin1()};
    Serve("4.07 http://x.exe");
    EXPECT_EQ(web.CheckVersion(406, QStringLiteral("/versionfinder/old.txt"), true, kProduct), 407);

    server.replies["/versionfinder/moved.txt"] = {
        302, {}, "http://127.0.0.1:" + QByteArray::number(elsewhere.Port()) + kPath.toLatin1()};
    EXPECT_EQ(web.CheckVersion(406, QStringLiteral("/versionfinder/moved.txt"), false, kProduct), 0);
    EXPECT_TRUE(elsewhere.requests.empty());
    ASSERT_FALSE(asks.asked.empty());
    EXPECT_EQ(asks.asked.back().title, "Version Check Error");
}

TEST_F(VersionCheckTest, StartupTimerChecksOnceAndSilently) {
    Serve(QByteArray("4.05 ") + kInfoPage);
    unsigned version = 406;
    WebCheckTimer timer(&web, [&] { return WebCheckInputs{version, kPath, kProduct}; });
    timer.Arm();
    EXPECT_TRUE(timer.Armed());
    ASSERT_TRUE(WaitFor([&] { return !server.requests.empty() && !timer.Armed(); }));
    EXPECT_EQ(timer.LastResult(), 405);
    EXPECT_TRUE(asks.asked.empty());

    // Fired once only; a newer version is told even at start-up.
    Serve(QByteArray("4.07 ") + kDownload);
    WaitFor([] { return false; }, 700);
    EXPECT_EQ(server.requests.size(), 1u);
    timer.Arm();
    ASSERT_TRUE(WaitFor([&] { return server.requests.size() == 2 && !timer.Armed(); }));
    EXPECT_EQ(timer.LastResult(), 407);
    EXPECT_EQ(asks.asked, std::vector<Asked>{kDownloadQuestion});
}

}  // namespace

namespace {

TEST(AskUserDialog, RealDialogButtonsAndDefault) {
    EnsureApp();
    QWidget owner;
    TfrmWeb web(&owner);
    struct Seen {
        QString text, title;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons buttons;
        QWidget* parent = nullptr;
    };
    auto answerWithDefault = [](Seen* seen) {
        // Presses the dialog's default button as soon as it is up.
        auto* poll = new QTimer;
        QObject::connect(poll, &QTimer::timeout, poll, [poll, seen] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            seen->text = box->text();
            seen->title = box->windowTitle();
            seen->icon = box->icon();
            seen->buttons = box->standardButtons();
            seen->parent = box->parentWidget();
            box->defaultButton()->click();
            poll->deleteLater();
        });
        poll->start(10);
    };

    Seen question;
    answerWithDefault(&question);
    EXPECT_TRUE(web.AskUser(QStringLiteral("Download?"), QStringLiteral("New Version Available"), true, 2));
    EXPECT_EQ(question.text, "Download?");
    EXPECT_EQ(question.title, "New Version Available");
    EXPECT_EQ(question.icon, QMessageBox::Information);
    EXPECT_EQ(question.buttons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(question.parent, &owner);

    Seen notice;
    answerWithDefault(&notice);
    EXPECT_FALSE(web.AskUser(QStringLiteral("Failed"), QStringLiteral("Version Check Error"), false, 1));
    EXPECT_EQ(notice.icon, QMessageBox::Critical);
    EXPECT_EQ(notice.buttons, QMessageBox::Ok);
}

}  // namespace

namespace {

TEST(SoftwareHost, FromTheEnvironment) {
    struct Case {
        const char* value;
        const char* url;  // empty: refused
    };
    const Case cases[] = {
        {nullptr, "http://software.quarnel.example"},
        {"127.0.0.1:8080", "http://127.0.0.1:8080"},
        {"updates.example.net", "http://updates.example.net"},
        {"https://updates.example.net:8443/", "https://updates.example.net:8443"},
        {"updates.example.net/versionfinder", ""},
        {"user@updates.example.net", ""},
        {"http://", ""},
    };
    const QByteArray saved = qgetenv("QUARBSL_SOFTWARE_HOST");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "(unset)");
        if (c.value)
            qputenv("QUARBSL_SOFTWARE_HOST", c.value);
        else
            qunsetenv("QUARBSL_SOFTWARE_HOST");
        QString error;
        const QUrl url = SoftwareHostUrl(&error);
        EXPECT_EQ(url.toString(), QString::fromLatin1(c.url));
        EXPECT_EQ(error.isEmpty(), *c.url != '\0');
    }
    qputenv("QUARBSL_SOFTWARE_HOST", saved);
}

}  // namespace
