// Whole updates through the engine against the simulated reader and sensor
// on a pseudo-terminal: the main path, every way a run can fail, and the
// recovery of a sensor left in its loader.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/engine.h"
#include "bsl/quarbslhost.h"
#include "facade/quar_protocol.h"
#include "recording_frontend.h"
#include "sim/pty_runner.h"
#include "sim/reader.h"
#include "sim/sdi_sensor.h"

using app::Engine;

namespace {

const char kFirmware[] = QUARBSL_TEST_FIRMWARE;

bool FileExists(const std::string& p) { return ::access(p.c_str(), F_OK) == 0; }

// The reader with a sensor behind it on a pseudo-terminal.
struct Bench {
    qsim::ReaderConfig reader;
    qsim::SensorConfig sensor;
    qsim::LineOptions line;
    std::vector<std::string> silences;
    std::unique_ptr<qsim::PtyRunner> runner;
    qsim::SdiSensor* sdi = nullptr;

    void Start() {
        auto head = std::make_unique<qsim::Reader>(reader);
        sdi = static_cast<qsim::SdiSensor*>(head->Attach(std::make_unique<qsim::SdiSensor>(sensor)));
        runner = std::make_unique<qsim::PtyRunner>(std::move(head), line);
        for (const std::string& s : silences) ASSERT_TRUE(runner->Context().faults.AddSilence(s)) << s;
        std::string error;
        ASSERT_TRUE(runner->Start(&error)) << error;
    }
    // Bytes of the flash that differ from the carried image.
    size_t FlashDifferences(std::string* report) {
        qsim::TiImage image;
        std::string error;
        if (!qsim::LoadTiTextFile(kFirmware, image, &error)) {
            *report = error;
            return 1;
        }
        return runner->WithDevices([&](qsim::Device&) { return sdi->GetFlash().Compare(image, report); });
    }
    qsim::SensorConfig LiveSensor() {
        return runner->WithDevices([&](qsim::Device&) { return sdi->Config(); });
    }
    // The control characters the reader received, in order.
    std::string Controls() const {
        std::string out;
        for (char c : runner->Received())
            if (c == ']' || c == '[' || c == '`') out += c;
        return out;
    }
};

struct UpdateFixture : ::testing::Test {
    std::string folder;
    Bench bench;
    apptest::RecordingFrontEnd ui;
    std::unique_ptr<Engine> engine;

    void SetUp() override {
        char tmpl[] = "/tmp/quarbsl-update-XXXXXX";
        folder = ::mkdtemp(tmpl);
    }
    void TearDown() override {
        engine.reset();
        if (bench.runner) bench.runner->Stop();
        std::system(("rm -rf '" + folder + "'").c_str());
    }
    std::string SettingsFile() const { return folder + "/ORBIS 62 Sensor.settings.txt"; }

    void OpenEngine(std::vector<std::string> switches = {}) {
        engine = std::make_unique<Engine>(ui);
        app::StartupOptions o;
        o.arguments = std::move(switches);
        o.workFolder = folder;
        engine->FormShow(o);
        ASSERT_EQ(engine->SelectPortByName(bench.runner->PortName()), 1);
    }
    // Presses Start and lets the start timer fire.
    int Update() {
        ui.timers.clear();
        engine->btnStartClick();
        EXPECT_EQ(ui.timers.size(), 1u);
        EXPECT_FALSE(ui.enabled[app::Control::BtnStart]);
        engine->timerStartTimer();
        return engine->LastResult();
    }
    int Positions(const std::string& text, const std::string& needle) const {
        return static_cast<int>(text.find(needle));
    }
    // The idle window after every run, and the port given back.
    void ExpectIdleAndPortReleased() {
        EXPECT_FALSE(engine->State().updateRunning);
        EXPECT_TRUE(ui.enabled[app::Control::BtnStart]);
        EXPECT_TRUE(ui.enabled[app::Control::BtnClose]);
        EXPECT_TRUE(ui.enabled[app::Control::CbCommPort]);
        EXPECT_TRUE(ui.enabled[app::Control::UpdateFirmware1]);
        EXPECT_EQ(ui.defaultButton, static_cast<int>(app::Control::BtnClose));
        EXPECT_FALSE(ui.busy);
        EXPECT_FALSE(engine->Host()->IsBorrowed());
        EXPECT_FALSE(engine->Host()->Attached());
        EXPECT_FALSE(engine->Protocol()->protocol->IsOpen());
        EXPECT_TRUE(qsim::PtyRunner::WaitFor([&] { return !bench.runner->HostHoldsPort(); }, 5000));
    }
};

}  // namespace

TEST_F(UpdateFixture, MainPathLoadsTheImageAndPutsTheSettingsBack) {
    bench.Start();
    const qsim::SensorConfig before = bench.LiveSensor();
    OpenEngine();
    ASSERT_EQ(Update(), 1);

    std::string report;
    EXPECT_EQ(bench.FlashDifferences(&report), 0u) << report;
    const qsim::SensorConfig after = bench.LiveSensor();
    EXPECT_EQ(after.address, before.address);
    EXPECT_EQ(after.serial, before.serial);
    EXPECT_EQ(after.calX4, before.calX4);
    EXPECT_EQ(after.calXa, before.calXa);
    const std::string wire = bench.runner->Received();
    EXPECT_NE(wire.find("?X9 k!"), std::string::npos);  // type 107 in character form
    EXPECT_FALSE(FileExists(SettingsFile()));

    const std::vector<std::string> statuses = {
        "Connecting to ORBIS 62 Sensor...",
        "Checking Sendra battery power...",
        "Saving settings for this digital sensor...",
        "Starting the firmware loader...",
        "Erasing firmware memory...",
        "Uploading new firmware code...",
        "Restarting the ORBIS 62 Sensor, please wait...",
        "Checking new firmware...",
        "Restoring settings...",
        "Successfully updated firmware in " + std::to_string(engine->LastSeconds()) + " seconds.",
    };
    EXPECT_EQ(ui.statuses, statuses);

    // 0, 2, 4, 6, 8, the erase steps, 21, the write up to about 90, 92 to 100.
    const std::vector<int>& bar = ui.progress;
    ASSERT_GE(bar.size(), 12u);
    EXPECT_EQ(std::vector<int>(bar.begin(), bar.begin() + 5), (std::vector<int>{0, 2, 4, 6, 8}));
    EXPECT_EQ(std::vector<int>(bar.end() - 5, bar.end()), (std::vector<int>{92, 94, 96, 98, 100}));
    EXPECT_TRUE(std::is_sorted(bar.begin(), bar.end()));
    auto write = std::find(bar.begin(), bar.end(), 21);
    ASSERT_NE(write, bar.end());
    EXPECT_GE(*(bar.end() - 6), 89);
    EXPECT_LE(*(bar.end() - 6), 91);
    EXPECT_EQ(*(write - 1), 8 + 7 + 1);  // a step before every tenth of 61 segments, one at the end

    // ']' before the loader probe, '[' before the settings, ']' into the
    // started loader, '[' after it, the grave accent at the end.
    EXPECT_EQ(bench.Controls(), "][][`");
    const int probe = Positions(wire, "]");
    const int save = Positions(wire, "[");
    const int identify = Positions(wire, "?I!");
    const int vectors = static_cast<int>(wire.rfind("V"));
    const int back = static_cast<int>(wire.rfind('['));
    const int post = Positions(wire, "?post!");
    const int grave = Positions(wire, "`");
    const int setType = Positions(wire, "?X9 k!");
    EXPECT_LT(probe, save);
    EXPECT_LT(save, identify);
    EXPECT_LT(vectors, back);
    EXPECT_LT(back, post);
    EXPECT_LT(setType, grave);

    EXPECT_TRUE(ui.told.empty());
    EXPECT_EQ(ui.texts[app::WindowText::LblConnect], "You may disconnect your ORBIS 62 Sensor now.");
    ExpectIdleAndPortReleased();
}

// Every way a run stops: the message, its title, the result, and the
// cleanup (grave accent, port handed back, reader left, settings file kept).
struct FailureRow {
    const char* name;
    std::function<void(Bench&)> setUp;
    std::vector<std::string> switches;
    std::vector<bool> answers;
    int result;
    const char* title;    // null: no message
    const char* message;  // a part of it
    bool settingsFile;    // the settings file exists afterwards
};

void PrintTo(const FailureRow& row, std::ostream* os) { *os << row.name; }

class FailureTable : public UpdateFixture, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(FailureTable, StopsWithItsMessageAndCleansUp) {
    const FailureRow& row = GetParam();
    row.setUp(bench);
    bench.Start();
    OpenEngine(row.switches);
    ui.answers.assign(row.answers.begin(), row.answers.end());
    const qsim::SensorConfig before = bench.LiveSensor();

    EXPECT_EQ(Update(), row.result);
    if (row.title) {
        ASSERT_EQ(ui.told.size(), 1u) << (ui.told.empty() ? "" : ui.told[0].title);
        EXPECT_EQ(ui.told[0].title, row.title);
        EXPECT_EQ(ui.told[0].kind, app::kMsgError);
        EXPECT_NE(ui.told[0].message.find(row.message), std::string::npos) << ui.told[0].message;
    } else {
        EXPECT_TRUE(ui.told.empty());
        ASSERT_FALSE(ui.asked.empty());
        EXPECT_FALSE(ui.asked.back().answer);
        EXPECT_NE(ui.asked.back().message.find(row.message), std::string::npos) << ui.asked.back().message;
    }
    EXPECT_EQ(FileExists(SettingsFile()), row.settingsFile);

    // The driver's cleanup.
    if (row.result != -20) {
        const std::string controls = bench.Controls();
        ASSERT_FALSE(controls.empty());
        EXPECT_EQ(controls.back(), '`');
    }
    EXPECT_EQ(ui.texts[app::WindowText::LblConnect], "Connect ORBIS 62 Sensor to computer comm port.");
    auto hidden = std::find(ui.calls.begin(), ui.calls.end(), "status hidden");
    ASSERT_NE(hidden, ui.calls.end());
    ASSERT_NE(hidden + 1, ui.calls.end());
    EXPECT_EQ(*(hidden + 1), "bar 0");
    ExpectIdleAndPortReleased();
    // Whatever happened, the sensor's settings are still in it or on disk.
    if (!row.settingsFile) {
        EXPECT_EQ(bench.LiveSensor().serial, before.serial);
    }
}

static void Silent(Bench& b, const char* rule) { b.silences.push_back(rule); }

INSTANTIATE_TEST_SUITE_P(
    Rows, FailureTable,
    ::testing::Values(
        FailureRow{"NothingAnswers", [](Bench& b) { Silent(b, "cmd"); }, {}, {}, -20, "Connection Error",
                   "is unable to connect to your communication device\n on Comm Port \"/dev/pts/", false},
        FailureRow{"WrongDevice", [](Bench& b) { b.reader.kindWord = "LUMOZ"; b.reader.version = "3.02"; }, {}, {},
                   -121, "Wrong Device",
                   "expected to find a Sendra (or KALEN Comm Device);\nhowever, it found a LumoZ.\n\n"
                   "This updater can not work with a LumoZ.",
                   false},
        FailureRow{"OldReader", [](Bench& b) { b.reader.version = "1.22"; }, {}, {}, -120, "Wrong Device Version",
                   "Your Sendra version 1.22 with hardware revision 'B' doesn't\nsupport bootstrapping digital "
                   "sensors.\n\nPlease use a supported Sendra (or KALEN Comm Device)",
                   false},
        FailureRow{"ReaderRevisionA", [](Bench& b) { b.reader.hardwareRevision = "A"; }, {}, {}, -120,
                   "Wrong Device Version", "version 1.25 with hardware revision 'A' doesn't", false},
        FailureRow{"ReaderWithoutRevision", [](Bench& b) { Silent(b, "cmd.hver"); }, {}, {}, -120,
                   "Wrong Device Version", "with hardware revision '' doesn't", false},
        FailureRow{"LowBattery", [](Bench& b) { b.reader.battery = 9; }, {}, {}, -130, "Batteries Too Low",
                   "The battery power in the Sendra is too low!\n\nPlease replace the batteries before running "
                   "this updater.",
                   false},
        FailureRow{"SettingsNotRead", [](Bench& b) { Silent(b, "sdi.I"); }, {}, {}, -22, "Settings Error",
                   "This ORBIS 62 Sensor Firmware Updater could not retrieve the settings from your ORBIS 62 "
                   "Sensor.\nPlease try again or contact Quarnel for help.",
                   false},
        FailureRow{"OldSensorFirmware", [](Bench& b) { b.sensor.version = 405; }, {}, {}, -120,
                   "Wrong Firmware Version", "running version 4.05.\n\nThis updater only works with firmware "
                   "version 4.06 (or newer).",
                   true},
        FailureRow{"SettingsNotReadCancelled", [](Bench& b) { Silent(b, "sdi.I"); }, {"-rep"}, {false}, -40,
                   nullptr, "\nClick CANCEL to try retrieving the settings again.", false},
        FailureRow{"NewerFirmwareCancelled", [](Bench& b) { b.sensor.version = 407; }, {}, {false}, -40, nullptr,
                   "The firmware in your ORBIS 62 Sensor\nis newer than the version in this updater.", true},
        FailureRow{"WrongSensorTypeCancelled", [](Bench& b) { b.sensor.type = 122; }, {}, {false}, -40, nullptr,
                   "The attached sensor is claiming to be a \"K7W Sensor\"\n\nThis firmware updater is for a "
                   "\"ORBIS 62 Sensor\".",
                   true},
        FailureRow{"NoLoader", [](Bench& b) { b.sensor.hasLoader = false; }, {}, {}, -82, "Firmware Loader Error",
                   "This digital sensor does not have a working firmware loader..\n\nPlease contact Quarnel for "
                   "help.",
                   true},
        FailureRow{"LoaderNotStarted", [](Bench& b) { Silent(b, "sdi.B"); }, {}, {}, -110,
                   "Firmware Loader Error", "is unable to connect to the firmware loader in your ORBIS 62 Sensor.",
                   true},
        FailureRow{"LoaderDoesNotConnect", [](Bench& b) { Silent(b, "loader.P"); }, {}, {}, -110,
                   "Firmware Loader Error", "is unable to connect to the firmware loader in your ORBIS 62 Sensor.",
                   true},
        FailureRow{"InfoEraseFails", [](Bench& b) { Silent(b, "bsl.X"); }, {}, {}, -21,
                   "INFO Memory Erase Error", "encountered an error working with your ORBIS 62 Sensor.\n\n"
                   "Please try again.\n\n[Error -21]",
                   true},
        FailureRow{"FlashEraseFails", [](Bench& b) { Silent(b, "bsl.X:4"); }, {}, {}, -21, "Firmware Erase Error",
                   "[Error -21]", true},
        FailureRow{"WriteFails", [](Bench& b) { Silent(b, "bsl.W:5"); }, {}, {}, -21, "Firmware Upload Error",
                   "[Error -21]", true},
        FailureRow{"CorruptFirmware", [](Bench& b) { b.sensor.corruptPost = true; }, {}, {}, -66, "Firmware Error",
                   "The new firmware for your ORBIS 62 Sensor is corrupt!\n\nPlease try again or contact Quarnel.",
                   true},
        FailureRow{"CheckUnanswered", [](Bench& b) { Silent(b, "sdi.post"); }, {}, {}, -22, "Firmware Error",
                   "was unable to verify the new firmware in your ORBIS 62 Sensor.\n\nPlease try again or contact "
                   "Quarnel.\n\n[Error -22]",
                   true}),
    [](const ::testing::TestParamInfo<FailureRow>& info) { return std::string(info.param.name); });

TEST_F(UpdateFixture, PortHeldByAnotherProgramIsNamedInTheMessage) {
    bench.Start();
    OpenEngine();
    int fd = ::open(bench.runner->PortName().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(Update(), -20);
    ::close(fd);
    ASSERT_EQ(ui.told.size(), 1u);
    EXPECT_EQ(ui.told[0].title, "Connection Error");
    EXPECT_EQ(ui.told[0].message, "Comm Port \"" + bench.runner->PortName() +
                                      "\" is already in use by another application.\n"
                                      "Please choose a new Comm Port to use or quit the application using this port.");
    EXPECT_EQ(ui.texts[app::WindowText::LblConnect], "Connect ORBIS 62 Sensor to computer comm port.");
}

TEST_F(UpdateFixture, PortTheUserMayNotOpenGetsThePermissionMessage) {
    bench.Start();
    const std::string port = bench.runner->PortName();
    // Root opens everything, so the run goes to a user who may not: as root
    // a child process drops to "nobody"; otherwise the port loses its modes.
    const bool root = ::geteuid() == 0;
    const passwd* nobody = root ? ::getpwnam("nobody") : nullptr;
    if (root && !nobody) GTEST_SKIP() << "no user 'nobody' to run as";
    if (root) {
        ::chmod(folder.c_str(), 0777);
        ::chmod(port.c_str(), 0600);
    } else {
        ASSERT_EQ(::chmod(port.c_str(), 0), 0);
    }
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    pid_t child = root ? ::fork() : 0;
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (root && (::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0)) ::_exit(3);
        OpenEngine();
        int r = Update();
        std::string got = ui.told.empty() ? "" : ui.told[0].title + "|" + ui.told[0].message;
        std::string line = std::to_string(r) + "|" + got;
        (void)!::write(pipeFds[1], line.data(), line.size());
        if (root) ::_exit(0);
    }
    ::close(pipeFds[1]);
    std::string line;
    char buf[512];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buf, sizeof buf)) > 0) line.append(buf, static_cast<size_t>(n));
    ::close(pipeFds[0]);
    if (root) {
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    EXPECT_EQ(line, "-20|Connection Error|You don't have permission to use Comm Port \"" + port +
                        "\".\nAsk your administrator to add your user to the 'dialout' group, then log in again.");
}

TEST_F(UpdateFixture, RestoreThatFailsKeepsTheSettingsFile) {
    Silent(bench, "sdi.X5");
    bench.Start();
    OpenEngine();
    EXPECT_EQ(Update(), 1);
    ASSERT_EQ(ui.told.size(), 1u);
    EXPECT_EQ(ui.told[0].title, "Settings Error");
    EXPECT_NE(ui.told[0].message.find("failed to restore the calibration and address\nfor your ORBIS 62 Sensor."),
              std::string::npos);
    EXPECT_TRUE(FileExists(SettingsFile()));
    std::string report;
    EXPECT_EQ(bench.FlashDifferences(&report), 0u) << report;
    EXPECT_EQ(ui.statuses.back().rfind("Successfully updated firmware in ", 0), 0u);
}

TEST_F(UpdateFixture, FactoryFamilySelectionReportsTheTypeItCannotSet) {
    bench.Start();
    OpenEngine({"-factory"});
    ASSERT_TRUE(engine->SensorItemClick(app::Control::WPX11));  // 261
    EXPECT_EQ(Update(), 1);
    EXPECT_TRUE(ui.asked.empty());  // 107 belongs to the family
    ASSERT_EQ(ui.told.size(), 1u);
    EXPECT_EQ(ui.told[0].title, "Settings Error");
    EXPECT_NE(ui.told[0].message.find("failed to set the sensor type for your WPX-1 WPX-3 ORBIS 62.\n\n"
                                      "The sensor type will be auto-determined by the firmware."),
              std::string::npos)
        << ui.told[0].message;
    EXPECT_FALSE(FileExists(folder + "/WPX-1 WPX-3 ORBIS 62.settings.txt"));
}

TEST_F(UpdateFixture, QuestionsAnsweredOkLetTheUpdateGoOn) {
    bench.sensor.version = 405;  // below the window: asked in rep mode
    bench.sensor.type = 122;     // not the target type
    bench.Start();
    OpenEngine({"-rep"});
    ui.answers = {true, true};
    EXPECT_EQ(Update(), 1);
    ASSERT_EQ(ui.asked.size(), 2u);
    EXPECT_EQ(ui.asked[0].title, "Wrong Firmware Version");
    EXPECT_EQ(ui.asked[1].title, "Wrong Sensor Type");
    std::string report;
    EXPECT_EQ(bench.FlashDifferences(&report), 0u) << report;
}

TEST_F(UpdateFixture, LoaderFoundWaitingIsSentAwayAndTheUpdateRuns) {
    bench.sensor.start = qsim::SensorConfig::Start::LoaderWaiting;
    bench.Start();
    const qsim::SensorConfig before = bench.LiveSensor();
    OpenEngine();
    EXPECT_EQ(Update(), 1);
    EXPECT_TRUE(ui.told.empty()) << ui.told[0].title << ": " << ui.told[0].message;
    EXPECT_EQ(bench.Controls(), "]`[][`");
    std::string report;
    EXPECT_EQ(bench.FlashDifferences(&report), 0u) << report;
    EXPECT_EQ(bench.LiveSensor().serial, before.serial);
}

TEST_F(UpdateFixture, LoaderFoundConnectedSkipsToTheLoad) {
    bench.sensor.start = qsim::SensorConfig::Start::LoaderConnected;
    bench.Start();
    OpenEngine();
    EXPECT_EQ(Update(), 1);
    // Nothing was captured and no file exists: the restore fails, the load counts.
    EXPECT_EQ(std::count(ui.statuses.begin(), ui.statuses.end(), "Saving settings for this digital sensor..."), 0);
    EXPECT_EQ(std::count(ui.statuses.begin(), ui.statuses.end(), "Restoring settings..."), 1);
    ASSERT_EQ(ui.told.size(), 1u);
    EXPECT_EQ(ui.told[0].title, "Settings Error");
    EXPECT_EQ(bench.runner->Received().find("?I!"), std::string::npos);
    std::string report;
    EXPECT_EQ(bench.FlashDifferences(&report), 0u) << report;
}

TEST_F(UpdateFixture, CablePulledDuringTheWriteThenARunRestoresFromTheFile) {
    bench.Start();
    const qsim::SensorConfig before = bench.LiveSensor();
    OpenEngine();
    // Pull the cable once a third of the image has gone out.
    std::thread puller([&] {
        qsim::PtyRunner::WaitFor([&] { return engine->ProgressBar() >= 45; }, 120000);
        bench.runner->PullCable();
    });
    const int first = Update();
    puller.join();
    EXPECT_LT(first, 0);
    ASSERT_FALSE(ui.told.empty());
    EXPECT_EQ(ui.told[0].title, "Firmware Upload Error");
    ASSERT_TRUE(FileExists(SettingsFile()));
    std::ifstream saved(SettingsFile());
    std::string savedText((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>());
    EXPECT_NE(savedText.find(before.serial), std::string::npos) << savedText;
    // The sensor was left in its loader with its information memory erased.
    EXPECT_TRUE(bench.runner->WithDevices([&](qsim::Device&) {
        return bench.sdi->GetLoader().GetState() == qsim::Loader::State::Connected &&
               bench.sdi->GetFlash().At(0x1000) == 0xFF;
    }));

    bench.runner->PlugIn();
    ui.told.clear();
    ui.statuses.clear();
    EXPECT_EQ(Update(), 1);
    EXPECT_TRUE(ui.told.empty()) << ui.told[0].title << ": " << ui.told[0].message;
    EXPECT_EQ(std::count(ui.statuses.begin(), ui.statuses.end(), "Saving settings for this digital sensor..."), 0);
    std::string report;
    EXPECT_EQ(bench.FlashDifferences(&report), 0u) << report;
    const qsim::SensorConfig after = bench.LiveSensor();
    EXPECT_EQ(after.serial, before.serial);
    EXPECT_EQ(after.calX4, before.calX4);
    EXPECT_EQ(after.calXa, before.calXa);
    EXPECT_EQ(after.address, before.address);
    EXPECT_FALSE(FileExists(SettingsFile()));
}
