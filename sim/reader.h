// The hand-held reader (kind word "SND") or the KALEN Comm Device ("HBX"),
// with a digital sensor chained behind it.
//
// Modes, switched by single characters that arrive while no line or command
// is being typed:
//   command   (at power-up) the instrument command protocol: a line ending in
//             "\r" is answered with "\r", the text, "\r" and the prompt '>'
//   ']'       pass-through: every byte goes to the sensor unchanged and the
//             sensor's bytes come back unchanged (the sensor's loader
//             conversation); only '[' and the grave accent are taken out
//   '['       relay: SDI-12 command texts are collected up to their '!' and
//             handed to the sensor whole; the sensor's reply comes back
//   '`'       back to command mode
// In relay mode a '|' before a command is the wake-up and is dropped; ']',
// '[', '`' and '|' inside a command (after its address) are part of the
// text, so a type change "?X9 ]!" reaches the sensor as sent. A command left
// unfinished for 300 ms is dropped. Leaving pass-through tells the sensor
// that the bridge to its loader is closed.
//
// A restart (the reader plugged in again) returns to command mode; the
// sensor keeps its flash and loader state.
#pragma once

#include <string>

#include "sim/command_shell.h"
#include "sim/device.h"

namespace qsim {

struct ReaderConfig {
  std::string kindWord = "SND";  // "HBX" for the comm device
  std::string version = "1.25";  // firmware version as "major.minor"
  std::string hardwareRevision = "B";
  int battery = 87;              // percent
  std::string serial = "SN04417";
  std::string name = "SENDRA";
  bool echo = false;             // fault: echo every command byte back
};

class Reader : public Device {
 public:
  enum class Mode { Command, PassThrough, Relay };

  explicit Reader(ReaderConfig config);

  const char* Kind() const override { return "reader"; }
  using Device::Receive;
  void Receive(const char* data, size_t n) override;
  void Tick() override;
  void Restart() override;
  void LinkClosed() override {}  // the reader does not notice the host closing the port

  Mode GetMode() const { return mode_; }
  ReaderConfig& Config() { return cfg_; }

 protected:
  void FromDownstream(const char* data, size_t n) override;

 private:
  void SetMode(Mode m);
  void CommandLine(const std::string& line);
  void RelayByte(char c);

  ReaderConfig cfg_;
  Mode mode_ = Mode::Command;
  LineAssembler lines_{"[]`"};
  std::string relay_;
  uint64_t relayLastMs_ = 0;
};

}  // namespace qsim
