// The host's end of a simulator port for tests: opens the slave side raw and
// reads replies up to a terminator with a generous deadline.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

class HostPort {
 public:
  explicit HostPort(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ >= 0) {
      termios t{};
      tcgetattr(fd_, &t);
      cfmakeraw(&t);
      tcsetattr(fd_, TCSANOW, &t);
    }
  }
  ~HostPort() { Close(); }
  bool Ok() const { return fd_ >= 0; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  void Write(const std::string& s) {
    size_t done = 0;
    while (done < s.size()) {
      ssize_t n = ::write(fd_, s.data() + done, s.size() - done);
      if (n > 0) done += static_cast<size_t>(n);
      else poll(nullptr, 0, 1);
    }
  }
  // Reads until `until` appears in what was read (or the deadline passes).
  std::string ReadUntil(const std::string& until, int timeoutMs = 5000) {
    std::string got;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.find(until) == std::string::npos && std::chrono::steady_clock::now() < end) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
        char buf[1024];
        ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
      }
    }
    return got;
  }
  // Everything that arrives within ms.
  std::string ReadFor(int ms) { return ReadUntil(std::string(1, '\0') + "never", ms); }
  std::string Ask(const std::string& cmd, const std::string& until, int timeoutMs = 5000) {
    Write(cmd);
    return ReadUntil(until, timeoutMs);
  }

 private:
  int fd_ = -1;
};
