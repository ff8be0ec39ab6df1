// Connect, login, disconnect and the device checks, against simulated
// instruments and the reader on a real pseudo-terminal.
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "facade_rig.h"
#include "serial/quarserial.h"
#include "sim/reader.h"

TEST(QPConnect, IdentifiesTheDeviceAndKeepsItsVersion) {
    FacadeRig rig(Bench("SSIX", "2.05"));
    ASSERT_TRUE(rig.Started());
    Quar_protocol& qp = rig.Qp();
    DeviceInfo info{};
    EXPECT_EQ(qp.QPConnect("", 2, 3, &info), -10);
    EXPECT_EQ(qp.QPConnect(rig.PortName().c_str(), 2, 3, nullptr), -10);
    EXPECT_EQ(qp.QPConnect(rig.PortName().c_str(), 2, 13, &info), -11);
    EXPECT_EQ(rig.Runner().HostOpens(), 0);

    ASSERT_EQ(qp.QPConnect(rig.PortName().c_str(), 2, 3, &info), 1);
    EXPECT_EQ(info.type, 15);
    EXPECT_EQ(qp.deviceType, 15);
    EXPECT_EQ(qp.deviceInfo.version, 205);
    EXPECT_EQ(qp.settings.version, 205);
    EXPECT_TRUE(qp.settings.newFirmware);
    EXPECT_STREQ(qp.settings.versionText, "SSIX 2.05");
    EXPECT_TRUE(rig.Logged("QPConnect successfully connected to device"));
}

TEST(QPConnect, RefusesUnsupportedAndUnknownDevicesWithoutTakingThem) {
    struct Case {
        const char* kind;
        const char* version;
        const char* line;
        uint8_t infoType;
    } cases[] = {
        {"SVMIN", "1.10", "QPConnect this firmware version is not supported", 6},
        {"WIDGET", "1.00", "QPConnect this device must not be supported", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        FacadeRig rig(Bench(c.kind, c.version));
        ASSERT_TRUE(rig.Started());
        Quar_protocol& qp = rig.Qp();
        qp.deviceType = 9;
        qp.deviceInfo.version = 777;
        DeviceInfo info{};
        EXPECT_EQ(qp.QPConnect(rig.PortName().c_str(), 2, 3, &info), -120);
        EXPECT_TRUE(rig.Logged(c.line));
        EXPECT_EQ(info.type, c.infoType);
        EXPECT_EQ(qp.deviceType, 9);
        EXPECT_EQ(qp.deviceInfo.version, 777);
        qp.QPDisconnect(false);
    }
}

TEST(QPConnect, NothingOnTheLine) {
    auto reader = std::make_unique<qsim::Reader>(qsim::ReaderConfig{});
    FacadeRig rig(std::move(reader));
    ASSERT_TRUE(rig.Started());
    rig.Runner().Context().faults.AddSilence("cmd");
    DeviceInfo info{};
    EXPECT_EQ(rig.Qp().QPConnect(rig.PortName().c_str(), 2, 1, &info), -20);
    EXPECT_TRUE(rig.Logged("QPConnect couldn't connect."));
}

// The reader answers like every instrument of its family ("\r", text, "\r>"):
// the identity, the battery and the values read after the first line end
// all come through.
TEST(QPConnect, TheReadersAnswersAsTheSequenceReadsThem) {
    FacadeRig rig(std::make_unique<qsim::Reader>(qsim::ReaderConfig{}));
    ASSERT_TRUE(rig.Started());
    Quar_protocol& qp = rig.Qp();
    DeviceInfo info{};
    ASSERT_EQ(qp.QPConnect(rig.PortName().c_str(), 2, 3, &info), 1);
    EXPECT_EQ(info.type, 14);
    EXPECT_EQ(qp.settings.version, 125);

    int32_t percent = 0;
    EXPECT_EQ(qp.QPCheckBattery(&percent), 1);
    EXPECT_EQ(percent, 87);

    char serial[16] = {};
    EXPECT_EQ(qp.protocol->SNCommand(serial, 0), 1);
    EXPECT_STREQ(serial, "SN04417");
    char name[9] = {};
    EXPECT_EQ(qp.protocol->NameCommand(name, 0), 1);
    EXPECT_STREQ(name, "SENDRA");
    EXPECT_EQ(qp.QPDisconnect(false), 1);
}

TEST(QPChecks, BatteryFirmwareEraseAndClock) {
    FacadeRig rig(Bench("SSIX", "2.05"));
    ASSERT_TRUE(rig.Started());
    Quar_protocol& qp = rig.Qp();
    ASSERT_EQ(rig.Connect(), 1);

    int32_t percent = 0;
    EXPECT_EQ(qp.QPCheckBattery(nullptr), -10);
    EXPECT_EQ(qp.QPCheckBattery(&percent), 1);
    EXPECT_EQ(percent, 64);

    EXPECT_EQ(qp.QPCheckFirmware(false), 1);
    rig.With<qsim::BenchInstrument>([](qsim::BenchInstrument& b) { b.Config().postAnswer = "Code Corrupt!"; });
    rig.Runner().ClearTranscript();
    EXPECT_EQ(qp.QPCheckFirmware(true), -1);
    EXPECT_EQ(rig.Runner().Received(), "post -init\r");  // no second attempt
    rig.With<qsim::BenchInstrument>([](qsim::BenchInstrument& b) { b.Config().postAnswer = "busy"; });
    EXPECT_EQ(qp.QPCheckFirmware(false), -30);
    EXPECT_TRUE(rig.Logged("QPCheckFirmware can't determine firmware code status"));

    EXPECT_EQ(qp.QPEraseData(), 1);
    EXPECT_EQ(rig.With<qsim::BenchInstrument>([](qsim::BenchInstrument& b) { return b.Config().records; }), 0);

    const long before = static_cast<long>(std::time(nullptr)) + UtcOffsetSeconds() - 946684800L;
    EXPECT_EQ(qp.QPSetTime(), 1);
    const long set = rig.With<qsim::BenchInstrument>([](qsim::BenchInstrument& b) { return b.Config().clock; });
    EXPECT_GE(set, before);
    EXPECT_LE(set, before + 60);

    // Types the operations do not apply to send nothing.
    rig.Runner().ClearTranscript();
    qp.deviceType = 6;
    EXPECT_EQ(qp.QPEraseData(), -13);
    qp.deviceInfo.setClock = 0;
    EXPECT_EQ(qp.QPSetTime(), -13);
    EXPECT_EQ(rig.Runner().Received(), "");
}

TEST(QPLogin, TypesTheServiceCodeAndLogsOutOnlyWhenAsked) {
    FacadeRig rig(Bench("SSIX", "2.05"));
    ASSERT_TRUE(rig.Started());
    Quar_protocol& qp = rig.Qp();
    ASSERT_EQ(rig.Connect(), 1);
    rig.Runner().ClearTranscript();
    EXPECT_EQ(qp.QPLogin(), 1);
    EXPECT_EQ(rig.Runner().Received(), "login *6905\r\n\r");
    EXPECT_TRUE(rig.Logged("QPConnect successfully logged into the device"));

    ASSERT_TRUE(qp.deviceInfo.serviceLogin);
    rig.Runner().ClearTranscript();
    EXPECT_EQ(qp.QPDisconnect(true), 1);
    EXPECT_EQ(rig.Runner().Received().find("logout\r"), 0u);
    EXPECT_FALSE(qp.protocol->IsOpen());

    ASSERT_EQ(rig.Connect(), 1);
    rig.Runner().ClearTranscript();
    qp.deviceInfo.serviceLogin = 0;
    EXPECT_EQ(qp.QPDisconnect(true), 1);
    EXPECT_EQ(rig.Runner().Received().find("logout\r"), std::string::npos);
}
