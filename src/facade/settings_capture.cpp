// Capture of a device's settings before its firmware is replaced and their
// restore afterwards: loggers through the instrument protocol's settings
// operation, digital sensors through SDI-12, bench instruments and the reader
// through "get -" and "set -" commands with their user and equation records.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "diag/quarlog.h"
#include "facade/quar_protocol.h"
#include "serial/quarserial.h"

namespace {

const char kSource[] = "Quar_protocol";
constexpr unsigned kLog = 10;
constexpr unsigned kValueTimeoutMs = 2000;
// More records than any instrument keeps; a larger count is not believed.
constexpr int kMaxRecords = 1000;

const char* RecordWord(int kind) {
    return kind == kRecordKindEqn ? "eqn" : kind == kRecordKindUser ? "user" : nullptr;
}

// Text field helpers: n is the number of characters a field of `size`
// bytes holds.
template <std::size_t N>
constexpr std::size_t Chars(const char (&)[N]) {
    return N - 1;
}

// The order in which GetInstInfo serves the bits of its mask.
const uint32_t kGetOrder[] = {
    0x8,       0x2,      0x10,     0x800,    0x20,      0x40,       0x80,       0x100,
    0x100000,  0x8000,   0x200,    0x400,    0x1000,    0x20000,    0x2000,     0x80000000,
    0x4000,    0x800000, 0x1,      0x40000,  0x80000,   0x4,        0x200000,   0x1000000,
    0x2000000, 0x4000000, 0x10000000, 0x8000000, 0x20000000, 0x40000000, 0x400000,
};

// The order in which SetInstInfo serves the bits of its mask.
const uint32_t kSetOrder[] = {
    0x2,     0x8,     0x10,     0x20,      0x800,     0x40,     0x80,       0x100,
    0x100000, 0x8000, 0x400,    0x1000,    0x20000,   0x2000,   0x80000000, 0x4000,
    0x800000, 0x1,    0x40000,  0x80000,   0x4,       0x200000, 0x1000000,  0x2000000,
    0x4000000, 0x20000000, 0x40000000, 0x400000, 0x10000000, 0x8000000,
};

template <std::size_t N>
uint32_t FirstPending(uint32_t pending, const uint32_t (&order)[N]) {
    for (uint32_t bit : order)
        if (pending & bit) return bit;
    return 0;
}

// Laser values: command words and the cal slots they occupy.
const struct {
    const char* word;
    int slot;
} kLaser[] = {{"p0", 0}, {"p3", 1}, {"p5", 2}, {"lwidth", 3}, {"ltemp", 4}, {"current", 5}, {"p1", 7}};

}  // namespace

// ------------------------------------------------------------ single values

int Quar_protocol::GetValueString(const char* command, unsigned timeoutMs, char* dest,
                                  std::size_t n) {
    if (!command || !dest) return -10;
    char line[512];
    std::snprintf(line, sizeof line, "%s\r", command);
    char answer[512];
    char value[512];
    int result = -30;
    unsigned elapsed = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        unsigned size = sizeof answer;
        answer[0] = '\0';
        int r = protocol->DeviceCommand(line, '>', timeoutMs, answer, &size, &elapsed);
        if (r <= 0) {
            result = r;
            continue;
        }
        if (std::strstr(answer, "Error")) {
            result = -30;
            continue;
        }
        const char* p = answer;
        if (*p == '\r') ++p;
        if (*p == '\n') ++p;
        std::size_t i = 0;
        while (i < n && i + 1 < sizeof value && p[i] && p[i] != '\r') {
            value[i] = p[i];
            ++i;
        }
        value[i] = '\0';
        if (value[0] == '>') {
            LogMessage(log, kLog, kSource,
                       "GetValueString found a leading prompt character executing command \"%s\" (%d ms)",
                       command, int(elapsed));
            result = -30;
            continue;
        }
        if (i == 0) {
            result = -30;
            continue;
        }
        std::memcpy(dest, value, i + 1);
        result = 1;
        break;
    }
    if (result == 1)
        LogMessage(log, kLog, kSource, "GetValueString found %s \"%s\" (%d ms)", command, dest,
                   int(elapsed));
    else
        LogMessage(log, kLog, kSource, "GetValueString received error %d executing command \"%s\" (%d ms)",
                   result, command, int(elapsed));
    return result;
}

int Quar_protocol::GetValueLong(const char* command, unsigned timeoutMs, int32_t* out) {
    if (!command || !out) return -10;
    char line[512];
    std::snprintf(line, sizeof line, "%s\r", command);
    char answer[512];
    int result = -30;
    unsigned elapsed = 0;
    long value = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        unsigned size = sizeof answer;
        answer[0] = '\0';
        int r = protocol->DeviceCommand(line, '>', timeoutMs, answer, &size, &elapsed);
        if (r <= 0) {
            result = r;
            continue;
        }
        const char* p = std::strchr(answer, '\r');
        p = p ? p + 1 : answer;
        if (*p == '\n') ++p;
        if (std::sscanf(p, "%ld", &value) == 1) {
            *out = static_cast<int32_t>(value);
            result = 1;
            break;
        }
        result = -30;
    }
    if (result == 1)
        LogMessage(log, kLog, kSource, "GetValueLong found %s \"%ld\" (%d ms)", command, value,
                   int(elapsed));
    else
        LogMessage(log, kLog, kSource, "GetValueLong received error %d executing command \"%s\" (%d ms)",
                   result, command, int(elapsed));
    return result;
}

// ------------------------------------------------------------ GetInstInfo

int Quar_protocol::GetOneValue(uint32_t bit) {
    InstInfo& ii = instInfo;
    const int type = deviceType;
    const unsigned t = kValueTimeoutMs;
    auto text = [&](const char* cmd, char* field, std::size_t n) {
        return GetValueString(cmd, t, field, n);
    };
    switch (bit) {
    case 0x8: return GetValueLong("get -lang", t, &ii.lang);
    case 0x2: {
        int r = -30;
        for (int k = 0; k < 3; ++k) {
            char value[sizeof ii.sn];
            value[0] = '\0';
            r = GetValueString("get -sn", t, value, Chars(ii.sn));
            if (r == 1 && std::strstr(value, "OK")) r = -30;
            if (r == 1) {
                std::memcpy(ii.sn, value, sizeof value);
                break;
            }
        }
        return r;
    }
    case 0x10: return GetValueLong("get -contr", t, &ii.contr);
    case 0x800: return text("get -config", ii.config, Chars(ii.config));
    case 0x20: return text("get -fvals", ii.fvals, Chars(ii.fvals));
    case 0x40:
        return text(type == 15 || type == 22 ? "get -pvuser" : "get -uvals", ii.uvals,
                    Chars(ii.uvals));
    case 0x80: return GetValueLong("get -units", t, &ii.units);
    case 0x100: return text("get -adc", ii.adc, Chars(ii.adc));
    case 0x100000: {
        // The sample setting is optional: a failure does not count.
        if (text("get -sample", ii.sample, Chars(ii.sample)) == 1) ii.validMask |= bit;
        return 2;
    }
    case 0x8000: return text("get -usage", ii.usage, Chars(ii.usage));
    case 0x200: return GetValueLong("get -int", t, &ii.intValue);
    case 0x400: return text("get -adccal", ii.adccal, Chars(ii.adccal));
    case 0x1000: return text("get -wtoffset", ii.wtoffset, Chars(ii.wtoffset));
    case 0x20000: return text("get -wtfactory", ii.wtfactory, Chars(ii.wtfactory));
    case 0x2000: return text("get -p1offset", ii.p1offset, Chars(ii.p1offset));
    case 0x80000000: return text("get -sys", ii.sys, Chars(ii.sys));
    case 0x4000: return text("get -auto", ii.autosec, Chars(ii.autosec));
    case 0x800000: return text("get -units", ii.SNDUnits, Chars(ii.SNDUnits));
    case 0x1: return text("get -i", ii.name, Chars(ii.name));
    case 0x40000: return text("get -adc15", ii.adc15, Chars(ii.adc15));
    case 0x80000: return text("get -adc30", ii.adc30, Chars(ii.adc30));
    case 0x4: {
        int r = 0;
        bool any = false;
        for (const auto& laser : kLaser) {
            char cmd[32];
            std::snprintf(cmd, sizeof cmd, "get -%s", laser.word);
            r = text(cmd, ii.cal[laser.slot], Chars(ii.cal[laser.slot]));
            if (r == 1)
                any = true;
            else if (laser.slot == 0 || laser.slot == 7)
                ii.cal[laser.slot][0] = '\0';
        }
        if (any) ii.validMask |= bit;
        return r == 1 ? 1 : r;
    }
    case 0x200000: {
        const bool short21 = type == 21;
        const int slots = short21 ? 7 : kInstCalSlots;
        int read = 0;
        int r = 0;
        for (int i = 0; i < slots; ++i) {
            char cmd[32];
            std::snprintf(cmd, sizeof cmd, "get %s%d", short21 ? "-cal" : "-cal ", short21 ? i + 1 : i);
            r = text(cmd, ii.cal[i], Chars(ii.cal[i]));
            if (r != 1) {
                ii.cal[i][0] = '\0';
                break;
            }
            ++read;
        }
        return read > 0 ? 1 : r;
    }
    case 0x1000000: return text("get -loc", ii.location, Chars(ii.location));
    case 0x2000000: return text("get -x", ii.chai, Chars(ii.chai));
    case 0x4000000: return text("get -ext", ii.extCal, Chars(ii.extCal));
    case 0x10000000: return GetRecords_Serial(&eqnRecords, kRecordKindEqn);
    case 0x8000000: return GetRecords_Serial(&userRecords, kRecordKindUser);
    case 0x20000000: return text("get -tadj", ii.tadj, Chars(ii.tadj));
    case 0x40000000: {
        bool any = text("get -hadj", ii.hadj, Chars(ii.hadj)) == 1;
        if (any && GetValueLong("get -tau", t, &ii.tau) == 1) any = true;
        if (any) ii.validMask |= bit;
        return 2;
    }
    case 0x400000: {
        int r = text("get -p", ii.fvals, Chars(ii.fvals));
        if (r == 1 && type == 16) {
            r = text("get -pv", ii.uvals, Chars(ii.uvals));
            text("get -c76", ii.calprefs, Chars(ii.calprefs));
        }
        return r;
    }
    default: return 0;
    }
}

int Quar_protocol::GetInstInfo(uint32_t mask) {
    if (mask == 0) {
        LogMessage(log, kLog, kSource, "GetInstInfo should be called with non-zero flags");
        return 0;
    }
    int result = 1;
    int last = 0;
    uint32_t pending = mask;
    uint32_t previous = 0;
    while (pending != 0 && pending != previous) {
        previous = pending;
        if (last == -32 || last == -21) {
            result = last;
            break;
        }
        if (last < 0) result = -35;
        const uint32_t bit = FirstPending(pending, kGetOrder);
        if (bit == 0) break;
        pending &= ~bit;
        last = GetOneValue(bit);
        // 2: the row set its own bit (or chose not to); it counts as success.
        if (last == 1)
            instInfo.validMask |= bit;
        else if (last == 2)
            last = 1;
    }
    if (result == 1 && last < 0) result = last;
    if (result < 0) LogMessage(log, kLog, kSource, "GetInstInfo could not collect all settings");
    return result;
}

// ------------------------------------------------------------ SetInstInfo

int Quar_protocol::SetText(const char* command, const char* value, const char* what,
                           unsigned timeoutMs) {
    char answer[64];
    uint32_t elapsed = 0;
    int r = Exchange(command, timeoutMs, answer, sizeof answer, &elapsed);
    if (r > 0 && std::strstr(answer, "OK")) {
        LogMessage(log, kLog, kSource, "SetInstInfo set %s to \"%s\" (%d ms)", what, value,
                   int(elapsed));
        return 1;
    }
    return r;
}

int Quar_protocol::SetOneValue(uint32_t bit, int* last) {
    InstInfo& ii = instInfo;
    const int type = deviceType;
    const unsigned t = kValueTimeoutMs;
    char cmd[600];
    char num[24];
    auto setText = [&](const char* word, const char* value, const char* what) {
        std::snprintf(cmd, sizeof cmd, "set -%s %s\r", word, value);
        return SetText(cmd, value, what, t);
    };
    auto setLong = [&](const char* word, int32_t value, const char* what) {
        std::snprintf(cmd, sizeof cmd, "set -%s %ld\r", word, long(value));
        std::snprintf(num, sizeof num, "%ld", long(value));
        return SetText(cmd, num, what, t);
    };
    // A row of several commands reports its first failure.
    auto worst = [](int sofar, int r) { return sofar < 0 ? sofar : r; };
    switch (bit) {
    case 0x2: {
        std::snprintf(cmd, sizeof cmd, "set -sn %s\r", ii.sn);
        int r = 0;
        for (int k = 0; k < 3; ++k) {
            char answer[64];
            uint32_t elapsed = 0;
            r = Exchange(cmd, 4000, answer, sizeof answer, &elapsed);
            if (r > 0 && std::strstr(answer, "OK")) {
                LogMessage(log, kLog, kSource, "SetInstInfo set device serial number to \"%s\" (%d ms)",
                           ii.sn, int(elapsed));
                r = 1;
                break;
            }
        }
        *last = r == -34 ? -12 : r;
        return 1;
    }
    case 0x8: *last = setLong("lang", ii.lang, "device language"); return 1;
    case 0x10: *last = setLong("contr", ii.contr, "device contrast"); return 1;
    case 0x20: *last = setText("fvals", ii.fvals, "fvals"); return 1;
    case 0x800: *last = setText("config", ii.config, "config"); return 1;
    case 0x40:
        *last = setText(type == 15 || type == 22 ? "pvuser" : "uvals", ii.uvals, "uvals/pvuser");
        return 1;
    case 0x80: *last = setLong("units", ii.units, "device units"); return 1;
    case 0x100: *last = setText("adc", ii.adc, "adc"); return 1;
    case 0x100000: *last = setText("sample", ii.sample, "sample"); return 1;
    case 0x8000: *last = setText("usage", ii.usage, "usage"); return 1;
    case 0x400: *last = setText("adccal", ii.adccal, "adccal"); return 1;
    case 0x1000: *last = setText("wtoffset", ii.wtoffset, "wtoffset"); return 1;
    case 0x20000: *last = setText("wtfactory", ii.wtfactory, "wtfactory"); return 1;
    case 0x2000: *last = setText("p1offset", ii.p1offset, "p1offset"); return 1;
    case 0x80000000: *last = setText("sys", ii.sys, "sys"); return 1;
    case 0x4000: *last = setText("auto", ii.autosec, "autosec"); return 1;
    case 0x800000: *last = setText("units", ii.SNDUnits, "sndUnits"); return 1;
    case 0x1: *last = setText("i", ii.name, "name"); return 1;
    case 0x40000: *last = setText("adc15", ii.adc15, "adc15"); return 1;
    case 0x80000: *last = setText("adc30", ii.adc30, "adc30"); return 1;
    case 0x4: {
        int r = 0;
        for (const auto& laser : kLaser) {
            const char* value = ii.cal[laser.slot];
            if ((laser.slot == 0 || laser.slot == 7) && !value[0]) continue;
            r = worst(r, setText(laser.word, value, laser.word));
        }
        *last = r;
        return 1;
    }
    case 0x200000: {
        const bool short21 = type == 21;
        const int slots = short21 ? 7 : kInstCalSlots;
        int r = 0;
        for (int i = 0; i < slots && ii.cal[i][0]; ++i) {
            char answer[64];
            uint32_t elapsed = 0;
            std::snprintf(cmd, sizeof cmd, "set %s%d %s\r", short21 ? "-cal" : "-cal ",
                          short21 ? i + 1 : i, ii.cal[i]);
            int one = Exchange(cmd, t, answer, sizeof answer, &elapsed);
            if (one > 0 && std::strstr(answer, "OK")) {
                LogMessage(log, kLog, kSource, "SetInstInfo set cal %d to \"%s\" (%d ms)", i, ii.cal[i],
                           int(elapsed));
                one = 1;
            }
            r = worst(r, one);
        }
        *last = r;
        return 1;
    }
    case 0x1000000: *last = setText("loc", ii.location, "location"); return 1;
    case 0x2000000: *last = setText("x", ii.chai, "chai"); return 1;
    case 0x4000000: *last = setText("ext", ii.extCal, "ext"); return 1;
    case 0x20000000: *last = setText("tadj", ii.tadj, "tadj"); return 1;
    case 0x40000000: {
        int r = setLong("tau", ii.tau, "tau");
        r = worst(r, setText("hadj", ii.hadj, "hadj"));
        *last = r;
        return 1;
    }
    case 0x400000: {
        int r = setText("p", ii.fvals, "-p");
        if (type == 16) {
            r = worst(r, setText("pv", ii.uvals, "-pv"));
            if (ii.calprefs[0]) {
                int c = setText("c76", ii.calprefs, "-c76");
                // The calibration preferences are optional.
                if (r >= 0) r = c < 0 ? 0 : c;
            }
        }
        *last = r;
        return 1;
    }
    case 0x10000000:
        SendOKCommand("reset -eqn\r");
        *last = SetRecords_Serial(&eqnRecords, kRecordKindEqn);
        return 1;
    case 0x8000000:
        SendOKCommand("reset -users\r");
        *last = SetRecords_Serial(&userRecords, kRecordKindUser);
        return 1;
    default:
        return 0;  // no row: nothing served
    }
}

int Quar_protocol::SetInstInfo(uint32_t mask) {
    if (mask == 0) {
        LogMessage(log, kLog, kSource, "SetInstInfo should be called with non-zero flags");
        return 0;
    }
    int result = 1;
    int last = 0;
    uint32_t pending = mask;
    uint32_t previous = 0;
    while (pending != 0) {
        if (last == -32 || last == -33 || last == -21) {
            result = last;
            break;
        }
        if (last < 0) result = -35;
        if (pending == previous) {
            last = -30;
            break;
        }
        previous = pending;
        const uint32_t bit = FirstPending(pending, kSetOrder);
        if (bit != 0 && SetOneValue(bit, &last)) pending &= ~bit;
    }
    if (result == 1 && last < 0) result = last;
    if (result < 0) LogMessage(log, kLog, kSource, "SetInstInfo could not restore all settings");
    return result;
}

int Quar_protocol::SendOKCommand(const char* command) {
    if (!command) return -10;
    int r = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        char answer[128];
        uint32_t elapsed = 0;
        r = Exchange(command, 9500, answer, sizeof answer, &elapsed);
        if (std::strstr(command, "user")) {
            LogMessage(log, 1, kSource, "\"%s\" returned %d (%d ms)", command, r, int(elapsed));
            return r;
        }
        if (r > 0 && std::strstr(answer, "OK")) return 1;
        LogMessage(log, 1, kSource, "\"%s\" failed with error %d (%d ms)", command, r, int(elapsed));
        SleepMs(1000);
    }
    return r;
}

// ------------------------------------------------------------ record sets

int Quar_protocol::GetRecords_Serial(InstRecordList* list, int kind) {
    const char* word = RecordWord(kind);
    if (!word) {
        LogMessage(log, kLog, kSource, "GetRecords_Serial found an unexpected record type \"%d\"", kind);
        return -11;
    }
    if (!list) return -10;
    if (list->records) {
        LogMessage(log, kLog, kSource, "GetRecords_Serial found a non-null \"%s\" set", word);
        FreeRecords(list);
    }
    list->count = 0;

    char cmd[32];
    char answer[32];
    std::snprintf(cmd, sizeof cmd, "get -%s\r", word);
    int count = 0;
    int r = Exchange(cmd, kValueTimeoutMs, answer, sizeof answer, nullptr);
    if (r <= 0) {
        // The instrument does not say: ask for records until it refuses one.
        count = kind == kRecordKindEqn ? 100 : 25;
    } else if (std::sscanf(answer, " %d", &count) != 1 || count < 0) {
        count = 0;
    }
    if (count > kMaxRecords) count = kMaxRecords;
    if (count == 0) {
        LogMessage(log, kLog, kSource, "GetRecords_Serial found no \"%s\" records in instrument", word);
        return 0;
    }
    LogMessage(log, kLog, kSource, "GetRecords_Serial instrument reports %d \"%s\" records", count,
               word);
    InstRecord* records = new (std::nothrow) InstRecord[count]();
    if (!records) {
        LogMessage(log, kLog, kSource, "GetRecords_Serial couldn't allocate memory for %d records",
                   count);
        return -60;
    }
    list->records = records;
    int read = 0;
    for (; read < count; ++read) {
        std::snprintf(cmd, sizeof cmd, "get -%s %d", word, read);
        if (GetValueString(cmd, kValueTimeoutMs, records[read].text, Chars(records[read].text)) < 0)
            break;
    }
    LogMessage(log, kLog, kSource, "GetRecords_Serial retrieved %d of %d \"%s\" records", read, count,
               word);
    list->count = read;
    return 1;
}

int Quar_protocol::SetRecords_Serial(InstRecordList* list, int kind) {
    const char* word = RecordWord(kind);
    if (!word) {
        LogMessage(log, kLog, kSource, "SetRecords_Serial found an unexpected record type \"%d\"", kind);
        return -11;
    }
    if (!list || !list->records || list->count <= 0) {
        LogMessage(log, kLog, kSource, "SetRecords_Serial found an empty \"%s\" set", word);
        return 0;
    }
    AlphabetizeRecords(list, kind);
    int sent = 0;
    for (int i = 0; i < list->count && list->records[i].text[0]; ++i) {
        const InstRecord& rec = list->records[i];
        // Large enough for the longest record: a cut line would lose its end.
        char cmd[sizeof rec.text + 32];
        std::snprintf(cmd, sizeof cmd, "set -%s %d %s\r", word, i, rec.text);
        char answer[32];
        uint32_t elapsed = 0;
        int r = Exchange(cmd, kValueTimeoutMs, answer, sizeof answer, &elapsed);
        if (r > 0 && std::strstr(answer, "OK")) {
            LogMessage(log, kLog, kSource, "SetRecords_Serial set \"%s\" %d to \"%s\" (%d ms)", word, i,
                       rec.text, int(elapsed));
            ++sent;
        }
    }
    LogMessage(log, kLog, kSource, "SetRecords_Serial retrieved %d of %d \"%s\" records", sent,
               list->count, word);
    return 1;
}

bool RecordPrecedes(const InstRecord& a, const InstRecord& b) {
    for (int i = 0; i < 32; ++i) {
        const unsigned char ca = static_cast<unsigned char>(a.name[i]);
        const unsigned char cb = static_cast<unsigned char>(b.name[i]);
        if (ca == 0) return true;
        if (cb == 0) return false;
        const int ua = std::toupper(ca), ub = std::toupper(cb);
        if (ua < ub) return true;
        if (ua > ub) return false;
    }
    return false;
}

int Quar_protocol::AlphabetizeRecords(InstRecordList* list, int kind) {
    if (!RecordWord(kind)) {
        LogMessage(log, kLog, kSource, "AlphabetizeRecords found an unexpected record type \"%d\"", kind);
        return -11;
    }
    ExtractNames(list, kind);
    if (!list || !list->records) return 1;
    InstRecord* rec = list->records;
    for (int i = 1; i < list->count; ++i) {
        if (!RecordPrecedes(rec[i], rec[i - 1])) continue;
        const InstRecord taken = rec[i];
        int j = i;
        while (j > 0 && RecordPrecedes(taken, rec[j - 1])) {
            rec[j] = rec[j - 1];
            --j;
        }
        rec[j] = taken;
    }
    return 1;
}

void DecodeBase64Group(const char* group, unsigned char out[3]) {
    auto value = [](char c) -> unsigned {
        if (c >= 'A' && c <= 'Z') return unsigned(c - 'A');
        if (c >= 'a' && c <= 'z') return unsigned(c - 'a') + 26;
        if (c >= '0' && c <= '9') return unsigned(c - '0') + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return 0;
    };
    const unsigned v = value(group[0]) << 18 | value(group[1]) << 12 | value(group[2]) << 6 |
                       value(group[3]);
    out[0] = static_cast<unsigned char>(v >> 16);
    out[1] = static_cast<unsigned char>(v >> 8);
    out[2] = static_cast<unsigned char>(v);
}

int Quar_protocol::ExtractNames(InstRecordList* list, int kind) {
    if (!list || !list->records) {
        LogMessage(log, kLog, kSource, "ExtractNames found an null record pointer");
        return -10;
    }
    if (!RecordWord(kind)) {
        LogMessage(log, kLog, kSource, "ExtractNames found an unexpected record type \"%d\"", kind);
        return -11;
    }
    for (int r = 0; r < list->count; ++r) {
        InstRecord& rec = list->records[r];
        rec.name[0] = '\0';
        if (kind == kRecordKindEqn) {
            int i = 0;
            for (; i < 20 && rec.text[i] && rec.text[i] != ' '; ++i) {
                char c = rec.text[i];
                rec.name[i] = c == '_' ? ' ' : c == '`' ? ',' : c;
            }
            rec.name[i] = '\0';
            continue;
        }
        // User records: Base64 text of tab-separated fields, the fourth of
        // which is the user's name. A record with fewer fields gets an empty
        // name.
        unsigned char decoded[(sizeof rec.text / 4 + 1) * 3 + 1];
        std::size_t len = 0;
        const std::size_t textLen = strnlen(rec.text, sizeof rec.text);
        for (std::size_t at = 0; at < textLen; at += 4) {
            char group[4] = {};
            for (std::size_t k = 0; k < 4 && at + k < textLen; ++k) group[k] = rec.text[at + k];
            DecodeBase64Group(group, decoded + len);
            len += 3;
        }
        decoded[len] = '\0';
        const char* p = reinterpret_cast<const char*>(decoded);
        for (int tabs = 0; tabs < 3 && p; ++tabs) {
            p = std::strchr(p, '\t');
            if (p) ++p;
        }
        if (!p) continue;
        int i = 0;
        for (; i < 9 && p[i] && p[i] != '\t'; ++i) rec.name[i] = p[i];
        rec.name[i] = '\0';
    }
    return 1;
}

// ------------------------------------------------------------ save / restore

int Quar_protocol::QPSaveInfo(const char* path) {
    int result = 1;
    uint32_t m = 0;
    int r = 0;
    bool logger = false;
    uint32_t mask = 0;
    switch (deviceType) {
    case 3: case 18: case 19: mask = 0x7FFEFFF; logger = true; break;
    case 2: mask = 0x8000077; logger = true; break;
    case 4: mask = 0xD07; logger = true; break;
    case 10: break;
    case 6: mask = 0x4000007A; break;
    case 7: mask = 0x100192; break;
    case 8: mask = 0x7000400 | (deviceInfo.version >= 200 ? 0x812u : 0u); break;
    case 9: mask = 0xB2; break;
    case 11: mask = 0x80027402; break;
    case 12: mask = 0xC00; break;
    case 13: mask = 0x3; break;
    case 14: mask = 0x2C0013; break;
    case 15: mask = 0x38000802 | (settings.version >= 205 ? 0x40u : 0u); break;
    case 16: mask = 0x28400802; break;
    case 17: case 20: mask = 0x802; break;
    case 22: mask = 0x38000806; break;
    case 23: mask = 0x20C08012; break;
    case 24: mask = 0x2; break;
    default: return -13;
    }
    if (logger) {
        r = protocol->DeviceSettings(&settings, &mask, 0);
        m = mask;
    } else if (deviceType == 10) {
        r = sdi->SDIGetSensorInfo();
    } else {
        if (deviceType == 15) {
            char answer[32];
            uint32_t elapsed = 0;
            int s = Exchange("set -sensor 0\r", 2000, answer, sizeof answer, &elapsed);
            if (s > 0 && std::strstr(answer, "OK"))
                LogMessage(log, kLog, kSource, "QPSaveInfo set SVL6 sensor type to '0' (%d ms)",
                           int(elapsed));
            else if (s > 0)
                s = -30;
            else
                LogMessage(log, kLog, kSource,
                           "QPSaveInfo received error %d setting SVL6 sensor type to '0' (%d ms)", s,
                           int(elapsed));
        }
        r = GetInstInfo(mask);
        m = instInfo.validMask;
    }
    if (logger && r == -36) {
        settingsCaptured = false;
        savedMask = 0;
        LogMessage(log, kLog, kSource, "QPSaveInfo does not save data for an uninitialized device");
        return -36;
    }
    if (r == -35) {
        result = -35;
    } else if (r < 0) {
        LogMessage(log, 1, kSource, "QPSaveInfo received error %d trying to collect device settings", r);
        return r;
    }
    settingsCaptured = true;
    savedMask = m;

    // A file left by an earlier run may hold the only good copy (that run
    // may have failed after the device's settings were erased): keep it.
    int w = KeepEarlierInfoFile(this, path, nullptr, 0);
    if (w >= 0) w = WriteInfoFile(this, path);
    if (w < 0) {
        LogMessage(log, 1, kSource,
                   "QPSaveInfo received error %d trying to save device settings to a temp file", w);
        return w;
    }
    LogMessage(log, kLog, kSource, "QPSaveInfo successfully retrieved and saved device settings to a temp file");
    return result;
}

int Quar_protocol::QPRestoreInfo(const char* path, const char* newSerial) {
    if (!settingsCaptured) {
        int r = ReadInfoFile(this, path);
        if (r < 0) {
            LogMessage(log, 1, kSource, "QPRestoreInfo received error %d trying to read device settings from %s",
                       r, path ? path : "");
            return r;
        }
        settingsCaptured = true;
        settings.validMask = savedMask;
    }
    int r;
    const int type = deviceType;
    if (type == 2 || type == 3 || type == 4 || type == 18 || type == 19) {
        if (newSerial) {
            std::snprintf(settings.serialNumber, sizeof settings.serialNumber, "%.15s", newSerial);
            settings.validMask |= 0x2;
        }
        // A device with a device ID never gets its serial number set.
        if (settings.validMask & 0x80) settings.validMask &= ~0x2u;
        uint32_t mask = settings.validMask;
        r = protocol->DeviceSettings(&settings, &mask, 1);
        settings.validMask = mask;
        if (!((r >= 0 || r == -35) && mask != 0)) {
            LogMessage(log, 1, kSource, "QPRestoreInfo received error %d trying to upload device settings",
                       r);
            return r;
        }
    } else if (type == 10) {
        r = sdi->SDISetSensorInfo();
    } else if ((type >= 6 && type <= 9) || (type >= 11 && type <= 17) || (type >= 20 && type <= 24)) {
        if (newSerial) {
            std::snprintf(instInfo.sn, sizeof instInfo.sn, "%.15s", newSerial);
            instInfo.validMask |= 0x2;
        }
        r = SetInstInfo(instInfo.validMask);
    } else {
        return -13;
    }
    LogMessage(log, kLog, kSource, "QPRestoreInfo successfully restored device setting");
    return r;
}
