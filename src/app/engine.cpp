#include "app/engine.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bsl/quarbslhost.h"
#include "diag/quarlog.h"
#include "facade/quar_protocol.h"
#include "image/catalogue.h"

namespace app {

namespace {

constexpr char kGraveAccent = 0x60;

// Oldest reader firmware that relays the loader conversation.
constexpr int kMinReaderVersion = 123;

std::string Decimal(long v) { return std::to_string(v); }

}  // namespace

// ---------------------------------------------------------------------------
// Helpers without state

std::string DefaultWorkFolder() {
    std::string base;
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && xdg[0] == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || !home[0]) return std::string();
        base = std::string(home) + "/.local/share";
    }
    return base + "/Quarnel/QuarBSL";
}

bool MakeFolders(const std::string& path) {
    if (path.empty()) return false;
    std::string partial;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty()) continue;
        if (::mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) return false;
    }
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ExecutableFolder() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    buf[n] = '\0';
    char* slash = std::strrchr(buf, '/');
    if (!slash) return ".";
    if (slash == buf) return "/";
    *slash = '\0';
    return buf;
}

char HardwareRevision(const char* answer, std::size_t size) {
    if (!answer) return 0;
    for (std::size_t i = 0; i < size && answer[i]; ++i) {
        char c = answer[i];
        if (c != ' ' && c != '\r' && c != '\n' && c != '\t') return c;
    }
    return 0;
}

bool SensorTypeAccepted(uint32_t targetType, unsigned sensorType) {
    switch (targetType) {
    case 260: return sensorType == 115 || sensorType == 114 || sensorType == 111 || sensorType == 110;
    case 261: return sensorType == 121 || sensorType == 108 || sensorType == 107;
    case 262: return sensorType == 116 || sensorType == 106 || sensorType == 105 || sensorType == 101;
    case 264: return sensorType == 104 || sensorType == 103;
    default: return sensorType == targetType;
    }
}

std::string FormatVersion(uint32_t version) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%u.%02u", version / 100, version % 100);
    return buf;
}

const Control kSensorItems[17] = {
    Control::K7W1,  Control::K7V1, Control::N4Q1, Control::N4R1,     Control::WPX11, Control::DG9D1,
    Control::KLT1,  Control::FZ41, Control::FZ4R1, Control::HM51,    Control::HM61,  Control::NRX1,
    Control::WN71,  Control::PL81, Control::ZEPHRA31, Control::ZP90001, Control::OB5x00Family1,
};

bool SensorItemShownInFactoryMode(Control item) {
    return item != Control::WN71 && item != Control::HM61 && item != Control::ZEPHRA31 &&
           SensorMenuCode(item) != 0;
}

uint32_t SensorMenuCode(Control item) {
    switch (item) {
    case Control::K7W1: return 122;
    case Control::K7V1: return 120;
    case Control::N4Q1: return 119;
    case Control::N4R1: return 118;
    case Control::WPX11: return 261;
    case Control::DG9D1: return 117;
    case Control::KLT1: return 262;
    case Control::FZ41: return 113;
    case Control::FZ4R1: return 109;
    case Control::HM51: return 112;
    case Control::HM61: return 102;
    case Control::NRX1: return 260;
    case Control::WN71: return 95;
    case Control::PL81: return 94;
    case Control::ZEPHRA31: return 92;
    case Control::ZP90001: return 93;
    case Control::OB5x00Family1: return 264;
    default: return 0;
    }
}

SensorMenuRow SensorMenuRowFor(uint32_t code) {
    switch (code) {
    case 122: return {true, Control::K7W1, "/versionfinder/K7W-Firmware.txt"};
    case 120: return {true, Control::K7V1, "/versionfinder/K7V-Firmware.txt"};
    case 119: return {true, Control::N4Q1, "/versionfinder/N4Q-Firmware.txt"};
    case 118: return {true, Control::N4R1, "/versionfinder/N4R-Firmware.txt"};
    case 107: case 108: case 121: case 261:
        return {true, Control::WPX11, "/versionfinder/WPX1-Firmware.txt"};
    case 117: return {true, Control::DG9D1, "/versionfinder/DG9D-Firmware.txt"};
    case 101: case 105: case 106: case 116: case 262:
        return {true, Control::KLT1, "/versionfinder/KLT-Firmware.txt"};
    case 113: return {true, Control::FZ41, "/versionfinder/FZ4-Firmware.txt"};
    case 109: return {true, Control::FZ4R1, "/versionfinder/FZ4-Firmware.txt"};
    case 112: return {true, Control::HM51, "/versionfinder/HM5-Firmware.txt"};
    case 102: return {true, Control::HM61, "/versionfinder/HM6-Firmware.txt"};
    case 260: return {true, Control::NRX1, "/versionfinder/NRX-Firmware.txt"};
    case 95: return {true, Control::WN71, "/versionfinder/WN7-Firmware.txt"};
    case 94: return {true, Control::PL81, "/versionfinder/PL8-Firmware.txt"};
    case 92: return {true, Control::ZEPHRA31, "/versionfinder/ZEPHRA3-Firmware.txt"};
    case 93: return {true, Control::ZP90001, "/versionfinder/ZEPHRA9-Firmware.txt"};
    case 103: case 104: case 264:
        return {true, Control::OB5x00Family1, "/versionfinder/ORBIS5X-Firmware.txt"};
    case 123: return {false, Control::BtnStart, "/versionfinder/ZEPHRA6-Firmware.txt"};
    default: return {false, Control::BtnStart, nullptr};
    }
}

// ---------------------------------------------------------------------------
// Engine

Engine::Engine(FrontEnd& frontEnd) : ui(frontEnd) {}

Engine::~Engine() {
    if (host) host->SetTransferProgress(nullptr, nullptr);
}

void Engine::TellUser(const std::string& message, const std::string& title, int kind) {
    ui.ShowMessage(message, title, kind);
    if (log) LogMessage(log.get(), 1, "ErrorOK Told User:", "%s", message.c_str());
}

bool Engine::Ask(const std::string& message, const std::string& title) {
    return ui.AskOkCancel(message, title);
}

void Engine::SetStatus(const std::string& text) {
    ui.SetStatusText(text);
    ui.ProcessEvents();
}

void Engine::SetBar(int position) {
    if (position < 0) position = 0;
    if (position > 100) position = 100;
    bar = position;
    ui.SetProgress(bar);
}

void Engine::StepBar(int by) { SetBar(bar + by); }

void Engine::WriteControl(char c) {
    if (!protocol || !protocol->protocol) return;
    int written = 0;
    protocol->protocol->QSWrite(&c, 1, &written);
}

// --- start-up --------------------------------------------------------------

void Engine::FormShow(const StartupOptions& options) {
    // 1. The default sensor type names the device.
    SetSensorType(product::defaultSensorType);

    // 2, 3. Names and captions; the caption stays as computed here.
    state.caption = state.deviceName + " Firmware Updater";
    ui.SetWindowText(WindowText::Caption, state.caption);
    ui.SetWindowText(WindowText::AppTitle, state.deviceName + " Updater");
    ui.SetWindowText(WindowText::AboutCaption, "About " + state.deviceName + " Firmware Updater");

    // 4. Switches, compared exactly.
    for (const std::string& arg : options.arguments) {
        if (arg == "-factory") {
            state.factoryMode = true;
            state.repMode = true;
        } else if (arg == "-rep") {
            state.repMode = true;
        }
    }

    // 5. What the modes show.
    ui.EnableControl(Control::OpenFirmwareFile1, state.repMode);
    if (state.factoryMode) {
        ui.ShowControl(Control::PromptforSerialNumber1, true);
        ui.ShowControl(Control::DontEraseData1, true);
        if (product::digitalSensorBuild) {
            ui.ShowControl(Control::N3, true);
            ui.ShowControl(Control::Set1, true);
            ui.EnableControl(Control::Set1, false);
            for (Control item : kSensorItems)
                if (SensorItemShownInFactoryMode(item)) ui.ShowControl(item, true);
        }
    }

    // 6. Stored options.
    state.forceFindAll = options.forceFindAll;
    ui.TickMenuItem(Control::ForceFindAllCommPorts1, state.forceFindAll);
    state.verboseLog = true;
    ui.TickMenuItem(Control::VerboseErrorFile1, true);
    state.selectedPortName = options.haveSavedPort ? options.savedPortName : std::string();

    // 7. Working folder.
    if (!options.workFolder.empty()) {
        state.workFolder = options.workFolder;
        MakeFolders(state.workFolder);
    } else {
        std::string folder = DefaultWorkFolder();
        if (!folder.empty() && MakeFolders(folder))
            state.workFolder = folder;
        else
            state.workFolder = ExecutableFolder();
    }

    // 8, 9. The log.
    state.errorsFileName = state.workFolder + "/" + state.caption + ".errors.txt";
    log = std::make_unique<QuarLog>(state.errorsFileName.c_str(), state.verboseLog ? 30u : 1u, false);

    // 10. The device objects.
    protocol = std::make_unique<Quar_protocol>(log.get());
    host = std::make_unique<QuarBSLHost>(log.get());
    host->SetTransferProgress(&Engine::ProgressThunk, this);

    // 11. The port list.
    enumPort = std::make_unique<QuarSerial>(log.get());
    FillPortListInto();
    state.selectedPortIndex = 0;
    if (options.haveSavedPort) {
        for (int i = 0; i < state.portCount; ++i) {
            if (options.savedPortName == state.portList[i].name) {
                state.selectedPortIndex = i;
                break;
            }
        }
    }
    if (state.portCount > 0) {
        std::vector<std::string> items;
        for (int i = 0; i < state.portCount; ++i) items.emplace_back(state.portList[i].description);
        ui.SetPortList(items, state.selectedPortIndex);
        state.selectedPortName = state.portList[state.selectedPortIndex].name;
        state.selectedPortDescription = state.portList[state.selectedPortIndex].description;
    } else {
        ui.SetPortList({"No Comm Ports Found"}, 0);
        state.selectedPortName.clear();
        state.selectedPortDescription.clear();
        ui.EnableControl(Control::BtnStart, false);
    }

    // 12. Texts.
    ui.SetWindowText(WindowText::UserText2, host->Image().imageLabel);
    ui.SetWindowText(WindowText::UserText1, "This utility updates " + state.deviceName + " firmware to");
    ui.SetWindowText(WindowText::CommLabel,
                     std::string("Connect to ") + product::displayName + " with Comm Port");
    ui.SetWindowText(WindowText::LblConnect,
                     std::string("Connect ") + product::shortName + " to computer comm port.");

    // 13. Progress parameters of the embedded image.
    state.eraseProgressStep = 1;
    const unsigned length = host->Image().imageLength;
    state.writeProgressStep = length ? static_cast<float>(35328.0 / length) : 0.0f;
    state.targetVersion = product::initialTargetVersion;

    // 14, 15. The first timers.
    if (DeviceTypeErasesWarning(host->Image().imageDeviceType) && !state.repMode && !state.factoryMode)
        ui.ArmTimer(Timer::EraseWarn);
    else
        ui.ArmTimer(Timer::WebCheck);
    if (host->ConstructorError() < 0) ui.ArmTimer(Timer::ConstructorErrors);
}

void Engine::timerConstructorErrorsTimer() {
    int code = host ? host->ConstructorError() : -60;
    std::string message;
    if (code == -60) {
        message = "The " + state.caption + " ran out of memory while allocating internal buffers.\n\n" +
                  "Please restart this application and try again.";
    } else if (code == -101) {
        message = "The internal firware file for this " + state.caption + " is corrupt.\n\n" +
                  "Please restart this application and try again.";
    } else {
        message = "The " + state.caption + " got an unexpected error starting up.\n" + "[Error: " +
                  Decimal(code) + "]\n\n" + "Please restart this application and try again.";
    }
    TellUser(message, "Application Launch Error", kMsgError);
    if (log) LogMessage(log.get(), 1, "QuarBSL frmMain", "HostBSL class got an constructor error (%d)", code);
    ui.CloseWindow();
}

std::string Engine::EraseWarningText() const {
    return "WARNING: The " + state.caption + " will erase all measurement data\n stored in your " +
           state.deviceName + ".\n\n Please download any data you want to save before continuing.";
}

void Engine::timerEraseWarnTimer() {
    TellUser(EraseWarningText(), "Data Erase Warning", kMsgWarning);
    ui.ArmTimer(Timer::WebCheck);
}

// --- port list -------------------------------------------------------------

void Engine::FillPortListInto() {
    int count = kPortListSize;
    int r = enumPort ? enumPort->CommPortEnum(state.portList, &count, state.forceFindAll) : -10;
    state.portCount = (r < 0) ? 0 : count;
    if (state.portCount < 0) state.portCount = 0;
    if (state.portCount > kPortListSize) state.portCount = kPortListSize;
}

void Engine::cbCommPortDropDown() {
    FillPortListInto();
    std::vector<std::string> items;
    for (int i = 0; i < state.portCount; ++i) items.emplace_back(state.portList[i].description);
    if (items.empty()) {
        ui.SetPortList({"No Comm Ports Found"}, -1);
        return;
    }
    int shown = state.selectedPortIndex < static_cast<int>(items.size()) ? state.selectedPortIndex : 0;
    ui.SetPortList(items, shown);
}

static std::string TooLongMessage(const std::string& name) {
    return "The Comm Port name \"" + name + "\" is too long.\n" + "Comm Port names may have at most " +
           std::to_string(kMaxPortNameLength) + " characters; please choose another Comm Port.";
}

int Engine::cbCommPortChange(int index) {
    if (index < 0 || index >= state.portCount) return -10;
    const CommPortInfo& p = state.portList[index];
    if (std::strlen(p.name) > kMaxPortNameLength) {
        TellUser(TooLongMessage(p.name), "Connection Error", kMsgError);
        return -11;
    }
    state.selectedPortIndex = index;
    state.selectedPortName = p.name;
    state.selectedPortDescription = p.description;
    if (!state.selectedPortName.empty()) ui.EnableControl(Control::BtnStart, true);
    return 1;
}

int Engine::SelectPortByName(const std::string& given) {
    if (given.empty()) return -10;
    for (int i = 0; i < state.portCount; ++i)
        if (given == state.portList[i].name) return cbCommPortChange(i);
    // A path under /dev names the same port as its device name.
    std::string name = given;
    if (name.rfind("/dev/", 0) == 0 && name.size() > 5) name = name.substr(5);
    for (int i = 0; i < state.portCount; ++i)
        if (name == state.portList[i].name) return cbCommPortChange(i);
    if (name.size() > kMaxPortNameLength) {
        TellUser(TooLongMessage(given), "Connection Error", kMsgError);
        return -11;
    }
    state.selectedPortName = name;
    state.selectedPortDescription = given;
    ui.EnableControl(Control::BtnStart, true);
    return 1;
}

// --- sensor type -----------------------------------------------------------

void Engine::SetSensorType(uint32_t code) {
    for (Control item : kSensorItems) ui.TickMenuItem(item, false);
    state.targetSensorType = code;
    SensorMenuRow row = SensorMenuRowFor(code);
    if (row.hasItem) ui.TickMenuItem(row.item, true);
    if (row.versionFinderPath) state.versionFinderPath = row.versionFinderPath;
    char name[kSensorNameSize];
    SensorName(code, name, sizeof name);
    state.deviceName = name;
    ui.SetWindowText(WindowText::UserText1, "This utility updates " + state.deviceName + " firmware to");
}

bool Engine::SensorItemClick(Control item) {
    uint32_t code = SensorMenuCode(item);
    if (code == 0) return false;
    SetSensorType(code);
    return true;
}

// --- gates and notices -----------------------------------------------------

bool Engine::CheckFirmwareWindow(const DeviceInfo& record) {
    if (!record.versionWindow) return true;
    uint32_t version = static_cast<uint32_t>(record.version);
    if (version >= record.minVersion && version <= record.maxVersion) return true;
    std::string message = "The " + state.caption + " doesn't support this " + state.deviceName +
                          "\nrunning version " + FormatVersion(version) +
                          ".\n\nThis updater only works with firmware version ";
    if (version > record.maxVersion)
        message += FormatVersion(record.maxVersion) + " (or older).";
    else
        message += FormatVersion(record.minVersion) + " (or newer).";
    if (state.repMode) {
        message += std::string("\n\nClick OK to force the update anyway.") + "\nClick CANCEL to quit the updater.";
        return Ask(message, "Wrong Firmware Version");
    }
    TellUser(message, "Wrong Firmware Version", kMsgError);
    return false;
}

bool Engine::CheckHardwareRevision() { return CheckHardwareRevisionWith(product::hardwareRevisionGate); }

bool Engine::CheckHardwareRevisionWith(int gate) {
    if (gate != 1 && gate != 2) return true;
    char answer[32] = {};
    unsigned size = sizeof answer, elapsed = 0;
    protocol->protocol->DeviceCommand("get -hver\r", '>', 1500, answer, &size, &elapsed);
    char revision = HardwareRevision(answer, sizeof answer);
    bool refused = (gate == 1) ? revision != 'C' : revision == 'C';
    if (!refused) return true;
    std::string expected = (gate == 1) ? "C" : "A' or 'B";
    std::string rev = revision ? std::string(1, revision) : std::string();
    TellUser("The hardware revision of the connected " + state.deviceName + " is '" + rev + "'" +
                 ".\n\nThis updater only works with " + state.deviceName + " hardware revision '" +
                 expected + "'.",
             "Wrong Hardware Revision", kMsgError);
    return false;
}

void Engine::ShowCalibrationNotice(unsigned type) {
    switch (type) {
    case 7:
        TellUser(std::string("The calibration of your Thermon H1 is outdated or missing.\n\n") +
                     "Please contact Quarnel or your authorized Quarnel representative\n" +
                     "to have your Thermon H1 calibrated.",
                 "Thermon H1 Calibration", kMsgWarning);
        break;
    case 8:
        TellUser(std::string("Updating the firmware in your Lumenta RX-20 requires you to calibrate\n") +
                     "the internal sensors using the external sensor as a reference.\n\n" +
                     "Please see your RX-20 user manual for probe calibration instructions.\n\n" +
                     "Please also reset the Daylight Savings setting in your Lumenta RX-20.",
                 "Please Calibrate Your RX-20", kMsgWarning);
        break;
    case 9:
        TellUser(std::string("Updating the firmware in your Stomex requires you to calibrate\n") +
                     "the the sensor head using the Quarnel-supplied calibration plate.\n\n" +
                     "Please see the Stomex user manual (version 7 or newer) for\n" +
                     "calibration instructions. The latest user manual is available for download from:\n" +
                     "https://www.example.com/quarnel/literature",
                 "Please Calibrate Your Stomex", kMsgWarning);
        break;
    default:
        break;
    }
}

bool Engine::ProgressThunk(void* context, unsigned total, unsigned done, unsigned phase, char letter) {
    return static_cast<Engine*>(context)->TransferProgress(total, done, phase, letter);
}

bool Engine::TransferProgress(unsigned, unsigned, unsigned, char letter) {
    if (letter == 'X') {
        StepBar(state.eraseProgressStep);
    } else if (letter == 'W') {
        state.progressPosition += state.writeProgressStep;
        SetBar(static_cast<int>(state.progressPosition + 0.5f));
    }
    ui.ProcessEvents();
    return state.keepGoing;
}

// --- menu commands ---------------------------------------------------------

int Engine::OpenFirmwareFile(const std::string& path) {
    if (!state.repMode || !host) return -12;
    int r = host->BSLLoadTIFile(path.c_str());
    std::size_t slash = path.find_last_of('/');
    std::string name = (slash == std::string::npos) ? path : path.substr(slash + 1);
    if (r < 0) {
        std::string message;
        if (r == -100)
            message = "The file \"" + name + "\" is not a valid firmware file.\n" +
                      "Please choose a new firmware file to open.";
        else if (r == -60)
            message = "The " + state.caption + " ran out of memory opening \"" + name + "\".\n" +
                      "Please restart this application and try again.";
        else
            message = "The " + state.caption + " could not opening \"" + name + "\".\n" +
                      "Please try again.\nError " + Decimal(r);
        TellUser(message, "File Error", kMsgError);
        return r;
    }
    const FirmwareImage& image = host->Image();
    std::string typeName = DeviceTypeName(image.imageDeviceType);
    ui.SetWindowText(WindowText::UserText2, image.imageLabel);
    ui.SetWindowText(WindowText::UserText1, "This utility updates " + typeName + " firmware to");
    ui.SetWindowText(WindowText::CommLabel, "Connect to " + typeName + " with Comm Port");
    state.deviceName = typeName;
    ui.SetWindowText(WindowText::LblConnect, "Connect " + state.deviceName + " to computer comm port.");
    state.targetVersion = image.imageVersion;
    state.settingsFileName = state.workFolder + "/" + state.deviceName + ".settings.txt";
    state.eraseProgressStep = 1;
    state.writeProgressStep = image.imageLength ? 35328.0f / static_cast<float>(image.imageLength) : 0.0f;
    ui.PlayInformationSound();
    ui.EnableControl(Control::BtnStart, true);
    ui.EnableControl(Control::UpdateFirmware1, true);
    return 1;
}

int Engine::DumpFirmwareImage(const std::string& path) {
    if (!host) return -10;
    int r = host->BSLWriteTIFile(path.c_str());
    if (r < 0) TellUser("Error saving firmware image: " + Decimal(r), "Error", kMsgWarning);
    return r;
}

// --- the Start driver ------------------------------------------------------

void Engine::btnStartClick() {
    ui.EnableControl(Control::BtnStart, false);
    ui.EnableControl(Control::BtnClose, false);
    ui.EnableControl(Control::UpdateFirmware1, false);
    ui.ArmTimer(Timer::Start);
}

int Engine::RunDeviceSequence() {
    static_assert(product::digitalSensorBuild,
                  "the instrument update sequence is not part of this engine yet");
    return UpdateDigitalSensor();
}

void Engine::timerStartTimer() {
    // 1.
    ui.EnableControl(Control::CbCommPort, false);
    state.updateRunning = true;
    state.keepGoing = true;
    SetBar(0);
    ui.SetBusyCursor(true);
    restoreResult = 0;

    // 2.
    ui.SetWindowText(WindowText::LblConnect, "Do NOT disconnect " + state.deviceName + " until finished.");
    state.settingsFileName = state.workFolder + "/" + state.deviceName + ".settings.txt";

    // 3.
    std::memset(&protocol->settings, 0, sizeof protocol->settings);
    std::memset(&protocol->instInfo, 0, sizeof protocol->instInfo);
    std::memset(&deviceInfo, 0, sizeof deviceInfo);
    protocol->settingsCaptured = false;

    // 4.
    ui.SetStatusText("Connecting to " + state.deviceName + "...");
    ui.ShowStatusText(true);
    ui.ProcessEvents();

    // 5.
    startTick = TickMs();
    int result = RunDeviceSequence();
    lastResult = result;

    if (result < 0) {
        // 6.
        ui.ShowStatusText(false);
        SetBar(0);
        WriteControl(kGraveAccent);
        host->BSLHandBack();
        protocol->QPDisconnect(false);
        ui.SetWindowText(WindowText::LblConnect, "Connect " + state.deviceName + " to computer comm port.");
        lastSeconds = 0;
    } else {
        // 7.
        int seconds = static_cast<int>((TickMs() - startTick) / 1000);
        lastSeconds = seconds;
        if (deviceInfo.calibrationReminder) ShowCalibrationNotice(deviceInfo.type);
        SetBar(100);
        ui.SetStatusText("Successfully updated firmware in " + Decimal(seconds) + " seconds.");
        ui.PlayInformationSound();
        ui.ProcessEvents();
        if (log) LogMessage(log.get(), 1, "QuarBSL Host", "Finished updating device in %d seconds", seconds);
        // The settings file is the only copy of the device's settings until
        // they are back in the device.
        if (restoreResult >= 0) {
            std::remove(state.settingsFileName.c_str());
        } else if (log) {
            LogMessage(log.get(), 1, "QuarBSL Host",
                       "Kept the settings file %s: the settings were not restored (%d)",
                       state.settingsFileName.c_str(), restoreResult);
        }
        ui.SetWindowText(WindowText::LblConnect, "You may disconnect your " + state.deviceName + " now.");
    }

    // 8.
    ui.EnableControl(Control::BtnStart, true);
    ui.EnableControl(Control::BtnClose, true);
    ui.SetDefaultButton(Control::BtnClose);
    ui.EnableControl(Control::UpdateFirmware1, true);
    ui.TickMenuItem(Control::PromptforSerialNumber1, false);
    state.replaceSerialNumber = false;
    ui.ShowSerialNumberEntry(false);
    ui.EnableControl(Control::CbCommPort, true);
    ui.SetBusyCursor(false);
    state.updateRunning = false;
}

// --- the digital-sensor sequence -------------------------------------------

std::string Engine::ConnectMessage(int r) const {
    const std::string& description = state.selectedPortDescription;
    if (r == -5)
        return "Comm Port \"" + description + "\" is already in use by another application.\n" +
               "Please choose a new Comm Port to use or quit the application using this port.";
    if (r == -2) return "Comm Port \"" + description + "\" isn't available.\nPlease choose a new Comm Port to use.";
    if (r == -kQSErrPermission)
        return "You don't have permission to use Comm Port \"" + description + "\".\n" +
               "Ask your administrator to add your user to the 'dialout' group, then log in again.";
    std::string message = "The " + state.caption + " is unable to connect to your communication device" +
                          "\n on Comm Port \"" + description + "\".\n\nPlease check your serial cable and Comm Port choice.";
    if (r != -20) message += "\nError " + Decimal(r);
    return message;
}

std::string Engine::WorkingErrorMessage(int code) const {
    return "The " + state.caption + " encountered an error working with your " + state.deviceName +
           ".\n\nPlease try again.\n\n[Error " + Decimal(code) + "]";
}

int Engine::CheckGoBetween() {
    int kind = protocol->settings.kind;
    if (kind == kKindCommDev) return 1;
    if (kind == kKindSendra) {
        char answer[32] = {};
        unsigned size = sizeof answer, elapsed = 0;
        int r = protocol->protocol->DeviceCommand("get -hver\r", '>', 1500, answer, &size, &elapsed);
        char revision = (r >= 1) ? HardwareRevision(answer, sizeof answer) : 0;
        int version = protocol->settings.version;
        if (r >= 1 && version >= kMinReaderVersion && revision >= 'B') return 1;
        std::string rev = revision ? std::string(1, revision) : std::string();
        TellUser(std::string("Your ") + deviceInfo.name + " version " + FormatVersion(static_cast<uint32_t>(version)) +
                     " with hardware revision '" + rev + "' " +
                     "doesn't\nsupport bootstrapping digital sensors.\n\nPlease use a supported Sendra (or KALEN Comm Device)",
                 "Wrong Device Version", kMsgError);
        return -120;
    }
    TellUser("The " + state.caption + " expected to find a Sendra (or KALEN Comm Device)" +
                 ";\nhowever, it found a " + deviceInfo.name + ".\n\nThis updater can not work with a " +
                 deviceInfo.name + ".",
             "Wrong Device", kMsgError);
    return -121;
}

int Engine::UpdateDigitalSensor() {
    // 1. Connect to the reader.
    int r = protocol->QPConnect(state.selectedPortName.c_str(), 2, 3, &deviceInfo);
    if (r < 0) {
        TellUser(ConnectMessage(r), "Connection Error", kMsgError);
        return -20;
    }

    // 2. The go-between.
    r = CheckGoBetween();
    if (r < 0) return r;

    // 3. Battery.
    StepBar(2);
    SetStatus("Checking Sendra battery power...");
    int32_t percent = -1;
    r = protocol->QPCheckBattery(&percent);
    if (r >= 1 && percent < 10) {
        TellUser(std::string("The battery power in the Sendra is too low!\n\n") +
                     "Please replace the batteries before running this updater.",
                 "Batteries Too Low", kMsgError);
        return -130;
    }

    // 4. Lend the port to the loader host.
    StepBar(2);
    r = host->BSLHandOff(protocol->protocol->LendPort(), true, 10);
    if (r < 0) {
        TellUser("The " + state.caption + " is unable to start the QuarBSL engine.\n\nPlease try again.",
                 "Firmware Loader Error", kMsgError);
        return r;
    }

    // 5. Is a loader already running?
    WriteControl(']');
    SleepMs(500);
    r = host->BSLCheck(state.selectedPortName.c_str(), 9600);
    bool loaderConnected = false;
    if (r == -81) {
        WriteControl(kGraveAccent);
        SleepMs(1000);
    } else if (r == -80) {
        loaderConnected = true;
    }

    // 6. From here on the facade treats a digital sensor.
    protocol->deviceType = static_cast<int8_t>(kDeviceTypeDigitalSensor);
    const uint8_t imageType = host->Image().imageDeviceType;
    FillDeviceInfo(imageType, 999, &deviceInfo);

    if (!loaderConnected) {
        // 7. Save the settings.
        SetStatus("Saving settings for this digital sensor...");
        WriteControl('[');
        SleepMs(500);
        r = protocol->QPSaveInfo(state.settingsFileName.c_str());
        if (r < 0) {
            if (!state.repMode && !state.factoryMode) {
                TellUser("This " + state.caption + " could not retrieve the settings from your " + state.deviceName +
                             ".\nPlease try again or contact Quarnel for help.",
                         "Settings Error", kMsgError);
                return r;
            }
            if (!Ask("The " + state.caption + " could not retrieve the settings from your " + state.deviceName +
                         ".\nThis can happen when an intrument is new or doesn't have " + "a serial number set yet.\n\nClick OK to continue loading new firmware." +
                         "\nClick CANCEL to try retrieving the settings again.",
                     "Settings Retrieve Error"))
                return -40;
        }

        // 8. Firmware-version window.
        QuarSDI12* sdi = protocol->sdi;
        FillDeviceInfo(imageType, sdi->sensorVersion, &deviceInfo);
        if (!CheckFirmwareWindow(deviceInfo)) return -120;

        // 9. Newer firmware in the sensor?
        if (static_cast<uint32_t>(deviceInfo.version) > static_cast<uint32_t>(state.targetVersion)) {
            if (!Ask("The firmware in your " + state.deviceName + "\nis newer than the version in this updater.\n\n" +
                         "Are you sure you want to load older firmware.",
                     "Newer Firmware"))
                return -40;
        }

        // 10. Sensor-type gate.
        if (!SensorTypeAccepted(state.targetSensorType, sdi->sensorType)) {
            char name[kSensorNameSize];
            SensorName(sdi->sensorType, name, sizeof name);
            if (!Ask(std::string("The attached sensor is claiming to be a \"") + name + "\"\n\n" +
                         "This firmware updater is for a \"" + state.deviceName + "\".\n\n" +
                         "Are you sure you want to load the firmware for a " + state.deviceName + "?\n",
                     "Wrong Sensor Type"))
                return -40;
        }

        // 11. Start the sensor's loader.
        SetBar(6);
        SetStatus("Starting the firmware loader...");
        r = sdi->SDIInvokeQuarBSL();
        if (r == -82) {
            TellUser(std::string("This digital sensor does not have a working firmware loader.") +
                         ".\n\nPlease contact Quarnel for help.",
                     "Firmware Loader Error", kMsgError);
            return -82;
        }
        if (r < 0) {
            TellUser("The " + state.caption + " is unable to connect to the firmware loader in your " +
                         state.deviceName + ".\n\nPlease try again.",
                     "Firmware Loader Error", kMsgError);
            return -110;
        }
    }

    // 12. Attach to the loader.
    r = host->BSLAttach();
    if (r < 0) {
        TellUser("The " + state.caption + " is unable to connect to the firmware loader in your " +
                     state.deviceName + ".\n\nPlease try again.",
                 "Firmware Loader Error", kMsgError);
        return -110;
    }

    // 13. Erase.
    StepBar(2);
    SetStatus("Erasing firmware memory...");
    const bool wide = deviceInfo.wideAddress != 0;
    r = host->BSLEraseINFO(deviceInfo.infoStart, deviceInfo.infoSegments, deviceInfo.infoSegmentSize, wide);
    if (r < 0) {
        TellUser(WorkingErrorMessage(r), "INFO Memory Erase Error", kMsgError);
        return r;
    }
    r = host->BSLEraseFlash(deviceInfo.mainFlashStart, deviceInfo.mainFlashEnd, wide);
    if (r < 0) {
        TellUser(WorkingErrorMessage(r), "Firmware Erase Error", kMsgError);
        return r;
    }

    // 14. Write.
    state.progressPosition = 21.0f;
    SetBar(21);
    SetStatus("Uploading new firmware code...");
    SleepMs(100);
    r = host->BSLSendFirmware(wide);
    if (r < 0) {
        TellUser(WorkingErrorMessage(r), "Firmware Upload Error", kMsgError);
        return r;
    }

    // 15. Vectors; the sensor restarts.
    SetStatus("Restarting the " + state.deviceName + ", please wait...");
    host->BSLSendVectors();

    // 16. Back to the reader; the new firmware checks itself.
    SetBar(92);
    ui.ProcessEvents();
    host->BSLHandBack();
    WriteControl('[');
    StepBar(2);
    SetStatus("Checking new firmware...");
    SleepMs(1000);
    r = protocol->sdi->SDICheckBinary();
    if (r == -66) {
        TellUser("The new firmware for your " + state.deviceName + " is corrupt!\n\nPlease try again or contact Quarnel.",
                 "Firmware Error", kMsgError);
        return -66;
    }
    if (r < 0) {
        TellUser("The " + state.caption + " was unable to verify the new firmware in your " + state.deviceName +
                     ".\n\nPlease try again or contact Quarnel.\n\n[Error " + Decimal(r) + "]",
                 "Firmware Error", kMsgError);
        return r;
    }

    // 17. Settings back.
    StepBar(2);
    SetStatus("Restoring settings...");
    r = protocol->QPRestoreInfo(state.settingsFileName.c_str(), nullptr);
    restoreResult = r;
    if (r < 0) {
        TellUser("The " + state.caption + " failed to restore the calibration and address\n" + "for your " +
                     state.deviceName + ".\n\nPlease calibrate this sensor and check the address.\n\n[Error " +
                     Decimal(r) + "]",
                 "Settings Error", kMsgError);
    }

    // 18. Sensor type.
    r = protocol->sdi->SDISetSensorType(state.targetSensorType);
    if (r < 0) {
        TellUser("The " + state.caption + " failed to set the sensor type for your " + state.deviceName +
                     ".\n\nThe sensor type will be auto-determined by the firmware.\n\n[Error " + Decimal(r) + "]",
                 "Settings Error", kMsgError);
    }

    // 19. Leave the reader.
    StepBar(2);
    WriteControl(kGraveAccent);
    protocol->QPDisconnect(false);
    return 1;
}

}  // namespace app
