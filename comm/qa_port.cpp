#include "comm/qa_port.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <iostream>
#include <mutex>
#include <thread>

#include "comm/native_layer.h"
#include "comm/sim_modem.h"
#include "comm/trace_log.h"
#include "platform/app_settings.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/ini_file.h"
#include "platform/paths.h"
#include "platform/ui_thread.h"

namespace tv {

namespace {

constexpr int kPermissionIoError = 13;

// Ports by dispatcher handle, so a trigger message finds its component.
std::mutex portsMutex;
std::array<TQaCustomComPort*, kMaxComPortHandles + 1> portsByHandle{};

std::mutex exceptionHandlerMutex;
std::function<void(const std::exception&)> exceptionHandler;

void ReportHandlerException(const std::exception& error) {
  std::function<void(const std::exception&)> handler;
  {
    std::lock_guard lock(exceptionHandlerMutex);
    handler = exceptionHandler;
  }
  if (handler) {
    handler(error);
  } else {
    std::cerr << "tessivane: " << error.what() << "\n";
  }
}

int DispatcherKind(TDispatcherMode mode) { return mode == dWin32 ? kDispatcherThreads : 0; }

bool Running(TTraceLogState state) { return state == tlOn || state == tlPause; }

// Restores trigger delivery on every way out of WaitForText.
class DeliveryOff {
 public:
  explicit DeliveryOff(int handle) : handle_(handle), wasOff_(SetDispatching(handle, true) == 1) {}
  ~DeliveryOff() {
    if (!wasOff_) SetDispatching(handle_, false);
  }
  DeliveryOff(const DeliveryOff&) = delete;
  DeliveryOff& operator=(const DeliveryOff&) = delete;

 private:
  int handle_;
  bool wasOff_;
};

}  // namespace

std::string PermissionDeniedMessage(const std::string& devicePath) {
  return "Permission denied opening " + devicePath +
         ": your user needs read and write access to it. Add the user to the 'dialout' group "
         "(sudo usermod -aG dialout $USER) and log in again.";
}

// The hidden window: receives the dispatcher's trigger messages on the UI
// thread and hands them to the component registered for the port.
class TQaCustomComPort::HiddenWindow : public TriggerWindow {
 public:
  void TriggerMessage(std::uint16_t msg, std::uint32_t wParam, std::uint32_t lParam) override {
    TQaCustomComPort::HandleTriggerMessage(msg, wParam, lParam);
  }
};

// Components belong to the UI thread: touching the UI-thread interface here
// makes sure the headless fallback, when no program installed its own, takes
// this thread as its UI thread rather than the first worker thread to send.
TQaCustomComPort::TQaCustomComPort() { UiThread::Current(); }

TQaCustomComPort::~TQaCustomComPort() {
  if (!open_) return;
  try {
    ClosePort();
  } catch (const std::exception& error) {
    ReportHandlerException(error);
  }
}

void TQaCustomComPort::SetExceptionHandler(std::function<void(const std::exception&)> handler) {
  std::lock_guard lock(exceptionHandlerMutex);
  exceptionHandler = std::move(handler);
}

int TQaCustomComPort::Check(int code) const { return CheckErrorCode(code, loading_); }

// ------------------------------------------------------------------ copying

void TQaCustomComPort::Assign(const TQaCustomComPort& source) {
  if (open_) ClosePort();
  deviceLayer_ = source.deviceLayer_;
  comNumber_ = source.comNumber_;
  devicePath_ = source.devicePath_;
  baud_ = source.baud_;
  parity_ = source.parity_;
  dataBits_ = source.dataBits_;
  stopBits_ = source.stopBits_;
  inSize_ = source.inSize_;
  outSize_ = source.outSize_;
  autoOpen_ = source.autoOpen_;
  dispatcherMode_ = source.dispatcherMode_;
  dtr_ = source.dtr_;
  rts_ = source.rts_;
  hwFlowOptions_ = source.hwFlowOptions_;
  swFlowOptions_ = source.swFlowOptions_;
  xonChar_ = source.xonChar_;
  xoffChar_ = source.xoffChar_;
  bufferFull_ = source.bufferFull_;
  bufferResume_ = source.bufferResume_;
  tracing_ = Running(source.tracing_) ? tlOn : tlOff;
  traceSize_ = source.traceSize_;
  traceName_ = source.traceName_;
  traceHex_ = source.traceHex_;
  logging_ = Running(source.logging_) ? tlOn : tlOff;
  logSize_ = source.logSize_;
  logName_ = source.logName_;
  logHex_ = source.logHex_;
  useMsrShadow_ = source.useMsrShadow_;
  useEventWord_ = source.useEventWord_;
  triggerLength_ = source.triggerLength_;
  commNotificationLevel_ = source.commNotificationLevel_;
  tapiMode_ = source.tapiMode_;
  tapiDevice_ = source.tapiDevice_;
  OnTrigger = source.OnTrigger;
  OnTriggerAvail = source.OnTriggerAvail;
  OnTriggerData = source.OnTriggerData;
  OnTriggerStatus = source.OnTriggerStatus;
  OnTriggerTimer = source.OnTriggerTimer;
  OnTriggerLineError = source.OnTriggerLineError;
  OnTriggerModemStatus = source.OnTriggerModemStatus;
  OnTriggerOutbuffFree = source.OnTriggerOutbuffFree;
  OnTriggerOutbuffUsed = source.OnTriggerOutbuffUsed;
  OnTriggerOutSent = source.OnTriggerOutSent;
  OnWaitChar = source.OnWaitChar;
  hasSavedTriggers_ = false;
  if (source.open_) {
    hasSavedTriggers_ = tv::SaveTriggers(source.handle_, savedTriggers_) == 0;
  } else if (source.hasSavedTriggers_) {
    savedTriggers_ = source.savedTriggers_;
    hasSavedTriggers_ = true;
  }
}

void TQaCustomComPort::Loaded() {
  loading_ = false;
  if (openWhenLoaded_) {
    openWhenLoaded_ = false;
    SetOpen(true);
  }
}

// --------------------------------------------------------------- properties

void TQaCustomComPort::SetDeviceLayer(TDeviceLayer value) {
  if (open_ || (value != dlNone && value != dlNative && value != dlOther)) return;
  if (value == deviceLayer_) return;
  deviceLayer_ = value;
  DeviceLayerChanged();
}

void TQaCustomComPort::SetDispatcherMode(TDispatcherMode value) {
  if (open_ || (value != dNone && value != dWin32)) return;
  dispatcherMode_ = value;
}

std::string TQaCustomComPort::DeviceName() const {
  if (!devicePath_.empty()) return devicePath_;
  return ComDevicePath(IniFile(SettingsFilePath()), comNumber_);
}

void TQaCustomComPort::SetComNumber(std::uint16_t value) {
  if (!open_) {
    comNumber_ = value;
    return;
  }
  if (value == comNumber_) return;
  SavedTriggers saved;
  const bool haveTriggers = tv::SaveTriggers(handle_, saved) == 0;
  const TTraceLogState tracing = tracing_;
  const TTraceLogState logging = logging_;
  ClosePort();
  comNumber_ = value;
  tracing_ = tracing;
  logging_ = logging;
  SetOpen(true);
  if (haveTriggers) Check(tv::RestoreTriggers(handle_, saved));
}

void TQaCustomComPort::SetBaud(std::int32_t value) {
  if (!Changed(value != baud_)) return;
  baud_ = value;
  ApplyLine();
}

void TQaCustomComPort::SetParity(TParity value) {
  if (!Changed(value != parity_)) return;
  parity_ = value;
  ApplyLine();
}

void TQaCustomComPort::SetDataBits(std::uint16_t value) {
  if (!Changed(value != dataBits_)) return;
  dataBits_ = value;
  ApplyLine();
}

void TQaCustomComPort::SetStopBits(std::uint16_t value) {
  if (!Changed(value != stopBits_)) return;
  stopBits_ = value;
  ApplyLine();
}

void TQaCustomComPort::ApplyLine() {
  if (open_) Check(tv::SetLine(handle_, static_cast<std::uint32_t>(baud_), parity_, dataBits_, stopBits_));
}

void TQaCustomComPort::SetInSize(std::uint16_t value) {
  if (!Changed(value != inSize_)) return;
  inSize_ = value;
  if (open_) Check(SetQueueSizes(handle_, inSize_, outSize_));
}

void TQaCustomComPort::SetOutSize(std::uint16_t value) {
  if (!Changed(value != outSize_)) return;
  outSize_ = value;
  if (open_) Check(SetQueueSizes(handle_, inSize_, outSize_));
}

void TQaCustomComPort::SetDTR(bool value) {
  if (!Changed(value != dtr_)) return;
  dtr_ = value;
  if (open_) Check(SetDtr(handle_, dtr_));
}

void TQaCustomComPort::SetRTS(bool value) {
  if (!Changed(value != rts_)) return;
  rts_ = value;
  if (open_) Check(SetRts(handle_, rts_));
}

void TQaCustomComPort::SetXOnChar(char value) {
  if (!Changed(value != xonChar_)) return;
  xonChar_ = value;
  if (open_) Check(SetXonXoffChars(handle_, xonChar_, xoffChar_));
}

void TQaCustomComPort::SetXOffChar(char value) {
  if (!Changed(value != xoffChar_)) return;
  xoffChar_ = value;
  if (open_) Check(SetXonXoffChars(handle_, xonChar_, xoffChar_));
}

void TQaCustomComPort::SetTriggerLength(std::uint16_t value) {
  if (!Changed(value != triggerLength_)) return;
  triggerLength_ = value;
  if (open_) Check(SetAvailLevel(handle_, triggerLength_));
}

void TQaCustomComPort::SetUseMSRShadow(bool value) {
  if (!Changed(value != useMsrShadow_)) return;
  useMsrShadow_ = value;
  ApplyUseMSRShadow();
}

void TQaCustomComPort::ApplyUseMSRShadow() {
  if (!open_) return;
  Check(useMsrShadow_ ? SetOptions(handle_, doUseMsrShadow) : ClearOptions(handle_, doUseMsrShadow));
}

void TQaCustomComPort::SetUseEventWord(bool value) {
  if (!Changed(value != useEventWord_)) return;
  useEventWord_ = value;
  if (open_) Check(useEventWord_ ? SetOptions(handle_, doUseEventWord) : ClearOptions(handle_, doUseEventWord));
}

void TQaCustomComPort::SetHWFlowOptions(THWFlowOptions value) {
  if (!Changed(value != hwFlowOptions_)) return;
  hwFlowOptions_ = value & (hwfUseDTR | hwfUseRTS | hwfRequireDSR | hwfRequireCTS);
  if (hwFlowOptions_ != 0) {
    if (bufferFull_ == 0 || bufferFull_ > inSize_) bufferFull_ = static_cast<std::uint16_t>(inSize_ * 9 / 10);
    if (bufferResume_ == 0 || bufferResume_ > bufferFull_) bufferResume_ = static_cast<std::uint16_t>(inSize_ / 10);
  }
  ApplyHwFlow();
}

void TQaCustomComPort::SetSWFlowOptions(TSWFlowOptions value) {
  if (!Changed(value != swFlowOptions_)) return;
  swFlowOptions_ = value;
  if (swFlowOptions_ != swfNone) {
    if (bufferFull_ == 0 || bufferFull_ > inSize_) bufferFull_ = static_cast<std::uint16_t>(inSize_ * 3 / 4);
    if (bufferResume_ == 0 || bufferResume_ > bufferFull_) bufferResume_ = static_cast<std::uint16_t>(inSize_ / 4);
  }
  ApplySwFlow();
}

// A level above the input size would be refused by the line, so it is taken
// as nine tenths of the input size.
void TQaCustomComPort::SetBufferFull(std::uint16_t value) {
  if (!Changed(value != bufferFull_)) return;
  bufferFull_ = value > inSize_ ? static_cast<std::uint16_t>(inSize_ * 9 / 10) : value;
  ApplyHwFlow();
  ApplySwFlow();
}

void TQaCustomComPort::SetBufferResume(std::uint16_t value) {
  if (!Changed(value != bufferResume_)) return;
  bufferResume_ = value > bufferFull_ ? static_cast<std::uint16_t>(bufferFull_ / 10) : value;
  ApplyHwFlow();
  ApplySwFlow();
}

void TQaCustomComPort::ApplyHwFlow() {
  if (!open_) return;
  Check(hwFlowOptions_ != 0 ? HwFlowOn(handle_, bufferFull_, bufferResume_, hwFlowOptions_) : HwFlowOff(handle_));
}

void TQaCustomComPort::ApplySwFlow() {
  if (!open_) return;
  static constexpr int kBits[] = {0, 2, 1, 3};
  Check(swFlowOptions_ != swfNone ? SwFlowOn(handle_, bufferFull_, bufferResume_, kBits[swFlowOptions_])
                                  : SwFlowOff(handle_));
}

// ------------------------------------------------------------ trace and log

void TQaCustomComPort::SetTracing(TTraceLogState value) {
  if (!open_) {
    tracing_ = value == tlOn ? tlOn : tlOff;
    return;
  }
  if (!Changed(value != tracing_)) return;
  ApplyTraceLog(true, value);
}

void TQaCustomComPort::SetLogging(TTraceLogState value) {
  if (!open_) {
    logging_ = value == tlOn ? tlOn : tlOff;
    return;
  }
  if (!Changed(value != logging_)) return;
  ApplyTraceLog(false, value);
}

// Moves a recorder from its present state by one command. While settings
// are applied at open the recorder has not started yet, whatever the
// property says.
void TQaCustomComPort::ApplyTraceLog(bool trace, TTraceLogState value) {
  TTraceLogState& state = trace ? tracing_ : logging_;
  const TTraceLogState current = applying_ ? tlOff : state;
  const std::string& name = trace ? traceName_ : logName_;
  const bool hex = trace ? traceHex_ : logHex_;
  switch (value) {
    case tlOff:
      if (Running(current)) Check(trace ? tv::StopTrace(handle_) : tv::StopLog(handle_));
      state = tlOff;
      break;
    case tlOn:
      if (current == tlPause) {
        Check(trace ? tv::ResumeTrace(handle_) : tv::ResumeLog(handle_));
      } else {
        Check(trace ? tv::StartTrace(handle_, traceSize_) : tv::StartLog(handle_, logSize_));
      }
      state = tlOn;
      break;
    case tlDump:
    case tlAppend: {
      if (!Running(current)) {
        state = current;
        break;
      }
      Check(trace ? tv::ResumeTrace(handle_) : tv::ResumeLog(handle_));
      // A dump that fails keeps what was recorded, and the recorder stays on.
      state = tlOn;
      const std::string path = DumpPath(name);
      const bool append = value == tlAppend;
      Check(trace ? tv::DumpTrace(handle_, path, append, hex) : tv::DumpLog(handle_, path, append, hex));
      state = tlOff;
      break;
    }
    case tlClear:
      if (Running(current)) Check(trace ? tv::ClearTrace(handle_) : tv::ClearLog(handle_));
      break;
    case tlPause:
      // At open a paused recorder (kept across a change of port) starts paused.
      if (current == tlOff && applying_) {
        Check(trace ? tv::StartTrace(handle_, traceSize_) : tv::StartLog(handle_, logSize_));
      } else if (current != tlOn) {
        break;
      }
      Check(trace ? tv::PauseTrace(handle_) : tv::PauseLog(handle_));
      state = tlPause;
      break;
  }
}

std::string TQaCustomComPort::DumpPath(const std::string& name) const {
  if (!name.empty() && name.front() == '/') return name;
  return FindNoCase(ProgramFolder(), name);
}

void TQaCustomComPort::SetTraceSize(std::uint16_t value) {
  value = std::min<std::uint16_t>(value, kMaxTraceEntries);
  if (value == traceSize_) return;
  traceSize_ = value;
  ResizeRecorder(true);
}

void TQaCustomComPort::SetLogSize(std::uint16_t value) {
  value = std::min<std::uint16_t>(value, kMaxLogBytes);
  if (value == logSize_) return;
  logSize_ = value;
  ResizeRecorder(false);
}

// A running recorder starts again at its new size (what it held is lost);
// a paused one comes back paused.
void TQaCustomComPort::ResizeRecorder(bool trace) {
  const TTraceLogState state = trace ? tracing_ : logging_;
  if (!open_ || !Running(state)) return;
  ApplyTraceLog(trace, tlOff);
  ApplyTraceLog(trace, tlOn);
  if (state == tlPause) ApplyTraceLog(trace, tlPause);
}

void TQaCustomComPort::StartTrace(std::uint16_t size) {
  traceSize_ = std::min<std::uint16_t>(size, kMaxTraceEntries);
  Check(tv::StartTrace(PortHandle(), traceSize_));
  tracing_ = tlOn;
}
void TQaCustomComPort::DumpTrace() {
  PortHandle();
  ApplyTraceLog(true, tlDump);
}
void TQaCustomComPort::AppendTrace() {
  PortHandle();
  ApplyTraceLog(true, tlAppend);
}
void TQaCustomComPort::ClearTrace() { Check(tv::ClearTrace(PortHandle())); }
void TQaCustomComPort::StopTrace() {
  Check(tv::StopTrace(PortHandle()));
  tracing_ = tlOff;
}
void TQaCustomComPort::ResumeTrace() {
  Check(tv::ResumeTrace(PortHandle()));
  tracing_ = tlOn;
}
void TQaCustomComPort::PauseTrace() {
  Check(tv::PauseTrace(PortHandle()));
  tracing_ = tlPause;
}
void TQaCustomComPort::StartLog(std::uint16_t size) {
  logSize_ = std::min<std::uint16_t>(size, kMaxLogBytes);
  Check(tv::StartLog(PortHandle(), logSize_));
  logging_ = tlOn;
}
void TQaCustomComPort::DumpLog() {
  PortHandle();
  ApplyTraceLog(false, tlDump);
}
void TQaCustomComPort::AppendLog() {
  PortHandle();
  ApplyTraceLog(false, tlAppend);
}
void TQaCustomComPort::ClearLog() { Check(tv::ClearLog(PortHandle())); }
void TQaCustomComPort::StopLog() {
  Check(tv::StopLog(PortHandle()));
  logging_ = tlOff;
}
void TQaCustomComPort::ResumeLog() {
  Check(tv::ResumeLog(PortHandle()));
  logging_ = tlOn;
}
void TQaCustomComPort::PauseLog() {
  Check(tv::PauseLog(PortHandle()));
  logging_ = tlPause;
}

// ------------------------------------------------------------ open and close

void TQaCustomComPort::SetOpen(bool value) {
  if (loading_) {
    openWhenLoaded_ = value;
    return;
  }
  if (value == open_) return;
  if (value) {
    OpenNow();
  } else {
    ClosePort();
  }
}

int TQaCustomComPort::PortHandle() {
  if (!open_ && !loading_ && autoOpen_) SetOpen(true);
  return handle_;
}

void TQaCustomComPort::CheckPortNumber() {
  if (comNumber_ == 0) Check(ecNoPortSelected);
}

void TQaCustomComPort::InstallLayer() {
  switch (deviceLayer_) {
    case dlNative:
      // In-process modems are opened by their names like any device.
      InstallDeviceLayer(OpensOnSimLayer(DeviceName()) ? SimDeviceLayer() : NativeDeviceLayer());
      break;
    case dlOther:
      InstallDeviceLayer(ProvideOtherLayer());
      break;
    default:
      Check(ecNullApi);
      InstallDeviceLayer(NullDeviceLayer());
      break;
  }
}

std::shared_ptr<tv::DeviceLayer> TQaCustomComPort::ProvideOtherLayer() {
  if (auto provider = OtherDeviceLayerProvider()) {
    if (auto layer = provider()) return layer;
  }
  return NativeDeviceLayer();
}

int TQaCustomComPort::OpenDispatcher() {
  const std::string name = DeviceName();
  const int kind = DispatcherKind(dispatcherMode_);
  if (tapiMode_ == tmOn) {
    return PortOpenAttached(name, kind, inSize_, outSize_, static_cast<std::uint32_t>(baud_), parity_, dataBits_,
                            stopBits_, tapiDevice_);
  }
  return PortOpen(name, kind, inSize_, outSize_, static_cast<std::uint32_t>(baud_), parity_, dataBits_, stopBits_);
}

void TQaCustomComPort::DoOpen() {
  int result = OpenDispatcher();
  if (result == kOsAccessDenied) result = ecAlreadyOpen;
  if (result == kOsFileNotFound || result == ecPathNotFound) result = ecBadId;
  if (result == kOsPermissionDenied) throw EInOutError(PermissionDeniedMessage(DeviceName()), kPermissionIoError);
  if (result < 0) Check(result);
  if (result == 0 || result > kMaxComPortHandles) {
    Check(ecBadHandle);
    return;
  }
  handle_ = result;
}

// The line settings of a device opened elsewhere are read back from it.
void TQaCustomComPort::DoOpenAttached() {
  DoOpen();
  if (handle_ == 0) return;
  LineSettings line;
  if (GetLine(handle_, line) == 0) {
    baud_ = static_cast<std::int32_t>(line.baud);
    parity_ = static_cast<TParity>(line.parity);
    dataBits_ = static_cast<std::uint16_t>(line.dataBits);
    stopBits_ = static_cast<std::uint16_t>(line.stopBits);
  }
}

void TQaCustomComPort::OpenNow() {
  CheckPortNumber();
  InstallLayer();
  if (tapiMode_ == tmOn) {
    DoOpenAttached();
  } else {
    DoOpen();
  }
  if (handle_ == 0) return;
  open_ = true;
  try {
    ApplySettings();
  } catch (...) {
    // A setting the line refuses leaves the port closed, not half set up.
    applying_ = false;
    tv::PortClose(handle_);
    handle_ = 0;
    open_ = false;
    throw;
  }
  {
    std::lock_guard lock(portsMutex);
    portsByHandle[static_cast<std::size_t>(handle_)] = this;
  }
  window_ = std::make_unique<HiddenWindow>();
  Check(RegisterTriggerHandler(handle_, window_.get(), nullptr, nullptr, true));
  if (hasSavedTriggers_) Check(tv::RestoreTriggers(handle_, savedTriggers_));
  PortOpened();
}

void TQaCustomComPort::ApplySettings() {
  applying_ = true;
  SetTracing(tracing_);
  SetLogging(logging_);
  SetHWFlowOptions(hwFlowOptions_);
  SetSWFlowOptions(swFlowOptions_);
  SetXOnChar(xonChar_);
  SetXOffChar(xoffChar_);
  SetTriggerLength(triggerLength_);
  if (deviceLayer_ != dlFossil) {
    SetDTR(dtr_);
    SetRTS(rts_);
  }
  SetUseMSRShadow(useMsrShadow_);
  Check(ClearOptions(handle_, doPeekOff));
  SetUseEventWord(useEventWord_);
  SetCommNotificationLevel(commNotificationLevel_);
  applying_ = false;
}

void TQaCustomComPort::ClosePort() {
  if (!open_) return;
  PortClosing();
  // The recorders are written out at every close; a dump that fails is
  // reported after the port has been closed all the same.
  std::exception_ptr dumpError;
  for (bool trace : {true, false}) {
    try {
      if (trace) {
        SetTracing(tlDump);
      } else {
        SetLogging(tlDump);
      }
    } catch (...) {
      if (!dumpError) dumpError = std::current_exception();
    }
  }
  hasSavedTriggers_ = tv::SaveTriggers(handle_, savedTriggers_) == 0;
  DeregisterTriggerHandler(handle_, window_.get(), nullptr);
  tv::PortClose(handle_);
  {
    std::lock_guard lock(portsMutex);
    portsByHandle[static_cast<std::size_t>(handle_)] = nullptr;
  }
  window_.reset();
  handle_ = 0;
  open_ = false;
  if (dumpError) std::rethrow_exception(dumpError);
}

void TQaCustomComPort::GiveTurn() {
  if (open_) GiveDispatcherTurn(handle_);
}

// ------------------------------------------------------------------ data

void TQaCustomComPort::SendText(const std::string& text) {
  const int handle = PortHandle();
  if (text.empty()) return;
  Check(PutString(handle, text));
}

bool TQaCustomComPort::CharAvailable() { return Check(CharReady(PortHandle())) > 0; }

char TQaCustomComPort::ReadChar() {
  const int c = GetChar(PortHandle());
  if (c < 0) {
    Check(c);
    return 0;
  }
  return static_cast<char>(c);
}

// Matching restarts on a mismatch: at position 1 when the byte equals the
// text's first character (so "OOK" still finds "OK"), else at 0.
bool TQaCustomComPort::WaitForText(const std::string& text, std::int32_t ticks, bool processMessages,
                                   bool ignoreCase) {
  if (text.empty()) return true;
  const int handle = PortHandle();
  DeliveryOff deliveryOff(handle);
  const EventTimer timer = NewTimer(ticks);
  UiThread& ui = UiThread::Current();
  const auto fold = [ignoreCase](char c) {
    return ignoreCase ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
  };
  std::size_t position = 0;
  for (;;) {
    if (CharAvailable()) {
      const char c = ReadChar();
      WaitChar(c);
      if (fold(c) == fold(text[position])) {
        if (++position == text.size()) return true;
      } else {
        position = fold(c) == fold(text[0]) ? 1 : 0;
      }
      continue;
    }
    if (TimerExpired(timer)) return false;
    if (processMessages) ui.ProcessPendingMessages();
    if (ui.Terminating()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// ---------------------------------------------------------- trigger events

void TQaCustomComPort::HandleTriggerMessage(std::uint16_t msg, std::uint32_t wParam, std::uint32_t lParam) {
  const std::uint32_t handle = lParam >> 16;
  if (handle < 1 || handle > kMaxComPortHandles) return;
  TQaCustomComPort* port;
  {
    std::lock_guard lock(portsMutex);
    port = portsByHandle[handle];
  }
  if (!port) return;
  const auto trigger = static_cast<std::uint16_t>(wParam);
  try {
    port->TriggerMessage(msg, trigger, msg == kMsgTriggerAvail ? trigger : static_cast<std::uint16_t>(lParam));
    switch (msg) {
      case kMsgTriggerAvail:
        port->TriggerAvail(trigger);
        break;
      case kMsgTriggerData:
        port->TriggerData(trigger);
        break;
      case kMsgTriggerTimer:
        port->TriggerTimer(trigger);
        break;
      case kMsgTriggerStatus:
        port->TriggerStatus(trigger);
        switch (StatusTriggerTypeOf(static_cast<int>(handle), trigger)) {
          case stModemStatus:
            port->TriggerModemStatus();
            break;
          case stLineError: {
            const int error = LineError(static_cast<int>(handle));
            const bool lineBreak = LineBreak(static_cast<int>(handle)) == 1;
            port->TriggerLineError(static_cast<std::uint16_t>(std::max(error, 0)), lineBreak);
            break;
          }
          case stOutBuffFree:
            port->TriggerOutbuffFree();
            break;
          case stOutBuffUsed:
            port->TriggerOutbuffUsed();
            break;
          case stOutSent:
            port->TriggerOutSent();
            break;
          default:
            break;
        }
        break;
      default:
        break;
    }
  } catch (const std::exception& error) {
    ReportHandlerException(error);
  }
}

void TQaCustomComPort::TriggerMessage(std::uint16_t msg, std::uint16_t triggerHandle, std::uint16_t data) {
  if (OnTrigger) OnTrigger(*this, msg, triggerHandle, data);
}
void TQaCustomComPort::TriggerAvail(std::uint16_t count) {
  if (OnTriggerAvail) OnTriggerAvail(*this, count);
}
void TQaCustomComPort::TriggerData(std::uint16_t triggerHandle) {
  if (OnTriggerData) OnTriggerData(*this, triggerHandle);
}
void TQaCustomComPort::TriggerStatus(std::uint16_t triggerHandle) {
  if (OnTriggerStatus) OnTriggerStatus(*this, triggerHandle);
}
void TQaCustomComPort::TriggerTimer(std::uint16_t triggerHandle) {
  if (OnTriggerTimer) OnTriggerTimer(*this, triggerHandle);
}
void TQaCustomComPort::TriggerLineError(std::uint16_t error, bool lineBreak) {
  if (OnTriggerLineError) OnTriggerLineError(*this, error, lineBreak);
}
void TQaCustomComPort::TriggerModemStatus() {
  if (OnTriggerModemStatus) OnTriggerModemStatus(*this);
}
void TQaCustomComPort::TriggerOutbuffFree() {
  if (OnTriggerOutbuffFree) OnTriggerOutbuffFree(*this);
}
void TQaCustomComPort::TriggerOutbuffUsed() {
  if (OnTriggerOutbuffUsed) OnTriggerOutbuffUsed(*this);
}
void TQaCustomComPort::TriggerOutSent() {
  if (OnTriggerOutSent) OnTriggerOutSent(*this);
}
void TQaCustomComPort::WaitChar(char c) {
  if (OnWaitChar) OnWaitChar(*this, c);
}

}  // namespace tv
