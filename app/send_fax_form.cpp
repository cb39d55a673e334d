#include "app/send_fax_form.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <ctime>

#include "app/modem_tools.h"
#include "comm/modem_commands.h"
#include "image/apf_file.h"
#include "image/t4_2d_coding.h"
#include "line/sip_line.h"
#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "ui/help.h"
#include "ui/widgets.h"
#include "ui/window_helpers.h"

namespace tv {

namespace {

const QStringList kRates = {"2400", "4800", "7200", "9600", "12000", "14400"};

std::optional<int> Number(const QLineEdit* edit) {
  bool ok = false;
  const int value = edit->text().trimmed().toInt(&ok, 10);
  return ok ? std::optional<int>(value) : std::nullopt;
}

}  // namespace

QString DialNumberProblem(const QString& number) {
  bool digit = false;
  for (const QChar c : number) {
    if (c >= '0' && c <= '9') {
      digit = true;
    } else if (!QString(" +-()WTPwtp,").contains(c)) {
      return "The fax number \"" + number + "\" holds \"" + c +
             "\", which cannot be dialled. Use digits, blanks, + - ( ) and the dial modifiers W, T, P and the "
             "comma.";
    }
  }
  return digit ? QString() : "Please enter the fax number to dial.";
}

QString TSendFaxForm::BuildHeader(const QString& name, const QString& stationId, const QDateTime& now) {
  QString header = "Page $P of $N, Sent ";
  if (!(name + stationId).trimmed().isEmpty()) header += "by ";
  if (!name.isEmpty()) header += name + ",";
  if (!stationId.isEmpty()) header += " $I ";
  // Fax headers are read the world over: English month names and am/pm.
  const QLocale c = QLocale::c();
  return header + " on " + c.toString(now.date(), "d MMM yyyy") + " at " + c.toString(now.time(), "hh:mmap");
}

TSendFaxForm::TSendFaxForm(QWidget* parent) : QDialog(parent) {
  setObjectName("TSendFaxForm");
  setWindowTitle("Send Fax");

  qaComPort1_.SetComNumber(1);
  qaComPort1_.SetAutoOpen(false);
  qaComPort1_.SetTapiMode(tmOff);
  qaSendFax1_.SetFaxClass(TFaxClass::fcUnknown);
  qaSendFax1_.SetComPort(&qaComPort1_);  // also gives the port its fax settings
  qaComPort1_.SetInSize(8192);
  qaComPort1_.SetOutSize(8192);
  qaComPort1_.SetHWFlowOptions(hwfUseRTS | hwfRequireCTS);
  qaComPort1_.SetBufferFull(7372);
  qaComPort1_.SetBufferResume(819);
  qaComPort1_.SetTraceSize(32000);
  qaComPort1_.SetTraceName("ZPX2.TRC");
  qaComPort1_.SetLogName("ZPX2.LOG");
  qaSendFax1_.SetStatusDisplay(&qaFaxStatus1_);
  qaSendFax1_.SetFaxFileExt("APF");
  // Beyond the dialog's own texts: every call is kept in the fax history.
  faxHistory_.SetFaxHistoryName(ProgramFolder() + "TVFAX.HIS");
  faxHistory_.SetLineMedium(SipLineMedium);
  qaSendFax1_.SetFaxLog(&faxHistory_);
  qaSendFax1_.OnFaxFinish = [this](TQaAbstractFax&, int code) { QaSendFax1FaxFinish(code); };
  qaSendFax1_.OnFaxStatus = [this](TQaAbstractFax&, bool, bool) { QaSendFax1FaxStatus(); };

  sfModemInit_ = NewLineEdit(this, "sfModemInit");
  sfStationID_ = NewLineEdit(this, "sfStationID");
  sfusername_ = NewLineEdit(this, "sfusername");
  sfDialPrefix_ = NewLineEdit(this, "sfDialPrefix");
  sfPhoneNumber_ = NewLineEdit(this, "sfPhoneNumber");
  sfDialAttempts_ = NewLineEdit(this, "sfDialAttempts", {}, 6);
  sfDialAttempts_->setText("3");
  sfRetryWait_ = NewLineEdit(this, "sfRetryWait", {}, 6);
  sfRetryWait_->setText("60");
  sfTimeOut_ = NewLineEdit(this, "sfTimeOut", {}, 6);
  sfTimeOut_->setText("60");
  sfFaxClass_ = new RadioGroup("Fax &class", {"auto detect", "class 1", "class 2", "class 2.0"}, 1, this);
  sfFaxClass_->setObjectName("sfFaxClass");
  comPort_ = new RadioGroup("Port", ComPortItems(), 2, this);
  comPort_->setObjectName("ComPort");
  sfToneOrPulse_ = new RadioGroup("Tone or Pulse", {"Tone", "Pulse"}, 2, this);
  sfToneOrPulse_->setObjectName("sfToneOrPulse");
  checkBlindDial_ = new QCheckBox("Blind Dial (ignore dialtone)", this);
  checkBlindDial_->setObjectName("CheckBlindDial");
  checkIgnoreBusy_ = new QCheckBox("Ignore Busy Signal", this);
  checkIgnoreBusy_->setObjectName("CheckIgnoreBusy");
  transferRate_ = new QComboBox(this);
  transferRate_->setObjectName("TransferRate");
  transferRate_->addItems(kRates);
  status_ = new QLabel(this);
  status_->setObjectName("status");
  status_->setFrameShape(QFrame::StyledPanel);
  status_->setVisible(false);

  auto* sendNow = NewPushButton(this, "&Send Fax Now", "SendFaxButton");
  sendNow->setDefault(true);
  auto* close = NewPushButton(this, "C&lose", "CloseButton");
  auto* help = NewPushButton(this, "&Help", "HelpButton");
  auto* findModem = NewPushButton(this, "Find Modem", "FindModemButton");
  auto* checkClass = NewPushButton(this, "Check Fax Class", "CheckFaxClassButton");
  auto* problems = NewPushButton(this, "Problems??", "ExplorerButton1");
  auto* modemReset = NewPushButton(this, "Modem Reset", "ExplorerButton2");

  auto* fields = new QFormLayout;
  fields->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
  fields->addRow("Fax number to dial:", sfPhoneNumber_);
  fields->addRow("Dial prefix:", sfDialPrefix_);
  fields->addRow("Your name (optional):", sfusername_);
  fields->addRow("Your fax number (Station ID):", sfStationID_);
  fields->addRow("Modem initialization string:", sfModemInit_);
  fields->addRow("Dial attempts:", sfDialAttempts_);
  fields->addRow("Seconds before retry:", sfRetryWait_);
  fields->addRow("Seconds before timeout:", sfTimeOut_);
  fields->addRow("Transfer rate (BPS):", transferRate_);
  fields->addRow(checkBlindDial_);
  fields->addRow(checkIgnoreBusy_);

  auto* choices = new QVBoxLayout;
  choices->addWidget(comPort_);
  choices->addWidget(sfFaxClass_);
  choices->addWidget(sfToneOrPulse_);
  auto* tools = new QHBoxLayout;
  for (QPushButton* tool : {findModem, checkClass, modemReset, problems}) tools->addWidget(tool);
  choices->addLayout(tools);
  choices->addStretch(1);

  auto* columns = new QHBoxLayout;
  columns->addLayout(fields, 1);
  columns->addLayout(choices);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  for (QPushButton* button : {sendNow, close, help}) buttons->addWidget(button);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(columns);
  layout->addWidget(status_);
  layout->addLayout(buttons);

  connect(sendNow, &QPushButton::clicked, this, &TSendFaxForm::SendFaxButtonClick);
  connect(close, &QPushButton::clicked, this, &TSendFaxForm::CloseButtonClick);
  connect(help, &QPushButton::clicked, this, [] { ShowHelp(kHelpSendFax); });
  connect(problems, &QPushButton::clicked, this, [] { ShowHelp(kHelpTroubleshooting); });
  connect(modemReset, &QPushButton::clicked, this, [this] { ShowModemResetDialog(this); });
  connect(findModem, &QPushButton::clicked, this, [this] {
    if (busy_) return Beep();
    FindModemFor(this, qaComPort1_, *comPort_);
  });
  connect(checkClass, &QPushButton::clicked, this, [this] {
    if (busy_) return Beep();
    ResetTracing();
    // The tool closes the port at its end, which writes the trace and the log.
    CheckFaxClassFor(this, qaComPort1_, qaSendFax1_, *comPort_, *sfFaxClass_);
  });
}

TSendFaxForm::~TSendFaxForm() {
  // A fax still going when the dialog is freed ends with it.
  qaSendFax1_.OnFaxFinish = nullptr;
}

void TSendFaxForm::FillFrom(const AppSettings& s) {
  sfModemInit_->setText(QString::fromStdString(s.InitString));
  sfStationID_->setText(QString::fromStdString(s.Fax));
  sfusername_->setText(QString::fromStdString(s.Name));
  sfDialPrefix_->setText(QString::fromStdString(s.DialPrefix));
  sfDialAttempts_->setText(QString::number(s.DialAttempts));
  sfRetryWait_->setText(QString::number(s.RetryWait));
  sfTimeOut_->setText(QString::number(s.Timeout));
  sfFaxClass_->SetItemIndex(s.FaxClass);
  comPort_->SetItemIndex(s.ComPort < 0 ? 0 : s.ComPort);
  sfToneOrPulse_->SetItemIndex(s.ToneOrPulse);
  checkBlindDial_->setChecked(s.BlindDial);
  checkIgnoreBusy_->setChecked(s.IgnoreBusy);
  transferRate_->setCurrentIndex(BpsToRateIndex(s.MaximumBPS));
}

void TSendFaxForm::TakeInto(AppSettings& s) const {
  s.InitString = sfModemInit_->text().toStdString();
  s.Fax = sfStationID_->text().toStdString();
  s.Name = sfusername_->text().toStdString();
  s.DialPrefix = sfDialPrefix_->text().toStdString();
  s.DialAttempts = Number(sfDialAttempts_).value_or(s.DialAttempts);
  s.RetryWait = Number(sfRetryWait_).value_or(s.RetryWait);
  s.Timeout = Number(sfTimeOut_).value_or(s.Timeout);
  if (sfFaxClass_->ItemIndex() >= 0) s.FaxClass = sfFaxClass_->ItemIndex();
  if (comPort_->ItemIndex() >= 0) s.ComPort = comPort_->ItemIndex();
  if (sfToneOrPulse_->ItemIndex() >= 0) s.ToneOrPulse = sfToneOrPulse_->ItemIndex();
  s.BlindDial = checkBlindDial_->isChecked();
  s.IgnoreBusy = checkIgnoreBusy_->isChecked();
  s.MaximumBPS = RateIndexToBps(transferRate_->currentIndex());
}

void TSendFaxForm::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!firstActivation_) return;
  firstActivation_ = false;
  sfPhoneNumber_->setText(initialPhone_);
}

void TSendFaxForm::CloseButtonClick() {
  if (busy_) {
    Beep();
    return;
  }
  accept();
}

// Escape and the window's close box act as "C&lose": refused while a fax is going.
void TSendFaxForm::reject() {
  if (busy_) {
    Beep();
    return;
  }
  QDialog::reject();
}

void TSendFaxForm::closeEvent(QCloseEvent* event) {
  if (busy_) {
    Beep();
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

void TSendFaxForm::ResetTracing() {
  qaComPort1_.SetTraceName(ProgramFolder() + "TVSEND.TRC");
  qaComPort1_.SetLogName(ProgramFolder() + "TVSEND.LOG");
  qaComPort1_.SetTracing(tlDump);
  qaComPort1_.SetLogging(tlDump);
  qaComPort1_.SetTracing(tlOn);
  qaComPort1_.SetLogging(tlOn);
}

QString TSendFaxForm::CheckBeforeSending() const {
  if (const QString problem = DialNumberProblem(sfPhoneNumber_->text()); !problem.isEmpty()) return problem;
  if (comPort_->ItemIndex() < 0) return "Please choose the Port of your fax modem (Com1 to Com6).";
  TApfFileHeader header;
  if (ApfReadFileHeader(sendFileName_.toStdString(), header) != 0 || header.pageCount == 0) {
    return "The fax file " + sendFileName_ + " cannot be read; nothing was sent.";
  }
  return {};
}

void TSendFaxForm::SendFaxButtonClick() {
  if (busy_) {
    Beep();
    return;
  }
  if (const QString problem = CheckBeforeSending(); !problem.isEmpty()) {
    ShowInformation(problem);
    return;
  }
  busy_ = true;
  status_->setVisible(true);
  ResetTracing();
  status_->setText("Opening communications port...");
  QCoreApplication::processEvents();
  qaComPort1_.SetComNumber(static_cast<std::uint16_t>(comPort_->ItemIndex() + 1));
  std::string message;
  if (!OpenComPortChecked(qaComPort1_, message)) {
    qaComPort1_.SetOpen(false);
    status_->setVisible(false);
    busy_ = false;
    ShowInformation(DisplayText(QString::fromStdString(message)));
    return;
  }
  if (Settings().ResetAlways && !Settings().ResetString.empty()) {
    status_->setText("Sending reset string...");
    QCoreApplication::processEvents();
    SendModemCommand(qaComPort1_, Settings().ResetString);
  }
  status_->clear();
  status_->setVisible(false);
  delivery_ = DeliveryRecord();
  delivery_->number = sfPhoneNumber_->text().toStdString();
  delivery_->started = std::time(nullptr);
  lastStatus_ = 0;
  try {
    CopyIntoSender();
    CheckErrorCode(qaSendFax1_.BeginSending());
  } catch (const std::exception& error) {
    sendResult_ = QString::fromStdString(ErrorMessageText(ExceptionToErrorCode(error)));
    if (sendResult_.isEmpty()) sendResult_ = QString::fromLocal8Bit(error.what());
    RecordDelivery(false);
    EndSending();
    ShowInformation("Fax was not sent. " + sendResult_);
  }
}

void TSendFaxForm::CopyIntoSender() {
  qaSendFax1_.SetDesiredBPS(RateIndexToBps(transferRate_->currentIndex()));
  qaSendFax1_.SetDesiredECM(Settings().ECM && CarriesErrorCorrection(qaComPort1_.DeviceName()));
  qaSendFax1_.SetDesiredCoding(T4CodingNamed(Settings().Coding).value_or(T4Coding::kMmr));
  qaSendFax1_.SetBlindDial(checkBlindDial_->isChecked());
  qaSendFax1_.SetDetectBusy(!checkIgnoreBusy_->isChecked());
  qaSendFax1_.SetFaxFile(sendFileName_.toStdString());
  qaSendFax1_.SetCoverFile(sendCoverName_.toStdString());
  qaSendFax1_.SetPhoneNumber(sfPhoneNumber_->text().toStdString());
  qaSendFax1_.SetToneDial(sfToneOrPulse_->ItemIndex() != 1);
  qaSendFax1_.SetFaxClass(static_cast<TFaxClass>(std::max(0, sfFaxClass_->ItemIndex()) + 1));
  // A count that is not a number keeps this and the following counts as they were.
  if (const auto attempts = Number(sfDialAttempts_)) {
    qaSendFax1_.SetDialAttempts(*attempts);
    if (const auto retry = Number(sfRetryWait_)) {
      qaSendFax1_.SetDialRetryWait(*retry);
      if (const auto wait = Number(sfTimeOut_)) qaSendFax1_.SetDialWait(*wait);
    }
  }
  qaSendFax1_.SetStationID(sfStationID_->text().toStdString());
  qaSendFax1_.SetDialPrefix(sfDialPrefix_->text().toStdString());
  if (!sfModemInit_->text().isEmpty()) qaSendFax1_.SetModemInit(WithAtPrefix(sfModemInit_->text().toStdString()));
  qaSendFax1_.SetHeaderLine(
      BuildHeader(sfusername_->text(), sfStationID_->text(), QDateTime::currentDateTime()).toStdString());
}

void TSendFaxForm::QaSendFax1FaxFinish(int errorCode) {
  QString text = QString::fromStdString(ErrorMessageText(errorCode));
  sendResult_ = errorCode == 0 || text.toUpper() == "OK" ? QString("Sent") : text;
  RecordDelivery(sendResult_ == "Sent");
  // The port is closed before the message, so nothing holds the modem while
  // the user reads it.
  EndSending();
  ShowInformation(sendResult_ == "Sent" ? QString("Fax sent successfully") : "Fax was not sent. " + sendResult_);
}

// The status is reported on every change and again each second while it
// stays: a page's answer is the change to "accepted" or "error".
void TSendFaxForm::QaSendFax1FaxStatus() {
  const int status = qaSendFax1_.Status();
  if (status == lastStatus_ || !delivery_) return;
  lastStatus_ = status;
  if (status == fsPageAccepted) delivery_->answers.push_back(PageAnswer::kConfirmed);
  if (status == fsPageError) delivery_->answers.push_back(PageAnswer::kRejected);
}

void TSendFaxForm::RecordDelivery(bool sent) {
  if (!delivery_) return;
  DeliveryRecord& r = *delivery_;
  r.seconds = static_cast<int>(std::difftime(std::time(nullptr), r.started));
  r.remoteId = TrimWhite(qaSendFax1_.RemoteID());
  r.pages = qaSendFax1_.TotalPages();
  r.pagesSent = static_cast<int>(std::count(r.answers.begin(), r.answers.end(), PageAnswer::kConfirmed));
  r.bitRate = qaSendFax1_.BitRate();
  r.errorCorrection = qaSendFax1_.ErrorCorrection();
  r.coding = T4CodingName(qaSendFax1_.Coding());
  r.sent = sent;
  r.result = sendResult_.toStdString();
}

// Closing the port also writes its trace and log.
void TSendFaxForm::EndSending() {
  try {
    qaComPort1_.SetOpen(false);
  } catch (const std::exception&) {
    // A trace that cannot be written does not keep the port open.
  }
  busy_ = false;
}

}  // namespace tv
