#include "sim/settings_store.h"

#include <cctype>
#include <cstdlib>

namespace qsim {

namespace {

// A record or slot index: digits only, below limit.
bool Index(const std::string& text, size_t limit, size_t* index, std::string* rest) {
  size_t i = 0;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
  if (i == 0 || i > 4) return false;
  size_t n = std::strtoul(text.substr(0, i).c_str(), nullptr, 10);
  if (n >= limit) return false;
  *index = n;
  if (rest) *rest = i < text.size() && text[i] == ' ' ? text.substr(i + 1) : std::string();
  else if (i != text.size()) return false;
  return true;
}

bool IsNumberWord(const std::string& word) {
  return word == "lang" || word == "contr" || word == "int" || word == "tau";
}

constexpr size_t kMaxRecords = 100;

}  // namespace

std::string Answer(const std::string& body) { return "\r" + body + "\r>"; }

bool SettingsStore::Handle(const CommandWords& w, std::string* body) {
  if (w.word == "reset" && hasRecords && (w.option == "users" || w.option == "eqn")) {
    (w.option == "users" ? users : eqns).clear();
    *body = "OK";
    return true;
  }
  if (w.word != "get" && w.word != "set") return false;
  const bool get = w.word == "get";

  if (hasCal && w.option == "cal") {
    size_t slot = 0;
    std::string value;
    if (get ? !Index(w.argument, cal.size(), &slot, nullptr)
            : !Index(w.argument, cal.size(), &slot, &value) || value.empty()) {
      *body = "ERROR";
    } else if (get) {
      *body = cal[slot].empty() ? "ERROR" : cal[slot];
    } else {
      cal[slot] = value;
      *body = "OK";
    }
    return true;
  }

  if (hasRecords && (w.option == "user" || w.option == "eqn")) {
    std::vector<std::string>& set = w.option == "user" ? users : eqns;
    if (get && w.argument.empty()) {
      *body = refuseCounts ? "ERROR" : std::to_string(set.size());
      return true;
    }
    size_t index = 0;
    std::string text;
    if (get) {
      if (!Index(w.argument, kMaxRecords, &index, nullptr) || index >= set.size())
        *body = "ERROR";
      else
        *body = set[index];
    } else if (!Index(w.argument, kMaxRecords, &index, &text) || text.empty() ||
               index > set.size()) {
      // records are written in order from 0
      *body = "ERROR";
    } else {
      if (index == set.size()) set.push_back(text);
      else set[index] = text;
      *body = "OK";
    }
    return true;
  }

  auto it = values.find(w.option);
  if (it == values.end()) return false;
  if (get) {
    *body = it->second;
  } else if (w.argument.empty()) {
    *body = "ERROR";
  } else {
    it->second = w.argument;
    *body = "OK";
  }
  return true;
}

void SettingsStore::Reset() {
  for (auto& [word, value] : values) value = IsNumberWord(word) ? "0" : "";
  for (auto& slot : cal) slot.clear();
  users.clear();
  eqns.clear();
}

}  // namespace qsim
