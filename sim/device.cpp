#include "device.h"

#include <cstdlib>

namespace qsim {

uint64_t Rng::Next() {
  state_ ^= state_ >> 12;
  state_ ^= state_ << 25;
  state_ ^= state_ >> 27;
  return state_ * 0x2545F4914F6CDD1Dull;
}

bool Rng::Chance(double p) {
  if (p <= 0) return false;
  if (p >= 1) return true;
  return static_cast<double>(Next() >> 11) / 9007199254740992.0 < p;
}

void Journal::Note(std::string line) {
  std::function<void(const std::string&)> echo;
  {
    std::lock_guard<std::mutex> lock(mu_);
    lines_.push_back(line);
    echo = echo_;
  }
  if (echo) echo(line);
}

std::vector<std::string> Journal::Lines() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lines_;
}

bool Journal::Contains(std::string_view needle) const {
  std::lock_guard<std::mutex> lock(mu_);
  for (const std::string& l : lines_)
    if (l.find(needle) != std::string::npos) return true;
  return false;
}

void Journal::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  lines_.clear();
}

Device::Device() : ctx_(&ownCtx_) {}
Device::~Device() = default;

void Device::Tick() {
  if (next_) next_->Tick();
}

void Device::LinkClosed() {
  if (next_) next_->LinkClosed();
}

Device* Device::Attach(std::unique_ptr<Device> next) {
  next_ = std::move(next);
  if (next_) next_->Connect(&downSink_, ctx_);
  return next_.get();
}

void Device::Connect(ByteSink* up, SimContext* ctx) {
  up_ = up;
  ctx_ = ctx ? ctx : &ownCtx_;
  if (next_) next_->Connect(&downSink_, ctx_);
}

void Device::Emit(const char* data, size_t n) {
  if (up_ && n) up_->Put(data, n);
}

void Device::SendDown(const char* data, size_t n) {
  if (next_ && n) next_->Receive(data, n);
}

std::string Options::Get(const std::string& key, const std::string& fallback) const {
  auto it = values_.find(key);
  return it == values_.end() ? fallback : it->second;
}

long Options::GetInt(const std::string& key, long fallback) const {
  auto it = values_.find(key);
  if (it == values_.end()) return fallback;
  const std::string& t = it->second;
  int base = (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) ? 16 : 10;
  char* end = nullptr;
  long v = std::strtol(t.c_str(), &end, base);
  return (end == t.c_str() || *end != '\0') ? fallback : v;
}

double Options::GetReal(const std::string& key, double fallback) const {
  auto it = values_.find(key);
  if (it == values_.end()) return fallback;
  char* end = nullptr;
  double v = std::strtod(it->second.c_str(), &end);
  return (end == it->second.c_str() || *end != '\0') ? fallback : v;
}

KindRegistry& KindRegistry::Instance() {
  static KindRegistry registry;
  return registry;
}

void KindRegistry::Add(KindInfo info) {
  for (KindInfo& k : kinds_)
    if (k.name == info.name) {
      k = std::move(info);
      return;
    }
  kinds_.push_back(std::move(info));
}

const KindInfo* KindRegistry::Find(const std::string& name) const {
  for (const KindInfo& k : kinds_)
    if (k.name == name) return &k;
  return nullptr;
}

}  // namespace qsim
