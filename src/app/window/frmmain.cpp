#include "app/window/frmmain.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QShortcut>
#include <QShowEvent>
#include <QTimer>
#include <QVBoxLayout>

#include "app/productconfig.h"
#include "app/window/productpicture.h"
#include "diag/quarlog.h"
#include "image/catalogue.h"
#include "image/embedded_image.h"
#include "web/web.h"

namespace quarwin {

void QtEventPump(unsigned maxWaitMs) {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    if (maxWaitMs == 0)
        return;
    // The timer's own event ends the wait when nothing else arrives first.
    QTimer wake;
    wake.setSingleShot(true);
    wake.start(static_cast<int>(maxWaitMs));
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void PortComboBox::showPopup() {
    if (aboutToOpen)
        aboutToOpen();
    QComboBox::showPopup();
}

}  // namespace quarwin

using app::Control;
using quarwin::FileDialogRequest;
using quarwin::MessageBoxRequest;

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

// File names go to the engine in the encoding of the file system.
std::string FilePath(const QString& path) { return QFile::encodeName(path).toStdString(); }

// The maker's contact details for the help and about texts.
const char kPostalAddress[] =
    "Quarnel Devices, Inc\n"
    "1200 Example Industrial Way\n"
    "Anytown, ST 00000, USA\n";
const char kTelephone1[] = "Telephone: +1 555-0142";
const char kTelephone2[] = "Toll free: +1 555-0143";
const char kFax[] = "Fax: +1 555-0144";
const char kCopyright[] = " 2003-2024 Quarnel Devices, Inc. All rights reserved.";

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, int x, int y, int w, int h,
                  bool bold = false) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    label->setGeometry(x, y, w, h);
    if (bold) {
        QFont f = label->font();
        f.setBold(true);
        label->setFont(f);
    }
    return label;
}

}  // namespace

TfrmMain::TfrmMain(const QStringList& args, QWidget* parent)
    : QDialog(parent), arguments(args), engine(*this) {
    setObjectName(QStringLiteral("frmMain"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setWindowIcon(QIcon(QPixmap::fromImage(quarwin::ProductPicture(48))));
    setSizeGripEnabled(false);

    BuildMenu();
    BuildControls();

    timerEraseWarn = new QTimer(this);
    timerEraseWarn->setObjectName(QStringLiteral("timerEraseWarn"));
    timerEraseWarn->setSingleShot(true);
    timerEraseWarn->setInterval(500);
    connect(timerEraseWarn, &QTimer::timeout, this, &TfrmMain::timerEraseWarnTimer);

    timerStart = new QTimer(this);
    timerStart->setObjectName(QStringLiteral("timerStart"));
    timerStart->setSingleShot(true);
    timerStart->setInterval(100);
    connect(timerStart, &QTimer::timeout, this, &TfrmMain::timerStartTimer);

    timerConstructorErrors = new QTimer(this);
    timerConstructorErrors->setObjectName(QStringLiteral("timerConstructorErrors"));
    timerConstructorErrors->setSingleShot(true);
    timerConstructorErrors->setInterval(100);
    connect(timerConstructorErrors, &QTimer::timeout, this, &TfrmMain::timerConstructorErrorsTimer);

    // The web window comes after the main window and stays until the end.
    frmWeb = new TfrmWeb(this);
    tWebCheck = new WebCheckTimer(
        frmWeb,
        [this] {
            const app::AppState& s = engine.State();
            return WebCheckInputs{static_cast<unsigned>(s.targetVersion), Q(s.versionFinderPath),
                                  Q(s.deviceName) + QStringLiteral(" Firmware Updater")};
        },
        this);
    tWebCheck->setObjectName(QStringLiteral("tWebCheck"));

    previousPump = CurrentEventPump();
    SetEventPump(&quarwin::QtEventPump);
}

TfrmMain::~TfrmMain() {
    if (CurrentEventPump() == &quarwin::QtEventPump)
        SetEventPump(previousPump);
    if (busyCursor)
        QApplication::restoreOverrideCursor();
}

void TfrmMain::BuildMenu() {
    MainMenu1 = new QMenuBar(this);
    MainMenu1->setObjectName(QStringLiteral("MainMenu1"));
    MainMenu1->setNativeMenuBar(false);

    auto item = [this](QMenu* menu, const char* name, const QString& caption) {
        QAction* a = menu->addAction(caption);
        a->setObjectName(QString::fromLatin1(name));
        return a;
    };
    auto separator = [](QMenu* menu, const char* name) {
        QAction* a = menu->addSeparator();
        a->setObjectName(QString::fromLatin1(name));
        return a;
    };

    File1 = MainMenu1->addMenu(QStringLiteral("&File"));
    File1->setObjectName(QStringLiteral("File1"));
    OpenFirmwareFile1 = item(File1, "OpenFirmwareFile1", QStringLiteral("&Open Firmware File..."));
    OpenFirmwareFile1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    OpenFirmwareFile1->setEnabled(false);
    UpdateFirmware1 = item(File1, "UpdateFirmware1", QStringLiteral("&Update Firmware"));
    UpdateFirmware1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_F));
    DumpFirmwareImage1 = item(File1, "DumpFirmwareImage1", QStringLiteral("&Dump Firmware Image..."));
    DumpFirmwareImage1->setShortcut(QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_D));
    DumpFirmwareImage1->setVisible(false);
    N1 = separator(File1, "N1");
    Exit1 = item(File1, "Exit1", QStringLiteral("&Exit"));
    Exit1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));

    Edit1 = MainMenu1->addMenu(QStringLiteral("&Settings"));
    Edit1->setObjectName(QStringLiteral("Edit1"));
    VerboseErrorFile1 = item(Edit1, "VerboseErrorFile1", QStringLiteral("&Verbose Error File"));
    VerboseErrorFile1->setCheckable(true);
    VerboseErrorFile1->setChecked(true);
    VerboseErrorFile1->setEnabled(false);
    ForceFindAllCommPorts1 = item(Edit1, "ForceFindAllCommPorts1", QStringLiteral("Force Find All &Comm Ports"));
    ForceFindAllCommPorts1->setCheckable(true);
    DontEraseData1 = item(Edit1, "DontEraseData1", QStringLiteral("&Don't Erase Data"));
    DontEraseData1->setCheckable(true);
    DontEraseData1->setVisible(false);
    PromptforSerialNumber1 = item(Edit1, "PromptforSerialNumber1", QStringLiteral("&Replace Serial Number"));
    PromptforSerialNumber1->setCheckable(true);
    PromptforSerialNumber1->setVisible(false);
    N3 = separator(Edit1, "N3");
    N3->setVisible(false);
    Set1 = item(Edit1, "Set1", QStringLiteral("Set Digital Sensor to:"));
    Set1->setVisible(false);
    Set1->setEnabled(false);

    struct SensorCaption {
        Control control;
        const char* name;
        const char* caption;
    };
    static const SensorCaption kCaptions[] = {
        {Control::K7W1, "K7W1", "K7W"},
        {Control::K7V1, "K7V1", "K7V"},
        {Control::N4Q1, "N4Q1", "N4Q"},
        {Control::N4R1, "N4R1", "N4R"},
        {Control::WPX11, "WPX11", "WPX-1 && WPX-3"},
        {Control::DG9D1, "DG9D1", "DG9D"},
        {Control::KLT1, "KLT1", "KLT Family"},
        {Control::FZ41, "FZ41", "FZ-4"},
        {Control::FZ4R1, "FZ4R1", "FZ-4R"},
        {Control::HM51, "HM51", "HM-5"},
        {Control::HM61, "HM61", "HM-6"},
        {Control::NRX1, "NRX1", "NRX Family"},
        {Control::WN71, "WN71", "WN-7"},
        {Control::PL81, "PL81", "PL-8"},
        {Control::ZEPHRA31, "ZEPHRA31", "ZEPHRA 3"},
        {Control::ZP90001, "ZP90001", "ZEPHRA 9"},
        {Control::OB5x00Family1, "OB5x00Family1", "ORBIS 5x Family"},
    };
    for (const SensorCaption& c : kCaptions) {
        QAction* a = item(Edit1, c.name, QString::fromLatin1(c.caption));
        a->setCheckable(true);
        a->setVisible(false);
        const Control control = c.control;
        connect(a, &QAction::triggered, this, [this, control] { engine.SensorItemClick(control); });
        sensorItems[control] = a;
    }

    Help1 = MainMenu1->addMenu(QStringLiteral("&Help"));
    Help1->setObjectName(QStringLiteral("Help1"));
    Help2 = item(Help1, "Help2", QStringLiteral("&Help"));
    Help2->setShortcut(QKeySequence(Qt::Key_F1));
    SendFeedbacktoQuarnel1 = item(Help1, "SendFeedbacktoQuarnel1", QStringLiteral("Send Feedback to VORTA..."));
    CheckforUpdates1 = item(Help1, "CheckforUpdates1", QStringLiteral("Check for Newer Firmware Version"));
    N2 = separator(Help1, "N2");
    About1 = item(Help1, "About1", QStringLiteral("&About..."));

    connect(OpenFirmwareFile1, &QAction::triggered, this, &TfrmMain::OpenFirmwareFile1Click);
    connect(UpdateFirmware1, &QAction::triggered, this, &TfrmMain::UpdateFirmware1Click);
    connect(DumpFirmwareImage1, &QAction::triggered, this, &TfrmMain::DumpFirmwareImage1Click);
    connect(Exit1, &QAction::triggered, this, &TfrmMain::Exit1Click);
    connect(VerboseErrorFile1, &QAction::triggered, this, &TfrmMain::VerboseErrorFile1Click);
    connect(ForceFindAllCommPorts1, &QAction::triggered, this, &TfrmMain::ForceFindAllCommPorts1Click);
    connect(DontEraseData1, &QAction::triggered, this, &TfrmMain::DontEraseData1Click);
    connect(PromptforSerialNumber1, &QAction::triggered, this, &TfrmMain::PromptforSerialNumber1Click);
    connect(Help2, &QAction::triggered, this, &TfrmMain::Help2Click);
    connect(About1, &QAction::triggered, this, &TfrmMain::About1Click);
    connect(SendFeedbacktoQuarnel1, &QAction::triggered, this, &TfrmMain::SendFeedbacktoQuarnel1Click);
    connect(CheckforUpdates1, &QAction::triggered, this, &TfrmMain::CheckforUpdates1Click);

    // A hidden item's own shortcut is dead, so the dump key has its own.
    DumpShortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_D), this);
    DumpShortcut->setObjectName(QStringLiteral("DumpShortcut"));
    connect(DumpShortcut, &QShortcut::activated, this, &TfrmMain::DumpFirmwareImage1Click);
}

void TfrmMain::BuildControls() {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->setMenuBar(MainMenu1);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("clientArea"));
    client->setFixedSize(quarwin::kClientWidth, quarwin::kClientHeight);
    layout->addWidget(client);

    Image1 = new QLabel(client);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(8, 8, 48, 48);
    Image1->setPixmap(QPixmap::fromImage(quarwin::ProductPicture(48)));

    userText1 = MakeLabel(client, "userText1", QStringLiteral("This utility updates instrument firmware to"), 64, 6,
                          278, 32);
    userText1->setWordWrap(true);
    userText1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    userText2 = MakeLabel(client, "userText2", QStringLiteral("Instrument x.yy"), 64, 38, 278, 24, true);
    userText2->setWordWrap(true);
    userText2->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblConnect = MakeLabel(client, "lblConnect", QStringLiteral("Connect instrument to computer comm port."), 8, 68,
                           330, 16, true);
    commLabel = MakeLabel(client, "commLabel", QStringLiteral("Use computer comm port:"), 8, 92, 330, 16);

    cbCommPort = new quarwin::PortComboBox(client);
    cbCommPort->setObjectName(QStringLiteral("cbCommPort"));
    cbCommPort->setGeometry(8, 110, 330, 24);
    cbCommPort->setEditable(false);
    cbCommPort->setToolTip(QStringLiteral("Pick your comm port from this list."));
    {
        QFont f = cbCommPort->font();
        f.setBold(true);
        cbCommPort->setFont(f);
    }
    cbCommPort->aboutToOpen = [this] { cbCommPortDropDown(); };
    connect(cbCommPort, &QComboBox::activated, this, &TfrmMain::cbCommPortChange);

    Label1 = MakeLabel(client, "Label1", QStringLiteral("Status:"), 8, 146, 52, 16, true);
    statusText = MakeLabel(client, "statusText", QString(), 62, 146, 276, 16);
    statusText->setVisible(false);

    statusBar = new QProgressBar(client);
    statusBar->setObjectName(QStringLiteral("statusBar"));
    statusBar->setGeometry(8, 166, 330, 18);
    statusBar->setRange(0, 100);
    statusBar->setValue(0);
    statusBar->setTextVisible(false);

    newSN = MakeLabel(client, "newSN", QStringLiteral("New Serial Number"), 8, 196, 124, 20);
    newSN->setVisible(false);
    newSNstr = new QLineEdit(client);
    newSNstr->setObjectName(QStringLiteral("newSNstr"));
    newSNstr->setGeometry(136, 194, 120, 22);
    newSNstr->setMaxLength(15);
    newSNstr->setVisible(false);

    btnStart = new QPushButton(QStringLiteral("Start"), client);
    btnStart->setObjectName(QStringLiteral("btnStart"));
    btnStart->setGeometry(176, 228, 75, 25);
    btnStart->setDefault(true);
    connect(btnStart, &QPushButton::clicked, this, &TfrmMain::btnStartClick);

    btnClose = new QPushButton(QStringLiteral("Close"), client);
    btnClose->setObjectName(QStringLiteral("btnClose"));
    btnClose->setGeometry(263, 228, 75, 25);
    connect(btnClose, &QPushButton::clicked, this, &TfrmMain::btnCloseClick);
}

QAction* TfrmMain::SensorItem(Control which) const {
    auto found = sensorItems.find(which);
    return found == sensorItems.end() ? nullptr : found->second;
}

QAction* TfrmMain::ActionOf(Control which) const {
    switch (which) {
    case Control::UpdateFirmware1: return UpdateFirmware1;
    case Control::OpenFirmwareFile1: return OpenFirmwareFile1;
    case Control::PromptforSerialNumber1: return PromptforSerialNumber1;
    case Control::DontEraseData1: return DontEraseData1;
    case Control::ForceFindAllCommPorts1: return ForceFindAllCommPorts1;
    case Control::VerboseErrorFile1: return VerboseErrorFile1;
    case Control::N3: return N3;
    case Control::Set1: return Set1;
    default: return SensorItem(which);
    }
}

QWidget* TfrmMain::WidgetOf(Control which) const {
    switch (which) {
    case Control::BtnStart: return btnStart;
    case Control::BtnClose: return btnClose;
    case Control::CbCommPort: return cbCommPort;
    default: return nullptr;
    }
}

// --- start-up and close ----------------------------------------------------

void TfrmMain::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (shown || event->spontaneous())
        return;
    shown = true;
    if (QScreen* s = screen()) {
        const QRect area = s->availableGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }
    FormShow();
}

void TfrmMain::FormShow() {
    app::StartupOptions options;
    for (const QString& a : arguments)
        options.arguments.push_back(a.toStdString());
    QSettings settings(QString::fromLatin1(quarwin::kOrganization), QString::fromLatin1(quarwin::kApplication));
    options.forceFindAll = settings.contains(QStringLiteral("FindAllComms")) &&
                           settings.value(QStringLiteral("FindAllComms")).toBool();
    options.haveSavedPort = settings.contains(QStringLiteral("CommPort"));
    if (options.haveSavedPort)
        options.savedPortName = settings.value(QStringLiteral("CommPort")).toString().toStdString();
    engine.FormShow(options);
}

void TfrmMain::FormClose() {
    const app::AppState& s = engine.State();
    QSettings settings(QString::fromLatin1(quarwin::kOrganization), QString::fromLatin1(quarwin::kApplication));
    settings.setValue(QStringLiteral("FindAllComms"), s.forceFindAll);
    settings.setValue(QStringLiteral("VerboseLog"), s.verboseLog);
    settings.setValue(QStringLiteral("CommPort"), Q(s.selectedPortName));
    settings.sync();
}

bool TfrmMain::ConfirmQuit() {
    const app::AppState& s = engine.State();
    if (s.updateRunning) {
        const QString device = Q(s.deviceName);
        MessageBoxRequest request;
        request.title = QStringLiteral("Don't Quit Now!");
        request.text = QStringLiteral("The ") + Q(s.caption) + QStringLiteral(" is updating your ") + device +
                       QStringLiteral("!\nThis process should NOT be interrupted.\n\n") + QStringLiteral("Your ") +
                       device + QStringLiteral(" may be unusable or have missing settings\n") +
                       QStringLiteral("until you complete the firmware update process.\n\n") +
                       QStringLiteral("Click OK to continue updating your") + QLatin1Char(' ') + device +
                       QStringLiteral(".\n");
        request.icon = QMessageBox::Warning;
        RunMessageBox(request);
        return false;
    }
    engine.State().keepGoing = false;
    return true;
}

void TfrmMain::closeEvent(QCloseEvent* event) {
    if (!ConfirmQuit()) {
        event->ignore();
        return;
    }
    FormClose();
    event->accept();
}

void TfrmMain::reject() {
    if (btnClose->isEnabled() && btnClose->isVisible())
        btnClose->click();
}

void TfrmMain::btnCloseClick() { close(); }

void TfrmMain::Exit1Click() { close(); }

// --- buttons, port list, timers --------------------------------------------

void TfrmMain::btnStartClick() { engine.btnStartClick(); }

void TfrmMain::UpdateFirmware1Click() { engine.btnStartClick(); }

void TfrmMain::cbCommPortDropDown() { engine.cbCommPortDropDown(); }

void TfrmMain::cbCommPortChange(int index) { engine.cbCommPortChange(index); }

void TfrmMain::timerStartTimer() {
    timerStart->stop();
    // Loading another image while this one is being written would pull the
    // image out from under the transfer.
    const bool openEnabled = OpenFirmwareFile1->isEnabled();
    OpenFirmwareFile1->setEnabled(false);
    engine.timerStartTimer();
    OpenFirmwareFile1->setEnabled(openEnabled);
}

void TfrmMain::timerEraseWarnTimer() {
    timerEraseWarn->stop();
    engine.timerEraseWarnTimer();
}

void TfrmMain::timerConstructorErrorsTimer() {
    timerConstructorErrors->stop();
    engine.timerConstructorErrorsTimer();
}

// --- menu commands ---------------------------------------------------------

void TfrmMain::OpenFirmwareFile1Click() {
    if (!OpenFirmwareFile1->isEnabled() || engine.State().updateRunning)
        return;
    FileDialogRequest request;
    request.title = QStringLiteral("Please select a firmware file");
    request.filter = QStringLiteral("Firmware File (*.txt);;Any File (*)");
    request.defaultSuffix = QStringLiteral("txt");
    request.directory = QDir::currentPath();
    const QString path = RunFileDialog(request);
    if (path.isEmpty())
        return;
    engine.OpenFirmwareFile(FilePath(path));
}

void TfrmMain::DumpFirmwareImage1Click() {
    FileDialogRequest request;
    request.title = QStringLiteral("Save Firmware Image");
    request.defaultSuffix = QStringLiteral("txt");
    request.directory = QDir::currentPath();
    request.save = true;
    const QString path = RunFileDialog(request);
    if (path.isEmpty())
        return;
    engine.DumpFirmwareImage(FilePath(path));
}

void TfrmMain::VerboseErrorFile1Click() {
    app::AppState& s = engine.State();
    s.verboseLog = VerboseErrorFile1->isChecked();
    if (QuarLog* log = engine.Log())
        log->SetLevel(s.verboseLog ? 30u : 1u);
}

void TfrmMain::ForceFindAllCommPorts1Click() { engine.State().forceFindAll = ForceFindAllCommPorts1->isChecked(); }

void TfrmMain::DontEraseData1Click() { engine.State().dontEraseData = DontEraseData1->isChecked(); }

void TfrmMain::PromptforSerialNumber1Click() {
    const bool ticked = PromptforSerialNumber1->isChecked();
    engine.State().replaceSerialNumber = ticked;
    ShowSerialNumberEntry(ticked);
}

QString TfrmMain::HelpText() const {
    const app::AppState& s = engine.State();
    const QString caption = Q(s.caption);
    const QString device = Q(s.deviceName);
    QString t = QStringLiteral("The ") + caption + QStringLiteral(" replaces the firmware that operates your ") +
                device + QStringLiteral(".\n");
    t += QStringLiteral("Following the simple steps will help ensure a successful update.\n\n");
    if (DeviceTypeErasesWarning(embeddedDeviceType)) {
        t += QStringLiteral("WARNING: Updating the firmware in your ") + device +
             QStringLiteral(" will erase any stored measurement data.\n");
        t += QStringLiteral("Please download any measurement data stored in your") + QLatin1Char(' ') + device +
             QStringLiteral(" that you want to save.\n\n");
    }
    t += QStringLiteral("Before beginning these steps, please make sure your instrument is powered on.\n\n");
    if (product::digitalSensorBuild)
        t += QStringLiteral("Step 1. Connect your Sendra and ") + device +
             QStringLiteral(" to an available serial communication port") + QStringLiteral("\non your computer.\n\n");
    else
        t += QStringLiteral("Step 1. Connect your ") + device +
             QStringLiteral(" to an available USB or serial communication port") + QLatin1Char(' ') +
             QStringLiteral("on your\ncomputer.\n\n");
    t += QStringLiteral("Step 2. Select the correct port from the Comm Port control.\n\n");
    t += QStringLiteral("Step 3. Click the \"Start\" button. The updater shows progress in the Status area.\n\n");
    t += QStringLiteral("WARNING: Do not disconnect your ") + device +
         QStringLiteral(" from the computer while the updater is running.\n");
    t += QStringLiteral("An incomplete firmware update could leave your ") + device + QStringLiteral(" unusable.\n\n");
    t += QStringLiteral("WARNING: Do not quit the ") + device +
         QStringLiteral(" Firmware Updater while the updater is running.\n");
    t += QStringLiteral("An incomplete firmware update could leave your ") + device + QStringLiteral(" unusable.\n\n");
    t += QStringLiteral("Step 4. Once the update is complete, you can disconnect your ") + device +
         QStringLiteral(" from the computer.\n");
    t += QStringLiteral("Please verify your ") + device + QStringLiteral(" configuration is correct. ");
    t += QStringLiteral("Enjoy using the updated firmware version.\n\n");
    t += QStringLiteral("If you have trouble with this ") + device +
         QStringLiteral(" Firmware Updater, Please contact VORTA or\n");
    t += QStringLiteral("an authorized VORTA Group Distributor for help:\n\n");
    t += QString::fromLatin1(kPostalAddress);
    t += QString::fromLatin1(kTelephone1) + QLatin1Char('\n') + QString::fromLatin1(kTelephone2) +
         QLatin1Char('\n') + QString::fromLatin1(kFax) + QLatin1Char('\n') + QStringLiteral("E-mail: ") +
         QString::fromLatin1(kSupportEmail) + QLatin1Char('\n') + QStringLiteral("Web: ") +
         QString::fromLatin1(kSupportWebSite);
    return t;
}

QString TfrmMain::AboutText() const {
#ifdef QUARBSL_VERSION
    const QString version = QStringLiteral(QUARBSL_VERSION);
#else
    const QString version;
#endif
    return QStringLiteral("Firmware Updater for Linux\n\n") + QStringLiteral("QuarBSL Engine version ") + version +
           QStringLiteral("\nCommunication Protocol version ") + QString::fromLatin1(product::protocolVersion) +
           QStringLiteral("\n\n") + QChar(169) + QString::fromLatin1(kCopyright);
}

void TfrmMain::Help2Click() { engine.TellUser(HelpText().toStdString(), "Help", app::kMsgPlain); }

void TfrmMain::About1Click() {
    engine.TellUser(AboutText().toStdString(), "About " + engine.State().deviceName + " Firmware Updater",
                    app::kMsgInformation);
}

void TfrmMain::SendFeedbacktoQuarnel1Click() {
    const app::AppState& s = engine.State();
    const WEB_FORM_INFO_TYPE info{Q(s.caption),
                                  userText2->text(),
                                  QString(),
                                  QString(),
                                  QString::fromLatin1(kSupportEmail),
                                  QFile::decodeName(QByteArray::fromStdString(s.errorsFileName)),
                                  QString(),
                                  QString(),
                                  QCoreApplication::applicationDirPath()};
    frmWeb->LaunchFeedback(info, engine.Log(), windowTitle());
}

void TfrmMain::CheckforUpdates1Click() {
    const app::AppState& s = engine.State();
    frmWeb->CheckVersion(static_cast<unsigned>(s.targetVersion), Q(s.versionFinderPath), false,
                         Q(s.deviceName) + QStringLiteral(" Firmware Updater"));
}

// --- dialogs ---------------------------------------------------------------

QMessageBox::StandardButton TfrmMain::RunMessageBox(const MessageBoxRequest& request) {
    QApplication::beep();
    if (messageBoxHook)
        return messageBoxHook(request);
    QMessageBox box(request.icon, request.title, request.text, request.buttons, this);
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(request.defaultButton);
    if (request.stayOnTop)
        box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

QString TfrmMain::RunFileDialog(const FileDialogRequest& request) {
    if (fileDialogHook)
        return fileDialogHook(request);
    QFileDialog dialog(this, request.title, request.directory, request.filter);
    dialog.setDefaultSuffix(request.defaultSuffix);
    if (request.save) {
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
    } else {
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::ExistingFile);
    }
    if (dialog.exec() != QDialog::Accepted)
        return QString();
    return dialog.selectedFiles().value(0);
}

// --- the engine's front end ------------------------------------------------

void TfrmMain::ShowMessage(const std::string& message, const std::string& title, int kind) {
    MessageBoxRequest request;
    request.title = Q(title);
    request.text = Q(message);
    switch (kind) {
    case app::kMsgWarning: request.icon = QMessageBox::Warning; break;
    case app::kMsgError: request.icon = QMessageBox::Critical; break;
    case app::kMsgInformation: request.icon = QMessageBox::Information; break;
    case app::kMsgConfirmation: request.icon = QMessageBox::Question; break;
    default: request.icon = QMessageBox::NoIcon; break;
    }
    request.stayOnTop = true;
    RunMessageBox(request);
}

bool TfrmMain::AskOkCancel(const std::string& message, const std::string& title) {
    MessageBoxRequest request;
    request.title = Q(title);
    request.text = Q(message);
    request.icon = QMessageBox::Warning;
    request.buttons = QMessageBox::Ok | QMessageBox::Cancel;
    request.defaultButton = QMessageBox::Ok;
    return RunMessageBox(request) == QMessageBox::Ok;
}

void TfrmMain::SetStatusText(const std::string& text) {
    statusText->setText(Q(text));
    statusText->repaint();
}

void TfrmMain::ShowStatusText(bool visible) { statusText->setVisible(visible); }

void TfrmMain::SetWindowText(app::WindowText which, const std::string& text) {
    const QString t = Q(text);
    switch (which) {
    case app::WindowText::Caption: setWindowTitle(t); break;
    case app::WindowText::AppTitle:
        applicationTitle = t;
        setWindowIconText(t);
        break;
    case app::WindowText::AboutCaption: About1->setText(t); break;
    case app::WindowText::UserText1: userText1->setText(t); break;
    case app::WindowText::UserText2: userText2->setText(t); break;
    case app::WindowText::CommLabel: commLabel->setText(t); break;
    case app::WindowText::LblConnect: lblConnect->setText(t); break;
    }
}

void TfrmMain::SetProgress(int position) { statusBar->setValue(position); }

void TfrmMain::EnableControl(Control which, bool enabled) {
    if (QWidget* w = WidgetOf(which))
        w->setEnabled(enabled);
    else if (QAction* a = ActionOf(which))
        a->setEnabled(enabled);
}

void TfrmMain::ShowControl(Control which, bool visible) {
    if (QWidget* w = WidgetOf(which))
        w->setVisible(visible);
    else if (QAction* a = ActionOf(which))
        a->setVisible(visible);
}

void TfrmMain::TickMenuItem(Control which, bool ticked) {
    if (QAction* a = ActionOf(which)) {
        a->setCheckable(true);
        a->setChecked(ticked);
    }
}

void TfrmMain::SetDefaultButton(Control which) {
    btnStart->setDefault(which == Control::BtnStart);
    btnClose->setDefault(which == Control::BtnClose);
}

void TfrmMain::ShowSerialNumberEntry(bool visible) {
    newSN->setVisible(visible);
    newSNstr->setVisible(visible);
    if (visible)
        newSNstr->setFocus();
    else
        newSNstr->clear();
}

void TfrmMain::SetBusyCursor(bool busy) {
    if (busy == busyCursor)
        return;
    busyCursor = busy;
    if (busy)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

void TfrmMain::PlayInformationSound() { QApplication::beep(); }

void TfrmMain::SetPortList(const std::vector<std::string>& items, int selected) {
    const QSignalBlocker block(cbCommPort);
    cbCommPort->clear();
    for (const std::string& item : items)
        cbCommPort->addItem(Q(item));
    cbCommPort->setCurrentIndex(selected >= 0 && selected < cbCommPort->count() ? selected : -1);
}

void TfrmMain::ArmTimer(app::Timer which) {
    switch (which) {
    case app::Timer::Start: timerStart->start(); break;
    case app::Timer::EraseWarn: timerEraseWarn->start(); break;
    case app::Timer::WebCheck: tWebCheck->Arm(); break;
    case app::Timer::ConstructorErrors: timerConstructorErrors->start(); break;
    }
}

void TfrmMain::CloseWindow() { close(); }

void TfrmMain::ProcessEvents() {
    repaint();
    QCoreApplication::processEvents();
}
