// A logger that still runs the old command set: no "get" commands (they are
// answered "ERROR"); "show" prints labelled lines (ID, Version, Radio, Wake,
// Resets); "set -i", "set -w", "set -r", "set -p", "set -t" and "set -d"
// answer with an empty line and the prompt; "hertz" gives the PADC rate,
// "time" the clock; "yes" erases the data memory and answers up to a '!'.
//
// "term" connects the host to the logger's own radio modem (chained behind
// it as a RadioModemDevice, when radioFitted): every byte goes to the modem
// until, with the modem back in data mode, the line "term" arrives again.
#pragma once

#include <string>

#include "sim/device.h"

namespace qsim {

struct OldLoggerConfig {
    std::string name = "LUMO";
    std::string version = "1.23";
    int rmode = 1;
    int wake = 900;
    int resets = 3;
    int padc = 10;
    long records = 0;
    long clock = 631152000;  // QuarSeconds at start
    bool radioFitted = true;
    int rch = 2;
    int rsch = 0x1234;
};

class OldLoggerDevice : public Device {
public:
    explicit OldLoggerDevice(OldLoggerConfig config);

    const char* Kind() const override { return "old-logger"; }
    void Receive(const char* data, size_t n) override;

    OldLoggerConfig& Config() { return cfg_; }
    bool InTerm() const { return term_; }
    long Clock() const;

protected:
    void FromDownstream(const char* data, size_t n) override;

private:
    void Command(const std::string& line);
    void Answer(const std::string& body);
    void SetClock(long quarSeconds);

    OldLoggerConfig cfg_;
    std::string line_;
    bool term_ = false;
    uint64_t clockSetMs_ = 0;
    bool clockStarted_ = false;
    long clockAtSet_;
};

}  // namespace qsim
