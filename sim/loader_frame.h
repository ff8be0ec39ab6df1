// The loader's view of its serial command frames: a letter, upper-case hex
// payload, '.', a four-digit hex checksum and a carriage return. The
// checksum is 46 (the '.') plus the letter and every payload byte taken as
// signed 8-bit values, modulo 65535.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qsim {

// Checksum over the letter and the payload (the '.' is counted in).
unsigned LoaderChecksum(char letter, std::string_view payload);

// A whole frame for `letter` and `payload`, ending in a carriage return.
std::string MakeLoaderFrame(char letter, std::string_view payload);

struct LoaderFrame {
  char letter = 0;
  std::string payload;
};

enum class FrameError {
  None,
  Empty,        // nothing before the carriage return
  NoSeparator,  // no '.' followed by four characters
  BadChecksum,  // checksum digits not hex, or not matching
  BadPayload,   // payload is not upper-case hex
};

// Parses the bytes of one frame without its carriage return.
FrameError ParseLoaderFrame(std::string_view line, LoaderFrame& out);

// Value of a string of upper-case hex digits; false for anything else.
bool ParseUpperHex(std::string_view digits, uint32_t& value);

}  // namespace qsim
