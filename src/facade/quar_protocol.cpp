// The facade object and its connect, login, disconnect and check operations.
#include "facade/quar_protocol.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "diag/quarlog.h"
#include "serial/quarserial.h"

namespace {

const char kSource[] = "Quar_protocol";
const char kServiceCode[] = "*6905";

}  // namespace

Quar_protocol::Quar_protocol(QuarLog* log_)
    : protocol(nullptr),
      sdi(nullptr),
      settings{},
      instInfo{},
      deviceType(0),
      deviceInfo{},
      settingsCaptured(false),
      userRecords{0, nullptr},
      eqnRecords{0, nullptr},
      log(log_),
      savedMask(0) {
    protocol = new KALEN_Protocol(log);
    sdi = new QuarSDI12(log, protocol);
}

Quar_protocol::~Quar_protocol() {
    FreeRecords(&userRecords);
    FreeRecords(&eqnRecords);
    delete sdi;
    delete protocol;
}

void FreeRecords(InstRecordList* list) {
    if (!list) return;
    delete[] list->records;
    list->records = nullptr;
    list->count = 0;
}

int Quar_protocol::Exchange(const char* command, unsigned timeoutMs, char* answer, unsigned size,
                            uint32_t* elapsedMs) {
    unsigned n = size;
    unsigned elapsed = 0;
    if (answer && size) answer[0] = '\0';
    int r = protocol->DeviceCommand(command, '>', timeoutMs, answer, &n, &elapsed);
    if (elapsedMs) *elapsedMs = elapsed;
    return r;
}

int Quar_protocol::QPConnect(const char* portName, uint8_t baudIndex, unsigned attempts,
                             DeviceInfo* info) {
    if (!portName || !*portName || !info) return -10;

    LinkOptions options{};
    options.serialTries = attempts;
    int r = protocol->Configure(&options, 1);
    if (r < 0) {
        LogMessage(log, 1, kSource, "QPConnect received error %d trying to configure KALEN_Prototcol",
                   r);
        return r;
    }

    ConnectRecord connect{};
    // A longer name is refused rather than cut: a cut name opens another port.
    r = SetConnectPortName(&connect, portName);
    if (r < 0) {
        LogMessage(log, 1, kSource, "QPConnect received error %d trying to connect to device", r);
        return r;
    }
    connect.linkType = kLinkSerial;
    connect.baudIndex = static_cast<int8_t>(baudIndex);
    InstrumentRecord scratch{};

    r = protocol->ConnectDevice(&connect);
    if (r >= 0) {
        uint32_t mask = 0;
        r = protocol->DeviceSettings(&scratch, &mask, 0);
    }
    if (r >= 0) r = ParseVersionReply(scratch.versionText, info);

    if (r > 0 && !info->updateSupported) {
        LogMessage(log, 1, kSource, "QPConnect this firmware version is not supported");
        return -120;
    }
    if (r == -20) {
        LogMessage(log, 10, kSource, "QPConnect couldn't connect.");
        return -20;
    }
    if (r == -80 || r == -81) {
        LogMessage(log, 10, kSource, "QPConnect found the QuarBSL listening (%d)", r);
        return r;
    }
    if (r == -30 || r == -32) {
        LogMessage(log, 1, kSource, "QPConnect this device must not be supported");
        return -120;
    }
    if (r < 0) {
        LogMessage(log, 1, kSource, "QPConnect received error %d trying to connect to device", r);
        return r;
    }
    settings.newFirmware = scratch.newFirmware;
    settings.kind = scratch.kind;
    settings.version = scratch.version;
    std::memcpy(settings.versionText, scratch.versionText, sizeof settings.versionText);
    settings.versionText[sizeof settings.versionText - 1] = '\0';
    deviceType = static_cast<int8_t>(info->type);
    deviceInfo = *info;
    LogMessage(log, 10, kSource, "QPConnect successfully connected to device");
    return r;
}

int Quar_protocol::QPLogin() {
    SleepMs(1000);
    char command[16];
    std::snprintf(command, sizeof command, "login %s", kServiceCode);
    char answer[32] = {};
    int r = 0;
    uint32_t elapsed = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        protocol->QSFlush(1);
        for (const char* c = command; *c; ++c) {
            int written = 0;
            protocol->QSWrite(c, 1, &written);
            SleepMs(250);
        }
        SleepMs(250);
        r = Exchange("\r\n\r", 6000, answer, sizeof answer, &elapsed);
        if (r > 0 && (std::strstr(answer, "OK") || std::strstr(answer, "6905"))) {
            r = 1;
            break;
        }
    }
    if (r < 0) {
        LogMessage(log, 1, kSource, "QPConnect couldn't log into the device (%d ms): heard \"%s\"",
                   int(elapsed), answer);
        r = -25;
    } else {
        LogMessage(log, 1, kSource, "QPConnect successfully logged into the device (%d ms)",
                   int(elapsed));
    }
    SleepMs(1000);
    return r;
}

int Quar_protocol::QPDisconnect(bool sendLogout) {
    if (deviceInfo.serviceLogin && sendLogout) {
        char answer[32];
        Exchange("logout\r", 2000, answer, sizeof answer, nullptr);
    }
    int r = protocol->DisconnectDevice(false);
    SleepMs(100);
    return r;
}

int Quar_protocol::QPCheckFirmware(bool firstBoot) {
    const char* command = firstBoot ? "post -init\r" : "post\r";
    int result = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        char answer[64];
        int r = Exchange(command, 7000, answer, sizeof answer, nullptr);
        if (r > 0 && std::strstr(answer, "Code Good!")) {
            LogMessage(log, 10, kSource, "QPCheckFirmware: Device reports good firmware code!");
            return 1;
        }
        if (r > 0 && std::strstr(answer, "Code Corrupt!")) {
            LogMessage(log, 1, kSource, "QPCheckFirmware: Device reports corrupt firmware code!");
            return -1;
        }
        if (r > 0) {
            result = -30;
            LogMessage(log, 1, kSource, "QPCheckFirmware can't determine firmware code status");
        } else {
            result = r;
            LogMessage(log, 1, kSource, "QPCheckFirmware can't determine firmware code status (error %d)",
                       r);
        }
        SleepMs(1000);
    }
    return result;
}

int Quar_protocol::QPEraseData() {
    switch (deviceType) {
    case 2: case 3: case 4: case 18: case 19:
        return protocol->EraseData();
    case 7: case 8: case 9: case 11: case 14: case 15: case 16: case 22: case 23: {
        char answer[32];
        uint32_t elapsed = 0;
        int r = Exchange("yes\r", 17000, answer, sizeof answer, &elapsed);
        if (r > 0) {
            if (std::strstr(answer, "OK"))
                r = 1;
            else if (std::strstr(answer, "DataFlash FAIL"))
                r = -65;
            else
                r = -30;
        }
        if (r == 1)
            LogMessage(log, 10, kSource, "QPEraseData erased device data (%d ms)", int(elapsed));
        else if (r == -65)
            LogMessage(log, 1, kSource, "QPEraseData failed due to a broken DataFlash (%d ms)",
                       int(elapsed));
        else
            LogMessage(log, 1, kSource, "QPEraseData failed with error %d (%d ms)", r, int(elapsed));
        return r;
    }
    default:
        return -13;
    }
}

int Quar_protocol::QPCheckBattery(int32_t* percent) {
    if (!percent) return -10;
    char answer[32];
    uint32_t elapsed = 0;
    int r = Exchange("get -batt\r", 2000, answer, sizeof answer, &elapsed);
    if (r <= 0) {
        *percent = -1;
        return r;
    }
    int value = 0;
    if (std::sscanf(answer, "%d", &value) == 1) {
        *percent = value;
        LogMessage(log, 10, kSource, "QPCheckBattery: %d%% battery (%d ms)", value, int(elapsed));
        return 1;
    }
    LogMessage(log, 1, kSource, "QPCheckBattery failed to parse battery power (%d ms)", int(elapsed));
    return -30;
}

int Quar_protocol::QPSetTime() {
    if (!deviceInfo.setClock) return -13;
    int outcome;
    long deviceTime = 0;
    uint32_t elapsed = 0;
    switch (deviceType) {
    case 8: case 11: case 15: case 16: case 21: case 22: case 23: {
        const time_t now = std::time(nullptr);
        if (now == static_cast<time_t>(-1)) {
            LogMessage(log, 1, kSource, "QPSetTime failed to get system time with error %d", errno);
            return -30;
        }
        deviceTime = static_cast<long>(now) + UtcOffsetSeconds() - 946684800L;
        char command[40];
        std::snprintf(command, sizeof command, "set -sec %ld\r", deviceTime);
        char answer[32];
        outcome = Exchange(command, 20000, answer, sizeof answer, &elapsed);
        if (outcome > 0) outcome = std::strstr(answer, "OK") ? 1 : -30;
        break;
    }
    default: {
        const uint32_t start = TickMs();
        outcome = protocol->DeviceTime(&deviceTime, 1);
        elapsed = TickMs() - start;
        break;
    }
    }
    if (outcome > 0)
        LogMessage(log, 30, kSource, "QPSetTime set the time to: %ld", deviceTime);
    else
        LogMessage(log, 30, kSource, "QPSetTime got error %d (%d ms)", outcome, int(elapsed));
    return outcome;
}
