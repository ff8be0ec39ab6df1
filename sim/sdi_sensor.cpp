#include "sdi_sensor.h"

#include <cstdio>
#include <cstdlib>

namespace qsim {

namespace {

constexpr size_t kMaxCommand = 600;      // calibration texts are up to 512 characters
constexpr uint64_t kStaleMs = 500;

bool ValidAddress(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace

std::string SensorModel(int type) {
  switch (type) {
    case 92: return "ZP3   ";
    case 93: return "ZP9   ";
    case 94: return "PL8   ";
    case 95: return "WN7   ";
    case 103: return "OB52  ";
    case 104: return "OB51  ";
    case 107: return "OB62  ";
    case 108: return "WPX3  ";
    case 119: return "N4Q   ";
    case 120: return "K7V   ";
    case 121: return "WPX1  ";
    case 122: return "K7W   ";
    case 125: return "BR-MV ";
    case 124:
    case 126:
    case 127: return "BR-TX ";
    default: {
      char buf[8];
      std::snprintf(buf, sizeof buf, "T%03d  ", type % 1000);
      return buf;
    }
  }
}

SdiSensor::SdiSensor(SensorConfig config) : cfg_(std::move(config)) {
  factory_ = cfg_;
  factory_.address = '0';
  factory_.serial.clear();
  factory_.calX4.clear();
  factory_.calXa.clear();
  factory_.calXO.clear();
  loader_ = static_cast<Loader*>(Attach(std::make_unique<Loader>(SensorFlashLayout(cfg_.type), cfg_.loaderVersion)));
  Flash& flash = loader_->GetFlash();
  flash.PreloadOldFirmware(cfg_.oldFirmwareSeed);
  bootGeneration_ = flash.Generation();
  bootSequence_ = flash.Sequence();
  // the state the sensor is found in, e.g. after an interrupted update
  if (cfg_.start == SensorConfig::Start::LoaderWaiting) loader_->Start();
  if (cfg_.start == SensorConfig::Start::LoaderConnected) loader_->StartConnected();
  inLoader_ = loader_->Running();
}

bool SdiSensor::LoadExpectedImage(std::string* error) {
  if (cfg_.expectImage.empty()) return true;
  expected_ = TiImage();
  return LoadTiTextFile(cfg_.expectImage, expected_, error);
}

bool SdiSensor::CodeGood(std::string* why) const {
  if (cfg_.corruptPost) {
    if (why) *why = "self-check forced corrupt";
    return false;
  }
  const Flash& flash = loader_->GetFlash();
  if (!flash.SelfCheck(why)) return false;
  if (expected_.count > 0) {
    std::string report;
    if (flash.Compare(expected_, &report) != 0) {
      if (why) *why = "flash differs from the expected image: " + report;
      return false;
    }
  }
  return true;
}

void SdiSensor::Boot() {
  Flash& flash = loader_->GetFlash();
  if (flash.Word(0xFFFE) == 0xFFFF) {
    Note("no reset vector: the loader starts");
    loader_->Start();
    inLoader_ = true;
    return;
  }
  if (flash.Generation() != bootGeneration_) {
    cfg_.version = cfg_.newVersion;
    Note("new firmware running, version " + std::to_string(cfg_.version));
  }
  if (flash.InfoErasedSince(bootSequence_)) {
    cfg_.address = factory_.address;
    cfg_.serial = factory_.serial;
    cfg_.calX4 = factory_.calX4;
    cfg_.calXa = factory_.calXa;
    cfg_.calXO = factory_.calXO;
    Note("information memory was erased: settings back to defaults");
  }
  bootGeneration_ = flash.Generation();
  bootSequence_ = flash.Sequence();
  line_.clear();
}

void SdiSensor::SyncLoader() {
  if (inLoader_ && !loader_->Running()) {
    inLoader_ = false;
    Boot();
  }
  if (!inLoader_ && loader_->Running()) inLoader_ = true;
}

void SdiSensor::Tick() {
  SyncLoader();
  if (!line_.empty() && Now() - lastByteMs_ > kStaleMs) line_.clear();
  Device::Tick();
}

void SdiSensor::LinkClosed() {
  Device::LinkClosed();
  SyncLoader();
}

void SdiSensor::Receive(const char* data, size_t n) {
  SyncLoader();
  if (inLoader_) {
    SendDown(data, n);
    SyncLoader();
    return;
  }
  for (size_t i = 0; i < n; ++i) {
    char c = data[i];
    if (!line_.empty() && Now() - lastByteMs_ > kStaleMs) line_.clear();
    lastByteMs_ = Now();
    if (c == '\r' || c == '\n' || c == '\0') continue;
    if (line_.size() >= kMaxCommand) line_.clear();
    line_.push_back(c);
    if (c == '!') {
      std::string cmd;
      cmd.swap(line_);
      Command(cmd);
      if (inLoader_) {
        // the loader took over; the rest of the bytes are its
        if (i + 1 < n) SendDown(data + i + 1, n - i - 1);
        return;
      }
    }
  }
}

void SdiSensor::Answer(const std::string& body) {
  std::string r(1, cfg_.address);
  r += body;
  r += "\r\n";
  Emit(r);
}

void SdiSensor::Command(const std::string& text) {
  // text is "<address><body>!"
  if (text.size() < 2) return;
  char to = text[0];
  std::string body = text.substr(1, text.size() - 2);
  bool wildcard = to == '?';
  if (!wildcard && to != cfg_.address) return;

  std::string step = "sdi.";
  if (body.empty()) step += "ack";
  else if (body == "I" || body == "B" || body == "post") step += body;
  else if (body[0] == 'A') step += "A";
  else if (body[0] == 'X' && body.size() >= 2) step += body.substr(0, 2);
  else step += "other";
  if (body.rfind("XO", 0) == 0) step = "sdi.XO";
  if (Faults().Silent(step)) {
    Note("silent at " + text);
    return;
  }

  if (body.empty()) {
    Answer("");
  } else if (body == "I") {
    char version[8];
    std::snprintf(version, sizeof version, "%03d", cfg_.version % 1000);
    Answer("13QUARNEL " + SensorModel(cfg_.type) + version + cfg_.serial.substr(0, 13));
  } else if (body[0] == 'A' && body.size() == 2) {
    if (wildcard || !ValidAddress(body[1])) return;
    cfg_.address = body[1];
    Note(std::string("address changed to '") + cfg_.address + "'");
    Answer("");
  } else if (body == "X4") {
    Answer(cfg_.calX4.empty() ? "" : " " + cfg_.calX4);
  } else if (body.rfind("X5", 0) == 0) {
    cfg_.calX4 = body.substr(2);
    Note("X4 calibration written: " + cfg_.calX4);
    Answer("OK");
  } else if (body == "Xa") {
    Answer(cfg_.calXa.empty() ? "" : " " + cfg_.calXa);
  } else if (body.rfind("Xb", 0) == 0) {
    cfg_.calXa = body.substr(2);
    Note("Xa calibration written: " + cfg_.calXa);
    Answer("OK");
  } else if (body.rfind("XO", 0) == 0) {
    if (cfg_.type != 93) {
      Answer("ERROR");
    } else if (body.size() == 2) {
      Answer(cfg_.calXO.empty() ? "" : " " + cfg_.calXO);
    } else {
      cfg_.calXO = body.substr(2);
      Note("XO calibration written: " + cfg_.calXO);
      Answer("OK");
    }
  } else if (body == "X#") {
    Answer(cfg_.serial.empty() ? "" : " " + cfg_.serial);
  } else if (body.rfind("X#", 0) == 0) {
    std::string sn = body.substr(2);
    if (sn.size() > 31) {
      Answer("ERROR");
      return;
    }
    cfg_.serial = sn;
    Note("serial number written: " + sn);
    Answer("OK");
  } else if (body == "X8") {
    if (cfg_.numericType) Answer(" " + std::to_string(cfg_.type));
    else Answer(std::string(1, static_cast<char>(cfg_.type)));
  } else if (body.rfind("X9 ", 0) == 0 && body.size() > 3) {
    std::string v = body.substr(3);
    long type = -1;
    if (cfg_.numericType) {
      char* end = nullptr;
      type = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || v.size() > 3 || *end != '\0') type = -1;
    } else if (v.size() == 1) {
      type = static_cast<unsigned char>(v[0]);
    }
    if (type < 92 || type > 127) {
      Note("type change refused: '" + v + "'");
      Answer("ERROR");
      return;
    }
    cfg_.type = static_cast<int>(type);
    Note("type changed to " + std::to_string(type));
    Answer("OK");
  } else if (body == "B") {
    if (!cfg_.hasLoader) {
      Answer("No BSL");
      return;
    }
    Answer("");
    loader_->Start();
    inLoader_ = true;
  } else if (body == "post") {
    std::string why;
    if (CodeGood(&why)) {
      Answer("Code Good");
    } else {
      Note("self-check: " + why);
      Answer("Code Corrupt");
    }
  }
  // anything else: no answer
}

}  // namespace qsim

namespace qsim {

namespace {

std::unique_ptr<Device> MakeSensor(const Options& o, std::string& error) {
  SensorConfig c;
  c.type = static_cast<int>(o.GetInt("sensor-type", c.type));
  c.version = static_cast<int>(o.GetInt("sensor-version", c.version));
  c.newVersion = static_cast<int>(o.GetInt("new-version", c.newVersion));
  c.numericType = o.Has("numeric-type");
  c.serial = o.Get("sensor-serial", c.serial);
  std::string address = o.Get("address", "0");
  c.hasLoader = !o.Has("no-loader");
  c.loaderVersion = static_cast<int>(o.GetInt("loader-version", c.loaderVersion));
  c.corruptPost = o.Has("corrupt-post");
  c.expectImage = o.Get("expect-image");
  c.oldFirmwareSeed = static_cast<uint32_t>(o.GetInt("old-seed", c.oldFirmwareSeed));
  if (o.Has("loader-waiting")) c.start = SensorConfig::Start::LoaderWaiting;
  if (o.Has("loader-connected")) c.start = SensorConfig::Start::LoaderConnected;
  if (c.type < 92 || c.type > 127) {
    error = "--sensor-type wants a type code from 92 to 127";
    return nullptr;
  }
  if (c.version < 0 || c.version > 999 || c.newVersion < 0 || c.newVersion > 999) {
    error = "versions are three digits (406 is 4.06)";
    return nullptr;
  }
  if (address.size() != 1 || !ValidAddress(address[0])) {
    error = "--address wants one character 0-9, a-z or A-Z";
    return nullptr;
  }
  c.address = address[0];
  auto s = std::make_unique<SdiSensor>(c);
  if (!s->LoadExpectedImage(&error)) {
    error = "--expect-image: " + error;
    return nullptr;
  }
  return s;
}

KindRegistrar sensorKind(
    {"sensor",
     "a digital SDI-12 sensor with its bootstrap loader",
     {
         {"sensor-type", "N", "sensor type code 92..127 (default 107)"},
         {"numeric-type", "", "the sensor gives its type as digits (default: one character)"},
         {"sensor-version", "N", "firmware version, three digits (default 406)"},
         {"new-version", "N", "version the sensor reports once new firmware was written (default 406)"},
         {"address", "C", "SDI-12 address (default 0)"},
         {"sensor-serial", "TEXT", "serial number (default 0712345)"},
         {"no-loader", "", "fault: the sensor has no loader (\"?B!\" answers \"No BSL\")"},
         {"loader-waiting", "", "fault: the loader is already waiting for a connection at start"},
         {"loader-connected", "", "fault: the loader is already connected at start"},
         {"loader-version", "N", "version the loader reports on 'g' (default 21)"},
         {"corrupt-post", "", "fault: the self-check always reports \"Code Corrupt\""},
         {"old-seed", "N", "seed of the old firmware the flash holds at start"},
         {"expect-image", "FILE", "TI-Text image: \"Code Good\" also needs the flash to equal it"},
     },
     MakeSensor});

}  // namespace

}  // namespace qsim
