// Runs a chain of simulated devices on the master side of a pseudo-terminal.
//
// The host opens the slave side (PortName, or the symlink) as its serial
// port. A thread moves bytes between the master and the first device of the
// chain, ticks the chain every few milliseconds, and keeps going when the
// host closes the port and opens it again. While nobody holds the port the
// devices' output is thrown away, as on a line with nobody listening.
//
// Line faults handled here: pacing at a baud rate (every byte in both
// directions takes the time a 10-bit character takes at that rate), bytes
// from the host lost at a rate, bytes to the host corrupted at a rate, and a
// cable pulled after a number of received bytes.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "device.h"

namespace qsim {

struct LineOptions {
  long baud = 0;             // pace bytes as on a line of this rate; 0: no pacing
  long pullAfter = -1;       // pull the cable once this many bytes were received
  double dropRate = 0;       // bytes from the host that are lost
  double corruptRate = 0;    // bytes to the host that arrive corrupted
  uint64_t seed = 1;         // seed of the drop and corruption pattern
  std::string link;          // make this symlink to the slave port
};

class PtyRunner {
 public:
  explicit PtyRunner(std::unique_ptr<Device> head, LineOptions line = {});
  ~PtyRunner();
  PtyRunner(const PtyRunner&) = delete;
  PtyRunner& operator=(const PtyRunner&) = delete;

  // Opens the pseudo-terminal, makes the symlink and starts the thread.
  bool Start(std::string* error = nullptr);
  // Stops the thread, removes the symlink and closes the master.
  void Stop();

  const std::string& PortName() const { return portName_; }

  // Runs f on the first device with the chain locked.
  template <class F>
  auto WithDevices(F f) {
    std::lock_guard<std::mutex> lock(mu_);
    return f(*head_);
  }
  Device& Head() { return *head_; }  // only while the thread is stopped
  SimContext& Context() { return ctx_; }

  // Bytes the devices received from the host, and bytes written to the host.
  std::string Received() const;
  std::string Sent() const;
  void ClearTranscript();

  // Pulls the cable now: nothing passes in either direction.
  void PullCable();
  // Plugs the cable in again; the first device restarts (the reader's
  // "plugged in again"), the devices behind it keep their state.
  void PlugIn();
  bool CablePulled() const;

  void SetBaud(long baud);

  // Called on the runner thread, with the chain locked, each time the host
  // closes the port after having opened it.
  void OnHostClosed(std::function<void(Device&)> callback);
  int HostOpens() const { return hostOpens_.load(); }
  bool HostHoldsPort() const { return hostOpen_.load(); }

  // Polls pred every 5 ms until it is true or timeoutMs passed.
  static bool WaitFor(const std::function<bool()>& pred, int timeoutMs);

 private:
  class OutSink : public ByteSink {
   public:
    explicit OutSink(PtyRunner* r) : r_(r) {}
    void Put(const char* data, size_t n) override { r_->Queue(data, n); }

   private:
    PtyRunner* r_;
  };

  void Loop();
  void Queue(const char* data, size_t n);  // called with mu_ held
  void FeedInput(double now);              // mu_ held
  void FlushOutput(double now);            // mu_ held
  double ByteMs() const { return line_.baud > 0 ? 10000.0 / static_cast<double>(line_.baud) : 0; }

  std::unique_ptr<Device> head_;
  LineOptions line_;
  SimContext ctx_;
  OutSink sink_{this};
  Rng rng_;

  mutable std::mutex mu_;
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::atomic<bool> hostOpen_{false};
  std::atomic<int> hostOpens_{0};
  int master_ = -1;
  std::string portName_;
  bool linkMade_ = false;

  std::deque<char> in_;
  std::deque<char> out_;
  double inClock_ = 0;
  double outClock_ = 0;
  long receivedCount_ = 0;
  bool pulled_ = false;
  std::string received_;
  std::string sent_;
  std::function<void(Device&)> onHostClosed_;
};

}  // namespace qsim
