#include "app/cli.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "app/engine.h"

namespace app {

const char* CliUsage() {
    return "Usage: quarbsl-cli [options]\n"
           "Updates the firmware of the digital sensor plugged into a Sendra reader\n"
           "on a comm port, with the firmware this program carries.\n"
           "\n"
           "  --port NAME        the comm port: a name from --list-ports, a device name\n"
           "                     under /dev (ttyUSB0, pts/3) or a device path; at most 12\n"
           "                     characters (a path under /dev counts without \"/dev/\").\n"
           "                     Default: the first listed port\n"
           "  --rep              representative mode (-rep): enables --firmware, offers to\n"
           "                     go on where the sensor's firmware version or settings\n"
           "                     would stop the update\n"
           "  --factory          factory mode (-factory): rep mode, and enables --sensor-type\n"
           "  --firmware FILE    load a TI-Text firmware file instead of the carried image\n"
           "                     (rep and factory modes); a file that fails to load ends\n"
           "                     the program before anything else\n"
           "  --sensor-type CODE the target sensor type code, as the factory sensor menu\n"
           "                     selects it (factory mode): 122 K7W, 120 K7V, 119 N4Q,\n"
           "                     118 N4R, 261 WPX-1 & WPX-3, 117 DG9D, 262 KLT Family,\n"
           "                     113 FZ-4, 109 FZ-4R, 112 HM-5, 260 NRX Family, 94 PL-8,\n"
           "                     93 ZEPHRA 9, 264 ORBIS 5x Family. Default 107\n"
           "  --yes              answer OK to every question (default: Cancel)\n"
           "  --work-folder DIR  folder of the log and the settings file; default\n"
           "                     $XDG_DATA_HOME/Quarnel/QuarBSL (~/.local/share/...)\n"
           "  --list-ports       print the port list and exit\n"
           "  --all-ports        also probe ports that discovery did not report\n"
           "  --dump-image FILE  write a listing of the image in use and exit\n"
           "  --help             this text\n"
           "\n"
           "Messages are printed with their titles, errors on standard error; each\n"
           "question is printed with the answer taken. The exit status is 0 after\n"
           "\"Successfully updated firmware in N seconds.\", otherwise 1 after the\n"
           "sequence's result code, or 2 for a usage error.\n";
}

bool ParseCliArguments(const std::vector<std::string>& args, CliOptions* o, std::string* error) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string* dest) {
            if (i + 1 >= args.size() || args[i + 1].empty()) {
                *error = a + " needs a value";
                return false;
            }
            *dest = args[++i];
            return true;
        };
        if (a == "--port") {
            if (!value(&o->port)) return false;
        } else if (a == "--factory") {
            o->factory = true;
        } else if (a == "--rep") {
            o->rep = true;
        } else if (a == "--firmware") {
            if (!value(&o->firmware)) return false;
        } else if (a == "--sensor-type") {
            std::string text;
            if (!value(&text)) return false;
            char* end = nullptr;
            errno = 0;
            unsigned long code = std::strtoul(text.c_str(), &end, 10);
            if (errno || !end || *end || text[0] < '0' || text[0] > '9' || code > 0xFFFFu) {
                *error = "--sensor-type needs a sensor type code, not \"" + text + "\"";
                return false;
            }
            o->haveSensorType = true;
            o->sensorType = static_cast<unsigned>(code);
        } else if (a == "--yes") {
            o->yes = true;
        } else if (a == "--work-folder") {
            if (!value(&o->workFolder)) return false;
        } else if (a == "--list-ports") {
            o->listPorts = true;
        } else if (a == "--all-ports") {
            o->allPorts = true;
        } else if (a == "--dump-image") {
            if (!value(&o->dumpImage)) return false;
        } else if (a == "--help" || a == "-h") {
            o->help = true;
        } else {
            *error = "unknown option \"" + a + "\"";
            return false;
        }
    }
    return true;
}

// --- the front end ---------------------------------------------------------

CliFrontEnd::CliFrontEnd(std::FILE* o, std::FILE* e, bool yes, bool bar)
    : out(o), err(e), answerYes(yes), progressBar(bar) {}

void CliFrontEnd::EndBarLine() {
    if (barShown) {
        std::fputc('\n', out);
        std::fflush(out);
        barShown = false;
    }
}

void CliFrontEnd::DrawBar() {
    constexpr int kWidth = 30;
    int filled = position * kWidth / 100;
    char cells[kWidth + 1];
    for (int i = 0; i < kWidth; ++i) cells[i] = i < filled ? '#' : '-';
    cells[kWidth] = '\0';
    std::fprintf(out, "\r[%s] %3d%% %s\033[K", cells, position, status.c_str());
    std::fflush(out);
    barShown = true;
}

void CliFrontEnd::ShowMessage(const std::string& message, const std::string& title, int kind) {
    EndBarLine();
    std::FILE* to = (kind == kMsgError) ? err : out;
    std::fprintf(to, "--- %s ---\n%s\n", title.c_str(), message.c_str());
    std::fflush(to);
}

bool CliFrontEnd::AskOkCancel(const std::string& message, const std::string& title) {
    EndBarLine();
    std::fprintf(out, "--- %s ---\n%s\n[OK/Cancel] %s\n", title.c_str(), message.c_str(),
                 answerYes ? "OK (--yes)" : "Cancel (no --yes)");
    std::fflush(out);
    return answerYes;
}

void CliFrontEnd::SetStatusText(const std::string& text) {
    if (text == status && (barShown || !progressBar)) return;
    status = text;
    if (progressBar) {
        EndBarLine();
        DrawBar();
    } else {
        std::fprintf(out, "[%3d%%] %s\n", position, status.c_str());
        std::fflush(out);
    }
}

void CliFrontEnd::ShowStatusText(bool visible) {
    if (!visible) EndBarLine();
}

void CliFrontEnd::SetProgress(int value) {
    if (value == position) return;
    position = value;
    if (progressBar && !status.empty()) DrawBar();
}

void CliFrontEnd::SetPortList(const std::vector<std::string>& items, int) { portItems = items; }

void CliFrontEnd::ArmTimer(Timer which) { armed.push_back(which); }

// --- the program -----------------------------------------------------------

namespace {

// Runs the timers the engine armed, in order. False when the engine closed
// the window (a start-up error).
bool RunTimers(Engine& engine, CliFrontEnd& ui) {
    while (!ui.armed.empty() && !ui.closed) {
        Timer t = ui.armed.front();
        ui.armed.erase(ui.armed.begin());
        switch (t) {
        case Timer::Start: engine.timerStartTimer(); break;
        case Timer::EraseWarn: engine.timerEraseWarnTimer(); break;
        case Timer::ConstructorErrors: engine.timerConstructorErrorsTimer(); break;
        case Timer::WebCheck: break;  // no version check from the command line
        }
    }
    return !ui.closed;
}

}  // namespace

int RunCli(const std::vector<std::string>& args, std::FILE* out, std::FILE* err, bool terminal) {
    CliOptions options;
    std::string error;
    if (!ParseCliArguments(args, &options, &error)) {
        std::fprintf(err, "quarbsl-cli: %s\nTry 'quarbsl-cli --help'.\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(CliUsage(), out);
        return 0;
    }
    if (!options.workFolder.empty() && !MakeFolders(options.workFolder)) {
        std::fprintf(err, "quarbsl-cli: cannot create the working folder \"%s\": %s\n",
                     options.workFolder.c_str(), std::strerror(errno));
        return 2;
    }

    CliFrontEnd ui(out, err, options.yes, terminal);
    Engine engine(ui);
    StartupOptions startup;
    if (options.factory) startup.arguments.push_back("-factory");
    if (options.rep) startup.arguments.push_back("-rep");
    startup.forceFindAll = options.allPorts;
    startup.workFolder = options.workFolder;
    engine.FormShow(startup);
    if (!RunTimers(engine, ui)) return 1;

    if (!options.firmware.empty()) {
        if (!engine.State().repMode) {
            std::fprintf(err, "quarbsl-cli: --firmware needs --rep or --factory\n");
            return 2;
        }
        if (engine.OpenFirmwareFile(options.firmware) < 0) return 1;
    }

    if (options.listPorts) {
        for (const std::string& item : ui.portItems) std::fprintf(out, "%s\n", item.c_str());
        return 0;
    }

    if (!options.dumpImage.empty()) {
        int r = engine.DumpFirmwareImage(options.dumpImage);
        if (r < 0) return 1;
        std::fprintf(out, "Wrote the image listing to %s\n", options.dumpImage.c_str());
        return 0;
    }

    if (options.haveSensorType) {
        if (!engine.State().factoryMode) {
            std::fprintf(err, "quarbsl-cli: --sensor-type needs --factory\n");
            return 2;
        }
        bool found = false;
        for (Control item : kSensorItems) {
            if (SensorMenuCode(item) == options.sensorType && SensorItemShownInFactoryMode(item)) {
                engine.SensorItemClick(item);
                found = true;
                break;
            }
        }
        if (!found) {
            std::fprintf(err, "quarbsl-cli: %u is not a sensor type of the sensor menu (see --help)\n",
                         options.sensorType);
            return 2;
        }
    }

    if (!options.port.empty()) {
        if (engine.SelectPortByName(options.port) < 0) return 1;
    } else if (engine.State().selectedPortName.empty()) {
        std::fprintf(err, "quarbsl-cli: No Comm Ports Found; name one with --port\n");
        return 1;
    }

    engine.btnStartClick();
    RunTimers(engine, ui);
    int result = engine.LastResult();
    if (result > 0) return 0;
    std::fprintf(err, "Update failed with result %d\n", result);
    return 1;
}

}  // namespace app
