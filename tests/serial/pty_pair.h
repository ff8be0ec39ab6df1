// A pseudo-terminal whose master the test holds as the far end of the line.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

struct PtyPair {
    int master = -1;
    int slave = -1;  // kept open so the line stays up between opens
    std::string path;  // "/dev/pts/N"
    std::string name;  // "pts/N"

    PtyPair() {
        char buf[64];
        if (openpty(&master, &slave, buf, nullptr, nullptr) != 0) return;
        path = buf;
        name = path.substr(5);
    }
    ~PtyPair() {
        if (master >= 0) close(master);
        if (slave >= 0) close(slave);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return master >= 0; }

    void Send(const std::string& bytes) const {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t w = write(master, bytes.data() + done, bytes.size() - done);
            if (w <= 0) return;
            done += static_cast<size_t>(w);
        }
    }

    // Everything that arrives within waitMs of the last byte.
    std::string Receive(int waitMs = 300) const {
        std::string got;
        for (;;) {
            struct pollfd p {master, POLLIN, 0};
            if (poll(&p, 1, waitMs) <= 0 || !(p.revents & POLLIN)) break;
            char buf[512];
            ssize_t r = read(master, buf, sizeof buf);
            if (r <= 0) break;
            got.append(buf, static_cast<size_t>(r));
        }
        return got;
    }
};

// Holds the exclusive lock on a port as another program would.
struct PortHolder {
    int fd = -1;
    explicit PortHolder(const std::string& path) {
        fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
            close(fd);
            fd = -1;
        }
    }
    ~PortHolder() {
        if (fd >= 0) close(fd);
    }
    bool ok() const { return fd >= 0; }
};
