// A KALEN_Protocol object on a real pseudo-terminal with simulated devices
// at the far end, and the diagnostic log it writes.
#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "diag/quarlog.h"
#include "instrument/kalen_protocol.h"
#include "sim/logger_device.h"
#include "sim/old_logger_device.h"
#include "sim/pty_runner.h"
#include "sim/radio_modem_device.h"

class KalenBench {
public:
    explicit KalenBench(std::unique_ptr<qsim::Device> head) {
        static std::atomic<int> counter{0};
        logPath_ = "/tmp/quarbsl-instrument-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".log";
        log_ = std::make_unique<QuarLog>(logPath_.c_str(), 30, true);
        runner_ = std::make_unique<qsim::PtyRunner>(std::move(head));
        std::string error;
        started_ = runner_->Start(&error);
        EXPECT_TRUE(started_) << error;
        proto_ = std::make_unique<KALEN_Protocol>(log_.get());
    }
    ~KalenBench() {
        proto_.reset();
        runner_->Stop();
        log_.reset();
        std::remove(logPath_.c_str());
    }

    KALEN_Protocol& P() { return *proto_; }
    qsim::PtyRunner& Runner() { return *runner_; }
    const std::string& Port() const { return runner_->PortName(); }

    // Runs f on the first device of the chain, cast to its class.
    template <class D, class F>
    auto With(F f) {
        return runner_->WithDevices([&](qsim::Device& d) { return f(dynamic_cast<D&>(d)); });
    }
    template <class D, class F>
    auto WithSecond(F f) {
        return runner_->WithDevices([&](qsim::Device& d) { return f(dynamic_cast<D&>(*d.Downstream())); });
    }

    // Serial (or radio) connection at a baud index.
    int Connect(uint8_t linkType = kLinkSerial, int8_t baudIndex = 2, ConnectRecord* out = nullptr) {
        ConnectRecord record{};
        EXPECT_EQ(1, SetConnectPortName(&record, Port().c_str()));
        record.linkType = linkType;
        record.baudIndex = baudIndex;
        int r = proto_->ConnectDevice(&record);
        if (out) *out = record;
        return r;
    }

    // Opens the port without logging in, for exchange-level tests.
    void Open(uint32_t tries = 3) {
        ASSERT_EQ(1, proto_->QSOpen(Port().c_str(), 9600));
        proto_->tries = tries;
    }

    std::string Log() const {
        std::ifstream in(logPath_, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    bool Logged(const std::string& text) const { return Log().find(text) != std::string::npos; }
    size_t CountLogged(const std::string& text) const {
        std::string log = Log();
        size_t n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + text.size())) ++n;
        return n;
    }

    // How often the host sent `text` since the transcript was cleared.
    size_t Sent(const std::string& text) const {
        std::string r = runner_->Received();
        size_t n = 0;
        for (size_t at = r.find(text); at != std::string::npos; at = r.find(text, at + text.size())) ++n;
        return n;
    }

private:
    std::string logPath_;
    std::unique_ptr<QuarLog> log_;
    std::unique_ptr<qsim::PtyRunner> runner_;
    std::unique_ptr<KALEN_Protocol> proto_;
    bool started_ = false;
};

inline std::unique_ptr<qsim::Device> MakeLogger(const qsim::LoggerConfig& config) {
    return std::make_unique<qsim::LoggerDevice>(config);
}
