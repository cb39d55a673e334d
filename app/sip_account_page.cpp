#include "app/sip_account_page.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QThreadPool>

#include "app/keyring.h"
#include "app/modem_tools.h"
#include "line/sip_account.h"
#include "line/sip_line.h"
#include "platform/app_settings.h"
#include "platform/ini_file.h"
#include "platform/paths.h"
#include "ui/widgets.h"
#include "ui/window_helpers.h"

namespace tv {

namespace {

constexpr int kTestTimeoutMs = 10000;
constexpr char kTransportUdp[] = "udp";

std::string Section() { return SipSection(kSipDevice); }

QString Text(const IniFile& ini, const char* key, const char* defaultValue = "") {
  return QString::fromStdString(ini.ReadString(Section(), key, defaultValue));
}

}  // namespace

TSipAccountPage::TSipAccountPage(QWidget* parent) : QWidget(parent) {
  setObjectName("TSipAccountPage");
  account_ = NewLineEdit(this, "SipAccount", "Who you are at your SIP provider: sip:USER@DOMAIN, or sip:USER@DOMAIN:PORT");
  account_->setPlaceholderText("sip:USER@DOMAIN");
  comPort_ = new QComboBox(this);
  comPort_->setObjectName("SipComPort");
  comPort_->addItem("none");
  for (int n = 1; n <= kComPorts; ++n) comPort_->addItem(QString("Com%1").arg(n));
  comPort_->setToolTip("The port the program opens to fax over the account");
  registrar_ = NewLineEdit(this, "SipRegistrar", "HOST or HOST:PORT; empty: the account's domain");
  proxy_ = NewLineEdit(this, "SipProxy", "HOST or HOST:PORT; empty: calls go to the account's domain");
  register_ = new QCheckBox("Register with the &provider", this);
  register_->setObjectName("SipRegister");
  register_->setToolTip("Off for a PBX trunk that knows where to find this program");
  localPort_ = new QSpinBox(this);
  localPort_->setObjectName("SipLocalPort");
  localPort_->setRange(0, 65535);
  localPort_->setSpecialValueText("any free port");
  transport_ = new QComboBox(this);
  transport_->setObjectName("SipTransport");
  transport_->addItem(kTransportUdp);
  t38_ = new QCheckBox("Offer and accept &T.38 (off: faxes go as sound, G.711)", this);
  t38_->setObjectName("SipT38");
  redundancy_ = new QSpinBox(this);
  redundancy_->setObjectName("SipRedundancy");
  redundancy_->setRange(0, 99);
  redundancy_->setToolTip("How many earlier T.38 packets each datagram repeats, against packets lost on the way");
  mediaPorts_ = NewLineEdit(this, "SipMediaPorts", "LOW-HIGH for the fax data (a firewall's opening); empty: any", 12);
  password_ = NewLineEdit(this, "SipPassword", "Kept in the desktop's keyring; empty keeps the one there");
  password_->setEchoMode(QLineEdit::Password);
  test_ = NewPushButton(this, "Test acco&unt", "SipTestButton",
                        "Keeps the account as typed and registers with it once");
  testResult_ = new QLabel(this);
  testResult_->setObjectName("SipTestResult");
  testResult_->setWordWrap(true);

  auto* form = new QFormLayout(this);
  form->addRow("A&ccount:", account_);
  form->addRow("Pass&word:", password_);
  form->addRow("&Fax port:", comPort_);
  form->addRow("&Registrar:", registrar_);
  form->addRow("Pro&xy:", proxy_);
  form->addRow(register_);
  form->addRow("Local SIP p&ort:", localPort_);
  form->addRow("Tra&nsport:", transport_);
  form->addRow(t38_);
  form->addRow("T.38 re&dundancy:", redundancy_);
  form->addRow("&Media ports:", mediaPorts_);
  form->addRow(test_, testResult_);
  connect(test_, &QPushButton::clicked, this, &TSipAccountPage::TestAccount);
  FillFrom(IniFile({}));
}

void TSipAccountPage::FillFrom(const IniFile& ini) {
  account_->setText(Text(ini, "Account"));
  comPort_->setCurrentIndex(0);
  for (int n = kComPorts; n >= 1; --n) {
    if (ComDevicePath(ini, n) == kSipDevice) comPort_->setCurrentIndex(n);
  }
  registrar_->setText(Text(ini, "Registrar"));
  proxy_->setText(Text(ini, "Proxy"));
  const SipAccount defaults;
  register_->setChecked(ini.ReadBool(Section(), "Register", defaults.registers));
  localPort_->setValue(ini.ReadInteger(Section(), "LocalPort", defaults.localPort));
  // A transport the line does not know stays, for the check to name it.
  const QString transport = Text(ini, "Transport", kTransportUdp);
  if (transport_->findText(transport) < 0) transport_->addItem(transport);
  transport_->setCurrentText(transport);
  t38_->setChecked(ini.ReadBool(Section(), "T38", defaults.t38));
  redundancy_->setValue(ini.ReadInteger(Section(), "Redundancy", defaults.redundancy));
  mediaPorts_->setText(Text(ini, "MediaPorts"));
}

std::string TSipAccountPage::TakeInto(IniFile& ini) const {
  const std::string account = account_->text().trimmed().toStdString();
  if (account.empty() && !ini.SectionExists(Section())) return {};
  ini.WriteString(Section(), "Account", account);
  ini.WriteString(Section(), "Registrar", registrar_->text().trimmed().toStdString());
  ini.WriteString(Section(), "Proxy", proxy_->text().trimmed().toStdString());
  ini.WriteBool(Section(), "Register", register_->isChecked());
  ini.WriteInteger(Section(), "LocalPort", localPort_->value());
  ini.WriteString(Section(), "Transport", transport_->currentText().toStdString());
  ini.WriteBool(Section(), "T38", t38_->isChecked());
  ini.WriteInteger(Section(), "Redundancy", redundancy_->value());
  ini.WriteString(Section(), "MediaPorts", mediaPorts_->text().trimmed().toStdString());
  // One COM number stands for the line; one that stood for it before goes
  // back to its own device.
  for (int n = 1; n <= kComPorts; ++n) {
    const std::string key = "COM" + std::to_string(n);
    if (n == comPort_->currentIndex()) {
      ini.WriteString("Ports", key, kSipDevice);
    } else if (ComDevicePath(ini, n) == kSipDevice) {
      ini.WriteString("Ports", key, "");
    }
  }
  std::string problem;
  if (account.empty() || ReadSipAccount(ini, Section(), problem)) return {};
  return problem;
}

bool TSipAccountPage::Save() {
  IniFile ini(SettingsFilePath());
  if (const std::string problem = TakeInto(ini); !problem.empty()) {
    ShowInformation(QString::fromStdString(problem));
    account_->setFocus();
    return false;
  }
  try {
    ini.Save();
  } catch (const IniWriteError& e) {
    ShowInformation(QString::fromStdString(e.what()));
    return false;
  }
  emit Saved();
  if (password_->text().isEmpty()) return true;
  if (const QString problem = KeepSipPassword(Section(), password_->text()); !problem.isEmpty()) {
    ShowInformation("The SIP password could not be kept: " + problem);
    return false;
  }
  return true;
}

void TSipAccountPage::TestAccount() {
  if (account_->text().trimmed().isEmpty()) {
    testResult_->setText("Enter the account first.");
    return;
  }
  if (!Save()) return;
  test_->setEnabled(false);
  testResult_->setText("Registering...");
  // The registrar may take its time: the window goes on meanwhile.
  QThreadPool::globalInstance()->start([page = QPointer<TSipAccountPage>(this)] {
    const SipRegistration result = TestSipAccount(kSipDevice, kTestTimeoutMs);
    QMetaObject::invokeMethod(qApp, [page, result] {
      if (!page) return;
      page->test_->setEnabled(true);
      QString text = QString::fromStdString(result.text);
      if (!text.isEmpty()) text[0] = text[0].toUpper();
      page->testResult_->setText(text);
    });
  });
}

}  // namespace tv
