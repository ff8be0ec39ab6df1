// Fixed knowledge of every device type this updater knows: names,
// capabilities, loader memory layout, and the digital sensor type names.
#pragma once

#include <cstddef>
#include <cstdint>

// Device types 0 ("UNKNOWN") to 25 ("END"); the keys are deviceTypeKeys
// (image/firmware_image.h).
constexpr unsigned kDeviceTypeUnknown = 0;
constexpr unsigned kDeviceTypeDigitalSensor = 10;
constexpr unsigned kDeviceTypeReader = 14;
constexpr unsigned kDeviceTypeEnd = 25;
extern const char* const deviceTypeNames[26];

// Catalogue name of a type; types outside 0..25 give "UNKNOWN".
const char* DeviceTypeName(unsigned type);
// The erase-warning column of the catalogue row (false outside 0..24).
bool DeviceTypeErasesWarning(unsigned type);

// The sensor type this build targets and the version of the firmware it
// carries; together they decide the digital-sensor record.
constexpr unsigned kDefaultSensorType = 107;
extern const unsigned carriedFirmwareVersion;

constexpr std::size_t kDeviceNameSize = 33;   // 32 characters
constexpr std::size_t kVersionTextSize = 22;  // 21 characters
constexpr std::size_t kSensorNameSize = 34;   // the whole field, terminator included

struct DeviceInfo {
    uint8_t type;
    char name[kDeviceNameSize];
    char versionText[kVersionTextSize];
    int32_t version;
    int32_t restartWaitMs;
    uint8_t saveSettings;
    uint8_t eraseData;
    uint8_t batteryCheck;
    uint8_t serviceLogin;
    uint8_t setClock;
    uint8_t updateSupported;
    uint8_t postInit;
    uint8_t calibrationReminder;
    uint32_t mainFlashStart;
    uint32_t mainFlashEnd;
    uint8_t wideAddress;
    uint32_t infoStart;
    uint32_t infoSegments;
    uint32_t infoSegmentSize;
    uint32_t loaderBaud;
    uint32_t minVersion;
    uint32_t maxVersion;
    uint8_t versionWindow;
};

// Describes a device of `type` running firmware `version` (times 100). Types
// outside 0..24 are treated as type 0. A null record is ignored.
void FillDeviceInfo(uint8_t type, unsigned version, DeviceInfo* info);

// The same with the digital-sensor rule for type 10 taken for `sensorType`
// and a build carrying firmware `carriedVersion`.
void FillDeviceInfoFor(uint8_t type, unsigned version, unsigned sensorType,
                       unsigned carriedVersion, DeviceInfo* info);

// Identifies a device from its version reply ("<KIND> <major>.<minor>").
// 1 recognised; -30 unparsable or unknown kind; -10 reply missing or empty, or
// no record. A reply without a full stop gives 1 with type 0, version 0.
int ParseVersionReply(const char* reply, DeviceInfo* info);

// Name of a digital sensor type (or family code) in out[0..outSize).
void SensorName(unsigned sensorType, char* out, std::size_t outSize = kSensorNameSize);
