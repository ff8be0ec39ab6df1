#include "diag/quarlog.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class LogFile : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/quarlog-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        path = dir + "/QuarBSL.errors.txt";
    }
    void TearDown() override {
        std::remove(path.c_str());
        std::remove((path + ".temp").c_str());
        rmdir(dir.c_str());
    }
    std::string Contents() const {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    void WriteRaw(const std::string& text) const {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
    }
    std::string dir, path;
};

std::string TimeTextNow() {
    time_t now = time(nullptr);
    struct tm t {};
    localtime_r(&now, &t);
    char buf[64];
    QuarLogTimeText(t, buf, sizeof buf);
    return buf;
}

TEST(QuarLogTimeText, DayHourWithoutZeroMonthFromFixedTable) {
    struct Case {
        int year, mon, mday, hour, min, sec;
        const char* text;
    } cases[] = {
        {2020, 0, 5, 7, 3, 9, "5 Jan 2020 7:03:09"},
        {2019, 11, 9, 7, 5, 9, "9 Dec 2019 7:05:09"},
        {2031, 4, 31, 23, 59, 0, "31 May 2031 23:59:00"},
        {2024, 8, 1, 0, 0, 5, "1 Sep 2024 0:00:05"},
    };
    for (const Case& c : cases) {
        struct tm t {};
        t.tm_year = c.year - 1900;
        t.tm_mon = c.mon;
        t.tm_mday = c.mday;
        t.tm_hour = c.hour;
        t.tm_min = c.min;
        t.tm_sec = c.sec;
        char buf[64];
        EXPECT_EQ(QuarLogTimeText(t, buf, sizeof buf), static_cast<int>(strlen(c.text)));
        EXPECT_STREQ(buf, c.text);
    }
    struct tm bad {};
    bad.tm_mon = 12;
    char buf[8] = "x";
    EXPECT_EQ(QuarLogTimeText(bad, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");
}

TEST_F(LogFile, LineCarriesTimeSourceMessageAndCrLf) {
    QuarLog log(path.c_str(), 30, true);
    std::string before = TimeTextNow();
    int n = LogMessage(&log, 10, "QuarBSL", "BSLSendFirmware successful (%d s)", 42);
    std::string after = TimeTextNow();

    std::string text = Contents();
    EXPECT_EQ(n, static_cast<int>(text.size()));
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, std::regex("(.*) - QuarBSL: BSLSendFirmware successful \\(42 s\\)\r\n")))
        << text;
    EXPECT_TRUE(m[1] == before || m[1] == after) << m[1];
    EXPECT_TRUE(std::regex_match(before, std::regex("[1-9][0-9]? (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                                                    "[0-9]{4} [12]?[0-9]:[0-5][0-9]:[0-5][0-9]")))
        << before;
}

TEST_F(LogFile, LevelDecidesWhatIsWritten) {
    struct Case {
        unsigned logLevel, msgLevel;
        bool written;
    } cases[] = {{30, 40, false}, {30, 30, true}, {30, 1, true}, {1, 10, false},
                 {1, 1, true},    {0, 1, false},  {0, 0, true},  {40, 40, true}};
    for (const Case& c : cases) {
        QuarLog log(path.c_str(), c.logLevel, true);
        int n = LogMessage(&log, c.msgLevel, "QuarSerial", "x");
        EXPECT_EQ(n > 0, c.written) << c.logLevel << "/" << c.msgLevel;
        EXPECT_EQ(Contents().size(), static_cast<size_t>(n));
    }
}

TEST_F(LogFile, UnknownLevelsBecomeOneOrAreRefused) {
    QuarLog log(path.c_str(), 20, true);
    EXPECT_EQ(log.Level(), 1u);
    EXPECT_TRUE(log.SetLevel(30));
    EXPECT_FALSE(log.SetLevel(20));
    EXPECT_FALSE(log.SetLevel(41));
    EXPECT_EQ(log.Level(), 30u);
    QuarLog defaultName(nullptr, 30, false);
    EXPECT_STREQ(defaultName.FileName(), "error.txt");
}

TEST_F(LogFile, AppendsAcrossRunsUnlessStartingFresh) {
    {
        QuarLog log(path.c_str(), 30, true);
        LogMessage(&log, 1, "run", "first");
    }
    {
        QuarLog log(path.c_str(), 30, false);
        LogMessage(&log, 1, "run", "second");
    }
    std::string both = Contents();
    EXPECT_NE(both.find("run: first\r\n"), std::string::npos);
    EXPECT_NE(both.find("run: second\r\n"), std::string::npos);
    QuarLog fresh(path.c_str(), 30, true);
    EXPECT_EQ(fresh.FileSize(), -ENOENT);
}

TEST_F(LogFile, LongMessageIsWrittenWhole) {
    QuarLog log(path.c_str(), 30, true);
    std::string big(5000, 'a');
    big += "END";
    int n = LogMessage(&log, 1, "src", "%s", big.c_str());
    std::string text = Contents();
    EXPECT_EQ(n, static_cast<int>(text.size()));
    ASSERT_GE(text.size(), big.size() + 2);
    EXPECT_EQ(text.substr(text.size() - big.size() - 2), big + "\r\n");
    EXPECT_EQ(log.FileSize(), static_cast<long>(text.size()));
}

TEST_F(LogFile, UnwritableFileAndNullLogGiveZero) {
    QuarLog log((dir + "/missing/dir/log.txt").c_str(), 30, false);
    EXPECT_EQ(LogMessage(&log, 1, "x", "y"), 0);
    EXPECT_LT(log.FileSize(), 0);
    EXPECT_FALSE(log.KeepTail(10));
    EXPECT_EQ(LogMessage(nullptr, 1, "x", "y"), 0);
}

TEST_F(LogFile, TwoWritersNeverMixInsideALine) {
    QuarLog log(path.c_str(), 30, true);
    const int kLines = 300;
    pid_t kids[2];
    for (int k = 0; k < 2; ++k) {
        kids[k] = fork();
        ASSERT_GE(kids[k], 0);
        if (kids[k] == 0) {
            std::string body(3000, static_cast<char>('A' + k));
            for (int i = 0; i < kLines; ++i) LogMessage(&log, 1, "w", "%s", body.c_str());
            _exit(0);
        }
    }
    for (pid_t kid : kids) {
        int status = 0;
        waitpid(kid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
    }
    std::istringstream lines(Contents());
    std::string line;
    int seen = 0;
    std::regex whole(".* - w: (A{3000}|B{3000})\r");
    while (std::getline(lines, line)) {
        ++seen;
        ASSERT_TRUE(std::regex_match(line, whole)) << "line " << seen << " is mixed";
    }
    EXPECT_EQ(seen, 2 * kLines);
}

TEST_F(LogFile, KeepTailLeavesASmallFileAlone) {
    std::string text = "line one\r\nline two\r\n";
    WriteRaw(text);
    QuarLog log(path.c_str(), 30, false);
    EXPECT_TRUE(log.KeepTail(32768));
    EXPECT_EQ(Contents(), text);
}

TEST_F(LogFile, KeepTailKeepsWholeLinesFromTheEnd) {
    // 100000 bytes of numbered lines of varying length.
    std::string text;
    for (int i = 0; text.size() < 100000; ++i) {
        text += "entry " + std::to_string(i) + std::string(static_cast<size_t>(i % 50), '.') + "\r\n";
    }
    text.resize(100000);
    WriteRaw(text);
    // A stale temporary file from an interrupted trim must not leak in.
    std::ofstream(path + ".temp", std::ios::binary) << "STALE";

    QuarLog log(path.c_str(), 30, false);
    ASSERT_TRUE(log.KeepTail(32768));
    size_t start = text.find('\n', 100000 - 32768) + 1;
    std::string kept = Contents();
    EXPECT_LE(kept.size(), 32768u);
    EXPECT_EQ(kept, text.substr(start));
    EXPECT_EQ(access((path + ".temp").c_str(), F_OK), -1);
}

TEST_F(LogFile, KeepTailOnMissingFileFails) {
    QuarLog log(path.c_str(), 30, true);
    EXPECT_FALSE(log.KeepTail(100));
    EXPECT_EQ(log.FileSize(), -ENOENT);
}

}  // namespace
