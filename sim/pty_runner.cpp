#include "pty_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace qsim {

namespace {

double MonoMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

PtyRunner::PtyRunner(std::unique_ptr<Device> head, LineOptions line)
    : head_(std::move(head)), line_(std::move(line)), rng_(line_.seed) {
  head_->Connect(&sink_, &ctx_);
}

PtyRunner::~PtyRunner() { Stop(); }

bool PtyRunner::Start(std::string* error) {
  if (running_) return true;
  int slave = -1;
  char name[128] = {0};
  if (openpty(&master_, &slave, name, nullptr, nullptr) != 0) {
    if (error) *error = std::string("openpty: ") + std::strerror(errno);
    return false;
  }
  // Raw line: no echo, no line editing, no CR/LF translation. The host sets
  // its own modes when it opens the port; these hold for a host that does not.
  termios tio{};
  if (tcgetattr(slave, &tio) == 0) {
    cfmakeraw(&tio);
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    tcsetattr(slave, TCSANOW, &tio);
  }
  // The slave is not held open here, so the master sees the host hang up.
  close(slave);
  int flags = fcntl(master_, F_GETFL);
  fcntl(master_, F_SETFL, flags | O_NONBLOCK);
  portName_ = name;

  if (!line_.link.empty()) {
    struct stat st{};
    if (lstat(line_.link.c_str(), &st) == 0) {
      if (!S_ISLNK(st.st_mode)) {
        if (error) *error = "refusing to replace " + line_.link + ": not a symlink";
        close(master_);
        master_ = -1;
        return false;
      }
      unlink(line_.link.c_str());
    }
    if (symlink(portName_.c_str(), line_.link.c_str()) != 0) {
      if (error) *error = "symlink " + line_.link + ": " + std::strerror(errno);
      close(master_);
      master_ = -1;
      return false;
    }
    linkMade_ = true;
  }
  ctx_.nowMs = static_cast<uint64_t>(MonoMs());
  ctx_.lineFd = master_;
  running_ = true;
  thread_ = std::thread([this] { Loop(); });
  return true;
}

void PtyRunner::Stop() {
  if (running_.exchange(false) && thread_.joinable()) thread_.join();
  if (linkMade_) {
    // remove it only if it still points at our port
    char target[256] = {0};
    ssize_t n = readlink(line_.link.c_str(), target, sizeof target - 1);
    if (n > 0 && portName_ == std::string(target, static_cast<size_t>(n))) unlink(line_.link.c_str());
    linkMade_ = false;
  }
  ctx_.lineFd = -1;
  if (master_ >= 0) {
    close(master_);
    master_ = -1;
  }
}

std::string PtyRunner::Received() const {
  std::lock_guard<std::mutex> lock(mu_);
  return received_;
}

std::string PtyRunner::Sent() const {
  std::lock_guard<std::mutex> lock(mu_);
  return sent_;
}

void PtyRunner::ClearTranscript() {
  std::lock_guard<std::mutex> lock(mu_);
  received_.clear();
  sent_.clear();
}

void PtyRunner::PullCable() {
  std::lock_guard<std::mutex> lock(mu_);
  if (!pulled_) ctx_.journal.Note("line: cable pulled");
  pulled_ = true;
  in_.clear();
  out_.clear();
}

void PtyRunner::PlugIn() {
  std::lock_guard<std::mutex> lock(mu_);
  if (!pulled_) return;
  pulled_ = false;
  line_.pullAfter = -1;
  ctx_.journal.Note("line: cable plugged in again");
  head_->Restart();
}

bool PtyRunner::CablePulled() const {
  std::lock_guard<std::mutex> lock(mu_);
  return pulled_;
}

void PtyRunner::SetBaud(long baud) {
  std::lock_guard<std::mutex> lock(mu_);
  line_.baud = baud;
}

void PtyRunner::OnHostClosed(std::function<void(Device&)> callback) {
  std::lock_guard<std::mutex> lock(mu_);
  onHostClosed_ = std::move(callback);
}

bool PtyRunner::WaitFor(const std::function<bool()>& pred, int timeoutMs) {
  double end = MonoMs() + timeoutMs;
  while (!pred()) {
    if (MonoMs() > end) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void PtyRunner::Queue(const char* data, size_t n) {
  if (pulled_ || !hostOpen_) return;  // nobody on the line to hear it
  for (size_t i = 0; i < n; ++i) {
    char c = data[i];
    if (line_.corruptRate > 0 && rng_.Chance(line_.corruptRate)) c = static_cast<char>(c ^ (1 << (rng_.Next() % 8)));
    out_.push_back(c);
  }
}

void PtyRunner::FeedInput(double now) {
  double byteMs = ByteMs();
  if (inClock_ < now - byteMs) inClock_ = now - byteMs;
  std::string batch;
  while (!in_.empty()) {
    if (byteMs > 0) {
      if (inClock_ + byteMs > now) break;
      inClock_ += byteMs;
    }
    batch.push_back(in_.front());
    in_.pop_front();
    if (byteMs > 0) {
      // a paced line delivers one character at a time
      received_ += batch;
      head_->Receive(batch.data(), batch.size());
      batch.clear();
    }
  }
  if (!batch.empty()) {
    received_ += batch;
    head_->Receive(batch.data(), batch.size());
  }
}

void PtyRunner::FlushOutput(double now) {
  if (out_.empty() || master_ < 0) return;
  double byteMs = ByteMs();
  if (outClock_ < now - byteMs) outClock_ = now - byteMs;
  char buf[512];
  size_t n = 0;
  while (n < sizeof buf && n < out_.size()) {
    if (byteMs > 0) {
      if (outClock_ + byteMs > now) break;
      outClock_ += byteMs;
    }
    buf[n] = out_[n];
    ++n;
  }
  if (n == 0) return;
  ssize_t w = write(master_, buf, n);
  if (w > 0) {
    sent_.append(buf, static_cast<size_t>(w));
    out_.erase(out_.begin(), out_.begin() + w);
    if (byteMs > 0 && static_cast<size_t>(w) < n) outClock_ -= byteMs * static_cast<double>(n - static_cast<size_t>(w));
  } else if (byteMs > 0) {
    outClock_ -= byteMs * static_cast<double>(n);
  }
}

void PtyRunner::Loop() {
  char buf[512];
  while (running_) {
    int timeout = 5;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!out_.empty() || !in_.empty()) timeout = 1;
    }
    pollfd p{master_, POLLIN, 0};
    int r = poll(&p, 1, timeout);
    double now = MonoMs();
    std::lock_guard<std::mutex> lock(mu_);
    ctx_.nowMs = static_cast<uint64_t>(now);
    if (r > 0 && (p.revents & POLLHUP) && !(p.revents & POLLIN)) {
      // nobody holds the slave side
      if (hostOpen_) {
        hostOpen_ = false;
        out_.clear();
        in_.clear();
        ctx_.journal.Note("line: host closed the port");
        head_->LinkClosed();
        if (onHostClosed_) onHostClosed_(*head_);
      }
      head_->Tick();
      mu_.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      mu_.lock();
      continue;
    }
    if (!hostOpen_) {
      hostOpen_ = true;
      ++hostOpens_;
      ctx_.journal.Note("line: host opened the port");
    }
    if (r > 0 && (p.revents & POLLIN)) {
      ssize_t n = read(master_, buf, sizeof buf);
      for (ssize_t i = 0; i < n; ++i) {
        if (pulled_) break;
        if (line_.dropRate > 0 && rng_.Chance(line_.dropRate)) {
          ++receivedCount_;
          continue;
        }
        in_.push_back(buf[i]);
        ++receivedCount_;
        if (line_.pullAfter >= 0 && receivedCount_ >= line_.pullAfter) {
          ctx_.journal.Note("line: cable pulled");
          pulled_ = true;
          // what already reached the device still counts; the rest is lost
          FeedInput(now + 1e9);
          out_.clear();
          break;
        }
      }
    }
    if (!pulled_) FeedInput(now);
    head_->Tick();
    if (ctx_.baudRequest > 0) {
      // a device changed its line rate; a paced line follows it
      if (line_.baud > 0) line_.baud = ctx_.baudRequest;
      ctx_.baudRequest = 0;
    }
    if (!pulled_) FlushOutput(now);
  }
}

}  // namespace qsim
