// The program's one diagnostic log: a plain text file of time-stamped lines,
// opened, appended and closed for every message so that each line is on disk
// when the call returns.
#pragma once

#include <cstdarg>
#include <cstddef>

struct tm;

class QuarLog {
public:
    // A null file name means "error.txt" in the current folder. A level other
    // than 0, 1, 10, 30 or 40 becomes 1. startFresh deletes an existing file.
    QuarLog(const char* fileName, unsigned level, bool startFresh);
    ~QuarLog();
    QuarLog(const QuarLog&) = delete;
    QuarLog& operator=(const QuarLog&) = delete;

    // Accepts exactly 0, 1, 10, 30 and 40; anything else returns false and
    // keeps the current level.
    bool SetLevel(unsigned level);
    unsigned Level() const { return level; }
    const char* FileName() const { return fileName; }

    // Size of the file in bytes, or minus errno when it cannot be measured.
    long FileSize() const;
    // Shortens the file to at most its last maxBytes bytes, from a line start.
    bool KeepTail(long maxBytes);

    // Formats and appends one line; used by LogMessage.
    int Write(unsigned msgLevel, const char* source, const char* format, va_list args);

private:
    char* fileName;
    unsigned level;
};

// The time text that starts every line, "%d %s %d %d:%02d:%02d" with the
// English month abbreviation whatever the locale ("5 Jan 2020 7:03:09").
// Returns the length written (always NUL-terminated), or 0 when dest is too
// small or the fields are out of range.
int QuarLogTimeText(const struct tm& t, char* dest, size_t size);

// Appends "<time> - <source>: <message>\r\n" when msgLevel <= the log's level.
// Returns the number of characters written, or 0 when dropped, when the file
// cannot be opened or when log is null.
int LogMessage(QuarLog* log, unsigned msgLevel, const char* source, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
