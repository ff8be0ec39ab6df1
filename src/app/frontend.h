// What the update engine needs from the window it runs in. The Qt window,
// the command-line front end and the tests each implement it; the engine
// never knows which one it talks to.
#pragma once

#include <string>
#include <vector>

namespace app {

// Message kinds of TellUser.
enum MessageKind : int {
    kMsgWarning = 0,
    kMsgError = 1,
    kMsgInformation = 2,
    kMsgConfirmation = 3,
    kMsgPlain = 4,  // no icon
};

// Texts of the main window.
enum class WindowText {
    Caption,       // window caption
    AppTitle,      // application title
    AboutCaption,  // caption of the About menu item
    UserText1,
    UserText2,
    CommLabel,
    LblConnect,
};

// Controls and menu items the engine enables, disables, shows or ticks.
enum class Control {
    BtnStart,
    BtnClose,
    CbCommPort,
    UpdateFirmware1,
    OpenFirmwareFile1,
    PromptforSerialNumber1,
    DontEraseData1,
    ForceFindAllCommPorts1,
    VerboseErrorFile1,
    N3,
    Set1,
    // The sensor items of the Settings menu.
    K7W1, K7V1, N4Q1, N4R1, WPX11, DG9D1, KLT1, FZ41, FZ4R1, HM51, HM61,
    NRX1, WN71, PL81, ZEPHRA31, ZP90001, OB5x00Family1,
};

// The one-shot timers of the main window.
enum class Timer {
    Start,              // runs timerStartTimer
    EraseWarn,          // runs timerEraseWarnTimer
    WebCheck,           // the automatic version check
    ConstructorErrors,  // runs timerConstructorErrorsTimer
};

class FrontEnd {
public:
    virtual ~FrontEnd() = default;

    // A modal message with the single button OK; plays the kind's sound first.
    virtual void ShowMessage(const std::string& message, const std::string& title, int kind) = 0;
    // A question with OK and Cancel and the exclamation icon; true for OK.
    virtual bool AskOkCancel(const std::string& message, const std::string& title) = 0;

    virtual void SetStatusText(const std::string& text) = 0;
    virtual void ShowStatusText(bool visible) = 0;
    virtual void SetWindowText(WindowText which, const std::string& text) = 0;

    // Progress bar, 0 to 100.
    virtual void SetProgress(int position) = 0;

    virtual void EnableControl(Control which, bool enabled) = 0;
    virtual void ShowControl(Control which, bool visible) = 0;
    virtual void TickMenuItem(Control which, bool ticked) = 0;
    virtual void SetDefaultButton(Control which) = 0;
    // Shows or hides the serial-number entry; hiding also empties it.
    virtual void ShowSerialNumberEntry(bool visible) = 0;
    virtual void SetBusyCursor(bool busy) = 0;
    // The information (asterisk) sound.
    virtual void PlayInformationSound() = 0;

    // Fills the port list with these descriptions and shows the item at
    // selected (or nothing when selected is negative).
    virtual void SetPortList(const std::vector<std::string>& items, int selected) = 0;

    // Arms a one-shot timer; the front end calls the engine's handler when
    // it fires (WebCheck goes to the version check).
    virtual void ArmTimer(Timer which) = 0;
    // Closes the main window, which ends the program.
    virtual void CloseWindow() = 0;

    // Repaints and handles pending window events.
    virtual void ProcessEvents() = 0;
};

}  // namespace app
