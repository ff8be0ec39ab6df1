// The update-protocol facade: the device operations at the level of the
// update steps (connect, login, checks, erase, clock), the capture and
// restore of a device's settings, and the settings file that keeps a copy of
// them on disk while the firmware is replaced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "image/catalogue.h"
#include "instrument/kalen_protocol.h"
#include "sdi12/quarsdi12.h"

class QuarLog;

// One user or equation record of a bench instrument.
struct InstRecord {
    char name[33];   // derived from the text before the set is sent back
    char text[257];  // the record as the instrument gives it
};

// An owned array of records; null when there is none.
struct InstRecordList {
    int32_t count;
    InstRecord* records;
};

// Record kinds and the command words that go with them.
constexpr int kRecordKindEqn = 1;
constexpr int kRecordKindUser = 2;

constexpr int kInstCalSlots = 20;

// Settings of bench instruments and of the hand-held reader. validMask says
// which values are held; the bit of each field is given beside it.
struct InstInfo {
    uint32_t validMask;
    char sn[16];          // 0x2
    char name[9];         // 0x1
    char location[257];   // 0x1000000
    int32_t lang;         // 0x8
    int32_t contr;        // 0x10
    int32_t units;        // 0x80
    int32_t intValue;     // 0x200
    char config[65];      // 0x800
    char autosec[64];     // 0x4000
    char calprefs[257];   // 0x400000 (type 16)
    char SNDUnits[257];   // 0x800000
    char sample[257];     // 0x100000
    char chai[17];        // 0x2000000
    char fvals[257];      // 0x20, 0x400000
    char uvals[257];      // 0x40, 0x400000 (type 16)
    char adc[17];         // 0x100
    char adccal[64];      // 0x400
    char wtoffset[64];    // 0x1000
    char wtfactory[64];   // 0x20000
    char p1offset[64];    // 0x2000
    char sys[257];        // 0x80000000
    char adc15[257];      // 0x40000
    char adc30[257];      // 0x80000
    char extCal[17];      // 0x4000000
    char tadj[257];       // 0x20000000
    char hadj[257];       // 0x40000000, with tau
    int32_t tau;          // 0x40000000
    char usage[257];      // 0x8000
    char cal[kInstCalSlots][257];  // 0x200000 calibration records, 0x4 laser values
};

// Test seam of the settings-file writer: when set, it is called with the
// temporary file's path after the new contents were flushed to disk and
// before the temporary file replaces the settings file.
using InfoFileCommitHook = void (*)(const char* tempPath);
void SetInfoFileCommitHook(InfoFileCommitHook hook);

class Quar_protocol {
public:
    explicit Quar_protocol(QuarLog* log);
    ~Quar_protocol();
    Quar_protocol(const Quar_protocol&) = delete;
    Quar_protocol& operator=(const Quar_protocol&) = delete;

    // Connect, login and device checks.
    int QPConnect(const char* portName, uint8_t baudIndex, unsigned attempts, DeviceInfo* info);
    int QPLogin();
    int QPDisconnect(bool sendLogout);
    int QPCheckFirmware(bool firstBoot);
    int QPEraseData();
    int QPCheckBattery(int32_t* percent);
    int QPSetTime();

    // Settings capture and restore. newSerial may be null.
    int QPSaveInfo(const char* path);
    int QPRestoreInfo(const char* path, const char* newSerial);

    // Single values and the settings of bench instruments and the reader.
    int GetValueString(const char* command, unsigned timeoutMs, char* dest, std::size_t n);
    int GetValueLong(const char* command, unsigned timeoutMs, int32_t* out);
    int GetInstInfo(uint32_t mask);
    int SetInstInfo(uint32_t mask);
    int SendOKCommand(const char* command);

    // User and equation record sets.
    int GetRecords_Serial(InstRecordList* list, int kind);
    int SetRecords_Serial(InstRecordList* list, int kind);
    int AlphabetizeRecords(InstRecordList* list, int kind);
    int ExtractNames(InstRecordList* list, int kind);

    KALEN_Protocol* protocol;
    QuarSDI12* sdi;
    InstrumentRecord settings;
    InstInfo instInfo;
    int8_t deviceType;
    DeviceInfo deviceInfo;
    bool settingsCaptured;
    InstRecordList userRecords;
    InstRecordList eqnRecords;
    QuarLog* log;
    uint32_t savedMask;

private:
    // One "get"/"set" exchange with the prompt '>'; answer holds size bytes.
    int Exchange(const char* command, unsigned timeoutMs, char* answer, unsigned size,
                 uint32_t* elapsedMs);
    int GetOneValue(uint32_t bit);
    int SetOneValue(uint32_t bit, int* last);
    int SetText(const char* command, const char* value, const char* what, unsigned timeoutMs);
};

// Empties a record list, freeing its array.
void FreeRecords(InstRecordList* list);

// Records precede by name: case-insensitive, at most 32 characters; equal
// names count as preceding.
bool RecordPrecedes(const InstRecord& a, const InstRecord& b);

// Standard Base64 decoding of one group of four characters into three bytes;
// a character outside the alphabet (and '=') contributes 0.
void DecodeBase64Group(const char* group, unsigned char out[3]);

// The settings file.
int WriteInfoFile(Quar_protocol* qp, const char* path);
int ReadInfoFile(Quar_protocol* qp, const char* path);
int WriteLoggerInfo(Quar_protocol* qp, std::FILE* file);
int WriteSensorInfo(Quar_protocol* qp, std::FILE* file);
int WriteInstrumentInfo(Quar_protocol* qp, std::FILE* file);
int ReadLoggerInfo(Quar_protocol* qp, const char* text);
int ReadSensorInfo(Quar_protocol* qp, const char* text);
int ReadInstrumentInfo(Quar_protocol* qp, const char* text);
int GetRecords_File(Quar_protocol* qp, InstRecordList* list, int kind, const char* text);

// Moves a settings file left by an earlier run aside, under its own name
// with the time it was last written ("<name>.settings.YYYYMMDD-HHMMSS.txt").
// 1 when moved (keptPath names the copy), 0 when there was none, or the
// negated error number.
int KeepEarlierInfoFile(Quar_protocol* qp, const char* path, char* keptPath, std::size_t n);

// Key lookup in a settings file's text: the first occurrence of the key as a
// plain substring, then the value after the next double quote.
bool FindText(const char* text, const char* key, char* dest, std::size_t n);
bool FindNumber(const char* text, const char* key, int32_t* out);
bool FindReal(const char* text, const char* key, double* out);
