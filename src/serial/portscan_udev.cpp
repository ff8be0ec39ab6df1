// The system's list of serial devices, from udev.
#include "serial/portscan.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libudev.h>
#include <linux/serial.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

namespace quarport {

namespace {

std::string Text(const char* s) { return s ? std::string(s) : std::string(); }

// udev's ID_MODEL and ID_VENDOR stand for spaces with underscores.
std::string Spaced(std::string s) {
    for (char& c : s)
        if (c == '_') c = ' ';
    return s;
}

std::string Property(udev_device* dev, udev_device* parent, const char* key) {
    const char* v = udev_device_get_property_value(dev, key);
    if ((!v || !*v) && parent) v = udev_device_get_property_value(parent, key);
    return Text(v);
}

std::string Trimmed(std::string s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return std::string();
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

// A legacy 8250 port that is only a placeholder: it either refuses to open
// for want of hardware or reports an unknown UART.
bool IsEmptyLegacyPort(const char* node) {
    int fd = ::open(node, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == EIO || errno == ENXIO || errno == ENODEV || errno == ENOENT;
    struct serial_struct info {};
    bool empty = ::ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type == PORT_UNKNOWN;
    ::close(fd);
    return empty;
}

void Describe(udev_device* dev, udev_device* parent, DeviceEntry& e) {
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(dev, "usb", "usb_device");
    std::string model, vendor;
    if (usb) {
        model = Trimmed(Text(udev_device_get_sysattr_value(usb, "product")));
        vendor = Trimmed(Text(udev_device_get_sysattr_value(usb, "manufacturer")));
    }
    if (model.empty()) model = Property(dev, parent, "ID_MODEL_FROM_DATABASE");
    if (model.empty()) model = Spaced(Property(dev, parent, "ID_MODEL"));
    if (vendor.empty()) vendor = Property(dev, parent, "ID_VENDOR_FROM_DATABASE");
    if (vendor.empty()) vendor = Spaced(Property(dev, parent, "ID_VENDOR"));
    model = Trimmed(model);
    vendor = Trimmed(vendor);

    std::string friendly = model;
    // The maker's name helps where the product text does not carry it.
    if (!model.empty() && !vendor.empty() && model.find(vendor) == std::string::npos)
        friendly = vendor + " " + model;
    std::snprintf(e.friendly, sizeof e.friendly, "%s", friendly.c_str());

    if (usb) {
        unsigned vid = static_cast<unsigned>(std::strtoul(Text(udev_device_get_sysattr_value(usb, "idVendor")).c_str(), nullptr, 16));
        unsigned pid = static_cast<unsigned>(std::strtoul(Text(udev_device_get_sysattr_value(usb, "idProduct")).c_str(), nullptr, 16));
        std::string serial = Text(udev_device_get_sysattr_value(usb, "serial"));
        if (serial.empty()) serial = Property(dev, parent, "ID_SERIAL_SHORT");
        std::snprintf(e.instanceId, sizeof e.instanceId, "USB\\VID_%04X&PID_%04X\\%s", vid & 0xFFFFu,
                      pid & 0xFFFFu, serial.c_str());
    }
}

}  // namespace

int ListDevices(DeviceEntry* out, int capacity) {
    if (!out || capacity <= 0) return 0;
    udev* u = udev_new();
    if (!u) return -1;
    udev_enumerate* en = udev_enumerate_new(u);
    if (!en || udev_enumerate_add_match_subsystem(en, "tty") < 0 || udev_enumerate_scan_devices(en) < 0) {
        if (en) udev_enumerate_unref(en);
        udev_unref(u);
        return -1;
    }

    int count = 0;
    udev_list_entry* item = nullptr;
    udev_list_entry_foreach(item, udev_enumerate_get_list_entry(en)) {
        if (count >= capacity) break;
        udev_device* dev = udev_device_new_from_syspath(u, udev_list_entry_get_name(item));
        if (!dev) continue;
        udev_device* parent = udev_device_get_parent(dev);
        const char* node = udev_device_get_devnode(dev);
        if (parent && node) {
            const char* name = std::strncmp(node, "/dev/", 5) == 0 ? node + 5 : node;
            bool legacy = std::strncmp(name, "ttyS", 4) == 0;
            if (std::strlen(name) < sizeof out[count].name && !(legacy && IsEmptyLegacyPort(node))) {
                DeviceEntry& e = out[count];
                std::memset(&e, 0, sizeof e);
                std::snprintf(e.name, sizeof e.name, "%s", name);
                Describe(dev, parent, e);
                ++count;
            }
        }
        udev_device_unref(dev);
    }
    udev_enumerate_unref(en);
    udev_unref(u);
    return count;
}

}  // namespace quarport
