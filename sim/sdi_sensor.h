// A digital SDI-12 sensor with its bootstrap loader chained behind it.
//
// The device in front (the reader) hands it whole command texts ending in
// '!' while relaying, or raw bytes while passing through. While the loader
// runs every byte goes to the loader; otherwise the application parses the
// bytes into commands and answers those addressed to it or to '?'. Replies
// end in "\r\n". Commands it does not know go unanswered, as on SDI-12.
//
// Settings (address, serial number, calibration texts) live in the
// information memory: once the loader erased it, the next application start
// comes up with address '0', no serial number and empty calibration, and the
// updater has to write them back. A start after the main flash was erased
// runs the new firmware (newVersion). A start with no reset vector falls
// into the loader, which then waits for a connection.
#pragma once

#include <string>

#include "sim/device.h"
#include "sim/flash.h"
#include "sim/loader.h"

namespace qsim {

struct SensorConfig {
  int type = 107;             // sensor type code
  bool numericType = false;   // type given as digits instead of one character
  int version = 406;          // firmware version in the identification (three digits)
  int newVersion = 406;       // version once a new image has been written
  char address = '0';
  std::string serial = "0712345";
  std::string calX4 = "1.0000 0.0000 -0.0031 25.00";
  std::string calXa = "1 1.39619 2.03054 2.54573 2.9907";
  std::string calXO = "0.95 1.02";
  bool hasLoader = true;      // false: "?B!" answers "No BSL"
  enum class Start { Application, LoaderWaiting, LoaderConnected } start = Start::Application;
  int loaderVersion = 21;
  bool corruptPost = false;   // the self-check always reports corrupt code
  uint32_t oldFirmwareSeed = 0x5EED;
  std::string expectImage;    // TI-Text: "Code Good" also needs the flash to equal it
};

// The six-character model field of a type's identification.
std::string SensorModel(int type);

class SdiSensor : public Device {
 public:
  explicit SdiSensor(SensorConfig config);

  const char* Kind() const override { return "sensor"; }
  using Device::Receive;
  void Receive(const char* data, size_t n) override;
  void Tick() override;
  void LinkClosed() override;

  Loader& GetLoader() { return *loader_; }
  Flash& GetFlash() { return loader_->GetFlash(); }
  const SensorConfig& Config() const { return cfg_; }  // live settings
  bool ExpectedImageLoaded() const { return expected_.count > 0; }
  // The application's self-check verdict, with the reason when corrupt.
  bool CodeGood(std::string* why = nullptr) const;

  // Loads cfg.expectImage; false with a message when it cannot be read.
  bool LoadExpectedImage(std::string* error);

 private:
  void Command(const std::string& text);
  void Answer(const std::string& body);
  void SyncLoader();
  void Boot();

  SensorConfig cfg_;
  SensorConfig factory_;  // what the settings come back to after an erase
  Loader* loader_;
  std::string line_;
  uint64_t lastByteMs_ = 0;
  bool inLoader_ = false;
  uint64_t bootGeneration_ = 0;
  uint64_t bootSequence_ = 0;
  TiImage expected_;
};

}  // namespace qsim
