// The settings pass, the get/set commands, the clock and the data erase,
// against simulated loggers on a pty.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "kalen_bench.h"

namespace {

constexpr uint32_t kAllSettings = 0x0FFFFFFF;

qsim::LoggerConfig FieldLumoZ() {
    qsim::LoggerConfig c;
    c.kindWord = "LUMOZ";
    c.version = "2.04";
    c.name = "NORTH12";
    c.deviceId = "DEV42";
    c.reportMode = 3;
    int depth[5] = {10, 20, 30, 40, 250};
    memcpy(c.depth, depth, sizeof depth);
    c.latitude = 46.52011;
    c.longitude = -117.00512;
    c.timeZone = -28;
    c.site = "Upper Meadow Station 4";
    c.serial = "LZ-2044913";
    c.wake = 300;
    c.padc = 25;
    int ports[5] = {1, 2, 0, 7, 3};
    memcpy(c.ports, ports, sizeof ports);
    c.radioFitted = true;
    c.cellFitted = true;
    c.rmode = 2;
    c.rch = 5;
    c.rsch = 0x3F21;
    c.rver = "0A17";
    c.dataParameter = 17;
    c.build = "B2204-r3";
    int adc30[10] = {101, 12, 102, 13, 103, 14, 104, 15, 105, 16};
    int adc15[10] = {201, 22, 202, 23, 203, 24, 204, 25, 205, 26};
    memcpy(c.adc30, adc30, sizeof adc30);
    memcpy(c.adc15, adc15, sizeof adc15);
    c.apn = "field.example.net";
    c.apnUser = "logger";
    c.apnPassword = "s3cret";
    c.authKey = "00112233445566778899AABBCCDDEEFF";
    c.host = "data.example.org";
    c.ipPort = 4711;
    return c;
}

// The same model as it comes from the factory.
qsim::LoggerConfig ResetLumoZ() {
    qsim::LoggerConfig c;
    c.kindWord = "LUMOZ";
    c.version = "2.04";
    c.name = "LUMOZ";
    c.serial = "";
    c.radioFitted = true;
    c.cellFitted = true;
    c.rver = "0A17";  // the radio itself is the same
    return c;
}

void ExpectSameSettings(const qsim::LoggerConfig& a, const qsim::LoggerConfig& b) {
    EXPECT_EQ(a.name, b.name);
    EXPECT_EQ(a.deviceId, b.deviceId);
    EXPECT_EQ(a.reportMode, b.reportMode);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(a.depth[i], b.depth[i]) << i;
        EXPECT_EQ(a.ports[i], b.ports[i]) << i;
    }
    EXPECT_NEAR(a.latitude, b.latitude, 1e-9);
    EXPECT_NEAR(a.longitude, b.longitude, 1e-9);
    EXPECT_EQ(a.timeZone, b.timeZone);
    EXPECT_EQ(a.site, b.site);
    EXPECT_EQ(a.serial, b.serial);
    EXPECT_EQ(a.wake, b.wake);
    EXPECT_EQ(a.padc, b.padc);
    EXPECT_EQ(a.rmode, b.rmode);
    EXPECT_EQ(a.rch, b.rch);
    EXPECT_EQ(a.rsch, b.rsch);
    EXPECT_EQ(a.dataParameter, b.dataParameter);
    EXPECT_EQ(a.build, b.build);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(a.adc30[i], b.adc30[i]) << i;
        EXPECT_EQ(a.adc15[i], b.adc15[i]) << i;
    }
    EXPECT_EQ(a.apn, b.apn);
    EXPECT_EQ(a.apnUser, b.apnUser);
    EXPECT_EQ(a.apnPassword, b.apnPassword);
    EXPECT_EQ(a.authKey, b.authKey);
    EXPECT_EQ(a.host, b.host);
    EXPECT_EQ(a.ipPort, b.ipPort);
}

void ExpectSameRecord(const InstrumentRecord& a, const InstrumentRecord& b) {
#define SAME(f) EXPECT_EQ(0, memcmp(&a.f, &b.f, sizeof a.f)) << #f
    SAME(validMask); SAME(capabilities); SAME(kind); SAME(kindName); SAME(newFirmware); SAME(deviceId);
    SAME(instrumentName); SAME(serialNumber); SAME(versionText); SAME(version); SAME(trait); SAME(quarBuild);
    SAME(wake); SAME(ports); SAME(depth); SAME(padc); SAME(site); SAME(latitude); SAME(longitude);
    SAME(timeZone); SAME(adc30Slopes); SAME(adc30Offsets); SAME(adc15Slopes); SAME(adc15Offsets);
    SAME(dataParameter); SAME(reportMode); SAME(rmode); SAME(rch); SAME(rsch); SAME(rver); SAME(apn);
    SAME(apnUser); SAME(apnPassword); SAME(authKey); SAME(host); SAME(ipPort);
#undef SAME
}

TEST(DeviceSettings, ReadPassThenWritePassReproducesEverySetting) {
    const qsim::LoggerConfig field = FieldLumoZ();
    InstrumentRecord captured{};
    uint32_t readMask = kAllSettings;
    {
        KalenBench bench(MakeLogger(field));
        ASSERT_EQ(1, bench.Connect());
        ASSERT_EQ(1, bench.P().DeviceSettings(&captured, &readMask, 0)) << bench.Log();
    }
    // Everything but the bits without a step was read.
    EXPECT_EQ(kAllSettings, readMask);
    EXPECT_EQ(readMask, captured.validMask);
    EXPECT_STREQ("NORTH12", captured.instrumentName);
    EXPECT_STREQ("Upper Meadow Station 4", captured.site);
    EXPECT_STREQ("LZ-2044913", captured.serialNumber);
    EXPECT_DOUBLE_EQ(46.52011, captured.latitude);
    EXPECT_EQ(kTraitKnown | kTraitRadio | kTraitCell, captured.trait);
    EXPECT_EQ(0x3F21, captured.rsch);
    EXPECT_STREQ("0A17", captured.rver);
    EXPECT_EQ(204, captured.version);

    KalenBench bench(MakeLogger(ResetLumoZ()));
    ASSERT_EQ(1, bench.Connect());
    uint32_t writeMask = kAllSettings & ~kSetIdentity;
    EXPECT_EQ(1, bench.P().DeviceSettings(&captured, &writeMask, 1)) << bench.Log();
    // The radio version can only be read.
    EXPECT_EQ(kAllSettings & ~kSetIdentity & ~kSetRver, writeMask);
    bench.With<qsim::LoggerDevice>([&](qsim::LoggerDevice& l) {
        ExpectSameSettings(field, l.Config());
        EXPECT_EQ(~(kTraitRadio | kTraitCell) & 0xFF, l.TraitByte());
    });

    // Reading the written logger back gives the captured record again.
    InstrumentRecord again{};
    uint32_t againMask = kAllSettings;
    ASSERT_EQ(1, bench.P().DeviceSettings(&again, &againMask, 0));
    ExpectSameRecord(captured, again);
}

TEST(DeviceSettings, LogsInAgainWhenTheInstrumentStopsAnswering) {
    KalenBench bench(MakeLogger(FieldLumoZ()));
    ASSERT_EQ(1, bench.Connect());
    // All three tries of the site query go unanswered, once.
    bench.With<qsim::LoggerDevice>([](qsim::LoggerDevice& l) { l.Faults().AddSilence("kalen.get.site:1:3"); });
    InstrumentRecord record{};
    uint32_t mask = kSetName | kSetSite | kSetWake;
    EXPECT_EQ(1, bench.P().DeviceSettings(&record, &mask, 0)) << bench.Log();
    EXPECT_EQ(kSetName | kSetSite | kSetWake | kSetIdentity, mask);
    EXPECT_STREQ("Upper Meadow Station 4", record.site);
    EXPECT_EQ(300, record.wake);
    EXPECT_TRUE(bench.Logged("******: DeviceSettings re-connected to device"));
    EXPECT_EQ(4u, bench.Sent("get -site\r"));
}

TEST(DeviceSettings, GivesUpWhenTheInstrumentStaysSilent) {
    KalenBench bench(MakeLogger(FieldLumoZ()));
    ASSERT_EQ(1, bench.Connect());
    bench.With<qsim::LoggerDevice>([](qsim::LoggerDevice& l) { l.Faults().AddSilence("kalen"); });
    InstrumentRecord record{};
    uint32_t mask = kSetSite;
    EXPECT_EQ(-21, bench.P().DeviceSettings(&record, &mask, 0));
    EXPECT_EQ(kSetIdentity, mask);
}

TEST(DeviceSettings, NoNewLoginOverTheRadio) {
    qsim::LoggerConfig logger = FieldLumoZ();
    logger.overRadio = true;
    logger.asleep = false;
    auto head = std::make_unique<qsim::RadioModemDevice>(qsim::RadioModemConfig{5, 0x3F21, "T9R214", false});
    head->Attach(MakeLogger(logger));
    KalenBench bench(std::move(head));
    LinkOptions o{};
    o.radioTries = 2;
    ASSERT_EQ(1, bench.P().Configure(&o, 1));
    ConnectRecord record{};
    ASSERT_EQ(1, bench.Connect(kLinkRadio, 2, &record));
    bench.WithSecond<qsim::LoggerDevice>([](qsim::LoggerDevice& l) { l.Faults().AddSilence("kalen.get.site:1:2"); });
    InstrumentRecord settings{};
    uint32_t mask = kSetSite | kSetWake;
    EXPECT_EQ(-21, bench.P().DeviceSettings(&settings, &mask, 0));
    EXPECT_FALSE(bench.Logged("re-connected"));
}

TEST(DeviceSettings, IdentityBookkeeping) {
    KalenBench bench(MakeLogger(FieldLumoZ()));
    ASSERT_EQ(1, bench.Connect());
    bench.Runner().ClearTranscript();
    InstrumentRecord record{};
    uint32_t mask = 0;
    EXPECT_EQ(1, bench.P().DeviceSettings(&record, &mask, 0));
    EXPECT_EQ(kSetIdentity, mask);
    EXPECT_EQ("", bench.Runner().Received());

    // With the version unknown the same pass identifies the instrument.
    bench.P().device.version = 0;
    bench.P().device.kind = 0;
    mask = 0;
    EXPECT_EQ(1, bench.P().DeviceSettings(&record, &mask, 0));
    EXPECT_EQ(kSetIdentity, mask);
    EXPECT_EQ(1u, bench.Sent("get -ver\r"));
    EXPECT_EQ(kKindLumoZ, record.kind);
}

TEST(DeviceSettings, RadioItemsReadTheTraitFirst) {
    KalenBench bench(MakeLogger(FieldLumoZ()));
    ASSERT_EQ(1, bench.Connect());
    bench.Runner().ClearTranscript();
    InstrumentRecord record{};
    uint32_t mask = kSetRch;
    EXPECT_EQ(1, bench.P().DeviceSettings(&record, &mask, 0));
    EXPECT_EQ(kSetRch | kSetTrait | kSetIdentity, mask);
    std::string sent = bench.Runner().Received();
    ASSERT_NE(std::string::npos, sent.find("get -trait\r"));
    EXPECT_LT(sent.find("get -trait\r"), sent.find("get -rch\r"));
    EXPECT_EQ(5, record.rch);

    // A trait without a radio refuses the radio items.
    bench.P().device.trait = kTraitKnown;
    mask = kSetRch;
    EXPECT_EQ(-35, bench.P().DeviceSettings(&record, &mask, 0));
    EXPECT_EQ(kSetIdentity, mask);
}

TEST(DeviceSettings, MissingCapabilityFailsOnlyItsStep) {
    qsim::LoggerConfig config;
    config.kindWord = "VT";
    config.version = "1.05";
    config.name = "VELT1";
    KalenBench bench(MakeLogger(config));
    ASSERT_EQ(1, bench.Connect());
    InstrumentRecord record{};
    uint32_t mask = kSetName | kSetSite;
    EXPECT_EQ(-35, bench.P().DeviceSettings(&record, &mask, 0));
    EXPECT_EQ(kSetName | kSetIdentity, mask);
    EXPECT_STREQ("VELT1", record.instrumentName);
    EXPECT_EQ(0u, bench.Sent("get -site"));

    // A mask whose bits have no step does nothing and says so.
    InstrumentRecord write = record;
    mask = 0x10000000;
    EXPECT_EQ(-1, bench.P().DeviceSettings(&write, &mask, 1));
    EXPECT_EQ(0u, mask);
}

TEST(DeviceSettings, OldLoggerThroughItsShowCommand) {
    {
        qsim::OldLoggerConfig config;
        config.name = "OLD7";
        config.wake = 120;
        config.rmode = 3;
        KalenBench bench(std::make_unique<qsim::OldLoggerDevice>(config));
        ASSERT_EQ(1, bench.Connect());
        InstrumentRecord record{};
        uint32_t mask = kSetName | kSetWake | kSetRmode | kSetSerialNumber;
        EXPECT_EQ(1, bench.P().DeviceSettings(&record, &mask, 0)) << bench.Log();
        EXPECT_EQ(kSetName | kSetWake | kSetRmode | kSetIdentity, mask);
        EXPECT_STREQ("OLD7", record.instrumentName);
        EXPECT_EQ(120, record.wake);
        EXPECT_EQ(3, record.rmode);
        EXPECT_EQ(123, record.version);
        EXPECT_EQ(1u, bench.Sent("show\r"));

        // Writing uses the old set's commands and its bare prompt.
        record.wake = 60;
        strcpy(record.instrumentName, "OLD8");
        mask = kSetName | kSetWake;
        EXPECT_EQ(1, bench.P().DeviceSettings(&record, &mask, 1)) << bench.Log();
        bench.With<qsim::OldLoggerDevice>([](qsim::OldLoggerDevice& l) {
            EXPECT_EQ("OLD8", l.Config().name);
            EXPECT_EQ(60, l.Config().wake);
        });
    }
    {
        qsim::OldLoggerConfig config;
        config.version = "1.09";
        KalenBench bench(std::make_unique<qsim::OldLoggerDevice>(config));
        ASSERT_EQ(1, bench.Connect());
        InstrumentRecord record{};
        record.wake = 77;
        uint32_t mask = kSetName;
        EXPECT_EQ(-13, bench.P().DeviceSettings(&record, &mask, 0));
        EXPECT_EQ(77, record.wake);  // nothing copied back
        EXPECT_TRUE(bench.Logged("DeviceSettings: old VaultCell model 007 not supported"));
    }
}

TEST(DeviceSettings, CancelledByTheProgressHook) {
    KalenBench bench(MakeLogger(FieldLumoZ()));
    ASSERT_EQ(1, bench.Connect());
    LinkOptions o{};
    o.progressEnabled = true;
    ASSERT_EQ(1, bench.P().Configure(&o, 1));
    int calls = 0;
    bench.P().SetProgressHook(
        [](void* ctx, uint32_t, uint32_t, int phase) { return phase == 2 || ++*static_cast<int*>(ctx) < 3; },
        &calls);
    InstrumentRecord record{};
    uint32_t mask = kSetName | kSetSite | kSetWake | kSetPadc;
    EXPECT_EQ(-40, bench.P().DeviceSettings(&record, &mask, 0));
    EXPECT_TRUE(bench.Logged("DeviceSettings canceled by user after getting 2 of 4 settings"));
    EXPECT_EQ(0u, bench.Sent("get -w\r"));
}

// --- single commands --------------------------------------------------------

class CommandTest : public ::testing::Test {
protected:
    CommandTest() : bench(MakeLogger(FieldLumoZ())) {}
    void SetUp() override {
        ASSERT_EQ(1, bench.Connect());
        bench.P().device.trait = kTraitKnown | kTraitCell | kTraitRadio;
        bench.Runner().ClearTranscript();
    }
    qsim::LoggerConfig& Sim() {
        return *bench.With<qsim::LoggerDevice>([](qsim::LoggerDevice& l) { return &l.Config(); });
    }
    KalenBench bench;
};

TEST_F(CommandTest, ValuesThatAreRefusedBeforeSending) {
    KALEN_Protocol& p = bench.P();
    int32_t wake = -5;
    EXPECT_EQ(-11, p.WakeCommand(&wake, 1));
    int32_t padc = -1;
    EXPECT_EQ(-11, p.PADCCommand(&padc, 1));
    char shortKey[40] = "0123456789ABCDEF0123456789ABCDE";  // 31 digits
    EXPECT_EQ(-11, p.AuthKeyCommand(shortKey, 1));
    char badKey[40] = "0123456789ABCDEF0123456789ABCDEG";
    EXPECT_EQ(-11, p.AuthKeyCommand(badKey, 1));
    int32_t trait = 1;  // not marked known
    EXPECT_EQ(-11, p.TraitCommand(&trait, 1));
    char badName[9] = "A/B";
    EXPECT_EQ(-51, p.NameCommand(badName, 1));
    EXPECT_TRUE(bench.Logged("NameCommand: \"A/B\" is an illegal device name (error -51)"));
    uint8_t s[5] = {1, 1, 1, 1, 1}, o[5] = {1, 1, 1, 1, 1};
    EXPECT_EQ(-11, p.ADCcalCommand(3, s, o, 1));
    EXPECT_EQ(-10, p.ADCcalCommand(1, nullptr, o, 1));
    EXPECT_EQ("", bench.Runner().Received());
}

TEST_F(CommandTest, TextsSentForSpecialValues) {
    KALEN_Protocol& p = bench.P();
    double zero = 0;
    EXPECT_EQ(1, p.LatitudeCommand(&zero, 1));
    EXPECT_EQ(1u, bench.Sent("set -lat \r"));
    EXPECT_EQ(0.0, Sim().latitude);
    double lon = -117.5;
    EXPECT_EQ(1, p.LongitudeCommand(&lon, 1));
    EXPECT_EQ(1u, bench.Sent("set -long -117.50000\r"));
    // An unset latitude reads back as no value.
    double lat = 5;
    EXPECT_EQ(-31, p.LatitudeCommand(&lat, 0));
    Sim().canned["get -lat"] = "\r--\r>";
    EXPECT_EQ(-31, p.LatitudeCommand(&lat, 0));
    EXPECT_TRUE(bench.Logged("LatitudeCommand could not find device latitude"));
    EXPECT_EQ(5.0, lat);

    char key[48] = "00112233445566778899aabbccddeeff01234567";  // 40 digits
    EXPECT_EQ(1, p.AuthKeyCommand(key, 1));
    EXPECT_EQ(1u, bench.Sent("set -authkey 00112233445566778899aabbccddeeff\r"));
    EXPECT_EQ("00112233445566778899aabbccddeeff", Sim().authKey);

    int32_t trait = kTraitKnown | kTraitRadio;
    EXPECT_EQ(1, p.TraitCommand(&trait, 1));
    EXPECT_EQ(1u, bench.Sent("set -trait 254\r"));
}

TEST_F(CommandTest, TimeZoneOfTheHost) {
    const char* old = getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", "QST-2", 1);  // two hours east of UTC, no daylight saving
    tzset();
    int32_t zone = -2;
    int r = bench.P().TimeZoneCommand(&zone, 1);
    if (old) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
    EXPECT_EQ(1, r);
    EXPECT_EQ(8, zone);
    EXPECT_EQ(1u, bench.Sent("set -tz 8\r"));
    EXPECT_EQ(8, Sim().timeZone);
}

TEST_F(CommandTest, AdcCalibrationChecks) {
    KALEN_Protocol& p = bench.P();
    Sim().canned["get -adc30"] = "\r10 20 30 40 50 60 70 80 90 100 194\r>";
    uint8_t s[5] = {0}, o[5] = {0};
    EXPECT_EQ(-1, p.ADCcalCommand(1, s, o, 0));
    EXPECT_EQ(10, s[0]);
    EXPECT_EQ(100, o[4]);
    EXPECT_TRUE(bench.Logged("ADCcalCommand found (not valid) -adc30 10 20 30 40 50 60 70 80 90 100 194"));

    Sim().canned["get -adc30"] = "\r10 20 30\r>";
    EXPECT_EQ(-30, p.ADCcalCommand(1, s, o, 0));
    EXPECT_TRUE(bench.Logged("ADCcalCommand only found 3 of 11 cal -adc30 factors"));

    Sim().canned["get -adc30"] = "\r10 0 30 40 50 60 70 80 90 300 170\r>";
    EXPECT_EQ(-1, p.ADCcalCommand(1, s, o, 0));
    EXPECT_EQ(0, o[0]);
    EXPECT_EQ(255, o[4]);

    // The checksum the instrument wants comes with the values.
    uint8_t ws[5] = {100, 101, 102, 103, 104}, wo[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(1, p.ADCcalCommand(2, ws, wo, 1));
    EXPECT_EQ(1u, bench.Sent("set -adc15 100 1 101 2 102 3 103 4 104 5 13\r"));
    EXPECT_EQ(1, p.ADCcalCommand(2, s, o, 0));
    EXPECT_EQ(0, memcmp(s, ws, 5));
    EXPECT_EQ(0, memcmp(o, wo, 5));
}

TEST_F(CommandTest, CellularGateAndTeakeyFallback) {
    KALEN_Protocol& p = bench.P();
    Sim().canned["get -authkey"] = "\rERROR\r>";
    Sim().canned["get -teakey"] = "\rFFEEDDCCBBAA99887766554433221100\r>";
    char key[33] = {0};
    EXPECT_EQ(1, p.AuthKeyCommand(key, 0));
    EXPECT_STREQ("FFEEDDCCBBAA99887766554433221100", key);
    EXPECT_TRUE(bench.Logged("AuthKeyCommand found authkey (as teakey)"));

    p.device.trait = kTraitKnown;  // no cellular modem
    char apn[36] = {0};
    EXPECT_EQ(-1, p.APNCommand(apn, 0));
    EXPECT_EQ(0u, bench.Sent("get -apn"));
    p.device.trait = 0;
    EXPECT_EQ(-1, p.HasCellModem());
    EXPECT_EQ(-1, p.HasRadioModem());
}

TEST_F(CommandTest, KindRules) {
    KALEN_Protocol& p = bench.P();
    p.device.kind = kKindCirro;
    int32_t mode = 0;
    EXPECT_EQ(1, p.RmodeCommand(&mode, 0));
    EXPECT_EQ(16, mode);
    EXPECT_EQ("", bench.Runner().Received());

    p.device.kind = kKindVeltris;
    int32_t trait = 0;
    EXPECT_EQ(1, p.TraitCommand(&trait, 0));
    EXPECT_EQ(kTraitKnown | kTraitRadio, trait);
    EXPECT_EQ("", bench.Runner().Received());

    // Without the trait command the trait comes from the radio's version.
    p.device.kind = kKindLumoK;
    p.device.capabilities = kCapRadio;
    EXPECT_EQ(1, p.TraitCommand(&trait, 0));
    EXPECT_EQ(kTraitKnown | kTraitRadio, trait);
    EXPECT_EQ(1u, bench.Sent("get -rver\r"));
    // "No Radio" settles the trait, but the emulation reports nothing done.
    Sim().radioFitted = false;
    EXPECT_EQ(0, p.TraitCommand(&trait, 0));
    EXPECT_EQ(kTraitKnown, trait);
}

TEST_F(CommandTest, ClockRoundTrip) {
    KALEN_Protocol& p = bench.P();
    long when = 770000000;  // 2024-05-26 00:53:20 on the instrument's clock
    EXPECT_EQ(1, p.DeviceTime(&when, 1));
    EXPECT_EQ(1u, bench.Sent("set -t 0:53:20\r"));
    EXPECT_EQ(1u, bench.Sent("set -d 2024-5-26\r"));
    long read = 0;
    EXPECT_EQ(1, p.DeviceTime(&read, 0));
    EXPECT_NEAR(770000000, read, 3);
    EXPECT_NEAR(770000000, bench.With<qsim::LoggerDevice>([](qsim::LoggerDevice& l) { return l.Clock(); }), 3);

    // The host's own clock when no value is given.
    long now = 0;
    EXPECT_EQ(1, p.DeviceTime(&now, 1));
    long expected = UtcOffsetSeconds() + (long)time(nullptr) - 946684800L;
    EXPECT_NEAR(expected, now, 3);

    // A seconds clock: out-of-range counts are refused.
    p.device.capabilities |= kCapClockSeconds;
    EXPECT_EQ(1, p.DeviceTime(&when, 1));
    EXPECT_EQ(1u, bench.Sent("set -sec 770000000\r"));
    Sim().canned["get -sec"] = "\r4294967295\r>";
    read = 5;
    EXPECT_EQ(-30, p.DeviceTime(&read, 0));
    EXPECT_EQ(0, read);

    p.device.capabilities &= ~kCapClock;
    read = 5;
    EXPECT_EQ(-1, p.DeviceTime(&read, 0));
    EXPECT_EQ(-1, read);
}

TEST_F(CommandTest, TimeOfDayRefusedIsNotASetClock) {
    Sim().canned["set -t 0:53:20"] = "\rERROR\r>";
    long when = 770000000;
    EXPECT_EQ(-34, bench.P().DeviceTime(&when, 1));
    EXPECT_TRUE(bench.Logged("DeviceTime failed with error -34"));
}

TEST_F(CommandTest, EraseChecksTheIdentityFirst) {
    KALEN_Protocol& p = bench.P();
    Sim().records = 5000;
    strcpy(p.device.instrumentName, "OTHER");
    EXPECT_EQ(-37, p.EraseData());
    EXPECT_EQ(0u, bench.Sent("yes\r"));
    EXPECT_TRUE(bench.Logged("EraseData: Identity mismatch. Class: OTHER, Device: NORTH12"));
    EXPECT_EQ(5000, Sim().records);

    strcpy(p.device.instrumentName, "NORTH12");
    EXPECT_EQ(1, p.EraseData());
    EXPECT_EQ(0, Sim().records);
    EXPECT_TRUE(bench.Logged("InitializeDevice erased device data"));

    Sim().dataFlashFail = true;
    EXPECT_EQ(-65, p.EraseData());
    EXPECT_TRUE(bench.Logged("EraseData failed due to a broken DataFlash"));
}

TEST(DeviceTime, OldLoggerClock) {
    KalenBench bench(std::make_unique<qsim::OldLoggerDevice>(qsim::OldLoggerConfig{}));
    ASSERT_EQ(1, bench.Connect());
    long when = 700000000;
    EXPECT_EQ(1, bench.P().DeviceTime(&when, 1));
    long read = 0;
    EXPECT_EQ(1, bench.P().DeviceTime(&read, 0));
    EXPECT_EQ(1u, bench.Sent("time\r"));
    EXPECT_NEAR(700000000, read, 3);
}

TEST(EraseData, OldLoggerConfirmsWithAnExclamationMark) {
    qsim::OldLoggerConfig config;
    config.name = "OLD9";
    config.records = 12;
    KalenBench bench(std::make_unique<qsim::OldLoggerDevice>(config));
    ASSERT_EQ(1, bench.Connect());
    strcpy(bench.P().device.instrumentName, "OLD9");
    EXPECT_EQ(1, bench.P().EraseData());
    EXPECT_EQ(0, bench.With<qsim::OldLoggerDevice>([](qsim::OldLoggerDevice& l) { return l.Config().records; }));
}

}  // namespace
