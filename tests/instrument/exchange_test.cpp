// The command exchange and its probes, against simulated loggers on a pty.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "kalen_bench.h"

namespace {

struct ExchangeCase {
    const char* name;
    std::function<void(qsim::LoggerConfig&, qsim::FaultPlan&)> setup;
    int expected;          // result, or -1000 for "the byte count"
    size_t sends;          // how often the command went out
    const char* answer;    // the caller's buffer afterwards
};

TEST(DeviceCommand, OutcomesOfTheTries) {
    const std::vector<ExchangeCase> cases = {
        {"plain answer", [](auto&, auto&) {}, -1000, 1, "\rLUMOZ 2.04\r>"},
        {"echo stops at once", [](auto& c, auto&) { c.echo = true; }, -32, 1, ""},
        {"error in every try", [](auto& c, auto&) { c.errorAnswers = 3; }, -34, 3, ""},
        {"error, then a good answer", [](auto& c, auto&) { c.errorAnswers = 1; }, -1000, 2, "\rLUMOZ 2.04\r>"},
        {"silence in every try", [](auto&, auto& f) { f.AddSilence("kalen"); }, -21, 3, ""},
        {"error, then silence", [](auto& c, auto& f) { c.errorAnswers = 1; f.AddSilence("kalen:2"); }, -22, 3, ""},
        {"empty answer", [](auto& c, auto&) { c.emptyAnswers = 1; }, -31, 1, "\r\r>"},
    };
    for (const ExchangeCase& tc : cases) {
        SCOPED_TRACE(tc.name);
        qsim::LoggerConfig config;
        KalenBench bench(MakeLogger(config));
        bench.With<qsim::LoggerDevice>([&](qsim::LoggerDevice& l) { tc.setup(l.Config(), l.Faults()); });
        bench.Open(3);
        char answer[64] = "stale";
        unsigned size = sizeof answer;
        unsigned elapsed = 0;
        int r = bench.P().DeviceCommand("get -ver\r", '>', 400, answer, &size, &elapsed);
        if (tc.expected == -1000) {
            EXPECT_EQ((int)strlen(tc.answer), r);
        } else {
            EXPECT_EQ(tc.expected, r);
        }
        EXPECT_STREQ(tc.answer, answer);
        EXPECT_EQ(strlen(answer), size);
        EXPECT_EQ(tc.sends, bench.Sent("get -ver\r"));
        if (tc.expected == -32) {
            EXPECT_TRUE(bench.Logged("DeviceCommand is hearing echoed commands"));
        }
        if (tc.expected == -31) {
            EXPECT_TRUE(bench.Logged("DeviceCommand: device returned empty answer"));
        }
    }
}

TEST(DeviceCommand, CutsALongAnswerToTheCallersBuffer) {
    KalenBench bench(MakeLogger({}));
    bench.Open();
    char answer[5];
    unsigned size = sizeof answer;
    int r = bench.P().DeviceCommand("get -ver\r", '>', 400, answer, &size, nullptr);
    EXPECT_EQ(13, r);  // "\rLUMOZ 2.04\r>"
    EXPECT_STREQ("\rLUM", answer);
    EXPECT_EQ(4u, size);
    EXPECT_TRUE(bench.Logged("DeviceCommand got 9 more bytes than expected (get -ver\r)"));

    // Without a buffer the count and the empty-answer check still hold.
    EXPECT_EQ(13, bench.P().DeviceCommand("get -ver\r", '>', 400, nullptr, nullptr, nullptr));
    bench.With<qsim::LoggerDevice>([](qsim::LoggerDevice& l) { l.Config().emptyAnswers = 1; });
    EXPECT_EQ(-31, bench.P().DeviceCommand("get -ver\r", '>', 400, nullptr, nullptr, nullptr));
}

TEST(DeviceCommand, JudgesWhatArrivedWhenTheWaitRunsOut) {
    qsim::LoggerConfig config;
    config.canned["get -ver"] = "\rLUMOZ 2.04\r";  // no prompt follows
    KalenBench bench(MakeLogger(config));
    bench.Open(1);
    char answer[32];
    unsigned size = sizeof answer;
    EXPECT_EQ(12, bench.P().DeviceCommand("get -ver\r", '>', 300, answer, &size, nullptr));
    EXPECT_STREQ("\rLUMOZ 2.04\r", answer);
}

TEST(DeviceCommand, TracesCommandsAndAnswersThroughTheSink) {
    KalenBench bench(MakeLogger({}));
    bench.Open();
    LinkOptions o{};
    o.traceMode = 3;
    ASSERT_EQ(1, bench.P().Configure(&o, 1));
    std::vector<std::string> traced;
    bench.P().SetTraceSink([](void* ctx, const char* t) { static_cast<std::vector<std::string>*>(ctx)->push_back(t); },
                           &traced);
    ASSERT_GT(bench.P().DeviceCommand("get -ver\r", '>', 400, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(2u, traced.size());
    EXPECT_EQ("get -ver\r", traced[0]);
    EXPECT_EQ("\rLUMOZ 2.04\r>", traced[1]);
}

TEST(CheckDeviceName, Rules) {
    const struct {
        const char* name;
        int expected;
    } cases[] = {
        {"", -53},        {"123456789", -54}, {"show", -52},    {"OK", -52},
        {"AB CD", -50},   {"A\x7f", -50},     {"A/B", -51},     {"A;B", -51},
        {"A\\B", -51},    {"Caf\xc3\xa9", -56}, {"SITE_1", 1},  {"Show", 1},
    };
    for (const auto& c : cases) EXPECT_EQ(c.expected, KALEN_Protocol::CheckDeviceName(c.name)) << c.name;
    EXPECT_EQ(-53, KALEN_Protocol::CheckDeviceName(nullptr));
}

TEST(Configure, ChecksAndDefaultsTheOptions) {
    KALEN_Protocol p(nullptr);
    EXPECT_EQ(1, p.status);
    LinkOptions o{};
    o.serialTries = 13;
    EXPECT_EQ(-11, p.Configure(&o, 1));
    o.serialTries = 0;
    o.radioTries = 0;
    EXPECT_EQ(1, p.Configure(&o, 1));
    EXPECT_EQ(3u, o.serialTries);
    EXPECT_EQ(5u, o.radioTries);
    EXPECT_EQ(3u, p.tries);
    o.traceMode = 4;
    EXPECT_EQ(-11, p.Configure(&o, 1));
    o.traceMode = 0;
    o.extraWaitMs = 30001;
    EXPECT_EQ(-11, p.Configure(&o, 1));
    LinkOptions back{};
    EXPECT_EQ(1, p.Configure(&back, 0));
    EXPECT_EQ(0u, back.extraWaitMs);
    EXPECT_EQ(3u, back.serialTries);
}

TEST(QueryCommand, HearsTheNameOverTheRadio) {
    qsim::RadioModemConfig modem;
    auto head = std::make_unique<qsim::RadioModemDevice>(modem);
    qsim::LoggerConfig logger;
    logger.name = "RIVER7";
    logger.overRadio = true;
    logger.asleep = false;
    head->Attach(MakeLogger(logger));
    KalenBench bench(std::move(head));
    bench.Open(2);
    char name[9];
    EXPECT_EQ(1, bench.P().QueryCommand(name, 1));
    EXPECT_STREQ("RIVER7", name);
    EXPECT_TRUE(bench.Logged("QueryCommand heard from: RIVER7"));
    EXPECT_EQ(2u, bench.P().tries);  // restored
}

TEST(QueryCommand, ARelayReturningTheProbeAndNobodyListening) {
    qsim::RadioModemConfig modem;
    modem.relayEcho = true;
    auto head = std::make_unique<qsim::RadioModemDevice>(modem);
    qsim::LoggerConfig logger;
    logger.overRadio = true;
    logger.rch = 5;  // out of reach of the modem
    head->Attach(MakeLogger(logger));
    KalenBench bench(std::move(head));
    bench.Open(2);
    char name[9];
    EXPECT_EQ(-33, bench.P().QueryCommand(name, 1));
    EXPECT_EQ(1u, bench.Sent("\rquery\r"));
    EXPECT_TRUE(bench.Logged("QueryCommand is hearing \"query\" -- a relay must be active"));

    bench.With<qsim::RadioModemDevice>([](qsim::RadioModemDevice& m) { m.Config().relayEcho = false; });
    bench.Runner().ClearTranscript();
    EXPECT_EQ(-22, bench.P().QueryCommand(name, 1));
    EXPECT_EQ(2u, bench.Sent("\rquery\r"));
    EXPECT_TRUE(bench.Logged("QueryCommand didn't get any answers after 2 tries"));
}

TEST(QueryCommand, RefusedModeAndCancelledByTheHook) {
    KalenBench bench(MakeLogger({}));
    bench.Open(3);
    char text[64];
    EXPECT_EQ(-10, bench.P().QueryCommand(text, 0));
    LinkOptions o{};
    o.progressEnabled = true;
    ASSERT_EQ(1, bench.P().Configure(&o, 1));
    bench.P().tries = 3;
    int calls = 0;
    bench.P().SetProgressHook(
        [](void* ctx, uint32_t, uint32_t, int phase) {
            EXPECT_EQ(4, phase);
            return ++*static_cast<int*>(ctx) < 2;
        },
        &calls);
    EXPECT_EQ(-40, bench.P().QueryCommand(text, 1));
    EXPECT_EQ(2, calls);
    EXPECT_EQ(1u, bench.Sent("\rquery\r"));
    EXPECT_TRUE(bench.Logged("QueryCommand canceled by user"));
}

TEST(ParseShowCommand, ReadsTheOldLoggersStatus) {
    qsim::OldLoggerConfig config;
    config.name = "OLDIE";
    config.version = "1.23";
    config.wake = 600;
    config.rmode = 2;
    config.resets = 7;
    KalenBench bench(std::make_unique<qsim::OldLoggerDevice>(config));
    bench.Open();
    KALEN_Protocol& p = bench.P();
    p.device.kind = kKindLumo;
    p.device.newFirmware = true;
    EXPECT_EQ(-11, p.ParseShowCommand(nullptr));
    p.device.newFirmware = false;
    ASSERT_EQ(1, p.ParseShowCommand(nullptr));
    EXPECT_STREQ("OLDIE", p.device.instrumentName);
    EXPECT_STREQ("1.23", p.device.versionText);
    EXPECT_EQ(123, p.device.version);
    EXPECT_EQ(600, p.device.wake);
    EXPECT_EQ(2, p.device.rmode);
    EXPECT_EQ(7, p.resetCount);
    EXPECT_TRUE(bench.Logged("ParseShowCommand found OLDIE:1.23:2:600:7"));

    char id[9];
    EXPECT_EQ(1, p.ParseShowCommand(id));
    EXPECT_STREQ("OLDIE", id);
}

TEST(ParseShowCommand, TooOldFirmwareLeavesTheRecord) {
    qsim::OldLoggerConfig config;
    config.version = "1.09";
    KalenBench bench(std::make_unique<qsim::OldLoggerDevice>(config));
    bench.Open();
    KALEN_Protocol& p = bench.P();
    p.device.kind = kKindLumo;
    p.device.wake = 1234;
    p.device.rmode = 9;
    EXPECT_EQ(-13, p.ParseShowCommand(nullptr));
    EXPECT_EQ(1234, p.device.wake);
    EXPECT_EQ(9, p.device.rmode);
}

TEST(ParseShowCommand, UnreadableAnswerClearsTheIdentity) {
    qsim::OldLoggerConfig config;
    config.version = "one";
    KalenBench bench(std::make_unique<qsim::OldLoggerDevice>(config));
    bench.Open();
    KALEN_Protocol& p = bench.P();
    p.device.kind = kKindLumo;
    EXPECT_EQ(-30, p.ParseShowCommand(nullptr));
    EXPECT_EQ(-1, p.device.version);
    EXPECT_EQ(-1, p.device.wake);
    EXPECT_STREQ("", p.device.instrumentName);
    EXPECT_TRUE(bench.Logged(" and 2 (")) << bench.Log();
}

}  // namespace
