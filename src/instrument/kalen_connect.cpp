// Connection, login, identification, baud rate and the radio modem.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "diag/quarlog.h"
#include "instrument/kalen_protocol.h"
#include "instrument/kalen_text.h"

namespace {

// The instrument's code for a rate of its "set -baud" command, -1 for none.
int InstrumentBaudCode(int rate) {
    static const int rates[7] = {9600, 19200, 38400, 57600, 115200, 230400, 460800};
    for (int i = 0; i < 7; ++i)
        if (rates[i] == rate) return i;
    return -1;
}

int Elapsed(uint32_t start) { return (int)(TickMs() - start); }

}  // namespace

void KALEN_Protocol::ClearDevice() {
    device = InstrumentRecord{};
    resetCount = 0;
}

int KALEN_Protocol::ConnectDevice(ConnectRecord* record) {
    if (!record) return -10;
    if (!answerBuffer) return -60;
    ClearDevice();
    switch (record->linkType) {
    case kLinkNone:
        return -11;
    case kLinkSerial:
        tries = options.serialTries;
        break;
    case kLinkRadio:
        tries = options.radioTries;
        break;
    case 20:
    case 40:
    case 100:
    case 110:
    case 120:
        return -13;
    default:
        return -10;
    }
    if (record->baudIndex == 0) record->baudIndex = 2;
    if (record->baudIndex < 0 || record->baudIndex > 8) return -11;
    if (strnlen(record->portName, sizeof record->portName) > kLinkPortNameMax) {
        // Never open a port under a name cut to fit: it may be another port.
        LogMessage(log, 1, "KALEN_Protocol", "ConnectDevice refused a port name longer than %d characters",
                   (int)kLinkPortNameMax);
        return -11;
    }
    if (link.linkType == kLinkNone) {
        int r = QSOpen(record->portName, 9600);
        if (r < 0) return r;
    }
    link = *record;
    SleepMs(100);
    if (record->linkType == kLinkRadio && record->radioKnown) {
        tries = 3;
        uint32_t flags = kSetRch | kSetRsch;
        int r = Tk9Config(&record->radioChannel, &record->radioSubchannel, nullptr, 1, &flags);
        if (r != 1) {
            if (!options.keepPortOpen) {
                link.linkType = kLinkNone;
                QSClose();
            }
            return -23;
        }
        tries = options.radioTries;
    }
    int result = DeviceLogin(record->instrumentName, &record->baudIndex);
    if (result < 0 && !options.keepPortOpen) {
        QSClose();
        link.linkType = kLinkNone;
    }
    return result;
}

int KALEN_Protocol::DisconnectDevice(bool quiet) {
    if (link.linkType == kLinkNone) return 0;
    int result = 1;
    if (link.linkType == kLinkSerial) {
        if (baud != 9600) SetBaudCommand(9600);
        result = 1;
    } else {
        result = -22;
        if (!quiet) {
            char login[32];
            snprintf(login, sizeof login, "login %s\r", device.instrumentName);
            for (uint32_t attempt = 0; attempt < tries; ++attempt) {
                QSFlush(1);
                answerBuffer[0] = 0;
                int written = 0;
                QSWrite("logout\r", 7, &written);
                if (options.traceMode & 2) TraceText("logout\r");
                SleepMs(100);
                QSWrite(login, (int)strlen(login), &written);
                if (options.traceMode & 2) TraceText(login);
                unsigned got = 0;
                int rr = QSRead(answerBuffer, 31, &got);
                if (rr <= 0 || got == 0) {
                    result = 1;
                    break;
                }
                answerBuffer[got] = 0;
                if (options.traceMode & 1) TraceText(answerBuffer);
                LogMessage(log, 30, portName, "DisconnectDevice: Device didn't disconnect, retrying");
            }
        }
    }
    ClearDevice();
    if (options.keepPortOpen) {
        int h = QSHostBaud(9600);
        if (h < 0) {
            QSClose();
            link.linkType = kLinkNone;
            LogMessage(log, 1, portName,
                       "DisconnectDevice: Error setting host baud rate; can't keep port open (error %d)", h);
        }
    } else {
        QSClose();
        link.linkType = kLinkNone;
    }
    if (result > 0) LogMessage(log, 30, portName, "DisconnectDevice successful");
    return result;
}

int KALEN_Protocol::DeviceLogin(char* name, int8_t* baudIndex) {
    if (!name || !baudIndex) return -10;
    if (baud != 9600) {
        int h = QSHostBaud(9600);
        if (h < 0) {
            LogMessage(log, 30, portName, "DeviceLogin: host reports it can't change baud (error %d)", h);
            return -20;
        }
    }
    if (link.linkType == kLinkRadio) {
        int result = 1;
        bool wakeAllowed = true;
        for (;;) {
            bool wake = false;
            if (name[0] == 0) {
                char heard[9] = {0};
                int q = QueryCommand(heard, 1);
                if (q > 0) {
                    memcpy(name, heard, sizeof heard);
                } else if (q == -21 || q == -22) {
                    wake = true;
                } else if (q == -40) {
                    return -40;
                } else {
                    result = q;
                    break;
                }
            }
            if (!wake) {
                int l = LoginCommand(name);
                if (l > 0) {
                    strncpy(device.instrumentName, name, 8);
                    device.instrumentName[8] = 0;
                    result = 1;
                    break;
                }
                if (l != -21) {
                    result = l;
                    break;
                }
            }
            if (!wakeAllowed) break;
            wakeAllowed = false;
            if (SendWake() == -40) return -40;
        }
        if (result == -22 || result == -21) {
            LogMessage(log, 30, portName, "DeviceLogin: nothing is listening over the radio");
            return -20;
        }
        if (result == -32) {
            LogMessage(log, 1, portName, "DeviceLogin thinks a relay must be active");
            return -33;
        }
        if (result < 0) {
            LogMessage(log, 30, portName, "DeviceLogin failed with error %d", result);
            return result;
        }
        if (device.instrumentName[0] == 0) {
            LogMessage(log, 30, portName, "DeviceLogin: nothing is listening over the radio");
            return -20;
        }
        *baudIndex = 2;
        LogMessage(log, 30, portName, "DeviceLogin communicating with a device running %s at %d baud",
                   device.versionText, (int)baud);
        return 1;
    }

    int v = VerCommand(true);
    if (v == -21) {
        LogMessage(log, 30, portName, "DeviceLogin: nothing is listening over the serial port");
        return -20;
    }
    if (v < 0) {
        LogMessage(log, 30, portName, "DeviceLogin failed with error %d", v);
        return v;
    }
    int index = *baudIndex;
    int rate = (index >= 0 && index <= 8) ? baudTable[index] : 9600;
    // A rate the instrument has no code for (1200) is never negotiated: the
    // host would switch while the instrument stays at 9600.
    if ((device.capabilities & kCapBaud) && InstrumentBaudCode(rate) >= 0 && rate != (int)baud) {
        int s = SetBaudCommand(rate);
        if (s > 0) {
            int h = QSHostBaud(rate);
            if (h < 0) {
                LogMessage(log, 1, portName, "DeviceLogin: host reports it can't change baud (error %d)", h);
                return -20;
            }
        } else {
            LogMessage(log, 30, portName, "DeviceLogin: device didn't change baud rate (error %d)", s);
            *baudIndex = 2;
        }
    } else {
        *baudIndex = 2;
    }
    LogMessage(log, 30, portName, "DeviceLogin communicating with a device running %s at %d baud",
               device.versionText, (int)baud);
    return 1;
}

int KALEN_Protocol::LoginCommand(const char* name) {
    size_t n = name ? strlen(name) : 0;
    if (n > 8) {
        LogMessage(log, 1, portName, "LoginCommand: Device name %s is wrong length (%d characters)", name, (int)n);
        return -54;
    }
    char command[32];
    if (n == 0)
        snprintf(command, sizeof command, "login\r");
    else
        snprintf(command, sizeof command, "login %s\r", name);
    char answer[10];
    unsigned size = sizeof answer;
    int r = DeviceCommand(command, '>', 1500, answer, &size, nullptr);
    if (r > 0) return strchr(answer, '>') ? 1 : -30;
    if (r == -31) return 1;
    return r;
}

int KALEN_Protocol::SendWake() {
    const uint32_t packets = 909;
    if (options.traceMode & 2) TraceText("\r<Sending Query Mode wake sequence...>\r");
    bool tooSlow = false;
    for (uint32_t i = 0; i < packets; ++i) {
        int written = 0;
        QSWrite("\r", 1, &written);
        if (options.progressEnabled && !tooSlow) {
            uint32_t t0 = TickMs();
            if (i % 18 == 0 && !ProgressHook(packets, i, 1)) {
                LogMessage(log, 30, portName, "SendWake canceled by user after sending %d of %d packets", (int)i,
                           (int)packets);
                return -40;
            }
            uint32_t d = TickMs() - t0;
            if (d < 55)
                SleepMs(55 - d);
            else
                tooSlow = true;
        } else {
            SleepMs(55);
        }
    }
    if (tooSlow) LogMessage(log, 30, portName, "SendWake executing too slow to send status (PIG status)!");
    LogMessage(log, 30, portName, "SendWake sent %d packets", (int)packets);
    if (options.progressEnabled) ProgressHook(packets, packets, 2);
    return 1;
}

int KALEN_Protocol::VerCommand(bool quick) {
    uint32_t start = TickMs();
    if (device.kind == kKindLumo && !device.newFirmware) return ParseShowCommand(nullptr);
    unsigned wait = (link.linkType == kLinkRadio) ? 800 : 400;
    int result = 1;
    int emptyAnswers = 0;
    char answer[32];
    for (uint32_t pass = 0; pass < tries + 3; ++pass) {
        unsigned size = sizeof answer;
        int r = DeviceCommand("get -ver\r", '>', wait, answer, &size, nullptr);
        if (tries == 1 && r == -21) {
            result = -21;
            continue;
        }
        size_t n = strlen(answer);
        if (n >= 2 && answer[1] == '>') {
            result = -32;
            continue;
        }
        if (strcmp(answer, "\r") == 0 || strcmp(answer, ">") == 0) {
            result = -30;
            if (++emptyAnswers >= 3) break;
            pass = (uint32_t)-1;  // the pass count starts again
            SleepMs(wait);
            continue;
        }
        if (r > 0 || r == -34) {
            if (strchr(answer, '.')) {
                const char* p = answer;
                while (*p == '\r') ++p;
                const char* cr = strchr(p, '\r');
                if (!cr) {
                    SleepMs(400);
                    continue;
                }
                size_t len = (size_t)(cr - p);
                if (len > 20) len = 20;
                memset(device.versionText, 0, sizeof device.versionText);
                memcpy(device.versionText, p, len);
                device.versionText[len] = 0;
                char word[21] = {0};
                int a = 0, b = 0, c = 0;
                int fields = sscanf(device.versionText, "%20s %d.%1d%1d", word, &a, &b, &c);
                if (fields < 3) {
                    result = -30;
                    SleepMs(400);
                    continue;
                }
                device.version = a * 100 + b * 10 + c;
                device.newFirmware = true;
                for (char* q = word; *q; ++q) *q = (char)toupper((unsigned char)*q);
                int kind = kKindUnknown;
                for (int k = 0; k < kKindEnd; ++k)
                    if (kindWords[k] && strcmp(kindWords[k], word) == 0) kind = k;
                device.kind = (int8_t)kind;
                snprintf(device.kindName, sizeof device.kindName, "%s", kindNames[kind]);
                SetCapabilities();
                result = 1;
                LogMessage(log, 30, portName, "VerCommand found \"%s\" ver %d (%d ms)", device.versionText,
                           (int)device.version, Elapsed(start));
                break;
            }
            if (strchr(answer, '+')) {
                const char* p = answer;
                while (*p == '\r') ++p;
                if (p[0] == '+' && strlen(p) >= 4) {
                    result = -80;
                    break;
                }
                continue;
            }
            if (strchr(answer, '$')) {
                if (result == -81) break;
                result = -81;
                SleepMs(3000);
                continue;
            }
            if (r == -34) {
                if (result == 1) {
                    result = -30;
                    SleepMs(400);
                    continue;
                }
                device.newFirmware = false;
                device.kind = kKindLumo;
                snprintf(device.kindName, sizeof device.kindName, "%s", kindNames[kKindLumo]);
                LogMessage(log, 30, portName, "VerCommand found Lumo with old firmware (%d ms)", Elapsed(start));
                if (!quick) ParseShowCommand(nullptr);
                SetCapabilities();
                result = 1;
                break;
            }
            result = -30;
            LogMessage(log, 30, portName, "VerCommand couldn't decipher \"%s\" (%d ms)", answer, Elapsed(start));
            continue;
        }
        if (r == -21) {
            result = -21;
            break;
        }
        result = r;
    }
    if (result < 0) {
        LogMessage(log, 1, portName, "VerCommand failed with error %d (%d ms)", result, Elapsed(start));
        device.newFirmware = false;
        device.kind = kKindUnknown;
        device.kindName[0] = 0;
        device.versionText[0] = 0;
        device.version = 0;
    }
    return result;
}

void KALEN_Protocol::SetCapabilities() {
    uint32_t c = 0;
    int v = device.version;
    switch (device.kind) {
    case kKindLumo:
        c = device.newFirmware ? 0x371F : 0x331C;
        break;
    case kKindLumoZ:
        c = 0x7737;
        if (v >= 105) c |= 0x80;
        if (v >= 108) c |= 0x40;
        if (v >= 112) c |= 0x8800;
        if (v >= 114) c |= 0x70000;
        if (v >= 118) c |= 0xC00000;
        if (v >= 119) c |= 0x200000;
        if (v >= 200) c |= 0x1000000;
        if (v >= 202) c |= 0x4000000;
        break;
    case kKindVeltris:
        c = 0x4503;
        if (v >= 105) c |= 0x80;
        if (v >= 109) c |= 0x20000;
        break;
    case kKindLumoK:
        c = 0x74BE;
        if (v >= 204) c |= 0x40000;
        break;
    case kKindCommDev:
        c = 0x3007;
        break;
    case kKindCalibrator:
        c = 0x10026;
        break;
    case kKindSendra:
        c = 0x1D3083;
        break;
    case kKindCirro:
        c = 0x5E3FFF7;
        break;
    case kKindMarlo:
        c = 0x7C3F6F7;
        break;
    default:
        c = 0x1005;
        break;
    }
    device.capabilities = c;
}

int KALEN_Protocol::SetBaudCommand(int rate) {
    uint32_t start = TickMs();
    if (!device.newFirmware) {
        LogMessage(log, 30, portName, "SetBaudCommand: device (%s) can't change baud rate", device.instrumentName);
        return -1;
    }
    int code = InstrumentBaudCode(rate);
    if (code < 0) {
        LogMessage(log, 30, portName, "SetBaudCommand: unsupported baud rate %d, using 9600", rate);
        code = 0;
    }
    char command[32];
    snprintf(command, sizeof command, "set -baud %d\r", code);
    int result = -21;
    for (uint32_t attempt = 0; attempt < tries; ++attempt) {
        char answer[32];
        unsigned size = sizeof answer;
        int r = DeviceCommand(command, 'K', 1500, answer, &size, nullptr);
        if (r == -21) {
            if (rate == 9600) {
                result = 1;
                break;
            }
            result = -21;
            if (baud == 9600) SleepMs(1500);
            continue;
        }
        if (r < 0) {
            result = r;
            continue;
        }
        if (strstr(answer, "OK")) {
            LogMessage(log, 30, portName, "SetBaudCommand set device baud rate to %d (%d ms)", rate, Elapsed(start));
            result = 1;
            break;
        }
        if (!strstr(answer, "\r>")) {
            LogMessage(log, 30, portName, "SetBaudCommand failed: heard: %s (%d ms)", answer, Elapsed(start));
            result = -30;
            break;
        }
        result = -30;
        LogMessage(log, 30, portName, "SetBaudCommand failed (heard prompt): trying again (%d ms)", Elapsed(start));
    }
    if (result < 0)
        LogMessage(log, 1, portName, "SetBaudCommand failed with error %d (%d ms)", result, Elapsed(start));
    SleepMs(100);
    return result;
}

int KALEN_Protocol::Tk9Config(int32_t* channel, int32_t* subchannel, char* version, int direction,
                              uint32_t* flags) {
    uint32_t start = TickMs();
    if (!flags) return -10;
    char answer[32];
    unsigned size = 0;
    int code = -23;
    bool inCommandMode = false;
    for (int attempt = 0; attempt < 2 && !inCommandMode; ++attempt) {
        size = sizeof answer;
        int r = DeviceCommand("+++", 'K', 1500, answer, &size, nullptr);
        if (r > 0 && strstr(answer, "OK"))
            inCommandMode = true;
        else
            code = (r < 0) ? r : -23;
    }
    if (!inCommandMode) {
        LogMessage(log, 1, portName, "Tk9Config failed to get into AT command mode: %d (%d ms)", code,
                   Elapsed(start));
        *flags = 0;
        return -23;
    }
    uint32_t requested = *flags;
    uint32_t done = 0;
    int errors = 0;
    int result = 1;
    char command[32];
    if (direction == 1) {
        struct Item {
            uint32_t bit;
            int32_t* value;
            const char* format;
            int error;
            const char* line;
        } items[2] = {
            {kSetRch, channel, "ATHP%X\r", 1, "Tk9Config set rch to %d (%d ms)"},
            {kSetRsch, subchannel, "ATDT%X\r", 2, "Tk9Config set rsch to %d (%d ms)"},
        };
        for (const Item& item : items) {
            if (!(requested & item.bit) || !item.value) continue;
            snprintf(command, sizeof command, item.format, (unsigned)*item.value);
            size = sizeof answer;
            int r = DeviceCommand(command, 'K', 1500, answer, &size, nullptr);
            if (r < 0) {
                errors += item.error;
                result = r;
            } else if (strstr(answer, "OK")) {
                LogMessage(log, 30, portName, item.line, (int)*item.value, Elapsed(start));
                done |= item.bit;
            } else {
                errors += item.error;
            }
        }
        size = sizeof answer;
        int r = DeviceCommand("ATWR\r", 'K', 2000, answer, &size, nullptr);
        if (r < 0) {
            errors += 8;
            result = r;
        } else if (strstr(answer, "OK")) {
            LogMessage(log, 30, portName, "Tk9Config saved configuration (%d ms)", Elapsed(start));
            result = 1;
        } else {
            errors += 8;
        }
    } else {
        struct Item {
            uint32_t bit;
            int32_t* value;
            const char* command;
            int error;
            const char* found;
            const char* missing;
        } items[2] = {
            {kSetRch, channel, "ATHP\r", 1, "Tk9Config found rch %d (%d ms)", "Tk9Config could not find rch (%d ms)"},
            {kSetRsch, subchannel, "ATDT\r", 2, "Tk9Config found rsch %d (%d ms)",
             "Tk9Config could not find rsch (%d ms)"},
        };
        for (const Item& item : items) {
            if (!(requested & item.bit) || !item.value) continue;
            size = sizeof answer;
            int r = DeviceCommand(item.command, '\r', 1500, answer, &size, nullptr);
            unsigned long v = 0;
            if (r < 0) {
                errors += item.error;
            } else if (kalen::ReadHex(answer, &v) && v <= 0x7fffffffUL) {
                *item.value = (int32_t)v;
                done |= item.bit;
                LogMessage(log, 30, portName, item.found, (int)v, Elapsed(start));
            } else {
                LogMessage(log, 30, portName, item.missing, Elapsed(start));
                errors += item.error;
            }
        }
        if ((requested & kSetRver) && version) {
            size = sizeof answer;
            int r = DeviceCommand("ATVR\r", '\r', 1500, answer, &size, nullptr);
            char word[9];
            if (r < 0) {
                errors += 4;
            } else if (kalen::ReadWord(answer, word, 8)) {
                memcpy(version, word, sizeof word);
                LogMessage(log, 30, portName, "Tk9Config found rver %s (%d ms)", version, Elapsed(start));
                done |= kSetRver;
            } else {
                LogMessage(log, 30, portName, "Tk9Config could not find rver (%d ms)", Elapsed(start));
                errors += 4;
            }
        }
    }
    size = sizeof answer;
    int r = DeviceCommand("ATCN\r", 'K', 1500, answer, &size, nullptr);
    if (r > 0 && !strstr(answer, "OK")) r = -1;
    if (r < 0) {
        LogMessage(log, 1, portName, "Tk9Config failed to get out of AT command mode: %d (%d ms)", r, Elapsed(start));
        return r;
    }
    if (result < 0 || errors != 0) {
        if (done != 0) result = -35;
        LogMessage(log, 1, portName, "Tk9Config failed with error %d and %d (%d ms)", result, errors,
                   Elapsed(start));
    }
    *flags = done;
    SleepMs(100);
    return result;
}

int KALEN_Protocol::MSRadioCommand(int32_t* channel, int32_t* subchannel, char* version, int direction,
                                   uint32_t* flags) {
    uint32_t start = TickMs();
    if (!flags) return -10;
    if (!(device.capabilities & kCapRadio)) {
        *flags = 0;
        return -1;
    }
    if (link.linkType == kLinkRadio) {
        if (direction == 1) {
            *flags = 0;
            LogMessage(log, 30, portName, "MSRadioCommand can't set radio parameters while connected over the radio");
            return -12;
        }
        if (link.radioKnown) {
            if (channel) *channel = link.radioChannel;
            if (subchannel) *subchannel = link.radioSubchannel;
            if (version) version[0] = 0;
            *flags = kSetRch | kSetRsch;
            LogMessage(log, 30, portName, "MSRadioCommand knows the RCH is %d and RSCH is %d (can't get RVER)",
                       (int)link.radioChannel, (int)link.radioSubchannel);
            return 1;
        }
        *flags = kSetRch | kSetRsch;
        int result = Tk9Config(channel, subchannel, version, 0, flags);
        if (version) version[0] = 0;
        LogMessage(log, 30, portName,
                   "MSRadioCommand asked the Tk9 and found the RCH is %d and RSCH is %d (can't get RVER)",
                   channel ? (int)*channel : 0, subchannel ? (int)*subchannel : 0);
        return result;
    }
    char answer[32];
    unsigned size = sizeof answer;
    if (!device.newFirmware) {
        if (device.kind != kKindLumo) return -21;
        int written = 0;
        QSWrite("term\r", 5, &written);
        if (options.traceMode & 2) TraceText("term\r");
        SleepMs(500);
        int result = Tk9Config(channel, subchannel, version, direction, flags);
        SleepMs(500);
        DeviceCommand("term\r", '>', 1500, answer, &size, nullptr);
        return result;
    }

    uint32_t requested = *flags;
    uint32_t done = 0;
    uint32_t failed = 0;
    int result = 1;
    char command[32];
    const char* success = (device.kind == kKindLumo) ? "OK\r\rOK" : "OK";
    auto valueStart = [&]() -> const char* {
        const char* k = strchr(answer, 'K');
        return k ? kalen::Skip(k, 2) : answer;
    };
    if (direction == 1) {
        struct Item {
            uint32_t bit;
            int32_t* value;
            const char* format;
            const char* line;
        } items[2] = {
            {kSetRch, channel, "set -rch %X\r", "MSRadioCommand set rch to %d (%d ms)"},
            {kSetRsch, subchannel, "set -rsch %X\r", "MSRadioCommand set rsch to %d (%d ms)"},
        };
        for (const Item& item : items) {
            if (!(requested & item.bit) || !item.value) continue;
            snprintf(command, sizeof command, item.format, (unsigned)*item.value);
            for (uint32_t attempt = 0; attempt < tries; ++attempt) {
                size = sizeof answer;
                int r = DeviceCommand(command, '>', 2000, answer, &size, nullptr);
                if (r < 0) {
                    failed |= item.bit;
                    result = r;
                    continue;
                }
                if (strstr(answer, "No Radio")) {
                    result = -45;
                    failed |= item.bit;
                    break;
                }
                if (strstr(answer, success)) {
                    LogMessage(log, 30, portName, item.line, (int)*item.value, Elapsed(start));
                    done |= item.bit;
                    failed &= ~item.bit;
                    break;
                }
                failed |= item.bit;
            }
        }
    } else {
        if ((requested & kSetRver) && version) {
            for (uint32_t attempt = 0; attempt < tries; ++attempt) {
                size = sizeof answer;
                int r = DeviceCommand("get -rver\r", '>', 2000, answer, &size, nullptr);
                if (r == -31) {
                    result = 0;  // an empty answer: no radio fitted
                    continue;
                }
                if (r < 0) {
                    failed |= kSetRver;
                    result = r;
                    continue;
                }
                if (strstr(answer, "No Radio")) {
                    result = -45;
                    failed |= kSetRver;
                    break;
                }
                char word[9];
                if (!kalen::ReadWord(valueStart(), word, 8)) {
                    failed |= kSetRver;
                    continue;
                }
                if (word[0] == '0' && word[1] == '0') {
                    result = -45;
                    failed |= kSetRver;
                    version[0] = 0;
                    break;
                }
                bool fourHex = strlen(word) == 4;
                for (int i = 0; i < 4 && fourHex; ++i)
                    if (!isxdigit((unsigned char)word[i])) fourHex = false;
                if (fourHex) {
                    memcpy(version, word, sizeof word);
                    LogMessage(log, 30, portName, "MSRadioCommand found rver %s (%d ms)", version, Elapsed(start));
                    done |= kSetRver;
                    failed &= ~kSetRver;
                    break;
                }
                failed |= kSetRver;
            }
            if (failed & kSetRver)
                LogMessage(log, 30, portName, "MSRadioCommand could not find rver (%d ms)", Elapsed(start));
        }
        struct Item {
            uint32_t bit;
            int32_t* value;
            const char* command;
            unsigned long limit;
            const char* found;
            const char* missing;
        } items[2] = {
            {kSetRch, channel, "get -rch\r", 6, "MSRadioCommand found rch %d (%d ms)",
             "MSRadioCommand could not find rch (%d ms)"},
            {kSetRsch, subchannel, "get -rsch\r", 0xFFFF, "MSRadioCommand found rsch %d (%d ms)",
             "MSRadioCommand could not find rsch (%d ms)"},
        };
        for (const Item& item : items) {
            if (!(requested & item.bit) || !item.value || result == -45) continue;
            for (uint32_t attempt = 0; attempt < tries; ++attempt) {
                size = sizeof answer;
                int r = DeviceCommand(item.command, '>', 2000, answer, &size, nullptr);
                if (r == -31) {
                    result = 0;
                    failed |= item.bit;
                    continue;
                }
                if (r < 0) {
                    failed |= item.bit;
                    result = r;
                    continue;
                }
                if (strstr(answer, "No Radio")) {
                    result = -45;
                    failed |= item.bit;
                    break;
                }
                unsigned long v = 0;
                if (kalen::ReadHex(valueStart(), &v) && v <= item.limit) {
                    *item.value = (int32_t)v;
                    done |= item.bit;
                    failed &= ~item.bit;
                    LogMessage(log, 30, portName, item.found, (int)v, Elapsed(start));
                    break;
                }
                failed |= item.bit;
            }
            if (failed & item.bit) LogMessage(log, 30, portName, item.missing, Elapsed(start));
        }
    }
    if ((result == 0 || result == -45) && done == 0) {
        LogMessage(log, 30, portName, "MSRadioCommand couldn't find a radio (%d ms)", Elapsed(start));
    } else if (result < 0 || failed != 0) {
        if (done != 0) result = -35;
        LogMessage(log, 1, portName, "MSRadioCommand failed with error %d setting %d (%d ms)", result, (int)failed,
                   Elapsed(start));
    }
    *flags = done;
    return result;
}
