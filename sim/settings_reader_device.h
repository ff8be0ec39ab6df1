// The hand-held reader with its own settings: serial number, name
// ("-i"), display contrast, the two ADC calibrations and twenty calibration
// records ("-cal N"). Everything else, the modes and the relaying of SDI-12
// commands to the sensor behind it included, is the plain reader's.
//
// In command mode a finished line that is a settings command is answered
// here ("\r", text, "\r>"); "yes" erases the data memory ("OK"). Any other
// line, and every byte outside command mode, goes to the plain reader as
// it arrived.
#pragma once

#include <string>

#include "sim/command_shell.h"
#include "sim/reader.h"
#include "sim/settings_store.h"

namespace qsim {

// The reader's settings with made-up factory values.
SettingsStore ReaderSettings(const ReaderConfig& config);

class SettingsReader : public Reader {
 public:
  SettingsReader(ReaderConfig config, SettingsStore settings);

  using Device::Receive;
  void Receive(const char* data, size_t n) override;
  void Restart() override;

  SettingsStore& Settings() { return store_; }
  // A firmware update that wiped the settings.
  void ResetSettings() { store_.Reset(); }

 private:
  void Forward();

  SettingsStore store_;
  LineAssembler lines_{"[]`", 1024};
  std::string pending_;
};

}  // namespace qsim
