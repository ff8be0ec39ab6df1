// The settings file on its own: grammar, key lookup, the three device
// classes' round trips, failures, and the safety of the copy on disk.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "facade/quar_protocol.h"

namespace {

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/quar_settings_XXXXXX";
        path_ = mkdtemp(tmpl);
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void Spit(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

const char kHeader[] = "***** Auto-Generated Settings File -- DO NOT EDIT *****\r\n\r\n";

void FillLogger(InstrumentRecord& s) {
    std::strcpy(s.kindName, "LumoZ");
    std::strcpy(s.deviceId, "D1");
    std::strcpy(s.instrumentName, "FIELD7");
    std::strcpy(s.serialNumber, "SN-0042");
    s.trait = 0x4009;
    s.wake = 15;
    s.padc = 200;
    const uint8_t ports[5] = {1, 2, 3, 4, 5}, depth[5] = {10, 20, 30, 40, 50};
    std::memcpy(s.ports, ports, 5);
    std::memcpy(s.depth, depth, 5);
    const uint8_t sl[5] = {100, 101, 102, 103, 104}, of[5] = {7, 8, 9, 10, 11};
    std::memcpy(s.adc15Slopes, sl, 5);
    std::memcpy(s.adc15Offsets, of, 5);
    std::memcpy(s.adc30Slopes, of, 5);
    std::memcpy(s.adc30Offsets, sl, 5);
    s.rmode = 2;
    s.rch = 11;
    s.rsch = 3;
    s.dataParameter = -4;
    std::strcpy(s.site, "North field");
    s.latitude = 46.5;
    s.longitude = -117.25;
    s.timeZone = -32;
    s.reportMode = 1;
    std::strcpy(s.apn, "apn.example");
    std::strcpy(s.apnUser, "joe");
    std::strcpy(s.apnPassword, "secret");
    std::strcpy(s.host, "data.example.net");
    std::strcpy(s.authKey, "0123456789ABCDEF0123456789ABCDEF");
    s.ipPort = 8080;
    std::strcpy(s.quarBuild, "b42");
}

struct Facade {
    Quar_protocol qp{nullptr};
};

}  // namespace

TEST(SettingsFileGrammar, LoggerFileIsWrittenByteForByte) {
    TempDir dir;
    struct Case {
        uint32_t validMask;
        bool adc15, adc30, build;
    } cases[] = {
        {0, false, false, false},
        {0x4000000 | 0x2000000 | 0x8000000, true, true, true},
        {0x2000000, false, true, false},
    };
    for (const Case& c : cases) {
        Facade f;
        f.qp.deviceType = 3;
        FillLogger(f.qp.settings);
        f.qp.settings.validMask = c.validMask;
        const std::string path = dir.File("logger.settings.txt");
        ASSERT_EQ(WriteInfoFile(&f.qp, path.c_str()), 1);
        std::string want = std::string(kHeader) +
                           "type=\"LumoZ\"\r\ndeviceid=\"D1\"\r\nname=\"FIELD7\"\r\nsn=\"SN-0042\"\r\n"
                           "trait=\"16393\"\r\nwake=\"15\"\r\npadc=\"200\"\r\nports=\"1 2 3 4 5\"\r\n"
                           "depth=\"10 20 30 40 50\"\r\n";
        if (c.adc15)
            want += "ADC15 slopes=\"100 101 102 103 104\"\r\nADC15 offsets=\"7 8 9 10 11\"\r\n";
        if (c.adc30)
            want += "ADC30 slopes=\"7 8 9 10 11\"\r\nADC30 offsets=\"100 101 102 103 104\"\r\n";
        want +=
            "rmode=\"2\"\r\nrch=\"11\"\r\nrsch=\"3\"\r\ndata=\"-4\"\r\nsite=\"North field\"\r\n"
            "lat=\"+46.50000\"\r\nlon=\"-117.25000\"\r\ntimezone=\"-32\"\r\nreport=\"1\"\r\n"
            "apn=\"apn.example\"\r\nuser=\"joe\"\r\npasswd=\"secret\"\r\nhost=\"data.example.net\"\r\n"
            "authkey=\"0123456789ABCDEF0123456789ABCDEF\"\r\nipport=\"8080\"\r\n";
        if (c.build) want += "QuarBuild=\"b42\"\r\n";
        EXPECT_EQ(Slurp(path), want) << "validMask " << std::hex << c.validMask;
    }
}

TEST(SettingsFileGrammar, SensorFileGivesAddressAsCharacterAndCode) {
    TempDir dir;
    Facade f;
    f.qp.deviceType = 10;
    QuarSDI12& s = *f.qp.sdi;
    s.address = '3';
    std::strcpy(s.info, "VENDORXXMODEL1356");
    std::strcpy(s.calX4, "1.5 2.5 3.5");
    std::strcpy(s.calXa, "1 1.4 2.0");
    std::strcpy(s.serialNumber, "S123");
    const std::string path = dir.File("sensor.settings.txt");
    ASSERT_EQ(WriteInfoFile(&f.qp, path.c_str()), 1);
    EXPECT_EQ(Slurp(path), std::string(kHeader) +
                               "type=\"Digital Sensor\"\r\nidentity=\"VENDORXXMODEL1356\"\r\n"
                               "address=\"3\"\r\naddressInt=\"51\"\r\ncalibration=\"1.5 2.5 3.5\"\r\n"
                               "calibration2=\"1 1.4 2.0\"\r\nsn=\"S123\"\r\n");
}

TEST(SettingsFileGrammar, InstrumentFileWritesEveryKeyAndTheCalSlotsByType) {
    TempDir dir;
    const std::string fixed =
        "name=\"\"\r\nsn=\"\"\r\nlang=\"0\"\r\nQuarBuild=\"\"\r\ncontr=\"0\"\r\nconfig=\"\"\r\n"
        "fvals=\"\"\r\nuvals=\"\"\r\nunits=\"0\"\r\nadc=\"\"\r\nadccal=\"\"\r\ncalprefs=\"\"\r\n"
        "SNDUnits=\"\"\r\nsample=\"\"\r\nusage=\"\"\r\nadc15=\"\"\r\nadc30=\"\"\r\nlocation=\"\"\r\n"
        "chai=\"\"\r\nextCal=\"\"\r\ntadj=\"\"\r\ntau=\"0\"\r\nhadj=\"\"\r\n";
    {
        Facade f;
        f.qp.deviceType = 14;
        std::strcpy(f.qp.instInfo.cal[0], "A");
        std::strcpy(f.qp.instInfo.cal[1], "B");
        std::strcpy(f.qp.instInfo.cal[2], "C");
        std::strcpy(f.qp.instInfo.cal[4], "after the gap");
        const std::string path = dir.File("reader.txt");
        ASSERT_EQ(WriteInfoFile(&f.qp, path.c_str()), 1);
        EXPECT_EQ(Slurp(path), std::string(kHeader) + "type=\"SND\"\r\n" + fixed +
                                   "cal00=\"A\"\r\ncal01=\"B\"\r\ncal02=\"C\"\r\n");
    }
    {
        Facade f;
        f.qp.deviceType = 22;
        std::strcpy(f.qp.instInfo.cal[7], "p1");
        InstRecord recs[3] = {};
        std::strcpy(recs[0].text, "u0");
        std::strcpy(recs[1].text, "u1");
        f.qp.userRecords = {3, new InstRecord[3]()};
        std::memcpy(f.qp.userRecords.records, recs, sizeof recs);
        f.qp.eqnRecords = {1, new InstRecord[1]()};
        std::strcpy(f.qp.eqnRecords.records[0].text, "E1 x+1");
        const std::string path = dir.File("opt.txt");
        ASSERT_EQ(WriteInfoFile(&f.qp, path.c_str()), 1);
        std::string want = std::string(kHeader) + "type=\"SSIXOPT\"\r\n" + fixed;
        for (int i = 0; i < 20; ++i) {
            char line[32];
            std::snprintf(line, sizeof line, "cal%02d=\"%s\"\r\n", i, i == 7 ? "p1" : "");
            want += line;
        }
        want += "user00=\"u0\"\r\nuser01=\"u1\"\r\neqn00=\"E1 x+1\"\r\n";
        EXPECT_EQ(Slurp(path), want);
    }
}

TEST(SettingsFileLookup, KeysArePlainSubstringsAndValuesEndAtTheQuote) {
    const char* text =
        "type=\"X\"\r\nsite=\"birch hill\"\r\nrch=\"12\"\r\nname=\"ABCDEFGHIJKLMNOPQRST\"\r\n"
        "empty=\"\"\r\nnum=\"   -42xyz\"\r\nreal=\" 3.25e1\"\r\nbare=\"17";
    char dest[9];
    int32_t n = 99;
    // "rch" first occurs inside the site value: its quote is the one that
    // closes the value, and what follows is not a number.
    EXPECT_TRUE(FindNumber(text, "rch", &n));
    EXPECT_EQ(n, 0);
    EXPECT_TRUE(FindText(text, "name", dest, sizeof dest));
    EXPECT_STREQ(dest, "ABCDEFGH");
    std::strcpy(dest, "old");
    EXPECT_FALSE(FindText(text, "empty", dest, sizeof dest));
    EXPECT_STREQ(dest, "");
    EXPECT_FALSE(FindText(text, "missing", dest, sizeof dest));
    EXPECT_STREQ(dest, "");
    EXPECT_TRUE(FindNumber(text, "num", &n));
    EXPECT_EQ(n, -42);
    n = 5;
    EXPECT_FALSE(FindNumber(text, "missing", &n));
    EXPECT_EQ(n, 5);
    double d = 0;
    EXPECT_TRUE(FindReal(text, "real", &d));
    EXPECT_DOUBLE_EQ(d, 32.5);
    // A value running to the end of the text.
    EXPECT_TRUE(FindText(text, "bare", dest, sizeof dest));
    EXPECT_STREQ(dest, "17");
    // A key without a quote after it is not found.
    EXPECT_FALSE(FindNumber("key=12", "key", &n));
}

TEST(SettingsFileRoundTrip, LoggerSettingsComeBackWithTheirBits) {
    TempDir dir;
    const std::string path = dir.File("logger.txt");
    Facade w;
    w.qp.deviceType = 18;
    FillLogger(w.qp.settings);
    std::strcpy(w.qp.settings.kindName, "Cirro");
    w.qp.settings.validMask = 0x4000000 | 0x2000000 | 0x8000000;
    ASSERT_EQ(WriteInfoFile(&w.qp, path.c_str()), 1);

    Facade r;
    r.qp.deviceType = 19;  // the three radio loggers share one file form
    ASSERT_EQ(ReadInfoFile(&r.qp, path.c_str()), 1);
    const InstrumentRecord& a = w.qp.settings;
    const InstrumentRecord& b = r.qp.settings;
    EXPECT_STREQ(b.deviceId, a.deviceId);
    EXPECT_STREQ(b.instrumentName, a.instrumentName);
    EXPECT_STREQ(b.serialNumber, a.serialNumber);
    EXPECT_EQ(b.trait, a.trait | 0x4001);
    EXPECT_EQ(b.wake, a.wake);
    EXPECT_EQ(b.padc, a.padc);
    EXPECT_EQ(0, std::memcmp(b.ports, a.ports, 5));
    EXPECT_EQ(0, std::memcmp(b.depth, a.depth, 5));
    EXPECT_EQ(0, std::memcmp(b.adc15Slopes, a.adc15Slopes, 5));
    EXPECT_EQ(0, std::memcmp(b.adc15Offsets, a.adc15Offsets, 5));
    EXPECT_EQ(0, std::memcmp(b.adc30Slopes, a.adc30Slopes, 5));
    EXPECT_EQ(0, std::memcmp(b.adc30Offsets, a.adc30Offsets, 5));
    EXPECT_STREQ(b.quarBuild, a.quarBuild);
    EXPECT_EQ(b.dataParameter, a.dataParameter);
    EXPECT_EQ(b.rmode, a.rmode);
    EXPECT_EQ(b.rch, a.rch);
    EXPECT_EQ(b.rsch, a.rsch);
    EXPECT_STREQ(b.site, a.site);
    EXPECT_DOUBLE_EQ(b.latitude, a.latitude);
    EXPECT_DOUBLE_EQ(b.longitude, a.longitude);
    EXPECT_EQ(b.timeZone, a.timeZone);
    EXPECT_EQ(b.reportMode, a.reportMode);
    EXPECT_STREQ(b.apn, a.apn);
    EXPECT_STREQ(b.apnUser, a.apnUser);
    EXPECT_STREQ(b.apnPassword, a.apnPassword);
    EXPECT_STREQ(b.host, a.host);
    EXPECT_STREQ(b.authKey, a.authKey);
    EXPECT_EQ(b.ipPort, a.ipPort);
    EXPECT_EQ(r.qp.savedMask, 0xFFFEFFBu);
    EXPECT_EQ(b.capabilities, 0x707FFF7u);
}

TEST(SettingsFileRoundTrip, OtherLoggerFormsReadOnlyTheirKeys) {
    TempDir dir;
    // A LumoK file as this program writes it: the ports line is in the form
    // the other loggers use, so no ports come back.
    Facade w;
    w.qp.deviceType = 2;
    FillLogger(w.qp.settings);
    std::strcpy(w.qp.settings.kindName, "LumoK");
    w.qp.settings.validMask = 0x8000000;
    const std::string path = dir.File("lumok.txt");
    ASSERT_EQ(WriteInfoFile(&w.qp, path.c_str()), 1);
    Facade r;
    r.qp.deviceType = 2;
    ASSERT_EQ(ReadInfoFile(&r.qp, path.c_str()), 1);
    EXPECT_STREQ(r.qp.settings.instrumentName, "FIELD7");
    EXPECT_STREQ(r.qp.settings.serialNumber, "SN-0042");
    EXPECT_EQ(r.qp.settings.wake, 15);
    EXPECT_EQ(r.qp.settings.padc, 200);
    EXPECT_STREQ(r.qp.settings.quarBuild, "b42");
    EXPECT_EQ(r.qp.savedMask, 0x1u | 0x2 | 0x10 | 0x40 | 0x8000000);
    EXPECT_EQ(r.qp.settings.capabilities, 0x474BEu);

    // The older port form is understood.
    const std::string ports = dir.File("ports.txt");
    Spit(ports, std::string(kHeader) + "type=\"LumoK\"\r\nPort number=\"1\" value=\"7\"\r\n"
                                       "Port number=\"3\" value=\"9\"\r\n");
    Facade p;
    p.qp.deviceType = 2;
    ASSERT_EQ(ReadInfoFile(&p.qp, ports.c_str()), 1);
    const uint8_t want[5] = {7, 7, 9, 9, 9};  // a missing key keeps the last value
    EXPECT_EQ(0, std::memcmp(p.qp.settings.ports, want, 5));
    EXPECT_TRUE(p.qp.savedMask & 0x20);

    const std::string vt = dir.File("vt.txt");
    Spit(vt, std::string(kHeader) + "type=\"Veltris\"\r\nname=\"V1\"\r\nrch=\"4\"\r\nrsch=\"2\"\r\n");
    Facade v;
    v.qp.deviceType = 4;
    v.qp.settings.trait = 0x4009;
    ASSERT_EQ(ReadInfoFile(&v.qp, vt.c_str()), 1);
    EXPECT_EQ(v.qp.settings.trait, 16385);
    EXPECT_EQ(v.qp.savedMask, 0x1u | 0x400 | 0x800 | 0x8);
    EXPECT_EQ(v.qp.settings.capabilities, 0x24583u);
}

TEST(SettingsFileRoundTrip, SensorReadsOnlyTheCodedAddress) {
    TempDir dir;
    Facade w;
    w.qp.deviceType = 10;
    w.qp.sdi->address = '3';
    std::strcpy(w.qp.sdi->calX4, "0.5 1 2");
    std::strcpy(w.qp.sdi->calXa, "1 1.39619 2.03054");
    std::strcpy(w.qp.sdi->serialNumber, "ABC-77");
    std::strcpy(w.qp.sdi->info, "VENDOR");
    const std::string path = dir.File("s.txt");
    ASSERT_EQ(WriteInfoFile(&w.qp, path.c_str()), 1);
    Facade r;
    r.qp.deviceType = 10;
    ASSERT_EQ(ReadInfoFile(&r.qp, path.c_str()), 1);
    EXPECT_EQ(r.qp.sdi->address, '3');
    EXPECT_STREQ(r.qp.sdi->calX4, "0.5 1 2");
    EXPECT_STREQ(r.qp.sdi->calXa, "1 1.39619 2.03054");
    EXPECT_STREQ(r.qp.sdi->serialNumber, "ABC-77");
    EXPECT_STREQ(r.qp.sdi->info, "");

    Spit(path, std::string(kHeader) + "type=\"Digital Sensor\"\r\naddress=\"5\"\r\n");
    ASSERT_EQ(ReadInfoFile(&r.qp, path.c_str()), 1);
    EXPECT_EQ(r.qp.sdi->address, '0');
    EXPECT_STREQ(r.qp.sdi->calX4, "");
}

TEST(SettingsFileRoundTrip, InstrumentRowsReadTheirKeysRecordsAndSlots) {
    TempDir dir;
    Facade w;
    w.qp.deviceType = 22;
    InstInfo& ii = w.qp.instInfo;
    std::strcpy(ii.config, "cfg 1");
    std::strcpy(ii.tadj, "0.1 0.2");
    ii.tau = 30;
    std::strcpy(ii.hadj, "h 5");
    std::strcpy(ii.uvals, "u 1 2");
    std::strcpy(ii.sn, "not read for 22");
    for (int i = 0; i < 6; ++i) std::snprintf(ii.cal[i], sizeof ii.cal[i], "laser %d", i);
    std::strcpy(ii.cal[7], "p1 value");
    w.qp.userRecords = {2, new InstRecord[2]()};
    std::strcpy(w.qp.userRecords.records[0].text, "dXNlcjA=");
    std::strcpy(w.qp.userRecords.records[1].text, "dXNlcjE=");
    w.qp.eqnRecords = {1, new InstRecord[1]()};
    std::strcpy(w.qp.eqnRecords.records[0].text, "Area pi*r^2");
    const std::string path = dir.File("opt.txt");
    ASSERT_EQ(WriteInfoFile(&w.qp, path.c_str()), 1);

    Facade r;
    r.qp.deviceType = 22;
    ASSERT_EQ(ReadInfoFile(&r.qp, path.c_str()), 1);
    const InstInfo& got = r.qp.instInfo;
    EXPECT_STREQ(got.config, "cfg 1");
    EXPECT_STREQ(got.tadj, "0.1 0.2");
    EXPECT_EQ(got.tau, 30);
    EXPECT_STREQ(got.hadj, "h 5");
    EXPECT_STREQ(got.uvals, "u 1 2");
    EXPECT_STREQ(got.sn, "");
    for (int i = 0; i < 6; ++i) EXPECT_STREQ(got.cal[i], ii.cal[i]);
    EXPECT_STREQ(got.cal[7], "");  // reading stops at the empty slot 6
    ASSERT_EQ(r.qp.userRecords.count, 2);
    EXPECT_STREQ(r.qp.userRecords.records[1].text, "dXNlcjE=");
    ASSERT_EQ(r.qp.eqnRecords.count, 1);
    EXPECT_STREQ(r.qp.eqnRecords.records[0].text, "Area pi*r^2");
    EXPECT_EQ(got.validMask, 0x800u | 0x20000000 | 0x40000000 | 0x40 | 0x8000000 | 0x10000000 | 0x4);

    // hadj without tau: neither the value nor the bit.
    Spit(path, std::string(kHeader) + "type=\"SSIX\"\r\nhadj=\"h 5\"\r\n");
    Facade s;
    s.qp.deviceType = 15;
    ASSERT_EQ(ReadInfoFile(&s.qp, path.c_str()), 1);
    EXPECT_STREQ(s.qp.instInfo.hadj, "");
    EXPECT_EQ(s.qp.instInfo.validMask & 0x40000000, 0u);

    // A reader file: its cal slots up to the first missing one.
    Spit(path, std::string(kHeader) +
                   "type=\"SND\"\r\nsn=\"R9\"\r\nname=\"RDR\"\r\ncontr=\"7\"\r\ncal00=\"a\"\r\ncal01=\"b\"\r\n"
                   "cal03=\"d\"\r\n");
    Facade t;
    t.qp.deviceType = 14;
    ASSERT_EQ(ReadInfoFile(&t.qp, path.c_str()), 1);
    EXPECT_STREQ(t.qp.instInfo.sn, "R9");
    EXPECT_STREQ(t.qp.instInfo.name, "RDR");
    EXPECT_EQ(t.qp.instInfo.contr, 7);
    EXPECT_STREQ(t.qp.instInfo.cal[1], "b");
    EXPECT_STREQ(t.qp.instInfo.cal[3], "");
    EXPECT_EQ(t.qp.instInfo.validMask, 0x2u | 0x1 | 0x10 | 0x200000);
}

TEST(SettingsFileRecords, CountsKeysAndStopsAtTheFirstEmptyValue) {
    Facade f;
    EXPECT_EQ(GetRecords_File(&f.qp, &f.qp.userRecords, 2, "user00=\"a\"\r\nuser01=\"b\"\r\nuser03=\"d\""), 1);
    EXPECT_EQ(f.qp.userRecords.count, 2);
    EXPECT_EQ(GetRecords_File(&f.qp, &f.qp.userRecords, 2, "user00=\"a\"\r\nuser01=\"\"\r\nuser02=\"c\""), 1);
    EXPECT_EQ(f.qp.userRecords.count, 1);
    EXPECT_STREQ(f.qp.userRecords.records[0].text, "a");
    EXPECT_EQ(GetRecords_File(&f.qp, &f.qp.eqnRecords, 1, "user00=\"a\""), 0);
    EXPECT_EQ(f.qp.eqnRecords.count, 0);
    EXPECT_EQ(GetRecords_File(&f.qp, &f.qp.eqnRecords, 3, "eqn00=\"a\""), -11);
}

TEST(SettingsFileFailures, ReadingReportsEachKindOfFailure) {
    TempDir dir;
    Facade f;
    f.qp.deviceType = 9;
    EXPECT_EQ(ReadInfoFile(&f.qp, ""), -10);
    EXPECT_EQ(ReadInfoFile(&f.qp, nullptr), -10);
    EXPECT_EQ(ReadInfoFile(&f.qp, dir.File("none.txt").c_str()), -102);
    EXPECT_EQ(ReadInfoFile(&f.qp, dir.Path().c_str()), -EISDIR);

    const std::string path = dir.File("sx.txt");
    Spit(path, std::string(kHeader) + "type=\"SX\"\r\nsn=\"X1\"\r\ncontr=\"3\"\r\n");
    f.qp.instInfo.units = 44;
    EXPECT_EQ(ReadInfoFile(&f.qp, path.c_str()), 1);
    EXPECT_STREQ(f.qp.instInfo.sn, "X1");
    EXPECT_EQ(f.qp.instInfo.units, 44);  // a missing number keeps its value
    EXPECT_EQ(f.qp.instInfo.validMask, 0x12u);

    struct {
        int type;
        int want;
    } cases[] = {{8, -30}, {3, -30}, {10, -30}, {0, -13}, {1, -13}, {5, -13}, {25, -13}, {-3, -13}};
    for (const auto& c : cases) {
        Facade g;
        g.qp.deviceType = static_cast<int8_t>(c.type);
        std::strcpy(g.qp.instInfo.sn, "kept");
        EXPECT_EQ(ReadInfoFile(&g.qp, path.c_str()), c.want) << "type " << c.type;
        EXPECT_STREQ(g.qp.instInfo.sn, "kept");
    }
}

TEST(SettingsFileSafety, NewFileIsPrivateAndAFailedWriteLeavesTheOldOne) {
    TempDir dir;
    const std::string path = dir.File("Device.settings.txt");
    Facade f;
    f.qp.deviceType = 14;
    std::strcpy(f.qp.instInfo.sn, "FIRST");
    ASSERT_EQ(WriteInfoFile(&f.qp, path.c_str()), 1);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const std::string first = Slurp(path);

    EXPECT_EQ(WriteInfoFile(&f.qp, ""), -10);
    EXPECT_EQ(WriteInfoFile(&f.qp, dir.File("no/such/folder.txt").c_str()), -ENOENT);

    // The writer dies after the new contents reached the disk but before
    // they replaced the old file.
    std::strcpy(f.qp.instInfo.sn, "SECOND");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SetInfoFileCommitHook([](const char*) { raise(SIGKILL); });
        WriteInfoFile(&f.qp, path.c_str());
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(Slurp(path), first);

    ASSERT_EQ(WriteInfoFile(&f.qp, path.c_str()), 1);
    EXPECT_NE(Slurp(path).find("sn=\"SECOND\""), std::string::npos);
}

TEST(SettingsFileSafety, AnEarlierFileIsKeptUnderItsTimestamp) {
    TempDir dir;
    const std::string path = dir.File("ORBIS 62 Sensor.settings.txt");
    Facade f;
    char kept[512];
    EXPECT_EQ(KeepEarlierInfoFile(&f.qp, path.c_str(), kept, sizeof kept), 0);

    Spit(path, "earlier copy");
    struct tm tm = {};
    tm.tm_year = 2026 - 1900;
    tm.tm_mon = 11;
    tm.tm_mday = 11;
    tm.tm_hour = 11;
    tm.tm_min = 30;
    tm.tm_isdst = -1;
    const time_t when = mktime(&tm);
    struct timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);

    ASSERT_EQ(KeepEarlierInfoFile(&f.qp, path.c_str(), kept, sizeof kept), 1);
    const std::string want = dir.File("ORBIS 62 Sensor.settings.20261211-113000.txt");
    EXPECT_EQ(std::string(kept), want);
    EXPECT_EQ(Slurp(want), "earlier copy");
    EXPECT_NE(access(path.c_str(), F_OK), 0);

    // A second copy from the same second gets its own name.
    Spit(path, "another");
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    ASSERT_EQ(KeepEarlierInfoFile(&f.qp, path.c_str(), kept, sizeof kept), 1);
    EXPECT_EQ(Slurp(want), "earlier copy");
    EXPECT_EQ(Slurp(kept), "another");
}
