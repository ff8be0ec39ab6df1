// The on-board bootstrap loader of a simulated device, chained behind the
// device's application (a sensor, later an instrument). The application
// passes bytes down only while the loader runs.
//
// States: off (the application runs), waiting (answers a carriage return
// with "$\r", 'P' with "#\r" and is then connected), connected (a lone
// carriage return gives "?\r", 'P' gives "#\r", framed commands are
// answered "+...\r" when accepted and "-\r" when refused).
//
// Frames: g (version, "+<n>+\r"), @ (address, 4 or 5 digits), W (1..512
// digits, a multiple of four: 16-bit words written low byte first at the
// current address, which then advances), X (erase the segment at the
// address; the first main-flash erase of a connection also erases the last
// segment 0xFE00-0xFFFF, which holds the vectors), V (16 four-digit words:
// the vector table). A frame with a bad checksum, a malformed payload or an
// unknown letter is refused and changes nothing. Bytes that stop coming for
// 500 ms before their carriage return are dropped.
//
// When the link in front is let go: a waiting loader gives up and the
// application starts; a connected loader starts the application once the
// vector table was written in this connection, and otherwise stays
// connected for the next attempt.
#pragma once

#include <memory>
#include <string>

#include "sim/device.h"
#include "sim/flash.h"

namespace qsim {

class Loader : public Device {
 public:
  enum class State { Off, Waiting, Connected };

  explicit Loader(FlashLayout layout, int version = 21);

  const char* Kind() const override { return "loader"; }
  using Device::Receive;
  void Receive(const char* data, size_t n) override;
  void Tick() override;
  void LinkClosed() override;

  State GetState() const { return state_; }
  bool Running() const { return state_ != State::Off; }
  void Start();          // the application starts its loader: waiting
  void StartConnected(); // as found after an interrupted update
  void Stop();           // back to the application

  Flash& GetFlash() { return flash_; }
  const Flash& GetFlash() const { return flash_; }
  uint32_t Address() const { return address_; }

 private:
  void Frame(const std::string& line);
  void Reply(const char* text);

  Flash flash_;
  int version_;
  State state_ = State::Off;
  std::string line_;
  bool overflow_ = false;
  uint64_t lastByteMs_ = 0;
  uint32_t address_ = 0;
  bool lastSegmentErased_ = false;
  bool vectorsWritten_ = false;
};

}  // namespace qsim
