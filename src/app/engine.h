// The update engine: the application state, start-up, the Start driver and
// the digital-sensor update sequence, independent of the window it runs in.
// A front end (frontend.h) shows what the engine tells it and calls the
// engine's handlers for its buttons, menu items and timers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/frontend.h"
#include "app/productconfig.h"
#include "image/catalogue.h"
#include "instrument/instrument_record.h"
#include "serial/quarserial.h"

class QuarLog;
class QuarBSLHost;
class Quar_protocol;

namespace app {

constexpr int kPortListSize = 16;
// The instrument protocol's connection records hold port names of at most
// this many characters.
constexpr std::size_t kMaxPortNameLength = kLinkPortNameMax;

// Everything the main window keeps for the whole run.
struct AppState {
    std::string caption;  // window caption, fixed at start-up
    std::string deviceName;
    bool factoryMode = false;
    bool repMode = false;
    bool forceFindAll = false;
    bool verboseLog = true;
    bool dontEraseData = false;
    bool replaceSerialNumber = false;

    CommPortInfo portList[kPortListSize] = {};
    int portCount = 0;
    int selectedPortIndex = 0;
    std::string selectedPortName;
    // The text messages quote for the chosen port: the listed description,
    // or the name when the port is not in the list.
    std::string selectedPortDescription;

    std::string workFolder;
    std::string errorsFileName;
    std::string settingsFileName;
    std::string versionFinderPath;

    bool updateRunning = false;
    bool keepGoing = true;
    int eraseProgressStep = 1;
    float writeProgressStep = 0.0f;
    float progressPosition = 0.0f;
    int targetVersion = 0;
    uint32_t targetSensorType = 0;
};

// What the program was started with, and what the front end stored.
struct StartupOptions {
    std::vector<std::string> arguments;  // after the program name
    bool forceFindAll = false;           // stored "find all ports" option
    bool haveSavedPort = false;
    std::string savedPortName;
    // Overrides the working folder when not empty.
    std::string workFolder;
};

// The working folder: $XDG_DATA_HOME (else ~/.local/share) + "/Quarnel/QuarBSL".
// Empty when neither the variable nor a home folder is known.
std::string DefaultWorkFolder();
// Creates a folder with its missing parents. True when it exists afterwards.
bool MakeFolders(const std::string& path);
// Folder of the running executable (no trailing slash).
std::string ExecutableFolder();

// The first character of answer[0..size) that is neither a blank nor a
// carriage return, line feed or tab; 0 when there is none.
char HardwareRevision(const char* answer, std::size_t size);

// True when a sensor of sensorType may be loaded with firmware meant for
// targetType (a type code, or a family code that names several types).
bool SensorTypeAccepted(uint32_t targetType, unsigned sensorType);

// Version numbers times 100 as the user reads them: 406 -> "4.06".
std::string FormatVersion(uint32_t version);

// The sensor menu item of a sensor type code (or family code), with the
// request path of its version check. item is false for codes without one.
struct SensorMenuRow {
    bool hasItem;
    Control item;
    const char* versionFinderPath;  // null: unchanged
};
SensorMenuRow SensorMenuRowFor(uint32_t code);
// The code a sensor menu item selects; 0 for other controls.
uint32_t SensorMenuCode(Control item);
// The sensor items, in menu order, and those the factory menu shows.
extern const Control kSensorItems[17];
bool SensorItemShownInFactoryMode(Control item);

class Engine {
public:
    explicit Engine(FrontEnd& ui);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Start-up of the main window, in its order: sensor type, names and
    // captions, switches, working folder and file names, log, facade and
    // loader host, port list, texts, progress parameters, first timers.
    void FormShow(const StartupOptions& options);
    void timerConstructorErrorsTimer();
    void timerEraseWarnTimer();

    // The shared message dialog: shows, then logs at level 1.
    void TellUser(const std::string& message, const std::string& title, int kind);

    // Port list. Fill rebuilds the list (as when it is opened); Select picks
    // a listed port by index, SelectPortByName a listed port by name or any
    // device name or path. Both refuse names longer than kMaxPortNameLength
    // with a message and return -11; 1 on success, -10 for an empty name or
    // an index outside the list.
    void cbCommPortDropDown();
    int cbCommPortChange(int index);
    int SelectPortByName(const std::string& name);

    // The Start button and its timer.
    void btnStartClick();
    void timerStartTimer();
    int UpdateDigitalSensor();
    // Outcome of the last run of timerStartTimer.
    int LastResult() const { return lastResult; }
    int LastSeconds() const { return lastSeconds; }
    int LastRestoreResult() const { return restoreResult; }

    void SetSensorType(uint32_t code);
    // A click on one of the 17 sensor items; false for other controls.
    bool SensorItemClick(Control item);
    bool CheckFirmwareWindow(const DeviceInfo& record);
    bool CheckHardwareRevision();
    void ShowCalibrationNotice(unsigned type);
    // Progress of the loader's erase and write.
    bool TransferProgress(unsigned total, unsigned done, unsigned phase, char letter);

    // The Open Firmware File command after the file was chosen; only while
    // the command is enabled (rep or factory mode). 1 on success, else the
    // loader host's code (-12 when the command is disabled), after the
    // message.
    int OpenFirmwareFile(const std::string& path);
    // The Dump Firmware Image command after the path was chosen.
    int DumpFirmwareImage(const std::string& path);

    // The text of the data-erase warning.
    std::string EraseWarningText() const;

    AppState& State() { return state; }
    const AppState& State() const { return state; }
    QuarLog* Log() const { return log.get(); }
    Quar_protocol* Protocol() const { return protocol.get(); }
    QuarBSLHost* Host() const { return host.get(); }
    DeviceInfo& Info() { return deviceInfo; }
    int ProgressBar() const { return bar; }

private:
    void SetStatus(const std::string& text);
    void SetBar(int position);
    void StepBar(int by);
    bool Ask(const std::string& message, const std::string& title);
    void WriteControl(char c);
    int RunDeviceSequence();
    void FillPortListInto();
    std::string ConnectMessage(int r) const;
    std::string WorkingErrorMessage(int code) const;
    int CheckGoBetween();
    bool CheckHardwareRevisionWith(int gate);
    static bool ProgressThunk(void* context, unsigned total, unsigned done, unsigned phase,
                              char letter);

    FrontEnd& ui;
    AppState state;
    std::unique_ptr<QuarLog> log;
    std::unique_ptr<Quar_protocol> protocol;
    std::unique_ptr<QuarBSLHost> host;
    std::unique_ptr<QuarSerial> enumPort;
    DeviceInfo deviceInfo = {};
    int bar = 0;
    uint32_t startTick = 0;
    int lastResult = 0;
    int lastSeconds = 0;
    int restoreResult = 0;
};

}  // namespace app
