// A scripted far end on a pseudo-terminal, for the few exchanges the device
// simulator cannot produce (odd reply bytes, exact frame bytes). The test
// holds the master; the host opens the slave. Every carriage-return-ended
// frame the host writes is recorded and answered by the responder.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class PtyPeer {
public:
    using Responder = std::function<std::string(const std::string& frame, size_t index)>;

    explicit PtyPeer(Responder responder) : respond(std::move(responder)) {
        char name[128] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return;
        slaveName = name;
        termios t{};
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
        worker = std::thread([this] { Run(); });
    }
    ~PtyPeer() {
        stop = true;
        if (worker.joinable()) worker.join();
        if (slave >= 0) close(slave);
        if (master >= 0) close(master);
    }
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    bool Ok() const { return master >= 0 && !slaveName.empty(); }
    const std::string& SlaveName() const { return slaveName; }

    std::vector<std::string> Frames() {
        std::lock_guard<std::mutex> lock(mu);
        return frames;
    }
    // Line speed of the port when each frame had arrived.
    std::vector<speed_t> Speeds() {
        std::lock_guard<std::mutex> lock(mu);
        return speeds;
    }

private:
    void Run() {
        std::string pending;
        while (!stop) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            if ((p.revents & POLLIN) == 0) {
                usleep(10000);  // the slave side is closed for a moment
                continue;
            }
            char buf[1024];
            const ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0) {
                usleep(10000);
                continue;
            }
            for (ssize_t i = 0; i < n; ++i) {
                pending += buf[i];
                if (buf[i] != '\r' && buf[i] != 'P') continue;
                if (buf[i] == 'P' && pending.size() != 1) continue;  // 'P' alone is a command
                std::string reply;
                {
                    // The responder runs under the lock, so what it notes is
                    // visible to a test that has called Frames() since.
                    std::lock_guard<std::mutex> lock(mu);
                    frames.push_back(pending);
                    termios t{};
                    tcgetattr(master, &t);
                    speeds.push_back(cfgetospeed(&t));
                    reply = respond(pending, frames.size() - 1);
                }
                pending.clear();
                if (!reply.empty()) {
                    ssize_t w = write(master, reply.data(), reply.size());
                    (void)w;
                }
            }
        }
    }

    Responder respond;
    int master = -1;
    int slave = -1;
    std::string slaveName;
    std::thread worker;
    std::atomic<bool> stop{false};
    std::mutex mu;
    std::vector<std::string> frames;
    std::vector<speed_t> speeds;
};
