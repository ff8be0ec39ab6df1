// Settings capture and restore over the wire: a capture, then a restore onto
// the same device after its settings were wiped, puts every value back, for
// a bench instrument, the reader, a logger and a digital sensor.
#include <dirent.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "facade_rig.h"
#include "serial/quarserial.h"
#include "sim/logger_device.h"
#include "sim/reader.h"
#include "sim/sdi_sensor.h"
#include "sim/settings_reader_device.h"

namespace {

std::string Base64(const std::string& in) {
    static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
        if (i + 2 < in.size()) v |= static_cast<unsigned char>(in[i + 2]);
        out += abc[(v >> 18) & 63];
        out += abc[(v >> 12) & 63];
        out += i + 1 < in.size() ? abc[(v >> 6) & 63] : '=';
        out += i + 2 < in.size() ? abc[v & 63] : '=';
    }
    return out;
}

std::vector<std::string> Files(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

std::vector<std::string> Sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
}

}  // namespace

TEST(SettingsCapture, BenchInstrumentComesBackAfterItsSettingsWereWiped) {
    auto bench = Bench("SSIX", "2.05");
    qsim::SettingsStore& store = static_cast<qsim::BenchInstrument&>(*bench).Config().settings;
    store.users = {Base64("17\t3\tlab\tSmith\tx"), Base64("18\t3\tlab\tadams\t"), Base64("no tabs")};
    store.eqns = {"beta 2*x", "Alpha x+1", "alpha x-1"};
    FacadeRig rig(std::move(bench));
    ASSERT_TRUE(rig.Started());
    const qsim::SettingsStore before =
        rig.With<qsim::BenchInstrument>([](qsim::BenchInstrument& b) { return b.Config().settings; });

    ASSERT_EQ(rig.Connect(), 1);
    const std::string path = rig.Path("Sorvel Six.settings.txt");
    ASSERT_EQ(rig.Qp().QPSaveInfo(path.c_str()), 1);
    EXPECT_EQ(rig.Qp().savedMask, 0x38000842u);
    EXPECT_TRUE(rig.Logged("QPSaveInfo set SVL6 sensor type to '0'"));
    EXPECT_EQ(rig.Qp().userRecords.count, 3);
    EXPECT_EQ(rig.Qp().eqnRecords.count, 3);
    rig.Qp().QPDisconnect(false);

    rig.With<qsim::BenchInstrument>([](qsim::BenchInstrument& b) { b.ResetSettings(); });

    // The next run finds the settings in the file only.
    Quar_protocol& qp = rig.NewRun();
    ASSERT_EQ(rig.Connect(), 1);
    ASSERT_EQ(qp.QPRestoreInfo(path.c_str(), nullptr), 1);
    EXPECT_TRUE(rig.Logged("QPRestoreInfo successfully restored device setting"));
    const qsim::SettingsStore after =
        rig.With<qsim::BenchInstrument>([](qsim::BenchInstrument& b) { return b.Config().settings; });
    // The file form of this type does not carry the serial number back.
    for (const char* word : {"config", "pvuser", "tadj"})
        EXPECT_EQ(after.values.at(word), before.values.at(word)) << word;
    EXPECT_EQ(after.values.at("sn"), "");
    // Records come back renumbered in name order; equal names keep no order,
    // a name that cannot be decoded is empty and goes first.
    EXPECT_EQ(after.users, (std::vector<std::string>{before.users[2], before.users[1], before.users[0]}));
    EXPECT_EQ(after.eqns, (std::vector<std::string>{"alpha x-1", "Alpha x+1", "beta 2*x"}));
    EXPECT_TRUE(rig.Logged("SetRecords_Serial set \"user\" 2 to"));
}

TEST(SettingsCapture, OpticalInstrumentLaserValuesAndANewSerialNumber) {
    FacadeRig rig(Bench("SSIXOPT", "2.10"));
    ASSERT_TRUE(rig.Started());
    const qsim::SettingsStore before =
        rig.With<qsim::BenchInstrument>([](qsim::BenchInstrument& b) { return b.Config().settings; });
    ASSERT_EQ(rig.Connect(), 1);
    Quar_protocol& qp = rig.Qp();
    ASSERT_EQ(qp.QPSaveInfo(rig.Path("opt.settings.txt").c_str()), 1);
    EXPECT_STREQ(qp.instInfo.cal[7], "p1 1.25");
    EXPECT_STREQ(qp.instInfo.cal[6], "");
    rig.With<qsim::BenchInstrument>([](qsim::BenchInstrument& b) { b.ResetSettings(); });

    // Settings still in memory: the file is not needed.
    std::remove(rig.Path("opt.settings.txt").c_str());
    ASSERT_EQ(qp.QPRestoreInfo(rig.Path("opt.settings.txt").c_str(), "NEW-SERIAL-NUMBER-TOO-LONG"), 1);
    const qsim::SettingsStore after =
        rig.With<qsim::BenchInstrument>([](qsim::BenchInstrument& b) { return b.Config().settings; });
    EXPECT_EQ(after.values.at("sn"), "NEW-SERIAL-NUMB");
    for (const char* word : {"p0", "p3", "p5", "lwidth", "ltemp", "current", "p1", "config", "tadj"})
        EXPECT_EQ(after.values.at(word), before.values.at(word)) << word;
}

TEST(SettingsCapture, ReaderCapturesInOrderAndRestoresItsOwnSettings) {
    qsim::ReaderConfig rc;
    auto reader = std::make_unique<qsim::SettingsReader>(rc, qsim::ReaderSettings(rc));
    FacadeRig rig(std::move(reader));
    ASSERT_TRUE(rig.Started());
    const qsim::SettingsStore before =
        rig.With<qsim::SettingsReader>([](qsim::SettingsReader& r) { return r.Settings(); });
    ASSERT_EQ(rig.Connect(), 1);
    ASSERT_EQ(rig.Qp().deviceType, 14);
    rig.Runner().Context().journal.Clear();
    const std::string path = rig.Path("Sendra.settings.txt");
    ASSERT_EQ(rig.Qp().QPSaveInfo(path.c_str()), 1);
    EXPECT_EQ(rig.Qp().savedMask, 0x2C0013u);

    std::vector<std::string> asked;
    for (const std::string& line : rig.Runner().Context().journal.Lines()) {
        const std::string prefix = "reader: line ";
        if (line.rfind(prefix, 0) == 0 && (asked.empty() || asked.back() != line.substr(prefix.size())))
            asked.push_back(line.substr(prefix.size()));
    }
    EXPECT_EQ(asked, (std::vector<std::string>{"get -sn", "get -contr", "get -i", "get -adc15", "get -adc30",
                                               "get -cal 0", "get -cal 1", "get -cal 2", "get -cal 3"}));
    const std::string file = FacadeRig::Slurp(path);
    EXPECT_NE(file.find("type=\"SND\"\r\n"), std::string::npos);
    EXPECT_NE(file.find("cal02=\"2 1.004 -0.007\"\r\n"), std::string::npos);
    EXPECT_EQ(file.find("cal03="), std::string::npos);
    rig.Qp().QPDisconnect(false);

    rig.With<qsim::SettingsReader>([](qsim::SettingsReader& r) { r.ResetSettings(); });
    Quar_protocol& qp = rig.NewRun();
    ASSERT_EQ(rig.Connect(), 1);
    ASSERT_EQ(qp.QPRestoreInfo(path.c_str(), nullptr), 1);
    const qsim::SettingsStore after =
        rig.With<qsim::SettingsReader>([](qsim::SettingsReader& r) { return r.Settings(); });
    EXPECT_EQ(after.values, before.values);
    EXPECT_EQ(after.cal, before.cal);
}

TEST(SettingsCapture, LoggerComesBackAfterItsSettingsWereWiped) {
    qsim::LoggerConfig lc;
    lc.name = "FARM3";
    lc.deviceId = "D0042";
    lc.site = "Upper orchard";
    lc.wake = 300;
    lc.padc = 10;
    lc.rch = 5;
    lc.rsch = 17;
    lc.timeZone = -28;
    lc.latitude = 46.73;
    lc.longitude = -117.18;
    lc.reportMode = 1;
    lc.cellFitted = true;
    lc.apn = "iot.example";
    lc.host = "collect.example.org";
    lc.ipPort = 5044;
    for (int i = 0; i < 5; ++i) {
        lc.ports[i] = 10 + i;
        lc.depth[i] = 20 + i;
    }
    FacadeRig rig(std::make_unique<qsim::LoggerDevice>(lc));
    ASSERT_TRUE(rig.Started());
    ASSERT_EQ(rig.Connect(), 1);
    ASSERT_EQ(rig.Qp().deviceType, 3);
    const std::string path = rig.Path("LumoZ.settings.txt");
    const int saved = rig.Qp().QPSaveInfo(path.c_str());
    ASSERT_TRUE(saved == 1 || saved == -35) << saved;
    rig.Qp().QPDisconnect(false);

    rig.With<qsim::LoggerDevice>([](qsim::LoggerDevice& d) {
        qsim::LoggerConfig& c = d.Config();
        c.name = "LUMOZ";
        c.deviceId.clear();
        c.site.clear();
        c.wake = 900;
        c.padc = 0;
        c.rch = c.rsch = c.timeZone = c.reportMode = c.ipPort = 0;
        c.latitude = c.longitude = 0;
        c.apn.clear();
        c.host.clear();
        for (int i = 0; i < 5; ++i) c.ports[i] = c.depth[i] = 0;
    });
    Quar_protocol& qp = rig.NewRun();
    ASSERT_EQ(rig.Connect(), 1);
    const int restored = qp.QPRestoreInfo(path.c_str(), nullptr);
    EXPECT_TRUE(restored == 1 || restored == -35) << restored;
    const qsim::LoggerConfig now = rig.With<qsim::LoggerDevice>([](qsim::LoggerDevice& d) { return d.Config(); });
    EXPECT_EQ(now.name, lc.name);
    EXPECT_EQ(now.deviceId, lc.deviceId);
    EXPECT_EQ(now.site, lc.site);
    EXPECT_EQ(now.wake, lc.wake);
    EXPECT_EQ(now.padc, lc.padc);
    EXPECT_EQ(now.rch, lc.rch);
    EXPECT_EQ(now.rsch, lc.rsch);
    EXPECT_EQ(now.timeZone, lc.timeZone);
    EXPECT_NEAR(now.latitude, lc.latitude, 1e-5);
    EXPECT_NEAR(now.longitude, lc.longitude, 1e-5);
    EXPECT_EQ(now.reportMode, lc.reportMode);
    EXPECT_EQ(now.apn, lc.apn);
    EXPECT_EQ(now.host, lc.host);
    EXPECT_EQ(now.ipPort, lc.ipPort);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(now.ports[i], lc.ports[i]) << i;
        EXPECT_EQ(now.depth[i], lc.depth[i]) << i;
    }
}

TEST(SettingsCapture, DigitalSensorThroughTheReaderAndAnEarlierFileKept) {
    qsim::SensorConfig sc;
    sc.type = 107;
    sc.version = sc.newVersion = 406;
    sc.address = '3';
    sc.serial = "0799123";
    sc.calX4 = "1.0021 0.0000 -0.0031 24.80";
    sc.calXa = "1 1.39619 2.03054 2.54573 2.9907";
    auto reader = std::make_unique<qsim::Reader>(qsim::ReaderConfig{});
    reader->Attach(std::make_unique<qsim::SdiSensor>(sc));
    FacadeRig rig(std::move(reader));
    ASSERT_TRUE(rig.Started());
    auto sensor = [&rig]() {
        return rig.With<qsim::Reader>(
            [](qsim::Reader& r) { return static_cast<qsim::SdiSensor*>(r.Downstream())->Config(); });
    };
    // What the loader's erase of the information memory does to the sensor.
    auto wipe = [&rig, &sensor]() {
        rig.With<qsim::Reader>([](qsim::Reader& r) {
            static_cast<qsim::SdiSensor*>(r.Downstream())->GetLoader().Start();
        });
        SleepMs(50);
        rig.With<qsim::Reader>([](qsim::Reader& r) {
            auto* s = static_cast<qsim::SdiSensor*>(r.Downstream());
            s->GetFlash().EraseSegment(0x1000);
            s->GetLoader().Stop();
        });
        return qsim::PtyRunner::WaitFor([&sensor]() { return sensor().calX4.empty(); }, 5000);
    };
    auto relay = [&rig]() {
        int written = 0;
        rig.Qp().protocol->QSWrite("[", 1, &written);
        SleepMs(50);
        rig.Qp().deviceType = 10;
    };
    auto leave = [&rig]() {
        int written = 0;
        rig.Qp().protocol->QSWrite("`", 1, &written);
        SleepMs(50);
        rig.Qp().QPDisconnect(false);
    };

    const std::string path = rig.Path("ORBIS 62 Sensor.settings.txt");
    FILE* earlier = std::fopen(path.c_str(), "wb");
    ASSERT_NE(earlier, nullptr);
    std::fputs("an earlier run's copy", earlier);
    std::fclose(earlier);

    ASSERT_EQ(rig.Connect(), 1);
    ASSERT_EQ(rig.Qp().deviceType, 14);
    relay();
    ASSERT_EQ(rig.Qp().QPSaveInfo(path.c_str()), 1);
    EXPECT_TRUE(rig.Qp().settingsCaptured);
    EXPECT_TRUE(rig.Logged("QPSaveInfo kept the earlier settings file as "));
    const std::vector<std::string> files = Sorted(Files(rig.Dir()));
    ASSERT_EQ(files.size(), 3u);  // the log, the kept copy, the new file
    EXPECT_EQ(files[0].rfind("ORBIS 62 Sensor.settings.2", 0), 0u) << files[0];
    EXPECT_EQ(FacadeRig::Slurp(rig.Path(files[0])), "an earlier run's copy");
    EXPECT_EQ(files[1], "ORBIS 62 Sensor.settings.txt");
    EXPECT_NE(FacadeRig::Slurp(path).find("calibration=\"1.0021 0.0000 -0.0031 24.80\"\r\n"),
              std::string::npos);
    leave();

    // A later run: settings from the file.
    ASSERT_TRUE(wipe());
    EXPECT_TRUE(sensor().serial.empty());
    EXPECT_EQ(sensor().address, '0');
    rig.NewRun();
    ASSERT_EQ(rig.Connect(), 1);
    relay();
    // The file does not say which sensor it was; the sensor does.
    ASSERT_EQ(rig.Qp().sdi->SDIGetSensorType(), 1);
    ASSERT_EQ(rig.Qp().QPRestoreInfo(path.c_str(), nullptr), 1);
    qsim::SensorConfig now = sensor();
    EXPECT_EQ(now.address, sc.address);
    EXPECT_EQ(now.serial, sc.serial);
    EXPECT_EQ(now.calX4, sc.calX4);
    EXPECT_EQ(now.calXa, sc.calXa);

    // The same run again: the settings are in memory; a missing file does
    // not matter.
    ASSERT_TRUE(wipe());
    std::remove(path.c_str());
    ASSERT_EQ(rig.Qp().QPRestoreInfo(path.c_str(), nullptr), 1);
    now = sensor();
    EXPECT_EQ(now.serial, sc.serial);
    EXPECT_EQ(now.calX4, sc.calX4);
    EXPECT_EQ(now.calXa, sc.calXa);

    // Without memory or file the restore reports the missing file.
    rig.Qp().settingsCaptured = false;
    EXPECT_EQ(rig.Qp().QPRestoreInfo(path.c_str(), nullptr), -102);
    EXPECT_TRUE(rig.Logged("QPRestoreInfo received error -102 trying to read device settings from"));
}

TEST(SettingsCapture, EmptyMasksAndBitsWithoutACommand) {
    FacadeRig rig(Bench("SSIX", "2.05"));
    ASSERT_TRUE(rig.Started());
    ASSERT_EQ(rig.Connect(), 1);
    Quar_protocol& qp = rig.Qp();
    EXPECT_EQ(qp.GetInstInfo(0), 0);
    EXPECT_TRUE(rig.Logged("GetInstInfo should be called with non-zero flags"));
    EXPECT_EQ(qp.SetInstInfo(0), 0);
    EXPECT_TRUE(rig.Logged("SetInstInfo should be called with non-zero flags"));
    EXPECT_EQ(qp.SetInstInfo(0x200), -30);
    EXPECT_TRUE(rig.Logged("SetInstInfo could not restore all settings"));

    // A value the device does not know fails; the others are still read.
    qp.instInfo.validMask = 0;
    EXPECT_EQ(qp.GetInstInfo(0x1000 | 0x800 | 0x1000000), -35);
    EXPECT_EQ(qp.instInfo.validMask, 0x1000800u);
    EXPECT_STREQ(qp.instInfo.config, "c 1 4 7");

    // Without a record count the records are asked for until one is refused.
    rig.With<qsim::BenchInstrument>([](qsim::BenchInstrument& b) { b.Config().settings.refuseCounts = true; });
    EXPECT_EQ(qp.GetRecords_Serial(&qp.eqnRecords, 1), 1);
    ASSERT_EQ(qp.eqnRecords.count, 2);
    EXPECT_STREQ(qp.eqnRecords.records[1].text, "Area`mm pi*r^2");
    EXPECT_TRUE(rig.Logged("GetRecords_Serial instrument reports 100 \"eqn\" records"));
    EXPECT_EQ(qp.GetRecords_Serial(&qp.eqnRecords, 3), -11);

    qp.deviceType = 1;
    EXPECT_EQ(qp.QPSaveInfo(rig.Path("x.txt").c_str()), -13);
    qp.settingsCaptured = true;
    EXPECT_EQ(qp.QPRestoreInfo(rig.Path("x.txt").c_str(), nullptr), -13);
}

TEST(SettingsRecords, NamesAndOrder) {
    Quar_protocol qp(nullptr);
    InstRecordList list{4, new InstRecord[4]()};
    std::strcpy(list.records[0].text, Base64("1\t2\t3\tSmith\tmore\tfields").c_str());
    std::strcpy(list.records[1].text, Base64("1\t2\t3\tAVeryLongUserName\t").c_str());
    std::strcpy(list.records[2].text, Base64("1\t2").c_str());
    std::strcpy(list.records[3].text, Base64("a\tb\tc\tlast").c_str());
    ASSERT_EQ(qp.ExtractNames(&list, 2), 1);
    EXPECT_STREQ(list.records[0].name, "Smith");
    EXPECT_STREQ(list.records[1].name, "AVeryLong");
    EXPECT_STREQ(list.records[2].name, "");
    EXPECT_STREQ(list.records[3].name, "last");
    EXPECT_EQ(qp.ExtractNames(&list, 5), -11);
    InstRecordList none{0, nullptr};
    EXPECT_EQ(qp.ExtractNames(&none, 1), -10);
    EXPECT_EQ(qp.AlphabetizeRecords(&list, 0), -11);

    std::strcpy(list.records[0].text, "Wind_speed`avg x*2");
    std::strcpy(list.records[1].text, "NoBlankAtAllInThisVeryLongName");
    ASSERT_EQ(qp.ExtractNames(&list, 1), 1);
    EXPECT_STREQ(list.records[0].name, "Wind speed,avg");
    EXPECT_STREQ(list.records[1].name, "NoBlankAtAllInThisVe");
    FreeRecords(&list);

    unsigned char out[3];
    DecodeBase64Group("TWFu", out);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 3), "Man");
    DecodeBase64Group("S?==", out);
    EXPECT_EQ(out[0], 'H');
    EXPECT_EQ(out[1], 0);
}
