#include "app/preferences.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "app/mail_page.h"
#include "app/modem_tools.h"
#include "app/sip_account_page.h"
#include "ui/help.h"
#include "ui/sound.h"
#include "image/t4_2d_coding.h"
#include "ui/widgets.h"
#include "ui/window_helpers.h"
#include "platform/ini_file.h"
#include "platform/paths.h"

namespace tv {

namespace {

QLabel* BuddyLabel(const QString& text, QWidget* buddy) {
  auto* label = new QLabel(text, buddy->parentWidget());
  label->setBuddy(buddy);
  return label;
}

std::optional<std::int32_t> DecimalField(const QLineEdit* edit) {
  bool ok = false;
  const int value = edit->text().trimmed().toInt(&ok, 10);
  return ok ? std::optional<std::int32_t>(value) : std::nullopt;
}

const QStringList kRates = {"2400", "4800", "7200", "9600", "12000", "14400"};

}  // namespace

TPreferences::TPreferences(Scope scope, QWidget* parent) : QDialog(parent), scope_(scope) {
  setObjectName("TPreferences");
  setWindowTitle("Preferences");

  faxNumber_ = NewLineEdit(this, "FaxNumber");
  name_ = NewLineEdit(this, "Name");
  voiceNumber_ = NewLineEdit(this, "Voicenumber");
  company_ = NewLineEdit(this, "Company");
  dialPrefix_ = NewLineEdit(this, "DialPrefix",
                        "Enter the dial prefix here. If your telephone \rsystem requires special numbers or codes\r"
                        "when dialing out, you can specify them once \rhere rather than in every fax number. Do not \r"
                        "include 'ATD' or a 'T' or 'P' tone/pulse modifier \rin the dial prefix");
  modemInit_ = NewLineEdit(this, "ModemInit",
                       "(You should not need to do this). \rEnter extra modem init string here. If you use \r"
                       "an init string here, it will be sent just before \rthe default init: ('ATE0Q0V1X4S0=0'). "
                       "The init \rstring should not contain an 'AT' prefix.");
  dialAttempts_ = NewLineEdit(this, "DialAttempts", {}, 6);
  retryWait_ = NewLineEdit(this, "RetryWait", {}, 6);
  timeOut_ = NewLineEdit(this, "TimeOut", {}, 6);
  timeOut_->setText("60");

  comPort_ = new RadioGroup("Port", ComPortItems(), 2, this);
  comPort_->setObjectName("ComPort");
  faxClass_ = new RadioGroup("Fax &class", {"auto detect", "class 1", "class 2", "class 2.0"}, 1, this);
  faxClass_->setObjectName("FaxClass");
  toneOrPulse_ = new RadioGroup("Tone or Pulse", {"Tone", "Pulse"}, 2, this);
  toneOrPulse_->setObjectName("ToneOrPulse");
  blindDial_ = new QCheckBox("Blind Dial", this);
  blindDial_->setObjectName("CheckBlindDial");
  blindDial_->setToolTip(DisplayText("Dial without waiting for a dial tone\r(This is the same as sending the ATX3 modem command)"));
  ignoreBusy_ = new QCheckBox("Ignore Busy Signal", this);
  ignoreBusy_->setObjectName("CheckIgnoreBusy");
  ignoreBusy_->setToolTip(DisplayText("Do not treat a busy signal as a failure (This is the same as sending\rthe ATX2 modem command)"));
  transferRate_ = new QComboBox(this);
  transferRate_->setObjectName("TransferRate");
  transferRate_->addItems(kRates);
  transferRate_->setToolTip(DisplayText(
      "This is the maximum transfer rate or BPS of the \rfax session. We recommend leaving it at 9600.\r"
      "Setting it at a lower rate (7200,4800 or 2400) \rcan increase reliability in some cases, but \r"
      "will also mean a longer time to send the fax."));
  errorCorrection_ = new QCheckBox("Error correction (ECM)", this);
  errorCorrection_->setObjectName("ErrorCorrection");
  errorCorrection_->setToolTip("Send and receive pages in checked frames, and send damaged ones again,\n"
                               "where the other fax machine can");
  coding_ = new QComboBox(this);
  coding_->setObjectName("Coding");
  coding_->addItems({"MMR", "MR", "MH"});
  coding_->setToolTip("The most compact page coding to offer: the call uses the best both fax machines have.\n"
                      "MMR goes only with error correction; MH is the plainest and always works.");
  answerOnRing_ = new RadioGroup("Answer on ring", {"1", "2", "3"}, 3, this);
  answerOnRing_->setObjectName("AnswerOnRing");
  waveFile_ = NewLineEdit(this, "WaveFileEdit");
  waveFile_->setPlaceholderText("the program's own chime");
  startReceiving_ = new QCheckBox("Start in receive mode", this);
  startReceiving_->setObjectName("StartReceivingCheck");
  startReceiving_->setToolTip("Answer fax calls from the moment the program starts");

  pdfPaper_ = new QComboBox(this);
  pdfPaper_->setObjectName("PdfPaper");
  pdfPaper_->addItems({"A4", "Letter"});
  pdfPaper_->setToolTip("The sheet a fax page sits on when a fax is saved as PDF");
  deliveryReport_ = new QComboBox(this);
  deliveryReport_->setObjectName("DeliveryReport");
  // In the order of DeliveryReportWhen.
  deliveryReport_->addItems({"after every send", "only when a send fails", "never"});
  deliveryReport_->setToolTip("A one-page PDF that tells how a send went, kept in the Reports folder");

  ocr_ = new QCheckBox("Recognise the text of received faxes", this);
  ocr_->setObjectName("OcrCheck");
  ocr_->setToolTip("Makes faxes searchable, in the lists and in their PDF documents");
  ocrLanguages_ = NewLineEdit(this, "OcrLanguages", "The languages of the text, as Tesseract names them: eng, deu, eng+fra", 10);

  auto* chooseWav = NewPushButton(this, "&Choose", "SelectWavButton", "Select the .WAV file from a Windows\rFile Open dialog");
  auto* playNow = NewPushButton(this, "Play &Now", "BitBtn2", "Play the .WAV file you have selected");
  auto* noWav = NewPushButton(this, "None", "BitBtn1", "Select NO WAV File");
  auto* findModem = NewPushButton(this, "Find Modem", "FindModemButton");
  auto* checkClass = NewPushButton(this, "Check Fax Class", "CheckFaxClassButton");
  auto* modemReset = NewPushButton(this, "Modem Reset", "ExplorerButton2", "Click here to use the Modem Reset dialog");
  auto* accept = NewPushButton(this, "&Accept", "Acceptbutton", "Save changes to preferences");
  auto* cancel = NewPushButton(this, "Cance&l", "Cancelbutton", "Cancel changes to preferences");
  auto* help = NewPushButton(this, "&Help", "HelpButton", "Get Windows help for Preferences");
  accept->setDefault(true);

  auto* user = new QGroupBox("About you", this);
  auto* userForm = new QFormLayout(user);
  userForm->addRow(BuddyLabel("Your &fax number (Station ID#)", faxNumber_), faxNumber_);
  userForm->addRow(BuddyLabel("Your &name", name_), name_);
  userForm->addRow(BuddyLabel("Your &voice number", voiceNumber_), voiceNumber_);
  userForm->addRow(BuddyLabel("Your &company", company_), company_);

  auto* dialing = new QGroupBox("Dialing", this);
  auto* dialForm = new QFormLayout(dialing);
  dialForm->addRow(BuddyLabel("&Dial prefix:", dialPrefix_), dialPrefix_);
  dialForm->addRow(BuddyLabel("&Modem initialization string:", modemInit_), modemInit_);
  dialForm->addRow(BuddyLabel("Dial attempts", dialAttempts_), dialAttempts_);
  dialForm->addRow(BuddyLabel("Seconds before retry", retryWait_), retryWait_);
  dialForm->addRow(BuddyLabel("Seconds before timeout", timeOut_), timeOut_);
  dialForm->addRow(toneOrPulse_);
  dialForm->addRow(blindDial_);
  dialForm->addRow(ignoreBusy_);

  auto* modem = new QGroupBox("Modem", this);
  auto* modemGrid = new QGridLayout(modem);
  modemGrid->addWidget(comPort_, 0, 0);
  modemGrid->addWidget(faxClass_, 0, 1);
  modemGrid->addWidget(BuddyLabel("Transfer Rate (BPS)", transferRate_), 1, 0);
  modemGrid->addWidget(transferRate_, 1, 1);
  modemGrid->addWidget(errorCorrection_, 2, 0);
  auto* codingRow = new QHBoxLayout;
  codingRow->addWidget(BuddyLabel("Page &coding", coding_));
  codingRow->addWidget(coding_, 1);
  modemGrid->addLayout(codingRow, 2, 1);
  auto* tools = new QHBoxLayout;
  tools->addWidget(findModem);
  tools->addWidget(checkClass);
  tools->addWidget(modemReset);
  modemGrid->addLayout(tools, 3, 0, 1, 2);

  auto* receive = new QGroupBox("Receiving", this);
  auto* receiveLayout = new QVBoxLayout(receive);
  receiveLayout->addWidget(answerOnRing_);
  receiveLayout->addWidget(BuddyLabel("Select &WAV File to play when receiving a fax:", waveFile_));
  auto* wavRow = new QHBoxLayout;
  wavRow->addWidget(waveFile_, 1);
  wavRow->addWidget(chooseWav);
  wavRow->addWidget(playNow);
  wavRow->addWidget(noWav);
  receiveLayout->addLayout(wavRow);
  receiveLayout->addWidget(startReceiving_);

  auto* exports = new QGroupBox("PDF documents", this);
  auto* exportForm = new QHBoxLayout(exports);
  exportForm->addWidget(BuddyLabel("&Paper:", pdfPaper_));
  exportForm->addWidget(pdfPaper_);
  exportForm->addSpacing(20);
  exportForm->addWidget(BuddyLabel("Deli&very report:", deliveryReport_));
  exportForm->addWidget(deliveryReport_);
  exportForm->addSpacing(20);
  exportForm->addWidget(ocr_);
  exportForm->addWidget(BuddyLabel("Lan&guages:", ocrLanguages_));
  exportForm->addWidget(ocrLanguages_);
  exportForm->addStretch(1);

  status_ = new QLabel(this);
  status_->setObjectName("StatusPanel");
  status_->setFrameShape(QFrame::StyledPanel);
  status_->setWordWrap(true);
  status_->setVisible(false);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(accept);
  buttons->addWidget(cancel);
  buttons->addWidget(help);

  auto* grid = new QGridLayout;
  grid->addWidget(user, 0, 0);
  grid->addWidget(dialing, 1, 0, 2, 1);
  grid->addWidget(modem, 0, 1, 2, 1);
  grid->addWidget(receive, 2, 1);
  grid->addWidget(exports, 3, 0, 1, 2);
  auto* general = new QWidget(this);
  general->setLayout(grid);
  sipPage_ = new TSipAccountPage(this);
  connect(sipPage_, &TSipAccountPage::Saved, this, [this] { ShowComPortDevices(*comPort_); });
  mailPage_ = new TMailPage(this);
  pages_ = new QTabWidget(this);
  pages_->setObjectName("PreferencesPages");
  // Their accelerators are free on every page.
  pages_->addTab(general, "G&eneral");  // in the order of Page
  pages_->addTab(sipPage_, "&SIP account");
  pages_->addTab(mailPage_, "E-ma&il");
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(pages_);
  layout->addWidget(status_);
  layout->addLayout(buttons);

  if (scope_ == Scope::kSenderInfo) {
    for (QWidget* w : std::initializer_list<QWidget*>{ignoreBusy_, transferRate_, errorCorrection_, coding_,
                                                      answerOnRing_, waveFile_, chooseWav, playNow, noWav, timeOut_,
                                                      startReceiving_, pdfPaper_, deliveryReport_, ocr_,
                                                      ocrLanguages_}) {
      w->setEnabled(false);
    }
    for (QWidget* page : {static_cast<QWidget*>(sipPage_), static_cast<QWidget*>(mailPage_)}) {
      pages_->setTabEnabled(pages_->indexOf(page), false);
    }
  }

  comPort1_.SetComNumber(1);
  comPort1_.SetAutoOpen(false);
  comPort1_.SetTapiMode(tmOff);
  sendFax1_.SetComPort(&comPort1_);
  comPort1_.SetBufferFull(7372);
  comPort1_.SetBufferResume(819);
  comPort1_.SetTraceSize(32000);
  comPort1_.SetTraceName(ProgramFolder() + "ZPX2.TRC");
  comPort1_.SetLogName(ProgramFolder() + "ZPX2.LOG");
  comPort1_.SetTracing(tlOn);
  comPort1_.SetLogging(tlOn);
  connect(findModem, &QPushButton::clicked, this, [this] { FindModemFor(this, comPort1_, *comPort_); });
  connect(checkClass, &QPushButton::clicked, this,
          [this] { CheckFaxClassFor(this, comPort1_, sendFax1_, *comPort_, *faxClass_); });
  connect(modemReset, &QPushButton::clicked, this, [this] { ShowModemResetDialog(this); });
  connect(accept, &QPushButton::clicked, this, &TPreferences::AcceptbuttonClick);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(help, &QPushButton::clicked, this, [] { ShowHelp(kHelpPreferences); });
  connect(chooseWav, &QPushButton::clicked, this, &TPreferences::SelectWavButtonClick);
  connect(playNow, &QPushButton::clicked, this, [this] { PlaySoundFile(ReceivedFaxSound(waveFile_->text())); });
  connect(noWav, &QPushButton::clicked, waveFile_, &QLineEdit::clear);
  FillExportFrom(ExportSettings());
}

void TPreferences::FillFrom(const AppSettings& s) {
  faxNumber_->setText(QString::fromStdString(s.Fax));
  name_->setText(QString::fromStdString(s.Name));
  voiceNumber_->setText(QString::fromStdString(s.Voice));
  company_->setText(QString::fromStdString(s.Company));
  dialPrefix_->setText(QString::fromStdString(s.DialPrefix));
  modemInit_->setText(QString::fromStdString(s.InitString));
  dialAttempts_->setText(QString::number(s.DialAttempts));
  retryWait_->setText(QString::number(s.RetryWait));
  timeOut_->setText(QString::number(s.Timeout));
  comPort_->SetItemIndex(s.ComPort < 0 ? 0 : s.ComPort);
  faxClass_->SetItemIndex(s.FaxClass);
  blindDial_->setChecked(s.BlindDial);
  toneOrPulse_->SetItemIndex(s.ToneOrPulse);
  if (scope_ == Scope::kSenderInfo) return;
  ignoreBusy_->setChecked(s.IgnoreBusy);
  transferRate_->setCurrentIndex(BpsToRateIndex(s.MaximumBPS));
  errorCorrection_->setChecked(s.ECM);
  coding_->setCurrentText(T4CodingName(T4CodingNamed(s.Coding).value_or(T4Coding::kMmr)));
  answerOnRing_->SetItemIndex(s.AnswerOnRing - 1);
  waveFile_->setText(QString::fromStdString(s.Wav));
  startReceiving_->setChecked(s.StartReceiving);
}

bool TPreferences::TakeInto(AppSettings& settings) {
  const auto attempts = DecimalField(dialAttempts_);
  const auto retry = DecimalField(retryWait_);
  const auto timeout = DecimalField(timeOut_);
  for (const auto& [value, edit] : {std::pair{attempts, dialAttempts_}, std::pair{retry, retryWait_},
                                    std::pair{timeout, timeOut_}}) {
    if (!value && edit->isEnabled()) {
      ShowInformation("'" + edit->text() + "' is not a valid whole number.");
      edit->setFocus();
      return false;
    }
  }
  AppSettings s = settings;
  if (scope_ == Scope::kAll) {
    s.Wav = waveFile_->text().toStdString();
    s.AnswerOnRing = answerOnRing_->ItemIndex() + 1;
    s.StartReceiving = startReceiving_->isChecked();
  }
  s.Fax = faxNumber_->text().toStdString();
  s.Name = name_->text().toStdString();
  s.Voice = voiceNumber_->text().toStdString();
  s.Company = company_->text().toStdString();
  s.DialPrefix = dialPrefix_->text().toStdString();
  s.InitString = modemInit_->text().toStdString();
  s.DialAttempts = *attempts;
  s.RetryWait = *retry;
  s.ComPort = comPort_->ItemIndex();
  s.FaxClass = faxClass_->ItemIndex();
  s.BlindDial = blindDial_->isChecked();
  if (scope_ == Scope::kAll) {
    s.IgnoreBusy = ignoreBusy_->isChecked();
    s.Timeout = *timeout;
  }
  s.ToneOrPulse = toneOrPulse_->ItemIndex();
  if (scope_ == Scope::kAll) {
    s.MaximumBPS = RateIndexToBps(transferRate_->currentIndex());
    s.ECM = errorCorrection_->isChecked();
    s.Coding = coding_->currentText().toStdString();
  }
  settings = s;
  return true;
}

void TPreferences::FillExportFrom(const ExportSettings& settings) {
  pdfPaper_->setCurrentIndex(settings.paper == TFaxPaper::fpLetter ? 1 : 0);
  deliveryReport_->setCurrentIndex(static_cast<int>(settings.deliveryReport));
  ocr_->setChecked(settings.ocr);
  ocrLanguages_->setText(QString::fromStdString(settings.ocrLanguages));
}

ExportSettings TPreferences::ExportChoices() const {
  ExportSettings settings;
  settings.paper = pdfPaper_->currentIndex() == 1 ? TFaxPaper::fpLetter : TFaxPaper::fpA4;
  settings.deliveryReport = static_cast<DeliveryReportWhen>(deliveryReport_->currentIndex());
  settings.ocr = ocr_->isChecked();
  if (const QString languages = ocrLanguages_->text().trimmed(); !languages.isEmpty())
    settings.ocrLanguages = languages.toStdString();
  return settings;
}

bool TPreferences::Edit(QWidget* parent, bool firstRun, Scope scope, const QString& firstRunNote, Page page) {
  TPreferences dialog(scope, parent);
  dialog.ShowPage(page);
  dialog.SetFirstRun(firstRun, firstRunNote);
  dialog.FillFrom(Settings());
  dialog.FillExportFrom(LoadExportSettings(SettingsFilePath()));
  dialog.sipPage_->FillFrom(IniFile(SettingsFilePath()));
  dialog.mailPage_->FillFrom(LoadMailSettings(SettingsFilePath()));
  CenterForm(&dialog);
  if (dialog.exec() != QDialog::Accepted) return false;
  if (!SaveAppSettings()) return false;
  if (scope != Scope::kAll) return true;
  try {
    SaveExportSettings(dialog.ExportChoices(), SettingsFilePath());
  } catch (const IniWriteError& e) {
    ShowInformation(QString::fromStdString(e.what()));
    return false;
  }
  return dialog.SavePages();
}

void TPreferences::ShowPage(Page page) { pages_->setCurrentIndex(static_cast<int>(page)); }

bool TPreferences::SavePages() { return sipPage_->Save() && mailPage_->Save(); }

void TPreferences::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!firstRun_) return;
  firstRun_ = false;
  // Shown once the dialog is on screen, so the message sits on top of it.
  QTimer::singleShot(0, this, [note = firstRunNote_] {
    QString text =
        "Please enter information about yourself and your\rfaxmodem in the Preferences screen. These values\r"
        "will be saved for future use.\r\rBe sure to verify at least the Port setting before\rcontinuing";
    if (!note.isEmpty()) text += "\r\r" + note;
    ShowInformation(text);
  });
}

void TPreferences::AcceptbuttonClick() {
  // A wrong SIP account keeps the dialog open on its page.
  IniFile unsaved(SettingsFilePath());
  if (const std::string problem = scope_ == Scope::kAll ? sipPage_->TakeInto(unsaved) : std::string();
      !problem.empty()) {
    ShowPage(Page::kSipAccount);
    ShowInformation(QString::fromStdString(problem));
    return;
  }
  if (TakeInto(Settings())) accept();
}

void TPreferences::SelectWavButtonClick() {
  const QString current = waveFile_->text();
  const QString start = QFileInfo(current).isFile() ? current : QString::fromStdString(ProgramFolder());
  const QString chosen = QFileDialog::getOpenFileName(this, "Select WAV File", start, "WAVE files (*.wav *.WAV)");
  if (chosen.toUpper().contains(".WAV")) waveFile_->setText(chosen);
}

}  // namespace tv
