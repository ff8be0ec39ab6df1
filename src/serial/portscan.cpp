#include "serial/portscan.h"

#include "serial/portio.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/serial.h>
#include <memory>
#include <new>
#include <string>
#include <sys/ioctl.h>

namespace quarport {

namespace {

constexpr const char* kAdapterName = "VORTA USB Adapter";
constexpr const char* kRadioName = "Quarnel USB Tk9";
constexpr const char* kBusy = " (busy)";
// Descriptions hold 63 characters as formatted and 64 with the busy mark.
constexpr size_t kDescFormatted = 64;
constexpr size_t kDescMarked = 65;

// snprintf that may cut: the descriptions are display text of fixed size.
__attribute__((format(printf, 3, 4))) void Put(char* dest, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(dest, size, format, args);
    va_end(args);
}

bool FitsName(const char* name) {
    size_t n = strnlen(name, sizeof(CommPortInfo::name));
    return n > 0 && n < sizeof(CommPortInfo::name);
}

bool Listed(const CommPortInfo* records, int count, const char* name) {
    for (int i = 0; i < count; ++i)
        if (std::strcmp(records[i].name, name) == 0) return true;
    return false;
}

void SetName(CommPortInfo& r, const char* name) {
    Put(r.name, sizeof r.name, "%s", name);
}

}  // namespace

int TrailingNumber(const char* name) {
    if (!name) return -1;
    size_t end = std::strlen(name);
    size_t begin = end;
    while (begin > 0 && name[begin - 1] >= '0' && name[begin - 1] <= '9') --begin;
    if (begin == end || end - begin > 9) return -1;
    long v = std::strtol(name + begin, nullptr, 10);
    return v <= INT_MAX ? static_cast<int>(v) : -1;
}

int BuildPortList(const DeviceEntry* devices, int deviceCount, CommPortInfo* out, int capacity) {
    if (!out || capacity <= 0) return 0;
    CommPortInfo* work = out;

    int count = 0;
    for (int i = 0; devices && i < deviceCount && count < capacity; ++i) {
        const DeviceEntry& d = devices[i];
        char name[sizeof d.name + 1];
        Put(name, sizeof name, "%s", d.name);
        // A name that does not fit the record is left out rather than cut.
        if (!FitsName(name)) continue;
        int number = TrailingNumber(name);
        if (number < 0) continue;

        CommPortInfo& r = work[count];
        std::memset(&r, 0, sizeof r);
        SetName(r, name);
        r.number = number;

        char friendly[sizeof d.friendly + 1];
        Put(friendly, sizeof friendly, "%s", d.friendly);
        if (friendly[0] == '\0') {
            Put(r.description, kDescFormatted, "%s Communications Port", r.name);
        } else {
            if (char* com = std::strstr(friendly, "(COM")) *(com > friendly ? com - 1 : com) = '\0';
            Put(r.description, kDescFormatted, "%s %s", r.name, friendly);
            if (std::strstr(friendly, "Quarnel USB") || std::strstr(friendly, "Quarnel LNK")) {
                char id[sizeof d.instanceId + 1];
                Put(id, sizeof id, "%s", d.instanceId);
                const char* pid = std::strstr(id, "PID_8414\\");
                if (pid) {
                    const char* behind = pid + std::strlen("PID_8414\\");
                    if (std::strstr(behind, "QUARNEL_LNK")) {
                        const char* tag = std::strchr(behind, '[');
                        if (tag)
                            Put(r.description, kDescFormatted, "%s %s %s", r.name, kAdapterName, tag);
                        else
                            Put(r.description, kDescFormatted, "%s %s", r.name, kAdapterName);
                    }
                }
            }
        }
        ++count;
    }

    // Ascending numbers; of two equal numbers the later reported comes first.
    std::reverse(work, work + count);
    std::stable_sort(work, work + count,
                     [](const CommPortInfo& a, const CommPortInfo& b) { return a.number < b.number; });
    return count;
}

int AddExtraPorts(const char* paths, CommPortInfo* records, int count, int capacity) {
    if (!paths || !records) return count;
    std::string list(paths);
    size_t pos = 0;
    while (pos <= list.size() && count < capacity) {
        size_t colon = list.find(':', pos);
        if (colon == std::string::npos) colon = list.size();
        std::string path = list.substr(pos, colon - pos);
        pos = colon + 1;
        if (path.empty()) continue;

        char resolved[PATH_MAX];
        if (!realpath(path.c_str(), resolved)) continue;
        const char* name = resolved;
        if (std::strncmp(resolved, "/dev/", 5) == 0 && resolved[5] != '\0') name = resolved + 5;
        if (!FitsName(name) || Listed(records, count, name)) continue;

        CommPortInfo& r = records[count];
        std::memset(&r, 0, sizeof r);
        SetName(r, name);
        int number = TrailingNumber(name);
        r.number = number < 0 ? 0 : number;
        Put(r.description, kDescFormatted, "%s Virtual Serial Port", r.name);
        ++count;
    }
    return count;
}

static void MarkBusy(CommPortInfo& r) {
    r.busy = 1;
    size_t n = strnlen(r.description, sizeof r.description);
    if (n < kDescMarked) Put(r.description + n, kDescMarked - n, "%s", kBusy);
}

void MarkBusyPorts(CommPortInfo* records, int count) {
    for (int i = 0; records && i < count; ++i) {
        char path[sizeof records[i].name + 8];
        int err = 0;
        int fd = DevicePath(records[i].name, path, sizeof path) ? OpenExclusive(path, &err) : -1;
        if (fd < 0)
            MarkBusy(records[i]);
        else
            CloseExclusive(fd);
    }
}

int ProbeSerialPorts(const char* dir, CommPortInfo* records, int count, int capacity, bool* added) {
    if (added) *added = false;
    if (!dir || !records) return count;
    bool inDev = std::strcmp(dir, "/dev/") == 0;
    for (int k = 0; k < 16 && count < capacity; ++k) {
        char name[64];
        int len = inDev ? std::snprintf(name, sizeof name, "ttyS%d", k)
                        : std::snprintf(name, sizeof name, "%sttyS%d", dir, k);
        if (len <= 0 || !FitsName(name) || Listed(records, count, name)) continue;
        char path[sizeof name + 8];
        if (!DevicePath(name, path, sizeof path)) continue;

        int err = 0;
        int fd = OpenExclusive(path, &err);
        bool exists = false;
        bool busy = false;
        if (fd >= 0) {
            // A legacy port without a UART behind it opens but is not there.
            struct serial_struct info {};
            exists = ioctl(fd, TIOCGSERIAL, &info) != 0 || info.type != PORT_UNKNOWN;
            CloseExclusive(fd);
        } else if (err == EACCES || err == EPERM || err == EBUSY) {
            exists = busy = true;
        }
        if (!exists) continue;

        CommPortInfo& r = records[count];
        std::memset(&r, 0, sizeof r);
        SetName(r, name);
        r.number = k;
        Put(r.description, kDescFormatted, "%s Communications Port", r.name);
        if (busy) MarkBusy(r);
        ++count;
        if (added) *added = true;
    }
    return count;
}

void ClassifyPorts(CommPortInfo* records, int count) {
    for (int i = 0; records && i < count; ++i) {
        CommPortInfo& r = records[i];
        r.wired = 1;
        r.plain = 1;
        if (std::strstr(r.description, "Quarnel LNK") || std::strstr(r.description, kAdapterName)) {
            r.plain = 0;
        } else if (std::strstr(r.description, "MaxStream PKG-U") || std::strstr(r.description, "Digi PKG-U")) {
            Put(r.description, kDescFormatted, "%s %s", r.name, kRadioName);
            // The new text must not hide that the modem is held elsewhere.
            if (r.busy) MarkBusy(r);
            r.wired = 0;
        }
    }
}

}  // namespace quarport

int QuarSerial::CommPortEnum(CommPortInfo* records, int* count, bool forceAll) {
    if (!records || !count) return -10;
    if (*count <= 0) return -11;
    const int capacity = *count;
    constexpr int kMaxDevices = 256;
    std::unique_ptr<quarport::DeviceEntry[]> devices(new (std::nothrow) quarport::DeviceEntry[kMaxDevices]);
    if (!devices) return -60;
    std::memset(records, 0, sizeof(CommPortInfo) * static_cast<size_t>(capacity));
    *count = 0;

    int listed = quarport::ListDevices(devices.get(), kMaxDevices);
    bool queried = listed >= 0;
    int n = quarport::BuildPortList(devices.get(), queried ? listed : 0, records, capacity);
    n = quarport::AddExtraPorts(std::getenv("QUARBSL_EXTRA_PORTS"), records, n, capacity);
    int result = n;
    quarport::MarkBusyPorts(records, n);

    // Without a device list the serial ports are looked for one by one.
    if (!queried) result = 1;
    if ((forceAll || !queried) && n < capacity) {
        bool added = false;
        n = quarport::ProbeSerialPorts("/dev/", records, n, capacity, &added);
        if (added) result = 1;
    }
    quarport::ClassifyPorts(records, n);
    *count = n;
    return result;
}
