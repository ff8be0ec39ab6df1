#include "serial/quarserial.h"

#include "diag/quarlog.h"
#include "serial/pty_pair.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <thread>

namespace {

class SerialOnPty : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        char tmpl[] = "/tmp/quarserial-log-XXXXXX";
        int fd = mkstemp(tmpl);
        ASSERT_GE(fd, 0);
        close(fd);
        logPath = tmpl;
        log = new QuarLog(logPath.c_str(), 40, true);
    }
    void TearDown() override {
        delete log;
        std::remove(logPath.c_str());
    }
    std::string LogText() const {
        std::ifstream in(logPath, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    bool Logged(const std::string& source, const std::string& text) const {
        return LogText().find(" - " + source + ": " + text + "\r\n") != std::string::npos;
    }
    std::string Read(QuarSerial& port, unsigned capacity, int* rc = nullptr) {
        std::string buf(capacity, '\0');
        unsigned n = 0;
        int r = port.QSRead(buf.data(), capacity, &n);
        if (rc) *rc = r;
        buf.resize(n);
        return buf;
    }

    PtyPair pty;
    std::string logPath;
    QuarLog* log = nullptr;
};

TEST_F(SerialOnPty, OpenSetsRawLineAtRequestedRate) {
    QuarSerial port(log);
    ASSERT_EQ(port.QSOpen(pty.name.c_str(), 0), 1);
    EXPECT_EQ(port.Baud(), 9600u);
    EXPECT_STREQ(port.PortName(), pty.name.c_str());
    EXPECT_TRUE(Logged(pty.name, "QSOpen successfully opened and configured comm port at 9600 baud"));

    struct termios tio {};
    ASSERT_EQ(tcgetattr(port.Handle(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 1);

    // Bytes pass untouched both ways: no CR/LF translation, no echo.
    int written = 0;
    EXPECT_EQ(port.QSWrite("a\r\nb\x11", 5, &written), 5);
    EXPECT_EQ(written, 5);
    EXPECT_EQ(pty.Receive(), std::string("a\r\nb\x11"));
    EXPECT_TRUE(Logged(pty.name, "QSWrite wrote 5 bytes"));
    pty.Send("x\ry\n");
    EXPECT_EQ(Read(port, 16), "x\ry\n");
    EXPECT_TRUE(Logged(pty.name, "QSRead read 4 btyes"));
}

TEST_F(SerialOnPty, RatesAndNames) {
    struct Case {
        std::string name;
        int rate;
        int result;
        unsigned baud;
    } cases[] = {
        {pty.name, 115200, 1, 115200},
        {pty.path, 460800, 1, 460800},   // absolute paths open as they are
        {pty.name, 12345, -11, 12345},  // no such standard rate: refused
        {pty.name, -9600, -11, 0},
    };
    for (const Case& c : cases) {
        QuarSerial port(log);
        EXPECT_EQ(port.QSOpen(c.name.c_str(), c.rate), c.result) << c.name << " " << c.rate;
        if (c.result == 1) {
            EXPECT_EQ(port.Baud(), c.baud);
        }
        port.QSClose();
    }
    QuarSerial port(log);
    std::string tooLong(QuarSerial::kPortNameSize, 'x');
    EXPECT_EQ(port.QSOpen(tooLong.c_str(), 9600), -11);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_STREQ(port.PortName(), "");
    EXPECT_EQ(port.QSOpen(nullptr, 9600), -10);
}

TEST_F(SerialOnPty, UnknownPortFailsWithNoSuchPort) {
    QuarSerial port(log);
    EXPECT_EQ(port.QSOpen("ttyQUARNONE7", 9600), -kQSErrNoSuchPort);
    EXPECT_EQ(port.Handle(), QuarSerial::kInvalidHandle);
    EXPECT_STREQ(port.PortName(), "ttyQUARNONE7");
    EXPECT_TRUE(Logged("ttyQUARNONE7", "QSOpen failed to open comm port (error 2)"));
    EXPECT_NE(LogText().find("QSOpen failed"), std::string::npos);

    // The failed state: the port calls fail, a close resets it quietly.
    char buf[8];
    unsigned n = 0;
    int written = 0;
    EXPECT_EQ(port.QSWrite("x", 1, &written), -21);
    EXPECT_EQ(port.QSClose(), 0);
    EXPECT_EQ(port.Handle(), QuarSerial::kNoHandle);
    EXPECT_EQ(port.QSRead(buf, sizeof buf, &n), -60);  // never got a buffer
}

TEST_F(SerialOnPty, PortHeldElsewhereIsBusy) {
    {
        PortHolder other(pty.path);
        ASSERT_TRUE(other.ok());
        QuarSerial port(log);
        EXPECT_EQ(port.QSOpen(pty.name.c_str(), 9600), -kQSErrBusy);
        EXPECT_TRUE(Logged(pty.name, "QSOpen failed to open comm port (error 5)"));
    }
    {
        // Another program that made the line exclusive, without a lock.
        ASSERT_EQ(ioctl(pty.slave, TIOCEXCL), 0);
        QuarSerial port(log);
        EXPECT_EQ(port.QSOpen(pty.name.c_str(), 9600), -kQSErrBusy);
        int exclusive = 0;
        ASSERT_EQ(ioctl(pty.slave, TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 1);  // still theirs
        ASSERT_EQ(ioctl(pty.slave, TIOCNXCL), 0);
    }
    QuarSerial first(log), second(log);
    ASSERT_EQ(first.QSOpen(pty.name.c_str(), 9600), 1);
    EXPECT_EQ(second.QSOpen(pty.name.c_str(), 9600), -kQSErrBusy);
    first.QSClose();
    EXPECT_EQ(second.QSOpen(pty.name.c_str(), 9600), 1);
}

TEST_F(SerialOnPty, ReopenAndDoubleClose) {
    QuarSerial port(log);
    ASSERT_EQ(port.QSOpen(pty.name.c_str(), 9600), 1);
    int oldHandle = port.Handle();
    ASSERT_EQ(port.QSOpen(pty.name.c_str(), 19200), 1);
    EXPECT_TRUE(Logged("QuarSerial", "QSOpen found port \"" + std::to_string(oldHandle) + "\" already open"));
    EXPECT_TRUE(Logged(pty.name, "QSClose closed comm port"));
    EXPECT_EQ(port.Baud(), 19200u);
    pty.Send("hi");
    EXPECT_EQ(Read(port, 8), "hi");

    EXPECT_EQ(port.QSClose(), 1);
    std::string after = LogText();
    EXPECT_EQ(port.QSClose(), 0);
    EXPECT_EQ(LogText(), after);  // nothing logged
    EXPECT_EQ(port.ReadBuffer(), nullptr);
}

TEST_F(SerialOnPty, ClosedPortCallsFail) {
    QuarSerial port(log);
    char buf[8];
    int written = 0;
    EXPECT_EQ(port.QSWrite("x", 1, &written), -21);
    EXPECT_TRUE(Logged("QuarSerial", "QSWrite tried to write to a closed port"));
    EXPECT_EQ(port.QSWait(10, '\r'), -21);
    EXPECT_TRUE(Logged("QuarSerial", "QSWait tried to operate on a closed port"));
    QuarSerial withBuffer(log, buf);
    buf[0] = '\0';
    unsigned n = 1;
    EXPECT_EQ(withBuffer.QSRead(buf, sizeof buf, &n), -21);
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(Logged("QuarSerial", "QSRead tried to read from a closed port"));
    EXPECT_EQ(port.QSFlush(1), 0);
}

TEST_F(SerialOnPty, WaitOverSplitArrivalLeavesAnswerForRead) {
    QuarSerial port(log);
    ASSERT_EQ(port.QSOpen(pty.name.c_str(), 9600), 1);
    std::thread far([this] {
        pty.Send("O");
        usleep(250 * 1000);
        pty.Send("K\r");
    });
    int rc = port.QSWait(3000, '\r');
    far.join();
    EXPECT_EQ(rc, 13);
    EXPECT_TRUE(port.AnswerReady());
    EXPECT_NE(LogText().find(pty.name + ": QSWait found '\r' in "), std::string::npos);

    // Bytes arriving now stay on the port: the ready answer is read alone.
    pty.Send("NEXT");
    usleep(50 * 1000);
    EXPECT_EQ(Read(port, 64), "OK\r");
    EXPECT_FALSE(port.AnswerReady());
    EXPECT_TRUE(Logged(pty.name, "QSRead read 3 bytes from gReadBuffer"));
    EXPECT_EQ(Read(port, 64), "NEXT");
}

TEST_F(SerialOnPty, WaitTimesOutAndKeepsWhatArrived) {
    QuarSerial port(log);
    ASSERT_EQ(port.QSOpen(pty.name.c_str(), 9600), 1);
    pty.Send("AB");
    uint32_t start = TickMs();
    EXPECT_EQ(port.QSWait(300, '\r'), 0);
    uint32_t elapsed = TickMs() - start;
    EXPECT_GT(elapsed, 300u);
    EXPECT_LT(elapsed, 5000u);
    EXPECT_NE(LogText().find(pty.name + ": QSWait read 2 bytes, but never found '\r' in "), std::string::npos);

    // The next read hands over the partial text, then reads the port once.
    pty.Send("C");
    usleep(50 * 1000);
    EXPECT_EQ(Read(port, 64), "ABC");
}

TEST_F(SerialOnPty, ReadIntoSmallBufferCutsAndSkipsThePort) {
    QuarSerial port(log);
    ASSERT_EQ(port.QSOpen(pty.name.c_str(), 9600), 1);
    pty.Send("HELLO\r");
    ASSERT_EQ(port.QSWait(2000, '\r'), '\r');
    pty.Send("Z");
    usleep(50 * 1000);
    EXPECT_EQ(Read(port, 3), "HEL");
    EXPECT_FALSE(port.AnswerReady());
    EXPECT_EQ(Read(port, 64), "Z");  // the rest of the answer was dropped
}

TEST_F(SerialOnPty, WaitWithFullBufferStopsReadingAndTimesOut) {
    QuarSerial port(log);
    ASSERT_EQ(port.QSOpen(pty.name.c_str(), 9600), 1);
    std::string flood(3000, 'q');
    std::thread far([&] { pty.Send(flood); });
    EXPECT_EQ(port.QSWait(500, '\r'), 0);
    far.join();
    EXPECT_EQ(strlen(port.ReadBuffer()), QuarSerial::kReadBufferSize - 1);
    int rc = 0;
    std::string got = Read(port, 4096, &rc);
    EXPECT_EQ(rc, 3000);
    EXPECT_EQ(got, flood);
}

TEST_F(SerialOnPty, FlushDropsQueuedAndBufferedText) {
    QuarSerial port(log);
    ASSERT_EQ(port.QSOpen(pty.name.c_str(), 9600), 1);
    pty.Send("junk\r");
    ASSERT_EQ(port.QSWait(2000, '\r'), '\r');
    pty.Send("more junk");
    usleep(100 * 1000);
    EXPECT_EQ(port.QSFlush(1), 0);
    EXPECT_EQ(port.ReadBuffer()[0], '\0');
    EXPECT_EQ(Read(port, 64), "");
}

TEST_F(SerialOnPty, HangUpAtTheFarEndFailsInsteadOfWaiting) {
    QuarSerial port(log);
    ASSERT_EQ(port.QSOpen(pty.name.c_str(), 9600), 1);
    close(pty.master);
    pty.master = -1;
    EXPECT_EQ(port.QSWait(60000, '\r'), -21);
    int written = 0;
    EXPECT_EQ(port.QSWrite("x", 1, &written), -21);
    EXPECT_NE(LogText().find("QSWait ReadFile failed (error"), std::string::npos);
    EXPECT_NE(LogText().find("QSWrite WriteFile failed (error"), std::string::npos);
}

TEST_F(SerialOnPty, HostBaud) {
    QuarSerial never(log);
    EXPECT_EQ(never.QSHostBaud(19200), -6);

    QuarSerial port(log);
    ASSERT_EQ(port.QSOpen(pty.name.c_str(), 9600), 1);
    EXPECT_EQ(port.QSHostBaud(9600), 0);
    EXPECT_EQ(port.QSHostBaud(115200), 1);
    EXPECT_EQ(port.Baud(), 115200u);
    struct termios tio {};
    ASSERT_EQ(tcgetattr(port.Handle(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(tio.c_cc[VTIME], 1);  // only the rate changed
    EXPECT_EQ(port.QSHostBaud(0), -11);  // 0 would hang the line up
    EXPECT_EQ(port.Baud(), 115200u);
    EXPECT_NE(LogText().find("QSHostBaud failed to apply new baud rate \"0\" (error 11)"), std::string::npos);

    port.QSClose();
    EXPECT_LT(port.QSHostBaud(9600), 0);  // the name stays, the port is gone
}

TEST_F(SerialOnPty, SuppliedBufferStaysWithItsOwner) {
    char own[QuarSerial::kReadBufferSize];
    QuarSerial port(log, own);
    ASSERT_EQ(port.QSOpen(pty.name.c_str(), 9600), 1);
    EXPECT_EQ(port.ReadBuffer(), own);
    pty.Send("R\r");
    ASSERT_EQ(port.QSWait(2000, '\r'), '\r');
    EXPECT_STREQ(own, "R\r");
    port.QSClose();
    EXPECT_EQ(port.ReadBuffer(), own);
}

TEST_F(SerialOnPty, LentPortComesBackAsLent) {
    QuarSerial owner(log);
    ASSERT_EQ(owner.QSOpen(pty.name.c_str(), 9600), 1);
    char* buffer = owner.ReadBuffer();
    {
        char spare[QuarSerial::kReadBufferSize];
        QuarSerial borrower(log, spare);
        borrower.AdoptPort(owner.LendPort(), 9600);
        EXPECT_TRUE(borrower.IsBorrowed());
        EXPECT_EQ(borrower.Handle(), owner.Handle());
        EXPECT_EQ(borrower.ReadBuffer(), buffer);
        EXPECT_STREQ(borrower.PortName(), pty.name.c_str());

        pty.Send("LOAN\r");
        ASSERT_EQ(borrower.QSWait(2000, '\r'), '\r');
        EXPECT_STREQ(buffer, "LOAN\r");  // the lender's buffer
        int written = 0;
        EXPECT_EQ(borrower.QSWrite("b", 1, &written), 1);
        EXPECT_EQ(pty.Receive(), "b");

        // Closing a borrowed port only lets go of it.
        EXPECT_EQ(borrower.QSClose(), 1);
        EXPECT_FALSE(borrower.IsBorrowed());
        EXPECT_EQ(borrower.ReadBuffer(), spare);
        borrower.AdoptPort(owner.LendPort(), 9600);
        borrower.ReleasePort();
        EXPECT_EQ(borrower.Handle(), QuarSerial::kNoHandle);
        borrower.AdoptPort(owner.LendPort(), 9600);
    }  // destroyed while borrowing: the port stays the owner's
    EXPECT_TRUE(owner.IsOpen());
    EXPECT_GE(fcntl(owner.Handle(), F_GETFD), 0);
    EXPECT_EQ(owner.ReadBuffer(), buffer);
    owner.QSFlush(1);
    pty.Send("BACK\r");
    ASSERT_EQ(owner.QSWait(2000, '\r'), '\r');
    EXPECT_EQ(Read(owner, 64), "BACK\r");
    EXPECT_EQ(owner.QSClose(), 1);
}

}  // namespace
