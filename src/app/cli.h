// The command-line front end: runs the engine's start-up and one update (or
// lists the ports, or dumps the image) and prints what the window would show.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "app/frontend.h"

namespace app {

struct CliOptions {
    std::string port;
    bool factory = false;
    bool rep = false;
    std::string firmware;
    bool haveSensorType = false;
    unsigned sensorType = 0;
    bool yes = false;
    std::string workFolder;
    bool listPorts = false;
    bool allPorts = false;
    std::string dumpImage;
    bool help = false;
};

// Reads the arguments after the program name. False (with a reason in
// error) for an unknown option, a missing value or a bad number.
bool ParseCliArguments(const std::vector<std::string>& args, CliOptions* options, std::string* error);

const char* CliUsage();

// Prints to out (and errors to err). progressBar draws a bar in place, as on
// a terminal; without it the bar's value goes with every status line.
class CliFrontEnd : public FrontEnd {
public:
    CliFrontEnd(std::FILE* out, std::FILE* err, bool answerYes, bool progressBar);

    void ShowMessage(const std::string& message, const std::string& title, int kind) override;
    bool AskOkCancel(const std::string& message, const std::string& title) override;
    void SetStatusText(const std::string& text) override;
    void ShowStatusText(bool visible) override;
    void SetWindowText(WindowText, const std::string&) override {}
    void SetProgress(int position) override;
    void EnableControl(Control, bool) override {}
    void ShowControl(Control, bool) override {}
    void TickMenuItem(Control, bool) override {}
    void SetDefaultButton(Control) override {}
    void ShowSerialNumberEntry(bool) override {}
    void SetBusyCursor(bool) override {}
    void PlayInformationSound() override {}
    void SetPortList(const std::vector<std::string>& items, int selected) override;
    void ArmTimer(Timer which) override;
    void CloseWindow() override { closed = true; }
    void ProcessEvents() override {}

    // Timers armed and not yet run, oldest first.
    std::vector<Timer> armed;
    bool closed = false;
    std::vector<std::string> portItems;

private:
    void EndBarLine();
    void DrawBar();

    std::FILE* out;
    std::FILE* err;
    bool answerYes;
    bool progressBar;
    bool barShown = false;
    int position = 0;
    std::string status;
};

// The whole program; returns the exit status.
int RunCli(const std::vector<std::string>& args, std::FILE* out, std::FILE* err, bool terminal);

}  // namespace app
