// The comm port under every device conversation, and the timing helpers.
// POSIX termios backend; port names are device names under /dev ("ttyUSB0",
// "pts/3") or absolute paths.
#pragma once

#include <cstdint>

class QuarLog;

// Error numbers the layers above rely on (returned negated). They follow the
// numbering the device layers were designed around: 2 "no such port",
// 5 "held by another program". Permission refused keeps its own number.
enum : int {
    kQSErrNoSuchPort = 2,
    kQSErrBusy = 5,
    kQSErrPermission = 13,
};

// An open port lent by its owner to another object for a while (the loader
// host borrows the instrument protocol's port). It names the handle, the
// read-ahead buffer and the port name; it owns none of them. The borrower
// never closes the handle nor frees the buffer, and hands them back as lent.
struct BorrowedPort {
    int handle = -1;
    char* readBuffer = nullptr;
    const char* portName = nullptr;
};

// One listed comm port (100 bytes).
struct CommPortInfo {
    char name[25];
    char description[67];
    int32_t number;
    uint8_t wired;
    uint8_t plain;
    uint8_t busy;
    uint8_t reserved;
};
static_assert(sizeof(CommPortInfo) == 100, "CommPortInfo is a 100-byte record");

class QuarSerial {
public:
    static constexpr int kNoHandle = -1;       // closed
    static constexpr int kInvalidHandle = -2;  // after a failed open
    static constexpr unsigned kReadBufferSize = 2048;
    static constexpr unsigned kPortNameSize = 65;  // 64 characters and NUL

    explicit QuarSerial(QuarLog* log = nullptr, char* readBuffer = nullptr);
    ~QuarSerial();
    QuarSerial(const QuarSerial&) = delete;
    QuarSerial& operator=(const QuarSerial&) = delete;

    int QSOpen(const char* name, int rate);
    int QSClose();
    int QSRead(char* dest, unsigned capacity, unsigned* count);
    int QSWrite(const void* data, int n, int* written);
    int QSFlush(int mode);
    int QSWait(unsigned msTimeout, char ch);
    int QSHostBaud(int rate);

    // Port discovery; does not touch this object's own port. count is the
    // capacity of records on entry and the number filled on return.
    int CommPortEnum(CommPortInfo* records, int* count, bool forceAll);

    // Lending: the owner of an open port describes it; the borrower takes it
    // over without reopening (AdoptPort) and lets go without closing
    // (ReleasePort). While borrowed, QSClose detaches instead of closing.
    BorrowedPort LendPort() const { return BorrowedPort{handle, gReadBuffer, portName}; }
    void AdoptPort(const BorrowedPort& port, unsigned rate);
    void ReleasePort();
    bool IsBorrowed() const { return borrowed; }

    bool IsOpen() const { return handle >= 0; }
    int Handle() const { return handle; }
    const char* PortName() const { return portName; }
    unsigned Baud() const { return baud; }
    char* ReadBuffer() const { return gReadBuffer; }
    bool AnswerReady() const { return answerReady; }

protected:
    QuarLog* log;
    int handle;
    uint32_t baud;
    char portName[kPortNameSize];
    char* gReadBuffer;
    bool answerReady;
    bool ownsReadBuffer;
    bool borrowed;
    char* ownReadBuffer = nullptr;  // a supplied buffer set aside during a loan
};

// Maps an errno value onto the numbers above: ENOENT, ENODEV, ENXIO give
// kQSErrNoSuchPort; EBUSY and a held lock give kQSErrBusy; EACCES and EPERM
// give kQSErrPermission; anything else stays as it is.
int QSErrorFromErrno(int err);

// Pauses. Below 170 ms a plain sleep; from 170 ms the installed event pump
// keeps the window alive while waiting.
int SleepMs(unsigned ms);
uint32_t TickMs();
long UtcOffsetSeconds();

// The event pump a window layer installs: process pending events, waiting
// at most maxWaitMs for one to arrive; it must return within maxWaitMs.
using EventPump = void (*)(unsigned maxWaitMs);
void SetEventPump(EventPump pump);
EventPump CurrentEventPump();
