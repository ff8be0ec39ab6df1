#include "faults.h"

#include <cstdlib>

namespace qsim {

bool FaultPlan::AddSilence(const std::string& rule) {
  Rule r;
  size_t c1 = rule.find(':');
  r.step = rule.substr(0, c1);
  if (r.step.empty()) return false;
  if (c1 != std::string::npos) {
    std::string rest = rule.substr(c1 + 1);
    size_t c2 = rest.find(':');
    std::string from = rest.substr(0, c2);
    char* end = nullptr;
    r.from = std::strtol(from.c_str(), &end, 10);
    if (from.empty() || *end != '\0' || r.from < 1) return false;
    if (c2 != std::string::npos) {
      std::string count = rest.substr(c2 + 1);
      r.count = std::strtol(count.c_str(), &end, 10);
      if (count.empty() || *end != '\0' || r.count < 1) return false;
    }
  }
  rules_.push_back(r);
  return true;
}

bool FaultPlan::Silent(const std::string& step) {
  bool silent = false;
  for (Rule& r : rules_) {
    bool match = step == r.step ||
                 (step.size() > r.step.size() && step.compare(0, r.step.size(), r.step) == 0 &&
                  step[r.step.size()] == '.');
    if (!match) continue;
    ++r.seen;
    if (r.seen >= r.from && (r.count < 0 || r.seen < r.from + r.count)) silent = true;
  }
  return silent;
}

void FaultPlan::SetRefuseRate(double rate, uint64_t seed) {
  refuseRate_ = rate;
  refuseState_ = seed ? seed : 1;
}

bool FaultPlan::RefuseFrame() {
  if (refuseRate_ <= 0) return false;
  // xorshift64*, kept here so the refusal pattern depends on the seed only
  refuseState_ ^= refuseState_ >> 12;
  refuseState_ ^= refuseState_ << 25;
  refuseState_ ^= refuseState_ >> 27;
  uint64_t v = refuseState_ * 0x2545F4914F6CDD1Dull;
  return static_cast<double>(v >> 11) / 9007199254740992.0 < refuseRate_;
}

const char* FaultPlan::StepNames() {
  return "reader: ver hver batt login logout baud post cmd (any command line)\n"
         "  sensor: sdi (any SDI-12 command), sdi.<cmd> e.g. sdi.I sdi.X4 sdi.X8 sdi.B sdi.post\n"
         "  loader: loader.cr loader.P, bsl (any frame), bsl.g bsl.@ bsl.W bsl.X bsl.V";
}

}  // namespace qsim
