// TQaComPort: the serial port as the forms and the fax components use it.
//
// Settings are properties kept while the port is closed and applied in a
// fixed order when it opens; every failing dispatcher code is raised as its
// exception (CheckErrorCode); trigger events arrive as the On... events on
// the UI thread. All operations belong to the UI thread.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "comm/device_layer.h"
#include "comm/dispatcher.h"

namespace tv {

enum TDeviceLayer { dlNone, dlComm, dlFossil, dlNative, dlWinsock, dlOther };
enum TParity { pNone, pOdd, pEven, pMark, pSpace };
enum TDispatcherMode { dNone, dTimer, dCommEvents, dAuto, dWin32 };
enum TTraceLogState { tlOff, tlOn, tlDump, tlAppend, tlClear, tlPause };
enum TSWFlowOptions { swfNone, swfReceive, swfTransmit, swfBoth };
enum TTapiMode { tmNone, tmAuto, tmOn, tmOff };

// The set of hardware flow options, as the option bits of the dispatcher.
enum THWFlowOption : std::uint8_t { hwfUseDTR = 1, hwfUseRTS = 2, hwfRequireDSR = 4, hwfRequireCTS = 8 };
using THWFlowOptions = std::uint8_t;

inline constexpr int kMaxComPortHandles = 100;

class TQaCustomComPort {
 public:
  using TriggerEvent = std::function<void(TQaCustomComPort& cp, std::uint16_t msg, std::uint16_t triggerHandle,
                                          std::uint16_t data)>;
  using AvailEvent = std::function<void(TQaCustomComPort& cp, std::uint16_t count)>;
  using HandleEvent = std::function<void(TQaCustomComPort& cp, std::uint16_t triggerHandle)>;
  using LineErrorEvent = std::function<void(TQaCustomComPort& cp, std::uint16_t error, bool lineBreak)>;
  using NotifyEvent = std::function<void(TQaCustomComPort& sender)>;
  using WaitCharEvent = std::function<void(TQaCustomComPort& cp, char c)>;

  TQaCustomComPort();
  virtual ~TQaCustomComPort();
  TQaCustomComPort(const TQaCustomComPort&) = delete;
  TQaCustomComPort& operator=(const TQaCustomComPort&) = delete;

  // Copies every setting and event of source (and, when source is open, its
  // triggers, which this port gets back at its next open). This port is
  // closed afterwards.
  void Assign(const TQaCustomComPort& source);

  // Loading from a stored form: Open true is only remembered until Loaded,
  // and failing codes are ignored meanwhile.
  void BeginLoading() { loading_ = true; }
  void Loaded();

  // ---- properties
  TDeviceLayer DeviceLayer() const { return deviceLayer_; }
  void SetDeviceLayer(TDeviceLayer value);
  std::uint16_t ComNumber() const { return comNumber_; }
  void SetComNumber(std::uint16_t value);
  // The device opened for ComNumber: key COMn of [Ports] in TV.INI, else
  // /dev/ttyS<n-1>; a non-empty DevicePath is used instead.
  const std::string& DevicePath() const { return devicePath_; }
  void SetDevicePath(std::string path) { devicePath_ = std::move(path); }
  std::string DeviceName() const;
  std::int32_t Baud() const { return baud_; }
  void SetBaud(std::int32_t value);
  TParity Parity() const { return parity_; }
  void SetParity(TParity value);
  std::uint16_t DataBits() const { return dataBits_; }
  void SetDataBits(std::uint16_t value);
  std::uint16_t StopBits() const { return stopBits_; }
  void SetStopBits(std::uint16_t value);
  std::uint16_t InSize() const { return inSize_; }
  void SetInSize(std::uint16_t value);
  std::uint16_t OutSize() const { return outSize_; }
  void SetOutSize(std::uint16_t value);
  bool AutoOpen() const { return autoOpen_; }
  void SetAutoOpen(bool value) { autoOpen_ = value; }
  TDispatcherMode DispatcherMode() const { return dispatcherMode_; }
  void SetDispatcherMode(TDispatcherMode value);
  bool Open() const { return open_; }
  void SetOpen(bool value);
  bool DTR() const { return dtr_; }
  void SetDTR(bool value);
  bool RTS() const { return rts_; }
  void SetRTS(bool value);
  THWFlowOptions HWFlowOptions() const { return hwFlowOptions_; }
  void SetHWFlowOptions(THWFlowOptions value);
  TSWFlowOptions SWFlowOptions() const { return swFlowOptions_; }
  void SetSWFlowOptions(TSWFlowOptions value);
  char XOnChar() const { return xonChar_; }
  void SetXOnChar(char value);
  char XOffChar() const { return xoffChar_; }
  void SetXOffChar(char value);
  std::uint16_t BufferFull() const { return bufferFull_; }
  void SetBufferFull(std::uint16_t value);
  std::uint16_t BufferResume() const { return bufferResume_; }
  void SetBufferResume(std::uint16_t value);
  TTraceLogState Tracing() const { return tracing_; }
  void SetTracing(TTraceLogState value);
  std::uint16_t TraceSize() const { return traceSize_; }
  void SetTraceSize(std::uint16_t value);
  const std::string& TraceName() const { return traceName_; }
  void SetTraceName(std::string value) { traceName_ = std::move(value); }
  bool TraceHex() const { return traceHex_; }
  void SetTraceHex(bool value) { traceHex_ = value; }
  TTraceLogState Logging() const { return logging_; }
  void SetLogging(TTraceLogState value);
  std::uint16_t LogSize() const { return logSize_; }
  void SetLogSize(std::uint16_t value);
  const std::string& LogName() const { return logName_; }
  void SetLogName(std::string value) { logName_ = std::move(value); }
  bool LogHex() const { return logHex_; }
  void SetLogHex(bool value) { logHex_ = value; }
  bool UseMSRShadow() const { return useMsrShadow_; }
  void SetUseMSRShadow(bool value);
  bool UseEventWord() const { return useEventWord_; }
  void SetUseEventWord(bool value);
  std::uint16_t TriggerLength() const { return triggerLength_; }
  void SetTriggerLength(std::uint16_t value);
  std::uint16_t CommNotificationLevel() const { return commNotificationLevel_; }
  void SetCommNotificationLevel(std::uint16_t value) { commNotificationLevel_ = value; }
  TTapiMode TapiMode() const { return tapiMode_; }
  void SetTapiMode(TTapiMode value) { tapiMode_ = value; }
  // The device handle a telephony component hands over for TapiMode tmOn.
  void SetTapiDevice(DeviceHandle device) { tapiDevice_ = device; }

  // ---- events (run on the UI thread)
  TriggerEvent OnTrigger;
  AvailEvent OnTriggerAvail;
  HandleEvent OnTriggerData;
  HandleEvent OnTriggerStatus;
  HandleEvent OnTriggerTimer;
  LineErrorEvent OnTriggerLineError;
  NotifyEvent OnTriggerModemStatus;
  NotifyEvent OnTriggerOutbuffFree;
  NotifyEvent OnTriggerOutbuffUsed;
  NotifyEvent OnTriggerOutSent;
  WaitCharEvent OnWaitChar;

  // ---- operations
  // The dispatcher handle; opens the port first when it is closed and
  // AutoOpen is set.
  int PortHandle();
  void SendText(const std::string& text);
  bool CharAvailable();
  char ReadChar();
  // Reads until text arrives (true) or ticks pass (false), with trigger
  // delivery switched off meanwhile; see the .cpp for the matching rule.
  bool WaitForText(const std::string& text, std::int32_t ticks, bool processMessages, bool ignoreCase);

  void StartTrace(std::uint16_t size);
  void DumpTrace();
  void AppendTrace();
  void ClearTrace();
  void StopTrace();
  void ResumeTrace();
  void PauseTrace();
  void StartLog(std::uint16_t size);
  void DumpLog();
  void AppendLog();
  void ClearLog();
  void StopLog();
  void ResumeLog();
  void PauseLog();

  // Where exceptions raised by event handlers go (the application's handler);
  // by default they are written to stderr.
  static void SetExceptionHandler(std::function<void(const std::exception&)> handler);

 protected:
  // Overridable steps, in slot order.
  virtual void InstallLayer();
  virtual void DeviceLayerChanged() {}
  virtual int OpenDispatcher();
  virtual void CheckPortNumber();
  virtual void ApplyUseMSRShadow();
  virtual void TriggerMessage(std::uint16_t msg, std::uint16_t triggerHandle, std::uint16_t data);
  virtual void TriggerAvail(std::uint16_t count);
  virtual void TriggerData(std::uint16_t triggerHandle);
  virtual void TriggerStatus(std::uint16_t triggerHandle);
  virtual void TriggerTimer(std::uint16_t triggerHandle);
  virtual void TriggerLineError(std::uint16_t error, bool lineBreak);
  virtual void TriggerModemStatus();
  virtual void TriggerOutbuffFree();
  virtual void TriggerOutbuffUsed();
  virtual void TriggerOutSent();
  virtual void WaitChar(char c);
  virtual void ClosePort();
  virtual void GiveTurn();
  virtual void PortOpened() {}
  virtual void PortClosing() {}
  virtual void DoOpen();
  virtual void DoOpenAttached();
  // The layer installed for dlOther: the process-wide provider when one is
  // set, else the native layer.
  virtual std::shared_ptr<tv::DeviceLayer> ProvideOtherLayer();

 private:
  class HiddenWindow;
  friend class HiddenWindow;

  int Check(int code) const;
  void OpenNow();
  void ApplySettings();
  void ApplyLine();
  void ApplyHwFlow();
  void ApplySwFlow();
  void ApplyTraceLog(bool trace, TTraceLogState value);
  void ResizeRecorder(bool trace);
  std::string DumpPath(const std::string& name) const;
  bool Changed(bool differs) const { return differs || applying_; }
  static void HandleTriggerMessage(std::uint16_t msg, std::uint32_t wParam, std::uint32_t lParam);

  TDeviceLayer deviceLayer_ = dlNative;
  std::uint16_t comNumber_ = 0;
  std::string devicePath_;
  std::int32_t baud_ = 19200;
  TParity parity_ = pNone;
  std::uint16_t dataBits_ = 8;
  std::uint16_t stopBits_ = 1;
  std::uint16_t inSize_ = 4096;
  std::uint16_t outSize_ = 4096;
  bool autoOpen_ = true;
  TDispatcherMode dispatcherMode_ = dWin32;
  bool open_ = false;
  bool dtr_ = true;
  bool rts_ = true;
  THWFlowOptions hwFlowOptions_ = 0;
  TSWFlowOptions swFlowOptions_ = swfNone;
  char xonChar_ = 17;
  char xoffChar_ = 19;
  std::uint16_t bufferFull_ = 0;
  std::uint16_t bufferResume_ = 0;
  TTraceLogState tracing_ = tlOff;
  std::uint16_t traceSize_ = 10000;
  std::string traceName_ = "QARN.TRC";
  bool traceHex_ = true;
  TTraceLogState logging_ = tlOff;
  std::uint16_t logSize_ = 10000;
  std::string logName_ = "QARN.LOG";
  bool logHex_ = true;
  bool useMsrShadow_ = true;
  bool useEventWord_ = true;
  std::uint16_t triggerLength_ = 1;
  std::uint16_t commNotificationLevel_ = 10;
  TTapiMode tapiMode_ = tmAuto;
  DeviceHandle tapiDevice_ = -1;

  int handle_ = 0;
  bool applying_ = false;
  bool loading_ = false;
  bool openWhenLoaded_ = false;
  bool hasSavedTriggers_ = false;
  SavedTriggers savedTriggers_;
  std::unique_ptr<HiddenWindow> window_;
};

class TQaComPort : public TQaCustomComPort {
 public:
  using TQaCustomComPort::TQaCustomComPort;
};

// The message for a device the user may not open.
std::string PermissionDeniedMessage(const std::string& devicePath);

}  // namespace tv
