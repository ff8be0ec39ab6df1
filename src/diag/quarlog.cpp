#include "diag/quarlog.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <new>
#include <unistd.h>

namespace {

const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool ValidLevel(unsigned level) {
    return level == 0 || level == 1 || level == 10 || level == 30 || level == 40;
}

char* CopyText(const char* text) {
    size_t n = std::strlen(text);
    char* copy = new (std::nothrow) char[n + 1];
    if (copy) std::memcpy(copy, text, n + 1);
    return copy;
}

// Writes all of data with O_APPEND in one call where the kernel allows it;
// a short write (disk full, signal) is finished with further calls.
long WriteAll(int fd, const char* data, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t w = ::write(fd, data + done, n - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (w == 0) break;
        done += static_cast<size_t>(w);
    }
    return static_cast<long>(done);
}

}  // namespace

int QuarLogTimeText(const struct tm& t, char* dest, size_t size) {
    if (!dest || size == 0) return 0;
    dest[0] = '\0';
    if (t.tm_mon < 0 || t.tm_mon > 11) return 0;
    int n = std::snprintf(dest, size, "%d %s %d %d:%02d:%02d", t.tm_mday, kMonths[t.tm_mon],
                          t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        dest[0] = '\0';
        return 0;
    }
    return n;
}

QuarLog::QuarLog(const char* name, unsigned lvl, bool startFresh)
    : fileName(CopyText(name ? name : "error.txt")), level(ValidLevel(lvl) ? lvl : 1) {
    if (startFresh && fileName) std::remove(fileName);
}

QuarLog::~QuarLog() { delete[] fileName; }

bool QuarLog::SetLevel(unsigned lvl) {
    if (!ValidLevel(lvl)) return false;
    level = lvl;
    return true;
}

int QuarLog::Write(unsigned msgLevel, const char* source, const char* format, va_list args) {
    if (msgLevel > level || !fileName || !format) return 0;

    time_t now = std::time(nullptr);
    struct tm local {};
    char timeText[48];
    if (!localtime_r(&now, &local) || QuarLogTimeText(local, timeText, sizeof timeText) == 0)
        std::strcpy(timeText, "?");

    // The whole line is formatted first and written with one call, so lines
    // from two writers never mix. Long messages get a buffer of their own.
    char stackLine[1024];
    char* line = stackLine;
    std::unique_ptr<char[]> heapLine;

    int head = std::snprintf(stackLine, sizeof stackLine, "%s - %s: ", timeText, source ? source : "");
    if (head < 0) return 0;
    va_list probe;
    va_copy(probe, args);
    int body = std::vsnprintf(nullptr, 0, format, probe);
    va_end(probe);
    if (body < 0) return 0;

    size_t total = static_cast<size_t>(head) + static_cast<size_t>(body) + 2;
    if (total + 1 > sizeof stackLine) {
        heapLine.reset(new (std::nothrow) char[total + 1]);
        if (!heapLine) return 0;
        line = heapLine.get();
        std::snprintf(line, total + 1, "%s - %s: ", timeText, source ? source : "");
    }
    std::vsnprintf(line + head, static_cast<size_t>(body) + 1, format, args);
    line[total - 2] = '\r';
    line[total - 1] = '\n';
    line[total] = '\0';

    int fd = ::open(fileName, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return 0;
    long written = WriteAll(fd, line, total);
    ::close(fd);
    return static_cast<int>(written);
}

int LogMessage(QuarLog* log, unsigned msgLevel, const char* source, const char* format, ...) {
    if (!log) return 0;
    va_list args;
    va_start(args, format);
    int n = log->Write(msgLevel, source, format, args);
    va_end(args);
    return n;
}

long QuarLog::FileSize() const {
    if (!fileName) return -EINVAL;
    FILE* f = std::fopen(fileName, "rb");
    if (!f) return errno ? -errno : -1;
    long size = -1;
    int err = 0;
    if (std::fflush(f) != 0 || std::fseek(f, 0, SEEK_END) != 0 || (size = std::ftell(f)) < 0)
        err = errno ? errno : EIO;
    std::fclose(f);
    return err ? -err : size;
}

bool QuarLog::KeepTail(long maxBytes) {
    if (!fileName || maxBytes < 0) return false;
    FILE* in = std::fopen(fileName, "rb");
    if (!in) return false;

    long size = -1;
    if (std::fseek(in, 0, SEEK_END) != 0 || (size = std::ftell(in)) < 0) {
        std::fclose(in);
        return false;
    }
    // A file that already fits is left alone.
    if (size <= maxBytes) {
        std::fclose(in);
        return true;
    }

    // Start the kept part after the first line feed at or behind size - N.
    if (std::fseek(in, size - maxBytes, SEEK_SET) != 0) {
        std::fclose(in);
        return false;
    }
    for (int c = std::fgetc(in); c != EOF && c != '\n'; c = std::fgetc(in)) {
    }

    size_t nameLen = std::strlen(fileName);
    std::unique_ptr<char[]> tempName(new (std::nothrow) char[nameLen + 6]);
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[maxBytes > 0 ? maxBytes : 1]);
    if (!tempName || !buffer) {
        std::fclose(in);
        return false;
    }
    std::memcpy(tempName.get(), fileName, nameLen);
    std::memcpy(tempName.get() + nameLen, ".temp", 6);

    // A temporary file left by an interrupted earlier call is replaced, not
    // appended to, so its old text never lands in the log.
    FILE* out = std::fopen(tempName.get(), "wb");
    if (!out) {
        std::fclose(in);
        return false;
    }

    size_t got = std::fread(buffer.get(), 1, static_cast<size_t>(maxBytes), in);
    bool ok = !std::ferror(in) && std::fwrite(buffer.get(), 1, got, out) == got;
    std::fclose(in);
    if (std::fclose(out) != 0) ok = false;
    if (!ok || std::rename(tempName.get(), fileName) != 0) {
        std::remove(tempName.get());
        return false;
    }
    return true;
}
