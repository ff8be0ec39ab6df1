#include "bsl/quarbslhost.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "diag/quarlog.h"

namespace {

constexpr const char* kSource = "QuarBSL";
constexpr unsigned kLevelFail = 1;
constexpr unsigned kLevelResult = 10;
constexpr unsigned kLevelDetail = 30;

constexpr unsigned kRetryPauseMs = 175;
constexpr unsigned kCommandWaitMs = 1000;
constexpr unsigned kReplyRead = 20;     // bytes taken from a framed reply
constexpr unsigned kProbeArea = 32;     // reply area of the connection probes
constexpr unsigned kSegmentSize = 512;  // main-flash erase segment
constexpr uint32_t kHighFlash = 0x10000;

// '.' opens the trailer and counts towards the checksum.
constexpr int kSeparator = '.';

int SignedByte(char c) { return static_cast<signed char>(c); }

bool Contains(const char* text, unsigned n, const char* what) {
    const size_t len = std::strlen(what);
    if (len == 0 || n < len) return false;
    for (unsigned i = 0; i + len <= n; ++i) {
        if (std::memcmp(text + i, what, len) == 0) return true;
    }
    return false;
}

bool ContainsChar(const char* text, unsigned n, char c) {
    return std::memchr(text, c, n) != nullptr;
}

bool InProtectedArea(uint64_t a) {
    return a >= QuarBSLHost::kProtectedStart && a <= QuarBSLHost::kProtectedEnd;
}

// Replies of the two command forms (first matching rule wins).
int ClassifyReply(const char* reply, unsigned count, bool textForm) {
    const unsigned char b0 = count > 0 ? static_cast<unsigned char>(reply[0]) : 0;
    const unsigned char b1 = count > 1 ? static_cast<unsigned char>(reply[1]) : 0;
    const int accepted = static_cast<int>(count);
    if (b0 == '+' || b1 == '+') return accepted;
    if (b0 == '-' || b0 == '?') return -1;
    if (b0 == '\r' && textForm) return -1;
    if (!textForm && Contains(reply, count, "ERROR")) return -1;
    if (b0 == 'e') return accepted;
    if (b0 == ';' && !textForm) return accepted;
    if ((b0 == 0xC3 || b0 == 0xF0) && textForm) return accepted;
    return count == 0 ? -21 : -1;
}

long WholeSeconds(uint32_t since) { return static_cast<long>((TickMs() - since) / 1000); }

}  // namespace

QuarBSLHost::QuarBSLHost(QuarLog* log)
    : QuarSerial(log, nullptr),
      image(log),
      constructorError(0),
      loaderVersion(0),
      hostLog(log),
      attached(false),
      reportProgress(false),
      retries(0),
      frameBuffer(new (std::nothrow) char[kProtocolBufferSize]),
      chunkBuffer(new (std::nothrow) char[kProtocolBufferSize]),
      progressFn(nullptr),
      progressContext(nullptr),
      pausedMs(0) {
    if (frameBuffer == nullptr || chunkBuffer == nullptr) {
        constructorError = -60;
    } else {
        std::memset(frameBuffer, 0, kProtocolBufferSize);
        std::memset(chunkBuffer, 0, kProtocolBufferSize);
    }
    if (image.ConstructionResult() < 0) constructorError = image.ConstructionResult();
}

QuarBSLHost::~QuarBSLHost() {
    BSLDisconnect();
    delete[] frameBuffer;
    delete[] chunkBuffer;
}

void QuarBSLHost::Pause(unsigned ms) {
    SleepMs(ms);
    pausedMs += ms;
}

bool QuarBSLHost::Progress(unsigned total, unsigned done, unsigned phase, char letter) {
    if (progressFn == nullptr) return true;
    return progressFn(progressContext, total, done, phase, letter);
}

int QuarBSLHost::WriteText(const char* text, int n) {
    int written = 0;
    return QSWrite(text, n, &written);
}

int QuarBSLHost::ReadReply(char* reply, unsigned capacity) {
    std::memset(reply, 0, capacity);
    unsigned count = 0;
    const int r = QSRead(reply, capacity - 1, &count);
    if (r < 0) return r;
    if (count > capacity - 1) count = capacity - 1;
    reply[count] = '\0';
    return static_cast<int>(count);
}

// ---------------------------------------------------------------------------
// Framing

// Appends ".CCCC\r" behind pos bytes of frame; returns the frame length or -11.
int QuarBSLHost::FinishFrame(unsigned pos, int sum) {
    sum += kSeparator;
    int checksum = sum % 0xFFFF;
    if (checksum < 0) checksum += 0xFFFF;
    const int w = std::snprintf(frameBuffer + pos, kProtocolBufferSize - pos, "%c%04X\r",
                                kSeparator, static_cast<unsigned>(checksum));
    if (w < 0 || pos + static_cast<unsigned>(w) >= kProtocolBufferSize) return -11;
    return static_cast<int>(pos) + w;
}

int QuarBSLHost::BSLCommand(char letter, const uint32_t* values, unsigned count, char awaited,
                            char* reply, uint32_t* elapsedMs, bool wideAddress) {
    if (!attached) return -21;
    if (count > kMaxHexValues) return -11;
    if (reply == nullptr || (count > 0 && values == nullptr)) return -10;
    if (frameBuffer == nullptr) return -60;

    // The trailer ".CCCC\r" and the terminating NUL must stay free behind
    // the fields; a request that would not fit is refused before anything is
    // sent.
    constexpr unsigned kTrailer = 7;
    unsigned pos = 0;
    frameBuffer[pos++] = letter;
    int sum = SignedByte(letter);
    for (unsigned i = 0; i < count; ++i) {
        const unsigned room = kProtocolBufferSize - pos;
        const int w = std::snprintf(frameBuffer + pos, room, wideAddress ? "%05X" : "%04X",
                                    static_cast<unsigned>(values[i]));
        if (w < 0 || pos + static_cast<unsigned>(w) + kTrailer > kProtocolBufferSize) return -11;
        for (int k = 0; k < w; ++k) sum += SignedByte(frameBuffer[pos + k]);
        pos += static_cast<unsigned>(w);
    }
    const int frameLen = FinishFrame(pos, sum);
    if (frameLen < 0) return frameLen;
    return SendFrame(awaited, reply, elapsedMs, false, static_cast<unsigned>(frameLen), TickMs());
}

int QuarBSLHost::BSLCommand(char letter, const char* payload, unsigned length, char awaited,
                            char* reply, uint32_t* elapsedMs) {
    if (!attached) return -21;
    if (length > kMaxTextPayload) return -11;
    if (reply == nullptr) return -10;
    if (payload == nullptr && letter != 'g') return -10;
    if (frameBuffer == nullptr) return -60;
    if (payload == nullptr) length = 0;

    unsigned pos = 0;
    frameBuffer[pos++] = letter;
    int sum = SignedByte(letter);
    if (length > 0) {
        std::memcpy(frameBuffer + pos, payload, length);
        for (unsigned i = 0; i < length; ++i) sum += SignedByte(payload[i]);
        pos += length;
    }
    const int frameLen = FinishFrame(pos, sum);
    if (frameLen < 0) return frameLen;
    return SendFrame(awaited, reply, elapsedMs, true, static_cast<unsigned>(frameLen), TickMs());
}

int QuarBSLHost::SendFrame(char awaited, char* reply, uint32_t* elapsedMs, bool textForm,
                           unsigned frameLen, uint32_t tick) {
    auto finish = [&](int result) {
        if (elapsedMs != nullptr) *elapsedMs = TickMs() - tick;
        return result;
    };
    QSFlush(1);
    reply[0] = '\0';

    int written = 0;
    int r = QSWrite(frameBuffer, static_cast<int>(frameLen), &written);
    if (r < 0) {
        LogMessage(hostLog, kLevelFail, kSource, "BSLCommand got unexpected response (%d) from QCommWrite", r);
        return finish(r);
    }
    r = QSWait(kCommandWaitMs, awaited);
    if (r < 0) {
        LogMessage(hostLog, kLevelFail, kSource, "BSLCommand got unexpected response (%d) from QCommWait", r);
        return finish(r);
    }
    unsigned count = 0;
    r = QSRead(reply, kReplyRead, &count);
    if (r < 0) {
        LogMessage(hostLog, kLevelFail, kSource, "BSLCommand got unexpected response (%d) from QCommRead", r);
        return finish(r);
    }
    if (count > kReplyRead) count = kReplyRead;
    reply[count] = '\0';
    return finish(ClassifyReply(reply, count, textForm));
}

// ---------------------------------------------------------------------------
// Transfers

int QuarBSLHost::BSLSendAddress(int address, bool wideAddress) {
    char text[16];
    const int n = std::snprintf(text, sizeof text, wideAddress ? "%05X" : "%04X",
                                static_cast<unsigned>(address));
    char reply[kProbeArea];
    uint32_t elapsed = 0;
    int result = -22;  // no attempt with a retry count of 0
    for (uint32_t attempt = 0; attempt < retries; ++attempt) {
        if (attempt > 0) Pause(kRetryPauseMs);
        result = BSLCommand('@', text, static_cast<unsigned>(n), '\r', reply, &elapsed);
        if (result > 0) break;
    }
    if (result > 0) {
        LogMessage(hostLog, kLevelResult, kSource, "BSLSendAddress (%05X) successful",
                   static_cast<unsigned>(address));
    } else {
        LogMessage(hostLog, kLevelFail, kSource, "BSLSendAddress (%05X) failed with error %d",
                   static_cast<unsigned>(address), result);
    }
    return result;
}

// Sends the n pending characters of chunkBuffer; a refused chunk is sent
// again from its start address.
int QuarBSLHost::FlushChunk(uint32_t address, unsigned n, bool wideAddress) {
    char reply[kProbeArea];
    uint32_t elapsed = 0;
    int result = -22;
    for (uint32_t attempt = 0; attempt < retries; ++attempt) {
        if (attempt > 0) {
            Pause(kRetryPauseMs);
            const int a = BSLSendAddress(static_cast<int>(address), wideAddress);
            if (a < 0) return a;
        }
        result = BSLCommand('W', chunkBuffer, n, '\r', reply, &elapsed);
        if (result > 0) break;
    }
    return result;
}

int QuarBSLHost::BSLSendFirmware(bool wideAddress) {
    const uint32_t start = TickMs();
    const char* text = image.imageText;
    if (text == nullptr) return -10;
    const unsigned length = image.imageLength;
    if (length == 0 || text[0] != '@') return -11;
    if (chunkBuffer == nullptr) return -60;

    int result = 1;
    unsigned p = 0;
    unsigned n = 0;
    uint32_t a = 0;
    while (p < length && result >= 0) {
        if (reportProgress && p % kChunkChars == 0 && !Progress(length, p, 1, 'W')) {
            result = -40;
            break;
        }
        if (text[p] == '@') {
            if (n > 0) {
                result = FlushChunk(a, n, wideAddress);
                n = 0;
                if (result < 0) break;
            }
            if (p + 6 > length) {  // a record header cut short
                result = -11;
                break;
            }
            char addr[6];
            if (wideAddress) {
                std::memcpy(addr, text + p + 1, 5);
                addr[5] = '\0';
            } else {
                std::memcpy(addr, text + p + 2, 4);
                addr[4] = '\0';
            }
            p += 6;
            a = static_cast<uint32_t>(std::strtoul(addr, nullptr, 16));
            const int r = BSLSendAddress(static_cast<int>(a), wideAddress);
            if (r < 0) {
                result = r;
                break;
            }
        } else {
            chunkBuffer[n++] = text[p++];
            if (n == kChunkChars) {
                result = FlushChunk(a, n, wideAddress);
                n = 0;
                if (result < 0) break;
                a += kChunkChars / 2;
            }
        }
    }
    if (result >= 0 && n > 0) result = FlushChunk(a, n, wideAddress);

    if (reportProgress) Progress(length, length, 2, 'W');
    if (result >= 0) {
        LogMessage(hostLog, kLevelResult, kSource, "BSLSendFirmware successful (%d s)",
                   static_cast<int>(WholeSeconds(start)));
    } else {
        LogMessage(hostLog, kLevelFail, kSource, "BSLSendFirmware failed with error %d (%d s)", result,
                   static_cast<int>(WholeSeconds(start)));
    }
    return result;
}

int QuarBSLHost::BSLSendVectors() {
    Pause(50);
    char reply[kProbeArea];
    uint32_t elapsed = 0;
    int result = 0;
    for (uint32_t attempt = 0; attempt < retries; ++attempt) {
        if (attempt > 0) Pause(kRetryPauseMs);
        result = BSLCommand('V', image.vectors, 16, '+', reply, &elapsed, false);
        if (result > 0) break;
    }
    if (result <= 0) {
        LogMessage(hostLog, kLevelFail, kSource, "BSLSendVectors with digital sensor didn't hear ACK");
        result = 0;
    }
    LogMessage(hostLog, kLevelResult, kSource, "BSLSendVectors successful");
    return result;
}

// One erase segment, retried; the last result.
int QuarBSLHost::SendSegment(uint32_t address, bool wideAddress) {
    char reply[kProbeArea];
    uint32_t elapsed = 0;
    int result = -22;
    for (uint32_t attempt = 0; attempt < retries; ++attempt) {
        if (attempt > 0) Pause(kRetryPauseMs);
        result = BSLCommand('X', &address, 1, '\r', reply, &elapsed, wideAddress);
        if (result > 0) break;
    }
    return result;
}

int QuarBSLHost::BSLEraseINFO(uint32_t first, unsigned count, uint32_t step, bool wideAddress) {
    const uint32_t start = TickMs();
    if (count == 0) return 0;  // nothing to erase, nothing sent
    int result = 0;
    uint32_t a = first;
    for (unsigned i = 0; i < count; ++i) {
        result = SendSegment(a, wideAddress);
        if (result <= 0) break;
        a += step;
    }
    const long ms = static_cast<long>(TickMs() - start);
    if (result > 0) {
        LogMessage(hostLog, kLevelResult, kSource, "BSLEraseINFO successful: %d segments @ %X (%ld ms)",
                   static_cast<int>(count), first, ms);
    } else {
        LogMessage(hostLog, kLevelFail, kSource, "BSLEraseINFO failed with error %d (%ld ms)", result, ms);
    }
    return result;
}

int QuarBSLHost::BSLEraseFlash(uint32_t first, uint32_t end, bool wideAddress) {
    const uint32_t start = TickMs();
    if (InProtectedArea(first)) return -11;
    if (first >= end) return 0;  // an empty range: nothing sent

    const unsigned total = (end - first) / kSegmentSize;
    uint64_t a = first;  // wide enough that stepping past 0xFFFFFFFF cannot wrap
    unsigned k = 0;
    int result = 0;
    while (a < end) {
        if (reportProgress && k % 10 == 0 &&
            !Progress(total, static_cast<unsigned>((a - first) / kSegmentSize), 1, 'X')) {
            result = -40;
            break;
        }
        ++k;
        result = SendSegment(static_cast<uint32_t>(a), wideAddress);
        if (result <= 0) break;
        a += kSegmentSize;
        if (InProtectedArea(a)) a = kHighFlash;
    }
    if (reportProgress) Progress(total, total, 2, 'X');
    if (result > 0) {
        LogMessage(hostLog, kLevelResult, kSource, "BSLEraseFlash successful: segment %X to %X (%ld s)", first,
                   end, WholeSeconds(start));
    } else {
        LogMessage(hostLog, kLevelFail, kSource, "BSLEraseFlash failed with error %d (%ld s)", result,
                   WholeSeconds(start));
    }
    return result;
}

// ---------------------------------------------------------------------------
// Connection

int QuarBSLHost::BSLConnect(const char* portName, int loaderBaud, bool progress, unsigned retryCount) {
    if (portName == nullptr || portName[0] == '\0') return -10;
    reportProgress = progress;
    retries = retryCount;

    int result = QSOpen(portName, 9600);
    if (result < 0) {
        LogMessage(hostLog, kLevelFail, kSource, "BSLConnect received error while opening serial port (%d)",
                   result);
        QSClose();  // a port held after a failed configuration is let go
        return result;
    }
    attached = true;
    Pause(1000);

    // Without a single pass nothing was heard from the loader.
    result = retries == 0 ? -22 : 1;
    char reply[kProbeArea];
    uint32_t elapsed = 0;
    for (uint32_t pass = 0; pass < retries; ++pass) {
        const int inv = BSLInvocation(loaderBaud);
        if (inv < 0) {
            result = inv;
            if (BSLCheck(portName, loaderBaud) != -80) break;
            result = 1;
        }
        const int g = BSLCommand('g', nullptr, 0, '\r', reply, &elapsed);
        if (g < 0) {
            result = g;
            Pause(kRetryPauseMs);
            continue;
        }
        if (Contains(reply, static_cast<unsigned>(g), "ERROR")) {
            result = -110;
            Pause(kRetryPauseMs);
            continue;
        }
        int version = 0;
        if (std::sscanf(reply, "+%d+", &version) == 1) {
            loaderVersion = version;
            result = version;
            break;
        }
    }

    if (result < 0) {
        BSLDisconnect();
        LogMessage(hostLog, kLevelFail, kSource, "BSLConnect failed to connect to device (error %d)", result);
    } else {
        LogMessage(hostLog, kLevelResult, kSource, "BSLConnect connected to device running QuarBSL version %d",
                   loaderVersion);
    }
    return result;
}

int QuarBSLHost::BSLDisconnect() {
    if (!attached) return 0;
    // On a borrowed port QSClose only lets go of it; the lender keeps it open.
    const int r = QSClose();
    attached = false;
    Pause(100);
    return r;
}

int QuarBSLHost::BSLHandOff(const BorrowedPort& port, bool progress, unsigned retryCount) {
    if (port.readBuffer == nullptr || port.portName == nullptr) {
        LogMessage(hostLog, kLevelFail, kSource, "BSLHandOff called with some NULL parameters");
        return -11;
    }
    if (attached) BSLDisconnect();  // a port of our own is closed, an earlier loan let go
    AdoptPort(port, 9600);
    reportProgress = progress;
    retries = retryCount == 0 ? 3 : retryCount;
    attached = true;
    return 1;
}

int QuarBSLHost::BSLHandBack() {
    if (IsBorrowed()) {
        // The lender gets its port back at the rate it was lent at.
        if (Baud() != 9600) QSHostBaud(9600);
        ReleasePort();
    } else if (attached) {
        QSClose();  // never lent: our own port is not left open behind us
    }
    attached = false;
    return 1;
}

int QuarBSLHost::BSLInvocation(int loaderBaud) {
    char reply[kProbeArea];
    char command[16];
    const int commandLen = std::snprintf(command, sizeof command, "boot %s\r", kStartToken);
    int result = 1;

    // Start phase: ask the application firmware to start its loader.
    bool phaseEnded = false;
    for (uint32_t attempt = 0; attempt < retries && !phaseEnded; ++attempt) {
        QSFlush(1);
        std::memset(reply, 0, sizeof reply);
        if (loaderBaud != 9600) QSHostBaud(9600);
        int r = WriteText(command, commandLen);
        if (r < 0) {
            result = r;
            phaseEnded = true;
            break;
        }
        Pause(750);
        const int n = ReadReply(reply, sizeof reply);
        if (n < 0) {
            result = n;
            phaseEnded = true;
            break;
        }
        const unsigned count = static_cast<unsigned>(n);
        if (Contains(reply, count, "ERROR")) {
            result = -110;
            Pause(kRetryPauseMs);
        } else if (Contains(reply, count, "QuarBSL MISSING")) {
            result = -112;
            phaseEnded = true;
        } else if (ContainsChar(reply, count, '?')) {
            result = -80;
            phaseEnded = true;
        } else if (count == 0) {
            result = -112;
            Pause(kRetryPauseMs);
        } else if (Contains(reply, count, "OK") || ContainsChar(reply, count, '$')) {
            result = 1;
            phaseEnded = true;
        } else {
            phaseEnded = true;  // keeps the result of the try before
        }
    }
    if (!phaseEnded && result > 0) result = -22;

    // Attach phase: the loader shows '$' and takes the connect command.
    unsigned attachTries = 0;
    if (phaseEnded && result > 0) {
        if (loaderBaud != 9600) QSHostBaud(loaderBaud);
        for (uint32_t attempt = 0; attempt < retries; ++attempt) {
            ++attachTries;
            int r = WriteText("\r", 1);
            if (r < 0) {
                result = r;
                break;
            }
            Pause(100);
            int n = ReadReply(reply, sizeof reply);
            if (n < 0) {
                result = n;
                break;
            }
            if (n == 0 || reply[0] != '$') {
                result = -112;
                continue;
            }
            QSFlush(1);
            r = WriteText("P", 1);
            if (r < 0) {
                result = r;
                break;
            }
            Pause(100);
            n = ReadReply(reply, sizeof reply);
            if (n < 0) {
                result = n;
                break;
            }
            if (ContainsChar(reply, static_cast<unsigned>(n), '#')) {
                result = 1;
                break;
            }
            result = -110;
            Pause(kRetryPauseMs);
        }
    }

    if (result > 0) {
        LogMessage(hostLog, kLevelResult, kSource, "BSLInvocation successful (%d tries)",
                   static_cast<int>(attachTries));
    } else if (result == -80) {
        LogMessage(hostLog, kLevelResult, kSource, "BSLInvocation found the QuarBSL already active");
        result = 1;
    } else {
        LogMessage(hostLog, kLevelFail, kSource, "BSLInvocation failed with error %d", result);
    }
    return result;
}

int QuarBSLHost::BSLAttach() {
    char reply[kProbeArea];
    int result = -22;
    unsigned tries = 0;
    for (uint32_t attempt = 0; attempt < retries; ++attempt) {
        ++tries;
        QSFlush(1);
        std::memset(reply, 0, sizeof reply);
        int r = WriteText("\r", 1);
        if (r < 0) {
            result = r;
            break;
        }
        Pause(200);
        int n = ReadReply(reply, sizeof reply);
        if (n < 0) {
            result = n;
            break;
        }
        if (Contains(reply, static_cast<unsigned>(n), "?\r")) {
            result = -80;
            break;
        }
        QSFlush(1);
        std::memset(reply, 0, sizeof reply);
        r = WriteText("P", 1);
        if (r < 0) {
            result = r;
            break;
        }
        Pause(175);
        n = ReadReply(reply, sizeof reply);
        if (n < 0) {
            result = n;
            break;
        }
        if (n > 0 && reply[0] == '#') {
            result = 1;
            break;
        }
        result = -110;
        Pause(kRetryPauseMs);
    }

    if (result > 0) {
        LogMessage(hostLog, kLevelResult, kSource, "BSLAttach successful (%d tries)", static_cast<int>(tries));
    } else if (result == -80) {
        LogMessage(hostLog, kLevelResult, kSource, "BSLAttach found the QuarBSL already active");
        result = 1;
    } else {
        LogMessage(hostLog, kLevelFail, kSource, "BSLAttach failed with error %d", result);
    }
    return result;
}

int QuarBSLHost::BSLCheck(const char* portName, int loaderBaud) {
    if (attached) {
        QSHostBaud(loaderBaud);
    } else {
        if (portName == nullptr || portName[0] == '\0') return -10;
        const int r = QSOpen(portName, loaderBaud);
        if (r < 0) {
            LogMessage(hostLog, kLevelFail, kSource, "BSLCheck received error while opening serial port (%d)", r);
            QSClose();
            return r;
        }
        attached = true;
    }

    Pause(1000);
    QSFlush(1);
    char reply[kProbeArea];
    std::memset(reply, 0, sizeof reply);
    const int w = WriteText("\r", 1);
    if (w < 0) return w;
    Pause(200);
    const int n = ReadReply(reply, sizeof reply);
    if (n < 0) return n;

    const unsigned count = static_cast<unsigned>(n);
    if (ContainsChar(reply, count, '?')) {
        LogMessage(hostLog, kLevelResult, kSource, "BSLCheck found the QuarBSL already active");
        return -80;
    }
    if (ContainsChar(reply, count, '$')) {
        LogMessage(hostLog, kLevelResult, kSource, "BSLCheck found the QuarBSL waiting for a connection");
        return -81;
    }
    LogMessage(hostLog, kLevelDetail, kSource, "BSLCheck didn't get a response from the QuarBSL");
    return -21;
}
