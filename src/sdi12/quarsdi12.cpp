#include "sdi12/quarsdi12.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "diag/quarlog.h"
#include "instrument/kalen_protocol.h"
#include "serial/quarserial.h"

namespace {

const char kSource[] = "QuarSDI12";
constexpr unsigned kLog = 30;

// Default second calibrations; they begin with a placeholder address and a
// blank, like a reply.
const char kXaDefaultOld[] = "a 1 1.44832 1.91683 2.35961 2.991";
const char kXaDefault356[] = "a 1 1.39619 2.03054 2.54573 2.9907";
const char kXaDefault353[] = "a 1 1.4724 2.03944 2.5652 2.9907";
// The old default as it follows the address in a reply.
const char kXaOldBody[] = " 1 1.44832 1.91683 2.35961 2.991";

// A reply without its address character and one blank after it, cut at the
// carriage return, into dest of cap bytes.
void StoreValue(char* dest, unsigned cap, const char* src) {
    const char* p = src;
    if (*p) ++p;
    if (*p == ' ') ++p;
    unsigned i = 0;
    while (i + 1 < cap && p[i] && p[i] != '\r') {
        dest[i] = p[i];
        ++i;
    }
    dest[i] = '\0';
}

void CopyText(char* dest, unsigned cap, const char* src) {
    std::snprintf(dest, cap, "%s", src);
}

bool TypeIn(unsigned type, std::initializer_list<unsigned> types) {
    for (unsigned t : types)
        if (t == type) return true;
    return false;
}

}  // namespace

QuarSDI12::QuarSDI12(QuarLog* log_, KALEN_Protocol* link_)
    : address(0),
      info{},
      calX4{},
      calXa{},
      calXO{},
      hasXO(false),
      serialNumber{},
      sensorType(0),
      sensorVersion(0),
      numericType(false),
      log(log_),
      link(link_),
      reply{},
      timeoutMs(kDefaultTimeoutMs),
      retries(kDefaultRetries) {}

int QuarSDI12::WriteChar(char c) {
    int written = 0;
    return link->QSWrite(&c, 1, &written);
}

int QuarSDI12::SDISendCommand(const char* command, char* buffer, unsigned* length,
                              uint32_t* elapsedMs) {
    const uint32_t start = TickMs();
    int result = 1;
    bool leadChar = true;
    bool writeFailed = false;
    unsigned received = 0;
    if (!command || !link) {
        if (buffer && length && *length > 0) buffer[0] = '\0';
        if (length) *length = 0;
        if (elapsedMs) *elapsedMs = 0;
        return -10;
    }
    for (unsigned i = 0; i < retries;) {
        if (leadChar) {
            WriteChar('|');
            SleepMs(175);
            link->QSFlush(1);
            reply[0] = '\0';
        }
        int written = 0;
        int r = link->QSWrite(command, static_cast<int>(std::strlen(command)), &written);
        if (r < 0) {
            LogMessage(log, kLog, kSource, "SDISendCommand got unexpected response (%d) from QCommWrite",
                       r);
            result = r;
            writeFailed = true;
            break;
        }
        LogMessage(log, kLog, kSource, "SDISendCommand sent \"%s\"", command);
        r = link->QSWait(timeoutMs, '\r');
        if (r < 0) {
            LogMessage(log, kLog, kSource, "SDISendCommand got unexpected response (%d) from QCommWait",
                       r);
            result = r;
            break;
        }
        unsigned count = 0;
        r = link->QSRead(reply, kReplySize - 1, &count);
        if (r < 0) {
            LogMessage(log, kLog, kSource, "SDISendCommand got unexpected response (%d) from QCommRead",
                       r);
            result = r;
            break;
        }
        if (count > kReplySize - 1) count = kReplySize - 1;
        reply[count] = '\0';
        if (count > 0) {
            received = count;
            LogMessage(log, kLog, kSource, "SDISendCommand received \"%s\"", reply);
            result = 1;
            break;
        }
        // Nothing came back: is a sensor there at all?
        if (i == 1) result = -22;
        for (int k = 0; k < 3; ++k) {
            WriteChar('|');
            SleepMs(30);
        }
        link->QSFlush(1);
        reply[0] = '\0';
        link->QSWrite("?!", 2, &written);
        link->QSWait(500, '\r');
        count = 0;
        r = link->QSRead(reply, kReplySize - 1, &count);
        reply[0] = '\0';
        if (r < 0 || count == 0) {
            result = -21;
            break;
        }
        leadChar = !leadChar;
        ++i;
    }
    const uint32_t elapsed = writeFailed ? 0 : TickMs() - start;
    if (elapsedMs) *elapsedMs = elapsed;
    if (result < 0) {
        if (buffer && length && *length > 0) buffer[0] = '\0';
        if (length) *length = 0;
        return result;
    }
    if (buffer && length && *length > 0) {
        unsigned n = received < *length - 1 ? received : *length - 1;
        std::memcpy(buffer, reply, n);
        buffer[n] = '\0';
        *length = n;
        if (n < received)
            LogMessage(log, kLog, kSource, "DeviceCommand got %d more bytes than expected (%s)",
                       int(received - n), command);
    }
    return static_cast<int>(received);
}

int QuarSDI12::SDIGetSensorVersion() {
    char buf[kReplySize];
    unsigned len = sizeof buf;
    int r = SDISendCommand("?I!", buf, &len, nullptr);
    if (r < 0) {
        LogMessage(log, kLog, kSource, "SDIGetSensorVersion received error %i", r);
        return r;
    }
    address = buf[0];
    info[0] = '\0';
    if (len > 3) {
        unsigned i = 0;
        while (i < kInfoSize - 1 && buf[3 + i] && buf[3 + i] != '\r') {
            info[i] = buf[3 + i];
            ++i;
        }
        info[i] = '\0';
    }
    char digits[4] = {};
    if (len > 17) std::memcpy(digits, buf + 17, len - 17 < 3 ? len - 17 : 3);
    sensorVersion = static_cast<uint32_t>(std::strtoul(digits, nullptr, 10));
    LogMessage(log, kLog, kSource, "SDIGetSensorVersion found sensor info: %s", info);
    return static_cast<int>(sensorVersion);
}

int QuarSDI12::SDISetSensorAddress(char a) {
    char cmd[8];
    std::snprintf(cmd, sizeof cmd, "0A%c!", a);
    char buf[kReplySize];
    unsigned len = sizeof buf;
    int r = SDISendCommand(cmd, buf, &len, nullptr);
    if (r < 0) {
        LogMessage(log, kLog, kSource, "SDISetSensorAddress received error %i", r);
        return r;
    }
    if (len > 0 && buf[0] == a) {
        LogMessage(log, kLog, kSource, "SDISetSensorAddress successfully set sensor address to '%c'", a);
        return 1;
    }
    LogMessage(log, kLog, kSource, "SDISetSensorAddress could not set sensor address to '%c'", a);
    return -30;
}

int QuarSDI12::SDIGetSensorCalibration() {
    if (sensorType == 94) {
        LogMessage(log, kLog, kSource, "SDIGetSensorCalibration no calibration for version PL-8");
        return 0;
    }
    char buf[kReplySize];
    unsigned len = 0;
    int r = 0;
    for (int k = 0; k < 3; ++k) {
        len = sizeof buf;
        r = SDISendCommand("?!", buf, &len, nullptr);
        if (r > 0) break;
    }
    if (r < 1)
        LogMessage(log, kLog, kSource, "SDIGetSensorCalibration \"attention sequence\" received error %i",
                   r);

    len = sizeof buf;
    r = SDISendCommand("?X4!", buf, &len, nullptr);
    if (r < 0) {
        LogMessage(log, kLog, kSource, "SDIGetSensorCalibration received error %i looking for X4", r);
        return r;
    }
    if (sensorType == 122 || sensorType == 120) {
        // "-1" as a value (before a blank or the line end) is stored as "+0".
        bool changed = false;
        for (char* p = buf; (p = std::strstr(p, "-1")) != nullptr; p += 2) {
            if (p[2] == ' ' || p[2] == '\r') {
                p[0] = '+';
                p[1] = '0';
                changed = true;
            }
        }
        if (changed)
            LogMessage(log, kLog, kSource, "SDIGetSensorCalibration updated X4 to remove '-1'");
    }
    StoreValue(calX4, kCalSize, buf);
    LogMessage(log, kLog, kSource, "SDIGetSensorCalibration found calibration X4 \"%s\"", calX4);

    if (TypeIn(sensorType, {121, 108, 107, 119, 104, 103, 122, 120, 92, 93})) {
        len = sizeof buf;
        r = SDISendCommand("?Xa!", buf, &len, nullptr);
        bool ok = r >= 0;
        if (!ok) {
            LogMessage(log, kLog, kSource, "SDIGetSensorCalibration received error %i looking for Xa",
                       r);
            if (sensorType == 121) return r;
            buf[0] = '\0';
            len = 0;
        }
        const char* text = buf;
        bool usedDefault = false;
        const bool shortReply = !ok || std::strlen(buf) < 9;
        const unsigned v = sensorVersion;
        const char* bodyAfterAddress = buf[0] ? buf + 1 : buf;
        // Types 120/122 and 119 carry a second calibration whose default
        // depends on the firmware: below the window the old default, inside
        // it the window's own, which also replaces any other value there.
        struct XaWindow {
            unsigned first, last;
            const char* inside;
        };
        XaWindow window{0, 0, nullptr};
        if (sensorType == 122 || sensorType == 120)
            window = {356, 399, kXaDefault356};
        else if (sensorType == 119)
            window = {353, 401, kXaDefault353};
        if (window.inside) {
            const bool inWindow = v >= window.first && v <= window.last;
            bool rowApplied = false;
            if (shortReply && v < window.first) {
                text = kXaDefaultOld;
                rowApplied = true;
            } else if (shortReply && inWindow) {
                text = window.inside;
                rowApplied = true;
            }
            usedDefault = rowApplied;
            if ((ok || rowApplied) && inWindow) {
                const char* body = rowApplied ? text + 1 : bodyAfterAddress;
                if (std::strncmp(body, kXaOldBody, sizeof kXaOldBody - 1) != 0) {
                    text = window.inside;
                    usedDefault = true;
                }
            }
        }
        StoreValue(calXa, kCalSize, text);
        LogMessage(log, kLog, kSource, "SDIGetSensorCalibration %s calibration Xa \"%s\"",
                   usedDefault ? "set" : "found", calXa);
    }

    if (sensorType == 93) {
        len = sizeof buf;
        r = SDISendCommand("?XO!", buf, &len, nullptr);
        if (r < 0) {
            LogMessage(log, kLog, kSource, "SDIGetSensorCalibration received error %i looking for XO",
                       r);
            hasXO = false;
        } else if (std::strstr(buf, "ERROR")) {
            LogMessage(log, kLog, kSource,
                       "SDIGetSensorCalibration received \"ERROR\" response looking for XO");
            hasXO = false;
        } else {
            hasXO = true;
            StoreValue(calXO, kCalSize, buf);
            LogMessage(log, kLog, kSource, "SDIGetSensorCalibration found calibration XO \"%s\"", calXO);
        }
    }
    return 1;
}

int QuarSDI12::WriteStep(const char* command, const char* what, const char* text) {
    int result = 0;
    int lastSend = 0;
    for (unsigned i = 0; i < retries; ++i) {
        char buf[kReplySize];
        unsigned len = sizeof buf;
        lastSend = SDISendCommand(command, buf, &len, nullptr);
        if (lastSend >= 0 && std::strstr(buf, "OK")) {
            if (std::strcmp(what, "SN") == 0)
                LogMessage(log, kLog, kSource,
                           "SDISetSensorSN successfully set sensor serial number to \"%s\"", text);
            else
                LogMessage(log, kLog, kSource,
                           "SDISetSensorCalibration successfully set sensor %s calibration to \"%s\"",
                           what, text);
            return 1;
        }
        if (lastSend >= 0 && std::strstr(buf, "ERROR"))
            result = -34;
        else if (result == 0)
            result = -22;
    }
    if (lastSend < 0) {
        if (std::strcmp(what, "SN") == 0)
            LogMessage(log, kLog, kSource, "SDISetSensorSN received error %i setting serial number.",
                       lastSend);
        else
            LogMessage(log, kLog, kSource, "SDISetSensorCalibration received error %i for %s", lastSend,
                       what);
        result = lastSend;
    }
    return result;
}

int QuarSDI12::SDISetSensorCalibration(const char* firstText) {
    if (sensorType == 94) {
        LogMessage(log, kLog, kSource, "SDISetSensorCalibration skipped PL-8");
        return 0;
    }
    const char* first = firstText ? firstText : calX4;
    if (!first[0]) {
        LogMessage(log, kLog, kSource,
                   "SDISetSensorCalibration doesn't have a valid X5 calibration string");
        return 0;
    }
    char cmd[kCalSize + 8];
    std::snprintf(cmd, sizeof cmd, "?X5%s!", first);
    int result = WriteStep(cmd, "X5", first);
    if (TypeIn(sensorType, {121, 119, 107, 104, 103, 122, 120, 92, 93})) {
        std::snprintf(cmd, sizeof cmd, "?Xb%s!", calXa);
        int s = WriteStep(cmd, "Xb", calXa);
        if (s < 0 || result >= 0) result = s;
    }
    if (sensorType == 93 && hasXO) {
        std::snprintf(cmd, sizeof cmd, "?XO%s!", calXO);
        int s = WriteStep(cmd, "XO", calXO);
        if (s < 0 || result >= 0) result = s;
    }
    if (result != 1)
        LogMessage(log, kLog, kSource, "SDISetSensorCalibration did not set sensor calibration");
    return result;
}

int QuarSDI12::SDIGetSensorSN() {
    char buf[kReplySize];
    unsigned len = sizeof buf;
    int r = SDISendCommand("?X#!", buf, &len, nullptr);
    if (r < 0) {
        LogMessage(log, kLog, kSource, "SDIGetSensorSN received error %i looking for X#", r);
        return r;
    }
    if (len < 2 || buf[1] == '\r') return 0;
    const char* p = buf + 1;
    if (*p == ' ') ++p;
    unsigned i = 0;
    while (i < kSerialSize - 1 && p[i] && p[i] != '\r') {
        serialNumber[i] = p[i];
        ++i;
    }
    serialNumber[i] = '\0';
    LogMessage(log, kLog, kSource, "SDIGetSensorSN found SN \"%s\"", serialNumber);
    return 1;
}

int QuarSDI12::SDISetSensorSN() {
    if (!serialNumber[0]) {
        LogMessage(log, kLog, kSource, "SDISetSensorSN didn't find a valid serial number");
        return 0;
    }
    char cmd[63];
    std::snprintf(cmd, sizeof cmd, "?X#%s!", serialNumber);
    return WriteStep(cmd, "SN", serialNumber);
}

int QuarSDI12::SDIGetSensorType() {
    char buf[kReplySize];
    unsigned len = sizeof buf;
    int result = -1;
    int r = SDISendCommand("?X8!", buf, &len, nullptr);
    if (r < 0) {
        LogMessage(log, kLog, kSource, "SDIGetSensorType received error %i", r);
    } else {
        const char* p = buf[0] ? buf + 1 : buf;
        if (*p == ' ') ++p;
        char code[4] = {};
        for (int i = 0; i < 3 && p[i] && p[i] != '\r'; ++i) code[i] = p[i];
        if (code[0] >= '0' && code[0] <= '9') {
            numericType = true;
            sensorType = static_cast<uint8_t>(std::strtoul(code, nullptr, 10));
            result = 1;
        } else if (code[0]) {
            numericType = false;
            sensorType = static_cast<uint8_t>(code[0]);
            result = 1;
        }
    }
    if (result != 1) {
        // Older sensors do not know "?X8!": guess from the model field.
        if (!info[0]) SDIGetSensorVersion();
        if (std::strstr(info, "K7W   ")) {
            sensorType = 122;
            result = 1;
        } else if (std::strstr(info, "BR-MV ")) {
            sensorType = 125;
            result = 1;
        } else if (std::strstr(info, "BR-TX ")) {
            sensorType = 127;
            result = 1;
        }
    }
    if (result == 1)
        LogMessage(log, kLog, kSource, "SDIGetSensorType found sensor type as \"%u\"",
                   unsigned(sensorType));
    else
        LogMessage(log, kLog, kSource, "SDIGetSensorType couldn't detirmine sensor type");
    return result;
}

int QuarSDI12::SDISetSensorType(unsigned code) {
    if (code == 0 || code == 255) {
        LogMessage(log, kLog, kSource, "SDISetSensorType didn't get a valid sensor type (%u)", code);
        return -11;
    }
    struct Family {
        unsigned code;
        unsigned members[4];
        const char* refusal;
    };
    static const Family families[] = {
        {260, {115, 114, 111, 110}, "SDISetSensorType didn't get a valid NRX Sensor type (%u)"},
        {261, {121, 108}, "SDISetSensorType didn't get a valid WPX Sensor type (%u)"},
        {262, {116, 106, 105, 101}, "SDISetSensorType didn't get a valid KLT Sensor type (%u)"},
        {263, {112, 102}, "SDISetSensorType didn't get a valid HM-x Sensor type (%u)"},
        {264, {104, 103}, "SDISetSensorType didn't get a valid ORBIS 5x Sensor type (%u)"},
    };
    for (const Family& f : families) {
        if (f.code != code) continue;
        bool member = false;
        for (unsigned m : f.members) member = member || (m != 0 && m == sensorType);
        if (!member) {
            LogMessage(log, kLog, kSource, f.refusal, unsigned(sensorType));
            return -30;
        }
        code = sensorType;
    }
    char cmd[16];
    if (numericType)
        std::snprintf(cmd, sizeof cmd, "?X9 %u!", code);
    else
        std::snprintf(cmd, sizeof cmd, "?X9 %c!", static_cast<char>(code));
    char buf[kReplySize];
    unsigned len = sizeof buf;
    int r = SDISendCommand(cmd, buf, &len, nullptr);
    if (r < 0) {
        LogMessage(log, kLog, kSource, "SDISetSensorType received error %i", r);
        return r;
    }
    if (std::strstr(buf, "OK")) {
        LogMessage(log, kLog, kSource, "SDISetSensorType successfully set sensor type to \"%u\"", code);
        return 1;
    }
    LogMessage(log, kLog, kSource, "SDISetSensorType could not set sensor type to \"%u\"", code);
    return -30;
}

int QuarSDI12::SDIInvokeQuarBSL() {
    retries = 1;
    timeoutMs = 1000;
    char buf[kReplySize];
    unsigned len = sizeof buf;
    SDISendCommand("?B!", buf, &len, nullptr);
    retries = kDefaultRetries;
    timeoutMs = kDefaultTimeoutMs;
    if (std::strstr(buf, "No BSL")) {
        LogMessage(log, kLog, kSource, "SDIInvokeQuarBSL: sensor reported a missing QuarBSL");
        return -82;
    }
    WriteChar(']');
    SleepMs(100);
    WriteChar('P');
    SleepMs(100);
    return 1;
}

int QuarSDI12::SDICheckBinary() {
    char buf[kReplySize];
    unsigned len = sizeof buf;
    int r = SDISendCommand("?post!", buf, &len, nullptr);
    if (r < 0) {
        LogMessage(log, kLog, kSource, "SDICheckBinary received error %i", r);
        return r;
    }
    if (std::strstr(buf, "Code Good")) {
        LogMessage(log, kLog, kSource, "SDICheckBinary found good firmware");
        return 1;
    }
    if (std::strstr(buf, "Code Corrupt")) {
        LogMessage(log, kLog, kSource, "SDICheckBinary found corrupt firmware");
        return -66;
    }
    LogMessage(log, kLog, kSource, "SDICheckBinary unable to check firmware");
    return -1;
}

int QuarSDI12::SDIGetSensorInfo() {
    info[0] = calX4[0] = calXa[0] = calXO[0] = serialNumber[0] = '\0';
    hasXO = false;
    sensorVersion = 0;
    address = '0';
    sensorType = 0;
    int r = SDIGetSensorVersion();
    if (r < 0) return r;
    SDIGetSensorType();
    SDIGetSensorSN();
    r = SDIGetSensorCalibration();
    if (r < 0) return r;
    if ((sensorType == 117 || sensorType == 116) && sensorVersion < 340) SDIConvertCalibration();
    return 1;
}

int QuarSDI12::SDISetSensorInfo() {
    SDISetSensorSN();
    int a = SDISetSensorAddress(address);
    int c = SDISetSensorCalibration(calX4);
    if (c < 0) return c;
    if (a < 0) return a;
    return 1;
}

int QuarSDI12::SDIConvertCalibration() {
    if (sensorVersion >= 340) return 0;
    double p[9] = {};
    const int n = std::sscanf(calX4, "%lf %lf %lf %lf %lf %lf %lf %lf %lf", &p[0], &p[1], &p[2],
                              &p[3], &p[4], &p[5], &p[6], &p[7], &p[8]);
    double a = 0, b = 0, c = 0, d = 0;
    if (n == 9) {
        const double span = p[2] - p[1];
        // Equal points give no slope; the calibration is left as it is.
        if (span == 0) return 0;
        a = -1000.0 * p[1] / span;
        b = 1000.0 / span;
        d = (p[4] + p[5]) / 2;
    }
    char out[kCalSize];
    std::snprintf(out, sizeof out, "%0.3f %0.6e %0.6e %0.6e %0.1f %0.1f", p[0], a, b, c, d,
                  p[8]);
    CopyText(calX4, kCalSize, out);
    return 1;
}
