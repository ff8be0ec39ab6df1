#include "loader_frame.h"

#include <cstdio>

namespace qsim {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

unsigned LoaderChecksum(char letter, std::string_view payload) {
  long sum = 46 + static_cast<signed char>(letter);
  for (char c : payload) sum += static_cast<signed char>(c);
  long m = sum % 65535;
  if (m < 0) m += 65535;
  return static_cast<unsigned>(m);
}

std::string MakeLoaderFrame(char letter, std::string_view payload) {
  char tail[8];
  std::snprintf(tail, sizeof tail, ".%04X\r", LoaderChecksum(letter, payload));
  std::string f(1, letter);
  f.append(payload);
  f.append(tail);
  return f;
}

bool ParseUpperHex(std::string_view digits, uint32_t& value) {
  if (digits.empty() || digits.size() > 8) return false;
  uint32_t v = 0;
  for (char c : digits) {
    int d = HexDigit(c);
    if (d < 0) return false;
    v = v * 16 + static_cast<uint32_t>(d);
  }
  value = v;
  return true;
}

FrameError ParseLoaderFrame(std::string_view line, LoaderFrame& out) {
  if (line.empty()) return FrameError::Empty;
  // the separator is the fifth character from the end
  if (line.size() < 6 || line[line.size() - 5] != '.') return FrameError::NoSeparator;
  std::string_view payload = line.substr(1, line.size() - 6);
  uint32_t sum = 0;
  if (!ParseUpperHex(line.substr(line.size() - 4), sum)) return FrameError::BadChecksum;
  if (sum != LoaderChecksum(line[0], payload)) return FrameError::BadChecksum;
  for (char c : payload)
    if (HexDigit(c) < 0) return FrameError::BadPayload;
  out.letter = line[0];
  out.payload.assign(payload);
  return FrameError::None;
}

}  // namespace qsim
