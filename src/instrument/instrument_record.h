// Records of the instrument command protocol, shared with the facade (which
// keeps its own copy of an InstrumentRecord and writes it to the settings
// file). Both sides copy these records whole, so this is their one definition.
#pragma once

#include <cstddef>
#include <cstdint>

// Retry, tracing and progress options of a KALEN_Protocol object.
struct LinkOptions {
    bool keepPortOpen;       // leaving keeps the port open (back at 9600 baud)
    uint32_t serialTries;    // 1..12 tries per command on a serial link (0: 3)
    uint32_t radioTries;     // 1..12 tries per command on a radio link (0: 5)
    bool progressEnabled;    // long operations call ProgressHook
    int8_t traceMode;        // bit 0: trace answers, bit 1: trace commands
    uint32_t extraWaitMs;    // 0..30000 ms added to every command's wait
};

// Link types of a ConnectRecord.
enum : uint8_t {
    kLinkNone = 0,
    kLinkSerial = 10,
    kLinkRadio = 30,
};

// Longest port name a ConnectRecord can carry.
constexpr size_t kLinkPortNameMax = 12;

// A connection request (ConnectDevice copies it whole into its link).
struct ConnectRecord {
    char portName[kLinkPortNameMax + 1];
    uint8_t linkType;        // kLinkSerial or kLinkRadio
    int8_t baudIndex;        // index into baudTable; 0 means 2 (9600)
    char instrumentName[9];  // radio login name; empty: ask with a query
    int32_t radioChannel;    // host radio modem channel
    int32_t radioSubchannel; // host radio modem sub-channel
    bool radioKnown;         // the two radio values above are given
};

// Fills portName from a text; refuses (-11) a name longer than the record
// holds instead of cutting it, and leaves the record untouched then.
int SetConnectPortName(ConnectRecord* record, const char* name);

// Everything known about one connected instrument.
struct InstrumentRecord {
    uint32_t validMask;      // settings bits read from the instrument
    uint32_t capabilities;   // capability bits from kind and version
    int8_t kind;             // index into kindNames
    char kindName[32];
    bool newFirmware;        // answers "get -ver" (new command set)
    char deviceId[9];
    char instrumentName[9];
    char serialNumber[16];
    char versionText[21];
    int32_t version;         // major*100 + minor; 0 unknown, -1 failed show
    int32_t trait;           // option bits; 0x4000 marks the value as known
    char quarBuild[17];
    int32_t wake;            // measurement interval
    uint8_t ports[5];
    uint8_t depth[5];
    int32_t padc;            // PADC rate in Hz
    char site[26];
    double latitude;         // 0: not set
    double longitude;        // 0: not set
    int32_t timeZone;        // quarter hours
    uint8_t adc30Slopes[5];
    uint8_t adc30Offsets[5];
    uint8_t adc15Slopes[5];
    uint8_t adc15Offsets[5];
    int32_t dataParameter;
    int32_t reportMode;
    int32_t rmode;
    int32_t rch;
    int32_t rsch;
    char rver[9];
    char apn[36];
    char apnUser[36];
    char apnPassword[36];
    char authKey[33];
    char host[64];
    int32_t ipPort;
};

// Instrument kinds (the protocol's own numbering).
enum : int8_t {
    kKindUnknown = 0,
    kKindUnknownLogger = 1,
    kKindLumo = 2,
    kKindLumoZ = 3,
    kKindVeltris = 4,
    kKindPellion = 5,
    kKindLumoK = 6,
    kKindGeneric = 7,
    kKindCommDev = 8,
    kKindCalibrator = 9,
    kKindSendra = 10,
    kKindCirro = 11,
    kKindMarlo = 12,
    kKindEnd = 13,
};

extern const char* const kindNames[14];
// The word each kind reports in its version answer; null for none.
extern const char* const kindWords[14];
extern const char* const reservedNames[25];
// Host baud rates by ConnectRecord::baudIndex.
extern const int baudTable[9];

// Settings bits: the DeviceSettings mask, its result and validMask.
enum : uint32_t {
    kSetName = 0x1,
    kSetSerialNumber = 0x2,
    kSetIdentity = 0x4,
    kSetTrait = 0x8,
    kSetWake = 0x10,
    kSetPorts = 0x20,
    kSetPadc = 0x40,
    kSetDeviceId = 0x80,
    kSetDataParameter = 0x100,
    kSetRmode = 0x200,
    kSetRch = 0x400,
    kSetRsch = 0x800,
    kSetRver = 0x1000,
    kSetDepth = 0x2000,
    kSetSite = 0x4000,
    kSetLatitude = 0x8000,
    kSetLongitude = 0x10000,
    kSetTimeZone = 0x20000,
    kSetApn = 0x40000,
    kSetApnUser = 0x80000,
    kSetApnPassword = 0x100000,
    kSetHost = 0x200000,
    kSetAuthKey = 0x400000,
    kSetIpPort = 0x800000,
    kSetReportMode = 0x1000000,
    kSetAdc30 = 0x2000000,
    kSetAdc15 = 0x4000000,
    kSetQuarBuild = 0x8000000,
    kSetRadio = kSetRch | kSetRsch | kSetRver,
};

// Capability bits the protocol tests.
enum : uint32_t {
    kCapBaud = 0x1,
    kCapWake = 0x10,
    kCapPorts = 0x20,
    kCapTraitGet = 0x40,
    kCapRadio = 0x100,
    kCapRmode = 0x200,
    kCapClock = 0x1000,
    kCapAdcCal = 0x10000,
    kCapDataParameter = 0x20000,
    kCapQuarBuild = 0x40000,
    kCapClockSeconds = 0x80000,
    kCapAdcShort = 0x100000,
    kCapExtended = 0x1000000,
    kCapPosition = 0x4000000,
};

// Trait bits.
enum : int32_t {
    kTraitKnown = 0x4000,
    kTraitRadio = 0x1,
    kTraitCell = 0x8,
};
