// The program's one diagnostic log: a plain text file of time-stamped lines,
// opened, appended and closed for every message so that each line is on disk
// when the call returns.
#pragma once

#include <cstdarg>

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

// Appends "<time> - <source>: <message>\r\n" when msgLevel <= the log's level.
// Returns the number of characters written, or 0 when dropped, when the file
// cannot be opened or when log is null.
int LogMessage(QuarLog* log, unsigned msgLevel, const char* source, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
