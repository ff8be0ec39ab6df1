// The settings file: a plain text copy of a device's settings, one
// key="value" line each, written before the firmware is replaced and read
// back when the captured settings are no longer in memory.
//
// The file is the user's only safety copy while the device is being
// reprogrammed, so it is never truncated in place: the new contents go to a
// temporary file in the same folder, are flushed to disk and then renamed
// over the old file. The file is created readable by its owner only, since it
// can hold network passwords and keys.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "diag/quarlog.h"
#include "facade/quar_protocol.h"
#include "image/firmware_image.h"

namespace {

const char kSource[] = "Quar_protocol";
const char kHeader[] = "***** Auto-Generated Settings File -- DO NOT EDIT *****\r\n\r\n";

// Larger files are not settings files; they are refused before reading.
constexpr long kMaxInfoFileSize = 16L * 1024 * 1024;

InfoFileCommitHook gCommitHook = nullptr;

bool IsLogger(int type) {
    return type == 2 || type == 3 || type == 4 || type == 18 || type == 19;
}

const char* TypeKey(int type) {
    if (type < 0 || type >= kDeviceTypeCount) return deviceTypeKeys[0];
    return deviceTypeKeys[type];
}

// key="value"\r\n with a text value held in a field of `cap` bytes.
int PutText(std::FILE* f, const char* key, const char* value, std::size_t cap) {
    return std::fprintf(f, "%s=\"%.*s\"\r\n", key, static_cast<int>(strnlen(value, cap)), value);
}

int PutFive(std::FILE* f, const char* key, const uint8_t v[5]) {
    return std::fprintf(f, "%s=\"%u %u %u %u %u\"\r\n", key, unsigned(v[0]), unsigned(v[1]),
                        unsigned(v[2]), unsigned(v[3]), unsigned(v[4]));
}

// The value after `key` and the next double quote, or null.
const char* ValueStart(const char* text, const char* key) {
    if (!text || !key || !*key) return nullptr;
    const char* k = std::strstr(text, key);
    if (!k) return nullptr;
    const char* q = std::strchr(k + std::strlen(key), '"');
    return q ? q + 1 : nullptr;
}

// Reads a "text 63" value holding five unsigned numbers into v; true when
// all five were read (v is unchanged otherwise).
bool FindFive(const char* text, const char* key, uint8_t v[5]) {
    char value[64];
    if (!FindText(text, key, value, sizeof value)) return false;
    unsigned n[5];
    if (std::sscanf(value, "%u %u %u %u %u", &n[0], &n[1], &n[2], &n[3], &n[4]) != 5) return false;
    for (int i = 0; i < 5; ++i) v[i] = static_cast<uint8_t>(n[i]);
    return true;
}

bool UsableCalByte(uint8_t b) { return b != 0 && b != 255; }

void SyncFolderOf(const std::string& path) {
    std::string folder = ".";
    std::size_t slash = path.rfind('/');
    if (slash != std::string::npos) folder = slash == 0 ? "/" : path.substr(0, slash);
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

void SetInfoFileCommitHook(InfoFileCommitHook hook) { gCommitHook = hook; }

// ---------------------------------------------------------------- lookups

bool FindText(const char* text, const char* key, char* dest, std::size_t n) {
    if (!dest || n == 0) return false;
    dest[0] = '\0';
    const char* v = ValueStart(text, key);
    if (!v) return false;
    std::size_t i = 0;
    while (i + 1 < n && v[i] != '\0' && v[i] != '"') {
        dest[i] = v[i];
        ++i;
    }
    dest[i] = '\0';
    return dest[0] != '\0';
}

bool FindNumber(const char* text, const char* key, int32_t* out) {
    const char* v = ValueStart(text, key);
    if (!v || !out) return false;
    long value = std::strtol(v, nullptr, 10);
    if (value > INT32_MAX) value = INT32_MAX;
    if (value < INT32_MIN) value = INT32_MIN;
    *out = static_cast<int32_t>(value);
    return true;
}

bool FindReal(const char* text, const char* key, double* out) {
    const char* v = ValueStart(text, key);
    if (!v || !out) return false;
    *out = std::strtod(v, nullptr);
    return true;
}

// ---------------------------------------------------------------- writers

int WriteLoggerInfo(Quar_protocol* qp, std::FILE* f) {
    const InstrumentRecord& s = qp->settings;
    int r;
    if ((r = PutText(f, "type", s.kindName, sizeof s.kindName)) < 0) return r;
    if ((r = PutText(f, "deviceid", s.deviceId, sizeof s.deviceId)) < 0) return r;
    if ((r = PutText(f, "name", s.instrumentName, sizeof s.instrumentName)) < 0) return r;
    if ((r = PutText(f, "sn", s.serialNumber, sizeof s.serialNumber)) < 0) return r;
    if ((r = std::fprintf(f, "trait=\"%d\"\r\n", int(s.trait))) < 0) return r;
    if ((r = std::fprintf(f, "wake=\"%d\"\r\n", int(s.wake))) < 0) return r;
    if ((r = std::fprintf(f, "padc=\"%d\"\r\n", int(s.padc))) < 0) return r;
    if ((r = PutFive(f, "ports", s.ports)) < 0) return r;
    if ((r = PutFive(f, "depth", s.depth)) < 0) return r;
    if (s.validMask & 0x4000000) {
        PutFive(f, "ADC15 slopes", s.adc15Slopes);
        PutFive(f, "ADC15 offsets", s.adc15Offsets);
    }
    if (s.validMask & 0x2000000) {
        PutFive(f, "ADC30 slopes", s.adc30Slopes);
        PutFive(f, "ADC30 offsets", s.adc30Offsets);
    }
    if ((r = std::fprintf(f, "rmode=\"%d\"\r\n", int(s.rmode))) < 0) return r;
    if ((r = std::fprintf(f, "rch=\"%d\"\r\n", int(s.rch))) < 0) return r;
    if ((r = std::fprintf(f, "rsch=\"%d\"\r\n", int(s.rsch))) < 0) return r;
    if ((r = std::fprintf(f, "data=\"%d\"\r\n", int(s.dataParameter))) < 0) return r;
    if ((r = PutText(f, "site", s.site, sizeof s.site)) < 0) return r;
    if ((r = std::fprintf(f, "lat=\"%+.5f\"\r\n", s.latitude)) < 0) return r;
    if ((r = std::fprintf(f, "lon=\"%+.5f\"\r\n", s.longitude)) < 0) return r;
    if ((r = std::fprintf(f, "timezone=\"%d\"\r\n", int(s.timeZone))) < 0) return r;
    if ((r = std::fprintf(f, "report=\"%u\"\r\n", unsigned(s.reportMode))) < 0) return r;
    if ((r = PutText(f, "apn", s.apn, sizeof s.apn)) < 0) return r;
    if ((r = PutText(f, "user", s.apnUser, sizeof s.apnUser)) < 0) return r;
    if ((r = PutText(f, "passwd", s.apnPassword, sizeof s.apnPassword)) < 0) return r;
    if ((r = PutText(f, "host", s.host, sizeof s.host)) < 0) return r;
    if ((r = PutText(f, "authkey", s.authKey, sizeof s.authKey)) < 0) return r;
    if ((r = std::fprintf(f, "ipport=\"%u\"\r\n", unsigned(s.ipPort))) < 0) return r;
    if (s.validMask & 0x8000000) {
        if ((r = PutText(f, "QuarBuild", s.quarBuild, sizeof s.quarBuild)) < 0) return r;
    }
    return 1;
}

int WriteSensorInfo(Quar_protocol* qp, std::FILE* f) {
    const QuarSDI12& s = *qp->sdi;
    int r;
    if ((r = std::fputs("type=\"Digital Sensor\"\r\n", f)) < 0) return r;
    if ((r = PutText(f, "identity", s.info, sizeof s.info)) < 0) return r;
    if ((r = std::fprintf(f, "address=\"%c\"\r\n", s.address)) < 0) return r;
    if ((r = std::fprintf(f, "addressInt=\"%i\"\r\n", int(s.address))) < 0) return r;
    if ((r = PutText(f, "calibration", s.calX4, sizeof s.calX4)) < 0) return r;
    if ((r = PutText(f, "calibration2", s.calXa, sizeof s.calXa)) < 0) return r;
    if ((r = PutText(f, "sn", s.serialNumber, sizeof s.serialNumber)) < 0) return r;
    return 1;
}

int WriteInstrumentInfo(Quar_protocol* qp, std::FILE* f) {
    const InstInfo& ii = qp->instInfo;
    const int type = qp->deviceType;
    int r;
#define QP_TEXT(key, field) \
    if ((r = PutText(f, key, ii.field, sizeof ii.field)) < 0) return r
#define QP_LONG(key, field) \
    if ((r = std::fprintf(f, key "=\"%ld\"\r\n", long(ii.field))) < 0) return r
    if ((r = PutText(f, "type", TypeKey(type), 64)) < 0) return r;
    QP_TEXT("name", name);
    QP_TEXT("sn", sn);
    QP_LONG("lang", lang);
    if ((r = std::fputs("QuarBuild=\"\"\r\n", f)) < 0) return r;
    QP_LONG("contr", contr);
    QP_TEXT("config", config);
    QP_TEXT("fvals", fvals);
    QP_TEXT("uvals", uvals);
    QP_LONG("units", units);
    QP_TEXT("adc", adc);
    QP_TEXT("adccal", adccal);
    QP_TEXT("calprefs", calprefs);
    QP_TEXT("SNDUnits", SNDUnits);
    QP_TEXT("sample", sample);
    QP_TEXT("usage", usage);
    QP_TEXT("adc15", adc15);
    QP_TEXT("adc30", adc30);
    QP_TEXT("location", location);
    QP_TEXT("chai", chai);
    QP_TEXT("extCal", extCal);
    QP_TEXT("tadj", tadj);
    QP_LONG("tau", tau);
    QP_TEXT("hadj", hadj);
#undef QP_TEXT
#undef QP_LONG
    char key[16];
    if (type == 14 || type == 22) {
        for (int i = 0; i < kInstCalSlots; ++i) {
            if (type == 14 && ii.cal[i][0] == '\0') break;
            std::snprintf(key, sizeof key, "cal%02d", i);
            if ((r = PutText(f, key, ii.cal[i], sizeof ii.cal[i])) < 0) return r;
        }
    }
    const struct {
        const InstRecordList* list;
        const char* word;
    } sets[] = {{&qp->userRecords, "user"}, {&qp->eqnRecords, "eqn"}};
    for (const auto& set : sets) {
        if (!set.list->records) continue;
        for (int i = 0; i < set.list->count && set.list->records[i].text[0] != '\0'; ++i) {
            std::snprintf(key, sizeof key, "%s%02d", set.word, i);
            const InstRecord& rec = set.list->records[i];
            if ((r = PutText(f, key, rec.text, sizeof rec.text)) < 0) return r;
        }
    }
    return 1;
}

int WriteInfoFile(Quar_protocol* qp, const char* path) {
    if (!qp || !path || !*path) return -10;
    std::string temp = std::string(path) + ".XXXXXX";
    int fd = ::mkostemp(&temp[0], O_CLOEXEC);
    if (fd < 0) {
        int e = errno;
        LogMessage(qp->log, 1, kSource, "WriteInfoFile got error %d trying to open settings file %s",
                   e, path);
        return -e;
    }
    ::fchmod(fd, S_IRUSR | S_IWUSR);
    std::FILE* f = ::fdopen(fd, "wb");
    if (!f) {
        int e = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        LogMessage(qp->log, 1, kSource, "WriteInfoFile got error %d trying to open settings file %s",
                   e, path);
        return -e;
    }
    int r = std::fputs(kHeader, f);
    if (r >= 0) {
        if (IsLogger(qp->deviceType))
            r = WriteLoggerInfo(qp, f);
        else if (qp->deviceType == 10)
            r = WriteSensorInfo(qp, f);
        else
            r = WriteInstrumentInfo(qp, f);
    }
    if (r < 0) {
        // The earlier file stays as it was; the partial copy goes.
        std::fclose(f);
        ::unlink(temp.c_str());
        return r;
    }
    int e = 0;
    if (std::fflush(f) != 0 || ::fsync(::fileno(f)) != 0) e = errno;
    if (std::fclose(f) != 0 && e == 0) e = errno;
    if (e == 0) {
        if (gCommitHook) gCommitHook(temp.c_str());
        if (std::rename(temp.c_str(), path) != 0) e = errno;
    }
    if (e != 0) {
        ::unlink(temp.c_str());
        LogMessage(qp->log, 1, kSource, "WriteInfoFile got error %d trying to save settings file %s",
                   e, path);
        return -e;
    }
    SyncFolderOf(path);
    return r;
}

int KeepEarlierInfoFile(Quar_protocol* qp, const char* path, char* keptPath, std::size_t n) {
    if (keptPath && n) keptPath[0] = '\0';
    if (!path || !*path) return -10;
    struct stat st;
    if (::stat(path, &st) != 0) return errno == ENOENT ? 0 : -errno;
    if (!S_ISREG(st.st_mode)) return -EISDIR;

    char stamp[32];
    std::tm tm{};
    time_t when = st.st_mtime;
    localtime_r(&when, &tm);
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);

    std::string base(path), ext;
    const std::size_t slash = base.rfind('/');
    const std::size_t dot = base.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1)) {
        ext = base.substr(dot);
        base.resize(dot);
    }
    std::string target;
    for (int i = 0; i < 1000; ++i) {
        target = base + "." + stamp + (i ? "-" + std::to_string(i) : std::string()) + ext;
        struct stat other;
        if (::lstat(target.c_str(), &other) != 0 && errno == ENOENT) break;
        target.clear();
    }
    if (target.empty()) return -EEXIST;
    // A hard link never replaces anything; the original name then goes.
    if (::link(path, target.c_str()) != 0) {
        if (std::rename(path, target.c_str()) != 0) {
            int e = errno;
            LogMessage(qp ? qp->log : nullptr, 1, kSource,
                       "QPSaveInfo got error %d trying to keep the earlier settings file %s", e,
                       path);
            return -e;
        }
    } else {
        ::unlink(path);
    }
    SyncFolderOf(path);
    LogMessage(qp ? qp->log : nullptr, 10, kSource,
               "QPSaveInfo kept the earlier settings file as %s", target.c_str());
    if (keptPath && n) std::snprintf(keptPath, n, "%s", target.c_str());
    return 1;
}

// ---------------------------------------------------------------- readers

int ReadLoggerInfo(Quar_protocol* qp, const char* text) {
    InstrumentRecord& s = qp->settings;
    const int type = qp->deviceType;
    uint32_t m = 0;
    int32_t num;
    if (type == 3 || type == 18 || type == 19) {
        if (!std::strstr(text, "type=\"LumoZ\"") && !std::strstr(text, "type=\"Cirro\"") &&
            !std::strstr(text, "type=\"Marlo\""))
            return -30;
        if (FindText(text, "deviceid", s.deviceId, sizeof s.deviceId)) m |= 0x80;
        if (FindText(text, "name", s.instrumentName, sizeof s.instrumentName)) m |= 0x1;
        if (FindText(text, "sn", s.serialNumber, sizeof s.serialNumber)) m |= 0x2;
        if (FindNumber(text, "trait", &num)) { s.trait = num; m |= 0x8; }
        if (FindNumber(text, "wake", &num)) { s.wake = num; m |= 0x10; }
        if (FindNumber(text, "padc", &num)) { s.padc = num; m |= 0x40; }
        if (FindFive(text, "ports", s.ports)) m |= 0x20;
        if (FindFive(text, "depth", s.depth)) m |= 0x2000;
        FindFive(text, "ADC15 slopes", s.adc15Slopes);
        if (FindFive(text, "ADC15 offsets", s.adc15Offsets) && UsableCalByte(s.adc15Slopes[0]) &&
            UsableCalByte(s.adc15Offsets[0]))
            m |= 0x4000000;
        FindFive(text, "ADC30 slopes", s.adc30Slopes);
        if (FindFive(text, "ADC30 offsets", s.adc30Offsets) && UsableCalByte(s.adc30Slopes[0]) &&
            UsableCalByte(s.adc30Offsets[0]))
            m |= 0x2000000;
        if (FindText(text, "QuarBuild", s.quarBuild, sizeof s.quarBuild)) m |= 0x8000000;
        if (FindNumber(text, "data", &num)) { s.dataParameter = num; m |= 0x100; }
        if (FindNumber(text, "rmode", &num)) { s.rmode = num; m |= 0x200; }
        if (FindNumber(text, "rch", &num)) { s.rch = num; m |= 0x400; }
        if (FindNumber(text, "rsch", &num)) {
            // The trait written back must say "known" and "radio fitted".
            s.rsch = num;
            s.trait |= 0x4001;
            m |= 0x800 | 0x8;
        }
        if (FindText(text, "site", s.site, sizeof s.site)) m |= 0x4000;
        if (FindReal(text, "lat", &s.latitude)) m |= 0x8000;
        if (FindReal(text, "lon", &s.longitude)) m |= 0x10000;
        if (FindNumber(text, "timezone", &num)) { s.timeZone = num; m |= 0x20000; }
        if (FindNumber(text, "report", &num)) { s.reportMode = num; m |= 0x1000000; }
        if (FindText(text, "apn", s.apn, sizeof s.apn)) m |= 0x40000;
        if (FindText(text, "user", s.apnUser, sizeof s.apnUser)) m |= 0x80000;
        if (FindText(text, "passwd", s.apnPassword, sizeof s.apnPassword)) m |= 0x100000;
        if (FindText(text, "host", s.host, sizeof s.host)) m |= 0x200000;
        if (FindText(text, "authkey", s.authKey, sizeof s.authKey)) m |= 0x400000;
        if (FindNumber(text, "ipport", &num)) { s.ipPort = num; m |= 0x800000; }
        s.capabilities = 0x707FFF7;
    } else if (type == 2) {
        if (!std::strstr(text, "type=\"LumoK\"")) return -30;
        if (FindText(text, "name", s.instrumentName, sizeof s.instrumentName)) m |= 0x1;
        if (FindText(text, "sn", s.serialNumber, sizeof s.serialNumber)) m |= 0x2;
        if (FindNumber(text, "wake", &num)) { s.wake = num; m |= 0x10; }
        if (FindNumber(text, "padc", &num)) { s.padc = num; m |= 0x40; }
        int32_t scratch = 0;
        for (int i = 0; i < 5; ++i) {
            char key[32];
            std::snprintf(key, sizeof key, "Port number=\"%d\" value", i + 1);
            FindNumber(text, key, &scratch);
            s.ports[i] = static_cast<uint8_t>(scratch & 0xFF);
        }
        if (scratch > 0) m |= 0x20;
        if (FindText(text, "QuarBuild", s.quarBuild, sizeof s.quarBuild)) m |= 0x8000000;
        s.capabilities = 0x474BE;
    } else if (type == 4) {
        if (!std::strstr(text, "type=\"Veltris\"")) return -30;
        if (FindText(text, "name", s.instrumentName, sizeof s.instrumentName)) m |= 0x1;
        if (FindText(text, "sn", s.serialNumber, sizeof s.serialNumber)) m |= 0x2;
        if (FindNumber(text, "rch", &num)) { s.rch = num; m |= 0x400; }
        if (FindNumber(text, "rsch", &num)) {
            s.rsch = num;
            s.trait = 16385;
            m |= 0x800 | 0x8;
        }
        if (FindNumber(text, "data", &num)) { s.dataParameter = num; m |= 0x100; }
        s.capabilities = 0x24583;
    } else {
        return -30;
    }
    qp->savedMask = m;
    return 1;
}

int ReadSensorInfo(Quar_protocol* qp, const char* text) {
    if (!std::strstr(text, "type=\"Digital Sensor\"")) return -30;
    QuarSDI12& s = *qp->sdi;
    int32_t address = 0;
    // Without the line the sensor keeps the default SDI-12 address.
    s.address = FindNumber(text, "addressInt", &address) && (address & 0xFF) != 0
                    ? static_cast<char>(address & 0xFF)
                    : '0';
    FindText(text, "calibration", s.calX4, sizeof s.calX4);
    FindText(text, "calibration2", s.calXa, sizeof s.calXa);
    FindText(text, "sn", s.serialNumber, sizeof s.serialNumber);
    return 1;
}

namespace {

int ReadCalSlots(InstInfo& ii, const char* text) {
    int read = 0;
    for (int i = 0; i < kInstCalSlots; ++i) {
        char key[8];
        std::snprintf(key, sizeof key, "cal%02d", i);
        if (!FindText(text, key, ii.cal[i], sizeof ii.cal[i])) break;
        ++read;
    }
    return read;
}

}  // namespace

int ReadInstrumentInfo(Quar_protocol* qp, const char* text) {
    const int type = qp->deviceType;
    if (type < 0 || type >= kDeviceTypeCount) return -30;
    char typeLine[64];
    std::snprintf(typeLine, sizeof typeLine, "type=\"%s\"", TypeKey(type));
    if (!std::strstr(text, typeLine)) return -30;

    InstInfo& ii = qp->instInfo;
    uint32_t m = 0;
    int32_t num;
    auto text_ = [&](const char* key, char* field, std::size_t size, uint32_t bit) {
        if (FindText(text, key, field, size)) m |= bit;
    };
    auto number = [&](const char* key, int32_t* field, uint32_t bit) {
        if (FindNumber(text, key, &num)) {
            *field = num;
            m |= bit;
        }
    };
#define QP_T(key, field, bit) text_(key, ii.field, sizeof ii.field, bit)
    auto sixRow = [&]() {
        QP_T("config", config, 0x800);
        QP_T("tadj", tadj, 0x20000000);
        if (FindNumber(text, "tau", &num)) {
            ii.tau = num;
            if (FindText(text, "hadj", ii.hadj, sizeof ii.hadj)) m |= 0x40000000;
        }
        QP_T("uvals", uvals, 0x40);
        if (GetRecords_File(qp, &qp->userRecords, kRecordKindUser, text) > 0 &&
            qp->userRecords.count > 0)
            m |= 0x8000000;
        if (GetRecords_File(qp, &qp->eqnRecords, kRecordKindEqn, text) > 0 &&
            qp->eqnRecords.count > 0)
            m |= 0x10000000;
    };
    switch (type) {
    case 6:
        QP_T("sn", sn, 0x2);
        number("lang", &ii.lang, 0x8);
        number("contr", &ii.contr, 0x10);
        QP_T("fvals", fvals, 0x20);
        QP_T("uvals", uvals, 0x40);
        break;
    case 7:
        QP_T("sn", sn, 0x2);
        number("contr", &ii.contr, 0x10);
        number("units", &ii.units, 0x80);
        QP_T("adc", adc, 0x100);
        QP_T("sample", sample, 0x100000);
        break;
    case 8:
        QP_T("location", location, 0x1000000);
        QP_T("chai", chai, 0x2000000);
        QP_T("extCal", extCal, 0x4000000);
        QP_T("adccal", adccal, 0x400);
        break;
    case 9:
        QP_T("sn", sn, 0x2);
        number("contr", &ii.contr, 0x10);
        number("units", &ii.units, 0x80);
        break;
    case 11:
        QP_T("sn", sn, 0x2);
        QP_T("adccal", adccal, 0x400);
        break;
    case 12:
        QP_T("adccal", adccal, 0x400);
        QP_T("config", config, 0x800);
        break;
    case 13:
        QP_T("name", name, 0x1);
        QP_T("sn", sn, 0x2);
        break;
    case 14:
        QP_T("sn", sn, 0x2);
        QP_T("name", name, 0x1);
        number("contr", &ii.contr, 0x10);
        QP_T("adc15", adc15, 0x40000);
        QP_T("adc30", adc30, 0x80000);
        if (ReadCalSlots(ii, text) > 0) m |= 0x200000;
        break;
    case 15:
        sixRow();
        break;
    case 16:
        QP_T("config", config, 0x800);
        QP_T("sn", sn, 0x2);
        QP_T("tadj", tadj, 0x20000000);
        QP_T("fvals", fvals, 0x400000);
        QP_T("uvals", uvals, 0x400000);
        QP_T("calprefs", calprefs, 0x400000);
        if (GetRecords_File(qp, &qp->userRecords, kRecordKindUser, text) > 0 &&
            qp->userRecords.count > 0)
            m |= 0x8000000;
        break;
    case 17:
    case 20:
        QP_T("config", config, 0x800);
        QP_T("sn", sn, 0x2);
        break;
    case 22:
        sixRow();
        if (ReadCalSlots(ii, text) > 0) m |= 0x4;
        break;
    case 23:
        QP_T("sn", sn, 0x2);
        QP_T("usage", usage, 0x8000);
        number("contr", &ii.contr, 0x10);
        QP_T("tadj", tadj, 0x20000000);
        QP_T("fvals", fvals, 0x400000);
        QP_T("SNDUnits", SNDUnits, 0x800000);
        break;
    case 24:
        QP_T("sn", sn, 0x2);
        break;
    default:
        return -30;
    }
#undef QP_T
    ii.validMask |= m;
    return 1;
}

int GetRecords_File(Quar_protocol* qp, InstRecordList* list, int kind, const char* text) {
    const char* word = kind == kRecordKindEqn ? "eqn" : kind == kRecordKindUser ? "user" : nullptr;
    if (!word) {
        LogMessage(qp->log, 10, kSource, "GetRecords_File found an unexpected record type \"%d\"",
                   kind);
        return -11;
    }
    if (list->records) {
        FreeRecords(list);
        LogMessage(qp->log, 10, kSource, "GetRecords_File found a non-null \"%s\" set", word);
    }
    list->count = 0;
    char key[16];
    int count = 0;
    for (int i = 0; i < 100; ++i) {
        std::snprintf(key, sizeof key, "%s%02d", word, i);
        if (!std::strstr(text, key)) break;
        ++count;
    }
    if (count == 0) {
        LogMessage(qp->log, 10, kSource, "GetRecords_File found no \"%s\" records in instrument",
                   word);
        return 0;
    }
    InstRecord* records = new (std::nothrow) InstRecord[count]();
    if (!records) {
        LogMessage(qp->log, 10, kSource, "GetRecords_File couldn't allocate memory for %d records",
                   count);
        return -60;
    }
    list->records = records;
    int read = 0;
    for (; read < count; ++read) {
        std::snprintf(key, sizeof key, "%s%02d", word, read);
        if (!FindText(text, key, records[read].text, sizeof records[read].text)) break;
        LogMessage(qp->log, 10, kSource, "GetRecords_File found \"%s\" %d as \"%s\"", word, read,
                   records[read].text);
    }
    LogMessage(qp->log, 10, kSource, "GetRecords_File retrieved %d of %d \"%s\" records", read,
               count, word);
    list->count = read;
    return 1;
}

int ReadInfoFile(Quar_protocol* qp, const char* path) {
    if (!qp || !path || !*path) return -10;
    std::FILE* f = std::fopen(path, "rb");
    if (!f) {
        switch (errno) {
        case ENOENT: return -102;
        case EACCES: return -105;
        case EBADF: return -106;
        default: return -errno;
        }
    }
    struct stat st;
    if (::fstat(::fileno(f), &st) != 0) {
        int e = errno;
        std::fclose(f);
        return -e;
    }
    if (S_ISDIR(st.st_mode)) {
        std::fclose(f);
        return -EISDIR;
    }
    if (st.st_size > kMaxInfoFileSize) {
        std::fclose(f);
        return -60;
    }
    const std::size_t size = static_cast<std::size_t>(st.st_size);
    char* text = static_cast<char*>(std::malloc(size + 1));
    if (!text) {
        std::fclose(f);
        return -60;
    }
    const std::size_t got = std::fread(text, 1, size, f);
    const bool failed = std::ferror(f);
    const int readErr = errno;
    std::fclose(f);
    if (failed) {
        std::free(text);
        return readErr ? -readErr : -5;
    }
    text[got] = '\0';

    int r;
    const int type = qp->deviceType;
    if (IsLogger(type))
        r = ReadLoggerInfo(qp, text);
    else if (type == 10)
        r = ReadSensorInfo(qp, text);
    else if ((type >= 6 && type <= 9) || (type >= 11 && type <= 17) || (type >= 20 && type <= 24))
        r = ReadInstrumentInfo(qp, text);
    else
        r = -13;
    std::free(text);
    return r;
}
