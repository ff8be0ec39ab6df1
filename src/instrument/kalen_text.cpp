#include "instrument/kalen_text.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kalen {

namespace {
bool IsWhite(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
}  // namespace

const char* Skip(const char* p, size_t n) {
    while (n > 0 && *p) {
        ++p;
        --n;
    }
    return p;
}

const char* SkipWhite(const char* p) {
    while (IsWhite(*p)) ++p;
    return p;
}

const char* AfterFirstCR(const char* p) {
    const char* cr = strchr(p, '\r');
    return cr ? cr + 1 : p;
}

bool ReadWord(const char* p, char* dest, size_t max) {
    memset(dest, 0, max + 1);
    p = SkipWhite(p);
    size_t n = 0;
    while (n < max && p[n] && !IsWhite(p[n])) {
        dest[n] = p[n];
        ++n;
    }
    dest[n] = 0;
    return n > 0;
}

size_t CopyLine(const char* p, char* dest, size_t max) {
    memset(dest, 0, max + 1);
    size_t n = 0;
    while (n < max && p[n] && p[n] != '\r') {
        dest[n] = p[n];
        ++n;
    }
    dest[n] = 0;
    return n;
}

bool ReadLong(const char* p, long* value) {
    p = SkipWhite(p);
    if (!(isdigit((unsigned char)p[0]) ||
          ((p[0] == '-' || p[0] == '+') && isdigit((unsigned char)p[1]))))
        return false;
    errno = 0;
    long v = strtol(p, nullptr, 10);
    if (errno == ERANGE) return false;
    *value = v;
    return true;
}

bool ReadUnsigned(const char* p, unsigned long long* value, const char** end) {
    p = SkipWhite(p);
    if (!isdigit((unsigned char)p[0])) return false;
    char* stop = nullptr;
    errno = 0;
    unsigned long long v = strtoull(p, &stop, 10);
    if (errno == ERANGE) v = ~0ull;
    *value = v;
    if (end) *end = stop;
    return true;
}

bool ReadDouble(const char* p, double* value) {
    p = SkipWhite(p);
    char* stop = nullptr;
    double v = strtod(p, &stop);
    if (stop == p) return false;
    // Only plain decimal numbers: no "inf", "nan" or hexadecimal forms.
    for (const char* q = p; q < stop; ++q)
        if (!(isdigit((unsigned char)*q) || strchr("+-.eE", *q))) return false;
    *value = v;
    return true;
}

bool ReadHex(const char* p, unsigned long* value) {
    p = SkipWhite(p);
    if (!isxdigit((unsigned char)p[0])) return false;
    errno = 0;
    unsigned long v = strtoul(p, nullptr, 16);
    if (errno == ERANGE) return false;
    *value = v;
    return true;
}

int ReadLongs(const char* p, long* values, int max) {
    int count = 0;
    while (count < max) {
        p = SkipWhite(p);
        if (!(isdigit((unsigned char)p[0]) ||
              (p[0] == '-' && isdigit((unsigned char)p[1]))))
            break;
        char* stop = nullptr;
        errno = 0;
        long v = strtol(p, &stop, 10);
        if (errno == ERANGE) v = (p[0] == '-') ? -1 : 0x7fffffffL;
        values[count++] = v;
        p = stop;
    }
    return count;
}

}  // namespace kalen
