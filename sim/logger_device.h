// A data logger of the new command set (kind words LUMO, LUMOZ, VT, LUMOK,
// CIRRO, MRL ...), reached on its serial cable or, behind a radio modem, over
// the radio.
//
// Commands end in "\r"; answers are "\r", the text, "\r" and the prompt '>'.
// "get -ver" gives the kind word and version ("LUMOZ 2.04"); every setting
// has a "get -x" and a "set -x value" ("OK" on success); an empty value is
// answered with an empty line and the prompt. Radio values are reported
// behind the radio's own "OK" line, or "No Radio" when none is fitted. The
// trait is stored as the complement of its low byte, as the firmware does.
// "set -baud <code>" answers "OK" at the old rate and then switches; from
// then on bytes that arrive at another line rate (read from the line's
// termios when the runner gives the line) are garbage and lost. "yes" erases
// the data memory. The logger decides nothing from kind and version: it
// answers every command it knows.
//
// Over the radio the logger sleeps until it has heard a train of carriage
// returns (wakeCrs of them); awake and not logged in it answers only
// "query" (with its name) and "login <its name>" ; "logout" sends it back to
// sleep. Logged in it behaves as on the cable.
//
// Faults: echo every command line back; answer the next N commands with
// "ERROR"; answer the next N commands with an empty line and the prompt;
// report a broken data memory on erase; canned answers for given lines; silence rules "kalen" (any command)
// or "kalen.<word>.<option>" (e.g. "kalen.get.site") through the fault plan.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "sim/device.h"

namespace qsim {

struct LoggerConfig {
    std::string kindWord = "LUMOZ";
    std::string version = "2.04";
    std::string name = "LUMOZ";
    std::string deviceId;
    int reportMode = 0;
    int depth[5] = {0, 0, 0, 0, 0};
    double latitude = 0;   // 0: not set
    double longitude = 0;  // 0: not set
    int timeZone = 0;
    std::string site;
    std::string serial = "LZ-000000";
    int wake = 900;
    int padc = 0;
    int ports[5] = {0, 0, 0, 0, 0};
    bool radioFitted = true;
    bool cellFitted = false;
    int rmode = 0;
    int rch = 0;
    int rsch = 0;
    std::string rver = "0412";
    int dataParameter = 0;
    std::string build;
    int adc30[10] = {128, 128, 128, 128, 128, 128, 128, 128, 128, 128};  // slope, offset per port
    int adc15[10] = {128, 128, 128, 128, 128, 128, 128, 128, 128, 128};
    std::string apn;
    std::string apnUser;
    std::string apnPassword;
    std::string authKey;
    std::string host;
    int ipPort = 0;
    long records = 0;        // measurements in the data memory
    long clock = 631152000;  // QuarSeconds at start (2020-01-01 00:00:00)
    long baud = 9600;

    bool overRadio = false;  // reached over the radio: sleeps, query, login
    bool asleep = true;      // over the radio: asleep at start
    int wakeCrs = 100;       // carriage returns that wake it
    long awakeMs = 60000;    // how long it stays awake without a login

    bool echo = false;
    int errorAnswers = 0;
    int emptyAnswers = 0;
    bool dataFlashFail = false;
    // Canned answers: a command line (without its "\r") answered with this
    // exact text instead, e.g. a loader's "$\r" to "get -ver".
    std::map<std::string, std::string> canned;
};

class LoggerDevice : public Device {
public:
    explicit LoggerDevice(LoggerConfig config);

    const char* Kind() const override { return "logger"; }
    void Receive(const char* data, size_t n) override;
    void Tick() override;

    LoggerConfig& Config() { return cfg_; }  // the live settings
    int TraitByte() const { return traitByte_; }
    long Clock() const;  // QuarSeconds now
    bool Awake() const { return !cfg_.overRadio || !asleep_; }
    bool LoggedIn() const { return loggedIn_; }
    long CarriageReturnsHeard() const { return crsHeard_; }

private:
    void Line(const std::string& line);
    void Command(const std::string& line);
    void Answer(const std::string& body);
    void SetClock(long quarSeconds);
    bool LineRateMatches();

    LoggerConfig cfg_;
    std::string line_;
    int traitByte_;
    uint64_t clockSetMs_ = 0;
    long clockAtSet_;
    long pendingBaud_ = 0;
    bool asleep_;
    bool loggedIn_ = false;
    int crRun_ = 0;
    long crsHeard_ = 0;
    uint64_t awakeSinceMs_ = 0;
};

}  // namespace qsim
