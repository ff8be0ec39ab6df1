// Connection, identification, baud rate and the radio link, against
// simulated loggers and a simulated host radio modem on a pty.
#include <termios.h>

#include <cstring>
#include <string>
#include <vector>

#include "kalen_bench.h"

namespace {

std::unique_ptr<qsim::Device> RadioChain(qsim::LoggerConfig logger, qsim::RadioModemConfig modem = {}) {
    logger.overRadio = true;
    auto head = std::make_unique<qsim::RadioModemDevice>(modem);
    head->Attach(MakeLogger(logger));
    return head;
}

TEST(ConnectDevice, RefusesBadRequestsWithoutOpening) {
    KalenBench bench(MakeLogger({}));
    ConnectRecord record{};
    ASSERT_EQ(1, SetConnectPortName(&record, bench.Port().c_str()));
    const struct {
        uint8_t linkType;
        int expected;
    } cases[] = {{0, -11}, {20, -13}, {40, -13}, {120, -13}, {55, -10}};
    for (const auto& c : cases) {
        record.linkType = c.linkType;
        EXPECT_EQ(c.expected, bench.P().ConnectDevice(&record)) << int(c.linkType);
        EXPECT_FALSE(bench.P().IsOpen());
    }
    EXPECT_EQ(-10, bench.P().ConnectDevice(nullptr));
    EXPECT_EQ(0, bench.Runner().HostOpens());
}

TEST(ConnectDevice, RefusesAPortNameTooLongForTheRecord) {
    ConnectRecord record{};
    strcpy(record.portName, "ttyS1");
    EXPECT_EQ(-11, SetConnectPortName(&record, "/dev/ttyUSB10X"));
    EXPECT_STREQ("ttyS1", record.portName);  // untouched, not cut

    // A record whose name fills every byte (no terminator) is refused too.
    KALEN_Protocol p(nullptr);
    memset(record.portName, 'A', sizeof record.portName);
    record.linkType = kLinkSerial;
    EXPECT_EQ(-11, p.ConnectDevice(&record));
    EXPECT_FALSE(p.IsOpen());
}

TEST(ConnectDevice, IdentifiesKindVersionAndCapabilities) {
    const struct {
        const char* word;
        const char* version;
        int kind;
        int number;
        uint32_t capabilities;
    } cases[] = {
        {"LUMOZ", "2.04", kKindLumoZ, 204, 0x5E7FFF7},
        {"LUMOZ", "1.04", kKindLumoZ, 104, 0x7737},
        {"lumoz", "1.12", kKindLumoZ, 112, 0xFFF7},
        {"VT", "1.05", kKindVeltris, 105, 0x4583},
        {"LUMOK", "2.04", kKindLumoK, 204, 0x474BE},
        {"CIRRO", "3.10", kKindCirro, 310, 0x5E3FFF7},
        {"MRL", "1.00", kKindMarlo, 100, 0x7C3F6F7},
        {"LUMO", "1.50", kKindLumo, 150, 0x371F},
        {"XYZZY", "9.99", kKindUnknown, 999, 0x1005},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.word);
        qsim::LoggerConfig config;
        config.kindWord = c.word;
        config.version = c.version;
        KalenBench bench(MakeLogger(config));
        ASSERT_EQ(1, bench.Connect());
        const InstrumentRecord& d = bench.P().device;
        EXPECT_EQ(c.kind, d.kind);
        EXPECT_STREQ(kindNames[c.kind], d.kindName);
        EXPECT_EQ(c.number, d.version);
        EXPECT_TRUE(d.newFirmware);
        EXPECT_EQ(c.capabilities, d.capabilities);
        EXPECT_EQ(std::string(c.word) + " " + c.version, d.versionText);
        EXPECT_EQ(1, bench.P().DisconnectDevice(false));
        EXPECT_FALSE(bench.P().IsOpen());
        EXPECT_EQ(0, bench.P().device.version);
    }
}

TEST(ConnectDevice, OldCommandSetAndOneRejection) {
    {
        KalenBench bench(std::make_unique<qsim::OldLoggerDevice>(qsim::OldLoggerConfig{}));
        ASSERT_EQ(1, bench.Connect());
        EXPECT_EQ(kKindLumo, bench.P().device.kind);
        EXPECT_FALSE(bench.P().device.newFirmware);
        EXPECT_EQ(0x331Cu, bench.P().device.capabilities);
        // Two rejected commands of three tries each.
        EXPECT_EQ(6u, bench.Sent("get -ver\r"));
        EXPECT_TRUE(bench.Logged("VerCommand found Lumo with old firmware"));
        // A quick identification leaves the show command to the settings pass.
        EXPECT_EQ(0u, bench.Sent("show\r"));
    }
    {
        qsim::LoggerConfig config;
        config.errorAnswers = 3;  // one whole DeviceCommand of rejections
        KalenBench bench(MakeLogger(config));
        ASSERT_EQ(1, bench.Connect());
        EXPECT_EQ(kKindLumoZ, bench.P().device.kind);
        EXPECT_TRUE(bench.P().device.newFirmware);
    }
}

TEST(VerCommand, LoaderAndOddAnswers) {
    const struct {
        const char* answer;
        int expected;
        size_t sends;
    } cases[] = {
        {"\r+21+\r>", -80, 1},  // the bootstrap loader answers
        {"$\r", -81, 2},        // a waiting loader, twice
        {"\r", -30, 3},         // three bare line ends
        {"\r>", -32, 4},        // a bare prompt, in every pass
        {"\rgarbled\r>", -30, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        qsim::LoggerConfig config;
        config.canned["get -ver"] = c.answer;
        KalenBench bench(MakeLogger(config));
        bench.Open(1);
        EXPECT_EQ(c.expected, bench.P().VerCommand(true));
        EXPECT_EQ(c.sends, bench.Sent("get -ver\r"));
        EXPECT_EQ(kKindUnknown, bench.P().device.kind);
        EXPECT_EQ(0, bench.P().device.version);
        EXPECT_TRUE(bench.Logged("VerCommand failed with error"));
    }
}

TEST(ConnectDevice, NothingListeningAndKeptPort) {
    qsim::LoggerConfig config;
    KalenBench bench(MakeLogger(config));
    bench.With<qsim::LoggerDevice>([](qsim::LoggerDevice& l) { l.Faults().AddSilence("kalen:1:4"); });
    LinkOptions o{};
    o.keepPortOpen = true;
    o.serialTries = 1;
    ASSERT_EQ(1, bench.P().Configure(&o, 1));
    EXPECT_EQ(-20, bench.Connect());
    EXPECT_TRUE(bench.Logged("DeviceLogin: nothing is listening over the serial port"));
    EXPECT_TRUE(bench.P().IsOpen());  // kept open after the failure
    // The next connection reuses the open port.
    ASSERT_EQ(1, bench.Connect());
    EXPECT_EQ(1, bench.Runner().HostOpens());
    EXPECT_EQ(1, bench.P().DisconnectDevice(false));
    EXPECT_TRUE(bench.P().IsOpen());
    ASSERT_EQ(1, bench.Connect());
    EXPECT_EQ(1, bench.Runner().HostOpens());
}

long LineRate(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return -1;
    switch (cfgetospeed(&tio)) {
    case B9600: return 9600;
    case B19200: return 19200;
    case B115200: return 115200;
    default: return 0;
    }
}

TEST(ConnectDevice, RaisesTheBaudRateOnBothEnds) {
    KalenBench bench(MakeLogger({}));
    LinkOptions o{};
    o.keepPortOpen = true;
    ASSERT_EQ(1, bench.P().Configure(&o, 1));
    ConnectRecord record{};
    ASSERT_EQ(1, bench.Connect(kLinkSerial, 6, &record));
    EXPECT_EQ(6, record.baudIndex);
    EXPECT_EQ(1u, bench.Sent("set -baud 4\r"));
    EXPECT_EQ(115200u, bench.P().Baud());
    EXPECT_EQ(115200, LineRate(bench.P().Handle()));
    EXPECT_EQ(115200, bench.With<qsim::LoggerDevice>([](qsim::LoggerDevice& l) { return l.Config().baud; }));
    EXPECT_TRUE(bench.Logged("DeviceLogin communicating with a device running LUMOZ 2.04 at 115200 baud"));
    // The two ends understand each other at the new rate.
    char name[9] = {0};
    EXPECT_EQ(1, bench.P().NameCommand(name, 0));
    EXPECT_STREQ("LUMOZ", name);
    // A host left behind at the old rate is no longer understood.
    ASSERT_EQ(1, bench.P().QSHostBaud(9600));
    bench.P().tries = 1;
    EXPECT_EQ(-21, bench.P().NameCommand(name, 0));
    ASSERT_EQ(1, bench.P().QSHostBaud(115200));
    EXPECT_EQ(1, bench.P().NameCommand(name, 0));
    bench.P().tries = 3;

    EXPECT_EQ(1, bench.P().DisconnectDevice(false));
    EXPECT_EQ(1u, bench.Sent("set -baud 0\r"));
    EXPECT_EQ(9600, LineRate(bench.P().Handle()));
    EXPECT_EQ(9600, bench.With<qsim::LoggerDevice>([](qsim::LoggerDevice& l) { return l.Config().baud; }));
}

TEST(ConnectDevice, StaysAtTheSlowRateWhenTheRequestCannotBeMet) {
    {
        // The instrument has no code for 1200: neither side changes.
        KalenBench bench(MakeLogger({}));
        ConnectRecord record{};
        ASSERT_EQ(1, bench.Connect(kLinkSerial, 1, &record));
        EXPECT_EQ(2, record.baudIndex);
        EXPECT_EQ(9600u, bench.P().Baud());
        EXPECT_EQ(0u, bench.Sent("set -baud"));
    }
    {
        // The instrument refuses the new rate.
        qsim::LoggerConfig config;
        config.canned["set -baud 4"] = "\rERROR\r>";
        KalenBench bench(MakeLogger(config));
        ConnectRecord record{};
        ASSERT_EQ(1, bench.Connect(kLinkSerial, 6, &record));
        EXPECT_EQ(2, record.baudIndex);
        EXPECT_EQ(9600u, bench.P().Baud());
        EXPECT_TRUE(bench.Logged("DeviceLogin: device didn't change baud rate (error -34)"));
    }
}

TEST(SetBaudCommand, SilentInstrumentAndOldFirmware) {
    KalenBench bench(MakeLogger({}));
    ASSERT_EQ(1, bench.Connect());
    bench.With<qsim::LoggerDevice>([](qsim::LoggerDevice& l) { l.Faults().AddSilence("kalen.set.baud"); });
    EXPECT_EQ(1, bench.P().SetBaudCommand(9600));
    bench.P().device.newFirmware = false;
    EXPECT_EQ(-1, bench.P().SetBaudCommand(19200));
    EXPECT_TRUE(bench.Logged("SetBaudCommand: device (") && bench.Logged(") can't change baud rate"));
}

TEST(RadioLogin, WakesASleepingInstrumentWithOneTrain) {
    qsim::LoggerConfig logger;
    logger.name = "BUOY3";
    logger.asleep = true;
    KalenBench bench(RadioChain(logger));
    LinkOptions o{};
    o.radioTries = 1;
    ASSERT_EQ(1, bench.P().Configure(&o, 1));
    ConnectRecord record{};
    ASSERT_EQ(1, bench.Connect(kLinkRadio, 6, &record));
    EXPECT_STREQ("BUOY3", record.instrumentName);
    EXPECT_STREQ("BUOY3", bench.P().device.instrumentName);
    EXPECT_EQ(2, record.baudIndex);
    EXPECT_EQ(1u, bench.CountLogged("SendWake sent 909 packets"));
    EXPECT_EQ(2u, bench.Sent("\rquery\r"));  // before and after the train
    EXPECT_EQ(1u, bench.Sent("login BUOY3\r"));
    EXPECT_TRUE(bench.WithSecond<qsim::LoggerDevice>([](qsim::LoggerDevice& l) { return l.LoggedIn(); }));

    EXPECT_EQ(1, bench.P().DisconnectDevice(false));
    EXPECT_TRUE(bench.Logged("DisconnectDevice successful"));
    EXPECT_FALSE(bench.WithSecond<qsim::LoggerDevice>([](qsim::LoggerDevice& l) { return l.Awake(); }));
}

TEST(SendWake, CancelledByTheProgressHook) {
    KalenBench bench(RadioChain({}));
    bench.Open(1);
    LinkOptions o{};
    o.progressEnabled = true;
    ASSERT_EQ(1, bench.P().Configure(&o, 1));
    bench.P().SetProgressHook([](void*, uint32_t total, uint32_t done, int phase) {
        EXPECT_EQ(909u, total);
        EXPECT_EQ(1, phase);
        return done < 36;
    }, nullptr);
    EXPECT_EQ(-40, bench.P().SendWake());
    EXPECT_TRUE(bench.Logged("SendWake canceled by user after sending 36 of 909 packets"));
    EXPECT_TRUE(qsim::PtyRunner::WaitFor([&] { return bench.Sent("\r") == 37; }, 2000));
}

TEST(RadioLogin, ConfiguresTheHostModemWhenTheChannelIsKnown) {
    qsim::LoggerConfig logger;
    logger.name = "MAST";
    logger.asleep = false;
    logger.rch = 3;
    logger.rsch = 0x2A;
    qsim::RadioModemConfig modem;  // starts on channel 0: out of reach
    KalenBench bench(RadioChain(logger, modem));
    ConnectRecord record{};
    ASSERT_EQ(1, SetConnectPortName(&record, bench.Port().c_str()));
    record.linkType = kLinkRadio;
    strcpy(record.instrumentName, "MAST");
    record.radioKnown = true;
    record.radioChannel = 3;
    record.radioSubchannel = 0x2A;
    ASSERT_EQ(1, bench.P().ConnectDevice(&record));
    EXPECT_EQ(1u, bench.Sent("ATHP3\r"));
    EXPECT_EQ(1u, bench.Sent("ATDT2A\r"));
    EXPECT_EQ(0u, bench.Sent("\rquery\r"));
    EXPECT_EQ(1, bench.With<qsim::RadioModemDevice>([](qsim::RadioModemDevice& m) { return m.Stores(); }));
    EXPECT_TRUE(bench.Logged("Tk9Config set rch to 3"));

    // Over the radio the instrument's radio settings come from the link.
    int32_t ch = -1, sch = -1;
    char ver[9] = "x";
    uint32_t flags = kSetRadio;
    bench.P().device.capabilities |= kCapRadio;
    EXPECT_EQ(1, bench.P().MSRadioCommand(&ch, &sch, ver, 0, &flags));
    EXPECT_EQ(3, ch);
    EXPECT_EQ(0x2A, sch);
    EXPECT_STREQ("", ver);
    EXPECT_EQ(kSetRch | kSetRsch, flags);
    EXPECT_EQ(-12, bench.P().MSRadioCommand(&ch, &sch, ver, 1, &flags));
    EXPECT_EQ(0u, flags);
}

TEST(Tk9Config, ReadWithASilentChannelQuery) {
    KalenBench bench(RadioChain({}));
    bench.With<qsim::RadioModemDevice>([](qsim::RadioModemDevice& m) {
        m.Config().subchannel = 0x77;
        m.Faults().AddSilence("tk9.ATHP");
    });
    bench.Open(1);
    int32_t ch = -1, sch = -1;
    uint32_t flags = kSetRch;
    EXPECT_EQ(1, bench.P().Tk9Config(&ch, &sch, nullptr, 0, &flags));
    EXPECT_EQ(0u, flags);
    EXPECT_EQ(1u, bench.Sent("ATCN\r"));
    EXPECT_TRUE(bench.Logged("Tk9Config failed with error 1 and 1"));
    EXPECT_FALSE(bench.With<qsim::RadioModemDevice>([](qsim::RadioModemDevice& m) { return m.InCommandMode(); }));

    flags = kSetRsch | kSetRver;
    char ver[9];
    EXPECT_EQ(1, bench.P().Tk9Config(&ch, &sch, ver, 0, &flags));
    EXPECT_EQ(kSetRsch | kSetRver, flags);
    EXPECT_EQ(0x77, sch);
    EXPECT_STREQ("T9R214", ver);
}

TEST(Tk9Config, ModemThatWillNotEnterCommandMode) {
    KalenBench bench(RadioChain({}));
    bench.With<qsim::RadioModemDevice>([](qsim::RadioModemDevice& m) { m.Faults().AddSilence("tk9.+++"); });
    bench.Open(1);
    int32_t ch = 1;
    uint32_t flags = kSetRch;
    EXPECT_EQ(-23, bench.P().Tk9Config(&ch, nullptr, nullptr, 1, &flags));
    EXPECT_EQ(0u, flags);
    EXPECT_EQ(2u, bench.Sent("+++"));
    EXPECT_TRUE(bench.Logged("Tk9Config failed to get into AT command mode"));
}

TEST(MSRadioCommand, SerialReadsAndWrites) {
    qsim::LoggerConfig config;
    config.rch = 4;
    config.rsch = 0x1F2E;
    KalenBench bench(MakeLogger(config));
    ASSERT_EQ(1, bench.Connect());
    KALEN_Protocol& p = bench.P();
    int32_t ch = -1, sch = -1;
    char ver[9] = {0};

    bench.Runner().ClearTranscript();
    uint32_t flags = kSetRsch;
    EXPECT_EQ(1, p.MSRadioCommand(&ch, &sch, ver, 0, &flags));
    EXPECT_EQ(kSetRsch, flags);
    EXPECT_EQ(0x1F2E, sch);
    EXPECT_EQ(-1, ch);
    EXPECT_EQ(0u, bench.Sent("get -rch\r") + bench.Sent("get -rver\r"));

    flags = kSetRadio;
    EXPECT_EQ(1, p.MSRadioCommand(&ch, &sch, ver, 0, &flags));
    EXPECT_EQ(kSetRadio, flags);
    EXPECT_EQ(4, ch);
    EXPECT_STREQ("0412", ver);

    ch = 6;
    sch = 0xBEEF;
    flags = kSetRch | kSetRsch;
    EXPECT_EQ(1, p.MSRadioCommand(&ch, &sch, ver, 1, &flags));
    EXPECT_EQ(kSetRch | kSetRsch, flags);
    EXPECT_EQ(1u, bench.Sent("set -rsch BEEF\r"));
    EXPECT_EQ(6, bench.With<qsim::LoggerDevice>([](qsim::LoggerDevice& l) { return l.Config().rch; }));

    // A channel above 6 is not taken.
    bench.With<qsim::LoggerDevice>([](qsim::LoggerDevice& l) { l.Config().rch = 7; });
    ch = -1;
    flags = kSetRch;
    EXPECT_EQ(1, p.MSRadioCommand(&ch, &sch, ver, 0, &flags));
    EXPECT_EQ(0u, flags);
    EXPECT_EQ(-1, ch);
    EXPECT_TRUE(bench.Logged("MSRadioCommand could not find rch"));

    // Without the capability nothing is asked.
    p.device.capabilities &= ~kCapRadio;
    flags = kSetRadio;
    EXPECT_EQ(-1, p.MSRadioCommand(&ch, &sch, ver, 0, &flags));
    EXPECT_EQ(0u, flags);
}

TEST(MSRadioCommand, NoRadioSkipsTheChannelReads) {
    qsim::LoggerConfig config;
    config.radioFitted = false;
    KalenBench bench(MakeLogger(config));
    ASSERT_EQ(1, bench.Connect());
    bench.Runner().ClearTranscript();
    int32_t ch = -1, sch = -1;
    char ver[9] = {0};
    uint32_t flags = kSetRadio;
    EXPECT_EQ(-45, bench.P().MSRadioCommand(&ch, &sch, ver, 0, &flags));
    EXPECT_EQ(0u, flags);
    EXPECT_EQ(1u, bench.Sent("get -rver\r"));
    EXPECT_EQ(0u, bench.Sent("get -rch\r") + bench.Sent("get -rsch\r"));
    EXPECT_TRUE(bench.Logged("MSRadioCommand couldn't find a radio"));
}

TEST(MSRadioCommand, OldLoggerReachesItsModemThroughTerm) {
    qsim::OldLoggerConfig config;
    config.rch = 2;
    config.rsch = 0x1234;
    KalenBench bench(std::make_unique<qsim::OldLoggerDevice>(config));
    ASSERT_EQ(1, bench.Connect());
    ASSERT_FALSE(bench.P().device.newFirmware);
    bench.P().device.capabilities |= kCapRadio;
    int32_t ch = -1, sch = -1;
    char ver[9] = {0};
    uint32_t flags = kSetRadio;
    EXPECT_EQ(1, bench.P().MSRadioCommand(&ch, &sch, ver, 0, &flags));
    EXPECT_EQ(kSetRadio, flags);
    EXPECT_EQ(2, ch);
    EXPECT_EQ(0x1234, sch);
    EXPECT_STREQ("T9R107", ver);
    EXPECT_FALSE(bench.With<qsim::OldLoggerDevice>([](qsim::OldLoggerDevice& l) { return l.InTerm(); }));
}

}  // namespace
