#include "serial/quarserial.h"

#include "diag/quarlog.h"
#include "serial/portio.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr const char* kTag = "QuarSerial";

}  // namespace

int QSErrorFromErrno(int err) {
    switch (err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return kQSErrNoSuchPort;
    case EBUSY:
    case EWOULDBLOCK:
        return kQSErrBusy;
    case EACCES:
    case EPERM:
        return kQSErrPermission;
    default:
        return err > 0 ? err : 1;
    }
}

namespace quarport {

bool DevicePath(const char* name, char* path, size_t size) {
    if (!name || !*name || !path || size == 0) return false;
    int n = name[0] == '/' ? std::snprintf(path, size, "%s", name)
                           : std::snprintf(path, size, "/dev/%s", name);
    return n > 0 && static_cast<size_t>(n) < size;
}

int OpenExclusive(const char* path, int* err) {
    int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *err = errno;
        return -1;
    }
    // The lock is what tells two programs apart even for root, who is not
    // refused by TIOCEXCL; TIOCEXCL then keeps ordinary users out as well.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *err = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(fd);
        return -1;
    }
    // A terminal already made exclusive belongs to another program, even
    // when root was let in; leave its flag alone.
    int exclusive = 0;
    if (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive) {
        ::close(fd);
        *err = EBUSY;
        return -1;
    }
    ::ioctl(fd, TIOCEXCL);
    *err = 0;
    return fd;
}

int CloseExclusive(int fd) {
    ::ioctl(fd, TIOCNXCL);
    return ::close(fd);
}

bool RateSupported(int rate, unsigned* speed) {
    static const struct {
        int rate;
        speed_t speed;
    } kRates[] = {{50, B50},         {75, B75},         {110, B110},       {134, B134},
                  {150, B150},       {200, B200},       {300, B300},       {600, B600},
                  {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
                  {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
                  {115200, B115200}, {230400, B230400}, {460800, B460800}};
    for (const auto& r : kRates) {
        if (r.rate == rate) {
            if (speed) *speed = r.speed;
            return true;
        }
    }
    return false;
}

}  // namespace quarport

QuarSerial::QuarSerial(QuarLog* logp, char* readBuffer)
    : log(logp),
      handle(kNoHandle),
      baud(0),
      portName{},
      gReadBuffer(readBuffer),
      answerReady(false),
      ownsReadBuffer(false),
      borrowed(false) {}

QuarSerial::~QuarSerial() {
    // Quietly: the log may already be gone when the last object goes.
    if (borrowed) {
        ReleasePort();
        return;
    }
    if (handle >= 0) {
        int bits = TIOCM_DTR;
        ::ioctl(handle, TIOCMBIC, &bits);
        quarport::CloseExclusive(handle);
    }
    handle = kNoHandle;
    if (ownsReadBuffer) delete[] gReadBuffer;
    gReadBuffer = nullptr;
}

int QuarSerial::QSOpen(const char* name, int rate) {
    if (handle != kNoHandle) {
        LogMessage(log, 40, kTag, "QSOpen found port \"%d\" already open", handle);
        QSClose();
        SleepMs(100);
    }
    handle = kNoHandle;

    if (!name || !*name) {
        LogMessage(log, 1, kTag, "QSOpen called without a port name");
        return -10;
    }
    // A name that does not fit is refused whole: cutting it could name another port.
    size_t len = std::strlen(name);
    if (len >= kPortNameSize) {
        LogMessage(log, 1, kTag, "QSOpen refused a port name longer than %u characters",
                   kPortNameSize - 1);
        portName[0] = '\0';
        return -11;
    }
    std::memcpy(portName, name, len + 1);

    char path[kPortNameSize + 8];
    quarport::DevicePath(portName, path, sizeof path);
    int err = 0;
    int fd = quarport::OpenExclusive(path, &err);
    if (fd < 0) {
        int code = QSErrorFromErrno(err);
        LogMessage(log, 1, portName, "QSOpen failed to open comm port (error %d)", code);
        handle = kInvalidHandle;
        return -code;
    }
    handle = fd;

    // The driver's queues cannot be sized here; its own sizes serve.

    struct termios tio {};
    if (::tcgetattr(fd, &tio) != 0) {
        int code = QSErrorFromErrno(errno);
        LogMessage(log, 1, portName, "QSOpen failed to retreive DCB on comm port (error %d)", code);
        return -code;
    }
    baud = rate == 0 ? 9600u : static_cast<uint32_t>(rate);
    speed_t speed = B9600;
    if (rate != 0 && !quarport::RateSupported(rate, &speed)) {
        LogMessage(log, 1, portName, "QSOpen failed to apply DCB on comm port (error %d)", 11);
        return -11;
    }
    // Raw 8N1, no flow control of either kind, modem status lines ignored.
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                          IXON | IXOFF | IXANY);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        int code = QSErrorFromErrno(errno);
        LogMessage(log, 1, portName, "QSOpen failed to apply DCB on comm port (error %d)", code);
        return -code;
    }

    // A read returns what is queued at once, else the first byte to arrive
    // within 100 ms, else nothing after 100 ms.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 1;
    int flags = ::fcntl(fd, F_GETFL);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0 || flags < 0 ||
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        int code = QSErrorFromErrno(errno);
        LogMessage(log, 1, portName, "QSOpen failed to set timeouts on comm port (error %d)", code);
        return -code;
    }

    // Pseudo-terminals have no modem lines; their refusal is no error.
    int bits = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(fd, TIOCMBIS, &bits);

    if (!gReadBuffer) {
        gReadBuffer = new (std::nothrow) char[kReadBufferSize];
        if (!gReadBuffer) return -60;
        ownsReadBuffer = true;
    }
    std::memset(gReadBuffer, 0, kReadBufferSize);
    answerReady = false;

    LogMessage(log, 30, portName, "QSOpen successfully opened and configured comm port at %d baud",
               static_cast<int>(baud));
    return 1;
}

int QuarSerial::QSClose() {
    if (borrowed) {
        // A borrowed port belongs to its lender: let go of it, never close it.
        ReleasePort();
        LogMessage(log, 30, portName, "QSClose released borrowed comm port");
        return 1;
    }
    if (handle < 0) {
        handle = kNoHandle;
        return 0;
    }
    int bits = TIOCM_DTR;
    ::ioctl(handle, TIOCMBIC, &bits);
    int rc = quarport::CloseExclusive(handle);
    int err = rc != 0 ? errno : 0;
    handle = kNoHandle;
    if (ownsReadBuffer && gReadBuffer) {
        delete[] gReadBuffer;
        gReadBuffer = nullptr;
    }
    ownsReadBuffer = false;
    answerReady = false;
    // Linux releases the descriptor even when close reports EINTR.
    if (rc != 0 && err != EINTR) {
        int code = QSErrorFromErrno(err);
        LogMessage(log, 1, portName, "QSClose failed to close comm port (error %d)", code);
        return -code;
    }
    LogMessage(log, 30, portName, "QSClose closed comm port");
    return 1;
}

// One read of the port as the time-outs set by QSOpen allow. A hung-up line
// (adapter unplugged) reads as a failure rather than as endless silence.
static ssize_t ReadPort(int fd, char* dest, size_t n) {
    for (;;) {
        ssize_t r = ::read(fd, dest, n);
        if (r < 0 && errno == EINTR) continue;
        if (r == 0 && n > 0) {
            struct pollfd p {fd, POLLIN, 0};
            if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
                errno = (p.revents & POLLNVAL) ? EBADF : EIO;
                return -1;
            }
        }
        return r;
    }
}

int QuarSerial::QSRead(char* dest, unsigned capacity, unsigned* count) {
    unsigned localCount = 0;
    if (!count) count = &localCount;
    *count = 0;
    if (!gReadBuffer) return -60;
    if (!dest && capacity > 0) return -10;

    bool cut = false;
    size_t held = strnlen(gReadBuffer, kReadBufferSize - 1);
    if (held > 0) {
        size_t n = held;
        if (n > capacity) {
            n = capacity;
            cut = true;
        }
        std::memcpy(dest, gReadBuffer, n);
        *count = static_cast<unsigned>(n);
        gReadBuffer[0] = '\0';
        LogMessage(log, 40, portName, "QSRead read %d bytes from gReadBuffer", static_cast<int>(n));
    }
    if (cut || answerReady) {
        answerReady = false;
        return static_cast<int>(*count);
    }
    if (handle == kNoHandle) {
        LogMessage(log, 1, kTag, "QSRead tried to read from a closed port");
        return -21;
    }
    ssize_t r = ReadPort(handle, dest ? dest + *count : nullptr, capacity - *count);
    if (r < 0) {
        LogMessage(log, 1, portName, "QSRead ReadFile failed (error %d)", errno);
        return -21;
    }
    *count += static_cast<unsigned>(r);
    LogMessage(log, 40, portName, "QSRead read %d btyes", static_cast<int>(*count));
    return static_cast<int>(*count);
}

int QuarSerial::QSWrite(const void* data, int n, int* written) {
    int localWritten = 0;
    if (!written) written = &localWritten;
    *written = 0;
    if (handle == kNoHandle) {
        LogMessage(log, 1, kTag, "QSWrite tried to write to a closed port");
        return -21;
    }
    if (n < 0 || (!data && n > 0)) return -10;

    // The write may take 10 ms per byte plus 100 ms; what went out by then counts.
    const char* bytes = static_cast<const char*>(data);
    const uint32_t limit = 10u * static_cast<uint32_t>(n) + 100u;
    const uint32_t start = TickMs();
    int flags = handle >= 0 ? ::fcntl(handle, F_GETFL) : -1;
    if (flags >= 0) ::fcntl(handle, F_SETFL, flags | O_NONBLOCK);
    int err = 0;
    int done = 0;
    while (done < n) {
        ssize_t w = ::write(handle, bytes + done, static_cast<size_t>(n - done));
        if (w > 0) {
            done += static_cast<int>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno != EAGAIN) {
            err = errno;
            break;
        }
        uint32_t elapsed = TickMs() - start;
        if (elapsed >= limit) break;
        struct pollfd p {handle, POLLOUT, 0};
        int pr = ::poll(&p, 1, static_cast<int>(limit - elapsed));
        if (pr < 0 && errno != EINTR) {
            err = errno;
            break;
        }
        if (pr > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) && !(p.revents & POLLOUT)) {
            err = (p.revents & POLLNVAL) ? EBADF : EIO;
            break;
        }
    }
    if (flags >= 0) ::fcntl(handle, F_SETFL, flags);
    if (err != 0) {
        LogMessage(log, 1, portName, "QSWrite WriteFile failed (error %d)", err);
        return -21;
    }
    *written = done;
    LogMessage(log, 40, portName, "QSWrite wrote %d bytes", done);
    return done;
}

int QuarSerial::QSFlush(int mode) {
    if (mode == 1 && handle >= 0) ::tcflush(handle, TCIFLUSH);
    if (gReadBuffer) gReadBuffer[0] = '\0';
    return 0;
}

int QuarSerial::QSWait(unsigned msTimeout, char ch) {
    if (handle == kNoHandle) {
        LogMessage(log, 1, kTag, "QSWait tried to operate on a closed port");
        return -21;
    }
    if (!gReadBuffer) return -60;

    const uint32_t start = TickMs();
    unsigned received = 0;
    unsigned emptyPolls = 0;
    gReadBuffer[0] = '\0';
    for (;;) {
        ssize_t r = 0;
        if (received < kReadBufferSize - 1) {
            r = ReadPort(handle, gReadBuffer + received, kReadBufferSize - 1 - received);
            if (r < 0) {
                LogMessage(log, 1, portName, "QSWait ReadFile failed (error %d)", errno);
                return -21;
            }
        } else {
            // The buffer is full: stop asking the port and let the time-out run.
            SleepMs(100);
        }
        if (r > 0) {
            received += static_cast<unsigned>(r);
            gReadBuffer[received] = '\0';
            if (std::memchr(gReadBuffer, ch, received)) {
                answerReady = true;
                LogMessage(log, 40, portName, "QSWait found '%c' in %d ms", ch,
                           static_cast<int>(TickMs() - start));
                return static_cast<unsigned char>(ch);
            }
            continue;
        }
        uint32_t elapsed = TickMs() - start;
        if (elapsed > msTimeout) {
            LogMessage(log, 40, portName, "QSWait read %d bytes, but never found '%c' in %d ms",
                       static_cast<int>(received), ch, static_cast<int>(elapsed));
            return 0;
        }
        if (++emptyPolls >= 6 && msTimeout > 400) SleepMs(200);
    }
}

int QuarSerial::QSHostBaud(int rate) {
    if (rate >= 0 && static_cast<uint32_t>(rate) == baud) return 0;
    if (portName[0] == '\0') return -6;
    speed_t speed = B9600;
    if (!quarport::RateSupported(rate, &speed)) {
        LogMessage(log, 1, portName, "QSHostBaud failed to apply new baud rate \"%d\" (error %d)", rate, 11);
        return -11;
    }
    struct termios tio {};
    if (::tcgetattr(handle, &tio) != 0 || ::cfsetispeed(&tio, speed) != 0 ||
        ::cfsetospeed(&tio, speed) != 0 || ::tcsetattr(handle, TCSANOW, &tio) != 0) {
        int code = QSErrorFromErrno(errno);
        LogMessage(log, 1, portName, "QSHostBaud failed to apply new baud rate \"%d\" (error %d)", rate, code);
        return -code;
    }
    baud = static_cast<uint32_t>(rate);
    return 1;
}

void QuarSerial::AdoptPort(const BorrowedPort& port, unsigned rate) {
    if (borrowed) ReleasePort();
    if (handle >= 0) QSClose();
    // A buffer of the object's own waits here until the loan ends.
    ownReadBuffer = ownsReadBuffer ? nullptr : gReadBuffer;
    handle = port.handle;
    baud = rate;
    gReadBuffer = port.readBuffer;
    ownsReadBuffer = false;
    answerReady = false;
    borrowed = true;
    if (port.portName) {
        size_t n = strnlen(port.portName, kPortNameSize - 1);
        std::memcpy(portName, port.portName, n);
        portName[n] = '\0';
    }
}

void QuarSerial::ReleasePort() {
    if (!borrowed) return;
    handle = kNoHandle;
    gReadBuffer = ownReadBuffer;
    ownReadBuffer = nullptr;
    ownsReadBuffer = false;
    answerReady = false;
    borrowed = false;
}
