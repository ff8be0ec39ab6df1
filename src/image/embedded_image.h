// The firmware image carried by this build. The definitions are generated at
// build time from the TI-Text file named by QUARBSL_FIRMWARE_FILE.
#pragma once

#include <cstdint>

#include "image/firmware_image.h"

extern const char embeddedSourceName[];   // file name the image came from
extern const char embeddedLabel[];
extern const uint8_t embeddedDeviceType;
extern const int embeddedVersion;
extern const unsigned embeddedLength;     // characters in embeddedText
extern const long embeddedChecksum;       // ImageTextChecksum of embeddedText
extern const uint32_t embeddedVectors[kVectorCount];
extern const char embeddedText[];
