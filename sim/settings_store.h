// The "get -" / "set -" settings of a simulated bench instrument or reader:
// named values, twenty calibration slots ("-cal N"), and the user and
// equation record sets ("-user N", "-eqn N", "reset -users", "reset -eqn").
// Not a device of its own: the devices that keep such settings hand their
// command lines to it.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "sim/command_shell.h"

namespace qsim {

struct SettingsStore {
  // The value words the device knows ("sn", "i", "contr", ...) with their
  // values; a word not listed is answered "Unsupported".
  std::map<std::string, std::string> values;
  std::vector<std::string> cal = std::vector<std::string>(20);
  bool hasCal = false;
  bool hasRecords = false;
  std::vector<std::string> users;
  std::vector<std::string> eqns;
  // Fault: the record count queries ("get -user", "get -eqn") go unanswered
  // with an error, so the host has to probe record by record.
  bool refuseCounts = false;

  // Answers one command line when it is a settings command. The body is
  // what goes between the leading "\r" and the closing "\r>". False: not a
  // settings command; the device handles the line itself.
  bool Handle(const CommandWords& w, std::string* body);

  // What a firmware update that erased the information memory leaves:
  // every value empty (numbers 0), no calibration, no records.
  void Reset();
};

// "\r" + body + "\r>": the answer form of the instrument firmware.
std::string Answer(const std::string& body);

}  // namespace qsim
