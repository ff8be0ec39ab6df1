// One whole update clicked through the window against the simulated reader
// and sensor: the progress bar, the window during the run, the close guard,
// and the window afterwards.
#include "window_support.h"

#include <QTest>
#include <QTimer>

#include <algorithm>

#include "sim/pty_runner.h"
#include "sim/reader.h"
#include "sim/sdi_sensor.h"
#include "sim/flash.h"

using wintest::TempHome;
using wintest::Window;

namespace {

struct WindowUpdateTest : ::testing::Test {
    wintest::AppReady app;
    TempHome home;
};

// What the window looked like at one moment of the run.
struct Sample {
    bool running, start, close, ports, updateItem, statusShown;
};

TEST_F(WindowUpdateTest, StartUpdatesTheSensorWhileTheWindowStaysAlive) {
    auto head = std::make_unique<qsim::Reader>(qsim::ReaderConfig{});
    auto* sensor = static_cast<qsim::SdiSensor*>(head->Attach(std::make_unique<qsim::SdiSensor>(qsim::SensorConfig{})));
    qsim::PtyRunner runner(std::move(head));
    std::string error;
    ASSERT_TRUE(runner.Start(&error)) << error;
    ::setenv("QUARBSL_EXTRA_PORTS", runner.PortName().c_str(), 1);

    Window win;
    TfrmMain& w = win.w;
    const std::string name = runner.PortName().substr(5);  // "pts/N"
    const int at = win.PortItems().indexOf(QString::fromStdString(name + " Virtual Serial Port"));
    ASSERT_GE(at, 0) << win.PortItems().join(", ").toStdString();
    w.cbCommPort->setCurrentIndex(at);
    emit w.cbCommPort->activated(at);
    ASSERT_EQ(w.State().selectedPortName, name);

    // The bar's values in order, the window at two moments of the run, the
    // close box tried once half way, and a timer that only runs when events
    // are processed during the update.
    std::vector<int> bar;
    std::vector<Sample> samples;
    bool triedClose = false;
    QObject::connect(w.statusBar, &QProgressBar::valueChanged, [&](int v) {
        bar.push_back(v);
        if (v == 2 || (v >= 50 && samples.size() == 1)) {
            samples.push_back({w.State().updateRunning, w.btnStart->isEnabled(), w.btnClose->isEnabled(),
                               w.cbCommPort->isEnabled(), w.UpdateFirmware1->isEnabled(),
                               w.statusText->isVisible()});
        }
        if (v >= 50 && !triedClose) {
            triedClose = true;
            w.close();
        }
    });
    int ticks = 0;
    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout, [&] { ++ticks; });
    heartbeat.start(50);

    QTest::mouseClick(w.btnStart, Qt::LeftButton);
    EXPECT_FALSE(w.btnStart->isEnabled());
    EXPECT_FALSE(w.btnClose->isEnabled());
    EXPECT_FALSE(w.UpdateFirmware1->isEnabled());
    EXPECT_TRUE(w.timerStart->isActive());
    const int ticksBefore = ticks;
    ASSERT_TRUE(wintest::WaitFor([&] { return w.Engine().LastResult() != 0 && !w.State().updateRunning; }, 240000));
    heartbeat.stop();

    ASSERT_EQ(w.Engine().LastResult(), 1) << (win.desk.shown.empty() ? "" : win.desk.shown[0].text.toStdString());

    // The close box during the run was refused with the warning.
    ASSERT_EQ(win.desk.shown.size(), 1u);
    EXPECT_EQ(win.desk.shown[0].title, "Don't Quit Now!");
    EXPECT_EQ(win.desk.shown[0].icon, QMessageBox::Warning);
    EXPECT_EQ(win.desk.shown[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    EXPECT_TRUE(win.desk.shown[0].text.startsWith(
        "The ORBIS 62 Sensor Firmware Updater is updating your ORBIS 62 Sensor!\nThis process should NOT be "
        "interrupted.\n\n"));
    EXPECT_TRUE(win.desk.shown[0].text.endsWith("Click OK to continue updating your ORBIS 62 Sensor.\n"));
    EXPECT_TRUE(w.isVisible());

    ASSERT_EQ(samples.size(), 2u);
    for (const Sample& s : samples) {
        EXPECT_TRUE(s.running);
        EXPECT_FALSE(s.start);
        EXPECT_FALSE(s.close);
        EXPECT_FALSE(s.ports);
        EXPECT_FALSE(s.updateItem);
        EXPECT_TRUE(s.statusShown);
    }
    EXPECT_GT(ticks - ticksBefore, 10) << "no events were processed during the update";

    // 2, 4, 6, 8, the erase steps, 21, the write up to about 90, 92 to 100.
    ASSERT_GE(bar.size(), 12u);
    EXPECT_EQ(std::vector<int>(bar.begin(), bar.begin() + 4), (std::vector<int>{2, 4, 6, 8}));
    EXPECT_EQ(std::vector<int>(bar.end() - 5, bar.end()), (std::vector<int>{92, 94, 96, 98, 100}));
    EXPECT_TRUE(std::is_sorted(bar.begin(), bar.end()));
    EXPECT_NE(std::find(bar.begin(), bar.end(), 21), bar.end());
    EXPECT_GE(*(bar.end() - 6), 89);
    EXPECT_LE(*(bar.end() - 6), 91);

    // The sensor holds the image.
    qsim::TiImage image;
    ASSERT_TRUE(qsim::LoadTiTextFile(QUARBSL_TEST_FIRMWARE, image, &error)) << error;
    std::string report;
    EXPECT_EQ(runner.WithDevices([&](qsim::Device&) { return sensor->GetFlash().Compare(image, &report); }), 0u)
        << report;

    // The window afterwards.
    EXPECT_EQ(w.statusText->text().toStdString(),
              "Successfully updated firmware in " + std::to_string(w.Engine().LastSeconds()) + " seconds.");
    EXPECT_TRUE(w.statusText->isVisible());
    EXPECT_EQ(w.statusBar->value(), 100);
    EXPECT_EQ(w.lblConnect->text(), "You may disconnect your ORBIS 62 Sensor now.");
    EXPECT_TRUE(w.btnStart->isEnabled());
    EXPECT_TRUE(w.btnClose->isEnabled());
    EXPECT_TRUE(w.btnClose->isDefault());
    EXPECT_FALSE(w.btnStart->isDefault());
    EXPECT_TRUE(w.cbCommPort->isEnabled());
    EXPECT_TRUE(w.UpdateFirmware1->isEnabled());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);

    // Now the close box closes the window and the port is remembered.
    w.close();
    EXPECT_FALSE(w.isVisible());
    QSettings saved(home.SettingsFile(), QSettings::IniFormat);
    EXPECT_EQ(saved.value("CommPort").toString().toStdString(), name);
    runner.Stop();
}

}  // namespace
