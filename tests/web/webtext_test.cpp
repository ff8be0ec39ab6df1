#include "web/webtext.h"

#include <gtest/gtest.h>

namespace {

TEST(VersionFinderReply, VersionAndAddress) {
    struct Case {
        const char* body;
        int result;
        int version;
        const char* address;
    };
    const Case cases[] = {
        {"4.07 http://x.example.com/Setup.exe", 1, 407, "http://x.example.com/Setup.exe"},
        {"407\r\nhttp://x.example.com/a.html \r\n\r\n", 1, 407, "http://x.example.com/a.html"},
        {"4 http://a", 1, 400, "http://a"},
        {"150.4 http://a", 1, 150, "http://a"},
        {"1.125 http://a", 1, 113, "http://a"},  // 112.5 rounds up
        {"  406\thttp://a", 1, 406, "http://a"},
        {"4.07", kWebParseError, 0, ""},
        {"http://a", kWebParseError, 0, ""},
        {"new http://a", kWebParseError, 0, ""},
        {"4.0.7 http://a", kWebParseError, 0, ""},
        {"1e400 http://a", kWebParseError, 0, ""},
        {"", kWebParseError, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        int version = -5;
        QString address = QStringLiteral("old");
        EXPECT_EQ(ParseVersionFinderReply(QString::fromLatin1(c.body), &version, &address), c.result);
        EXPECT_EQ(version, c.version);
        EXPECT_EQ(address, QString::fromLatin1(c.address));
    }
}

TEST(VersionFinderReply, LongAddressIsCut) {
    const QString address = QStringLiteral("http://a/") + QString(2000, QLatin1Char('b'));
    int version = 0;
    QString found;
    ASSERT_EQ(ParseVersionFinderReply(QStringLiteral("407 ") + address, &version, &found), 1);
    EXPECT_EQ(found, address.left(999));
}

TEST(VersionFinderReply, DownloadOrInformation) {
    EXPECT_TRUE(IsDownloadAddress(QStringLiteral("http://a/ORBIS62Updater.exe")));
    EXPECT_TRUE(IsDownloadAddress(QStringLiteral("http://a/get.exe?v=407")));
    EXPECT_FALSE(IsDownloadAddress(QStringLiteral("http://a/news.html")));
}

TEST(ComputerInformation, LinuxLine) {
    struct Case {
        const char* osRelease;
        const char* kernel;
        const char* expected;
    };
    const Case cases[] = {
        {"NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n", "6.1.0-18-amd64",
         "Debian GNU/Linux 12 (bookworm) (Version 6.1 build 0)"},
        {"PRETTY_NAME='Fedora Linux 40'\n", "6.8.9-300.fc40.x86_64", "Fedora Linux 40 (Version 6.8 build 9)"},
        {"PRETTY_NAME=\"Say \\\"hi\\\"\"\n", "5.15.146", "Say \"hi\" (Version 5.15 build 146)"},
        {"NAME=Alpine\n", "6.6", "Alpine (Version 6.6 build 0)"},
        {"", "", "Linux (Version 0.0 build 0)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(FormatComputerInformation(QString::fromUtf8(c.osRelease), QString::fromLatin1(c.kernel)),
                  QString::fromUtf8(c.expected));
    }
}

TEST(ComputerInformation, WindowsNames) {
    struct Case {
        int platform;
        unsigned major, minor, build;
        const char* pack;
        const char* expected;
    };
    const Case cases[] = {
        {2, 5, 1, 2600, "Service Pack 3", "Windows XP Service Pack 3 (Version 5.1 build 2600)"},
        {2, 4, 0, 1381, "", "Windows NT 4.0  (Version 4.0 build 1381)"},
        {2, 5, 3, 1, "", " (Version 5.3 build 1)"},
        {1, 4, 10, 0x040A07CE, " A ", "Windows 98  A  (Version 4.10 build 1998)"},
        {1, 5, 0, 1, "", "Unknown Win32  (Version 5.0 build 1)"},
        {3, 1, 0, 1, "", "Unknown Windows Platform  (Version 1.0 build 1)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(WindowsComputerInformation(c.platform, c.major, c.minor, c.build, QString::fromLatin1(c.pack)),
                  QString::fromLatin1(c.expected));
    }
}

}  // namespace
