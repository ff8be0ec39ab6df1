// Small readers for the instruments' answer texts. None of them reads past
// the terminating NUL of its input or writes more than its stated limit.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kalen {

// p advanced by up to n characters, never past the end of the text.
const char* Skip(const char* p, size_t n);
// p behind its leading spaces, tabs, carriage returns and line feeds.
const char* SkipWhite(const char* p);
// The text behind the first carriage return, or p when there is none.
const char* AfterFirstCR(const char* p);
// One word (non-white characters) after leading white space, at most max
// characters, into dest (max + 1 bytes, the rest zero-filled). False when
// there is no word.
bool ReadWord(const char* p, char* dest, size_t max);
// Characters up to the first carriage return or the end, at most max, into
// dest (max + 1 bytes, the rest zero-filled); returns the number copied.
size_t CopyLine(const char* p, char* dest, size_t max);
// Numbers after leading white space; false when none is there.
bool ReadLong(const char* p, long* value);
bool ReadUnsigned(const char* p, unsigned long long* value, const char** end = nullptr);
bool ReadDouble(const char* p, double* value);
bool ReadHex(const char* p, unsigned long* value);
// Up to max decimal numbers separated by white space; returns the count.
int ReadLongs(const char* p, long* values, int max);

}  // namespace kalen
