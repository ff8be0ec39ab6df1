// The device catalogue: rows, support rules, the digital-sensor rule,
// version replies and sensor names.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "image/catalogue.h"

namespace {

DeviceInfo Fill(unsigned type, unsigned version)
{
    DeviceInfo d;
    std::memset(&d, 0x5A, sizeof d);
    FillDeviceInfo(static_cast<uint8_t>(type), version, &d);
    return d;
}

std::string Flags(const DeviceInfo& d)
{
    std::string s;
    for (uint8_t f : {d.saveSettings, d.eraseData, d.batteryCheck, d.serviceLogin, d.setClock, d.postInit,
                      d.calibrationReminder})
        s += static_cast<char>('0' + f);
    return s;
}

TEST(Catalogue, EveryRowOfTheCatalogue)
{
    struct Row {
        const char* name;
        const char* flags; // save, erase, battery, login, clock, post init, calibration
        bool eraseWarning;
        int restartMs;
        uint8_t wide;
        uint32_t flashStart, flashEnd, infoStart, infoSegments, infoSize, baud;
    };
    // clang-format off
    const Row rows[25] = {
        {"UNKNOWN",        "0000000", 0,  7000, 0, 0x1100, 0xF9FF,  0x1000, 2, 128,  9600},
        {"Lumo",           "1010110", 1,  1000, 0, 0x1100, 0xF9FF,  0x1000, 2, 128,  9600},
        {"LumoK",          "1010110", 1,  1000, 0, 0x1100, 0xF9FF,  0x1000, 2, 128,  9600},
        {"LumoZ",          "1110110", 1,  6000, 0, 0x1100, 0xF9FF,  0x1000, 2, 128,  9600},
        {"Veltris",        "1110010", 1,  6000, 0, 0x1100, 0xF9FF,  0x1000, 2, 128,  9600},
        {"Pellion",        "1100010", 1,  4000, 0, 0x1100, 0xF9FF,  0x1000, 2, 128,  9600},
        {"Sorvel Mini",    "1001000", 0,  8500, 0, 0x1100, 0xF9FF,  0x1000, 2, 128,  9600},
        {"Thermon H1",     "1110100", 1,  7000, 0, 0x1100, 0xF9FF,  0x1000, 2, 128,  9600},
        {"Lumenta RX-20",  "1100101", 1,  3000, 0, 0x1100, 0xF9FF,  0x1000, 2, 128,  9600},
        {"Stomex",         "1110101", 1,  7000, 0, 0x1100, 0xF9FF,  0x1000, 2, 128,  9600},
        {"Digital Sensor", "0000000", 0,  1000, 0, 0x8000, 0xF9FF,  0x1000, 3,  64,  9600},
        {"Tiberon QX",     "1100100", 1,  2000, 0, 0x1100, 0xF9FF,  0x1000, 2, 128,  9600},
        {"Sorvel Mark 2",  "1001000", 0,  2000, 0, 0x1100, 0xF9FF,  0x1000, 2, 128,  9600},
        {"HBX",            "1010000", 0,  7000, 0, 0x1100, 0xF9FF,  0x1000, 2, 128,  9600},
        {"Sendra",         "1110100", 1,  2000, 1, 0x2100, 0x1FF00, 0x1000, 3,  64, 57600},
        {"Sorvel Six",     "1101100", 1, 14000, 1, 0x2100, 0x1FF00, 0x1000, 3,  64, 57600},
        {"Sorvel ISX",     "1100100", 1,  9500, 1, 0x5C00, 0x3BFFF, 0x1800, 3, 128, 57600},
        {"DEWLIN",         "1001000", 0,  2000, 0, 0x1100, 0xF9FF,  0x1000, 2, 128,  9600},
        {"Cirro",          "1110110", 1,  6000, 0, 0x1100, 0xF9FF,  0x1000, 2, 128,  9600},
        {"Marlo Logger",   "1100110", 1,  6000, 0, 0x1100, 0xF9FF,  0x1000, 2, 128,  9600},
        {"Sorvel Base",    "1001000", 0,  2000, 0, 0x1100, 0xF9FF,  0x1000, 2, 128,  9600},
        {"fieldlet",       "1000110", 0,  6000, 1, 0x2100, 0x1FF00, 0x1000, 3,  64, 57600},
        {"Sorvel Six OPT", "1100100", 1,  8000, 1, 0x8000, 0x27FFF, 0x1800, 4, 128, 57600},
        {"MORAVI",         "1110100", 1,  8000, 1, 0x2100, 0x1FF00, 0x1000, 3,  64, 57600},
        {"FlowKit",        "1010000", 0,  2000, 0, 0x8000, 0xF9FF,  0x1000, 3,  64,  9600},
    };
    // clang-format on
    for (unsigned t = 0; t < 25; ++t) {
        SCOPED_TRACE("type " + std::to_string(t));
        const DeviceInfo d = Fill(t, 500);
        const Row& r = rows[t];
        EXPECT_EQ(d.type, t);
        EXPECT_STREQ(d.name, r.name);
        EXPECT_STREQ(DeviceTypeName(t), r.name);
        EXPECT_EQ(d.version, 500);
        EXPECT_STREQ(d.versionText, "");
        EXPECT_EQ(Flags(d), r.flags);
        EXPECT_EQ(DeviceTypeErasesWarning(t), r.eraseWarning);
        EXPECT_EQ(d.restartWaitMs, r.restartMs);
        EXPECT_EQ(d.wideAddress, r.wide);
        EXPECT_EQ(d.mainFlashStart, r.flashStart);
        EXPECT_EQ(d.mainFlashEnd, r.flashEnd);
        EXPECT_EQ(d.infoStart, r.infoStart);
        EXPECT_EQ(d.infoSegments, r.infoSegments);
        EXPECT_EQ(d.infoSegmentSize, r.infoSize);
        EXPECT_EQ(d.loaderBaud, r.baud);
    }
    EXPECT_STREQ(DeviceTypeName(25), "END");
    EXPECT_STREQ(DeviceTypeName(26), "UNKNOWN");
    EXPECT_FALSE(DeviceTypeErasesWarning(25));
}

TEST(Catalogue, UpdateSupportByTypeAndVersion)
{
    struct Case {
        unsigned type, version;
        uint8_t supported, window;
        uint32_t minV, maxV;
    };
    const Case cases[] = {
        {0, 500, 0, 0, 0, 0},     {1, 999, 0, 0, 0, 0},    {2, 0, 1, 0, 0, 0},      {5, 999, 0, 0, 0, 0},
        {3, 102, 0, 0, 0, 0},     {3, 103, 1, 0, 0, 0},    {4, 104, 0, 0, 0, 0},    {4, 105, 1, 0, 0, 0},
        {6, 117, 0, 0, 0, 0},     {6, 118, 1, 0, 0, 0},    {8, 149, 0, 0, 0, 0},    {8, 150, 1, 0, 0, 0},
        {12, 350, 0, 0, 0, 0},    {12, 351, 1, 0, 0, 0},   {14, 0, 1, 0, 0, 0},     {15, 150, 1, 1, 202, 999},
        {22, 100, 1, 1, 200, 299}, {24, 1, 1, 0, 0, 0},    {25, 500, 0, 0, 0, 0},   {30, 500, 0, 0, 0, 0},
        {255, 500, 0, 0, 0, 0},
    };
    for (unsigned t : {7u, 9u, 11u, 13u, 16u, 17u, 18u, 19u, 20u, 21u, 23u})
        EXPECT_EQ(Fill(t, 0).updateSupported, 1) << "type " << t;
    for (const auto& c : cases) {
        SCOPED_TRACE("type " + std::to_string(c.type) + " version " + std::to_string(c.version));
        const DeviceInfo d = Fill(c.type, c.version);
        EXPECT_EQ(d.updateSupported, c.supported);
        EXPECT_EQ(d.versionWindow, c.window);
        EXPECT_EQ(d.minVersion, c.minV);
        EXPECT_EQ(d.maxVersion, c.maxV);
        if (c.type > 24) {
            EXPECT_EQ(d.type, 0);
            EXPECT_STREQ(d.name, "UNKNOWN");
            EXPECT_EQ(d.restartWaitMs, 7000);
        }
    }
    // Large versions compare unsigned.
    EXPECT_EQ(Fill(3, 0xFFFFFFFFu).updateSupported, 1);
}

TEST(Catalogue, DigitalSensorRule)
{
    struct Case {
        unsigned sensorType, carried;
        uint8_t supported, wide;
        uint32_t flashStart, flashEnd, infoStart, infoSegments, infoSize;
        uint8_t window;
        uint32_t minV, maxV;
    };
    // clang-format off
    const Case cases[] = {
        { 92, 406, 1, 1, 0x8000, 0x88000, 0x1800, 4, 128, 0,   0,   0},
        { 93, 406, 1, 1, 0x8000, 0x88000, 0x1800, 4, 128, 0,   0,   0},
        {103, 406, 1, 1, 0x4400, 0x24400, 0x1800, 4, 128, 0,   0,   0},
        {264, 406, 1, 1, 0x4400, 0x24400, 0x1800, 4, 128, 0,   0,   0},
        { 94, 406, 1, 0, 0x8000, 0xF9FF,  0x1000, 3,  64, 0,   0,   0},
        {263, 406, 1, 0, 0x8000, 0xF9FF,  0x1000, 3,  64, 0,   0,   0},
        {107, 406, 1, 0, 0x8000, 0xF9FF,  0x1000, 3,  64, 1, 406, 999},
        {112, 406, 1, 0, 0x8000, 0xF9FF,  0x1000, 3,  64, 1, 388, 999},
        {119, 406, 1, 0, 0x8000, 0xF9FF,  0x1000, 3,  64, 1, 100, 999},
        {120, 250, 1, 0, 0x8000, 0xF9FF,  0x1000, 3,  64, 1, 250, 999},
        {122, 406, 1, 0, 0x8000, 0xF9FF,  0x1000, 3,  64, 1, 250, 999},
        {122, 249, 1, 0, 0x1100, 0xF9FF,  0x1000, 2, 128, 1, 100, 249},
        {124, 406, 1, 0, 0x1100, 0xF9FF,  0x1000, 2, 128, 0,   0,   0},
        {127, 406, 1, 0, 0x1100, 0xF9FF,  0x1000, 2, 128, 0,   0,   0},
        // Unknown sensor types are refused and keep the type-10 row.
        {118, 406, 0, 0, 0x1100, 0xF9FF,  0x1000, 2, 128, 0,   0,   0},
        {102, 406, 0, 0, 0x1100, 0xF9FF,  0x1000, 2, 128, 0,   0,   0},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE("sensor " + std::to_string(c.sensorType) + " carried " + std::to_string(c.carried));
        DeviceInfo d;
        FillDeviceInfoFor(10, 410, c.sensorType, c.carried, &d);
        EXPECT_EQ(d.type, 10);
        EXPECT_STREQ(d.name, "Digital Sensor");
        EXPECT_EQ(d.updateSupported, c.supported);
        EXPECT_EQ(d.wideAddress, c.wide);
        EXPECT_EQ(d.mainFlashStart, c.flashStart);
        EXPECT_EQ(d.mainFlashEnd, c.flashEnd);
        EXPECT_EQ(d.infoStart, c.infoStart);
        EXPECT_EQ(d.infoSegments, c.infoSegments);
        EXPECT_EQ(d.infoSegmentSize, c.infoSize);
        EXPECT_EQ(d.loaderBaud, 9600u);
        EXPECT_EQ(d.versionWindow, c.window);
        EXPECT_EQ(d.minVersion, c.minV);
        EXPECT_EQ(d.maxVersion, c.maxV);
    }
    // The sensor type only matters for type 10.
    DeviceInfo reader;
    FillDeviceInfoFor(14, 100, 92, 406, &reader);
    EXPECT_EQ(reader.mainFlashEnd, 0x1FF00u);
}

TEST(Catalogue, ThisBuildTargetsTheOrbis62)
{
    if (!QUARBSL_DEFAULT_FIRMWARE)
        GTEST_SKIP() << "this build embeds another firmware file";
    EXPECT_EQ(carriedFirmwareVersion, 406u);
    const DeviceInfo d = Fill(10, 405);
    EXPECT_EQ(d.updateSupported, 1);
    EXPECT_EQ(d.versionWindow, 1);
    EXPECT_EQ(d.minVersion, 406u);
    EXPECT_EQ(d.maxVersion, 999u);
    EXPECT_EQ(d.mainFlashStart, 0x8000u);
    EXPECT_EQ(d.mainFlashEnd, 0xF9FFu);
    EXPECT_EQ(d.infoStart, 0x1000u);
    EXPECT_EQ(d.infoSegments, 3u);
    EXPECT_EQ(d.infoSegmentSize, 64u);
    EXPECT_EQ(d.loaderBaud, 9600u);
}

TEST(Catalogue, VersionReplies)
{
    struct Case {
        const char* reply;
        int result;
        unsigned type;
        int version;
        const char* versionText;
    };
    const Case cases[] = {
        {"LUMOZ 3.02", 1, 3, 302, "LUMOZ 3.02"},
        {"lumoz 3.02", 1, 3, 302, "lumoz 3.02"},
        {"  SND   2.10\r\n", 1, 14, 210, "  SND   2.10\r\n"},
        {"SSIX 3.2", 1, 15, 320, "SSIX 3.2"},
        {"BRENNA-TX 4.06 rev B", 1, 10, 406, "BRENNA-TX 4.06 rev B"},
        {"FlowKit 1.234", 1, 24, 123, "FlowKit 1.234"},
        {"SSIXOPT 2.5x", 1, 22, 250, "SSIXOPT 2.5x"},
        {"FIELDLET 12.34 and a long tail", 1, 21, 1234, "FIELDLET 12.34 and a "},
        {"FOO 1.00", -30, 0, 100, "FOO 1.00"},
        {"UNKNOWN 1.00", -30, 0, 100, "UNKNOWN 1.00"},
        {"END 1.00", -30, 0, 100, "END 1.00"},
        {" . 3.02", -30, 0, 302, " . 3.02"},
        {"LUMO 99999999999999999999.99", 1, 1, 2147483647, "LUMO 9999999999999999"},
        // No full stop: nothing identified.
        {"LUMOZ 3", 1, 0, 0, "LUMOZ 3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        DeviceInfo d;
        std::memset(&d, 0x5A, sizeof d);
        EXPECT_EQ(ParseVersionReply(c.reply, &d), c.result);
        EXPECT_EQ(d.type, c.type);
        EXPECT_EQ(d.version, c.version);
        EXPECT_STREQ(d.versionText, c.versionText);
        EXPECT_STREQ(d.name, DeviceTypeName(c.type));
        if (c.type == 0) {
            EXPECT_EQ(d.updateSupported, 0);
        }
    }

    // Unreadable replies leave the record as it was.
    for (const char* reply : {"LUMOZ .", "LUMOZ 3.", "LUMOZ 3.x", ".", "LUMOZ x.02", ""}) {
        SCOPED_TRACE(reply);
        DeviceInfo d, before;
        std::memset(&d, 0x5A, sizeof d);
        std::memcpy(&before, &d, sizeof d);
        EXPECT_EQ(ParseVersionReply(reply, &d), *reply ? -30 : -10);
        EXPECT_EQ(std::memcmp(&d, &before, sizeof d), 0);
    }
    DeviceInfo d;
    EXPECT_EQ(ParseVersionReply(nullptr, &d), -10);
    EXPECT_EQ(ParseVersionReply("LUMOZ 3.02", nullptr), -10);
}

TEST(Catalogue, SensorNames)
{
    struct Case {
        unsigned type;
        const char* name;
    };
    const Case cases[] = {
        {92, "ZEPHRA 3 Anemometer"}, {107, "ORBIS 62 Sensor"},   {113, "FZ-4 Sensor"},
        {122, "K7W Sensor"},         {124, "BRENNA-TX Sensor"},  {126, "BRENNA-TX Sensor"},
        {127, "BRENNA-TX Sensor"},   {125, "BR-MV Sensor"},      {261, "WPX-1 WPX-3 ORBIS 62"},
        {264, "ORBIS 5x Family"},    {118, "Unknown Sensor (type 118)"},
        {263, "Unknown Sensor (type 263)"}, {4294967295u, "Unknown Sensor (type 4294967295)"},
    };
    for (const auto& c : cases) {
        char out[kSensorNameSize];
        std::memset(out, 'x', sizeof out);
        SensorName(c.type, out);
        EXPECT_STREQ(out, c.name);
    }
    char small[8];
    SensorName(107, small, sizeof small);
    EXPECT_STREQ(small, "ORBIS 6");
}

} // namespace
