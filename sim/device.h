// Simulated devices at the far end of a serial line.
//
// A Device takes bytes from the side nearer the host (Receive), answers
// towards the host (Emit), and may have one device chained behind it
// (Attach): a reader with a sensor behind it, a radio modem with an
// instrument behind it. A device talks to the one behind it with SendDown;
// whatever that one emits arrives in FromDownstream, which by default goes
// straight on towards the host.
//
// All devices of one chain share a SimContext: the simulated clock, the
// journal of events and the fault plan. Every call into a chain is made
// with the runner's lock held, so devices need no locking of their own.
#pragma once

#include <cstdint>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "faults.h"

namespace qsim {

// Small deterministic generator (xorshift64*): the same seed gives the same
// fault pattern on every machine.
class Rng {
 public:
  explicit Rng(uint64_t seed = 1) { Seed(seed); }
  void Seed(uint64_t seed) { state_ = seed ? seed : 0x9E3779B97F4A7C15ull; }
  uint64_t Next();
  // True with the given probability (0..1).
  bool Chance(double p);

 private:
  uint64_t state_;
};

// Notes that devices make as they work ("reader: mode relay",
// "loader: X 08000 erased"). Tests assert on them; the tool can print them.
class Journal {
 public:
  void Note(std::string line);
  std::vector<std::string> Lines() const;
  bool Contains(std::string_view needle) const;
  void Clear();
  // Called for every line as it is noted (the tool's --verbose).
  void SetEcho(std::function<void(const std::string&)> echo) { echo_ = std::move(echo); }

 private:
  mutable std::mutex mu_;
  std::vector<std::string> lines_;
  std::function<void(const std::string&)> echo_;
};

struct SimContext {
  uint64_t nowMs = 0;     // monotonic milliseconds, updated by the runner
  long baudRequest = 0;   // a device switched its line rate ("set -baud"); the runner paces at it
  int lineFd = -1;        // the line (pty master) while the runner runs, for reading its termios
  Journal journal;
  FaultPlan faults;
};

// Where a device's output goes.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual void Put(const char* data, size_t n) = 0;
};

class Device {
 public:
  Device();
  virtual ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // Kind word of the device ("sendra", "sensor", ...), as in the registry.
  virtual const char* Kind() const = 0;

  // Bytes from the host side.
  virtual void Receive(const char* data, size_t n) = 0;
  void Receive(std::string_view s) { Receive(s.data(), s.size()); }

  // Called every few milliseconds; the default passes the tick on down.
  virtual void Tick();

  // The device is plugged in again (power cycle of this device only).
  virtual void Restart() {}

  // The link on the host side was let go: the host closed the port, or the
  // device in front stopped bridging bytes to this one. Default: pass on.
  virtual void LinkClosed();

  // Chains `next` behind this device and returns it.
  Device* Attach(std::unique_ptr<Device> next);
  Device* Downstream() const { return next_.get(); }

  // Installs the output and the shared context (the runner does this for the
  // first device; Attach does it for the ones behind).
  void Connect(ByteSink* up, SimContext* ctx);

  SimContext& Ctx() { return *ctx_; }
  uint64_t Now() const { return ctx_->nowMs; }
  void Note(std::string line) { ctx_->journal.Note(std::string(Kind()) + ": " + line); }
  FaultPlan& Faults() { return ctx_->faults; }

 protected:
  void Emit(const char* data, size_t n);
  void Emit(std::string_view s) { Emit(s.data(), s.size()); }
  void SendDown(const char* data, size_t n);
  void SendDown(std::string_view s) { SendDown(s.data(), s.size()); }
  // Output of the device behind this one; default: on towards the host.
  virtual void FromDownstream(const char* data, size_t n) { Emit(data, n); }

 private:
  class DownSink : public ByteSink {
   public:
    explicit DownSink(Device* owner) : owner_(owner) {}
    void Put(const char* data, size_t n) override { owner_->FromDownstream(data, n); }

   private:
    Device* owner_;
  };

  ByteSink* up_ = nullptr;
  SimContext* ctx_ = nullptr;
  SimContext ownCtx_;  // used until Connect gives a shared one
  std::unique_ptr<Device> next_;
  DownSink downSink_{this};
};

// Options of the tool and of device factories: "--name value" pairs and
// "--flag" switches, by name without the dashes.
class Options {
 public:
  void Set(const std::string& key, const std::string& value) { values_[key] = value; }
  bool Has(const std::string& key) const { return values_.count(key) != 0; }
  std::string Get(const std::string& key, const std::string& fallback = "") const;
  long GetInt(const std::string& key, long fallback) const;
  double GetReal(const std::string& key, double fallback) const;
  const std::map<std::string, std::string>& All() const { return values_; }

 private:
  std::map<std::string, std::string> values_;
};

// One option a device kind understands, for --help and for parsing.
struct OptionInfo {
  std::string name;  // without the dashes
  std::string arg;   // empty for a switch
  std::string help;
};

// The kinds of device the tool can start by name. Each device file registers
// its kind with a static KindRegistrar.
struct KindInfo {
  std::string name;
  std::string summary;
  std::vector<OptionInfo> options;
  // Builds the device from the options; on a bad option value returns null
  // and puts a message in `error`.
  std::function<std::unique_ptr<Device>(const Options&, std::string& error)> make;
};

class KindRegistry {
 public:
  static KindRegistry& Instance();
  void Add(KindInfo info);
  const KindInfo* Find(const std::string& name) const;
  const std::vector<KindInfo>& All() const { return kinds_; }

 private:
  std::vector<KindInfo> kinds_;
};

struct KindRegistrar {
  explicit KindRegistrar(KindInfo info) { KindRegistry::Instance().Add(std::move(info)); }
};

}  // namespace qsim
