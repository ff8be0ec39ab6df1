// Instrument settings: the get/set commands, the settings pass, the clock
// and the data erase.
#include <bit>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "diag/quarlog.h"
#include "instrument/kalen_protocol.h"
#include "instrument/kalen_text.h"

namespace {

constexpr long kEpoch2000 = 946684800L;  // 2000-01-01 00:00:00 UTC in Unix time

int Elapsed(uint32_t start) { return (int)(TickMs() - start); }

uint8_t ClampByte(long v) { return (v > 255 || v < 0) ? 255 : (uint8_t)v; }

}  // namespace

// --- shared exchanges -------------------------------------------------------

const char* KALEN_Protocol::NewOrOld(const char* newText, const char* oldText) const {
    return device.newFirmware ? newText : oldText;
}

int KALEN_Protocol::SetExchange(const char* command, const char* okText, unsigned bufferSize,
                                unsigned* elapsed) {
    char answer[128];
    unsigned size = bufferSize > sizeof answer ? (unsigned)sizeof answer : bufferSize;
    int r = DeviceCommand(command, '>', 1500, answer, &size, elapsed);
    if (r < 0) return r;
    return strstr(answer, okText) ? 1 : -30;
}

int KALEN_Protocol::GetExchange(const char* command, char* answer, unsigned bufferSize, unsigned* elapsed) {
    unsigned size = bufferSize;
    return DeviceCommand(command, '>', 1500, answer, &size, elapsed);
}

int KALEN_Protocol::GetTextValue(const char* command, char* dest, unsigned limit, unsigned bufferSize,
                                 unsigned* elapsed) {
    char answer[128];
    if (bufferSize > sizeof answer) bufferSize = sizeof answer;
    int r = GetExchange(command, answer, bufferSize, elapsed);
    if (r < 0) return r;
    const char* p = kalen::SkipWhite(answer);
    if (*p == '>') return -31;
    char value[128];
    if (limit >= sizeof value) limit = sizeof value - 1;
    if (kalen::CopyLine(p, value, limit) == 0) return -30;
    memcpy(dest, value, limit + 1);
    return 1;
}

// --- the settings pass ------------------------------------------------------

int KALEN_Protocol::DeviceSettings(InstrumentRecord* record, uint32_t* mask, int direction) {
    if (!record || !mask) return -10;
    if (direction != 0 && direction != 1) return -11;
    const uint32_t requested = *mask;
    uint32_t pending = requested;
    uint32_t done = 0;
    if (direction == 1) {
        device = *record;
    } else if (device.version == 0) {
        pending |= kSetIdentity;
    } else {
        done |= kSetIdentity;
    }
    if (direction == 0 && (pending & kSetRadio) && !(device.validMask & kSetTrait)) pending |= kSetTrait;

    const uint32_t total = (uint32_t)std::popcount(requested);
    int r = 0;
    int result = 1;
    uint32_t lastMask = 0;
    int savedResult = 1;
    uint32_t reconnects = 0;
    for (;;) {
        uint32_t remaining = (uint32_t)std::popcount(pending);
        uint32_t progress = total > remaining ? total - remaining : 0;
        if (options.progressEnabled && !ProgressHook(total, progress, 1)) {
            LogMessage(log, 30, portName, "DeviceSettings canceled by user after getting %d of %d settings",
                       (int)progress, (int)total);
            ProgressHook(total, progress, 2);
            return -40;
        }
        if (r == -32 || r == -33 || r == -36) {
            result = r;
            break;
        }
        if (r < 0) {
            result = -35;
            SleepMs(100);
        }
        bool rerun = false;
        if (r == -21) {
            if (reconnects >= tries || link.linkType == kLinkRadio) {
                result = -21;
                break;
            }
            ++reconnects;
            int login = DeviceLogin(link.instrumentName, &link.baudIndex);
            if (login > 0) {
                LogMessage(log, 30, "******", "DeviceSettings re-connected to device");
                pending = lastMask;
                result = savedResult;
                rerun = true;
            } else if (login == -20) {
                result = -21;
                break;
            } else {
                rerun = true;
            }
        }
        if (!rerun) {
            if (pending == 0 || pending == lastMask) break;
            lastMask = pending;
            savedResult = result;
            reconnects = 0;
        }
        bool tooOld = false;
        r = RunSettingsStep(&pending, &done, direction, &tooOld);
        if (tooOld) {
            LogMessage(log, 30, portName, "DeviceSettings: old VaultCell model 007 not supported");
            return -13;
        }
    }
    if (done == 0 && result == 1 && requested != 0) result = -1;
    *mask = done;
    if (direction == 0) {
        device.validMask |= done;
        *record = device;
    }
    if (options.progressEnabled) ProgressHook(total, total, 2);
    return result;
}

int KALEN_Protocol::RunSettingsStep(uint32_t* pendingIn, uint32_t* doneIn, int direction, bool* tooOld) {
    uint32_t& pending = *pendingIn;
    uint32_t& done = *doneIn;
    const bool read = direction == 0;
    InstrumentRecord& d = device;
    auto take = [&](uint32_t bit, int r) {
        pending &= ~bit;
        if (r > 0) done |= bit;
        return r;
    };

    if (pending & kSetIdentity) {
        if (!read) {
            pending &= ~kSetIdentity;
            return 0;
        }
        int r = (d.kind && d.newFirmware && d.versionText[0] && d.version) ? 1 : VerCommand(false);
        if (d.newFirmware) return take(kSetIdentity, r);
        pending &= ~(kSetName | kSetSerialNumber | kSetIdentity | kSetWake | kSetRmode);
        if (r > 0) done |= kSetName | kSetIdentity | kSetWake | kSetRmode;
        if (r == -13) *tooOld = true;
        return r;
    }
    if (read && !d.newFirmware && (pending & (kSetName | kSetWake | kSetRmode))) {
        int r = ParseShowCommand(nullptr);
        pending &= ~(kSetName | kSetSerialNumber | kSetWake | kSetRmode);
        if (r > 0) done |= kSetName | kSetIdentity | kSetWake | kSetRmode;
        return r;
    }
    if (pending & kSetName) return take(kSetName, NameCommand(d.instrumentName, direction));
    if (pending & kSetDeviceId) return take(kSetDeviceId, DeviceIDCommand(d.deviceId, direction));
    if (pending & kSetReportMode) return take(kSetReportMode, ReportCommand(&d.reportMode, direction));
    if (pending & kSetDepth) return take(kSetDepth, DepthCommand(d.depth, direction));
    if (pending & kSetLatitude) {
        int r = take(kSetLatitude, LatitudeCommand(&d.latitude, direction));
        if (r < 0) d.validMask &= ~kSetLatitude;
        return r;
    }
    if (pending & kSetLongitude) {
        int r = take(kSetLongitude, LongitudeCommand(&d.longitude, direction));
        if (r < 0) d.validMask &= ~kSetLongitude;
        return r;
    }
    if (pending & kSetTimeZone) return take(kSetTimeZone, TimeZoneCommand(&d.timeZone, direction));
    if (pending & kSetSite) {
        int r = take(kSetSite, SiteCommand(d.site, direction));
        if (r < 0) d.validMask &= ~kSetSite;
        return r;
    }
    if (pending & kSetSerialNumber) return take(kSetSerialNumber, SNCommand(d.serialNumber, direction));
    if (pending & kSetWake) return take(kSetWake, WakeCommand(&d.wake, direction));
    if (pending & kSetPadc) return take(kSetPadc, PADCCommand(&d.padc, direction));
    if (pending & kSetPorts) return take(kSetPorts, PortsCommand(d.ports, direction));
    if (pending & kSetTrait) return take(kSetTrait, TraitCommand(&d.trait, direction));
    if (pending & kSetRmode) return take(kSetRmode, RmodeCommand(&d.rmode, direction));
    if (pending & kSetRadio) {
        int r;
        if (read && HasRadioModem() == 0) {
            r = -23;
        } else {
            uint32_t flags = pending & kSetRadio;
            r = MSRadioCommand(&d.rch, &d.rsch, d.rver, direction, &flags);
            done |= flags & kSetRadio;
        }
        pending &= ~kSetRadio;
        return r;
    }
    if (pending & kSetDataParameter)
        return take(kSetDataParameter, DataParameterCommand(&d.dataParameter, direction));
    if (pending & kSetQuarBuild) return take(kSetQuarBuild, QuarBuildCommand(d.quarBuild, direction));
    if (pending & kSetAdc30)
        return take(kSetAdc30, ADCcalCommand(1, d.adc30Slopes, d.adc30Offsets, direction));
    if (pending & kSetAdc15)
        return take(kSetAdc15, ADCcalCommand(2, d.adc15Slopes, d.adc15Offsets, direction));
    if (pending & kSetApn) return take(kSetApn, APNCommand(d.apn, direction));
    if (pending & kSetApnUser) return take(kSetApnUser, APNUserCommand(d.apnUser, direction));
    if (pending & kSetApnPassword) return take(kSetApnPassword, APNPasswdCommand(d.apnPassword, direction));
    if (pending & kSetAuthKey) return take(kSetAuthKey, AuthKeyCommand(d.authKey, direction));
    if (pending & kSetHost) return take(kSetHost, HostCommand(d.host, direction));
    if (pending & kSetIpPort) return take(kSetIpPort, IPPortCommand(&d.ipPort, direction));
    return 0;  // only bits without a step are left
}

// --- the get/set family -----------------------------------------------------

int KALEN_Protocol::NameCommand(char* name, int direction) {
    uint32_t start = TickMs();
    if (!name) return -10;
    int r;
    if (direction == 1) {
        int check = CheckDeviceName(name);
        if (check != 1) {
            LogMessage(log, 1, portName, "NameCommand: \"%s\" is an illegal device name (error %d)", name, check);
            return check;
        }
        char command[32];
        snprintf(command, sizeof command, "set -i %s\r", name);
        r = SetExchange(command, NewOrOld("OK", "\r>"), 32, nullptr);
        if (r > 0) LogMessage(log, 30, portName, "NameCommand set device name to \"%s\" (%d ms)", name, Elapsed(start));
    } else {
        char answer[32];
        r = GetExchange("get -i\r", answer, sizeof answer, nullptr);
        if (r == -31) return -36;
        if (r > 0) {
            char word[9];
            const char* p = kalen::AfterFirstCR(answer);
            if (kalen::ReadWord(p, word, 8) && word[0] != '>') {
                memcpy(name, word, sizeof word);
                LogMessage(log, 30, portName, "NameCommand found device named \"%s\" (%d ms)", name, Elapsed(start));
                r = 1;
            } else {
                LogMessage(log, 30, portName, "NameCommand couldn't find device name (%d ms)", Elapsed(start));
                r = -30;
            }
        }
    }
    if (r < 0) LogMessage(log, 1, portName, "NameCommand failed with error %d (%d ms)", r, Elapsed(start));
    return r;
}

int KALEN_Protocol::DeviceIDCommand(char* id, int direction) {
    uint32_t start = TickMs();
    if (!(device.capabilities & kCapExtended)) return -1;
    if (!id) return -10;
    int r;
    if (direction == 1) {
        char command[32];
        snprintf(command, sizeof command, "set -devid %s\r", id);
        r = SetExchange(command, "OK", 32, nullptr);
        if (r > 0) LogMessage(log, 30, portName, "DeviceIDCommand set DeviceID to \"%s\" (%d ms)", id, Elapsed(start));
    } else {
        r = GetTextValue("get -devid\r", id, 8, 32, nullptr);
        if (r > 0) LogMessage(log, 30, portName, "DeviceIDCommand found DeviceID \"%s\" (%d ms)", id, Elapsed(start));
    }
    if (r < 0) LogMessage(log, 1, portName, "DeviceIDCommand failed with error %d (%d ms)", r, Elapsed(start));
    return r;
}

int KALEN_Protocol::ReportCommand(int32_t* mode, int direction) {
    uint32_t start = TickMs();
    if (!(device.capabilities & kCapExtended)) return -1;
    if (!mode) return -10;
    int r;
    if (direction == 1) {
        char command[32];
        snprintf(command, sizeof command, "set -report %d\r", (int)*mode);
        r = SetExchange(command, "OK", 32, nullptr);
        if (r > 0)
            LogMessage(log, 30, portName, "ReportCommand set report mode to %d (%d ms)", (int)*mode, Elapsed(start));
    } else {
        char answer[32];
        r = GetExchange("get -report\r", answer, sizeof answer, nullptr);
        long v = 0;
        if (r > 0 && kalen::ReadLong(answer, &v)) {
            *mode = (int32_t)v;
            LogMessage(log, 30, portName, "ReportCommand found device report mode %d (%d ms)", (int)*mode,
                       Elapsed(start));
            r = 1;
        } else if (r > 0) {
            LogMessage(log, 30, portName, "ReportCommand could not find device report mode (%d ms)", Elapsed(start));
            r = -30;
        }
    }
    if (r < 0) LogMessage(log, 1, portName, "ReportCommand failed with error %d (%d ms)", r, Elapsed(start));
    return r;
}

int KALEN_Protocol::DepthCommand(uint8_t* depths, int direction) {
    uint32_t start = TickMs();
    if (!depths) return -10;
    if (!(device.capabilities & kCapExtended)) {
        if (direction != 1) memset(depths, 255, 5);
        return -1;
    }
    int r;
    if (direction == 1) {
        char command[64];
        snprintf(command, sizeof command, "set -depth %d %d %d %d %d\r", depths[0], depths[1], depths[2], depths[3],
                 depths[4]);
        r = SetExchange(command, "OK", 32, nullptr);
        if (r > 0)
            LogMessage(log, 30, portName, "DepthCommand set depths to %d %d %d %d %d (%d ms)", depths[0], depths[1],
                       depths[2], depths[3], depths[4], Elapsed(start));
    } else {
        char answer[32];
        r = GetExchange("get -depth\r", answer, sizeof answer, nullptr);
        if (r > 0) {
            long v[5];
            int n = kalen::ReadLongs(answer, v, 5);
            if (n < 5) {
                LogMessage(log, 30, portName, "DepthCommand only found %d of %d port depths (%d ms)", n, 5,
                           Elapsed(start));
                r = -30;
            } else {
                for (int i = 0; i < 5; ++i) depths[i] = ClampByte(v[i]);
                LogMessage(log, 30, portName, "DepthCommand: depths are %d %d %d %d %d (%d ms)", depths[0], depths[1],
                           depths[2], depths[3], depths[4], Elapsed(start));
                r = 1;
            }
        }
    }
    if (r < 0) LogMessage(log, 1, portName, "DepthCommand failed with error %d (%d ms)", r, Elapsed(start));
    return r;
}

namespace {
struct PositionTexts {
    const char* name;
    const char* setFormat;
    const char* setEmpty;
    const char* get;
    const char* setLine;
    const char* foundLine;
    const char* missingLine;
    const char* failedLine;
};
const PositionTexts kLatitude = {
    "LatitudeCommand",
    "set -lat %+.5f\r",
    "set -lat \r",
    "get -lat\r",
    "LatitudeCommand set latitude to %+.5f (%d ms)",
    "LatitudeCommand found device latitude %+.5f (%d ms)",
    "LatitudeCommand could not find device latitude (%d ms)",
    "LatitudeCommand failed with error %d (%d ms)",
};
const PositionTexts kLongitude = {
    "LongitudeCommand",
    "set -long %+.5f\r",
    "set -long \r",
    "get -long\r",
    "LongitudeCommand set longitude to %+.5f (%d ms)",
    "LongitudeCommand found device longitude %+.5f (%d ms)",
    "LongitudeCommand could not find device longitude (%d ms)",
    "LongitudeCommand failed with error %d (%d ms)",
};
}  // namespace

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"

static int PositionCommand(KALEN_Protocol& p, QuarLog* log, const char* label, const PositionTexts& t,
                           double* value, int direction);

int KALEN_Protocol::LatitudeCommand(double* latitude, int direction) {
    if (!(device.capabilities & kCapPosition)) return -1;
    if (!latitude) return -10;
    return PositionCommand(*this, log, portName, kLatitude, latitude, direction);
}

int KALEN_Protocol::LongitudeCommand(double* longitude, int direction) {
    if (!(device.capabilities & kCapPosition)) return -1;
    if (!longitude) return -10;
    return PositionCommand(*this, log, portName, kLongitude, longitude, direction);
}

static int PositionCommand(KALEN_Protocol& p, QuarLog* log, const char* label, const PositionTexts& t,
                           double* value, int direction) {
    uint32_t start = TickMs();
    char answer[32];
    unsigned size = sizeof answer;
    int r;
    if (direction == 1) {
        char command[48];
        if (*value == 0)
            snprintf(command, sizeof command, "%s", t.setEmpty);
        else
            snprintf(command, sizeof command, t.setFormat, *value);
        r = p.DeviceCommand(command, '>', 1500, answer, &size, nullptr);
        if (r > 0) r = strstr(answer, "OK") ? 1 : -30;
        if (r > 0) LogMessage(log, 30, label, t.setLine, *value, Elapsed(start));
    } else {
        r = p.DeviceCommand(t.get, '>', 1500, answer, &size, nullptr);
        double v = 0;
        if (r > 0 && kalen::ReadDouble(answer, &v)) {
            *value = v;
            LogMessage(log, 30, label, t.foundLine, v, Elapsed(start));
            r = 1;
        } else if (r > 0) {
            LogMessage(log, 30, label, t.missingLine, Elapsed(start));
            r = -31;
        }
    }
    if (r < 0) LogMessage(log, 1, label, t.failedLine, r, Elapsed(start));
    return r;
}

#pragma GCC diagnostic pop

int KALEN_Protocol::TimeZoneCommand(int32_t* zone, int direction) {
    uint32_t start = TickMs();
    if (!(device.capabilities & kCapExtended)) return -1;
    if (!zone) return -10;
    int r;
    if (direction == 1) {
        if (*zone == -2) *zone = (int32_t)(UtcOffsetSeconds() / 900);
        char command[32];
        snprintf(command, sizeof command, "set -tz %d\r", (int)*zone);
        r = SetExchange(command, "OK", 32, nullptr);
        if (r > 0)
            LogMessage(log, 30, portName, "TimeZoneCommand set time zone to %d (%d ms)", (int)*zone, Elapsed(start));
    } else {
        char answer[32];
        r = GetExchange("get -tz\r", answer, sizeof answer, nullptr);
        long v = 0;
        if (r > 0 && kalen::ReadLong(answer, &v)) {
            *zone = (int32_t)v;
            LogMessage(log, 30, portName, "TimeZoneCommand found device time zone %d (%d ms)", (int)*zone,
                       Elapsed(start));
            r = 1;
        } else if (r > 0) {
            LogMessage(log, 30, portName, "TimeZoneCommand could not find device time zone (%d ms)", Elapsed(start));
            r = -30;
        }
    }
    if (r < 0) LogMessage(log, 1, portName, "TimeZoneCommand failed with error %d (%d ms)", r, Elapsed(start));
    return r;
}

int KALEN_Protocol::SiteCommand(char* site, int direction) {
    uint32_t start = TickMs();
    if (!(device.capabilities & kCapExtended)) return -1;
    if (!site) return -10;
    int r;
    if (direction == 1) {
        char command[48];
        snprintf(command, sizeof command, "set -site %.25s\r", site);
        r = SetExchange(command, "OK", 32, nullptr);
        if (r > 0) LogMessage(log, 30, portName, "SiteCommand set site to \"%s\" (%d ms)", site, Elapsed(start));
    } else {
        r = GetTextValue("get -site\r", site, 25, 32, nullptr);
        if (r > 0) LogMessage(log, 30, portName, "SiteCommand found site name \"%s\" (%d ms)", site, Elapsed(start));
    }
    if (r < 0) LogMessage(log, 1, portName, "SiteCommand failed with error %d (%d ms)", r, Elapsed(start));
    return r;
}

int KALEN_Protocol::SNCommand(char* serial, int direction) {
    uint32_t start = TickMs();
    if (!serial) return -10;
    int r = -30;
    if (direction == 1) {
        if (!device.newFirmware) return -1;
        char command[40];
        snprintf(command, sizeof command, "set -sn %.15s\r", serial);
        r = SetExchange(command, "OK", 32, nullptr);
        if (r > 0)
            LogMessage(log, 30, portName, "SNCommand set device serial number to \"%s\" (%d ms)", serial,
                       Elapsed(start));
    } else {
        for (uint32_t attempt = 0; attempt < tries; ++attempt) {
            char answer[32];
            r = GetExchange("get -sn\r", answer, sizeof answer, nullptr);
            if (r < 0) continue;
            char value[16];
            const char* p = kalen::AfterFirstCR(answer);
            if (*p == '>' || kalen::CopyLine(p, value, 15) == 0) {
                r = -30;
                continue;
            }
            memcpy(serial, value, sizeof value);
            LogMessage(log, 30, portName, "SNCommand found device serial number \"%s\" (%d ms)", serial,
                       Elapsed(start));
            r = 1;
            break;
        }
    }
    if (r < 0) LogMessage(log, 1, portName, "SNCommand failed with error %d (%d ms)", r, Elapsed(start));
    return r;
}

int KALEN_Protocol::WakeCommand(int32_t* interval, int direction) {
    uint32_t start = TickMs();
    if (!(device.capabilities & kCapWake)) return -1;
    if (!interval) return -10;
    int r;
    if (direction == 1) {
        if (*interval < 0) {
            r = -11;
        } else {
            char command[32];
            snprintf(command, sizeof command, "set -w %d\r", (int)*interval);
            r = SetExchange(command, NewOrOld("OK", "\r>"), 32, nullptr);
            if (r > 0)
                LogMessage(log, 30, portName, "WakeCommand set device measurement interval to %d (%d ms)",
                           (int)*interval, Elapsed(start));
        }
    } else {
        char answer[32];
        r = GetExchange("get -w\r", answer, sizeof answer, nullptr);
        long v = 0;
        if (r > 0 && kalen::ReadLong(kalen::AfterFirstCR(answer), &v)) {
            *interval = (int32_t)v;
            LogMessage(log, 30, portName, "WakeCommand found device measurement interval %d (%d ms)", (int)*interval,
                       Elapsed(start));
            r = 1;
        } else if (r > 0) {
            LogMessage(log, 30, portName, "WakeCommand could not find device measurement interval (%d ms)",
                       Elapsed(start));
            r = -30;
        }
    }
    if (r < 0) LogMessage(log, 1, portName, "WakeCommand failed with error %d (%d ms)", r, Elapsed(start));
    return r;
}

int KALEN_Protocol::PADCCommand(int32_t* rate, int direction) {
    uint32_t start = TickMs();
    if (!(device.capabilities & kCapWake)) return -1;
    if (!rate) return -10;
    if (!device.newFirmware && device.version < 165) {
        *rate = -1;
        return -1;
    }
    int r;
    if (direction == 1) {
        if (*rate < 0) {
            r = -11;
        } else {
            char command[32];
            snprintf(command, sizeof command, NewOrOld("set -padc %d\r", "set -p %d\r"), (int)*rate);
            r = SetExchange(command, NewOrOld("OK", "\r>"), 32, nullptr);
            if (r > 0)
                LogMessage(log, 30, portName, "PADCCommand set device PADC %d Hz (%d ms)", (int)*rate, Elapsed(start));
        }
    } else {
        char answer[32];
        r = GetExchange(NewOrOld("get -padc\r", "hertz\r"), answer, sizeof answer, nullptr);
        long v = 0;
        if (r > 0 && kalen::ReadLong(kalen::AfterFirstCR(answer), &v)) {
            *rate = (int32_t)v;
            LogMessage(log, 30, portName, "PADCCommand found device PADC %d Hz (%d ms)", (int)*rate, Elapsed(start));
            r = 1;
        } else if (r > 0) {
            LogMessage(log, 30, portName, "PADCCommand could not find device PADC value (%d ms)", Elapsed(start));
            r = -30;
        }
    }
    if (r < 0) LogMessage(log, 1, portName, "PADCCommand failed with error %d (%d ms)", r, Elapsed(start));
    return r;
}

int KALEN_Protocol::PortsCommand(uint8_t* ports, int direction) {
    uint32_t start = TickMs();
    if (!ports) return -10;
    if (!(device.capabilities & kCapPorts)) {
        if (direction != 1) memset(ports, 0, 5);
        return -1;
    }
    int r;
    if (direction == 1) {
        char command[64];
        snprintf(command, sizeof command, "set -ports %d %d %d %d %d\r", ports[0], ports[1], ports[2], ports[3],
                 ports[4]);
        r = SetExchange(command, "OK", 32, nullptr);
        if (r > 0)
            LogMessage(log, 30, portName, "PortsCommand set ports to %d %d %d %d %d (%d ms)", ports[0], ports[1],
                       ports[2], ports[3], ports[4], Elapsed(start));
    } else {
        char answer[32];
        r = GetExchange("get -ports\r", answer, sizeof answer, nullptr);
        if (r > 0) {
            long v[5];
            int n = kalen::ReadLongs(answer, v, 5);
            if (n < 5) {
                LogMessage(log, 30, portName, "PortsCommand only found %d of %d ports (%d ms)", n, 5, Elapsed(start));
                r = -30;
            } else {
                for (int i = 0; i < 5; ++i) ports[i] = ClampByte(v[i]);
                LogMessage(log, 30, portName, "PortsCommand: ports are %d %d %d %d %d (%d ms)", ports[0], ports[1],
                           ports[2], ports[3], ports[4], Elapsed(start));
                r = 1;
            }
        }
    }
    if (r < 0) LogMessage(log, 1, portName, "PortsCommand failed with error %d (%d ms)", r, Elapsed(start));
    return r;
}

int KALEN_Protocol::TraitCommand(int32_t* trait, int direction) {
    uint32_t start = TickMs();
    if (!trait) return -10;
    int r;
    if (direction == 1) {
        if (!(*trait & kTraitKnown)) {
            r = -11;
        } else if (!(device.capabilities & kCapExtended)) {
            r = -12;
        } else {
            char command[32];
            snprintf(command, sizeof command, "set -trait %d\r", (int)(~*trait & 0xFF));
            r = SetExchange(command, "OK", 32, nullptr);
            if (r > 0) LogMessage(log, 30, portName, "TraitCommand set trait to %d (%d ms)", (int)*trait, Elapsed(start));
        }
    } else if (device.kind == kKindVeltris) {
        *trait = kTraitKnown | kTraitRadio;
        LogMessage(log, 30, portName, "TraitCommand: set trait to %d for Veltris", (int)*trait);
        r = 1;
    } else if (device.capabilities & kCapTraitGet) {
        char answer[32];
        r = GetExchange("get -trait\r", answer, sizeof answer, nullptr);
        long x = 0;
        if (r > 0 && kalen::ReadLong(answer, &x) && x >= 0 && x <= 255) {
            *trait = (int32_t)((255 - x) | kTraitKnown);
            LogMessage(log, 30, portName, "TraitCommand: found %d (%d ms)", (int)*trait, Elapsed(start));
            r = 1;
        } else if (r > 0) {
            r = -30;
        }
    } else if (!(device.capabilities & kCapRadio)) {
        *trait = kTraitKnown;
        r = 1;
    } else if (link.linkType == kLinkRadio) {
        *trait = kTraitKnown | kTraitRadio;
        LogMessage(log, 30, portName, "TraitCommand (emulated): knows %d", (int)*trait);
        r = 1;
    } else {
        uint32_t flags = kSetRver;
        char version[9] = {0};
        int m = MSRadioCommand(nullptr, nullptr, version, 0, &flags);
        *trait = (flags & kSetRver) ? (kTraitKnown | kTraitRadio) : kTraitKnown;
        if (m >= 0) {
            LogMessage(log, 30, portName, "TraitCommand (emulated): found %d", (int)*trait);
            r = 1;
        } else {
            r = 0;
        }
    }
    if (r < 0) LogMessage(log, 1, portName, "TraitCommand failed with error %d (%d ms)", r, Elapsed(start));
    return r;
}

int KALEN_Protocol::RmodeCommand(int32_t* mode, int direction) {
    uint32_t start = TickMs();
    if (!(device.capabilities & kCapRmode)) return -1;
    if (!mode) return -10;
    if (device.kind == kKindCirro) {
        if (direction != 1) *mode = 16;
        LogMessage(log, 30, portName, "RmodeCommand found an Cirro that is always mode %d", 16);
        return 1;
    }
    int r;
    if (direction == 1) {
        char command[32];
        snprintf(command, sizeof command, "set -r %d\r", (int)*mode);
        r = SetExchange(command, NewOrOld("OK", "\r>"), 32, nullptr);
        if (r > 0) LogMessage(log, 30, portName, "RmodeCommand set rmode to %d (%d ms)", (int)*mode, Elapsed(start));
    } else {
        char answer[32];
        r = GetExchange("get -r\r", answer, sizeof answer, nullptr);
        long v = 0;
        if (r > 0 && kalen::ReadLong(answer, &v)) {
            *mode = (int32_t)v;
            LogMessage(log, 30, portName, "RmodeCommand found rmode %d (%d ms)", (int)*mode, Elapsed(start));
            r = 1;
        } else if (r > 0) {
            LogMessage(log, 30, portName, "RmodeCommand could not find device rmode (%d ms)", Elapsed(start));
            r = -30;
        }
    }
    if (r < 0) LogMessage(log, 1, portName, "RmodeCommand failed with error %d (%d ms)", r, Elapsed(start));
    return r;
}

int KALEN_Protocol::DataParameterCommand(int32_t* value, int direction) {
    uint32_t start = TickMs();
    if (!(device.capabilities & kCapDataParameter)) return -1;
    if (!value) return -10;
    int r;
    if (direction == 1) {
        char command[32];
        snprintf(command, sizeof command, "set -data %d\r", (int)*value);
        r = SetExchange(command, "OK", 32, nullptr);
        if (r > 0)
            LogMessage(log, 30, portName, "DataParameterCommand set data parameter to %d (%d ms)", (int)*value,
                       Elapsed(start));
    } else {
        char answer[32];
        r = GetExchange("get -data\r", answer, sizeof answer, nullptr);
        long v = 0;
        if (r > 0 && kalen::ReadLong(answer, &v)) {
            *value = (int32_t)v;
            LogMessage(log, 30, portName, "DataParameterCommand found data parameter %d (%d ms)", (int)*value,
                       Elapsed(start));
            r = 1;
        } else if (r > 0) {
            LogMessage(log, 30, portName, "DataParameterCommand could not find device data parameter (%d ms)",
                       Elapsed(start));
            r = -30;
        }
    }
    if (r < 0) LogMessage(log, 1, portName, "DataParameterCommand failed with error %d (%d ms)", r, Elapsed(start));
    return r;
}

int KALEN_Protocol::QuarBuildCommand(char* build, int direction) {
    uint32_t start = TickMs();
    if (!(device.capabilities & kCapQuarBuild)) return -1;
    if (!build) return -10;
    int r;
    if (direction == 1) {
        char command[40];
        snprintf(command, sizeof command, "set -build %.16s\r", build);
        r = SetExchange(command, "OK", 32, nullptr);
        if (r > 0)
            LogMessage(log, 30, portName, "QuarBuildCommand set QuarBuild number to \"%s\" (%d ms)", build,
                       Elapsed(start));
    } else {
        char answer[32];
        r = GetExchange("get -build\r", answer, sizeof answer, nullptr);
        if (r > 0) {
            const char* p = kalen::AfterFirstCR(answer);
            char value[17];
            if (*p == '>') {
                r = -31;
            } else if (kalen::CopyLine(p, value, 16) == 0) {
                r = -30;
            } else {
                memcpy(build, value, sizeof value);
                LogMessage(log, 30, portName, "QuarBuildCommand found QuarBuild info \"%s\" (%d ms)", build,
                           Elapsed(start));
                r = 1;
            }
        }
    }
    if (r < 0) LogMessage(log, 1, portName, "QuarBuildCommand failed with error %d (%d ms)", r, Elapsed(start));
    return r;
}

int KALEN_Protocol::ADCcalCommand(int range, uint8_t* slopes, uint8_t* offsets, int direction) {
    uint32_t start = TickMs();
    if (!slopes || !offsets) return -10;
    if (!(device.capabilities & kCapAdcCal)) return -1;
    const char* name = range == 1 ? "-adc30" : range == 2 ? "-adc15" : nullptr;
    if (!name) return -11;
    const bool shortForm = (device.capabilities & kCapAdcShort) != 0;
    char answer[128];
    unsigned size = sizeof answer;
    char command[96];
    int r;
    if (direction == 1) {
        unsigned sum;
        if (shortForm) {
            sum = (slopes[0] + offsets[0]) % 256u;
            snprintf(command, sizeof command, "set %s %u %u %u\r", name, slopes[0], offsets[0], sum);
        } else {
            sum = 0;
            for (int i = 0; i < 5; ++i) sum += slopes[i] + offsets[i];
            sum %= 256u;
            snprintf(command, sizeof command, "set %s %u %u %u %u %u %u %u %u %u %u %u\r", name, slopes[0], offsets[0],
                     slopes[1], offsets[1], slopes[2], offsets[2], slopes[3], offsets[3], slopes[4], offsets[4], sum);
        }
        r = DeviceCommand(command, '>', 1500, answer, &size, nullptr);
        if (r > 0 && strstr(answer, "OK")) {
            LogMessage(log, 30, portName, "ADCcalCommand set %s %u %u %u %u %u %u %u %u %u %u %u (%d ms)", name,
                       slopes[0], offsets[0], slopes[1], offsets[1], slopes[2], offsets[2], slopes[3], offsets[3],
                       slopes[4], offsets[4], sum, Elapsed(start));
            r = 1;
        } else if (r > 0) {
            r = -30;
        }
    } else {
        snprintf(command, sizeof command, "get %s\r", name);
        r = DeviceCommand(command, '>', 1500, answer, &size, nullptr);
        if (r > 0) {
            unsigned long long v[11];
            int count = 0;
            const char* p = answer;
            while (count < 11 && kalen::ReadUnsigned(p, &v[count], &p)) ++count;
            const int n = shortForm ? 1 : 5;
            if (count != 2 * n + 1) {
                LogMessage(log, 30, portName, "ADCcalCommand only found %d of %d cal %s factors (%d ms)", count, 11,
                           name, Elapsed(start));
                r = -30;
            } else {
                r = 1;
                for (int i = 0; i < n; ++i) {
                    for (int k = 0; k < 2; ++k) {
                        unsigned long long x = v[2 * i + k];
                        uint8_t stored = x >= 255 ? 255 : (uint8_t)x;
                        if (x == 0 || x >= 255) r = -1;
                        (k == 0 ? slopes : offsets)[i] = stored;
                    }
                }
                unsigned sum = 0;
                for (int i = 0; i < 5; ++i) sum += slopes[i] + offsets[i];
                sum %= 256u;
                unsigned long long sumRead = v[2 * n];
                if (sumRead != sum) r = -1;
                LogMessage(log, 30, portName, "ADCcalCommand found (%s) %s %u %u %u %u %u %u %u %u %u %u %u (%d ms)",
                           r < 0 ? "not valid" : "valid", name, slopes[0], offsets[0], slopes[1], offsets[1],
                           slopes[2], offsets[2], slopes[3], offsets[3], slopes[4], offsets[4],
                           (unsigned)(sumRead > 0xFFFFFFFFull ? 0xFFFFFFFFu : sumRead), Elapsed(start));
            }
        }
    }
    if (r < 0)
        LogMessage(log, 1, portName, "ADCcalCommand (%s) failed with error %d (%d ms)", name, r, Elapsed(start));
    return r;
}

namespace {
struct CellTexts {
    const char* setFormat;
    const char* get;
    unsigned limit;
    unsigned bufferSize;
    const char* setLine;
    const char* foundLine;
    const char* failedLine;
};
const CellTexts kApn = {"set -apn %s\r", "get -apn\r", 35, 64, "APNCommand set APN to \"%s\" (%d ms)",
                        "APNCommand found APN \"%s\" (%d ms)", "APNCommand failed with error %d (%d ms)"};
const CellTexts kApnUser = {"set -user %s\r", "get -user\r", 35, 64,
                            "APNUserCommand set APN user name to \"%s\" (%d ms)",
                            "APNUserCommand found APN user name \"%s\" (%d ms)",
                            "APNUserCommand failed with error %d (%d ms)"};
const CellTexts kApnPasswd = {"set -passwd %s\r", "get -passwd\r", 35, 64,
                              "APNPasswdCommand set APN password to \"%s\" (%d ms)",
                              "APNPasswdCommand found APN password \"%s\" (%d ms)",
                              "APNPasswdCommand failed with error %d (%d ms)"};
const CellTexts kHost = {"set -host %s\r", "get -host\r", 63, 96,
                         "HostCommand set remote host name to \"%s\" (%d ms)",
                         "HostCommand found the remote host name \"%s\" (%d ms)",
                         "HostCommand failed with error %d (%d ms)"};
}  // namespace

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"

static int CellTextCommand(KALEN_Protocol& p, QuarLog* log, const char* label, const CellTexts& t, char* field,
                           int direction) {
    uint32_t start = TickMs();
    char answer[128];
    unsigned size = t.bufferSize;
    int r;
    if (direction == 1) {
        char value[64];
        snprintf(value, sizeof value, "%.*s", (int)t.limit, field);
        char command[96];
        snprintf(command, sizeof command, t.setFormat, value);
        r = p.DeviceCommand(command, '>', 1500, answer, &size, nullptr);
        if (r > 0) r = strstr(answer, "OK") ? 1 : -30;
        if (r > 0) LogMessage(log, 30, label, t.setLine, value, Elapsed(start));
    } else {
        r = p.DeviceCommand(t.get, '>', 1500, answer, &size, nullptr);
        if (r > 0) {
            const char* q = kalen::SkipWhite(answer);
            char value[64];
            if (*q == '>') {
                r = -31;
            } else if (kalen::CopyLine(q, value, t.limit) == 0) {
                r = -30;
            } else {
                memcpy(field, value, t.limit + 1);
                LogMessage(log, 30, label, t.foundLine, field, Elapsed(start));
                r = 1;
            }
        }
    }
    if (r < 0) LogMessage(log, 1, label, t.failedLine, r, Elapsed(start));
    return r;
}

#pragma GCC diagnostic pop

int KALEN_Protocol::APNCommand(char* apn, int direction) {
    if (HasCellModem() != 1) return -1;
    if (!apn) return -10;
    return CellTextCommand(*this, log, portName, kApn, apn, direction);
}

int KALEN_Protocol::APNUserCommand(char* user, int direction) {
    if (HasCellModem() != 1) return -1;
    if (!user) return -10;
    return CellTextCommand(*this, log, portName, kApnUser, user, direction);
}

int KALEN_Protocol::APNPasswdCommand(char* password, int direction) {
    if (HasCellModem() != 1) return -1;
    if (!password) return -10;
    return CellTextCommand(*this, log, portName, kApnPasswd, password, direction);
}

int KALEN_Protocol::HostCommand(char* host, int direction) {
    if (HasCellModem() != 1) return -1;
    if (!host) return -10;
    return CellTextCommand(*this, log, portName, kHost, host, direction);
}

int KALEN_Protocol::AuthKeyCommand(char* key, int direction) {
    uint32_t start = TickMs();
    if (HasCellModem() != 1) return -1;
    if (!key) return -10;
    int r;
    if (direction == 1) {
        bool hex = true;
        for (int i = 0; i < 32 && hex; ++i)
            if (!isxdigit((unsigned char)key[i])) hex = false;  // stops at a short key's NUL
        if (!hex) {
            r = -11;
        } else {
            key[32] = 0;
            char command[48];
            snprintf(command, sizeof command, "set -authkey %s\r", key);
            r = SetExchange(command, "OK", 64, nullptr);
            if (r > 0) LogMessage(log, 30, portName, "AuthKeyCommand set authkey to \"%s\" (%d ms)", key, Elapsed(start));
        }
    } else {
        r = GetTextValue("get -authkey\r", key, 32, 64, nullptr);
        if (r > 0) {
            LogMessage(log, 30, portName, "AuthKeyCommand found authkey \"%s\" (%d ms)", key, Elapsed(start));
        } else if (r == -34) {
            r = GetTextValue("get -teakey\r", key, 32, 64, nullptr);
            if (r > 0)
                LogMessage(log, 30, portName, "AuthKeyCommand found authkey (as teakey) \"%s\" (%d ms)", key,
                           Elapsed(start));
        }
    }
    if (r < 0) LogMessage(log, 1, portName, "AuthKeyCommand failed with error %d (%d ms)", r, Elapsed(start));
    return r;
}

int KALEN_Protocol::IPPortCommand(int32_t* port, int direction) {
    uint32_t start = TickMs();
    if (HasCellModem() != 1) return -1;
    if (!port) return -10;
    int r;
    if (direction == 1) {
        char command[32];
        snprintf(command, sizeof command, "set -ipport %d\r", (int)*port);
        r = SetExchange(command, "OK", 64, nullptr);
        if (r > 0) LogMessage(log, 30, portName, "IPPortCommand set ipport to %d (%d ms)", (int)*port, Elapsed(start));
    } else {
        char answer[64];
        r = GetExchange("get -ipport\r", answer, sizeof answer, nullptr);
        long v = 0;
        if (r > 0 && kalen::ReadLong(answer, &v)) {
            *port = (int32_t)v;
            LogMessage(log, 30, portName, "IPPortCommand found device ipport %d (%d ms)", (int)*port, Elapsed(start));
            r = 1;
        } else if (r > 0) {
            LogMessage(log, 30, portName, "IPPortCommand could not find device ipport (%d ms)", Elapsed(start));
            r = -31;
        }
    }
    if (r < 0) LogMessage(log, 1, portName, "IPPortCommand failed with error %d (%d ms)", r, Elapsed(start));
    return r;
}

int KALEN_Protocol::HasRadioModem() const {
    if (!(device.trait & kTraitKnown)) return -1;
    return (device.trait & kTraitRadio) ? 1 : 0;
}

int KALEN_Protocol::HasCellModem() const {
    if (!(device.trait & kTraitKnown)) return -1;
    return (device.kind == kKindLumoZ && (device.trait & kTraitCell)) ? 1 : 0;
}

// --- clock and data memory ----------------------------------------------------

int KALEN_Protocol::DeviceTime(long* value, int direction) {
    uint32_t start = TickMs();
    if (!(device.capabilities & kCapClock)) {
        if (value) *value = -1;
        return -1;
    }
    const bool seconds = (device.capabilities & kCapClockSeconds) != 0;
    char answer[48];
    unsigned size = sizeof answer;
    char command[48];
    bool reportZero = false;
    int r;
    if (direction == 1) {
        long quarSeconds;
        struct tm fields {};
        if (value && *value != 0) {
            quarSeconds = *value;
            time_t t = (time_t)quarSeconds + kEpoch2000;
            gmtime_r(&t, &fields);
        } else {
            errno = 0;
            time_t now = time(nullptr);
            if (now == (time_t)-1) {
                LogMessage(log, 1, portName, "DeviceTime failed to get system time with error %d", errno);
                return -30;
            }
            quarSeconds = UtcOffsetSeconds() + (long)now - kEpoch2000;
            if (value) *value = quarSeconds;
            localtime_r(&now, &fields);
        }
        int timeResult = 1;
        if (!seconds) {
            snprintf(command, sizeof command, "set -t %d:%d:%d\r", fields.tm_hour, fields.tm_min, fields.tm_sec);
            r = DeviceCommand(command, '>', 1500, answer, &size, nullptr);
            if (r > 0 && strstr(answer, NewOrOld("OK", "\r>"))) {
                LogMessage(log, 30, portName, "DeviceTime set device time to %d:%02d:%02d (%d ms)", fields.tm_hour,
                           fields.tm_min, fields.tm_sec, Elapsed(start));
            } else {
                timeResult = r > 0 ? -30 : r;
            }
        }
        if (seconds)
            snprintf(command, sizeof command, "set -sec %lu\r", (unsigned long)quarSeconds);
        else
            snprintf(command, sizeof command, "set -d %d-%d-%d\r", fields.tm_year + 1900, fields.tm_mon + 1,
                     fields.tm_mday);
        size = sizeof answer;
        r = DeviceCommand(command, '>', 1500, answer, &size, nullptr);
        if (r > 0) {
            bool ok = strstr(answer, "OK") || (!device.newFirmware && strchr(answer, '>'));
            r = ok ? 1 : -30;
        }
        if (r > 0) {
            if (seconds)
                LogMessage(log, 30, portName, "DeviceTime set device quarseconds to %d (%d ms)", (int)quarSeconds,
                           Elapsed(start));
            else
                LogMessage(log, 30, portName, "DeviceTime set device date to %d-%d-%d (%d ms)", fields.tm_year + 1900,
                           fields.tm_mon + 1, fields.tm_mday, Elapsed(start));
        }
        // A clock whose time of day was refused is not set, whatever the date did.
        if (r > 0 && timeResult < 0) r = timeResult;
    } else {
        if (!value) return -10;
        const char* get = seconds ? "get -sec\r" : device.newFirmware ? "get -t\r" : "time\r";
        r = DeviceCommand(get, '>', 3000, answer, &size, nullptr);
        if (r < 0) {
            r = -30;
        } else if (seconds) {
            unsigned long long v = 0;
            if (!kalen::ReadUnsigned(answer, &v)) {
                r = -30;
            } else if (v > 2147483647ull) {
                *value = 0;
                reportZero = true;
                r = -30;
            } else {
                *value = (long)v;
                r = 1;
                LogMessage(log, 30, portName, "DeviceTime found device date/timr %ld QuarSeconds (%d ms)", *value,
                           Elapsed(start));
            }
        } else {
            const char* label = strstr(answer, "Date\\Time:");
            const char* p = label ? label + strlen("Date\\Time:") : answer;
            int y = 0, mo = 0, da = 0, h = 0, mi = 0, s = 0;
            if (sscanf(p, "%d-%d-%d %d:%d:%d", &y, &mo, &da, &h, &mi, &s) == 6) {
                time_t now = time(nullptr);
                struct tm nowFields {};
                localtime_r(&now, &nowFields);
                struct tm fields {};
                fields.tm_year = y - 1900;
                fields.tm_mon = mo - 1;
                fields.tm_mday = da;
                fields.tm_hour = h;
                fields.tm_min = mi;
                fields.tm_sec = s;
                fields.tm_isdst = nowFields.tm_isdst;
                time_t t = mktime(&fields);
                if (t == (time_t)-1) {
                    *value = 0;
                    reportZero = true;
                    r = -30;
                } else {
                    *value = UtcOffsetSeconds() + (long)t - kEpoch2000;
                    r = 1;
                    LogMessage(log, 30, portName, "DeviceTime found device date/time %d-%d-%d %d:%02d:%02d or %ld (%d ms)",
                               y, mo, da, h, mi, s, *value, Elapsed(start));
                }
            } else {
                r = -30;
            }
        }
    }
    if (r < 0) {
        // An out-of-range clock reading is reported as 0; other failures as -1.
        if (direction != 1 && value && !reportZero) *value = -1;
        LogMessage(log, 1, portName, "DeviceTime failed with error %d (%d ms)", r, Elapsed(start));
    }
    return r;
}

int KALEN_Protocol::EraseData() {
    uint32_t start = TickMs();
    char name[9] = {0};
    char terminator;
    int r;
    if (device.newFirmware) {
        r = NameCommand(name, 0);
        terminator = '>';
    } else {
        r = ParseShowCommand(name);
        terminator = '!';
    }
    if (r < 0) {
        LogMessage(log, 1, portName, "EraseData failed checking the identity of device (error %d)", r);
        return -37;
    }
    if (strncmp(device.instrumentName, name, 8) != 0) {
        LogMessage(log, 1, portName, "EraseData: Identity mismatch. Class: %s, Device: %s", device.instrumentName, name);
        return -37;
    }
    char answer[32];
    unsigned size = sizeof answer;
    r = DeviceCommand("yes\r", terminator, 17000, answer, &size, nullptr);
    if (r > 0) {
        if (strstr(answer, "OK")) {
            LogMessage(log, 30, portName, "InitializeDevice erased device data (%d ms)", Elapsed(start));
            r = 1;
        } else if (strstr(answer, "DataFlash FAIL")) {
            r = -65;
        } else {
            r = -30;
        }
    } else if (r == -34 || r == -22 || r == -21) {
        r = -65;
    }
    if (r == -65)
        LogMessage(log, 1, portName, "EraseData failed due to a broken DataFlash (%d ms)", Elapsed(start));
    else if (r < 0)
        LogMessage(log, 1, portName, "EraseData failed with error %d (%d ms)", r, Elapsed(start));
    return r;
}
