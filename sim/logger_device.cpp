#include "sim/logger_device.h"

#include <termios.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "sim/command_shell.h"

namespace qsim {

namespace {

constexpr long kUnix2000 = 946684800L;

const long kBaudByCode[7] = {9600, 19200, 38400, 57600, 115200, 230400, 460800};

long SpeedToRate(speed_t s) {
    switch (s) {
    case B1200: return 1200;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    case B460800: return 460800;
    default: return 0;
    }
}

std::string Int(long v) { return std::to_string(v); }

std::string Hex(long v) {
    char b[24];
    std::snprintf(b, sizeof b, "%lX", v);
    return b;
}

bool ParseLong(const std::string& s, long* v, int base = 10) {
    if (s.empty()) return false;
    char* end = nullptr;
    long x = std::strtol(s.c_str(), &end, base);
    while (end && *end == ' ') ++end;
    if (end == s.c_str() || *end) return false;
    *v = x;
    return true;
}

std::vector<long> ParseNumbers(const std::string& s) {
    std::vector<long> out;
    const char* p = s.c_str();
    for (;;) {
        char* end = nullptr;
        long v = std::strtol(p, &end, 10);
        if (end == p) break;
        out.push_back(v);
        p = end;
    }
    return out;
}

std::string Position(double v) {
    if (v == 0) return "";
    char b[32];
    std::snprintf(b, sizeof b, "%+.5f", v);
    return b;
}

// The step name a command line counts under in the fault plan.
std::string StepName(const CommandWords& w) {
    std::string s = "kalen." + w.word;
    if (!w.option.empty()) s += "." + w.option;
    return s;
}

}  // namespace

LoggerDevice::LoggerDevice(LoggerConfig config)
    : cfg_(std::move(config)), clockAtSet_(cfg_.clock), asleep_(cfg_.overRadio && cfg_.asleep) {
    int trait = (cfg_.radioFitted ? 1 : 0) | (cfg_.cellFitted ? 8 : 0);
    traitByte_ = ~trait & 0xFF;
}

long LoggerDevice::Clock() const {
    return clockAtSet_ + static_cast<long>((Now() - clockSetMs_) / 1000);
}

void LoggerDevice::SetClock(long quarSeconds) {
    clockAtSet_ = quarSeconds;
    clockSetMs_ = Now();
    cfg_.clock = quarSeconds;
}

bool LoggerDevice::LineRateMatches() {
    int fd = Ctx().lineFd;
    if (fd < 0) return true;
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return true;
    long line = SpeedToRate(cfgetospeed(&tio));
    return line == 0 || line == cfg_.baud;
}

void LoggerDevice::Tick() {
    if (clockSetMs_ == 0) clockSetMs_ = Now();
    if (awakeSinceMs_ == 0) awakeSinceMs_ = Now();
    if (pendingBaud_) {
        // the "OK" has gone out at the old rate; now the logger switches
        cfg_.baud = pendingBaud_;
        Ctx().baudRequest = pendingBaud_;  // a paced line follows the new rate
        pendingBaud_ = 0;
        Note("baud " + Int(cfg_.baud));
    }
    if (cfg_.overRadio && !asleep_ && !loggedIn_ && Now() - awakeSinceMs_ > static_cast<uint64_t>(cfg_.awakeMs)) {
        asleep_ = true;
        Note("asleep again");
    }
    Device::Tick();
}

void LoggerDevice::Receive(const char* data, size_t n) {
    if (n == 0) return;
    if (!LineRateMatches()) {
        Note("bytes at the wrong line rate lost (logger at " + Int(cfg_.baud) + ")");
        line_.clear();
        return;
    }
    for (size_t i = 0; i < n; ++i) {
        char c = data[i];
        if (asleep_) {
            // asleep the radio only notices a train of carriage returns
            if (c == '\r') {
                ++crsHeard_;
                if (++crRun_ >= cfg_.wakeCrs) {
                    asleep_ = false;
                    awakeSinceMs_ = Now();
                    crRun_ = 0;
                    Note("woke up after " + Int(cfg_.wakeCrs) + " carriage returns");
                }
            } else {
                crRun_ = 0;
            }
            continue;
        }
        if (c == '\r') ++crsHeard_;
        if (c == '\n') continue;
        if (c == '\r') {
            std::string line;
            line.swap(line_);
            Line(line);
        } else if (line_.size() < 256) {
            line_.push_back(c);
        }
    }
}

void LoggerDevice::Answer(const std::string& body) { Emit(Prompted("\r" + body)); }

void LoggerDevice::Line(const std::string& line) {
    if (line.empty()) {
        // a blank line gets the prompt, except in the radio's query mode
        if (!cfg_.overRadio || loggedIn_) Emit("\r>");
        return;
    }
    CommandWords w = SplitCommand(line);
    if (Faults().Silent(StepName(w))) {
        Note("silent: " + line);
        return;
    }
    if (cfg_.echo) Emit(line + "\r");
    if (cfg_.overRadio && !loggedIn_) {
        if (w.word == "query") {
            Note("query answered");
            Emit(cfg_.name + "\r");
        } else if (w.word == "login" && w.option.empty() && (w.argument.empty() || w.argument == cfg_.name)) {
            loggedIn_ = true;
            Note("logged in over the radio");
            Emit("\r>");
        }
        return;
    }
    auto canned = cfg_.canned.find(line);
    if (canned != cfg_.canned.end()) {
        Emit(canned->second);
        return;
    }
    if (cfg_.errorAnswers > 0) {
        --cfg_.errorAnswers;
        Answer("ERROR");
        return;
    }
    if (cfg_.emptyAnswers > 0) {
        --cfg_.emptyAnswers;
        Emit("\r\r>");
        return;
    }
    Command(line);
}

void LoggerDevice::Command(const std::string& line) {
    CommandWords w = SplitCommand(line);
    const std::string& o = w.option;
    const std::string& a = w.argument;
    long v = 0;
    auto ok = [&] { Answer("OK"); };

    if (w.word == "login") {
        Emit("\r>");
        return;
    }
    if (w.word == "logout") {
        if (cfg_.overRadio) {
            loggedIn_ = false;
            asleep_ = true;
            Note("logged out, asleep");
        } else {
            Emit("\r>");
        }
        return;
    }
    if (w.word == "yes") {
        if (cfg_.dataFlashFail) {
            Answer("DataFlash FAIL");
            return;
        }
        cfg_.records = 0;
        Note("data erased");
        ok();
        return;
    }
    if (w.word == "get") {
        if (o == "ver") return Answer(cfg_.kindWord + " " + cfg_.version);
        if (o == "i") return Answer(cfg_.name);
        if (o == "devid") return Answer(cfg_.deviceId);
        if (o == "report") return Answer(Int(cfg_.reportMode));
        if (o == "depth" || o == "ports") {
            const int* d = o == "depth" ? cfg_.depth : cfg_.ports;
            return Answer(Int(d[0]) + " " + Int(d[1]) + " " + Int(d[2]) + " " + Int(d[3]) + " " + Int(d[4]));
        }
        if (o == "lat") return Answer(Position(cfg_.latitude));
        if (o == "long") return Answer(Position(cfg_.longitude));
        if (o == "tz") return Answer(Int(cfg_.timeZone));
        if (o == "site") return Answer(cfg_.site);
        if (o == "sn") return Answer(cfg_.serial);
        if (o == "w") return Answer(Int(cfg_.wake));
        if (o == "padc") return Answer(Int(cfg_.padc));
        if (o == "trait") return Answer(Int(traitByte_));
        if (o == "r") return Answer(Int(cfg_.rmode));
        if (o == "rver" || o == "rch" || o == "rsch") {
            if (!cfg_.radioFitted) return Answer("No Radio");
            std::string value = o == "rver" ? cfg_.rver : Hex(o == "rch" ? cfg_.rch : cfg_.rsch);
            return Answer("OK\r" + value);
        }
        if (o == "data") return Answer(Int(cfg_.dataParameter));
        if (o == "build") return Answer(cfg_.build);
        if (o == "adc30" || o == "adc15") {
            const int* c = o == "adc30" ? cfg_.adc30 : cfg_.adc15;
            std::string s;
            int sum = 0;
            for (int i = 0; i < 10; ++i) {
                s += Int(c[i]) + " ";
                sum += c[i];
            }
            return Answer(s + Int(sum % 256));
        }
        if (o == "apn") return Answer(cfg_.apn);
        if (o == "user") return Answer(cfg_.apnUser);
        if (o == "passwd") return Answer(cfg_.apnPassword);
        if (o == "authkey") return Answer(cfg_.authKey);
        if (o == "host") return Answer(cfg_.host);
        if (o == "ipport") return Answer(Int(cfg_.ipPort));
        if (o == "sec") return Answer(Int(Clock()));
        if (o == "t") {
            time_t t = static_cast<time_t>(Clock()) + kUnix2000;
            tm f{};
            gmtime_r(&t, &f);
            char b[64];
            std::snprintf(b, sizeof b, "Date\\Time: %04d-%02d-%02d %02d:%02d:%02d", f.tm_year + 1900, f.tm_mon + 1,
                          f.tm_mday, f.tm_hour, f.tm_min, f.tm_sec);
            return Answer(b);
        }
        return Answer("Unsupported");
    }
    if (w.word == "set") {
        Note("set -" + o + " " + a);
        if (o == "baud") {
            if (!ParseLong(a, &v) || v < 0 || v > 6) return Answer("ERROR");
            pendingBaud_ = kBaudByCode[v];
            Emit("\rOK\r");
            return;
        }
        if (o == "i") {
            if (a.empty() || a.size() > 8) return Answer("ERROR");
            cfg_.name = a;
            return ok();
        }
        if (o == "devid") { cfg_.deviceId = a.substr(0, 8); return ok(); }
        if (o == "site") { cfg_.site = a.substr(0, 25); return ok(); }
        if (o == "sn") { cfg_.serial = a.substr(0, 15); return ok(); }
        if (o == "build") { cfg_.build = a.substr(0, 16); return ok(); }
        if (o == "apn") { cfg_.apn = a.substr(0, 35); return ok(); }
        if (o == "user") { cfg_.apnUser = a.substr(0, 35); return ok(); }
        if (o == "passwd") { cfg_.apnPassword = a.substr(0, 35); return ok(); }
        if (o == "authkey") { cfg_.authKey = a.substr(0, 32); return ok(); }
        if (o == "host") { cfg_.host = a.substr(0, 63); return ok(); }
        if (o == "lat" || o == "long") {
            double d = 0;
            if (!a.empty()) {
                char* end = nullptr;
                d = std::strtod(a.c_str(), &end);
                if (end == a.c_str()) return Answer("ERROR");
            }
            (o == "lat" ? cfg_.latitude : cfg_.longitude) = d;
            return ok();
        }
        if (o == "depth" || o == "ports") {
            std::vector<long> n = ParseNumbers(a);
            if (n.size() != 5) return Answer("ERROR");
            int* d = o == "depth" ? cfg_.depth : cfg_.ports;
            for (int i = 0; i < 5; ++i) d[i] = static_cast<int>(n[i]);
            return ok();
        }
        if (o == "adc30" || o == "adc15") {
            std::vector<long> n = ParseNumbers(a);
            if (n.size() != 11) return Answer("ERROR");
            long sum = 0;
            for (int i = 0; i < 10; ++i) sum += n[i];
            if (sum % 256 != n[10]) return Answer("ERROR");
            int* c = o == "adc30" ? cfg_.adc30 : cfg_.adc15;
            for (int i = 0; i < 10; ++i) c[i] = static_cast<int>(n[i]);
            return ok();
        }
        if (o == "rch" || o == "rsch") {
            if (!cfg_.radioFitted) return Answer("No Radio");
            if (!ParseLong(a, &v, 16)) return Answer("ERROR");
            (o == "rch" ? cfg_.rch : cfg_.rsch) = static_cast<int>(v);
            // the old Lumo relays its radio's own "OK" as well
            return Answer(cfg_.kindWord == "LUMO" ? "OK\r\rOK" : "OK");
        }
        if (o == "t") {
            int h = 0, m = 0, s = 0;
            if (std::sscanf(a.c_str(), "%d:%d:%d", &h, &m, &s) != 3) return Answer("ERROR");
            long day = Clock() / 86400;
            SetClock(day * 86400 + h * 3600L + m * 60L + s);
            return ok();
        }
        if (o == "d") {
            int y = 0, mo = 0, d = 0;
            if (std::sscanf(a.c_str(), "%d-%d-%d", &y, &mo, &d) != 3) return Answer("ERROR");
            tm f{};
            f.tm_year = y - 1900;
            f.tm_mon = mo - 1;
            f.tm_mday = d;
            long days = static_cast<long>((timegm(&f) - kUnix2000) / 86400);
            SetClock(days * 86400 + Clock() % 86400);
            return ok();
        }
        if (!ParseLong(a, &v)) return Answer("ERROR");
        if (o == "report") { cfg_.reportMode = static_cast<int>(v); return ok(); }
        if (o == "tz") { cfg_.timeZone = static_cast<int>(v); return ok(); }
        if (o == "w") { cfg_.wake = static_cast<int>(v); return ok(); }
        if (o == "padc") { cfg_.padc = static_cast<int>(v); return ok(); }
        if (o == "trait") { traitByte_ = static_cast<int>(v & 0xFF); return ok(); }
        if (o == "r") { cfg_.rmode = static_cast<int>(v); return ok(); }
        if (o == "data") { cfg_.dataParameter = static_cast<int>(v); return ok(); }
        if (o == "ipport") { cfg_.ipPort = static_cast<int>(v); return ok(); }
        if (o == "sec") { SetClock(v); return ok(); }
        return Answer("Unsupported");
    }
    Answer("Unsupported");
}

namespace {

bool ParseInts(const std::string& text, int* out, int n) {
    std::vector<long> v = ParseNumbers(text);
    if (static_cast<int>(v.size()) != n) return false;
    for (int i = 0; i < n; ++i) out[i] = static_cast<int>(v[i]);
    return true;
}

std::unique_ptr<Device> MakeLogger(const Options& o, std::string& error) {
    LoggerConfig c;
    c.kindWord = o.Get("kind", c.kindWord);
    c.version = o.Get("version", c.version);
    c.name = o.Get("name", c.kindWord);
    c.serial = o.Get("serial", c.serial);
    c.site = o.Get("site", c.site);
    c.wake = static_cast<int>(o.GetInt("wake", c.wake));
    c.radioFitted = !o.Has("no-radio");
    c.cellFitted = o.Has("cell");
    c.rch = static_cast<int>(o.GetInt("rch", c.rch));
    c.rsch = static_cast<int>(o.GetInt("rsch", c.rsch));
    c.records = o.GetInt("records", c.records);
    c.overRadio = o.Has("over-radio");
    c.asleep = !o.Has("awake");
    c.echo = o.Has("echo");
    c.errorAnswers = static_cast<int>(o.GetInt("error-answers", 0));
    c.emptyAnswers = static_cast<int>(o.GetInt("empty-answers", 0));
    c.dataFlashFail = o.Has("dataflash-fail");
    if (o.Has("depth") && !ParseInts(o.Get("depth"), c.depth, 5)) {
        error = "--depth wants five numbers in one argument";
        return nullptr;
    }
    if (c.version.find('.') == std::string::npos) {
        error = "--version wants major.minor, e.g. 2.04";
        return nullptr;
    }
    if (c.name.empty() || c.name.size() > 8) {
        error = "--name wants 1 to 8 characters";
        return nullptr;
    }
    return std::make_unique<LoggerDevice>(c);
}

const std::vector<OptionInfo> kLoggerOptions = {
    {"kind", "WORD", "kind word in the version answer: LUMO LUMOZ VT LUMOK CIRRO MRL ... (default LUMOZ)"},
    {"version", "X.YY", "firmware version (default 2.04)"},
    {"name", "NAME", "instrument name (default the kind word)"},
    {"serial", "TEXT", "serial number"},
    {"site", "TEXT", "site name"},
    {"wake", "N", "measurement interval"},
    {"depth", "\"A B C D E\"", "port depths"},
    {"no-radio", "", "no radio modem fitted"},
    {"cell", "", "a cellular modem is fitted"},
    {"rch", "N", "radio channel"},
    {"rsch", "N", "radio sub-channel"},
    {"records", "N", "measurements in the data memory"},
    {"over-radio", "", "reached over the radio (put a tk9 modem in front)"},
    {"awake", "", "over the radio: awake at start instead of asleep"},
    {"echo", "", "fault: echo every command line"},
    {"error-answers", "N", "fault: answer the next N commands with ERROR"},
    {"empty-answers", "N", "fault: answer the next N commands with an empty line"},
    {"dataflash-fail", "", "fault: the data memory reports a failure on erase"},
};

KindRegistrar loggerKind({"logger", "a data logger of the new command set", kLoggerOptions, MakeLogger});

}  // namespace

}  // namespace qsim
