// Exact bytes on the wire and reply handling, against a scripted far end.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "bsl/quarbslhost.h"
#include "bsl_test_support.h"
#include "pty_peer.h"
#include "serial/quarserial.h"

namespace {

class FramedHost : public ::testing::Test {
protected:
    void Start(PtyPeer::Responder responder) {
        peer = std::make_unique<PtyPeer>(std::move(responder));
        ASSERT_TRUE(peer->Ok());
        ASSERT_EQ(lender.QSOpen(peer->SlaveName().c_str(), 9600), 1);
        ASSERT_EQ(host.BSLHandOff(lender.LendPort(), false, 3), 1);
    }
    void TearDown() override {
        host.BSLHandBack();
        lender.QSClose();
    }
    static PtyPeer::Responder Always(std::string reply) {
        return [reply](const std::string&, size_t) { return reply; };
    }

    TempLog log;
    char lenderBuffer[QuarSerial::kReadBufferSize] = {};
    QuarSerial lender{log.get(), lenderBuffer};
    QuarBSLHost host{log.get()};
    std::unique_ptr<PtyPeer> peer;
    char reply[32] = {};
    uint32_t elapsed = 0;
};

// Letter and payload of a frame whose trailer is checked elsewhere; 'W'
// frames by their payload length.
std::string Describe(const std::string& frame) {
    const size_t dot = frame.rfind('.');
    const std::string payload = frame.substr(1, dot == std::string::npos ? 0 : dot - 1);
    if (frame[0] == 'W') return "W" + std::to_string(payload.size());
    return frame[0] + payload;
}

TEST_F(FramedHost, FramesCarryLetterPayloadAndChecksum) {
    Start(Always("+\r"));
    const uint32_t segment = 0x1000;
    EXPECT_GT(host.BSLCommand('g', nullptr, 0, '\r', reply, &elapsed), 0);
    EXPECT_GT(host.BSLCommand('@', "08000", 5, '\r', reply, &elapsed), 0);
    EXPECT_GT(host.BSLSendAddress(0x8000, false), 0);
    EXPECT_GT(host.BSLCommand('X', &segment, 1, '\r', reply, &elapsed, false), 0);
    EXPECT_GT(host.BSLCommand('X', &segment, 1, '\r', reply, &elapsed, true), 0);
    // Payload bytes count as signed values: 46 + 'W' - 61.
    EXPECT_GT(host.BSLCommand('W', "\xC3", 1, '\r', reply, &elapsed), 0);

    const std::vector<std::string> expected = {"g.0095\r",      "@08000.0166\r", "@8000.0136\r",
                                               "X1000.0147\r",  "X01000.0177\r", "W\xC3.0048\r"};
    EXPECT_EQ(peer->Frames(), expected);
}

TEST_F(FramedHost, RepliesAreClassifiedPerForm) {
    struct Case {
        std::string reply;
        int hexResult;
        int textResult;
    };
    const std::vector<Case> cases = {
        {"+\r", 2, 2},
        {"x+\r", 3, 3},  // an echoed character before the '+'
        {"-\r", -1, -1},
        {"?\r", -1, -1},
        {"\r", -1, -1},
        {"ERROR\r", -1, -1},
        {"eERROR\r", -1, 7},  // "ERROR" refuses only the hex form; 'e' accepts
        {"e\r", 2, 2},
        {";\r", 2, -1},
        {"\xC3\r", -1, 2},
        {"\xF0\r", -1, 2},
        {"+234567890123456789012345\r", 20, 20},  // at most 20 bytes are taken
        {"", -21, -21},                           // nothing heard
    };
    Start([&cases](const std::string&, size_t index) { return cases[(index / 2) % cases.size()].reply; });
    const uint32_t segment = 0x1000;
    for (const Case& c : cases) {
        SCOPED_TRACE("reply \"" + c.reply + "\"");
        EXPECT_EQ(host.BSLCommand('X', &segment, 1, '\r', reply, &elapsed, false), c.hexResult);
        EXPECT_EQ(host.BSLCommand('W', "0000", 4, '\r', reply, &elapsed), c.textResult);
        EXPECT_LE(std::string(reply).size(), 20u);
    }
}

TEST_F(FramedHost, OversizedOrIncompleteRequestsSendNothing) {
    // Not attached yet.
    EXPECT_EQ(host.BSLCommand('g', nullptr, 0, '\r', reply, &elapsed), -21);

    Start(Always("+\r"));
    std::vector<uint32_t> values(129, 0xFFFFF);
    const std::string text(513, '0');
    EXPECT_EQ(host.BSLCommand('V', values.data(), 129, '+', reply, &elapsed, false), -11);
    // 108 five-digit fields would overrun the 544-byte frame buffer.
    EXPECT_EQ(host.BSLCommand('V', values.data(), 108, '+', reply, &elapsed, true), -11);
    EXPECT_EQ(host.BSLCommand('W', text.c_str(), 513, '\r', reply, &elapsed), -11);
    EXPECT_EQ(host.BSLCommand('W', nullptr, 4, '\r', reply, &elapsed), -10);
    EXPECT_EQ(host.BSLCommand('W', "0000", 4, '\r', nullptr, &elapsed), -10);
    EXPECT_EQ(host.BSLCommand('X', nullptr, 1, '\r', reply, &elapsed, false), -10);
    EXPECT_TRUE(peer->Frames().empty());

    // The largest requests that fit go out whole.
    EXPECT_EQ(host.BSLCommand('V', values.data(), 107, '+', reply, &elapsed, true), 2);
    EXPECT_EQ(host.BSLCommand('W', text.c_str(), 512, '\r', reply, &elapsed), 2);
    const auto frames = peer->Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].size(), 1u + 107 * 5 + 6);
    EXPECT_EQ(frames[1].size(), 1u + 512 + 6);
}

TEST_F(FramedHost, FlashEraseSkipsTheProtectedArea) {
    Start(Always("+\r"));
    EXPECT_GT(host.BSLEraseFlash(0xF000, 0x10400, false), 0);
    const std::vector<std::string> expected = {"XF000", "XF200", "XF400", "XF600",
                                               "XF800", "X10000", "X10200"};
    std::vector<std::string> got;
    for (const auto& f : peer->Frames()) got.push_back(Describe(f));
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(log.Has("BSLEraseFlash successful: segment F000 to 10400 ("));

    // Starting inside the protected area, or asking for nothing, sends nothing.
    EXPECT_EQ(host.BSLEraseFlash(0xFA00, 0x10400, false), -11);
    EXPECT_EQ(host.BSLEraseFlash(0xFFFF, 0x10400, true), -11);
    EXPECT_EQ(host.BSLEraseFlash(0x8000, 0x8000, false), 0);
    EXPECT_EQ(host.BSLEraseINFO(0x1000, 0, 64, false), 0);
    EXPECT_EQ(peer->Frames().size(), expected.size());
}

TEST_F(FramedHost, EraseStopsAtASegmentNeverAccepted) {
    // The second segment is refused on every attempt.
    Start([](const std::string& f, size_t) { return f.rfind("X1040", 0) == 0 ? "-\r" : "+\r"; });
    EXPECT_EQ(host.BSLEraseINFO(0x1000, 3, 64, false), -1);
    std::vector<std::string> got;
    for (const auto& f : peer->Frames()) got.push_back(Describe(f));
    EXPECT_EQ(got, (std::vector<std::string>{"X1000", "X1040", "X1040", "X1040"}));
    EXPECT_EQ(host.PausedMs(), 2u * 175);
    EXPECT_TRUE(log.Has("BSLEraseINFO failed with error -1 ("));
}

class ChunkedImage : public FramedHost {
protected:
    void SetUp() override {
        for (unsigned i = 0; i < 600; ++i) data.push_back(static_cast<unsigned char>(i * 7));
        ASSERT_EQ(host.BSLLoadTIFile(WriteTIText(log.dir, "chunk 1.00.txt", 0x8000, data).c_str()), 1);
        ASSERT_EQ(host.Image().imageLength, 6u + 1200);
    }
    // Payloads of the accepted 'W' frames, joined.
    static std::string Written(const std::vector<std::string>& frames, const std::vector<bool>& accepted) {
        std::string out;
        for (size_t i = 0; i < frames.size(); ++i) {
            if (frames[i][0] == 'W' && accepted[i]) out += frames[i].substr(1, frames[i].rfind('.') - 1);
        }
        return out;
    }
    std::vector<unsigned char> data;
};

TEST_F(ChunkedImage, RecordGoesOutInWholeChunksWithoutResendingTheAddress) {
    Start(Always("+\r"));
    EXPECT_GT(host.BSLSendFirmware(false), 0);
    const auto frames = peer->Frames();
    std::vector<std::string> got;
    for (const auto& f : frames) got.push_back(Describe(f));
    EXPECT_EQ(got, (std::vector<std::string>{"@8000", "W512", "W512", "W176"}));
    EXPECT_EQ(Written(frames, std::vector<bool>(frames.size(), true)),
              std::string(host.Image().imageText + 6, 1200));
    EXPECT_TRUE(log.Has("BSLSendAddress (08000) successful"));
    EXPECT_TRUE(log.Has("BSLSendFirmware successful (0 s)"));
}

TEST_F(ChunkedImage, RefusedChunkIsResentFromItsStartAddress) {
    // The second chunk is refused twice, then taken.
    int secondChunkSends = 0;
    int wFrames = 0;
    std::vector<bool> accepted;
    Start([&](const std::string& f, size_t) -> std::string {
        bool ok = true;
        if (f[0] == 'W' && ++wFrames >= 2 && secondChunkSends < 3) ok = ++secondChunkSends == 3;
        accepted.push_back(ok);
        return ok ? "+\r" : "-\r";
    });
    const uint64_t pausedBefore = host.PausedMs();
    EXPECT_GT(host.BSLSendFirmware(true), 0);
    const auto frames = peer->Frames();
    std::vector<std::string> got;
    for (const auto& f : frames) got.push_back(Describe(f));
    EXPECT_EQ(got, (std::vector<std::string>{"@08000", "W512", "W512", "@08100", "W512", "@08100", "W512",
                                             "W176"}));
    EXPECT_EQ(host.PausedMs() - pausedBefore, 2u * 175);
    EXPECT_EQ(Written(frames, accepted), std::string(host.Image().imageText + 6, 1200));
}

TEST_F(ChunkedImage, ProgressAnswerFalseStopsTheWrite) {
    Start(Always("+\r"));
    ProgressRecorder rec;
    rec.stopAtCall = 2;  // the call at character 1024
    host.SetTransferProgress(&ProgressRecorder::Hook, &rec);
    host.BSLHandBack();
    ASSERT_EQ(host.BSLHandOff(lender.LendPort(), true, 3), 1);

    EXPECT_EQ(host.BSLSendFirmware(false), -40);
    const std::vector<ProgressCall> expected = {
        {1206, 0, 1, 'W'}, {1206, 512, 1, 'W'}, {1206, 1024, 1, 'W'}, {1206, 1206, 2, 'W'}};
    EXPECT_EQ(rec.calls, expected);
    std::vector<std::string> got;
    for (const auto& f : peer->Frames()) got.push_back(Describe(f));
    EXPECT_EQ(got, (std::vector<std::string>{"@8000", "W512"}));
    EXPECT_TRUE(log.Has("BSLSendFirmware failed with error -40 (0 s)"));
}

TEST_F(FramedHost, InvocationStartsAt9600AndAttachesAtTheLoaderRate) {
    Start([](const std::string& f, size_t) -> std::string {
        if (f == "boot KRAW\r") return "OK\r";
        if (f == "\r") return "$\r";
        if (f == "P") return "#";
        return "";
    });
    EXPECT_EQ(host.BSLInvocation(38400), 1);
    EXPECT_EQ(peer->Frames(), (std::vector<std::string>{"boot KRAW\r", "\r", "P"}));
    EXPECT_EQ(peer->Speeds(), (std::vector<speed_t>{B9600, B38400, B38400}));
    EXPECT_TRUE(log.Has("BSLInvocation successful (1 tries)"));

    // The lender gets its port back at the rate it lent it at.
    EXPECT_EQ(host.BSLHandBack(), 1);
    termios t{};
    ASSERT_EQ(tcgetattr(lender.Handle(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
}

}  // namespace
