// Receive mode: the main window's receiver answers calls on its port, and
// every fax that arrives becomes a row of the incoming list at once.
#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QLabel>
#include <QSystemTrayIcon>
#include <QTabBar>
#include <QTimer>
#include <cstdio>
#include <filesystem>

#include "app/mail_queue.h"
#include "app/modem_tools.h"
#include "app/main_screen.h"
#include "app/ocr_queue.h"
#include "export/export_settings.h"
#include "app/main_screen_actions.h"
#include "app/table_model.h"
#include "comm/modem_commands.h"
#include "image/apf_file.h"
#include "image/t4_2d_coding.h"
#include "line/sip_line.h"
#include "platform/errors.h"
#include "platform/paths.h"
#include "ui/desktop_notifier.h"
#include "ui/sound.h"
#include "ui/window_helpers.h"

namespace tv {

namespace {

constexpr int kReceiverEndMs = 10000;  // for the receiver to hang up after a cancel

// The hourglass for the length of a receive-mode switch.
struct WaitCursor {
  WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~WaitCursor() { QApplication::restoreOverrideCursor(); }
};

int PagesIn(const std::string& file) {
  TApfFileHeader header;
  return ApfReadFileHeader(file, header) == 0 ? header.pageCount : 0;
}

// Whether a file can be made in the folder (the receiver names and writes its
// faxes there).
bool FolderTakesFiles(const std::string& folder) {
  const std::string probe = WithSlash(folder) + ".tessivane-write-test";
  std::FILE* file = std::fopen(probe.c_str(), "wb");
  if (!file) return false;
  std::fclose(file);
  std::remove(probe.c_str());
  return true;
}

// What the desktop notice of a received fax says under its title.
QString ReceivedFaxBody(const QString& from, int pages) {
  const QString sender = from.isEmpty() ? QString("an unknown sender") : from;
  return QString("From %1, %2 %3").arg(sender).arg(pages).arg(pages == 1 ? "page" : "pages");
}

}  // namespace

void TMainScreen::HookUpReceiver() {
  qaReceiveFax1_.OnFaxAccept = [this](TQaReceiveFax&, bool& accept) { QaReceiveFax1FaxAccept(accept); };
  qaReceiveFax1_.OnFaxError = [this](TQaAbstractFax&, int code) { lastError_ = code; };
  qaReceiveFax1_.OnFaxStatus = [this](TQaAbstractFax&, bool first, bool last) { QaReceiveFax1FaxStatus(first, last); };
  qaReceiveFax1_.OnFaxLog = [this](TQaAbstractFax&, TFaxLogCode code) { QaReceiveFax1FaxLog(code); };
  qaReceiveFax1_.OnFaxFinish = [this](TQaAbstractFax&, int) { receiverRunning_ = false; };
}

void TMainScreen::ReceiveButtonClick() {
  if (endingReceiveMode_) return;  // a second STOP while the first one ends it
  WaitCursor wait;
  lastError_ = 0;
  if (receiveMode_) {
    EndReceiveMode();
  } else {
    StartReceiveMode();
  }
  SetButtons();
}

void TMainScreen::SetReceiveCaptions(bool on) {
  // "&Receive" keeps the button's accelerator once receive mode has ended.
  SetCaption(actions_->receiveButton, on ? "STOP" : "&Receive", on ? "Stop receiving faxes" : "Start receiving faxes");
  actions_->receive->setText(on ? "Stop Receiving Faxes" : "Receive Faxes");
  ShowTrayState();
}

void TMainScreen::StartReceiveMode() {
  qaComPort1_.SetTracing(tlOn);
  qaComPort1_.SetLogging(tlOn);
  QCoreApplication::processEvents();
  receiveMode_ = true;
  SetButtons();
  ShowStatusPanel("Starting receive mode...");

  const AppSettings& s = Settings();
  auto abandon = [this](const QString& message) {
    try {
      qaComPort1_.SetOpen(false);
    } catch (const std::exception&) {
      // Closed all the same.
    }
    receiveMode_ = false;
    SetReceiveCaptions(false);
    HideStatusPanel();
    if (!message.isEmpty()) ShowInformation(message);
  };
  // Beyond the settings' own checks: a folder that takes no file would fail
  // every call after answering it.
  const std::string folder = FindNoCase(ProgramFolder(), "receive");
  ForceFolder(folder);
  if (!FolderTakesFiles(folder)) {
    abandon("Received faxes cannot be stored: the folder " + QString::fromStdString(folder) +
            " cannot be written. Receive mode was not started.");
    return;
  }
  try {
    qaComPort1_.SetComNumber(static_cast<std::uint16_t>(std::max(s.ComPort, 0) + 1));
    qaReceiveFax1_.SetDestinationDir(folder);
    qaReceiveFax1_.SetFaxClass(static_cast<TFaxClass>(std::clamp(s.FaxClass, 0, 3) + 1));
    qaReceiveFax1_.SetStationID(s.Fax);
    qaReceiveFax1_.SetAnswerOnRing(s.AnswerOnRing);
    qaReceiveFax1_.SetDesiredBPS(s.MaximumBPS);
    qaReceiveFax1_.SetDesiredECM(s.ECM && CarriesErrorCorrection(qaComPort1_.DeviceName()));
    qaReceiveFax1_.SetDesiredCoding(T4CodingNamed(s.Coding).value_or(T4Coding::kMmr));
    if (!s.InitString.empty()) qaReceiveFax1_.SetModemInit(WithAtPrefix(s.InitString));
    std::string message;
    if (!OpenComPortChecked(qaComPort1_, message)) {
      abandon(DisplayText(QString::fromStdString(message)));
      return;
    }
    if (s.ResetAlways && !s.ResetString.empty()) {
      ShowStatusPanel("Sending reset string...");
      SendModemCommand(qaComPort1_, s.ResetString);
    }
    ShowStatusPanel("Starting receive mode...");
    CheckErrorCode(qaReceiveFax1_.BeginReceiving());
    receiverRunning_ = true;
  } catch (const std::exception& error) {
    abandon(QString::fromLocal8Bit(error.what()));
    return;
  }
  SetReceiveCaptions(true);
  ShowStatusPanel("Waiting for fax...");
}

void TMainScreen::EndReceiveMode() {
  ShowStatusPanel("Ending fax receive mode...");
  endingReceiveMode_ = true;
  // The receiver hangs up and ends before its port closes under it.
  qaReceiveFax1_.AbortFax();
  QElapsedTimer waited;
  waited.start();
  while (receiverRunning_ && waited.elapsed() < kReceiverEndMs) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  try {
    // Closing writes the session's trace and log (TVRECV.TRC, TVRECV.LOG).
    qaComPort1_.SetOpen(false);
  } catch (const std::exception&) {
    // A trace that cannot be written does not keep receive mode on.
  }
  receiverRunning_ = false;
  receiveMode_ = false;
  faxBeingReceived_ = false;
  endingReceiveMode_ = false;
  SetReceiveCaptions(false);
  HideStatusPanel();
  QCoreApplication::processEvents();
}

void TMainScreen::QaReceiveFax1FaxAccept(bool& accept) {
  faxBeingReceived_ = true;
  lastError_ = 0;
  accept = true;
  ShowTrayState();
}

void TMainScreen::QaReceiveFax1FaxStatus(bool first, bool last) {
  UpdateValues();
  if (first) pageCount_ = 0;
  if (last) faxBeingReceived_ = false;
}

void TMainScreen::UpdateValues() {
  pageCount_ = qaReceiveFax1_.CurrentPage();
  QString text = QString::fromStdString(FaxStatusText(qaReceiveFax1_.Status()));
  const QString from = QString::fromStdString(qaReceiveFax1_.RemoteID()).trimmed();
  // Between calls the line reads "waiting", not the last caller's name.
  if (!from.isEmpty() && qaReceiveFax1_.Status() != fsWaitingForCall) {
    text += pageCount_ > 0 ? QString(" (from %1, page %2)").arg(from).arg(pageCount_) : QString(" (from %1)").arg(from);
  }
  if (text.contains("ABORT", Qt::CaseInsensitive)) text.clear();
  // While the receiver hangs up, the line keeps saying that receive mode ends.
  if (receiveMode_ && !endingReceiveMode_) ShowStatusPanel(text);
}

void TMainScreen::QaReceiveFax1FaxLog(TFaxLogCode code) {
  if (code != TFaxLogCode::lfaxReceiveOk && code != TFaxLogCode::lfaxReceiveFail) return;
  faxBeingReceived_ = false;
  const std::string file = qaReceiveFax1_.FaxFile();
  const QString from = QString::fromStdString(qaReceiveFax1_.RemoteID()).trimmed();
  const int pages = file.empty() ? 0 : PagesIn(file);
  if (code == TFaxLogCode::lfaxReceiveFail) {
    const std::string text = ErrorMessageText(lastError_);
    lastError_ = 0;
    // The message waits for the user; the receiver must not. A call broken
    // off by ending receive mode needs no message.
    if (!endingReceiveMode_) {
      QTimer::singleShot(0, this, [text] {
        ShowInformation("Failed to receive incoming fax:\r\r" +
                        (text.empty() ? QString("Unknown error") : QString::fromStdString(text)));
      });
    }
    // Beyond a plain failure: the complete pages of a broken call are kept.
    if (pages == 0) {
      if (!file.empty()) std::remove(file.c_str());
      ShowTrayState();
      return;
    }
  }
  RecordReceivedFax(file, from, pages);
  ShowTrayState();
}

void TMainScreen::RecordReceivedFax(const std::string& file, const QString& from, int pages) {
  std::uint32_t added = 0;
  RunRecordAction([&] {
    const QDateTime now = QDateTime::currentDateTime();
    recXbase_.NewRecord();
    recXbase_.SetField("DATEREC", CivilDate{now.date().year(), now.date().month(), now.date().day()});
    recXbase_.SetField("TIMEREC", now.time().toString("hh:mm").toStdString());
    recXbase_.SetField("FROM", ToTableText(from));
    recXbase_.SetField("PAGES", pages);
    recXbase_.SetField("FAXFILE", std::filesystem::path(file).filename().string());
    added = recXbase_.Append();
  });
  // The row was added through the window's own table: the grid re-reads it.
  RefreshGrid(Tab::kIncoming, added);
  // The mail waits for the text, which its body quotes.
  if (const ExportSettings exports = LoadExportSettings(SettingsFilePath()); exports.ocr) {
    ocrQueue_->Add(file, exports.ocrLanguages);
  } else {
    mailQueue_->Add(file);
  }
  // The sound and the notice come after the handler, as a posted message.
  QTimer::singleShot(0, this, [this, from, pages, added] { FaxReceivedMessage(from, pages, added); });
  SetButtons();
}

void TMainScreen::FaxReceivedMessage(const QString& from, int pages, std::uint32_t recno) {
  PlaySoundFile(ReceivedFaxSound(QString::fromStdString(Settings().Wav)));
  // A fax arriving in front of the user needs no more than its row.
  if (IncomingListInView()) return;
  ++unseenFaxes_;
  ShowUnseenCount();
  const DesktopNotice notice{"Fax received", ReceivedFaxBody(from, pages), [this, recno] { ViewReceivedFax(recno); }};
  if (Notifier().Notify(notice)) return;
  // Without a notification service, the tray's balloon where there is a tray.
  if (tray_ && tray_->isVisible()) {
    trayView_ = notice.onView;
    tray_->showMessage(notice.summary, notice.body, QSystemTrayIcon::Information);
  }
}

bool TMainScreen::IncomingListInView() const {
  return isActiveWindow() && !isMinimized() && CurrentTab() == Tab::kIncoming;
}

void TMainScreen::ShowUnseenCount() {
  if (IncomingListInView()) unseenFaxes_ = 0;
  const int incoming = static_cast<int>(Tab::kIncoming);
  tabSet_->setTabText(incoming, unseenFaxes_ == 0 ? QString("&Incoming Faxes")
                                                  : QString("&Incoming Faxes (%1)").arg(unseenFaxes_));
}

void TMainScreen::ViewReceivedFax(std::uint32_t recno) {
  if (isMinimized()) showNormal();
  raise();
  activateWindow();
  // An open dialog keeps the window's actions until it closes.
  if (QApplication::activeModalWidget()) return;
  tabSet_->setCurrentIndex(static_cast<int>(Tab::kIncoming));
  RunRecordAction([this, recno] {
    RefreshGrid(Tab::kIncoming, recno);
    if (SelectedRecNo(Tab::kIncoming) != recno) {
      Beep();  // deleted or archived since
      return;
    }
    mnuViewPrintClick();
  });
}

// While receive mode is on, the desktop's tray shows it (where there is one).
void TMainScreen::ShowTrayState() {
  if (!QSystemTrayIcon::isSystemTrayAvailable()) return;
  if (!tray_) {
    tray_ = new QSystemTrayIcon(ProgramIcon(), this);
    connect(tray_, &QSystemTrayIcon::activated, this, [this] {
      showNormal();
      raise();
      activateWindow();
    });
    connect(tray_, &QSystemTrayIcon::messageClicked, this, [this] {
      if (trayView_) trayView_();
    });
  }
  tray_->setToolTip(faxBeingReceived_ ? "Tessivane: receiving a fax"
                                      : "Tessivane: waiting for faxes on " + ComPortName(qaComPort1_.ComNumber()));
  tray_->setVisible(receiveMode_);
}

}  // namespace tv
