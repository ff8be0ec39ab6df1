// Low-level helpers shared by the port class and port discovery.
#pragma once

#include <cstddef>

namespace quarport {

// "/dev/<name>", or the name itself when it is an absolute path. False when
// the name is empty or the path does not fit.
bool DevicePath(const char* name, char* path, size_t size);

// Opens a port for exclusive use: read-write without becoming the
// controlling terminal, a non-blocking exclusive flock, then TIOCEXCL.
// Returns the descriptor, or -1 with *err set (EBUSY when the lock is held).
int OpenExclusive(const char* path, int* err);
// Clears TIOCEXCL and closes; returns what close returned.
int CloseExclusive(int fd);

// True for the rates the port accepts (50 to 460800 baud, the standard
// steps); *speed receives the termios constant.
bool RateSupported(int rate, unsigned* speed);

}  // namespace quarport
