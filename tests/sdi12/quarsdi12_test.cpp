// SDI-12 sensor access over a real pseudo-terminal: the simulated reader in
// relay mode with a simulated sensor behind it.
#include "sdi12/quarsdi12.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "diag/quarlog.h"
#include "instrument/kalen_protocol.h"
#include "serial/quarserial.h"
#include "sim/pty_runner.h"
#include "sim/reader.h"
#include "sim/sdi_sensor.h"

namespace {

std::unique_ptr<qsim::Device> Chain(const qsim::SensorConfig& sensor) {
    auto reader = std::make_unique<qsim::Reader>(qsim::ReaderConfig{});
    reader->Attach(std::make_unique<qsim::SdiSensor>(sensor));
    return reader;
}

// A sensor behind the reader, the reader relaying, and the SDI-12 access on
// the host's open port.
class SensorRig {
public:
    explicit SensorRig(const qsim::SensorConfig& sensor, const char* silence = nullptr)
        : runner_(Chain(sensor)) {
        if (silence) runner_.Context().faults.AddSilence(silence);
        char tmpl[] = "/tmp/quar_sdi_log_XXXXXX";
        int fd = mkstemp(tmpl);
        if (fd >= 0) close(fd);
        logPath_ = tmpl;
        log_ = std::make_unique<QuarLog>(logPath_.c_str(), 30, true);
        link_ = std::make_unique<KALEN_Protocol>(log_.get());
        sdi_ = std::make_unique<QuarSDI12>(log_.get(), link_.get());
        std::string error;
        started_ = runner_.Start(&error);
        opened_ = started_ && link_->QSOpen(runner_.PortName().c_str(), 9600) >= 0;
        if (opened_) {
            int written = 0;
            link_->QSWrite("[", 1, &written);
            SleepMs(50);
        }
    }
    ~SensorRig() {
        link_->QSClose();
        runner_.Stop();
        std::remove(logPath_.c_str());
    }

    bool Ready() const { return opened_; }
    QuarSDI12& Sdi() { return *sdi_; }
    qsim::PtyRunner& Runner() { return runner_; }
    qsim::SensorConfig SensorNow() {
        return runner_.WithDevices([](qsim::Device& head) {
            return static_cast<qsim::SdiSensor*>(head.Downstream())->Config();
        });
    }
    std::string Log() const {
        std::ifstream in(logPath_, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

private:
    qsim::PtyRunner runner_;
    std::string logPath_;
    std::unique_ptr<QuarLog> log_;
    std::unique_ptr<KALEN_Protocol> link_;
    std::unique_ptr<QuarSDI12> sdi_;
    bool started_ = false;
    bool opened_ = false;
};

qsim::SensorConfig Sensor(int type, int version, std::string calX4 = "", std::string calXa = "") {
    qsim::SensorConfig c;
    c.type = type;
    c.version = version;
    c.newVersion = version;
    c.calX4 = std::move(calX4);
    c.calXa = std::move(calXa);
    return c;
}

}  // namespace

TEST(QuarSDI12Info, ReadsIdentityTypeSerialAndCalibration) {
    qsim::SensorConfig c = Sensor(107, 356, "1.0 2.0 3.0", "1 1.1 1.2 1.3 1.4");
    c.serial = "0712345";
    SensorRig rig(c);
    ASSERT_TRUE(rig.Ready());
    QuarSDI12& sdi = rig.Sdi();
    ASSERT_EQ(sdi.SDIGetSensorInfo(), 1);
    EXPECT_EQ(sdi.address, '0');
    EXPECT_EQ(std::string(sdi.info).rfind("QUARNEL OB62  356", 0), 0u) << sdi.info;
    EXPECT_EQ(sdi.sensorVersion, 356u);
    EXPECT_EQ(sdi.sensorType, 107);
    EXPECT_FALSE(sdi.numericType);
    EXPECT_STREQ(sdi.serialNumber, "0712345");
    EXPECT_STREQ(sdi.calX4, "1.0 2.0 3.0");
    EXPECT_STREQ(sdi.calXa, "1 1.1 1.2 1.3 1.4");
    EXPECT_NE(rig.Log().find("SDIGetSensorCalibration found calibration Xa \"1 1.1 1.2 1.3 1.4\""),
              std::string::npos);
}

TEST(QuarSDI12Info, NumericTypeAndMissingSerialNumber) {
    qsim::SensorConfig c = Sensor(107, 406, "5 6");
    c.numericType = true;
    c.serial = "";
    SensorRig rig(c);
    ASSERT_TRUE(rig.Ready());
    QuarSDI12& sdi = rig.Sdi();
    EXPECT_EQ(sdi.SDIGetSensorType(), 1);
    EXPECT_TRUE(sdi.numericType);
    EXPECT_EQ(sdi.sensorType, 107);
    EXPECT_EQ(sdi.SDIGetSensorSN(), 0);
    EXPECT_STREQ(sdi.serialNumber, "");
}

TEST(QuarSDI12Calibration, DefaultsAndCorrectionsBySensorTypeAndVersion) {
    const char* kOld = "1 1.44832 1.91683 2.35961 2.991";
    const char* k356 = "1 1.39619 2.03054 2.54573 2.9907";
    const char* k353 = "1 1.4724 2.03944 2.5652 2.9907";
    struct Case {
        int type, version;
        const char* x4;
        const char* xa;
        const char* wantX4;
        const char* wantXa;
        const char* word;
    } cases[] = {
        {122, 420, "-1 2.5 -1 3.1 -1", "", "+0 2.5 +0 3.1 +0", "", "found"},
        {120, 380, "-10 2", "1 1.5 2.0 2.5 3.0", "-10 2", k356, "set"},
        {120, 340, "1", "", "1", kOld, "set"},
        {122, 380, "1", kOld, "1", kOld, "found"},
        {119, 360, "1", "", "1", k353, "set"},
        {119, 360, "1", "1 1.5 2.0 2.5 3.0", "1", k353, "set"},
        {119, 350, "1", "", "1", kOld, "set"},
        {119, 410, "1", "1 2", "1", "1 2", "found"},
        {107, 380, "-1 2", "", "-1 2", "", "found"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " version " << c.version);
        SensorRig rig(Sensor(c.type, c.version, c.x4, c.xa));
        ASSERT_TRUE(rig.Ready());
        QuarSDI12& sdi = rig.Sdi();
        sdi.sensorType = static_cast<uint8_t>(c.type);
        sdi.sensorVersion = static_cast<uint32_t>(c.version);
        ASSERT_EQ(sdi.SDIGetSensorCalibration(), 1);
        EXPECT_STREQ(sdi.calX4, c.wantX4);
        EXPECT_STREQ(sdi.calXa, c.wantXa);
        const std::string line = std::string("SDIGetSensorCalibration ") + c.word + " calibration Xa \"" +
                                 c.wantXa + "\"";
        EXPECT_NE(rig.Log().find(line), std::string::npos) << line;
    }
}

TEST(QuarSDI12Calibration, OldDrainGaugeCalibrationIsConverted) {
    qsim::SensorConfig c = Sensor(117, 339, "0.5 100 300 0 10 20 0 0 25");
    SensorRig rig(c);
    ASSERT_TRUE(rig.Ready());
    QuarSDI12& sdi = rig.Sdi();
    ASSERT_EQ(sdi.SDIGetSensorInfo(), 1);
    EXPECT_STREQ(sdi.calX4, "0.500 -5.000000e+02 5.000000e+00 0.000000e+00 15.0 25.0");

    sdi.sensorVersion = 340;
    std::strcpy(sdi.calX4, "0.5 100 300 0 10 20 0 0 25");
    EXPECT_EQ(sdi.SDIConvertCalibration(), 0);
    EXPECT_STREQ(sdi.calX4, "0.5 100 300 0 10 20 0 0 25");
    // Equal points give no slope: nothing is converted.
    sdi.sensorVersion = 300;
    std::strcpy(sdi.calX4, "0.5 100 100 0 10 20 0 0 25");
    EXPECT_EQ(sdi.SDIConvertCalibration(), 0);
    EXPECT_STREQ(sdi.calX4, "0.5 100 100 0 10 20 0 0 25");
}

TEST(QuarSDI12Command, IgnoredCommandAlternatesTheLeadCharacterThenGivesUp) {
    SensorRig rig(Sensor(107, 406, "1 2"), "sdi.X4");
    ASSERT_TRUE(rig.Ready());
    QuarSDI12& sdi = rig.Sdi();
    sdi.timeoutMs = 300;
    rig.Runner().ClearTranscript();
    char buf[64] = "stale";
    unsigned len = sizeof buf;
    EXPECT_EQ(sdi.SDISendCommand("?X4!", buf, &len, nullptr), -22);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(len, 0u);
    const std::string probe = "|||?!";
    EXPECT_EQ(rig.Runner().Received(), "|?X4!" + probe + "?X4!" + probe + "|?X4!" + probe + "?X4!" +
                                           probe + "|?X4!" + probe);
}

TEST(QuarSDI12Command, NoSensorAnsweringGivesNoSensor) {
    SensorRig rig(Sensor(107, 406), "sdi");
    ASSERT_TRUE(rig.Ready());
    rig.Sdi().timeoutMs = 300;
    EXPECT_EQ(rig.Sdi().SDIGetSensorVersion(), -21);
    EXPECT_EQ(rig.Sdi().SDICheckBinary(), -21);
}

TEST(QuarSDI12Writes, RestoreWritesSerialAddressAndBothCalibrations) {
    qsim::SensorConfig c = Sensor(107, 406, "", "");
    c.serial = "";
    SensorRig rig(c);
    ASSERT_TRUE(rig.Ready());
    QuarSDI12& sdi = rig.Sdi();
    sdi.sensorType = 107;
    sdi.address = '4';
    std::strcpy(sdi.serialNumber, "X-99");
    std::strcpy(sdi.calX4, "0.25 9.5");
    std::strcpy(sdi.calXa, "1 2 3");
    EXPECT_EQ(sdi.SDISetSensorInfo(), 1);
    qsim::SensorConfig now = rig.SensorNow();
    EXPECT_EQ(now.address, '4');
    EXPECT_EQ(now.serial, "X-99");
    EXPECT_EQ(now.calX4, "0.25 9.5");
    EXPECT_EQ(now.calXa, "1 2 3");

    // The WPX-3 keeps its second calibration: it is read, never written.
    sdi.sensorType = 108;
    std::strcpy(sdi.calXa, "never");
    EXPECT_EQ(sdi.SDISetSensorCalibration(nullptr), 1);
    EXPECT_EQ(rig.SensorNow().calXa, "1 2 3");

    // Nothing to write: skipped, nothing sent.
    rig.Runner().ClearTranscript();
    std::strcpy(sdi.calX4, "");
    std::strcpy(sdi.serialNumber, "");
    EXPECT_EQ(sdi.SDISetSensorCalibration(nullptr), 0);
    EXPECT_EQ(sdi.SDISetSensorSN(), 0);
    EXPECT_EQ(rig.Runner().Received(), "");
}

TEST(QuarSDI12Type, FamiliesResolveToTheSensorsOwnType) {
    struct Case {
        int sensorType;
        bool numeric;
        unsigned code;
        int want;
        const char* sent;  // the type command on the wire, or null for none
    } cases[] = {
        {107, false, 261, -30, nullptr},
        {121, false, 261, 1, "?X9 y!"},
        {121, true, 261, 1, "?X9 121!"},
        {107, false, 122, 1, "?X9 z!"},
        {103, true, 264, 1, "?X9 103!"},
        {107, false, 0, -11, nullptr},
        {107, false, 255, -11, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.sensorType << " code " << c.code);
        qsim::SensorConfig sc = Sensor(c.sensorType, 406);
        sc.numericType = c.numeric;
        SensorRig rig(sc);
        ASSERT_TRUE(rig.Ready());
        QuarSDI12& sdi = rig.Sdi();
        ASSERT_EQ(sdi.SDIGetSensorType(), 1);
        rig.Runner().ClearTranscript();
        EXPECT_EQ(sdi.SDISetSensorType(c.code), c.want);
        const std::string sent = rig.Runner().Received();
        if (c.sent) {
            EXPECT_NE(sent.find(c.sent), std::string::npos) << sent;
            EXPECT_EQ(rig.SensorNow().type, c.code > 255 ? c.sensorType : int(c.code));
        } else {
            EXPECT_EQ(sent.find("X9"), std::string::npos) << sent;
        }
    }
}

TEST(QuarSDI12Loader, InvokeAndSelfCheck) {
    {
        qsim::SensorConfig c = Sensor(107, 406);
        c.hasLoader = false;
        SensorRig rig(c);
        ASSERT_TRUE(rig.Ready());
        rig.Runner().ClearTranscript();
        EXPECT_EQ(rig.Sdi().SDIInvokeQuarBSL(), -82);
        EXPECT_EQ(rig.Runner().Received(), "|?B!");
        EXPECT_EQ(rig.Sdi().retries, 5u);
        EXPECT_EQ(rig.Sdi().timeoutMs, 2000u);
        EXPECT_EQ(rig.Sdi().SDICheckBinary(), 1);
    }
    {
        qsim::SensorConfig c = Sensor(107, 406);
        c.corruptPost = true;
        SensorRig rig(c);
        ASSERT_TRUE(rig.Ready());
        EXPECT_EQ(rig.Sdi().SDICheckBinary(), -66);
        rig.Runner().ClearTranscript();
        EXPECT_EQ(rig.Sdi().SDIInvokeQuarBSL(), 1);
        EXPECT_EQ(rig.Runner().Received(), "|?B!]P");
        EXPECT_TRUE(rig.Runner().WithDevices([](qsim::Device& head) {
            return static_cast<qsim::SdiSensor*>(head.Downstream())->GetLoader().Running();
        }));
    }
}
