// Command exchange: construction, options, DeviceCommand, the radio query,
// the old-command-set show command and the name check.
#include "instrument/kalen_protocol.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "diag/quarlog.h"
#include "instrument/kalen_text.h"

const char* const kindNames[14] = {
    "Unknown", "Unknown Logger", "Lumo",    "LumoZ",           "Veltris", "Pellion", "LumoK",
    "Generic", "KALEN Comm Dev", "KALEN Calibrator", "Sendra", "Cirro", "Marlo", "END of List",
};

const char* const kindWords[14] = {
    nullptr, nullptr, "LUMO", "LUMOZ", "VT",  "PN",  "LUMOK",
    nullptr, "HBX",   "KALEN_CAL", "SND", "CIRRO", "MRL", nullptr,
};

const char* const reservedNames[25] = {
    "ERROR", "Unsupported", "volt", "show", "yes",  "hertz", "time", "dump", "erase",
    "login", "logout",      "query", "help", "temp", "scan", "term", "ping", "post",
    "get",   "set",         "teltst", "ack", "nack", "OK",   "boot",
};

const int baudTable[9] = {0, 1200, 9600, 19200, 38400, 57600, 115200, 230400, 460800};

int SetConnectPortName(ConnectRecord* record, const char* name) {
    if (!record || !name) return -10;
    size_t n = strlen(name);
    if (n > kLinkPortNameMax) return -11;
    memcpy(record->portName, name, n + 1);
    return 1;
}

namespace {

bool DefaultProgress(void*, uint32_t, uint32_t, int) { return true; }
void DefaultTrace(void*, const char*) {}

char* NewBuffer(unsigned size) {
    char* p = new (std::nothrow) char[size];
    if (p) p[0] = 0;
    return p;
}

}  // namespace

KALEN_Protocol::KALEN_Protocol(QuarLog* logIn)
    : QuarSerial(logIn, NewBuffer(kReadBufferSize)),
      status(1),
      options{},
      device{},
      link{},
      tries(3),
      resetCount(0),
      answerBuffer(NewBuffer(kAnswerSize)),
      readAhead(gReadBuffer),
      progressHook(DefaultProgress),
      progressContext(nullptr),
      traceSink(DefaultTrace),
      traceContext(nullptr) {
    options.serialTries = 3;
    options.radioTries = 5;
    link.linkType = kLinkNone;
    if (!answerBuffer || !readAhead) status = -60;
    handle = kNoHandle;
    baud = 0;
    portName[0] = 0;
}

KALEN_Protocol::~KALEN_Protocol() {
    if (link.linkType != kLinkNone) {
        options.keepPortOpen = false;
        DisconnectDevice(false);
    }
    QSClose();
    gReadBuffer = nullptr;
    delete[] readAhead;
    delete[] answerBuffer;
}

void KALEN_Protocol::SetProgressHook(ProgressFn hook, void* context) {
    progressHook = hook ? hook : DefaultProgress;
    progressContext = context;
}

void KALEN_Protocol::SetTraceSink(TraceFn sink, void* context) {
    traceSink = sink ? sink : DefaultTrace;
    traceContext = context;
}

bool KALEN_Protocol::ProgressHook(uint32_t total, uint32_t done, int phase) {
    return progressHook(progressContext, total, done, phase);
}

void KALEN_Protocol::TraceText(const char* text) { traceSink(traceContext, text ? text : ""); }

int KALEN_Protocol::Configure(LinkOptions* record, int direction) {
    if (!record) return -10;
    if (direction == 0) {
        *record = options;
        return 1;
    }
    if (record->serialTries > 12 || record->radioTries > 12) return -11;
    if (record->serialTries == 0) record->serialTries = 3;
    if (record->radioTries == 0) record->radioTries = 5;
    if (record->traceMode < 0 || record->traceMode > 3 || record->extraWaitMs > 30000) return -11;
    options = *record;
    tries = (link.linkType == kLinkRadio) ? options.radioTries : options.serialTries;
    return 1;
}

int KALEN_Protocol::DeviceCommand(const char* command, char terminator, unsigned waitMs,
                                  char* answer, unsigned* size, unsigned* elapsed) {
    uint32_t start = TickMs();
    int result = 1;
    unsigned emptyReads = 0;
    unsigned count = 0;
    if (!command || !answerBuffer) {
        result = !answerBuffer ? -60 : -10;
        emptyReads = ~0u;
    } else {
        int length = (int)strlen(command);
        for (uint32_t attempt = 0; attempt < tries; ++attempt) {
            QSFlush(1);
            answerBuffer[0] = 0;
            count = 0;
            int written = 0;
            int w = QSWrite(command, length, &written);
            if (options.traceMode & 2) TraceText(command);
            if (w < 0) {
                LogMessage(log, 30, portName, "DeviceCommand got unexpected response (%d) from QCommWrite", w);
                result = w;
                break;
            }
            int wr = QSWait(waitMs + options.extraWaitMs, terminator);
            if (wr < 0) {
                LogMessage(log, 30, portName, "DeviceCommand got unexpected response (%d) from QCommWait", wr);
                result = wr;
                break;
            }
            unsigned got = 0;
            int rr = QSRead(answerBuffer, kReadBufferSize, &got);
            if (rr < 0) {
                LogMessage(log, 30, portName, "DeviceCommand got unexpected response (%d) from QCommRead", rr);
                result = rr;
                break;
            }
            count = got > kReadBufferSize ? kReadBufferSize : got;
            if (count == 0) {
                ++emptyReads;
                SleepMs(50);
                result = -22;
                continue;
            }
            answerBuffer[count] = 0;
            if (options.traceMode & 1) TraceText(answerBuffer);
            if (length > 0 && strstr(answerBuffer, command)) {
                LogMessage(log, 1, portName,
                           "DeviceCommand is hearing echoed commands -- device is broken? Relay active?");
                result = -32;
                break;
            }
            if (strstr(answerBuffer, "ERROR") || strchr(answerBuffer, '?') ||
                strstr(answerBuffer, "Unsupported")) {
                result = -34;
                continue;
            }
            result = 1;
            break;
        }
    }
    if (elapsed) *elapsed = TickMs() - start;
    if (emptyReads == tries) result = -21;
    if (result < 0) {
        if (answer && size && *size > 0) answer[0] = 0;
        if (size) *size = 0;
        return result;
    }
    if (answer && size && *size > 0) {
        size_t length = strnlen(answerBuffer, *size - 1);
        memcpy(answer, answerBuffer, length);
        answer[length] = 0;
        *size = (unsigned)length;
        if (length < count)
            LogMessage(log, 30, portName, "DeviceCommand got %d more bytes than expected (%s)",
                       (int)(count - length), command);
    }
    if (answerBuffer[0] == '\r' && answerBuffer[1] == '\r' && answerBuffer[2] == '>') {
        LogMessage(log, 30, portName, "DeviceCommand: device returned empty answer");
        return -31;
    }
    return (int)count;
}

int KALEN_Protocol::QueryCommand(char* buffer, int mode) {
    if (mode <= 0 || !buffer) return -10;
    uint32_t start = TickMs();
    uint32_t saved = tries;
    tries = 1;
    int r = -21;
    for (uint32_t n = 1; n <= saved; ++n) {
        if (options.progressEnabled && !ProgressHook(saved, n, 4)) {
            r = -40;
            break;
        }
        unsigned elapsed = 0;
        if (mode == 1) {
            char answer[180];
            unsigned size = sizeof answer;
            r = DeviceCommand("\rquery\r", '\r', 3000, answer, &size, &elapsed);
            if (r > 0) {
                memset(buffer, 0, 9);
                size_t i = 0;
                while (i < 8 && answer[i] && answer[i] != '\r') {
                    buffer[i] = answer[i];
                    ++i;
                }
                buffer[i] = 0;
                if (CheckDeviceName(buffer) == 1) break;
            } else if (r == -32) {
                break;
            }
        } else {
            unsigned size = (unsigned)mode;
            r = DeviceCommand("\rquery\r", '>', 3000, buffer, &size, &elapsed);
            if (r > 0 || r == -32) break;
        }
    }
    tries = saved;
    int elapsed = (int)(TickMs() - start);
    if (r > 0) {
        LogMessage(log, 30, portName, "QueryCommand heard from: %s (%d ms)", buffer, elapsed);
        SleepMs(2500);
        return 1;
    }
    if (r == -40) {
        LogMessage(log, 30, portName, "QueryCommand canceled by user");
        return -40;
    }
    if (r == -32) {
        LogMessage(log, 1, portName, "QueryCommand is hearing \"query\" -- a relay must be active (%d ms)", elapsed);
        return -33;
    }
    if (r == -21) {
        LogMessage(log, 30, portName, "QueryCommand didn't get any answers after %d tries (%d ms)", (int)tries,
                   elapsed);
        return -22;
    }
    LogMessage(log, 1, portName, "QueryCommand failed with error %d (%d ms)", r, elapsed);
    return r;
}

int KALEN_Protocol::CheckDeviceName(const char* name) {
    if (!name || !name[0]) return -53;
    if (strlen(name) > 8) return -54;
    for (const char* reserved : reservedNames)
        if (strcmp(name, reserved) == 0) return -52;
    for (const unsigned char* p = (const unsigned char*)name; *p; ++p) {
        unsigned c = *p;
        if (c <= 32 || c == 127 || c == 255) return -50;
        if (strchr("?\\\"/<>*|:;,", (int)c)) return -51;
        if (c >= 128) return -56;
    }
    return 1;
}

int KALEN_Protocol::ParseShowCommand(char* identity) {
    uint32_t start = TickMs();
    if (identity) identity[0] = 0;
    if (device.kind != kKindLumo || device.newFirmware) {
        LogMessage(log, 1, portName, "ParseShowCommand doesn't work with devices running \"new\" firmware.");
        return -11;
    }
    char answer[180];
    unsigned size = sizeof answer;
    int r = DeviceCommand("show\r", '>', 1500, answer, &size, nullptr);
    int errors = 0;
    if (r > 0) {
        const char* label = strstr(answer, "ID:");
        if (label) {
            char word[9];
            bool found = kalen::ReadWord(kalen::Skip(label, 4), word, 8);
            if (identity) {
                if (found) memcpy(identity, word, sizeof word);
                return found ? 1 : -30;
            }
            if (found)
                memcpy(device.instrumentName, word, sizeof word);
            else
                errors += 1;
        }
        label = strstr(answer, "Version:");
        if (label) {
            bool versionRead = false;
            if (kalen::ReadWord(kalen::Skip(label, 9), device.versionText, 20)) {
                int a = 0, b = 0, c = 0;
                if (sscanf(device.versionText, "%d.%1d%1d", &a, &b, &c) == 3) {
                    device.version = a * 100 + b * 10 + c;
                    versionRead = true;
                } else {
                    errors += 2;
                }
            } else {
                errors += 2;
            }
            // Firmware below 1.10 speaks a dialect this class does not serve.
            if (versionRead && device.version < 110) return -13;
        }
        long value = 0;
        label = strstr(answer, "Radio:");
        if (label && kalen::ReadLong(kalen::Skip(label, 7), &value))
            device.rmode = (int32_t)value;
        else if (label)
            errors += 4;
        label = strstr(answer, "Wake:");
        if (label && kalen::ReadLong(kalen::Skip(label, 6), &value))
            device.wake = (int32_t)value;
        else if (label)
            errors += 8;
        label = strstr(answer, "Resets:");
        if (label && kalen::ReadLong(kalen::Skip(label, 8), &value))
            resetCount = (int)value;
        else if (label)
            errors += 16;
    }
    device.serialNumber[0] = 0;
    int elapsed = (int)(TickMs() - start);
    if (r <= 0 || errors != 0) {
        LogMessage(log, 1, portName, "ParseShowCommand failed with errors %d and %d (%d ms)", r, errors, elapsed);
        device.instrumentName[0] = 0;
        device.versionText[0] = 0;
        device.version = -1;
        device.wake = -1;
        device.rmode = 0;
        return -30;
    }
    LogMessage(log, 1, portName, "ParseShowCommand found %s:%s:%d:%d:%d (%d ms)", device.instrumentName,
               device.versionText, (int)device.rmode, (int)device.wake, resetCount, elapsed);
    return 1;
}
