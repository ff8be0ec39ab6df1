// A bench instrument of the new command set (kind words SVMIN, TH1, RX20,
// SX, TBQX, SM2, SSIX, ISX, DEWLIN, SBASE, SSIXOPT, MRV, FLOWKIT, or SND for
// a reader without a sensor), on its serial cable.
//
// Commands end in "\r"; answers are "\r", the text, "\r" and the prompt
// '>'. "get -ver" gives the kind word and version; the settings ("get -x",
// "set -x value"), the calibration slots and the user and equation records
// are those of SettingsStore. Also: "get -batt", "post" / "post -init"
// ("Code Good!"), "yes" (erase the data memory, "OK"), "set -sec N",
// "set -sensor N", "login" (the service code), "logout". An unknown command
// is answered "ERROR".
#pragma once

#include <string>

#include "sim/command_shell.h"
#include "sim/device.h"
#include "sim/settings_store.h"

namespace qsim {

struct BenchConfig {
  std::string kindWord = "SSIX";
  std::string version = "2.05";
  int battery = 64;
  SettingsStore settings;
  long clock = 0;        // last "set -sec" value
  long records = 120;    // measurements in the data memory
  std::string postAnswer = "Code Good!";  // the self-check's verdict
};

// The settings a bench instrument of the given kind word keeps, with
// made-up factory values.
SettingsStore BenchSettingsFor(const std::string& kindWord);

class BenchInstrument : public Device {
 public:
  explicit BenchInstrument(BenchConfig config);

  const char* Kind() const override { return "bench"; }
  using Device::Receive;
  void Receive(const char* data, size_t n) override;

  BenchConfig& Config() { return cfg_; }
  // A firmware update that wiped the settings.
  void ResetSettings() { cfg_.settings.Reset(); }

 private:
  void CommandLine(const std::string& line);

  BenchConfig cfg_;
  LineAssembler lines_{"", 1024};
};

}  // namespace qsim
