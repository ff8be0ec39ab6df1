// Fault switches shared by the devices of one chain.
//
// Silence: a device asks Silent("step") before it answers a step; a rule
// "step[:from[:count]]" keeps it silent from the from-th occurrence of that
// step on (1 when omitted), for count occurrences (for ever when omitted).
// A rule also matches every step that begins with the rule's name and a dot:
// "sdi" silences "sdi.I", "sdi.X4" ...; "bsl" silences every loader frame.
//
// Refusal: framed loader commands are refused at a rate, with a seed, so a
// host's retries can be exercised reproducibly.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qsim {

class FaultPlan {
 public:
  // Parses and adds a silence rule; false for a malformed one.
  bool AddSilence(const std::string& rule);
  // Counts one occurrence of `step`; true when it must go unanswered.
  bool Silent(const std::string& step);

  void SetRefuseRate(double rate, uint64_t seed);
  // True when the current loader frame must be refused.
  bool RefuseFrame();

  // Names of the steps the devices ask about, for --help.
  static const char* StepNames();

 private:
  struct Rule {
    std::string step;
    long from = 1;
    long count = -1;
    long seen = 0;
  };
  std::vector<Rule> rules_;
  double refuseRate_ = 0;
  uint64_t refuseState_ = 1;
};

}  // namespace qsim
