#include "flash.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace qsim {

FlashLayout SensorFlashLayout(int type) {
  FlashLayout l;  // 0x8000-0xF9FF, information 0x1000, 3 x 64
  switch (type) {
    case 92:
    case 93:
      l.wideAddress = true;
      l.mainStart = 0x8000;
      l.mainEnd = 0x88000;
      l.infoStart = 0x1800;
      l.infoSegments = 4;
      l.infoSegmentSize = 128;
      break;
    case 103:
    case 104:
      l.wideAddress = true;
      l.mainStart = 0x4400;
      l.mainEnd = 0x24400;
      l.infoStart = 0x1800;
      l.infoSegments = 4;
      l.infoSegmentSize = 128;
      break;
    case 124:
    case 125:
    case 126:
    case 127:
      l.mainStart = 0x1100;
      l.infoStart = 0x1000;
      l.infoSegments = 2;
      l.infoSegmentSize = 128;
      break;
    default:
      break;
  }
  return l;
}

namespace {

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

bool ParseTiText(std::string_view text, TiImage& image, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\r' || text[i] == '\n' || text[i] == '\t')) ++i;
  if (i >= text.size() || text[i] != '@') return fail("does not begin with '@'");
  bool haveAddress = false, sawQ = false;
  uint32_t address = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == '@') {
      ++i;
      uint32_t a = 0;
      int digits = 0;
      while (i < text.size() && Hex(text[i]) >= 0) {
        if (++digits > 6) return fail("address too long");
        a = a * 16 + static_cast<uint32_t>(Hex(text[i]));
        ++i;
      }
      if (digits == 0) return fail("record without address");
      if (a >= Flash::kSpace) return fail("address beyond 20 bits");
      address = a;
      haveAddress = true;
      continue;
    }
    if (c == 'q' || c == 'Q') {
      sawQ = true;
      break;
    }
    if (Hex(c) >= 0) {
      if (i + 1 >= text.size() || Hex(text[i + 1]) < 0) return fail("incomplete byte");
      if (!haveAddress) return fail("data before any address");
      if (address >= Flash::kSpace) return fail("data beyond 20 bits");
      uint8_t b = static_cast<uint8_t>(Hex(c) * 16 + Hex(text[i + 1]));
      bool loaderArea = address >= Flash::kLoaderStart && address < Flash::kLastSegment;
      if (!loaderArea) {
        if (image.bytes[address] < 0) ++image.count;
        image.bytes[address] = b;
      }
      ++address;
      i += 2;
      continue;
    }
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      ++i;
      continue;
    }
    return fail(std::string("unexpected character '") + c + "'");
  }
  if (!sawQ) return fail("no final 'q'");
  return true;
}

bool LoadTiTextFile(const std::string& path, TiImage& image, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot open " + path;
    return false;
  }
  std::stringstream ss;
  ss << in.rdbuf();
  std::string text = ss.str();
  return ParseTiText(text, image, error);
}

Flash::Flash(FlashLayout layout)
    : layout_(layout),
      data_(kSpace, 0xFF),
      intended_(kSpace, 0xFF),
      written_(kSpace, false) {
  uint32_t top = (layout_.mainEnd + kMainSegment - 1) / kMainSegment * kMainSegment;
  if (top < 0x10000) top = 0x10000;
  if (top > kSpace) top = kSpace;
  mainTop_ = top;
  // the loader's own code; its content is ours to choose
  for (uint32_t a = kLoaderStart; a < kLastSegment; ++a) data_[a] = static_cast<uint8_t>((a * 7 + 0x31) & 0xFF);
}

Flash::Region Flash::RegionOf(uint32_t a) const {
  uint32_t infoEnd = layout_.infoStart + layout_.infoSegments * layout_.infoSegmentSize;
  if (a >= layout_.infoStart && a < infoEnd) return Region::Info;
  if (a >= kLoaderStart && a < kLastSegment) return Region::Loader;
  if (a >= kVectors && a < 0x10000) return Region::Vectors;
  if (a >= kLastSegment && a < 0x10000) return Region::LastSegment;
  if (a >= layout_.mainStart && a < mainTop_) return Region::Main;
  return Region::None;
}

void Flash::Error(std::string text) {
  ++errorCount_;
  if (errors_.size() < 200) errors_.push_back(std::move(text));
}

void Flash::ClearErrors() {
  errors_.clear();
  errorCount_ = 0;
}

bool Flash::EraseSegment(uint32_t address, uint32_t* start, uint32_t* length) {
  uint32_t s = 0, n = 0;
  switch (RegionOf(address)) {
    case Region::Info:
      s = layout_.infoStart + (address - layout_.infoStart) / layout_.infoSegmentSize * layout_.infoSegmentSize;
      n = layout_.infoSegmentSize;
      infoEraseSeq_ = ++seq_;
      break;
    case Region::Main: {
      s = address & ~(kMainSegment - 1);
      uint32_t e = s + kMainSegment;
      if (s < layout_.mainStart) s = layout_.mainStart;  // a first segment shared with other memory
      n = e - s;
      ++generation_;
      ++seq_;
      break;
    }
    default:
      return false;
  }
  for (uint32_t a = s; a < s + n; ++a) {
    data_[a] = 0xFF;
    intended_[a] = 0xFF;
    written_[a] = false;
  }
  if (start) *start = s;
  if (length) *length = n;
  return true;
}

void Flash::EraseLastSegment() {
  for (uint32_t a = kLastSegment; a < 0x10000; ++a) {
    data_[a] = 0xFF;
    intended_[a] = 0xFF;
    written_[a] = false;
  }
  ++generation_;
  ++seq_;
}

void Flash::EraseAll() {
  for (uint32_t a = 0; a < kSpace; ++a) {
    Region r = RegionOf(a);
    if (r == Region::None || r == Region::Loader) continue;
    data_[a] = 0xFF;
    intended_[a] = 0xFF;
    written_[a] = false;
  }
  ++generation_;
  infoEraseSeq_ = ++seq_;
}

bool Flash::Write(uint32_t address, const uint8_t* data, size_t n) {
  if (n == 0) return true;
  char where[128];
  for (size_t i = 0; i < n; ++i) {
    uint32_t a = address + static_cast<uint32_t>(i);
    Region r = a < kSpace ? RegionOf(a) : Region::None;
    if (r == Region::None || r == Region::Loader || r == Region::Vectors) {
      std::snprintf(where, sizeof where, "write refused at 0x%05X (%zu bytes from 0x%05X)", a, n, address);
      Error(where);
      return false;
    }
  }
  size_t overwritten = 0;
  uint32_t firstBad = 0;
  bool program = false;
  for (size_t i = 0; i < n; ++i) {
    uint32_t a = address + static_cast<uint32_t>(i);
    uint8_t old = data_[a];
    if ((old & data[i]) != data[i]) {
      if (overwritten++ == 0) firstBad = a;
    }
    data_[a] = old & data[i];
    intended_[a] = data[i];
    written_[a] = true;
    if (RegionOf(a) != Region::Info) program = true;
  }
  ++seq_;
  if (program) lastProgramSeq_ = seq_;
  if (overwritten) {
    std::snprintf(where, sizeof where, "write onto unerased flash at 0x%05X (%zu bytes)", firstBad, overwritten);
    Error(where);
  }
  return true;
}

bool Flash::WriteVectors(const uint16_t vectors[16]) {
  size_t overwritten = 0;
  for (uint32_t i = 0; i < 32; ++i) {
    uint32_t a = kVectors + i;
    uint8_t b = static_cast<uint8_t>((i & 1) ? vectors[i / 2] >> 8 : vectors[i / 2] & 0xFF);
    if ((data_[a] & b) != b) ++overwritten;
    data_[a] &= b;
    intended_[a] = b;
    written_[a] = true;
  }
  vectorSeq_ = ++seq_;
  if (overwritten) {
    char where[128];
    std::snprintf(where, sizeof where, "vectors written onto unerased flash (%zu bytes)", overwritten);
    Error(where);
  }
  return true;
}

void Flash::Preload(uint32_t address, const uint8_t* data, size_t n) {
  for (size_t i = 0; i < n && address + i < kSpace; ++i) {
    uint32_t a = address + static_cast<uint32_t>(i);
    data_[a] = data[i];
    intended_[a] = data[i];
    written_[a] = true;
  }
  lastProgramSeq_ = ++seq_;
}

void Flash::PreloadOldFirmware(uint32_t seed) {
  uint32_t x = seed ? seed : 1;
  auto next = [&x] {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return static_cast<uint8_t>(x);
  };
  std::vector<uint8_t> bytes;
  uint32_t end = layout_.mainStart < kLoaderStart ? kLoaderStart : layout_.mainStart + 0x4000;
  for (uint32_t a = layout_.mainStart; a < end; ++a) bytes.push_back(next());
  Preload(layout_.mainStart, bytes.data(), bytes.size());
  bytes.clear();
  for (uint32_t a = kLastSegment; a < kVectors; ++a) bytes.push_back(next());
  Preload(kLastSegment, bytes.data(), bytes.size());
  bytes.clear();
  for (uint32_t i = 0; i < layout_.infoSegments * layout_.infoSegmentSize; ++i) bytes.push_back(next());
  Preload(layout_.infoStart, bytes.data(), bytes.size());
  uint16_t v[16];
  for (uint16_t& w : v) w = static_cast<uint16_t>(layout_.mainStart + 0x10);
  WriteVectors(v);
}

bool Flash::SelfCheck(std::string* why) const {
  char text[96];
  auto fail = [&](const char* s) {
    if (why) *why = s;
    return false;
  };
  for (uint32_t a = 0; a < kSpace; ++a) {
    if (written_[a] && data_[a] != intended_[a]) {
      std::snprintf(text, sizeof text, "byte at 0x%05X is %02X, written as %02X", a, data_[a], intended_[a]);
      return fail(text);
    }
  }
  uint16_t reset = Word(0xFFFE);
  if (!written_[0xFFFE] || !written_[0xFFFF] || reset == 0xFFFF) return fail("no reset vector");
  if (vectorSeq_ < lastProgramSeq_) return fail("vectors older than the program");
  Region r = RegionOf(reset);
  if ((r != Region::Main && r != Region::LastSegment) || !written_[reset]) {
    std::snprintf(text, sizeof text, "reset vector 0x%04X points at no program", reset);
    return fail(text);
  }
  return true;
}

std::string Flash::DumpTiText() const {
  std::string out;
  char buf[16];
  uint32_t a = 0;
  while (a < kSpace) {
    Region r = RegionOf(a);
    if (r == Region::None || r == Region::Loader || data_[a] == 0xFF) {
      ++a;
      continue;
    }
    // a record runs on across erased stretches shorter than 16 bytes
    uint32_t end = a;
    uint32_t probe = a;
    while (probe < kSpace) {
      Region pr = RegionOf(probe);
      if (pr == Region::None || pr == Region::Loader) break;
      if (data_[probe] != 0xFF) {
        end = probe + 1;
      } else if (probe - end >= 16) {
        break;
      }
      ++probe;
    }
    std::snprintf(buf, sizeof buf, a < 0x10000 ? "@%04X\n" : "@%05X\n", a);
    out += buf;
    for (uint32_t i = a; i < end; ++i) {
      std::snprintf(buf, sizeof buf, "%02X", data_[i]);
      out += buf;
      out += ((i - a) % 16 == 15 || i + 1 == end) ? '\n' : ' ';
    }
    a = end;
  }
  out += "q\n";
  return out;
}

size_t Flash::Compare(const TiImage& image, std::string* report) const {
  size_t differ = 0;
  uint32_t first = 0;
  int firstFlash = 0, firstImage = 0;
  for (uint32_t a = 0; a < kSpace; ++a) {
    Region r = RegionOf(a);
    int want = image.bytes[a];
    if (r == Region::Loader) continue;
    if (r == Region::None) {
      if (want >= 0) {
        if (differ++ == 0) {
          first = a;
          firstFlash = -1;
          firstImage = want;
        }
      }
      continue;
    }
    int expect = want >= 0 ? want : 0xFF;
    if (data_[a] != expect) {
      if (differ++ == 0) {
        first = a;
        firstFlash = data_[a];
        firstImage = expect;
      }
    }
  }
  if (report) {
    char buf[160];
    if (differ == 0) {
      std::snprintf(buf, sizeof buf, "%zu image bytes in place, all other flash erased", image.count);
    } else if (firstFlash < 0) {
      std::snprintf(buf, sizeof buf, "%zu bytes differ, first at 0x%05X (outside flash, image %02X)", differ, first,
                    firstImage);
    } else {
      std::snprintf(buf, sizeof buf, "%zu bytes differ, first at 0x%05X (flash %02X, image %02X)", differ, first,
                    firstFlash, firstImage);
    }
    *report = buf;
  }
  return differ;
}

}  // namespace qsim
