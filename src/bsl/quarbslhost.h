// Host side of the on-device bootstrap loader: framed loader commands, the
// erase / write / vector transfers, and reaching the loader on a port of our
// own or on a port borrowed from another QuarSerial object.
#pragma once

#include <cstdint>

#include "image/firmware_image.h"
#include "serial/quarserial.h"

class QuarLog;

// Progress call-out installed by the application. phase is 1 while an erase
// or write runs and 2 once at its end; letter is 'X' (erase) or 'W' (write).
// Returning false stops the transfer with -40.
using TransferProgressFn = bool (*)(void* context, unsigned total, unsigned done, unsigned phase,
                                    char letter);

class QuarBSLHost : public QuarSerial {
public:
    static constexpr unsigned kProtocolBufferSize = 544;  // frameBuffer, chunkBuffer
    static constexpr unsigned kMaxHexValues = 128;
    static constexpr unsigned kMaxTextPayload = 512;
    static constexpr unsigned kMinReplySize = 21;  // a reply buffer holds 20 bytes and NUL
    static constexpr unsigned kChunkChars = 512;   // one 'W' frame: 256 bytes as hex text
    static constexpr unsigned kProtectedStart = 0xFA00;
    static constexpr unsigned kProtectedEnd = 0xFFFF;  // inclusive
    static constexpr const char* kStartToken = "KRAW";

    explicit QuarBSLHost(QuarLog* log);
    ~QuarBSLHost();
    QuarBSLHost(const QuarBSLHost&) = delete;
    QuarBSLHost& operator=(const QuarBSLHost&) = delete;

    // Framed loader commands. Hex-field form: count values, each "%04X" (or
    // "%05X" with wideAddress). Text form: the payload copied unchanged; it
    // may be null only for 'g'. reply must hold at least kMinReplySize bytes.
    // Result: reply length when accepted, -1 refused, -10 missing argument,
    // -11 over a limit (or a frame that would not fit), -21 not attached or
    // nothing heard, or the serial error.
    int BSLCommand(char letter, const uint32_t* values, unsigned count, char awaited, char* reply,
                   uint32_t* elapsedMs, bool wideAddress);
    int BSLCommand(char letter, const char* payload, unsigned length, char awaited, char* reply,
                   uint32_t* elapsedMs);

    int BSLSendAddress(int address, bool wideAddress);
    int BSLSendFirmware(bool wideAddress);
    int BSLSendVectors();
    int BSLEraseINFO(uint32_t first, unsigned count, uint32_t step, bool wideAddress);
    int BSLEraseFlash(uint32_t first, uint32_t end, bool wideAddress);

    // Reaching the loader.
    int BSLConnect(const char* portName, int loaderBaud, bool progress, unsigned retryCount);
    int BSLDisconnect();
    int BSLHandOff(const BorrowedPort& port, bool progress, unsigned retryCount);
    int BSLHandBack();
    int BSLInvocation(int loaderBaud);
    int BSLAttach();
    int BSLCheck(const char* portName, int loaderBaud);

    // The image this host programs.
    int BSLLoadTIFile(const char* path) { return image.BSLLoadTIFile(path); }
    int BSLWriteTIFile(const char* path) { return image.BSLWriteTIFile(path); }
    FirmwareImage& Image() { return image; }
    const FirmwareImage& Image() const { return image; }

    void SetTransferProgress(TransferProgressFn fn, void* context) {
        progressFn = fn;
        progressContext = context;
    }

    int ConstructorError() const { return constructorError; }
    int32_t LoaderVersion() const { return loaderVersion; }
    bool Attached() const { return attached; }
    bool ReportProgress() const { return reportProgress; }
    uint32_t Retries() const { return retries; }
    // Milliseconds spent in the pauses the protocol prescribes (retry waits,
    // settle times) since construction; lets a caller tell the host's own
    // time from deliberate waiting.
    uint64_t PausedMs() const { return pausedMs; }

private:
    int SendFrame(char awaited, char* reply, uint32_t* elapsedMs, bool textForm, unsigned frameLen,
                  uint32_t tick);
    int FinishFrame(unsigned pos, int sum);
    int SendSegment(uint32_t address, bool wideAddress);
    int FlushChunk(uint32_t address, unsigned n, bool wideAddress);
    bool Progress(unsigned total, unsigned done, unsigned phase, char letter);
    int ReadReply(char* reply, unsigned capacity);
    int WriteText(const char* text, int n);
    void Pause(unsigned ms);

    FirmwareImage image;
    int constructorError;
    int32_t loaderVersion;
    QuarLog* hostLog;
    bool attached;
    bool reportProgress;
    uint32_t retries;
    char* frameBuffer;
    char* chunkBuffer;
    TransferProgressFn progressFn;
    void* progressContext;
    uint64_t pausedMs;
};
