// A facade talking to a chain of simulated devices over a real
// pseudo-terminal, with its log in a file of its own.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "diag/quarlog.h"
#include "facade/quar_protocol.h"
#include "sim/bench_instrument_device.h"
#include "sim/pty_runner.h"

class FacadeRig {
public:
    explicit FacadeRig(std::unique_ptr<qsim::Device> chain) : runner_(std::move(chain)) {
        char tmpl[] = "/tmp/quar_facade_XXXXXX";
        dir_ = mkdtemp(tmpl);
        logPath_ = dir_ + "/facade.errors.txt";
        log_ = std::make_unique<QuarLog>(logPath_.c_str(), 30, true);
        started_ = runner_.Start(nullptr);
        NewRun();
    }
    ~FacadeRig() {
        qp_.reset();
        runner_.Stop();
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }

    // The facade of a new program run: nothing captured in memory.
    Quar_protocol& NewRun() {
        qp_.reset();
        qp_ = std::make_unique<Quar_protocol>(log_.get());
        return *qp_;
    }

    bool Started() const { return started_; }
    Quar_protocol& Qp() { return *qp_; }
    qsim::PtyRunner& Runner() { return runner_; }
    const std::string& PortName() const { return runner_.PortName(); }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    const std::string& Dir() const { return dir_; }

    int Connect() {
        DeviceInfo info{};
        return qp_->QPConnect(runner_.PortName().c_str(), 2, 3, &info);
    }

    std::string Log() const { return Slurp(logPath_); }
    bool Logged(const std::string& line) const { return Log().find(line) != std::string::npos; }

    static std::string Slurp(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

    template <class D, class F>
    auto With(F f) {
        return runner_.WithDevices([&](qsim::Device& head) { return f(static_cast<D&>(head)); });
    }

private:
    qsim::PtyRunner runner_;
    std::string dir_;
    std::string logPath_;
    std::unique_ptr<QuarLog> log_;
    std::unique_ptr<Quar_protocol> qp_;
    bool started_ = false;
};

inline std::unique_ptr<qsim::Device> Bench(const std::string& kind, const std::string& version) {
    qsim::BenchConfig c;
    c.kindWord = kind;
    c.version = version;
    c.settings = qsim::BenchSettingsFor(kind);
    return std::make_unique<qsim::BenchInstrument>(c);
}
