// Reading TI-Text firmware files into image text, shared by the firmware
// image and the build's embedding tool so both derive the same image.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/firmware_image.h"

struct TITextFile {
    char* text = nullptr;        // new[]-allocated image text, owned by the caller on success
    std::size_t length = 0;      // characters in text
    uint32_t vectors[kVectorCount] = {};
    int openErrno = 0;           // set when the file could not be opened or read as a file
    bool quiet = false;          // -100 for a missing leading '@' or a missing 'q'
    bool tooLarge = false;       // -100 because the file exceeds kMaxTITextFileSize
};

// 1 success; -100 not a valid TI-Text file; -60 out of memory; minus errno
// when the file cannot be opened (openErrno tells that case apart).
int ReadTITextFile(const char* path, TITextFile* out);
