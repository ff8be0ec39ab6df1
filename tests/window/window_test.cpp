// The main window on the offscreen platform: start-up switches, stored
// settings, the port list, the menu, firmware files, the options, help and
// about, and the real message box.
#include "window_support.h"

#include <QKeySequence>
#include <QMenuBar>
#include <QProcess>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>

using wintest::FakePort;
using wintest::TempHome;
using wintest::Window;

namespace {

struct WindowTest : ::testing::Test {
    wintest::AppReady app;
    TempHome home;
};

// Start-up modes: what each set of arguments enables and shows.
struct ModeRow {
    QStringList args;
    bool rep;
    bool factory;
};

TEST_F(WindowTest, SwitchesSetTheModesAndWhatTheMenuOffers) {
    const std::vector<ModeRow> rows = {
        {{}, false, false},
        {{"-rep"}, true, false},
        {{"-factory"}, true, true},
        {{"-factory", "-rep", "-factory"}, true, true},
        {{"-Rep", "/rep", "-FACTORY", "/factory", "--rep", "-rep2", "factory"}, false, false},
    };
    const char* const factoryOnly[] = {"PromptforSerialNumber1", "DontEraseData1", "N3", "Set1", "K7W1", "K7V1",
                                       "N4Q1", "N4R1", "DG9D1", "WPX11", "KLT1", "FZ41", "FZ4R1", "HM51", "NRX1",
                                       "PL81", "OB5x00Family1", "ZP90001"};
    for (const ModeRow& row : rows) {
        SCOPED_TRACE(row.args.join(' ').toStdString());
        Window win(row.args);
        EXPECT_EQ(win.w.State().repMode, row.rep);
        EXPECT_EQ(win.w.State().factoryMode, row.factory);
        EXPECT_EQ(win.Item("OpenFirmwareFile1")->isEnabled(), row.rep);
        for (const char* name : factoryOnly)
            EXPECT_EQ(win.Item(name)->isVisible(), row.factory) << name;
        for (const char* name : {"WN71", "HM61", "ZEPHRA31", "DumpFirmwareImage1"})
            EXPECT_FALSE(win.Item(name)->isVisible()) << name;
        EXPECT_FALSE(win.Item("Set1")->isEnabled());
        EXPECT_TRUE(win.Item("WPX11")->isChecked());
        // This build's image needs no erase warning: the version check comes first.
        EXPECT_TRUE(win.w.WebCheck()->Armed());
        EXPECT_FALSE(win.w.timerEraseWarn->isActive());
        EXPECT_FALSE(win.w.timerConstructorErrors->isActive());
        EXPECT_TRUE(win.desk.shown.empty());
    }
}

TEST_F(WindowTest, StartupTextsGeometryAndMenu) {
    Window win;
    TfrmMain& w = win.w;
    EXPECT_EQ(w.windowTitle(), "ORBIS 62 Sensor Firmware Updater");
    EXPECT_EQ(w.ApplicationTitle(), "ORBIS 62 Sensor Updater");
    EXPECT_EQ(w.userText1->text(), "This utility updates ORBIS 62 Sensor firmware to");
    EXPECT_EQ(w.userText2->text(), "ORBIS62 4.06");
    EXPECT_EQ(w.commLabel->text(), "Connect to Sendra and Digital Sensor with Comm Port");
    EXPECT_EQ(w.lblConnect->text(), "Connect Sendra to computer comm port.");
    EXPECT_EQ(w.cbCommPort->toolTip(), "Pick your comm port from this list.");
    EXPECT_FALSE(w.statusText->isVisible());
    EXPECT_FALSE(w.newSN->isVisible());
    EXPECT_FALSE(w.newSNstr->isVisible());
    EXPECT_EQ(w.newSNstr->maxLength(), 15);
    EXPECT_TRUE(w.btnStart->isDefault());
    EXPECT_FALSE(w.btnClose->isDefault());
    EXPECT_EQ(w.statusBar->minimum(), 0);
    EXPECT_EQ(w.statusBar->maximum(), 100);

    // Client area below the menu, and a window that cannot be resized.
    QWidget* client = win.Find<QWidget>("clientArea");
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->size(), QSize(346, 262));
    EXPECT_EQ(w.minimumSize(), w.maximumSize());
    EXPECT_EQ(w.height(), 262 + w.MainMenu1->sizeHint().height());
    EXPECT_EQ(w.Image1->size(), QSize(48, 48));
    EXPECT_FALSE(w.Image1->pixmap().isNull());

    // The working folder and the log named after the caption.
    const std::string errors = home.WorkFolder() + "/ORBIS 62 Sensor Firmware Updater.errors.txt";
    EXPECT_EQ(w.State().workFolder, home.WorkFolder());
    EXPECT_EQ(w.State().errorsFileName, errors);
    struct stat st;
    EXPECT_EQ(::stat(home.WorkFolder().c_str(), &st), 0);

    struct ItemRow {
        const char* name;
        const char* caption;
        QKeySequence shortcut;
        bool enabled;  // when visible; a hidden item is never enabled
        bool checked;
    };
    const ItemRow items[] = {
        {"OpenFirmwareFile1", "&Open Firmware File...", QKeySequence("Ctrl+O"), false, false},
        {"UpdateFirmware1", "&Update Firmware", QKeySequence("Ctrl+F"), true, false},
        {"DumpFirmwareImage1", "&Dump Firmware Image...", QKeySequence("Ctrl+Alt+D"), true, false},
        {"Exit1", "&Exit", QKeySequence("Ctrl+Q"), true, false},
        {"VerboseErrorFile1", "&Verbose Error File", QKeySequence(), false, true},
        {"ForceFindAllCommPorts1", "Force Find All &Comm Ports", QKeySequence(), true, false},
        {"DontEraseData1", "&Don't Erase Data", QKeySequence(), true, false},
        {"PromptforSerialNumber1", "&Replace Serial Number", QKeySequence(), true, false},
        {"Set1", "Set Digital Sensor to:", QKeySequence(), false, false},
        {"WPX11", "WPX-1 && WPX-3", QKeySequence(), true, true},
        {"OB5x00Family1", "ORBIS 5x Family", QKeySequence(), true, false},
        {"Help2", "&Help", QKeySequence("F1"), true, false},
        {"SendFeedbacktoQuarnel1", "Send Feedback to VORTA...", QKeySequence(), true, false},
        {"CheckforUpdates1", "Check for Newer Firmware Version", QKeySequence(), true, false},
        {"About1", "About ORBIS 62 Sensor Firmware Updater", QKeySequence(), true, false},
    };
    for (const ItemRow& row : items) {
        QAction* a = win.Item(row.name);
        ASSERT_NE(a, nullptr) << row.name;
        EXPECT_EQ(a->text(), row.caption) << row.name;
        EXPECT_EQ(a->shortcut(), row.shortcut) << row.name;
        EXPECT_EQ(a->isEnabled(), row.enabled && a->isVisible()) << row.name;
        EXPECT_EQ(a->isChecked(), row.checked) << row.name;
    }
    QStringList menus;
    for (QAction* m : w.MainMenu1->actions())
        menus << m->text();
    EXPECT_EQ(menus, QStringList({"&File", "&Settings", "&Help"}));
    for (const char* separator : {"N1", "N2", "N3"})
        EXPECT_TRUE(win.Item(separator)->isSeparator()) << separator;
}

// Stored settings: what start-up selects and what close writes, in the
// native settings file.
TEST_F(WindowTest, StoredPortAndOptionsRoundTrip) {
    FakePort a, b;
    ASSERT_FALSE(a.path.empty());
    ASSERT_FALSE(b.path.empty());
    wintest::ListPorts({&a, &b});

    struct Row {
        const char* what;
        bool store;
        QString storedPort;
        bool storedFindAll;
        std::string expectedName;  // empty: the first listed port
    };
    const std::vector<Row> rows = {
        {"first run", false, {}, false, {}},
        {"stored port present", true, QString::fromStdString(b.Name()), true, b.Name()},
        {"stored port gone", true, "ttyUSB77", false, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        QFile::remove(home.SettingsFile());
        if (row.store) {
            QSettings s(quarwin::kOrganization, quarwin::kApplication);
            s.setValue("CommPort", row.storedPort);
            s.setValue("FindAllComms", row.storedFindAll);
        }
        auto win = std::make_unique<Window>();
        const app::AppState& st = win->w.State();
        ASSERT_GE(st.portCount, 2);
        const std::string expected = row.expectedName.empty() ? st.portList[0].name : row.expectedName;
        EXPECT_EQ(st.selectedPortName, expected);
        EXPECT_EQ(win->w.cbCommPort->currentText().toStdString(), st.portList[st.selectedPortIndex].description);
        EXPECT_EQ(st.forceFindAll, row.storedFindAll);
        EXPECT_EQ(win->Item("ForceFindAllCommPorts1")->isChecked(), row.storedFindAll);
        EXPECT_TRUE(win->w.btnStart->isEnabled());

        win->w.close();
        EXPECT_FALSE(win->w.isVisible());
        QSettings saved(home.SettingsFile(), QSettings::IniFormat);
        EXPECT_EQ(saved.value("CommPort").toString().toStdString(), expected);
        EXPECT_EQ(saved.value("FindAllComms").toBool(), row.storedFindAll);
        EXPECT_TRUE(saved.contains("VerboseLog"));
        EXPECT_TRUE(saved.value("VerboseLog").toBool());
    }
}

// Opening the list rebuilds it; the selection follows only the user's pick.
TEST_F(WindowTest, PortListRebuildsWhenOpenedAndFollowsThePick) {
    FakePort a, b;
    wintest::ListPorts({&a});
    Window win;
    const std::string first = win.w.State().selectedPortName;
    const QString newItem = QString::fromStdString(b.Name() + " Virtual Serial Port");
    EXPECT_FALSE(win.PortItems().contains(newItem));

    wintest::ListPorts({&a, &b});
    win.w.cbCommPort->showPopup();
    const int at = win.PortItems().indexOf(newItem);
    ASSERT_GE(at, 0);
    win.w.cbCommPort->hidePopup();
    EXPECT_EQ(win.w.State().selectedPortName, first);

    win.w.cbCommPort->setCurrentIndex(at);
    emit win.w.cbCommPort->activated(at);
    EXPECT_EQ(win.w.State().selectedPortName, b.Name());
    EXPECT_EQ(win.w.State().selectedPortIndex, at);
}

// The empty list needs a machine without serial ports: the test runs itself
// again in a private mount namespace with the tty class hidden.
TEST_F(WindowTest, EmptyPortList) {
    if (qEnvironmentVariableIsSet("QUARBSL_WINDOW_NO_TTY")) {
        Window win({"-rep"});
        EXPECT_EQ(win.PortItems(), QStringList({"No Comm Ports Found"}));
        EXPECT_FALSE(win.w.btnStart->isEnabled());
        EXPECT_TRUE(win.w.State().selectedPortName.empty());
        emit win.w.cbCommPort->activated(0);
        EXPECT_FALSE(win.w.btnStart->isEnabled());
        win.w.cbCommPort->showPopup();
        EXPECT_EQ(win.PortItems(), QStringList({"No Comm Ports Found"}));
        EXPECT_EQ(win.w.cbCommPort->currentIndex(), -1);
        win.w.cbCommPort->hidePopup();

        // A loaded firmware file enables Start all the same.
        const std::string file = home.root + "/LumoZ 3.02.txt";
        ASSERT_TRUE(QFile::copy(QUARBSL_TEST_FIRMWARE, QString::fromStdString(file)));
        win.desk.paths.push_back(QString::fromStdString(file));
        win.Item("OpenFirmwareFile1")->trigger();
        EXPECT_TRUE(win.w.btnStart->isEnabled());
        return;
    }
    QProcess probe;
    probe.start("unshare", {"-m", "true"});
    if (!probe.waitForFinished(10000) || probe.exitStatus() != QProcess::NormalExit || probe.exitCode() != 0)
        GTEST_SKIP() << "no private mount namespace here (needs unshare -m)";
    QProcess inner;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QUARBSL_WINDOW_NO_TTY", "1");
    inner.setProcessEnvironment(env);
    inner.setProcessChannelMode(QProcess::MergedChannels);
    const QString self = QCoreApplication::applicationFilePath();
    inner.start("unshare", {"-m", "sh", "-c",
                            "mount --make-rprivate / && mount -t tmpfs none /sys/class/tty && exec \"$0\" "
                            "--gtest_filter=WindowTest.EmptyPortList",
                            self});
    ASSERT_TRUE(inner.waitForFinished(120000));
    const QString output = QString::fromLocal8Bit(inner.readAll());
    EXPECT_EQ(inner.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
}

TEST_F(WindowTest, FirmwareFilesValidInvalidAndCancelled) {
    Window win({"-rep"});
    TfrmMain& w = win.w;

    // Cancelled: nothing changes.
    win.Item("OpenFirmwareFile1")->trigger();
    ASSERT_EQ(win.desk.chosen.size(), 1u);
    EXPECT_EQ(win.desk.chosen[0].title, "Please select a firmware file");
    EXPECT_EQ(win.desk.chosen[0].filter, "Firmware File (*.txt);;Any File (*)");
    EXPECT_EQ(win.desk.chosen[0].defaultSuffix, "txt");
    EXPECT_FALSE(win.desk.chosen[0].save);
    EXPECT_EQ(w.userText2->text(), "ORBIS62 4.06");

    // Not TI-Text: the message names the file and the embedded image stays.
    const std::string bad = home.root + "/garbage.txt";
    {
        QFile f(QString::fromStdString(bad));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("this is no firmware\n");
    }
    win.desk.paths.push_back(QString::fromStdString(bad));
    win.Item("OpenFirmwareFile1")->trigger();
    ASSERT_EQ(win.desk.shown.size(), 1u);
    EXPECT_EQ(win.desk.shown[0].title, "File Error");
    EXPECT_EQ(win.desk.shown[0].text,
              "The file \"garbage.txt\" is not a valid firmware file.\nPlease choose a new firmware file to open.");
    EXPECT_EQ(win.desk.shown[0].icon, QMessageBox::Critical);
    EXPECT_EQ(win.desk.shown[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    EXPECT_EQ(w.userText2->text(), "ORBIS62 4.06");
    EXPECT_EQ(w.userText1->text(), "This utility updates ORBIS 62 Sensor firmware to");
    EXPECT_EQ(w.State().targetVersion, 406);

    // A valid file named after another device.
    const std::string good = home.root + "/LumoZ 3.02.txt";
    ASSERT_TRUE(QFile::copy(QUARBSL_TEST_FIRMWARE, QString::fromStdString(good)));
    win.desk.paths.push_back(QString::fromStdString(good));
    win.Item("OpenFirmwareFile1")->trigger();
    EXPECT_EQ(win.desk.shown.size(), 1u);
    EXPECT_EQ(w.userText2->text(), "LumoZ 3.02");
    EXPECT_EQ(w.userText1->text(), "This utility updates LumoZ firmware to");
    EXPECT_EQ(w.commLabel->text(), "Connect to LumoZ with Comm Port");
    EXPECT_EQ(w.lblConnect->text(), "Connect LumoZ to computer comm port.");
    EXPECT_EQ(w.State().deviceName, "LumoZ");
    EXPECT_EQ(w.State().targetVersion, 302);
    EXPECT_EQ(w.State().settingsFileName, home.WorkFolder() + "/LumoZ.settings.txt");
    EXPECT_TRUE(w.btnStart->isEnabled());
    EXPECT_TRUE(win.Item("UpdateFirmware1")->isEnabled());
    EXPECT_EQ(w.windowTitle(), "ORBIS 62 Sensor Firmware Updater");  // fixed at start-up
}

TEST_F(WindowTest, OpenNeedsRepModeAndDumpWorksFromItsKeyAlone) {
    Window win;
    win.w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&win.w));

    QTest::keyClick(&win.w, Qt::Key_O, Qt::ControlModifier);
    win.Item("OpenFirmwareFile1")->trigger();
    EXPECT_TRUE(win.desk.chosen.empty());

    // Ctrl+Alt+D with no visible item: cancelled first, then a path.
    QTest::keyClick(&win.w, Qt::Key_D, Qt::ControlModifier | Qt::AltModifier);
    ASSERT_EQ(win.desk.chosen.size(), 1u);
    EXPECT_EQ(win.desk.chosen[0].title, "Save Firmware Image");
    EXPECT_EQ(win.desk.chosen[0].defaultSuffix, "txt");
    EXPECT_TRUE(win.desk.chosen[0].save);
    const std::string dump = home.root + "/dump.txt";
    EXPECT_TRUE(wintest::ReadFile(dump).empty());

    win.desk.paths.push_back(QString::fromStdString(dump));
    QTest::keyClick(&win.w, Qt::Key_D, Qt::ControlModifier | Qt::AltModifier);
    ASSERT_EQ(win.desk.chosen.size(), 2u);
    const std::string text = wintest::ReadFile(dump);
    EXPECT_EQ(text.substr(0, 1), "@");
    EXPECT_NE(text.find("\n@FFE0\n"), std::string::npos);  // the interrupt vectors close the dump
    EXPECT_TRUE(win.desk.shown.empty());

    // F1 reaches Help through its shortcut.
    QTest::keyClick(&win.w, Qt::Key_F1);
    ASSERT_EQ(win.desk.shown.size(), 1u);
    EXPECT_EQ(win.desk.shown[0].title, "Help");
}

TEST_F(WindowTest, SettingsOptions) {
    Window win({"-factory"});
    TfrmMain& w = win.w;

    win.Item("ForceFindAllCommPorts1")->trigger();
    EXPECT_TRUE(w.State().forceFindAll);
    EXPECT_TRUE(win.Item("ForceFindAllCommPorts1")->isChecked());

    win.Item("DontEraseData1")->trigger();
    EXPECT_TRUE(w.State().dontEraseData);
    win.Item("DontEraseData1")->trigger();
    EXPECT_FALSE(w.State().dontEraseData);

    win.Item("PromptforSerialNumber1")->trigger();
    EXPECT_TRUE(w.State().replaceSerialNumber);
    EXPECT_TRUE(w.newSN->isVisible());
    EXPECT_TRUE(w.newSNstr->isVisible());
    EXPECT_EQ(w.focusWidget(), w.newSNstr);
    w.newSNstr->setText("SN-1234567890123456");
    EXPECT_EQ(w.newSNstr->text(), "SN-123456789012");  // 15 characters at most
    win.Item("PromptforSerialNumber1")->trigger();
    EXPECT_FALSE(w.State().replaceSerialNumber);
    EXPECT_FALSE(w.newSNstr->isVisible());
    EXPECT_TRUE(w.newSNstr->text().isEmpty());

    // The verbose option is fixed on.
    win.Item("VerboseErrorFile1")->trigger();
    EXPECT_TRUE(w.State().verboseLog);
    EXPECT_TRUE(win.Item("VerboseErrorFile1")->isChecked());

    // Sensor items: PL-8 then K7W leaves only K7W ticked.
    win.Item("PL81")->trigger();
    win.Item("K7W1")->trigger();
    for (const char* name : {"K7W1", "K7V1", "N4Q1", "N4R1", "WPX11", "DG9D1", "KLT1", "FZ41", "FZ4R1", "HM51",
                             "HM61", "NRX1", "WN71", "PL81", "ZEPHRA31", "ZP90001", "OB5x00Family1"})
        EXPECT_EQ(win.Item(name)->isChecked(), std::string(name) == "K7W1") << name;
    EXPECT_EQ(w.State().targetSensorType, 122u);
    EXPECT_EQ(w.State().versionFinderPath, "/versionfinder/K7W-Firmware.txt");

    w.close();
    QSettings saved(home.SettingsFile(), QSettings::IniFormat);
    EXPECT_TRUE(saved.value("FindAllComms").toBool());
}

TEST_F(WindowTest, HelpAndAboutTexts) {
    Window win;
    win.Item("Help2")->trigger();
    win.Item("About1")->trigger();
    ASSERT_EQ(win.desk.shown.size(), 2u);

    const wintest::Shown& help = win.desk.shown[0];
    EXPECT_EQ(help.title, "Help");
    EXPECT_EQ(help.icon, QMessageBox::NoIcon);
    EXPECT_TRUE(help.text.startsWith(
        "The ORBIS 62 Sensor Firmware Updater replaces the firmware that operates your ORBIS 62 Sensor.\n"
        "Following the simple steps will help ensure a successful update.\n\n"
        "Before beginning these steps, please make sure your instrument is powered on.\n\n"
        "Step 1. Connect your Sendra and ORBIS 62 Sensor to an available serial communication port\n"
        "on your computer.\n\n"
        "Step 2. Select the correct port from the Comm Port control.\n\n"))
        << help.text.toStdString();
    EXPECT_TRUE(help.text.contains("WARNING: Do not quit the ORBIS 62 Sensor Firmware Updater while the updater is "
                                   "running.\n"));
    EXPECT_TRUE(help.text.contains("Please verify your ORBIS 62 Sensor configuration is correct. Enjoy using the "
                                   "updated firmware version.\n\n"));
    EXPECT_TRUE(help.text.contains("an authorized VORTA Group Distributor for help:\n\nQuarnel Devices, Inc\n"));
    EXPECT_FALSE(help.text.contains("erase"));
    EXPECT_TRUE(help.text.contains("555-01"));
    EXPECT_TRUE(help.text.contains("example.com"));

    const wintest::Shown& about = win.desk.shown[1];
    EXPECT_EQ(about.title, "About ORBIS 62 Sensor Firmware Updater");
    EXPECT_EQ(about.icon, QMessageBox::Information);
    EXPECT_TRUE(about.text.contains("\n\nQuarBSL Engine version 1.16.0.78\nCommunication Protocol version 1.8.4\n\n" +
                                    QString(QChar(169))))
        << about.text.toStdString();

    // Both went to the log as told to the user.
    const std::string log = wintest::ReadFile(win.w.State().errorsFileName);
    EXPECT_NE(log.find("ErrorOK Told User:: The ORBIS 62 Sensor Firmware Updater replaces"), std::string::npos);
    EXPECT_NE(log.find("ErrorOK Told User:: Firmware Updater for"), std::string::npos);
}

// Without the seam the message is a real modal box with the kind's icon.
TEST_F(WindowTest, RealMessageBoxShowsTheKindsIcon) {
    Window win;
    win.w.messageBoxHook = nullptr;
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool modal = false;
    QTimer::singleShot(0, [&] {
        wintest::WaitFor([] { return QApplication::activeModalWidget() != nullptr; }, 10000);
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        title = box->windowTitle();
        text = box->text();
        icon = box->icon();
        modal = box->isModal();
        box->button(QMessageBox::Ok)->click();
    });
    win.Item("About1")->trigger();
    EXPECT_EQ(title, "About ORBIS 62 Sensor Firmware Updater");
    EXPECT_TRUE(text.contains("QuarBSL Engine version 1.16.0.78"));
    EXPECT_EQ(icon, QMessageBox::Information);
    EXPECT_TRUE(modal);
}

}  // namespace

namespace {

// Pauses of the device layers keep the window's events flowing while a
// window exists, and only then.
TEST_F(WindowTest, LongPausesProcessEvents) {
    int ticks = 0;
    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout, [&] { ++ticks; });
    heartbeat.start(20);
    {
        Window win;
        EXPECT_EQ(CurrentEventPump(), &quarwin::QtEventPump);
        ticks = 0;
        SleepMs(400);
        EXPECT_GE(ticks, 5);
        ticks = 0;
        SleepMs(100);  // short pauses are plain sleeps
        EXPECT_EQ(ticks, 0);
    }
    EXPECT_EQ(CurrentEventPump(), nullptr);
    ticks = 0;
    SleepMs(300);
    EXPECT_EQ(ticks, 0);
}

}  // namespace
