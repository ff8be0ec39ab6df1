#include "sim/settings_reader_device.h"

namespace qsim {

SettingsStore ReaderSettings(const ReaderConfig& config) {
  SettingsStore s;
  s.values = {{"sn", config.serial}, {"i", config.name}, {"contr", "9"},
              {"adc15", "15 1021 3 -2"}, {"adc30", "30 998 1 4"}};
  s.hasCal = true;
  s.cal[0] = "0 1.000 0.000";
  s.cal[1] = "1 0.998 0.012";
  s.cal[2] = "2 1.004 -0.007";
  return s;
}

SettingsReader::SettingsReader(ReaderConfig config, SettingsStore settings)
    : Reader(std::move(config)), store_(std::move(settings)) {}

void SettingsReader::Restart() {
  lines_.Clear();
  pending_.clear();
  Reader::Restart();
}

void SettingsReader::Forward() {
  if (!pending_.empty()) Reader::Receive(pending_.data(), pending_.size());
  pending_.clear();
}

void SettingsReader::Receive(const char* data, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const char c = data[i];
    if (GetMode() != Mode::Command) {
      Reader::Receive(&c, 1);
      continue;
    }
    pending_.push_back(c);
    switch (lines_.Feed(c)) {
      case LineAssembler::Event::Nothing:
        break;
      case LineAssembler::Event::Line: {
        CommandWords w = SplitCommand(lines_.Text());
        std::string body;
        if (w.word == "yes") {
          Note("data erased");
          pending_.clear();
          Emit(Answer("OK"));
        } else if (store_.Handle(w, &body)) {
          Note("line " + lines_.Text());
          pending_.clear();
          Emit(Answer(body));
        } else {
          Forward();
        }
        break;
      }
      default:
        Forward();
        break;
    }
  }
}

namespace {

KindRegistrar settingsReaderKind(
    {"sendra-settings", "the hand-held reader with its own settings (sn, name, contrast, adc15/30, cal records)",
     {{"reader-version", "X.YY", "reader firmware version (default 1.25)"},
      {"reader-serial", "TEXT", "reader serial number (default SN04417)"},
      {"blank", "", "start with the settings an erased information memory leaves"}},
     [](const Options& o, std::string& error) -> std::unique_ptr<Device> {
       ReaderConfig c;
       c.version = o.Get("reader-version", c.version);
       c.serial = o.Get("reader-serial", c.serial);
       if (c.version.find('.') == std::string::npos) {
         error = "--reader-version wants major.minor, e.g. 1.25";
         return nullptr;
       }
       SettingsStore s = ReaderSettings(c);
       if (o.Has("blank")) s.Reset();
       return std::make_unique<SettingsReader>(c, std::move(s));
     }});

}  // namespace

}  // namespace qsim
