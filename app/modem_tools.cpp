#include "app/modem_tools.h"

#include <QApplication>
#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <sstream>

#include "comm/modem_commands.h"
#include "comm/serial_devices.h"
#include "line/demo_line.h"
#include "line/sip_account.h"
#include "line/sip_line.h"
#include "platform/app_settings.h"
#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/paths.h"
#include "ui/help.h"
#include "ui/widgets.h"
#include "ui/window_helpers.h"

namespace tv {

namespace {

constexpr std::int32_t kProbeTicks = 18;  // about one second for "OK" to "AT"

QLabel* WrappedLabel(QWidget* parent, const QString& text, const char* objectName) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(objectName);
  label->setWordWrap(true);
  return label;
}

QPushButton* OkButton(QDialog* dialog) {
  auto* ok = new QPushButton("Ok", dialog);
  ok->setObjectName("OkButton");
  ok->setDefault(true);
  // Hidden while the tool works, its room kept so the dialog need not grow.
  QSizePolicy policy = ok->sizePolicy();
  policy.setRetainSizeWhenHidden(true);
  ok->setSizePolicy(policy);
  QObject::connect(ok, &QPushButton::clicked, dialog, &QDialog::accept);
  return ok;
}

// The hourglass while a tool talks to the modem.
struct WaitCursor {
  WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~WaitCursor() { QApplication::restoreOverrideCursor(); }
};

void CloseQuietly(TQaComPort& port) {
  try {
    port.SetOpen(false);
  } catch (const std::exception&) {
    // A port that fails to close is closed as far as the tools are concerned.
  }
}

// The first line of the modem's answer to ATI (its identification), or empty.
QString ModemIdentity(TQaComPort& port) {
  std::ostringstream lines;
  std::ostringstream ignored;
  try {
    RunAtCommands(port, {"ATI"}, 1, lines, ignored);
  } catch (const std::exception&) {
    return {};
  }
  std::istringstream in(lines.str());
  for (std::string line; std::getline(in, line);) {
    const QString text = QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size())).trimmed();
    if (!text.isEmpty() && text.compare("ATI", Qt::CaseInsensitive) != 0 && text != "OK") return text.left(48);
  }
  return {};
}

}  // namespace

namespace {

// "ann@example.org" for the account of a SIP line's device name.
QString SipAccountLabel(const IniFile& ini, const std::string& device) {
  std::string problem;
  const auto account = ReadSipAccount(ini, SipSection(device), problem);
  return account ? QString::fromStdString(account->user + "@" + account->domain) : QString("no account");
}

}  // namespace

QString ComDeviceLabel(const IniFile& ini, int comNumber) {
  const std::string device = ComDevicePath(ini, comNumber);
  if (IsDemoDevice(device)) return "Demo line";
  if (IsSipDevice(device)) return "SIP: " + SipAccountLabel(ini, device);
  return QString::fromStdString(device);
}

QString ComPortName(int comNumber) {
  const IniFile ini(SettingsFilePath());
  const QString name = QString("Com%1").arg(comNumber);
  return IsSipDevice(ComDevicePath(ini, comNumber)) ? name + " (" + ComDeviceLabel(ini, comNumber) + ")" : name;
}

QStringList ComPortItems() {
  const IniFile ini(SettingsFilePath());
  QStringList items;
  for (int n = 1; n <= kComPorts; ++n) items << QString("Com%1 (%2)").arg(n).arg(ComDeviceLabel(ini, n));
  return items;
}

void ShowComPortDevices(RadioGroup& portChoice) {
  const QStringList items = ComPortItems();
  for (int i = 0; i < items.size(); ++i) portChoice.SetItemText(i, items[i]);
}

// ---------------------------------------------------------------------------
// Find Modem

struct TFindModemForm::Probe {
  int comNumber;       // 1..6, or 0 for a USB device
  std::string device;  // the USB device's name
  QString caption;     // "Com 1: "
  QLabel* label;
};

TFindModemForm::TFindModemForm(TQaComPort& port, QWidget* parent) : QDialog(parent), port_(port) {
  setObjectName("TFindModemForm");
  setWindowTitle("Finding Modem...Please wait");
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel("Communications Ports:", this));
  for (int n = 1; n <= kComPorts; ++n) {
    auto* label = new QLabel(QString("Com %1:").arg(n), this);
    label->setObjectName(QString("ComLabel%1").arg(n));
    portLabels_.push_back(label);
    layout->addWidget(label);
  }
  resultLabel_ = WrappedLabel(this, "Testing Communications ports...please wait.", "ResultLabel");
  helpLink_ = WrappedLabel(this, "<a href=\"#\">How to keep other programs away from the fax modem</a>", "HelpLink");
  helpLink_->setVisible(false);
  connect(helpLink_, &QLabel::linkActivated, this, [] { ShowHelp(kHelpTroubleshooting); });
  ok_ = OkButton(this);
  ok_->setVisible(false);
  layout->addWidget(resultLabel_);
  layout->addWidget(helpLink_);
  layout->addWidget(ok_, 0, Qt::AlignHCenter);
  setMinimumWidth(fontMetrics().horizontalAdvance('M') * 40);
}

void TFindModemForm::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (started_) return;
  started_ = true;
  QTimer::singleShot(0, this, &TFindModemForm::ProbePorts);
}

void TFindModemForm::ProbePorts() {
  port_.SetTraceName(ProgramFolder() + "TVTEST.TRC");
  port_.SetLogName(ProgramFolder() + "TVTEST.LOG");
  result_ = -1;
  foundDevice_.clear();
  busyPortSeen_ = false;
  ok_->setVisible(false);

  std::vector<Probe> probes;
  const IniFile ini(SettingsFilePath());
  for (int n = 1; n <= kComPorts; ++n) {
    probes.push_back({n, {}, QString("Com %1: ").arg(n), portLabels_[static_cast<std::size_t>(n - 1)]});
  }
  // USB modems that no COM number stands for yet are tried after the COM ports.
  for (const SerialDevice& usb : UsbSerialDevices()) {
    bool mapped = false;
    for (int n = 1; n <= kComPorts; ++n) mapped = mapped || SameDevice(ComDevicePath(ini, n), usb.path);
    if (mapped) continue;
    const std::string name = usb.stableName.empty() ? usb.path : usb.stableName;
    auto* label = WrappedLabel(this, {}, "UsbLabel");
    static_cast<QVBoxLayout*>(layout())->insertWidget(layout()->indexOf(resultLabel_), label);
    probes.push_back({0, name, QString::fromStdString(name) + ": ", label});
  }

  {
    WaitCursor wait;
    for (Probe& probe : probes) {
      probe.label->setText(probe.caption + "TESTING");
      QCoreApplication::processEvents();
      probe.label->setText(ProbePort(probe));
    }
  }
  ShowOutcome();
}

QString TFindModemForm::ProbePort(Probe& probe) {
  const IniFile ini(SettingsFilePath());
  // A SIP line is listed, not probed: opening it would register with the provider.
  if (const std::string device = probe.comNumber > 0 ? ComDevicePath(ini, probe.comNumber) : std::string();
      IsSipDevice(device)) {
    return probe.caption + "SIP line (" + SipAccountLabel(ini, device) + ")";
  }
  if (probe.comNumber > 0) port_.SetComNumber(static_cast<std::uint16_t>(probe.comNumber));
  port_.SetDevicePath(probe.device);
  QString text = probe.caption;
  try {
    port_.SetOpen(true);
    bool answered = false;
    if (port_.Open()) {
      try {
        port_.SendText("AT\r");
        answered = port_.WaitForText("OK", kProbeTicks, false, true);
      } catch (const std::exception&) {
        answered = false;
      }
    }
    if (answered) {
      text += "MODEM";
      if (const QString identity = ModemIdentity(port_); !identity.isEmpty()) text += " (" + identity + ")";
      if (probe.comNumber > 0 && result_ == -1) result_ = probe.comNumber;
      if (probe.comNumber == 0 && result_ == -1 && foundDevice_.empty()) foundDevice_ = probe.device;
    } else {
      text += "Unknown";
    }
  } catch (const std::exception& error) {
    const int code = ExceptionToErrorCode(error);
    if (code == ecAlreadyOpen || code == ecHardware) {
      text += "Port is already open (could be modem)";
      busyPortSeen_ = true;
    } else if (code == ecBadId) {
      text += "Port does not exist";
    } else if (dynamic_cast<const EQaException*>(&error) || dynamic_cast<const EInOutError*>(&error)) {
      // Errors without a table text (a device the user may not open) carry their own message.
      std::string message = ErrorMessageText(code);
      if (message.empty()) message = error.what();
      text += message.empty() ? QString("Unknown Error") : DisplayText(QString::fromStdString(message));
    } else {
      text += "ERROR: " + QString::fromLocal8Bit(error.what());
    }
  }
  CloseQuietly(port_);
  port_.SetDevicePath({});
  return text;
}

void TFindModemForm::ShowOutcome() {
  if (result_ > 0) {
    resultLabel_->setText(QString("A modem was found on Com Port %1. We suggest setting the Port as Com %1.")
                               .arg(result_));
  } else if (!foundDevice_.empty()) {
    resultLabel_->setText("A modem was found on " + QString::fromStdString(foundDevice_) +
                           ". It can be used as the Com port you have chosen.");
  } else if (busyPortSeen_) {
    resultLabel_->setText(
        "No modem found. Please make sure that all communication programs (internet, AOL, etc) are closed, and then "
        "try again. If you know which Com port your modem uses, you can also just set the Port to that setting");
  } else {
    resultLabel_->setText(
        "No modem found. If you know which Com port your modem uses, you can also just set the Port to that setting");
  }
  helpLink_->setVisible(busyPortSeen_);
  ok_->setVisible(true);
  GrowToFit(this);
  setWindowTitle("Find Modem");
  Beep();
}

// ---------------------------------------------------------------------------
// Check Fax Class

TCheckFaxClassForm::TCheckFaxClassForm(TQaComPort& port, TQaSendFax& fax, int comNumber, QWidget* parent)
    : QDialog(parent), port_(port), fax_(fax), comNumber_(comNumber) {
  setObjectName("TCheckFaxClassForm");
  setWindowTitle("Finding Fax Class...Please wait");
  class1_ = new QLabel("Class 1 :", this);
  class1_->setObjectName("Class1Label");
  class2_ = new QLabel("Class 2 :", this);
  class2_->setObjectName("Class2Label");
  class20_ = new QLabel("Class 2.0 :", this);
  class20_->setObjectName("Class20Label");
  status_ = WrappedLabel(this, "Testing Fax Classes...please wait.", "StatusLabel");
  ok_ = OkButton(this);
  ok_->setVisible(false);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel("Fax Classes:", this));
  for (QLabel* label : {class1_, class2_, class20_}) layout->addWidget(label);
  layout->addWidget(status_);
  layout->addWidget(ok_, 0, Qt::AlignHCenter);
  setMinimumWidth(fontMetrics().horizontalAdvance('M') * 36);
}

void TCheckFaxClassForm::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (started_) return;
  started_ = true;
  QTimer::singleShot(0, this, &TCheckFaxClassForm::CheckClasses);
}

void TCheckFaxClassForm::ShowUnknown() {
  class1_->setText("Class 1   : unknown");
  class2_->setText("Class 2   : unknown");
  class20_->setText("Class 2.0 : unknown");
}

void TCheckFaxClassForm::CheckClasses() {
  result_ = -1;
  className_.clear();
  status_->setText("Opening Com Port...please wait");
  QCoreApplication::processEvents();
  port_.SetComNumber(static_cast<std::uint16_t>(comNumber_));
  std::string message;
  if (!OpenComPortChecked(port_, message)) {
    status_->setText(DisplayText(QString::fromStdString(message)));
    ShowUnknown();
  } else {
    WaitCursor wait;
    ModemFactoryReset(port_);
    status_->setText("Querying modem Fax Class support...");
    QCoreApplication::processEvents();
    int classes = 0;
    try {
      classes = fax_.FaxCapabilities();
    } catch (const std::exception&) {
      classes = 0;
    }
    status_->clear();
    const bool class1 = classes & 4;
    const bool class2 = classes & 8;
    const bool class20 = classes & 16;
    if (!class1 && !class2 && !class20) {
      status_->setText(QString("Unable to determine Fax Class support from modem on Com %1").arg(comNumber_));
      ShowUnknown();
    } else {
      auto line = [](const char* name, bool supported) {
        return QString(name) + (supported ? "Supported" : "Not Supported");
      };
      class1_->setText(line("Class 1   : ", class1));
      class2_->setText(line("Class 2   : ", class2));
      class20_->setText(line("Class 2.0 : ", class20));
      if (class20) {
        result_ = 2;
        className_ = "Class 2.0";
        QFont bold = class20_->font();
        bold.setBold(true);
        class20_->setFont(bold);
      } else if (class2) {
        result_ = 1;
        className_ = "Class 2";
        class2_->setText(class2_->text() + " (recommended)");
      } else {
        result_ = 0;
        className_ = "Class 1";
        class1_->setText(class1_->text() + " (recommended)");
      }
      QCoreApplication::processEvents();
      status_->setText("Try using the recommended Fax Class (" + className_ + ") or auto detect. " +
                       "If you experience problems, try Class 1.\n\n"
                       "(note: US Robotics users should read the help section on troubleshooting)");
    }
  }
  Beep();
  CloseQuietly(port_);
  QCoreApplication::processEvents();
  ok_->setVisible(true);
  GrowToFit(this);
  setWindowTitle("Check Fax Class");
}

// ---------------------------------------------------------------------------
// Modem Reset

TResetModemForm::TResetModemForm(QWidget* parent) : QDialog(parent) {
  setObjectName("TResetModemForm");
  setWindowTitle("Modem Reset");
  port_.SetAutoOpen(false);
  port_.SetInSize(8192);
  port_.SetOutSize(8192);
  port_.SetHWFlowOptions(hwfUseRTS | hwfRequireCTS);
  port_.SetTraceSize(32000);
  port_.SetTapiMode(tmOff);

  comPort_ = new RadioGroup({}, ComPortItems(), kComPorts, this);
  comPort_->setObjectName("ComPort");
  comPort_->setToolTip(DisplayText("Select the communications port for your faxmodem here"));
  resetString_ = new QLineEdit("AT&F", this);
  resetString_->setObjectName("ResetString");
  resetString_->setToolTip(DisplayText("Enter the modem reset string here. Usually this \ris AT&F or AT&F1."));
  alwaysUse_ = new QCheckBox("Always use this reset string before sending or receiving faxes", this);
  alwaysUse_->setObjectName("AlwaysUse");
  resetNow_ = new QPushButton("&Reset The Modem Now", this);
  resetNow_->setObjectName("Helpbutton");
  resetNow_->setToolTip("Click here to reset the modem now");
  ok_ = new QPushButton("&Ok", this);
  ok_->setObjectName("OkButton");
  ok_->setToolTip("Exit");
  ok_->setDefault(true);
  status_ = WrappedLabel(this, {}, "Status");
  status_->setFrameShape(QFrame::StyledPanel);
  status_->setMinimumHeight(status_->fontMetrics().height() * 2);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel("Reset the modem on communications port:", this));
  layout->addWidget(comPort_);
  layout->addWidget(new QLabel("Use the following reset string:", this));
  layout->addWidget(resetString_);
  layout->addWidget(alwaysUse_);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(resetNow_);
  buttons->addStretch(1);
  buttons->addWidget(ok_);
  layout->addLayout(buttons);
  layout->addWidget(status_);

  connect(resetNow_, &QPushButton::clicked, this, &TResetModemForm::ResetNowClick);
  connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
}

void TResetModemForm::SetValues(int comPort, const QString& resetString, bool alwaysUse) {
  comPort_->SetItemIndex(comPort < 0 ? 0 : comPort);
  resetString_->setText(resetString);
  alwaysUse_->setChecked(alwaysUse);
}

QString TResetModemForm::ResetString() const { return resetString_->text(); }
bool TResetModemForm::AlwaysUse() const { return alwaysUse_->isChecked(); }

void TResetModemForm::ResetNowClick() {
  ok_->setEnabled(false);
  status_->setText("Opening Com Port...please wait");
  QCoreApplication::processEvents();
  if (comPort_->ItemIndex() < 0) {
    status_->setText("Please choose the communications port of your modem.");
  } else {
    port_.SetComNumber(static_cast<std::uint16_t>(comPort_->ItemIndex() + 1));
    std::string message;
    if (!OpenComPortChecked(port_, message)) {
      status_->setText(DisplayText(QString::fromStdString(message)));
    } else {
      WaitCursor wait;
      const std::string command = WithAtPrefix(resetString_->text().toStdString());
      resetString_->setText(QString::fromStdString(command));
      status_->setText(SendModemCommand(port_, command) ? "Modem reset" : "Unable to reset modem");
    }
  }
  Beep();
  CloseQuietly(port_);
  QCoreApplication::processEvents();
  ok_->setEnabled(true);
}

void ShowModemResetDialog(QWidget* parent) {
  LoadAppSettings();
  TResetModemForm dialog(parent);
  dialog.SetValues(Settings().ComPort, QString::fromStdString(Settings().ResetString), Settings().ResetAlways);
  CenterForm(&dialog);
  dialog.exec();
  Settings().ResetString = dialog.ResetString().toStdString();
  Settings().ResetAlways = dialog.AlwaysUse();
  SaveAppSettings();
}

// ---------------------------------------------------------------------------
// The callers' side

void FindModemFor(QWidget* parent, TQaComPort& port, RadioGroup& portChoice) {
  const int chosen = portChoice.ItemIndex();
  TFindModemForm dialog(port, parent);
  CenterForm(&dialog);
  dialog.exec();
  port.SetComNumber(static_cast<std::uint16_t>(chosen + 1));
  const int found = dialog.Result();
  if (found > 0 && found != chosen + 1) {
    if (AskYesNo(QString("Set Com Port to Com %1").arg(found), "Com Port")) portChoice.SetItemIndex(found - 1);
    return;
  }
  if (found > 0 || dialog.FoundDevice().empty()) return;
  const int target = chosen < 0 ? 1 : chosen + 1;
  const QString device = QString::fromStdString(dialog.FoundDevice());
  if (!AskYesNo(QString("Use the modem on %1 as Com %2?").arg(device).arg(target), "Com Port")) return;
  try {
    MapComDevice(SettingsFilePath(), target, dialog.FoundDevice());
  } catch (const IniWriteError& error) {
    ShowInformation(QString::fromStdString(error.what()));
    return;
  }
  portChoice.SetItemIndex(target - 1);
  ShowComPortDevices(portChoice);
}

void CheckFaxClassFor(QWidget* parent, TQaComPort& port, TQaSendFax& fax, const RadioGroup& portChoice,
                      RadioGroup& classChoice) {
  TCheckFaxClassForm dialog(port, fax, portChoice.ItemIndex() + 1, parent);
  CenterForm(&dialog);
  dialog.exec();
  const int result = dialog.Result();
  if (result >= 0 && result + 1 != classChoice.ItemIndex() &&
      AskYesNo("Set fax class as " + dialog.ClassName() + " ?", "Fax Class")) {
    classChoice.SetItemIndex(result + 1);
  }
}

}  // namespace tv
