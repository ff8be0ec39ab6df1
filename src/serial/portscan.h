// Comm port discovery in steps, so that each can be exercised on its own.
// QuarSerial::CommPortEnum runs them in order:
//   ListDevices -> BuildPortList -> AddExtraPorts -> MarkBusyPorts
//   -> ProbeSerialPorts (forceAll) -> ClassifyPorts.
#pragma once

#include "serial/quarserial.h"

#include <cstddef>

namespace quarport {

// One serial device as the system's device list reports it.
struct DeviceEntry {
    char name[33];        // device name under /dev ("ttyUSB0"), or an absolute path
    char friendly[65];    // model or product text; empty when the system has none
    char instanceId[65];  // "USB\VID_0403&PID_6001\<serial>" for USB devices, else empty
};

// Fills up to capacity entries from udev: devices of the tty subsystem that
// have a parent device, less the legacy 8250 ports without a UART behind
// them. Returns the number of entries, or -1 when udev cannot be asked.
int ListDevices(DeviceEntry* out, int capacity);

// The number at the end of a port name ("ttyUSB12" -> 12), or -1 when the
// name does not end in a digit or the number does not fit.
int TrailingNumber(const char* name);

// Turns device entries (in reported order) into port records: names that
// fit the record and end in a number, descriptions from the friendly names,
// the maker's adapter recognised from its instance identifier. At most
// capacity records are made; they come back sorted by number, a later
// reported one first among equal numbers. Returns the number of records.
int BuildPortList(const DeviceEntry* devices, int deviceCount, CommPortInfo* out, int capacity);

// Appends the ports named in a colon-separated list of paths (the
// QUARBSL_EXTRA_PORTS variable), symlinks resolved and "/dev/" dropped,
// described as "<name> Virtual Serial Port". Names already listed, paths
// that do not resolve and names that do not fit are left out. Returns the
// new number of records.
int AddExtraPorts(const char* paths, CommPortInfo* records, int count, int capacity);

// Tries to open every listed port as QSOpen would; a port that cannot be
// opened is marked busy and its description gets " (busy)".
void MarkBusyPorts(CommPortInfo* records, int count);

// Probes <dir>ttyS0 .. <dir>ttyS15 directly, skipping names already listed.
// A port exists when it opens (with a UART behind it) or refuses for lack of
// permission or because it is held; the latter two are busy. dir "/dev/"
// gives names such as "ttyS0"; any other dir gives absolute paths. Returns
// the new number of records; *added tells whether any was added.
int ProbeSerialPorts(const char* dir, CommPortInfo* records, int count, int capacity, bool* added);

// Final pass: wired and plain from the descriptions, radio modems renamed.
void ClassifyPorts(CommPortInfo* records, int count);

}  // namespace quarport
