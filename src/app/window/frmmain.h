// The main window: the Qt front end of the update engine. It holds the
// controls, the menu and the one-shot timers, keeps the stored settings, and
// hands the web window the version check and the feedback form.
#pragma once

#include <QComboBox>
#include <QDialog>
#include <QMessageBox>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>

#include "app/engine.h"
#include "app/frontend.h"

class QAction;
class QCloseEvent;
class QLabel;
class QLineEdit;
class QMenu;
class QMenuBar;
class QProgressBar;
class QPushButton;
class QShortcut;
class QShowEvent;
class QTimer;
class TfrmWeb;
class WebCheckTimer;

namespace quarwin {

// Where the stored settings live: QSettings(kOrganization, kApplication).
inline constexpr const char* kOrganization = "Quarnel Devices, Inc";
inline constexpr const char* kApplication = "QuarBSL";

// Size of the window's client area below the menu bar.
inline constexpr int kClientWidth = 346;
inline constexpr int kClientHeight = 262;

// One message box as the window asks for it.
struct MessageBoxRequest {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    QMessageBox::StandardButton defaultButton = QMessageBox::Ok;
    bool stayOnTop = false;
};

// One file dialog. filter uses Qt's ";;" separated form.
struct FileDialogRequest {
    QString title;
    QString filter;
    QString defaultSuffix;
    QString directory;
    bool save = false;
};

// Processes pending events and waits at most maxWaitMs for more: the engine's
// event pump, so that long pauses and transfers keep the window painting.
void QtEventPump(unsigned maxWaitMs);

// The drop-down list that tells before it opens.
class PortComboBox : public QComboBox {
    Q_OBJECT
public:
    using QComboBox::QComboBox;
    std::function<void()> aboutToOpen;
    void showPopup() override;
};

}  // namespace quarwin

class TfrmMain : public QDialog, public app::FrontEnd {
    Q_OBJECT
public:
    // arguments: the command line after the program name.
    explicit TfrmMain(const QStringList& arguments, QWidget* parent = nullptr);
    ~TfrmMain() override;

    // Seams for the desktop. When set they replace the real message box
    // (returning the button pressed) and the real file dialog (returning the
    // chosen path, or empty for Cancel).
    std::function<QMessageBox::StandardButton(const quarwin::MessageBoxRequest&)> messageBoxHook;
    std::function<QString(const quarwin::FileDialogRequest&)> fileDialogHook;

    app::Engine& Engine() { return engine; }
    const app::AppState& State() const { return engine.State(); }
    TfrmWeb* Web() const { return frmWeb; }
    WebCheckTimer* WebCheck() const { return tWebCheck; }
    // The application title ("<device> Updater"); shown as the icon text.
    QString ApplicationTitle() const { return applicationTitle; }

    // Start-up and close.
    void FormShow();
    void FormClose();
    // The close guard: false (after telling the user) while an update runs.
    bool ConfirmQuit();

    // Buttons, port list and timers.
    void btnStartClick();
    void btnCloseClick();
    void cbCommPortDropDown();
    void cbCommPortChange(int index);
    void timerStartTimer();
    void timerEraseWarnTimer();
    void timerConstructorErrorsTimer();

    // Menu commands.
    void OpenFirmwareFile1Click();
    void UpdateFirmware1Click();
    void DumpFirmwareImage1Click();
    void Exit1Click();
    void VerboseErrorFile1Click();
    void ForceFindAllCommPorts1Click();
    void DontEraseData1Click();
    void PromptforSerialNumber1Click();
    void Help2Click();
    void About1Click();
    void SendFeedbacktoQuarnel1Click();
    void CheckforUpdates1Click();

    QString HelpText() const;
    QString AboutText() const;

    // The FrontEnd the engine talks to.
    void ShowMessage(const std::string& message, const std::string& title, int kind) override;
    bool AskOkCancel(const std::string& message, const std::string& title) override;
    void SetStatusText(const std::string& text) override;
    void ShowStatusText(bool visible) override;
    void SetWindowText(app::WindowText which, const std::string& text) override;
    void SetProgress(int position) override;
    void EnableControl(app::Control which, bool enabled) override;
    void ShowControl(app::Control which, bool visible) override;
    void TickMenuItem(app::Control which, bool ticked) override;
    void SetDefaultButton(app::Control which) override;
    void ShowSerialNumberEntry(bool visible) override;
    void SetBusyCursor(bool busy) override;
    void PlayInformationSound() override;
    void SetPortList(const std::vector<std::string>& items, int selected) override;
    void ArmTimer(app::Timer which) override;
    void CloseWindow() override;
    void ProcessEvents() override;

    // Components.
    QLabel* Image1;
    QLabel* userText1;
    QLabel* userText2;
    QLabel* lblConnect;
    QLabel* commLabel;
    quarwin::PortComboBox* cbCommPort;
    QLabel* Label1;
    QLabel* statusText;
    QProgressBar* statusBar;
    QLabel* newSN;
    QLineEdit* newSNstr;
    QPushButton* btnStart;
    QPushButton* btnClose;
    QMenuBar* MainMenu1;
    QTimer* timerEraseWarn;
    QTimer* timerStart;
    QTimer* timerConstructorErrors;
    WebCheckTimer* tWebCheck;

    // Menus and their items.
    QMenu* File1;
    QAction* OpenFirmwareFile1;
    QAction* UpdateFirmware1;
    QAction* DumpFirmwareImage1;
    QAction* N1;
    QAction* Exit1;
    QMenu* Edit1;
    QAction* VerboseErrorFile1;
    QAction* ForceFindAllCommPorts1;
    QAction* DontEraseData1;
    QAction* PromptforSerialNumber1;
    QAction* N3;
    QAction* Set1;
    QMenu* Help1;
    QAction* Help2;
    QAction* SendFeedbacktoQuarnel1;
    QAction* CheckforUpdates1;
    QAction* N2;
    QAction* About1;
    // The Dump command's key, live while its item is hidden.
    QShortcut* DumpShortcut;

    // The sensor item of a control, or null.
    QAction* SensorItem(app::Control which) const;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    // Escape presses the cancel button.
    void reject() override;

private:
    QMessageBox::StandardButton RunMessageBox(const quarwin::MessageBoxRequest& request);
    QString RunFileDialog(const quarwin::FileDialogRequest& request);
    void BuildControls();
    void BuildMenu();
    QAction* ActionOf(app::Control which) const;
    QWidget* WidgetOf(app::Control which) const;

    QStringList arguments;
    app::Engine engine;
    TfrmWeb* frmWeb = nullptr;
    std::map<app::Control, QAction*> sensorItems;
    QString applicationTitle;
    bool shown = false;
    bool busyCursor = false;
    EventPump previousPump = nullptr;
};
