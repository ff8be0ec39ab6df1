// The engine's start-up, selections, gates and progress, without a device.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "app/engine.h"
#include "bsl/quarbslhost.h"
#include "diag/quarlog.h"
#include "recording_frontend.h"

using app::Control;
using app::Engine;
using app::StartupOptions;
using app::WindowText;

namespace {

std::string MakeTempFolder() {
    char tmpl[] = "/tmp/quarbsl-app-XXXXXX";
    const char* d = ::mkdtemp(tmpl);
    return d ? d : "/tmp";
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct EngineFixture : ::testing::Test {
    std::string folder = MakeTempFolder();
    apptest::RecordingFrontEnd ui;
    Engine engine{ui};

    void Start(std::vector<std::string> args = {}) {
        StartupOptions o;
        o.arguments = std::move(args);
        o.workFolder = folder;
        engine.FormShow(o);
    }
    void TearDown() override { std::system(("rm -rf '" + folder + "'").c_str()); }
};

}  // namespace

TEST(HardwareRevision, FirstCharacterThatIsNotBlankOrLineEnd) {
    struct Case {
        const char* answer;
        char revision;
    } cases[] = {
        {"B>", 'B'},       {"  C\r\n>", 'C'}, {"\r\nB\r\n>", 'B'}, {"\t\n A>", 'A'},
        {"", 0},           {" \r\n\t", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(app::HardwareRevision(c.answer, 32), c.revision) << '"' << c.answer << '"';
    // Only the first `size` characters count.
    EXPECT_EQ(app::HardwareRevision("   X", 3), 0);
}

TEST(SensorTypeGate, FamiliesAcceptTheirMembersOnly) {
    struct Case {
        uint32_t target;
        unsigned sensor;
        bool accepted;
    } cases[] = {
        {261, 107, true},  {261, 108, true},  {261, 121, true},  {261, 122, false},
        {260, 110, true},  {260, 115, true},  {260, 112, false}, {262, 101, true},
        {262, 116, true},  {262, 107, false}, {264, 103, true},  {264, 104, true},
        {264, 102, false}, {107, 107, true},  {107, 108, false}, {263, 112, false},
        {263, 263, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(app::SensorTypeAccepted(c.target, c.sensor), c.accepted) << c.target << " / " << c.sensor;
}

TEST_F(EngineFixture, StartUpNamesFilesAndTextsAfterTheDefaultSensor) {
    Start();
    const app::AppState& s = engine.State();
    EXPECT_EQ(s.deviceName, "ORBIS 62 Sensor");
    EXPECT_EQ(s.caption, "ORBIS 62 Sensor Firmware Updater");
    EXPECT_EQ(s.targetSensorType, 107u);
    EXPECT_EQ(s.versionFinderPath, "/versionfinder/WPX1-Firmware.txt");
    EXPECT_EQ(s.errorsFileName, folder + "/ORBIS 62 Sensor Firmware Updater.errors.txt");
    EXPECT_EQ(s.targetVersion, 406);
    EXPECT_EQ(s.eraseProgressStep, 1);
    EXPECT_FLOAT_EQ(s.writeProgressStep, 35328.0f / 63442.0f);
    EXPECT_TRUE(s.verboseLog);
    EXPECT_EQ(engine.Log()->Level(), 30u);

    EXPECT_EQ(ui.texts[WindowText::Caption], "ORBIS 62 Sensor Firmware Updater");
    EXPECT_EQ(ui.texts[WindowText::AppTitle], "ORBIS 62 Sensor Updater");
    EXPECT_EQ(ui.texts[WindowText::AboutCaption], "About ORBIS 62 Sensor Firmware Updater");
    EXPECT_EQ(ui.texts[WindowText::UserText1], "This utility updates ORBIS 62 Sensor firmware to");
    EXPECT_EQ(ui.texts[WindowText::UserText2], "ORBIS62 4.06");
    EXPECT_EQ(ui.texts[WindowText::CommLabel], "Connect to Sendra and Digital Sensor with Comm Port");
    EXPECT_EQ(ui.texts[WindowText::LblConnect], "Connect Sendra to computer comm port.");

    // The sensor build never warns about data at start-up and its image is sound.
    ASSERT_EQ(ui.timers.size(), 1u);
    EXPECT_EQ(ui.timers[0], app::Timer::WebCheck);
    EXPECT_EQ(engine.Host()->ConstructorError(), 0);
    EXPECT_FALSE(ui.enabled[Control::OpenFirmwareFile1]);
}

TEST_F(EngineFixture, SwitchesAreComparedExactly) {
    Start({"-Factory", "/rep", "-rep "});
    EXPECT_FALSE(engine.State().repMode);
    EXPECT_FALSE(engine.State().factoryMode);
    EXPECT_FALSE(ui.visible[Control::K7W1]);
}

TEST_F(EngineFixture, FactorySwitchShowsTheSensorMenuButThreeItems) {
    Start({"x", "-factory"});
    EXPECT_TRUE(engine.State().factoryMode);
    EXPECT_TRUE(engine.State().repMode);
    EXPECT_TRUE(ui.enabled[Control::OpenFirmwareFile1]);
    EXPECT_TRUE(ui.visible[Control::PromptforSerialNumber1]);
    EXPECT_TRUE(ui.visible[Control::DontEraseData1]);
    EXPECT_TRUE(ui.visible[Control::Set1]);
    int shown = 0;
    for (Control c : app::kSensorItems) shown += ui.visible[c] ? 1 : 0;
    EXPECT_EQ(shown, 14);
    EXPECT_FALSE(ui.visible[Control::WN71]);
    EXPECT_FALSE(ui.visible[Control::HM61]);
    EXPECT_FALSE(ui.visible[Control::ZEPHRA31]);
}

TEST_F(EngineFixture, RepSwitchEnablesFirmwareFilesOnly) {
    Start({"-rep"});
    EXPECT_TRUE(engine.State().repMode);
    EXPECT_FALSE(engine.State().factoryMode);
    EXPECT_TRUE(ui.enabled[Control::OpenFirmwareFile1]);
    EXPECT_FALSE(ui.visible[Control::K7W1]);
}

TEST_F(EngineFixture, SetSensorTypeTicksOneItemAndNamesTheDevice) {
    Start();
    struct Case {
        uint32_t code;
        bool item;
        Control ticked;
        const char* path;  // expected path afterwards
        const char* name;
    } cases[] = {
        {94, true, Control::PL81, "/versionfinder/PL8-Firmware.txt", "PL-8 Rain Gauge"},
        {122, true, Control::K7W1, "/versionfinder/K7W-Firmware.txt", "K7W Sensor"},
        {108, true, Control::WPX11, "/versionfinder/WPX1-Firmware.txt", "WPX-3 Sensor"},
        {105, true, Control::KLT1, "/versionfinder/KLT-Firmware.txt", "Unknown Sensor (type 105)"},
        {109, true, Control::FZ4R1, "/versionfinder/FZ4-Firmware.txt", "FZ-4R Sensor"},
        {103, true, Control::OB5x00Family1, "/versionfinder/ORBIS5X-Firmware.txt", "ORBIS 52 Sensor"},
        {123, false, Control::BtnStart, "/versionfinder/ZEPHRA6-Firmware.txt", "ZEPHRA 6 Sensor"},
        // No row: nothing ticked, the path stays.
        {125, false, Control::BtnStart, "/versionfinder/ZEPHRA6-Firmware.txt", "BR-MV Sensor"},
    };
    for (const Case& c : cases) {
        engine.SetSensorType(c.code);
        std::vector<Control> ticked = ui.Ticked();
        // ForceFindAllCommPorts1 is unticked, VerboseErrorFile1 ticked.
        std::erase(ticked, Control::VerboseErrorFile1);
        if (c.item) {
            ASSERT_EQ(ticked.size(), 1u) << c.code;
            EXPECT_EQ(ticked[0], c.ticked) << c.code;
        } else {
            EXPECT_TRUE(ticked.empty()) << c.code;
        }
        EXPECT_EQ(engine.State().targetSensorType, c.code);
        EXPECT_EQ(engine.State().versionFinderPath, c.path) << c.code;
        EXPECT_EQ(engine.State().deviceName, c.name);
        EXPECT_EQ(ui.texts[WindowText::UserText1], std::string("This utility updates ") + c.name + " firmware to");
    }
    // The caption keeps the name of start-up.
    EXPECT_EQ(engine.State().caption, "ORBIS 62 Sensor Firmware Updater");
}

TEST_F(EngineFixture, EverySensorItemSelectsItsOwnRow) {
    Start();
    for (Control item : app::kSensorItems) {
        ASSERT_TRUE(engine.SensorItemClick(item));
        std::vector<Control> ticked = ui.Ticked();
        std::erase(ticked, Control::VerboseErrorFile1);
        ASSERT_EQ(ticked.size(), 1u);
        EXPECT_EQ(ticked[0], item);
    }
    EXPECT_FALSE(engine.SensorItemClick(Control::BtnStart));
}

TEST_F(EngineFixture, FirmwareWindowRefusesOrAsks) {
    Start();
    DeviceInfo info = {};
    FillDeviceInfo(10, 405, &info);
    ASSERT_TRUE(info.versionWindow);
    EXPECT_FALSE(engine.CheckFirmwareWindow(info));
    ASSERT_EQ(ui.told.size(), 1u);
    EXPECT_EQ(ui.told[0].title, "Wrong Firmware Version");
    EXPECT_EQ(ui.told[0].message,
              "The ORBIS 62 Sensor Firmware Updater doesn't support this ORBIS 62 Sensor\nrunning version 4.05.\n\n"
              "This updater only works with firmware version 4.06 (or newer).");

    FillDeviceInfo(10, 406, &info);
    EXPECT_TRUE(engine.CheckFirmwareWindow(info));
    FillDeviceInfo(10, 999, &info);
    EXPECT_TRUE(engine.CheckFirmwareWindow(info));
    info.version = 1000;
    EXPECT_FALSE(engine.CheckFirmwareWindow(info));
    EXPECT_NE(ui.told.back().message.find("version 9.99 (or older)."), std::string::npos);
    EXPECT_TRUE(ui.asked.empty());

    // Rep mode asks instead; OK forces, Cancel stops.
    engine.State().repMode = true;
    ui.answers = {true, false};
    FillDeviceInfo(10, 300, &info);
    EXPECT_TRUE(engine.CheckFirmwareWindow(info));
    EXPECT_FALSE(engine.CheckFirmwareWindow(info));
    ASSERT_EQ(ui.asked.size(), 2u);
    EXPECT_EQ(ui.asked[0].title, "Wrong Firmware Version");
    EXPECT_NE(ui.asked[0].message.find("(or newer).\n\nClick OK to force the update anyway.\nClick CANCEL to quit the updater."),
              std::string::npos);
    // The sensor's own gate does not apply without the window.
    info.versionWindow = 0;
    EXPECT_TRUE(engine.CheckFirmwareWindow(info));
}

TEST_F(EngineFixture, TellUserLogsWhatTheUserWasTold) {
    Start();
    engine.TellUser("Line one\nline two", "Some Title", app::kMsgWarning);
    ASSERT_EQ(ui.told.size(), 1u);
    EXPECT_EQ(ui.told[0].kind, app::kMsgWarning);
    std::string log = ReadFile(engine.State().errorsFileName);
    EXPECT_NE(log.find("ErrorOK Told User:: Line one\nline two"), std::string::npos) << log;
}

TEST_F(EngineFixture, ProgressOfEraseAndWrite) {
    Start();
    // Erase of the sensor's flash: a step before every tenth segment and one at the end.
    for (int k = 0; k < 13; ++k) EXPECT_TRUE(engine.TransferProgress(125, k * 10, 1, 'X'));
    EXPECT_TRUE(engine.TransferProgress(125, 125, 2, 'X'));
    EXPECT_EQ(engine.ProgressBar(), 14);

    // The whole image text from 21 ends at 90.
    engine.State().progressPosition = 21.0f;
    const unsigned length = engine.Host()->Image().imageLength;
    for (unsigned p = 512; p <= length; p += 512) engine.TransferProgress(length, p, 1, 'W');
    engine.TransferProgress(length, length, 2, 'W');
    EXPECT_EQ(engine.ProgressBar(), 90);

    // Other letters change nothing; keepGoing is the answer.
    engine.TransferProgress(1, 1, 1, 'Q');
    EXPECT_EQ(engine.ProgressBar(), 90);
    engine.State().keepGoing = false;
    EXPECT_FALSE(engine.TransferProgress(1, 1, 1, 'W'));
}

TEST_F(EngineFixture, CalibrationNoticeOnlyForItsThreeTypes) {
    Start();
    for (unsigned type : {0u, 6u, 10u, 14u}) engine.ShowCalibrationNotice(type);
    EXPECT_TRUE(ui.told.empty());
    engine.ShowCalibrationNotice(7);
    engine.ShowCalibrationNotice(8);
    engine.ShowCalibrationNotice(9);
    ASSERT_EQ(ui.told.size(), 3u);
    EXPECT_EQ(ui.told[0].title, "Thermon H1 Calibration");
    EXPECT_EQ(ui.told[1].title, "Please Calibrate Your RX-20");
    EXPECT_EQ(ui.told[2].title, "Please Calibrate Your Stomex");
    for (const auto& t : ui.told) EXPECT_EQ(t.kind, app::kMsgWarning);
    EXPECT_EQ(ui.told[0].message,
              "The calibration of your Thermon H1 is outdated or missing.\n\n"
              "Please contact Quarnel or your authorized Quarnel representative\nto have your Thermon H1 calibrated.");
}

TEST_F(EngineFixture, EraseWarningThenVersionCheck) {
    Start();
    ui.timers.clear();
    engine.timerEraseWarnTimer();
    ASSERT_EQ(ui.told.size(), 1u);
    EXPECT_EQ(ui.told[0].title, "Data Erase Warning");
    EXPECT_EQ(ui.told[0].kind, app::kMsgWarning);
    EXPECT_EQ(ui.told[0].message,
              "WARNING: The ORBIS 62 Sensor Firmware Updater will erase all measurement data\n stored in your "
              "ORBIS 62 Sensor.\n\n Please download any data you want to save before continuing.");
    ASSERT_EQ(ui.timers.size(), 1u);
    EXPECT_EQ(ui.timers[0], app::Timer::WebCheck);
}

TEST_F(EngineFixture, PortNamesLongerThanTheRecordsHoldAreRefused) {
    Start();
    EXPECT_EQ(engine.SelectPortByName("/dev/pts/123"), 1);  // "pts/123" under /dev
    EXPECT_EQ(engine.State().selectedPortName, "pts/123");
    EXPECT_EQ(engine.State().selectedPortDescription, "/dev/pts/123");
    EXPECT_EQ(engine.SelectPortByName("ttyUSB012345"), 1);  // 12 characters
    EXPECT_TRUE(ui.told.empty());

    EXPECT_EQ(engine.SelectPortByName("/tmp/quarbsl-long-link"), -11);
    ASSERT_EQ(ui.told.size(), 1u);
    EXPECT_EQ(ui.told[0].title, "Connection Error");
    EXPECT_NE(ui.told[0].message.find("\"/tmp/quarbsl-long-link\" is too long"), std::string::npos);
    EXPECT_NE(ui.told[0].message.find("at most 12 characters"), std::string::npos);
    // The earlier choice stays.
    EXPECT_EQ(engine.State().selectedPortName, "ttyUSB012345");
    EXPECT_EQ(engine.SelectPortByName(""), -10);
}

TEST_F(EngineFixture, FirmwareFileOnlyInRepModeAndWithItsMessages) {
    Start();
    std::string bad = folder + "/Lumo 3.02.txt";
    std::ofstream(bad) << "not a firmware file\n";
    EXPECT_EQ(engine.OpenFirmwareFile(bad), -12);  // command disabled
    EXPECT_TRUE(ui.told.empty());

    engine.State().repMode = true;
    EXPECT_EQ(engine.OpenFirmwareFile(bad), -100);
    ASSERT_EQ(ui.told.size(), 1u);
    EXPECT_EQ(ui.told[0].title, "File Error");
    EXPECT_EQ(ui.told[0].message,
              "The file \"Lumo 3.02.txt\" is not a valid firmware file.\nPlease choose a new firmware file to open.");
    EXPECT_EQ(engine.State().deviceName, "ORBIS 62 Sensor");
    EXPECT_EQ(engine.State().targetVersion, 406);

    EXPECT_EQ(engine.OpenFirmwareFile(folder + "/missing.txt"), -2);
    EXPECT_EQ(ui.told.back().message,
              "The ORBIS 62 Sensor Firmware Updater could not opening \"missing.txt\".\nPlease try again.\nError -2");

    std::string good = folder + "/LumoZ 3.02.txt";
    std::ofstream(good) << "@8000\n0F 12 0E 12\n@FFE0\n00 80 00 80\nq\n";
    EXPECT_EQ(engine.OpenFirmwareFile(good), 1);
    EXPECT_EQ(engine.State().deviceName, "LumoZ");
    EXPECT_EQ(engine.State().targetVersion, 302);
    EXPECT_EQ(engine.State().settingsFileName, folder + "/LumoZ.settings.txt");
    EXPECT_EQ(ui.texts[WindowText::UserText2], "LumoZ 3.02");
    EXPECT_EQ(ui.texts[WindowText::LblConnect], "Connect LumoZ to computer comm port.");
    EXPECT_TRUE(ui.enabled[Control::BtnStart]);
    EXPECT_FLOAT_EQ(engine.State().writeProgressStep, 35328.0f / 14.0f);
}
