#include "sim/radio_modem_device.h"

#include <cstdio>
#include <cstdlib>

#include "sim/logger_device.h"

namespace qsim {

namespace {

std::string Hex(long v) {
    char b[24];
    std::snprintf(b, sizeof b, "%lX", v);
    return b;
}

bool ParseHex(const std::string& s, long* v) {
    if (s.empty()) return false;
    char* end = nullptr;
    long x = std::strtol(s.c_str(), &end, 16);
    if (*end) return false;
    *v = x;
    return true;
}

}  // namespace

RadioModemDevice::RadioModemDevice(RadioModemConfig config) : cfg_(std::move(config)) {}

bool RadioModemDevice::InReach() {
    auto* logger = dynamic_cast<LoggerDevice*>(Downstream());
    if (!logger) return true;
    return logger->Config().rch == cfg_.channel && logger->Config().rsch == cfg_.subchannel;
}

void RadioModemDevice::Forward(const char* data, size_t n) {
    if (cfg_.relayEcho) Emit(data, n);
    if (InReach()) SendDown(data, n);
}

void RadioModemDevice::FromDownstream(const char* data, size_t n) {
    if (!commandMode_ && InReach()) Emit(data, n);
}

void RadioModemDevice::Receive(const char* data, size_t n) {
    std::string pass;  // data-mode bytes go on in one piece
    for (size_t i = 0; i < n; ++i) {
        char c = data[i];
        if (commandMode_) {
            if (c == '\n') continue;
            if (c == '\r') {
                std::string line;
                line.swap(line_);
                if (!line.empty()) AtLine(line);
            } else if (line_.size() < 64) {
                line_.push_back(c);
            }
            continue;
        }
        if (c == '+') {
            if (++pluses_ == 3) {
                pluses_ = 0;
                if (Faults().Silent("tk9.+++")) {
                    Note("silent: +++");
                    continue;
                }
                Forward(pass.data(), pass.size());
                pass.clear();
                commandMode_ = true;
                line_.clear();
                Note("command mode");
                Emit("OK\r");
            }
            continue;
        }
        if (pluses_ > 0) {
            pass.append(static_cast<size_t>(pluses_), '+');
            pluses_ = 0;
        }
        pass.push_back(c);
    }
    if (!commandMode_ && !pass.empty()) Forward(pass.data(), pass.size());
}

void RadioModemDevice::AtLine(const std::string& line) {
    std::string cmd = line.substr(0, 4);
    if (Faults().Silent("tk9." + cmd)) {
        Note("silent: " + line);
        return;
    }
    std::string arg = line.size() > 4 ? line.substr(4) : "";
    long v = 0;
    if (cmd == "ATHP" || cmd == "ATDT") {
        int& field = cmd == "ATHP" ? cfg_.channel : cfg_.subchannel;
        if (arg.empty()) {
            Emit(Hex(field) + "\r");
        } else if (ParseHex(arg, &v)) {
            field = static_cast<int>(v);
            Note(cmd + " " + std::to_string(field));
            Emit("OK\r");
        } else {
            Emit("ERROR\r");
        }
    } else if (cmd == "ATVR" && arg.empty()) {
        Emit(cfg_.version + "\r");
    } else if (cmd == "ATWR" && arg.empty()) {
        ++stores_;
        Note("configuration stored");
        Emit("OK\r");
    } else if (cmd == "ATCN" && arg.empty()) {
        commandMode_ = false;
        Note("data mode");
        Emit("OK\r");
    } else {
        Emit("ERROR\r");
    }
}

namespace {

std::unique_ptr<Device> MakeModem(const Options& o, std::string& error) {
    RadioModemConfig c;
    c.channel = static_cast<int>(o.GetInt("channel", c.channel));
    c.subchannel = static_cast<int>(o.GetInt("subchannel", c.subchannel));
    c.relayEcho = o.Has("relay-echo");
    if (c.channel < 0 || c.subchannel < 0) {
        error = "--channel and --subchannel want numbers of 0 or more";
        return nullptr;
    }
    return std::make_unique<RadioModemDevice>(c);
}

const std::vector<OptionInfo> kModemOptions = {
    {"channel", "N", "the modem's channel (default 0)"},
    {"subchannel", "N", "the modem's sub-channel (default 0)"},
    {"relay-echo", "", "fault: a relay sends every byte back"},
};

KindRegistrar modemKind({"tk9", "a host radio modem; chain a logger --over-radio behind it", kModemOptions, MakeModem});

}  // namespace

}  // namespace qsim
