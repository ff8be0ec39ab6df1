// Pieces shared by the simulated devices that speak the instrument command
// protocol: a command line ends in a carriage return and is answered with
// text, a carriage return and the prompt '>'.
#pragma once

#include <string>
#include <string_view>

namespace qsim {

// Collects command lines byte by byte. Line feeds are ignored. A character
// from `controls` that arrives while no line is being typed is reported on
// its own; inside a line it is ordinary text.
class LineAssembler {
 public:
  enum class Event { Nothing, Line, Control, Overflow };

  explicit LineAssembler(std::string controls = "", size_t maxLength = 256)
      : controls_(std::move(controls)), max_(maxLength) {}

  Event Feed(char c);
  // The finished line (without its carriage return), or the control character.
  const std::string& Text() const { return text_; }
  bool Typing() const { return !line_.empty(); }
  void Clear() { line_.clear(); }

 private:
  std::string controls_;
  size_t max_;
  std::string line_;
  std::string text_;
  bool overflow_ = false;
};

// A command line split as "word -option argument".
struct CommandWords {
  std::string word;
  std::string option;    // without the dash; empty when none
  std::string argument;  // the rest after one blank
};
CommandWords SplitCommand(std::string_view line);

// text + "\r>"
std::string Prompted(std::string_view text);

}  // namespace qsim
