#include "sim/old_logger_device.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "sim/command_shell.h"
#include "sim/radio_modem_device.h"

namespace qsim {

namespace {

constexpr long kUnix2000 = 946684800L;

bool ParseLong(const std::string& s, long* v) {
    if (s.empty()) return false;
    char* end = nullptr;
    long x = std::strtol(s.c_str(), &end, 10);
    if (*end) return false;
    *v = x;
    return true;
}

}  // namespace

OldLoggerDevice::OldLoggerDevice(OldLoggerConfig config) : cfg_(std::move(config)), clockAtSet_(cfg_.clock) {
    if (cfg_.radioFitted) {
        RadioModemConfig m;
        m.channel = cfg_.rch;
        m.subchannel = cfg_.rsch;
        m.version = "T9R107";
        Attach(std::make_unique<RadioModemDevice>(m));
    }
}

long OldLoggerDevice::Clock() const {
    if (!clockStarted_) return clockAtSet_;
    return clockAtSet_ + static_cast<long>((Now() - clockSetMs_) / 1000);
}

void OldLoggerDevice::SetClock(long quarSeconds) {
    clockAtSet_ = quarSeconds;
    clockSetMs_ = Now();
    clockStarted_ = true;
}

void OldLoggerDevice::FromDownstream(const char* data, size_t n) {
    if (term_) Emit(data, n);
}

void OldLoggerDevice::Receive(const char* data, size_t n) {
    if (!clockStarted_) SetClock(clockAtSet_);
    for (size_t i = 0; i < n; ++i) {
        char c = data[i];
        if (term_) {
            auto* modem = dynamic_cast<RadioModemDevice*>(Downstream());
            bool modemListens = modem && modem->InCommandMode();
            if (c == '\r' && !modemListens && line_ == "term") {
                line_.clear();
                term_ = false;
                Note("term mode left");
                Emit("\r>");
                continue;
            }
            if (c == '\r')
                line_.clear();
            else if (c != '\n' && line_.size() < 64)
                line_.push_back(c);
            SendDown(&c, 1);
            continue;
        }
        if (c == '\n') continue;
        if (c != '\r') {
            if (line_.size() < 256) line_.push_back(c);
            continue;
        }
        std::string line;
        line.swap(line_);
        if (line.empty()) {
            Emit("\r>");
            continue;
        }
        std::string step = "kalen." + SplitCommand(line).word;
        if (Faults().Silent(step)) {
            Note("silent: " + line);
            continue;
        }
        Command(line);
    }
}

void OldLoggerDevice::Answer(const std::string& body) { Emit("\r" + body + "\r>"); }

void OldLoggerDevice::Command(const std::string& line) {
    CommandWords w = SplitCommand(line);
    long v = 0;
    if (w.word == "show") {
        char b[160];
        std::snprintf(b, sizeof b, "ID: %s\rVersion: %s\rRadio: %d\rWake: %d\rResets: %d", cfg_.name.c_str(),
                      cfg_.version.c_str(), cfg_.rmode, cfg_.wake, cfg_.resets);
        return Answer(b);
    }
    if (w.word == "hertz") return Answer(std::to_string(cfg_.padc));
    if (w.word == "time") {
        time_t t = static_cast<time_t>(Clock()) + kUnix2000;
        tm f{};
        gmtime_r(&t, &f);
        char b[64];
        std::snprintf(b, sizeof b, "Date\\Time: %04d-%02d-%02d %02d:%02d:%02d", f.tm_year + 1900, f.tm_mon + 1,
                      f.tm_mday, f.tm_hour, f.tm_min, f.tm_sec);
        return Answer(b);
    }
    if (w.word == "login" || w.word == "logout") return Emit("\r>");
    if (w.word == "term") {
        if (!Downstream()) return Answer("ERROR");
        term_ = true;
        Note("term mode");
        return;
    }
    if (w.word == "yes") {
        cfg_.records = 0;
        Note("data erased");
        Emit("\rData erased OK!");
        return;
    }
    if (w.word == "set") {
        const std::string& o = w.option;
        const std::string& a = w.argument;
        Note("set -" + o + " " + a);
        if (o == "i" && !a.empty() && a.size() <= 8) {
            cfg_.name = a;
            return Emit("\r>");
        }
        if (o == "t") {
            int h = 0, m = 0, s = 0;
            if (std::sscanf(a.c_str(), "%d:%d:%d", &h, &m, &s) != 3) return Answer("ERROR");
            SetClock(Clock() / 86400 * 86400 + h * 3600L + m * 60L + s);
            return Emit("\r>");
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
            return Emit("\r>");
        }
        if (ParseLong(a, &v)) {
            if (o == "w") { cfg_.wake = static_cast<int>(v); return Emit("\r>"); }
            if (o == "r") { cfg_.rmode = static_cast<int>(v); return Emit("\r>"); }
            if (o == "p") { cfg_.padc = static_cast<int>(v); return Emit("\r>"); }
        }
    }
    Answer("ERROR");
}

namespace {

std::unique_ptr<Device> MakeOldLogger(const Options& o, std::string& error) {
    OldLoggerConfig c;
    c.name = o.Get("name", c.name);
    c.version = o.Get("version", c.version);
    c.wake = static_cast<int>(o.GetInt("wake", c.wake));
    c.records = o.GetInt("records", c.records);
    c.radioFitted = !o.Has("no-radio");
    if (c.name.empty() || c.name.size() > 8) {
        error = "--name wants 1 to 8 characters";
        return nullptr;
    }
    return std::make_unique<OldLoggerDevice>(c);
}

const std::vector<OptionInfo> kOldLoggerOptions = {
    {"name", "NAME", "instrument name (default LUMO)"},
    {"version", "X.YY", "firmware version (default 1.23; below 1.10 is not served)"},
    {"wake", "N", "measurement interval"},
    {"records", "N", "measurements in the data memory"},
    {"no-radio", "", "no radio modem behind \"term\""},
};

KindRegistrar oldLoggerKind({"old-logger", "a Lumo logger of the old command set (\"show\")", kOldLoggerOptions,
                             MakeOldLogger});

}  // namespace

}  // namespace qsim
