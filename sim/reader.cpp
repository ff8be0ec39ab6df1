#include "reader.h"

#include <cstdio>
#include <cstdlib>

namespace qsim {

namespace {

constexpr size_t kMaxRelay = 600;
constexpr uint64_t kRelayStaleMs = 300;

// The reader's firmware answers a command line the way every instrument of
// its family does: the line end first, then the text, a line end and the
// prompt ("\rSND 1.25\r>"). An empty value is "\r\r>".
std::string Answered(const std::string& text) { return Prompted("\r" + text); }

const char* ModeName(Reader::Mode m) {
  switch (m) {
    case Reader::Mode::Command: return "command";
    case Reader::Mode::PassThrough: return "pass-through";
    case Reader::Mode::Relay: return "relay";
  }
  return "?";
}

}  // namespace

Reader::Reader(ReaderConfig config) : cfg_(std::move(config)) {}

void Reader::SetMode(Mode m) {
  Mode old = mode_;
  mode_ = m;
  lines_.Clear();
  relay_.clear();
  Note(std::string("mode ") + ModeName(m));
  if (old == Mode::PassThrough && m != Mode::PassThrough && Downstream()) Downstream()->LinkClosed();
}

void Reader::Restart() {
  Note("restarted");
  mode_ = Mode::Command;
  lines_.Clear();
  relay_.clear();
}

void Reader::Tick() {
  if (!relay_.empty() && Now() - relayLastMs_ > kRelayStaleMs) relay_.clear();
  Device::Tick();
}

void Reader::FromDownstream(const char* data, size_t n) {
  // the sensor is heard only while the reader bridges or relays
  if (mode_ != Mode::Command) Emit(data, n);
}

void Reader::Receive(const char* data, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    char c = data[i];
    switch (mode_) {
      case Mode::Command: {
        LineAssembler::Event e = lines_.Feed(c);
        if (cfg_.echo && e != LineAssembler::Event::Control) Emit(&c, 1);
        if (e == LineAssembler::Event::Control) {
          if (c == ']') SetMode(Mode::PassThrough);
          else if (c == '[') SetMode(Mode::Relay);
          // the grave accent in command mode changes nothing
        } else if (e == LineAssembler::Event::Line) {
          CommandLine(lines_.Text());
        } else if (e == LineAssembler::Event::Overflow) {
          Emit(Answered("ERROR"));
        }
        break;
      }
      case Mode::PassThrough:
        if (c == '`') SetMode(Mode::Command);
        else if (c == '[') SetMode(Mode::Relay);
        else SendDown(&c, 1);
        break;
      case Mode::Relay:
        RelayByte(c);
        break;
    }
  }
}

void Reader::RelayByte(char c) {
  relayLastMs_ = Now();
  if (relay_.empty()) {
    switch (c) {
      case ']': SetMode(Mode::PassThrough); return;
      case '`': SetMode(Mode::Command); return;
      case '[':
      case '|':
      case '\r':
      case '\n':
        return;
      default:
        break;
    }
  }
  if (relay_.size() >= kMaxRelay) relay_.clear();
  relay_.push_back(c);
  if (c == '!') {
    std::string cmd;
    cmd.swap(relay_);
    SendDown(cmd);
  }
}

void Reader::CommandLine(const std::string& line) {
  CommandWords w = SplitCommand(line);
  std::string step = "cmd.other";
  if (w.word == "get" && (w.option == "ver" || w.option == "hver" || w.option == "batt")) step = "cmd." + w.option;
  else if (w.word == "set" && w.option == "baud") step = "cmd.baud";
  else if (w.word == "login" || w.word == "logout" || w.word == "post" || w.word == "boot") step = "cmd." + w.word;
  if (Faults().Silent(step)) {
    Note("silent at \"" + line + "\"");
    return;
  }
  bool sendra = cfg_.kindWord == "SND";
  if (w.word.empty()) {
    Emit("\r>");
  } else if (w.word == "get") {
    if (w.option == "ver") {
      Emit(Answered(cfg_.kindWord + " " + cfg_.version));
    } else if (w.option == "hver" && sendra) {
      Emit(Answered(cfg_.hardwareRevision));
    } else if (w.option == "batt") {
      Emit(Answered(std::to_string(cfg_.battery)));
    } else if (w.option == "sn") {
      Emit(Answered(cfg_.serial));
    } else if (w.option == "i" || w.option == "name") {
      Emit(Answered(cfg_.name));
    } else {
      Emit(Answered("Unsupported"));
    }
  } else if (w.word == "set") {
    if (w.option == "baud") {
      char* end = nullptr;
      long code = std::strtol(w.argument.c_str(), &end, 10);
      static const long kRates[] = {9600, 19200, 38400, 57600, 115200, 230400, 460800};
      if (w.argument.empty() || *end != '\0' || code < 0 || code > 6) {
        Emit(Answered("ERROR"));
        return;
      }
      Note("baud rate " + std::to_string(kRates[code]));
      Ctx().baudRequest = kRates[code];
      Emit("\rOK\r");  // answered without a prompt
    } else if (w.option == "sn" && !w.argument.empty()) {
      cfg_.serial = w.argument;
      Emit(Answered("OK"));
    } else if ((w.option == "i" || w.option == "name") && !w.argument.empty()) {
      cfg_.name = w.argument;
      Emit(Answered("OK"));
    } else {
      Emit(Answered("Unsupported"));
    }
  } else if (w.word == "login" || w.word == "logout") {
    Emit(Answered("OK"));
  } else if (w.word == "post") {
    Emit(Answered("Code Good!"));
  } else if (w.word == "boot") {
    // the reader's own firmware is not updated through this simulator
    Emit(Answered("QuarBSL MISSING"));
  } else {
    Emit(Answered("ERROR"));
  }
}

}  // namespace qsim

namespace qsim {

namespace {

std::unique_ptr<Device> MakeReader(const Options& o, std::string& error, const char* word, const char* version) {
  ReaderConfig c;
  c.kindWord = word;
  c.version = o.Get("reader-version", version);
  c.hardwareRevision = o.Get("reader-hver", c.hardwareRevision);
  c.battery = static_cast<int>(o.GetInt("battery", c.battery));
  c.serial = o.Get("reader-serial", c.serial);
  c.echo = o.Has("echo");
  if (c.version.find('.') == std::string::npos) {
    error = "--reader-version wants major.minor, e.g. 1.25";
    return nullptr;
  }
  if (c.hardwareRevision.empty()) {
    error = "--reader-hver wants a letter";
    return nullptr;
  }
  return std::make_unique<Reader>(c);
}

const std::vector<OptionInfo> kReaderOptions = {
    {"reader-version", "X.YY", "reader firmware version (default 1.25 for sendra, 1.50 for hbx)"},
    {"reader-hver", "C", "hardware revision answered to \"get -hver\" (default B)"},
    {"battery", "N", "battery level in percent (default 87)"},
    {"reader-serial", "TEXT", "reader serial number (default SN04417)"},
    {"echo", "", "fault: the reader echoes every command byte"},
};

KindRegistrar sendraKind({"sendra", "the hand-held reader (kind word SND)", kReaderOptions,
                          [](const Options& o, std::string& e) { return MakeReader(o, e, "SND", "1.25"); }});
KindRegistrar hbxKind({"hbx", "the KALEN Comm Device (kind word HBX), same modes", kReaderOptions,
                       [](const Options& o, std::string& e) { return MakeReader(o, e, "HBX", "1.50"); }});

}  // namespace

}  // namespace qsim
