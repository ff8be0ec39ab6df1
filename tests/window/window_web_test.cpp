// The web commands of the window against a server on loopback: the version
// check at start-up and from the Help menu, and the feedback form.
#include "window_support.h"

using wintest::TempHome;
using wintest::TinyHttp;
using wintest::Window;

namespace {

struct WindowWebTest : ::testing::Test {
    wintest::AppReady app;
    TempHome home;
    TinyHttp server;
};

TEST_F(WindowWebTest, StartupCheckAsksForTheTargetsPathAndReportsNews) {
    server.bodies["/versionfinder/WPX1-Firmware.txt"] = "4.07 http://www.quarnel.example.com/get/updater.exe";
    TempHome::UseSoftwareHost(server.Port());
    Window win;
    ASSERT_TRUE(wintest::WaitFor([&] { return !win.desk.webAsked.empty(); }));
    EXPECT_EQ(server.Paths(), std::vector<QByteArray>{"/versionfinder/WPX1-Firmware.txt"});
    EXPECT_EQ(win.desk.webAsked[0].first, "New Version Available");
    EXPECT_EQ(win.desk.webAsked[0].second,
              "There is newer version of ORBIS 62 Sensor Firmware Updater available for download."
              "\n\nWould you like to download this new version with your web browser now?");
    EXPECT_EQ(win.w.WebCheck()->LastResult(), 407);
    EXPECT_FALSE(win.w.WebCheck()->Armed());
}

TEST_F(WindowWebTest, MenuCheckAnswersEvenWithoutNews) {
    server.bodies["/versionfinder/WPX1-Firmware.txt"] = "406\r\nhttp://www.quarnel.example.com/info.html";
    server.bodies["/versionfinder/K7W-Firmware.txt"] = "4.05 http://www.quarnel.example.com/k7w.html";
    TempHome::UseSoftwareHost(server.Port());
    Window win({"-factory"});
    // The silent start-up check finds nothing to tell.
    ASSERT_TRUE(wintest::WaitFor([&] { return server.Paths().size() == 1 && !win.w.WebCheck()->Armed(); }));
    wintest::Pump(100);
    EXPECT_TRUE(win.desk.webAsked.empty());

    win.Item("CheckforUpdates1")->trigger();
    ASSERT_EQ(win.desk.webAsked.size(), 1u);
    EXPECT_EQ(win.desk.webAsked[0].first, "Version Finder");
    EXPECT_EQ(win.desk.webAsked[0].second, "You are using the latest version of ORBIS 62 Sensor Firmware Updater.");

    // Another target sensor asks for its own path, with its own name.
    win.Item("K7W1")->trigger();
    win.Item("CheckforUpdates1")->trigger();
    ASSERT_EQ(win.desk.webAsked.size(), 2u);
    EXPECT_EQ(server.Paths().back(), "/versionfinder/K7W-Firmware.txt");
    EXPECT_EQ(win.desk.webAsked[1].second,
              "You are running a newer version of K7W Sensor Firmware Updater\nthan is available from VORTA "
              "Group's web site.");
}

TEST_F(WindowWebTest, SendFeedbackHandsTheFormTheWindowsDetails) {
    server.bodies["/"] = "hello";
    TempHome::UseSoftwareHost(server.Port());
    Window win;
    ASSERT_TRUE(wintest::WaitFor([&] { return !win.w.WebCheck()->Armed(); }));

    win.Item("SendFeedbacktoQuarnel1")->trigger();
    ASSERT_TRUE(wintest::WaitFor([&] { return win.w.Web()->isVisible(); }));
    EXPECT_TRUE(win.desk.webAsked.empty());
    const WEB_FORM_INFO_TYPE& info = win.w.Web()->FormInfo();
    EXPECT_EQ(info.productName, "ORBIS 62 Sensor Firmware Updater");
    EXPECT_EQ(info.productVersion, "ORBIS62 4.06");
    EXPECT_TRUE(info.registeredName.isEmpty());
    EXPECT_TRUE(info.registeredCompany.isEmpty());
    EXPECT_EQ(info.defaultEmailTo, kSupportEmail);
    EXPECT_EQ(info.errorFile1.toStdString(), win.w.State().errorsFileName);
    EXPECT_TRUE(info.errorFile2.isEmpty());
    EXPECT_TRUE(info.errorFile3.isEmpty());
    EXPECT_EQ(info.browseFolder, QCoreApplication::applicationDirPath());
    win.w.Web()->close();
}

}  // namespace
