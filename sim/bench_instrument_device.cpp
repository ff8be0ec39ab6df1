#include "sim/bench_instrument_device.h"

#include <cstdlib>

namespace qsim {

SettingsStore BenchSettingsFor(const std::string& kindWord) {
  SettingsStore s;
  s.values = {{"sn", "BX-1001"}, {"i", "BENCH1"}, {"lang", "1"}, {"contr", "12"},
              {"units", "2"},    {"config", "c 1 4 7"}, {"fvals", "1.5 2.5 3.5"},
              {"uvals", "0.1 0.2"}, {"adc", "A5"},     {"sample", "10 s"},
              {"usage", "lab"},  {"int", "30"},      {"adccal", "1024 12"},
              {"loc", "Bench 4, room 2"}, {"x", "CH7"}, {"ext", "E2"},
              {"tadj", "0.05 -0.02"}, {"hadj", "1.01"}, {"tau", "45"}};
  if (kindWord == "SSIX" || kindWord == "SSIXOPT") {
    s.values["pvuser"] = "pv 3 4";
    s.values.erase("uvals");
    s.hasRecords = true;
    s.users = {"AAAA", "BBBB"};
    s.eqns = {"Depth_mm 0.1*x", "Area`mm pi*r^2"};
  }
  if (kindWord == "SSIXOPT") {
    for (const char* w : {"p0", "p3", "p5", "lwidth", "ltemp", "current", "p1"})
      s.values[w] = std::string(w) + " 1.25";
    s.hasCal = true;
  }
  if (kindWord == "ISX") {
    s.values["p"] = "p 9 8";
    s.values["pv"] = "pv 7 6";
    s.values["c76"] = "pref 5";
    s.hasRecords = true;
    s.users = {"CCCC"};
  }
  if (kindWord == "SND") {
    s.values = {{"sn", "SN04417"}, {"i", "SENDRA"}, {"contr", "9"},
                {"adc15", "15 1 2 3"}, {"adc30", "30 4 5 6"}};
    s.hasCal = true;
    s.cal[0] = "cal zero";
    s.cal[1] = "cal one";
  }
  return s;
}

BenchInstrument::BenchInstrument(BenchConfig config) : cfg_(std::move(config)) {}

void BenchInstrument::Receive(const char* data, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    LineAssembler::Event e = lines_.Feed(data[i]);
    if (e == LineAssembler::Event::Line)
      CommandLine(lines_.Text());
    else if (e == LineAssembler::Event::Overflow)
      Emit(Answer("ERROR"));
  }
}

void BenchInstrument::CommandLine(const std::string& line) {
  CommandWords w = SplitCommand(line);
  if (Faults().Silent("bench." + w.word + (w.option.empty() ? "" : "." + w.option))) {
    Note("silent at \"" + line + "\"");
    return;
  }
  if (!w.word.empty()) Note("line " + line);
  std::string body;
  if (w.word.empty()) {
    Emit("\r>");
    return;
  }
  if (cfg_.settings.Handle(w, &body)) {
    Emit(Answer(body));
    return;
  }
  if (w.word == "get" && w.option == "ver") {
    body = cfg_.kindWord + " " + cfg_.version;
  } else if (w.word == "get" && w.option == "batt") {
    body = std::to_string(cfg_.battery);
  } else if (w.word == "post") {
    body = cfg_.postAnswer;
  } else if (w.word == "yes") {
    cfg_.records = 0;
    Note("data erased");
    body = "OK";
  } else if (w.word == "set" && w.option == "sec" && !w.argument.empty()) {
    cfg_.clock = std::strtol(w.argument.c_str(), nullptr, 10);
    body = "OK";
  } else if (w.word == "set" && w.option == "sensor") {
    body = "OK";
  } else if (w.word == "login" || w.word == "logout") {
    body = "OK";
  } else if (w.word == "get" || w.word == "set") {
    body = "Unsupported";
  } else {
    body = "ERROR";
  }
  Emit(Answer(body));
}

namespace {

const std::vector<OptionInfo> kBenchOptions = {
    {"bench-kind", "WORD", "kind word answered to \"get -ver\" (default SSIX)"},
    {"bench-version", "X.YY", "firmware version (default 2.05)"},
    {"battery", "N", "battery level in percent (default 64)"},
    {"blank", "", "start with the settings an erased information memory leaves"},
    {"corrupt-post", "", "fault: the self-check reports \"Code Corrupt!\""},
};

KindRegistrar benchKind({"bench", "a bench instrument with get/set settings, cal slots and records",
                         kBenchOptions, [](const Options& o, std::string& error) -> std::unique_ptr<Device> {
                           BenchConfig c;
                           c.kindWord = o.Get("bench-kind", c.kindWord);
                           c.version = o.Get("bench-version", c.version);
                           c.battery = static_cast<int>(o.GetInt("battery", c.battery));
                           if (c.version.find('.') == std::string::npos) {
                             error = "--bench-version wants major.minor, e.g. 2.05";
                             return nullptr;
                           }
                           c.settings = BenchSettingsFor(c.kindWord);
                           if (o.Has("blank")) c.settings.Reset();
                           if (o.Has("corrupt-post")) c.postAnswer = "Code Corrupt!";
                           return std::make_unique<BenchInstrument>(c);
                         }});

}  // namespace

}  // namespace qsim
