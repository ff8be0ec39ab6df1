// Text helpers of the web window that need no window: reading the version
// finder's reply and describing the computer for the feedback request.
#pragma once

#include <QString>

// Result codes of the version check.
enum : int {
    kWebConnectError = -1001,
    kWebParseError = -1002,
};

// Reads a version finder reply: a version (407 or 4.07), white space, and a
// web address starting at the first "http" and running to the end. Returns 1
// with the version times 100 and the address, or kWebParseError.
int ParseVersionFinderReply(const QString& body, int* version, QString* address);

// A download address names a new updater program; anything else is an
// information page.
bool IsDownloadAddress(const QString& address);

// "Name (Version major.minor build number)" from the text of an os-release
// file and a kernel release string such as "6.1.0-18-amd64".
QString FormatComputerInformation(const QString& osRelease, const QString& kernelRelease);

// The same line for the running system (/etc/os-release, uname).
QString CurrentComputerInformation();

// Windows' naming of its own versions (platform 1 is the 9x family, 2 the
// NT family); servicePack is the service-pack text, possibly empty.
QString WindowsComputerInformation(int platform, unsigned major, unsigned minor, unsigned build,
                                   const QString& servicePack);
