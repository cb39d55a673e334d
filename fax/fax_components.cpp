#include "fax/fax_components.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <iostream>

#include "comm/dispatcher.h"
#include "fax/modem_prep.h"
#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/text.h"

namespace tv {

namespace {

constexpr std::uint16_t kFaxBufferSize = 8192;
constexpr std::uint32_t kFaxPortBaud = 19200;
constexpr const char* kEndOfLine = "\r\n";

// Empty: the default, a line on stderr.
std::function<void(const std::exception&)>& ExceptionHandler() {
  static std::function<void(const std::exception&)> handler;
  return handler;
}

// The date and time as the history file shows them: the short date and the
// long time of the user's locale.
std::string NowText() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[80];
  return std::strftime(text, sizeof text, "%x %X", &local) ? text : "";
}

}  // namespace

// ---------------------------------------------------------------------------
// Status display

TQaAbstractFaxStatus::~TQaAbstractFaxStatus() { SetFax(nullptr); }

TFaxStatusForm* TQaAbstractFaxStatus::Form() {
  if (!form_) form_ = CreateDisplay();
  return form_.get();
}

void TQaAbstractFaxStatus::SetPosition(int value) {
  position_ = value;
  if (form_) form_->SetPosition(value);
}

void TQaAbstractFaxStatus::SetCtl3D(bool value) {
  ctl3D_ = value;
  if (form_) form_->SetCtl3D(value);
}

void TQaAbstractFaxStatus::SetVisible(bool value) {
  visible_ = value;
  if (form_) form_->SetVisible(value);
}

void TQaAbstractFaxStatus::SetFax(TQaAbstractFax* fax) {
  if (fax_ == fax) return;
  TQaAbstractFax* old = fax_;
  fax_ = fax;
  if (old && old->StatusDisplay() == this) old->SetStatusDisplay(nullptr);
  if (fax && fax->StatusDisplay() != this) fax->SetStatusDisplay(this);
}

// ---------------------------------------------------------------------------
// Fax log

TQaFaxLog::~TQaFaxLog() { SetFax(nullptr); }

void TQaFaxLog::SetFax(TQaAbstractFax* fax) {
  if (fax_ == fax) return;
  TQaAbstractFax* old = fax_;
  fax_ = fax;
  if (old && old->FaxLog() == this) old->SetFaxLog(nullptr);
  if (fax && fax->FaxLog() != this) fax->SetFaxLog(this);
}

std::string TQaFaxLog::LogEntry(const TQaAbstractFax& fax, TFaxLogCode code, const std::string& now,
                                const std::string& medium) {
  const FaxCommonData& c = fax.Session().common;
  const std::string hangup = std::to_string(fax.HangupCode());
  const std::string error = ErrorMessageText(c.lastError);
  // A call in 2-D coding, with error correction or over a line that names
  // its medium says so on a line of its own.
  const SessionParameters& params = fax.Session().modem.params;
  std::string note = CodingNote(params);
  if (!medium.empty()) note = (note.empty() ? T4CodingName(params.coding) : note) + " over " + medium;
  const std::string coding = note.empty() ? note : "  (" + note + ")" + kEndOfLine;
  if (fax.IsSender()) {
    switch (code) {
      case TFaxLogCode::lfaxTransmitStart:
        return "Transmit " + c.faxFile + " to " + c.phoneNumber + " started at " + now + kEndOfLine;
      case TFaxLogCode::lfaxTransmitOk:
        return "Transmit to " + c.remoteId + " finished OK at " + now + " " + hangup + kEndOfLine + coding + kEndOfLine;
      case TFaxLogCode::lfaxTransmitFail:
        return "Transmit failed at " + now + kEndOfLine + "  (" + error + ") " + hangup + kEndOfLine + kEndOfLine;
      default:
        return {};
    }
  }
  switch (code) {
    case TFaxLogCode::lfaxReceiveStart:
      return "Receive " + c.faxFile + " from " + c.remoteId + " started at " + now + kEndOfLine;
    case TFaxLogCode::lfaxReceiveOk: {
      const std::string damage = DamageNote(c.damagedPages);
      const std::string damageLine = damage.empty() ? damage : "  (" + damage + ")" + kEndOfLine;
      return "Receive finished OK at " + now + kEndOfLine + coding + damageLine + kEndOfLine;
    }
    case TFaxLogCode::lfaxReceiveSkip:
      return "Receive skipped at " + now + kEndOfLine + kEndOfLine;
    case TFaxLogCode::lfaxReceiveFail:
      return "Receive failed at " + now + kEndOfLine + "  (" + error + ")" + kEndOfLine + kEndOfLine;
    default:
      return {};
  }
}

void TQaFaxLog::UpdateLog(TFaxLogCode code) {
  if (faxHistoryName_.empty() || !fax_) return;
  const TQaComPort* port = fax_->ComPort();
  const std::string medium = lineMedium_ && port ? lineMedium_(port->DeviceName()) : std::string();
  const std::string entry = LogEntry(*fax_, code, NowText(), medium);
  std::FILE* file = std::fopen(faxHistoryName_.c_str(), "ab");
  if (!file) RaiseErrorCode(IoErrorFromErrno(errno, true));
  const bool written = std::fwrite(entry.data(), 1, entry.size(), file) == entry.size();
  const int writeErrno = errno;
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) RaiseErrorCode(IoErrorFromErrno(written ? errno : writeErrno));
}

// ---------------------------------------------------------------------------
// Common fax component

TQaAbstractFax::TQaAbstractFax() {
  session_.target = this;
  session_.common.statusInterval = 1;
}

TQaAbstractFax::~TQaAbstractFax() {
  // A session still running on the port must not call back into a freed
  // component, nor run on a freed session: it is taken off the port first.
  StopFaxSession(session_);
  SetStatusDisplay(nullptr);
  SetFaxLog(nullptr);
}

void TQaAbstractFax::SetExceptionHandler(std::function<void(const std::exception&)> handler) {
  ExceptionHandler() = std::move(handler);
}

void TQaAbstractFax::SetModemInit(const std::string& value) { session_.modem.userInit = UserInitString(value); }

void TQaAbstractFax::SetOption(FaxOption bit, bool on) {
  auto& options = session_.common.options;
  options = static_cast<std::uint16_t>(on ? (options | bit) : (options & ~bit));
}

void TQaAbstractFax::SetComPort(TQaComPort* port) {
  comPort_ = port;
  if (!port) return;
  port->SetDataBits(8);
  port->SetStopBits(1);
  port->SetParity(pNone);
  port->SetBaud(kFaxPortBaud);
  port->SetInSize(kFaxBufferSize);
  port->SetOutSize(kFaxBufferSize);
  port->SetHWFlowOptions(hwfUseRTS | hwfRequireCTS);
}

void TQaAbstractFax::SetStatusDisplay(TQaAbstractFaxStatus* display) {
  if (statusDisplay_ == display) return;
  TQaAbstractFaxStatus* old = statusDisplay_;
  statusDisplay_ = display;
  if (old && old->Fax() == this) old->SetFax(nullptr);
  if (display && display->Fax() != this) display->SetFax(this);
}

void TQaAbstractFax::SetFaxLog(TQaFaxLog* log) {
  if (faxLog_ == log) return;
  TQaFaxLog* old = faxLog_;
  faxLog_ = log;
  if (old && old->Fax() == this) old->SetFax(nullptr);
  if (log && log->Fax() != this) log->SetFax(this);
}

void TQaAbstractFax::CheckPort() {
  if (!comPort_) CheckErrorCode(ecPortNotAssigned);
  if (comPort_->DeviceLayer() == dlWinsock) CheckErrorCode(ecCannotUseWithWinSock);
  if (comPort_->OutSize() < kFaxBufferSize) CheckErrorCode(ecOutputBufferTooSmall);
  session_.common.port = comPort_->PortHandle();
}

void TQaAbstractFax::AbortFax() { AbortFaxSession(session_); }

int TQaAbstractFax::FaxCapabilities() {
  if (capabilities_ >= 0) return capabilities_;
  CheckPort();
  FaxClasses classes;
  if (!DetectFaxClasses(session_, false, classes)) return 0;
  capabilities_ = FaxClassBits(classes);
  return capabilities_;
}

int TQaAbstractFax::FaxMessage(tv::FaxMessage message, int wParam, FaxSession&) {
  try {
    return HandleMessage(message, wParam);
  } catch (const std::exception& e) {
    if (const auto& handler = ExceptionHandler()) {
      handler(e);
    } else {
      std::cerr << "fax component: " << e.what() << "\n";
    }
    return 0;
  }
}

int TQaAbstractFax::HandleMessage(tv::FaxMessage message, int wParam) {
  switch (message) {
    case FaxMsgNextFax:
      return NextFax();
    case FaxMsgStatus:
      if (statusDisplay_) statusDisplay_->UpdateDisplay(wParam == 1, wParam == 2);
      if (OnFaxStatus) OnFaxStatus(*this, wParam == 1, wParam == 2);
      return 0;
    case FaxMsgLog: {
      const auto code = static_cast<TFaxLogCode>(wParam);
      if (faxLog_) faxLog_->UpdateLog(code);
      if (OnFaxLog) OnFaxLog(*this, code);
      if (code == TFaxLogCode::lfaxReceiveOk || code == TFaxLogCode::lfaxReceiveSkip ||
          code == TFaxLogCode::lfaxReceiveFail) {
        session_.common.faxFile.clear();
      }
      return 0;
    }
    case FaxMsgName:
      NameReceivedFile();
      return 0;
    case FaxMsgAccept:
      return AcceptCall() ? 1 : 0;
    case FaxMsgError:
      if (OnFaxError) OnFaxError(*this, wParam);
      return 0;
    case FaxMsgFinish:
      if (OnFaxFinish) OnFaxFinish(*this, wParam);
      return 0;
    default:
      return 0;
  }
}

// ---------------------------------------------------------------------------
// Sender

TQaSendFax::TQaSendFax() { session_.common.faxClass = TFaxClass::fcUnknown; }

// The machine works on this class's members: it stops before they go.
TQaSendFax::~TQaSendFax() { StopFaxSession(session_); }

void TQaSendFax::SetBlindDial(bool on) {
  session_.modem.blindDial = on;
  session_.modem.defaultInit = DefaultInitString(on, session_.modem.detectBusy);
}

void TQaSendFax::SetDetectBusy(bool on) {
  session_.modem.detectBusy = on;
  session_.modem.defaultInit = DefaultInitString(session_.modem.blindDial, on);
}

int TQaSendFax::BeginSending() {
  CheckPort();
  singleFaxGiven_ = false;
  return StartFaxSession(session_, PrepareSender, machine_.Machine());
}

int TQaSendFax::NextFax() {
  std::string phone;
  std::string file;
  std::string cover;
  if (OnFaxNext) {
    OnFaxNext(*this, phone, file, cover);
    phoneNumber_ = phone.substr(0, 40);
    SetFaxFile(file);
    coverFile_ = cover.substr(0, 255);
  } else if (!singleFaxGiven_) {
    // Without a handler the properties name exactly one fax per start.
    phone = phoneNumber_;
    file = FaxFile();
    cover = coverFile_;
    singleFaxGiven_ = true;
  }
  if (phone.empty()) return 0;
  FaxCommonData& c = session_.common;
  c.phoneNumber = phone.substr(0, 40);
  // Kept as given: on this system letter case is part of a path, and the
  // sender compares extensions without regard to it.
  c.faxFile = file.substr(0, 255);
  c.coverFile = cover.substr(0, 255);
  return 1;
}

int TQaSendFax::CurrentPage() const {
  return session_.common.sendingCover ? 0 : session_.common.currentPage;
}

int TQaSendFax::BytesTransferred() const {
  const FaxCommonData& c = session_.common;
  int queued = c.port > 0 ? OutBytesWaiting(c.port) : 0;
  // One byte queued is what the line keeps in flight; it is not held back.
  if (queued == 1 || queued < 0) queued = 0;
  return std::max(0, static_cast<int>(c.pageBytesDone) - queued);
}

// ---------------------------------------------------------------------------
// Receiver

TQaReceiveFax::TQaReceiveFax() { session_.common.faxClass = TFaxClass::fcDetect; }

TQaReceiveFax::~TQaReceiveFax() { StopFaxSession(session_); }

int TQaReceiveFax::BeginReceiving() {
  CheckPort();
  return StartFaxSession(session_, PrepareReceiver, machine_.Machine());
}

void TQaReceiveFax::NameReceivedFile() {
  std::string name;
  if (OnFaxName) {
    OnFaxName(*this, name);
  } else if (receiveNameMode_ == static_cast<int>(tv::ReceiveNameMode::kByCount) ||
             receiveNameMode_ == static_cast<int>(tv::ReceiveNameMode::kByDate)) {
    name = NextReceiveName(session_.common.destinationDir, static_cast<tv::ReceiveNameMode>(receiveNameMode_),
                           session_.common.faxFileExt);
  } else {
    name = "noname.apf";
  }
  session_.common.faxFile = name.substr(0, 255);
}

bool TQaReceiveFax::AcceptCall() {
  bool accept = true;
  if (OnFaxAccept) OnFaxAccept(*this, accept);
  return accept;
}

}  // namespace tv
