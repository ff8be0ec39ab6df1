// The host-side radio modem (the Tk9 module) with the instrument it reaches
// over the air chained behind it.
//
// Data mode (at start): bytes pass both ways, but only while the modem's
// channel and sub-channel equal those of the logger behind it (a logger that
// is not a LoggerDevice is always in reach). Three '+' in a row, and nothing
// else, switch to command mode ("OK\r"). Command mode takes AT lines ending
// in "\r": ATHP<hex> and ATDT<hex> set the channel and sub-channel, ATHP,
// ATDT and ATVR read them ("<value>\r"), ATWR stores the configuration,
// ATCN returns to data mode; each set answers "OK\r", anything else
// "ERROR\r".
//
// Faults: relayEcho sends every data-mode byte straight back as well (a
// relay in the path); silence rules "tk9" (anything), "tk9.+++" or
// "tk9.<AT command>" (e.g. "tk9.ATHP") keep it from answering.
#pragma once

#include <string>

#include "sim/device.h"

namespace qsim {

struct RadioModemConfig {
    int channel = 0;
    int subchannel = 0;
    std::string version = "T9R214";
    bool relayEcho = false;
};

class RadioModemDevice : public Device {
public:
    explicit RadioModemDevice(RadioModemConfig config);

    const char* Kind() const override { return "tk9"; }
    void Receive(const char* data, size_t n) override;

    RadioModemConfig& Config() { return cfg_; }
    bool InCommandMode() const { return commandMode_; }
    int Stores() const { return stores_; }  // ATWR count

protected:
    void FromDownstream(const char* data, size_t n) override;

private:
    bool InReach();
    void Forward(const char* data, size_t n);
    void AtLine(const std::string& line);

    RadioModemConfig cfg_;
    bool commandMode_ = false;
    int pluses_ = 0;
    std::string line_;
    int stores_ = 0;
};

}  // namespace qsim
