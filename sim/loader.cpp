#include "loader.h"

#include <cstdio>

#include "sim/loader_frame.h"

namespace qsim {

namespace {

// The longest frame: letter, 640 payload characters, '.', four digits.
constexpr size_t kMaxFrame = 1 + 640 + 1 + 4;
// A partial frame older than this is dropped.
constexpr uint64_t kStaleMs = 500;

}  // namespace

Loader::Loader(FlashLayout layout, int version) : flash_(layout), version_(version) {}

void Loader::Start() {
  state_ = State::Waiting;
  line_.clear();
  overflow_ = false;
  Note("waiting for a connection");
}

void Loader::StartConnected() {
  state_ = State::Connected;
  line_.clear();
  overflow_ = false;
  lastSegmentErased_ = false;
  vectorsWritten_ = false;
  Note("connected");
}

void Loader::Stop() {
  if (state_ == State::Off) return;
  state_ = State::Off;
  line_.clear();
  Note("application started");
}

void Loader::LinkClosed() {
  if (state_ == State::Waiting) {
    Stop();
  } else if (state_ == State::Connected && vectorsWritten_) {
    Stop();
  } else if (state_ == State::Connected) {
    Note("left without vectors; still connected");
  }
}

void Loader::Tick() {
  if (!line_.empty() && Now() - lastByteMs_ > kStaleMs) {
    line_.clear();
    overflow_ = false;
  }
}

void Loader::Reply(const char* text) { Emit(text); }

void Loader::Receive(const char* data, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    char c = data[i];
    if (!line_.empty() && Now() - lastByteMs_ > kStaleMs) {
      line_.clear();
      overflow_ = false;
    }
    lastByteMs_ = Now();
    if (state_ == State::Off) return;
    if (state_ == State::Waiting) {
      if (c == '\r') {
        if (!Faults().Silent("loader.cr")) Reply("$\r");
      } else if (c == 'P') {
        if (!Faults().Silent("loader.P")) {
          StartConnected();
          Reply("#\r");
        }
      }
      continue;
    }
    // connected
    if (line_.empty() && !overflow_) {
      if (c == '\r') {
        if (!Faults().Silent("loader.cr")) Reply("?\r");
        continue;
      }
      if (c == 'P') {
        if (!Faults().Silent("loader.P")) Reply("#\r");
        continue;
      }
      if (c == '\n') continue;
    }
    if (c == '\r') {
      std::string line;
      line.swap(line_);
      if (overflow_) {
        overflow_ = false;
        Note("frame too long: refused");
        Reply("-\r");
      } else {
        Frame(line);
      }
      continue;
    }
    if (line_.size() >= kMaxFrame) {
      overflow_ = true;
      line_.clear();
    }
    if (!overflow_) line_.push_back(c);
  }
}

void Loader::Frame(const std::string& line) {
  LoaderFrame f;
  FrameError err = ParseLoaderFrame(line, f);
  if (err != FrameError::None) {
    const char* why = err == FrameError::BadChecksum ? "bad checksum"
                      : err == FrameError::BadPayload ? "payload not upper-case hex"
                                                      : "no checksum";
    Note(std::string("refused frame '") + line.substr(0, 12) + "': " + why);
    Reply("-\r");
    return;
  }
  std::string step = std::string("bsl.") + f.letter;
  if (Faults().Silent(step)) {
    Note(std::string("silent at ") + f.letter);
    return;
  }
  if (Faults().RefuseFrame()) {
    Note(std::string("refused ") + f.letter + " (fault)");
    Reply("-\r");
    return;
  }
  char buf[96];
  uint32_t value = 0;
  switch (f.letter) {
    case 'g':
      if (!f.payload.empty()) break;
      std::snprintf(buf, sizeof buf, "+%d+\r", version_);
      Reply(buf);
      return;
    case '@':
      if ((f.payload.size() != 4 && f.payload.size() != 5) || !ParseUpperHex(f.payload, value)) break;
      address_ = value;
      Reply("+\r");
      return;
    case 'X': {
      if ((f.payload.size() != 4 && f.payload.size() != 5) || !ParseUpperHex(f.payload, value)) break;
      uint32_t start = 0, length = 0;
      if (!flash_.EraseSegment(value, &start, &length)) {
        std::snprintf(buf, sizeof buf, "erase refused at 0x%05X", value);
        Note(buf);
        Reply("-\r");
        return;
      }
      if (flash_.RegionOf(value) == Flash::Region::Main && !lastSegmentErased_) {
        flash_.EraseLastSegment();
        lastSegmentErased_ = true;
        vectorsWritten_ = false;
        Note("erased the last segment 0xFE00");
      }
      std::snprintf(buf, sizeof buf, "X %05X erased %u bytes", start, length);
      Note(buf);
      Reply("+\r");
      return;
    }
    case 'W': {
      if (f.payload.empty() || f.payload.size() > 512 || f.payload.size() % 4 != 0) break;
      uint8_t bytes[256];
      size_t n = 0;
      for (size_t i = 0; i < f.payload.size(); i += 4) {
        uint32_t word = 0;
        ParseUpperHex(std::string_view(f.payload).substr(i, 4), word);
        bytes[n++] = static_cast<uint8_t>(word & 0xFF);
        bytes[n++] = static_cast<uint8_t>(word >> 8);
      }
      if (!flash_.Write(address_, bytes, n)) {
        std::snprintf(buf, sizeof buf, "W %05X refused (%zu bytes)", address_, n);
        Note(buf);
        Reply("-\r");
        return;
      }
      std::snprintf(buf, sizeof buf, "W %05X %zu bytes", address_, n);
      Note(buf);
      address_ += static_cast<uint32_t>(n);
      Reply("+\r");
      return;
    }
    case 'V': {
      if (f.payload.size() != 64) break;
      uint16_t v[16];
      for (int i = 0; i < 16; ++i) {
        uint32_t word = 0;
        ParseUpperHex(std::string_view(f.payload).substr(static_cast<size_t>(i) * 4, 4), word);
        v[i] = static_cast<uint16_t>(word);
      }
      flash_.WriteVectors(v);
      vectorsWritten_ = true;
      std::snprintf(buf, sizeof buf, "V reset vector %04X", v[15]);
      Note(buf);
      Reply("+\r");
      return;
    }
    default:
      break;
  }
  Note(std::string("refused ") + f.letter + " frame");
  Reply("-\r");
}

}  // namespace qsim
