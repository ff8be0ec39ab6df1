// The loader host against the simulated reader, sensor and loader on a
// pseudo-terminal: the whole update of the flash, retries, progress, and the
// ways of reaching (or not reaching) the loader.

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bsl/quarbslhost.h"
#include "bsl_test_support.h"
#include "serial/quarserial.h"
#include "sim/flash.h"
#include "sim/loader_frame.h"
#include "sim/pty_runner.h"
#include "sim/reader.h"
#include "sim/sdi_sensor.h"

namespace {

using qsim::SensorConfig;

// The reader with a sensor behind it, on a pseudo-terminal.
struct SimLine {
    explicit SimLine(SensorConfig sensorConfig, qsim::LineOptions line = {}) {
        auto head = std::make_unique<qsim::Reader>(qsim::ReaderConfig{});
        sensor = static_cast<qsim::SdiSensor*>(head->Attach(std::make_unique<qsim::SdiSensor>(sensorConfig)));
        runner = std::make_unique<qsim::PtyRunner>(std::move(head), line);
        std::string error;
        started = runner->Start(&error);
    }
    explicit SimLine(std::unique_ptr<qsim::Device> head) {
        runner = std::make_unique<qsim::PtyRunner>(std::move(head));
        started = runner->Start();
    }
    ~SimLine() { runner->Stop(); }
    const char* Port() const { return runner->PortName().c_str(); }

    std::unique_ptr<qsim::PtyRunner> runner;
    qsim::SdiSensor* sensor = nullptr;
    bool started = false;
};

SensorConfig WithLoader(SensorConfig::Start start) {
    SensorConfig c;
    c.start = start;
    return c;
}

// The host's image as TI-Text: its records, then the vector table.
std::string ImageAsTIText(const FirmwareImage& image) {
    std::string out;
    char buf[16];
    const char* t = image.imageText;
    for (unsigned p = 0; p < image.imageLength;) {
        if (t[p] == '@') {
            if (!out.empty()) out += "\n";
            out += "@" + std::string(t + p + 1, 5) + "\n";
            p += 6;
            continue;
        }
        // A word "120F" is the bytes 0F 12.
        std::snprintf(buf, sizeof buf, "%c%c %c%c ", t[p + 2], t[p + 3], t[p], t[p + 1]);
        out += buf;
        p += 4;
    }
    out += "\n@FFE0\n";
    for (int i = 0; i < 16; ++i) {
        std::snprintf(buf, sizeof buf, "%02X %02X ", image.vectors[i] & 0xFF, (image.vectors[i] >> 8) & 0xFF);
        out += buf;
    }
    return out + "\nq\n";
}

class LoaderHost : public ::testing::Test {
protected:
    // The facade's side of the digital-sensor update: the port opened at 9600
    // by another object, lent to the host, the reader switched to pass-through.
    void Borrow(SimLine& line, unsigned retries = 3) {
        ASSERT_TRUE(line.started);
        ASSERT_EQ(lender.QSOpen(line.Port(), 9600), 1);
        ASSERT_EQ(host.BSLHandOff(lender.LendPort(), true, retries), 1);
        int written = 0;
        ASSERT_EQ(host.QSWrite("]", 1, &written), 1);
        ASSERT_TRUE(qsim::PtyRunner::WaitFor(
            [&] { return line.runner->WithDevices([](qsim::Device& d) {
                      return static_cast<qsim::Reader&>(d).GetMode() == qsim::Reader::Mode::PassThrough;
                  }); },
            5000));
    }
    // Leaves the reader in pass-through for a host that opens the port itself.
    void PassThrough(SimLine& line) {
        ASSERT_TRUE(line.started);
        QuarSerial setup(log.get(), nullptr);
        ASSERT_EQ(setup.QSOpen(line.Port(), 9600), 1);
        int written = 0;
        ASSERT_EQ(setup.QSWrite("]", 1, &written), 1);
        ASSERT_TRUE(qsim::PtyRunner::WaitFor(
            [&] { return line.runner->WithDevices([](qsim::Device& d) {
                      return static_cast<qsim::Reader&>(d).GetMode() == qsim::Reader::Mode::PassThrough;
                  }); },
            5000));
        setup.QSClose();
    }
    void TearDown() override {
        host.BSLHandBack();
        lender.QSClose();
    }
    // Erase, write and vectors as the digital-sensor update runs them for
    // the sensor this build targets.
    void Program() {
        EXPECT_GT(host.BSLEraseINFO(0x1000, 3, 64, false), 0);
        EXPECT_GT(host.BSLEraseFlash(0x8000, 0xF9FF, false), 0);
        EXPECT_GT(host.BSLSendFirmware(false), 0);
        EXPECT_GT(host.BSLSendVectors(), 0);
    }
    void ExpectFlashHoldsTheImage(SimLine& line) {
        qsim::TiImage expected;
        std::string error;
        ASSERT_TRUE(qsim::ParseTiText(ImageAsTIText(host.Image()), expected, &error)) << error;
        std::string report;
        const size_t differing =
            line.runner->WithDevices([&](qsim::Device&) { return line.sensor->GetFlash().Compare(expected, &report); });
        EXPECT_EQ(differing, 0u) << report;
        EXPECT_EQ(line.runner->WithDevices([&](qsim::Device&) { return line.sensor->GetFlash().ErrorCount(); }), 0u);
    }
    int Count(SimLine& line, const std::string& what) {
        const std::string rx = line.runner->Received();
        int n = 0;
        for (size_t at = rx.find(what); at != std::string::npos; at = rx.find(what, at + 1)) ++n;
        return n;
    }

    TempLog log;
    char lenderBuffer[QuarSerial::kReadBufferSize] = {};
    QuarSerial lender{log.get(), lenderBuffer};
    QuarBSLHost host{log.get()};
};

TEST_F(LoaderHost, BorrowedPortCarriesTheWholeImageOntoTheSensor) {
    ASSERT_EQ(host.ConstructorError(), 0);
    SimLine line(WithLoader(SensorConfig::Start::LoaderWaiting));
    Borrow(line);
    ProgressRecorder progress;
    host.SetTransferProgress(&ProgressRecorder::Hook, &progress);

    EXPECT_EQ(host.BSLCheck(line.Port(), 9600), -81);
    EXPECT_TRUE(host.Attached());
    EXPECT_EQ(host.BSLAttach(), 1);
    Program();
    EXPECT_EQ(host.BSLHandBack(), 1);
    ExpectFlashHoldsTheImage(line);

    // Erase: before the 1st, 11th, ... of the 61 segments, then once at the end.
    std::vector<ProgressCall> erase;
    for (unsigned done = 0; done <= 60; done += 10) erase.push_back({60, done, 1, 'X'});
    erase.push_back({60, 60, 2, 'X'});
    EXPECT_EQ(progress.Of('X'), erase);
    // Write: every 512 characters of the 63442, then once at the end.
    std::vector<ProgressCall> write;
    for (unsigned done = 0; done < 63442; done += 512) write.push_back({63442, done, 1, 'W'});
    write.push_back({63442, 63442, 2, 'W'});
    EXPECT_EQ(progress.Of('W'), write);

    for (const char* line_ : {"BSLCheck found the QuarBSL waiting for a connection", "BSLAttach successful (1 tries)",
                              "BSLEraseINFO successful: 3 segments @ 1000 (", "BSLEraseFlash successful: segment 8000 to F9FF (",
                              "BSLSendAddress (08000) successful", "BSLSendAddress (0FE00) successful",
                              "BSLSendAddress (0FFC0) successful", "BSLSendFirmware successful (", "BSLSendVectors successful"}) {
        EXPECT_TRUE(log.Has(line_)) << line_;
    }

    // The lender's port is open as it was lent, and it can go on talking.
    EXPECT_FALSE(host.Attached());
    EXPECT_EQ(host.BSLDisconnect(), 0);
    EXPECT_TRUE(lender.IsOpen());
    EXPECT_EQ(lender.ReadBuffer(), lenderBuffer);
    EXPECT_FALSE(host.IsOpen());
    int written = 0;
    EXPECT_EQ(lender.QSWrite("`get -ver\r", 10, &written), 10);
    EXPECT_EQ(lender.QSWait(3000, '>'), '>');
}

TEST_F(LoaderHost, RefusedFramesAreSentAgainUntilTheImageIsWhole) {
    SimLine line(WithLoader(SensorConfig::Start::LoaderConnected));
    line.runner->WithDevices([&](qsim::Device&) {
        line.runner->Context().faults.SetRefuseRate(0.08, 7);
        return 0;
    });
    Borrow(line);
    EXPECT_EQ(host.BSLAttach(), 1);
    EXPECT_TRUE(log.Has("BSLAttach found the QuarBSL already active"));
    Program();
    host.BSLHandBack();
    ExpectFlashHoldsTheImage(line);

    // Every refused data frame is sent again right after the address of its
    // chunk; that the address was the right one shows in the flash above.
    const std::string rx = line.runner->Received();
    std::vector<std::string> frames;
    for (size_t start = 0, cr; (cr = rx.find('\r', start)) != std::string::npos; start = cr + 1)
        frames.push_back(rx.substr(start, cr - start));
    int refusedW = 0;
    for (const auto& l : line.runner->Context().journal.Lines()) refusedW += l.find("refused W (fault)") != std::string::npos;
    EXPECT_GT(refusedW, 0) << "the seed no longer refuses a data frame";

    std::string lastW;
    int resent = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        if (frames[i].empty() || frames[i][0] != 'W') continue;
        if (frames[i] == lastW) {
            ASSERT_GE(i, 1u);
            EXPECT_EQ(frames[i - 1].substr(0, 1), "@") << "a resent chunk comes right after its address";
            ++resent;
        }
        lastW = frames[i];
    }
    EXPECT_EQ(resent, refusedW);
}

TEST_F(LoaderHost, ConnectStartsTheLoaderItselfAndReadsItsVersion) {
    SimLine line(WithLoader(SensorConfig::Start::LoaderWaiting));
    PassThrough(line);
    EXPECT_EQ(host.BSLConnect(line.Port(), 9600, true, 3), 21);
    EXPECT_EQ(host.LoaderVersion(), 21);
    EXPECT_TRUE(host.ReportProgress());
    EXPECT_TRUE(log.Has("BSLInvocation successful (1 tries)"));
    EXPECT_TRUE(log.Has("BSLConnect connected to device running QuarBSL version 21"));
    Program();
    EXPECT_EQ(host.BSLDisconnect(), 1);
    EXPECT_FALSE(host.IsOpen());
    ExpectFlashHoldsTheImage(line);
}

TEST_F(LoaderHost, ConnectToADeviceWithoutLoaderFailsAndClosesThePort) {
    SimLine line(SensorConfig{});  // the reader itself answers the start command
    ASSERT_TRUE(line.started);
    EXPECT_EQ(host.BSLConnect(line.Port(), 9600, true, 3), -112);
    EXPECT_FALSE(host.Attached());
    EXPECT_FALSE(host.IsOpen());
    EXPECT_EQ(Count(line, "boot KRAW\r"), 1);
    EXPECT_TRUE(log.Has("BSLInvocation failed with error -112"));
    EXPECT_TRUE(log.Has("BSLCheck didn't get a response from the QuarBSL"));
    EXPECT_TRUE(log.Has("BSLConnect failed to connect to device (error -112)"));
}

TEST_F(LoaderHost, ConnectToAnApplicationThatRefusesTriesThreeTimes) {
    const qsim::KindInfo* kind = qsim::KindRegistry::Instance().Find("logger");
    ASSERT_NE(kind, nullptr);
    qsim::Options o;
    o.Set("error-answers", "100");
    std::string error;
    SimLine line(kind->make(o, error));
    ASSERT_TRUE(line.started) << error;
    EXPECT_EQ(host.BSLConnect(line.Port(), 9600, false, 3), -110);
    EXPECT_FALSE(host.IsOpen());
    EXPECT_EQ(Count(line, "boot KRAW\r"), 3);
    EXPECT_TRUE(log.Has("BSLInvocation failed with error -110"));
    EXPECT_TRUE(log.Has("BSLConnect failed to connect to device (error -110)"));
}

TEST_F(LoaderHost, SilentOrAbsentLoaderIsReported) {
    SimLine line(SensorConfig{});  // the sensor's application runs; its loader is off
    Borrow(line);
    EXPECT_EQ(host.BSLCheck(line.Port(), 9600), -21);
    EXPECT_TRUE(log.Has("BSLCheck didn't get a response from the QuarBSL"));
    EXPECT_EQ(host.BSLAttach(), -110);
    EXPECT_TRUE(log.Has("BSLAttach failed with error -110"));
    EXPECT_EQ(Count(line, "P"), 3);

    // Vectors that are never acknowledged still count as sent.
    EXPECT_EQ(host.BSLSendVectors(), 0);
    EXPECT_TRUE(log.Has("BSLSendVectors with digital sensor didn't hear ACK"));
    EXPECT_TRUE(log.Has("BSLSendVectors successful"));
    EXPECT_EQ(host.BSLSendFirmware(false), -21);
    EXPECT_TRUE(log.Has("BSLSendAddress (08000) failed with error -21"));
}

TEST_F(LoaderHost, RetryCountsAndHandOffArguments) {
    SimLine line(WithLoader(SensorConfig::Start::LoaderWaiting));
    PassThrough(line);
    // No pass at all: nothing was heard, the port is closed again.
    EXPECT_EQ(host.BSLConnect(line.Port(), 9600, false, 0), -22);
    EXPECT_FALSE(host.IsOpen());
    EXPECT_EQ(Count(line, "boot"), 0);
    EXPECT_EQ(host.BSLConnect("", 9600, false, 3), -10);

    ASSERT_EQ(lender.QSOpen(line.Port(), 9600), 1);
    BorrowedPort lent = lender.LendPort();
    BorrowedPort noBuffer = lent;
    noBuffer.readBuffer = nullptr;
    BorrowedPort noName = lent;
    noName.portName = nullptr;
    EXPECT_EQ(host.BSLHandOff(noBuffer, true, 3), -11);
    EXPECT_EQ(host.BSLHandOff(noName, true, 3), -11);
    EXPECT_TRUE(log.Has("BSLHandOff called with some NULL parameters"));
    EXPECT_FALSE(host.Attached());
    EXPECT_EQ(host.BSLHandOff(lent, false, 0), 1);
    EXPECT_EQ(host.Retries(), 3u);
    EXPECT_EQ(host.BSLCheck(line.Port(), 9600), -81);
    EXPECT_EQ(host.BSLHandBack(), 1);
    EXPECT_EQ(host.BSLDisconnect(), 0);
    EXPECT_TRUE(lender.IsOpen());
    EXPECT_EQ(lender.Handle(), lent.handle);
}

}  // namespace
