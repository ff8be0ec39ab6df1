#include "command_shell.h"

namespace qsim {

LineAssembler::Event LineAssembler::Feed(char c) {
  if (c == '\n') return Event::Nothing;
  if (c == '\r') {
    if (overflow_) {
      overflow_ = false;
      line_.clear();
      return Event::Overflow;
    }
    text_.swap(line_);
    line_.clear();
    return Event::Line;
  }
  if (line_.empty() && !overflow_ && controls_.find(c) != std::string::npos) {
    text_.assign(1, c);
    return Event::Control;
  }
  if (overflow_) return Event::Nothing;
  if (line_.size() >= max_) {
    overflow_ = true;
    line_.clear();
    return Event::Nothing;
  }
  line_.push_back(c);
  return Event::Nothing;
}

CommandWords SplitCommand(std::string_view line) {
  CommandWords w;
  size_t i = 0;
  while (i < line.size() && line[i] == ' ') ++i;
  size_t start = i;
  while (i < line.size() && line[i] != ' ') ++i;
  w.word.assign(line.substr(start, i - start));
  while (i < line.size() && line[i] == ' ') ++i;
  if (i < line.size() && line[i] == '-') {
    start = ++i;
    while (i < line.size() && line[i] != ' ') ++i;
    w.option.assign(line.substr(start, i - start));
    if (i < line.size()) ++i;
  }
  if (i < line.size()) w.argument.assign(line.substr(i));
  return w;
}

std::string Prompted(std::string_view text) {
  std::string s(text);
  s += "\r>";
  return s;
}

}  // namespace qsim
