#include "image/catalogue.h"

#include <cstdio>
#include <cstring>

#include "image/firmware_image.h"

const char* const deviceTypeNames[26] = {
    "UNKNOWN", "Lumo", "LumoK", "LumoZ", "Veltris", "Pellion", "Sorvel Mini",
    "Thermon H1", "Lumenta RX-20", "Stomex", "Digital Sensor", "Tiberon QX",
    "Sorvel Mark 2", "HBX", "Sendra", "Sorvel Six", "Sorvel ISX", "DEWLIN",
    "Cirro", "Marlo Logger", "Sorvel Base", "fieldlet", "Sorvel Six OPT",
    "MORAVI", "FlowKit", "END",
};

namespace {

constexpr unsigned kRowCount = 25; // types 0..24

struct StepRow {
    uint8_t saveSettings, eraseData, eraseWarning, batteryCheck, serviceLogin, setClock, postInit,
        calibrationReminder;
    int32_t restartWaitMs;
};

// clang-format off
const StepRow stepRows[kRowCount] = {
    //  save erase warn batt login clock post calib  restart ms
    /*  0 */ {0, 0, 0, 0, 0, 0, 0, 0,  7000},
    /*  1 */ {1, 0, 1, 1, 0, 1, 1, 0,  1000},
    /*  2 */ {1, 0, 1, 1, 0, 1, 1, 0,  1000},
    /*  3 */ {1, 1, 1, 1, 0, 1, 1, 0,  6000},
    /*  4 */ {1, 1, 1, 1, 0, 0, 1, 0,  6000},
    /*  5 */ {1, 1, 1, 0, 0, 0, 1, 0,  4000},
    /*  6 */ {1, 0, 0, 0, 1, 0, 0, 0,  8500},
    /*  7 */ {1, 1, 1, 1, 0, 1, 0, 0,  7000},
    /*  8 */ {1, 1, 1, 0, 0, 1, 0, 1,  3000},
    /*  9 */ {1, 1, 1, 1, 0, 1, 0, 1,  7000},
    /* 10 */ {0, 0, 0, 0, 0, 0, 0, 0,  1000},
    /* 11 */ {1, 1, 1, 0, 0, 1, 0, 0,  2000},
    /* 12 */ {1, 0, 0, 0, 1, 0, 0, 0,  2000},
    /* 13 */ {1, 0, 0, 1, 0, 0, 0, 0,  7000},
    /* 14 */ {1, 1, 1, 1, 0, 1, 0, 0,  2000},
    /* 15 */ {1, 1, 1, 0, 1, 1, 0, 0, 14000},
    /* 16 */ {1, 1, 1, 0, 0, 1, 0, 0,  9500},
    /* 17 */ {1, 0, 0, 0, 1, 0, 0, 0,  2000},
    /* 18 */ {1, 1, 1, 1, 0, 1, 1, 0,  6000},
    /* 19 */ {1, 1, 1, 0, 0, 1, 1, 0,  6000},
    /* 20 */ {1, 0, 0, 0, 1, 0, 0, 0,  2000},
    /* 21 */ {1, 0, 0, 0, 0, 1, 1, 0,  6000},
    /* 22 */ {1, 1, 1, 0, 0, 1, 0, 0,  8000},
    /* 23 */ {1, 1, 1, 1, 0, 1, 0, 0,  8000},
    /* 24 */ {1, 0, 0, 1, 0, 0, 0, 0,  2000},
};
// clang-format on

struct LoaderLayout {
    uint8_t wideAddress;
    uint32_t mainFlashStart, mainFlashEnd, infoStart, infoSegments, infoSegmentSize, loaderBaud;
};

// Types without a row here have the layout of type 0.
const LoaderLayout defaultLayout = {0, 0x1100, 0xF9FF, 0x1000, 2, 128, 9600};

// clang-format off
const struct { unsigned type; LoaderLayout layout; } layoutRows[] = {
    //          wide  flash start  flash end  info    segs  size  baud
    {15, {1, 0x2100, 0x1FF00, 0x1000, 3,  64, 57600}},
    {16, {1, 0x5C00, 0x3BFFF, 0x1800, 3, 128, 57600}},
    {21, {1, 0x2100, 0x1FF00, 0x1000, 3,  64, 57600}},
    {22, {1, 0x8000, 0x27FFF, 0x1800, 4, 128, 57600}},
    {23, {1, 0x2100, 0x1FF00, 0x1000, 3,  64, 57600}},
    {24, {0, 0x8000, 0x0F9FF, 0x1000, 3,  64,  9600}},
};
// clang-format on

// The reader's loader is not the one its catalogue row describes.
const LoaderLayout readerLayout = {1, 0x2100, 0x1FF00, 0x1000, 3, 64, 57600};

enum class Support { No, Yes, FromVersion, Window, Reader, DigitalSensor };

// clang-format off
const struct { unsigned type; Support rule; unsigned minVersion, maxVersion; } supportRules[] = {
    { 0, Support::No, 0, 0},
    { 1, Support::No, 0, 0},
    { 2, Support::Yes, 0, 0},
    { 3, Support::FromVersion, 103, 0},
    { 4, Support::FromVersion, 105, 0},
    { 5, Support::No, 0, 0},
    { 6, Support::FromVersion, 118, 0},
    { 7, Support::Yes, 0, 0},
    { 8, Support::FromVersion, 150, 0},
    { 9, Support::Yes, 0, 0},
    {10, Support::DigitalSensor, 0, 0},
    {11, Support::Yes, 0, 0},
    {12, Support::FromVersion, 351, 0},
    {13, Support::Yes, 0, 0},
    {14, Support::Reader, 0, 0},
    {15, Support::Window, 202, 999},
    {16, Support::Yes, 0, 0},
    {17, Support::Yes, 0, 0},
    {18, Support::Yes, 0, 0},
    {19, Support::Yes, 0, 0},
    {20, Support::Yes, 0, 0},
    {21, Support::Yes, 0, 0},
    {22, Support::Window, 200, 299},
    {23, Support::Yes, 0, 0},
    {24, Support::Yes, 0, 0},
};
// clang-format on

// Loader layouts of the digital sensors (the baud rate stays that of type 10).
struct SensorLayout {
    uint8_t wideAddress;
    uint32_t mainFlashStart, mainFlashEnd, infoStart, infoSegments, infoSegmentSize;
};
const SensorLayout wide88000 = {1, 0x8000, 0x88000, 0x1800, 4, 128};
const SensorLayout wide24400 = {1, 0x4400, 0x24400, 0x1800, 4, 128};
const SensorLayout flash8000 = {0, 0x8000, 0xF9FF, 0x1000, 3, 64};
const SensorLayout flash1100 = {0, 0x1100, 0xF9FF, 0x1000, 2, 128};

enum class Carried { Any, AtLeast250, Below250 };

// clang-format off
const struct {
    unsigned sensorTypes[14]; // zero-terminated
    Carried when;             // condition on the version this build carries
    const SensorLayout* layout;
    unsigned minVersion, maxVersion; // both 0: no version window
} sensorRules[] = {
    {{92, 93},                                                        Carried::Any,        &wide88000, 0, 0},
    {{103, 104, 264},                                                 Carried::Any,        &wide24400, 0, 0},
    {{94, 95, 108, 109, 113, 116, 117, 121, 123, 260, 261, 262, 263}, Carried::Any,        &flash8000, 0, 0},
    {{107},                                                           Carried::Any,        &flash8000, 406, 999},
    {{112},                                                           Carried::Any,        &flash8000, 388, 999},
    {{119},                                                           Carried::Any,        &flash8000, 100, 999},
    {{120, 122},                                                      Carried::AtLeast250, &flash8000, 250, 999},
    {{120, 122},                                                      Carried::Below250,   &flash1100, 100, 249},
    {{124, 125, 126, 127},                                            Carried::Any,        &flash1100, 0, 0},
};

const struct { unsigned sensorType; const char* name; } sensorNames[] = {
    { 92, "ZEPHRA 3 Anemometer"},  {116, "KLT Sensor"},
    { 93, "ZEPHRA 9 Sensor Suite"},{117, "DG-9 Drain Gauge"},
    { 94, "PL-8 Rain Gauge"},      {119, "N4Q Sensor"},
    { 95, "WN-7 Anemometer"},      {120, "K7V Sensor"},
    {102, "HM-6 Sensor"},          {121, "WPX-1 Sensor"},
    {103, "ORBIS 52 Sensor"},      {122, "K7W Sensor"},
    {104, "ORBIS 51 Sensor"},      {123, "ZEPHRA 6 Sensor"},
    {107, "ORBIS 62 Sensor"},      {124, "BRENNA-TX Sensor"},
    {108, "WPX-3 Sensor"},         {126, "BRENNA-TX Sensor"},
    {109, "FZ-4R Sensor"},         {127, "BRENNA-TX Sensor"},
    {112, "HM-5 Sensor"},          {125, "BR-MV Sensor"},
    {113, "FZ-4 Sensor"},          {260, "NRX Family"},
                                   {261, "WPX-1 WPX-3 ORBIS 62"},
                                   {262, "KLT Family"},
                                   {264, "ORBIS 5x Family"},
};
// clang-format on

void ApplyLayout(const LoaderLayout& l, DeviceInfo* info)
{
    info->wideAddress = l.wideAddress;
    info->mainFlashStart = l.mainFlashStart;
    info->mainFlashEnd = l.mainFlashEnd;
    info->infoStart = l.infoStart;
    info->infoSegments = l.infoSegments;
    info->infoSegmentSize = l.infoSegmentSize;
    info->loaderBaud = l.loaderBaud;
}

void SetWindow(unsigned minVersion, unsigned maxVersion, DeviceInfo* info)
{
    info->versionWindow = (minVersion | maxVersion) != 0;
    info->minVersion = minVersion;
    info->maxVersion = maxVersion;
}

void ApplySensorRule(unsigned sensorType, unsigned carriedVersion, DeviceInfo* info)
{
    info->updateSupported = 1;
    for (const auto& rule : sensorRules) {
        if ((rule.when == Carried::AtLeast250 && carriedVersion < 250) ||
            (rule.when == Carried::Below250 && carriedVersion >= 250))
            continue;
        for (const unsigned* t = rule.sensorTypes; *t != 0; ++t) {
            if (*t != sensorType)
                continue;
            const SensorLayout& l = *rule.layout;
            info->wideAddress = l.wideAddress;
            info->mainFlashStart = l.mainFlashStart;
            info->mainFlashEnd = l.mainFlashEnd;
            info->infoStart = l.infoStart;
            info->infoSegments = l.infoSegments;
            info->infoSegmentSize = l.infoSegmentSize;
            SetWindow(rule.minVersion, rule.maxVersion, info);
            return;
        }
    }
    info->updateSupported = 0;
}

void CopyText(char* dst, std::size_t size, const char* src)
{
    std::snprintf(dst, size, "%s", src);
}

} // namespace

const char* DeviceTypeName(unsigned type)
{
    return type <= kDeviceTypeEnd ? deviceTypeNames[type] : deviceTypeNames[0];
}

bool DeviceTypeErasesWarning(unsigned type)
{
    return type < kRowCount && stepRows[type].eraseWarning != 0;
}

void FillDeviceInfoFor(uint8_t type, unsigned version, unsigned sensorType, unsigned carriedVersion,
                       DeviceInfo* info)
{
    if (info == nullptr)
        return;
    const unsigned t = type < kRowCount ? type : 0;
    std::memset(info, 0, sizeof *info);
    info->type = static_cast<uint8_t>(t);
    info->version = static_cast<int32_t>(version);
    CopyText(info->name, sizeof info->name, deviceTypeNames[t]);

    const StepRow& row = stepRows[t];
    info->saveSettings = row.saveSettings;
    info->eraseData = row.eraseData;
    info->batteryCheck = row.batteryCheck;
    info->serviceLogin = row.serviceLogin;
    info->setClock = row.setClock;
    info->restartWaitMs = row.restartWaitMs;
    info->postInit = row.postInit;
    info->calibrationReminder = row.calibrationReminder;
    ApplyLayout(defaultLayout, info);
    for (const auto& l : layoutRows)
        if (l.type == t)
            ApplyLayout(l.layout, info);

    Support support = Support::No;
    unsigned minVersion = 0, maxVersion = 0;
    for (const auto& r : supportRules) {
        if (r.type == t) {
            support = r.rule;
            minVersion = r.minVersion;
            maxVersion = r.maxVersion;
        }
    }
    switch (support) {
    case Support::No:
        info->updateSupported = 0;
        break;
    case Support::Yes:
        info->updateSupported = 1;
        break;
    case Support::FromVersion:
        info->updateSupported = version >= minVersion;
        break;
    case Support::Window:
        info->updateSupported = 1;
        SetWindow(minVersion, maxVersion, info);
        break;
    case Support::Reader:
        info->updateSupported = 1;
        ApplyLayout(readerLayout, info);
        break;
    case Support::DigitalSensor:
        ApplySensorRule(sensorType, carriedVersion, info);
        break;
    }
}

void FillDeviceInfo(uint8_t type, unsigned version, DeviceInfo* info)
{
    FillDeviceInfoFor(type, version, kDefaultSensorType, carriedFirmwareVersion, info);
}

namespace {

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Reads "<word> <major>.<d><d>" the way a scanf of "%26s %d.%1d%1d" does and
// returns how many of the four items were read. The major number saturates
// instead of overflowing.
int ScanVersionReply(const char* s, char word[27], long long* major, int* d1, int* d2)
{
    while (IsSpace(*s))
        ++s;
    int n = 0;
    while (*s != '\0' && !IsSpace(*s) && n < 26)
        word[n++] = *s++;
    word[n] = '\0';
    if (n == 0)
        return 0;
    while (IsSpace(*s))
        ++s;
    bool negative = false;
    if (*s == '+' || *s == '-')
        negative = *s++ == '-';
    if (!IsDigit(*s))
        return 1;
    long long v = 0;
    for (; IsDigit(*s); ++s)
        if (v < 100000000000LL)
            v = v * 10 + (*s - '0');
    *major = negative ? -v : v;
    if (*s++ != '.')
        return 2;
    while (IsSpace(*s))
        ++s;
    if (!IsDigit(*s))
        return 2;
    *d1 = *s++ - '0';
    while (IsSpace(*s))
        ++s;
    if (!IsDigit(*s))
        return 3;
    *d2 = *s - '0';
    return 4;
}

} // namespace

int ParseVersionReply(const char* reply, DeviceInfo* info)
{
    if (reply == nullptr || reply[0] == '\0' || info == nullptr)
        return -10;
    uint8_t type = 0;
    unsigned version = 0;
    int result = 1;
    if (std::strchr(reply, '.') != nullptr) {
        char word[27];
        long long major = 0;
        int d1 = 0, d2 = 0;
        if (ScanVersionReply(reply, word, &major, &d1, &d2) < 3)
            return -30;
        long long v = major * 100 + d1 * 10 + d2;
        if (v > INT32_MAX)
            v = INT32_MAX;
        if (v < INT32_MIN)
            v = INT32_MIN;
        version = static_cast<unsigned>(static_cast<int32_t>(v));
        for (char* c = word; *c; ++c)
            if (*c >= 'a' && *c <= 'z')
                *c = static_cast<char>(*c - 'a' + 'A');
        const int found = FindDeviceTypeKey(word);
        type = static_cast<uint8_t>(found);
        result = found > 0 ? 1 : -30;
    }
    FillDeviceInfo(type, version, info);
    CopyText(info->versionText, sizeof info->versionText, reply);
    return result;
}

void SensorName(unsigned sensorType, char* out, std::size_t outSize)
{
    if (out == nullptr || outSize == 0)
        return;
    for (const auto& s : sensorNames) {
        if (s.sensorType == sensorType) {
            CopyText(out, outSize, s.name);
            return;
        }
    }
    std::snprintf(out, outSize, "Unknown Sensor (type %u)", sensorType);
}
