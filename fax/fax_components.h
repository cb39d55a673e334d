// The fax components: TQaSendFax and TQaReceiveFax each own one fax session,
// take their settings as properties, start the sender or receiver machine on
// a TQaComPort and turn the session's messages into events. TQaFaxLog writes
// the fax history file; TQaAbstractFaxStatus is the base of status displays.
//
// Everything here belongs to the UI thread. Properties live in the session
// record itself, so the machine reads them where it needs them.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "comm/qa_port.h"
#include "fax/fax_receiver.h"
#include "fax/fax_sender.h"
#include "fax/fax_session.h"
#include "fax/receive_names.h"

namespace tv {

class TQaAbstractFax;
class TQaFaxLog;

// What a status display shows itself on: a form the display creates.
class TFaxStatusForm {
 public:
  virtual ~TFaxStatusForm() = default;
  virtual void SetPosition(int position) = 0;
  virtual void SetCtl3D(bool on) = 0;
  virtual void SetVisible(bool on) = 0;
};

class TQaAbstractFaxStatus {
 public:
  TQaAbstractFaxStatus() = default;
  virtual ~TQaAbstractFaxStatus();
  TQaAbstractFaxStatus(const TQaAbstractFaxStatus&) = delete;
  TQaAbstractFaxStatus& operator=(const TQaAbstractFaxStatus&) = delete;

  int Position() const { return position_; }
  void SetPosition(int value);
  bool Ctl3D() const { return ctl3D_; }
  void SetCtl3D(bool value);
  bool Visible() const { return visible_; }
  void SetVisible(bool value);
  TQaAbstractFax* Fax() const { return fax_; }
  void SetFax(TQaAbstractFax* fax);

  // Called for every status report of the linked fax component.
  virtual void UpdateDisplay(bool first, bool last) = 0;

 protected:
  virtual std::unique_ptr<TFaxStatusForm> CreateDisplay() = 0;
  void DestroyDisplay() { form_.reset(); }
  TFaxStatusForm* Form();

 private:
  friend class TQaAbstractFax;
  int position_ = 0;
  bool ctl3D_ = true;
  bool visible_ = false;
  TQaAbstractFax* fax_ = nullptr;
  std::unique_ptr<TFaxStatusForm> form_;
};

// Appends an entry to the fax history file for each log code of its fax.
class TQaFaxLog {
 public:
  TQaFaxLog() = default;
  ~TQaFaxLog();
  TQaFaxLog(const TQaFaxLog&) = delete;
  TQaFaxLog& operator=(const TQaFaxLog&) = delete;

  const std::string& FaxHistoryName() const { return faxHistoryName_; }
  void SetFaxHistoryName(std::string value) { faxHistoryName_ = std::move(value); }
  TQaAbstractFax* Fax() const { return fax_; }
  void SetFax(TQaAbstractFax* fax);

  // Raises the I/O exception when the history file cannot be written.
  void UpdateLog(TFaxLogCode code);

  // How the last call on a port's device went over its line ("T.38"),
  // empty for a modem: given by whoever opens lines that are no modems.
  using LineMedium = std::function<std::string(const std::string& deviceName)>;
  void SetLineMedium(LineMedium medium) { lineMedium_ = std::move(medium); }

  // The entry for a code, "" when the code does not belong to the fax's
  // direction; `now` is the date and time text, `medium` the line's way of
  // carrying the call, if it names one.
  static std::string LogEntry(const TQaAbstractFax& fax, TFaxLogCode code, const std::string& now,
                              const std::string& medium = {});

 private:
  friend class TQaAbstractFax;
  std::string faxHistoryName_ = "QARNFAX.HIS";
  TQaAbstractFax* fax_ = nullptr;
  LineMedium lineMedium_;
};

class TQaAbstractFax : public FaxSessionTarget {
 public:
  using TFaxStatusEvent = std::function<void(TQaAbstractFax& fax, bool first, bool last)>;
  using TFaxLogEvent = std::function<void(TQaAbstractFax& fax, TFaxLogCode logCode)>;
  using TFaxErrorEvent = std::function<void(TQaAbstractFax& fax, int errorCode)>;
  using TFaxFinishEvent = std::function<void(TQaAbstractFax& fax, int errorCode)>;

  ~TQaAbstractFax() override;
  TQaAbstractFax(const TQaAbstractFax&) = delete;
  TQaAbstractFax& operator=(const TQaAbstractFax&) = delete;

  // ---- common properties
  std::uint32_t InitBaud() const { return session_.modem.initBaud; }
  void SetInitBaud(std::uint32_t value) { session_.modem.initBaud = value; }
  std::uint32_t NormalBaud() const { return session_.modem.normalBaud; }
  void SetNormalBaud(std::uint32_t value) { session_.modem.normalBaud = value; }
  TFaxClass FaxClass() const { return session_.common.faxClass; }
  void SetFaxClass(TFaxClass value) { session_.common.faxClass = value; }
  std::string ModemInit() const { return session_.modem.userInit; }
  void SetModemInit(const std::string& value);
  const std::string& StationID() const { return session_.common.stationId; }
  void SetStationID(const std::string& value) { session_.common.stationId = value.substr(0, 20); }
  TQaComPort* ComPort() const { return comPort_; }
  // Linking a port sets it up for fax work (8N1, 19200 baud, 8192-byte
  // buffers, RTS/CTS flow).
  void SetComPort(TQaComPort* port);
  TQaAbstractFaxStatus* StatusDisplay() const { return statusDisplay_; }
  void SetStatusDisplay(TQaAbstractFaxStatus* display);
  TQaFaxLog* FaxLog() const { return faxLog_; }
  void SetFaxLog(TQaFaxLog* log);
  virtual const std::string& FaxFile() const { return session_.common.faxFile; }
  virtual void SetFaxFile(const std::string& value) { session_.common.faxFile = value.substr(0, 255); }
  bool AbortNoConnect() const { return Option(foAbortNoConnect); }
  void SetAbortNoConnect(bool on) { SetOption(foAbortNoConnect, on); }
  bool ExitOnError() const { return Option(foExitOnError); }
  void SetExitOnError(bool on) { SetOption(foExitOnError, on); }
  bool SoftwareFlow() const { return Option(foSoftwareFlow); }
  void SetSoftwareFlow(bool on) { SetOption(foSoftwareFlow, on); }
  int StatusInterval() const { return session_.common.statusInterval; }
  void SetStatusInterval(int seconds) { session_.common.statusInterval = seconds; }
  int DesiredBPS() const { return session_.modem.params.desiredBps; }
  void SetDesiredBPS(int bps) { session_.modem.params.desiredBps = bps; }
  // Error correction: Class 1 offers it in its own frames, Class 2 and 2.0
  // ask the modem for it.
  bool DesiredECM() const { return session_.modem.params.allowErrorCorrection; }
  void SetDesiredECM(bool on) {
    session_.modem.params.allowErrorCorrection = on;
    session_.modem.ecmChar = on ? '1' : '0';
  }
  // The best coding Class 1 offers (MMR only with error correction).
  T4Coding DesiredCoding() const { return session_.modem.params.codingLimit; }
  void SetDesiredCoding(T4Coding coding) { session_.modem.params.codingLimit = coding; }

  const std::string& FaxFileExt() const { return session_.common.faxFileExt; }
  void SetFaxFileExt(const std::string& value) { session_.common.faxFileExt = value; }

  // ---- read-only values for status displays
  int Status() const { return session_.common.status; }
  int LastError() const { return session_.common.lastError; }
  const std::string& RemoteID() const { return session_.common.remoteId; }
  int BitRate() const { return session_.modem.params.bitRate; }
  bool Fine() const { return session_.modem.params.fine; }
  bool Wide() const { return session_.modem.params.wide; }
  bool ErrorCorrection() const { return session_.modem.params.errorCorrection; }
  T4Coding Coding() const { return session_.modem.params.coding; }
  int HangupCode() const { return session_.modem.hangupCode; }
  virtual int TotalPages() const = 0;
  virtual int CurrentPage() const = 0;
  virtual int PageLength() const = 0;
  virtual int BytesTransferred() const = 0;
  virtual bool IsSender() const = 0;

  // ---- operations
  // Sends the running machine the abort message.
  void AbortFax();
  // Class bits (4 Class 1, 8 Class 2, 16 Class 2.0), from the preparation
  // when it ran, else asked of the modem once and kept.
  int FaxCapabilities();
  FaxSession& Session() { return session_; }
  const FaxSession& Session() const { return session_; }

  // ---- events (UI thread)
  TFaxStatusEvent OnFaxStatus;
  TFaxLogEvent OnFaxLog;
  TFaxErrorEvent OnFaxError;
  TFaxFinishEvent OnFaxFinish;

  // Where exceptions raised while handling a session message go (a history
  // file that cannot be written); an empty handler means stderr.
  static void SetExceptionHandler(std::function<void(const std::exception&)> handler);

 protected:
  TQaAbstractFax();
  int FaxMessage(tv::FaxMessage message, int wParam, FaxSession& session) override;
  // Checks the port before a start and puts its handle into the session.
  void CheckPort();

  virtual int NextFax() { return 0; }
  virtual void NameReceivedFile() {}
  virtual bool AcceptCall() { return true; }

  FaxSession session_;

 private:
  bool Option(FaxOption bit) const { return (session_.common.options & bit) != 0; }
  void SetOption(FaxOption bit, bool on);
  int HandleMessage(tv::FaxMessage message, int wParam);

  TQaComPort* comPort_ = nullptr;
  TQaAbstractFaxStatus* statusDisplay_ = nullptr;
  TQaFaxLog* faxLog_ = nullptr;
  int capabilities_ = -1;
};

class TQaSendFax : public TQaAbstractFax {
 public:
  using TFaxNextEvent =
      std::function<void(TQaSendFax& fax, std::string& phoneNumber, std::string& faxFile, std::string& coverFile)>;

  TQaSendFax();
  ~TQaSendFax() override;

  bool BlindDial() const { return session_.modem.blindDial; }
  void SetBlindDial(bool on);
  bool DetectBusy() const { return session_.modem.detectBusy; }
  void SetDetectBusy(bool on);
  bool ToneDial() const { return session_.modem.toneDial; }
  void SetToneDial(bool on) { session_.modem.toneDial = on; }
  const std::string& DialPrefix() const { return session_.modem.dialPrefix; }
  void SetDialPrefix(const std::string& value) { session_.modem.dialPrefix = value.substr(0, 40); }
  int DialWait() const { return TicksToSecs(session_.modem.dialTimeout); }
  void SetDialWait(int seconds) { session_.modem.dialTimeout = SecsToTicks(seconds); }
  int DialAttempts() const { return session_.common.dialAttempts; }
  void SetDialAttempts(int value) { session_.common.dialAttempts = value; }
  int DialRetryWait() const { return TicksToSecs(session_.common.dialRetryWait); }
  void SetDialRetryWait(int seconds) { session_.common.dialRetryWait = SecsToTicks(seconds); }
  int MaxSendCount() const { return session_.sender.maxSendCount; }
  void SetMaxSendCount(int value) { session_.sender.maxSendCount = value; }
  int BufferMinimum() const { return session_.sender.bufferMinimum; }
  void SetBufferMinimum(int value) { session_.sender.bufferMinimum = value; }
  const std::string& HeaderLine() const { return session_.common.headerLine; }
  void SetHeaderLine(const std::string& value) { session_.common.headerLine = value; }
  // The fax a start sends when no OnFaxNext handler names one; the session
  // takes it over when the fax is asked for.
  const std::string& FaxFile() const override { return faxFile_; }
  void SetFaxFile(const std::string& value) override { faxFile_ = value.substr(0, 255); }
  const std::string& CoverFile() const { return coverFile_; }
  void SetCoverFile(const std::string& value) { coverFile_ = value.substr(0, 255); }
  const std::string& PhoneNumber() const { return phoneNumber_; }
  void SetPhoneNumber(const std::string& value) { phoneNumber_ = value.substr(0, 40); }
  bool SafeMode() const { return session_.sender.safeMode; }
  void SetSafeMode(bool on) { session_.sender.safeMode = on; }
  int DialAttempt() const { return session_.common.dialAttempt + 1; }
  const std::string& HeaderSender() const { return session_.common.headerSender; }
  void SetHeaderSender(const std::string& value) { session_.common.headerSender = value; }
  const std::string& HeaderRecipient() const { return session_.common.headerRecipient; }
  void SetHeaderRecipient(const std::string& value) { session_.common.headerRecipient = value; }
  const std::string& HeaderTitle() const { return session_.common.headerTitle; }
  void SetHeaderTitle(const std::string& value) { session_.common.headerTitle = value; }

  TFaxNextEvent OnFaxNext;

  // Checks the port and starts sending; 0 or an error code.
  int BeginSending();

  int TotalPages() const override { return session_.common.filePages; }
  // Fine pages of the last fax went out at standard resolution: the far end takes no fine.
  bool PagesReduced() const { return session_.sender.pagesReduced; }
  int CurrentPage() const override;
  int PageLength() const override { return session_.common.pageLength; }
  int BytesTransferred() const override;
  bool IsSender() const override { return true; }

 protected:
  int NextFax() override;

 private:
  std::string phoneNumber_;
  std::string faxFile_;
  std::string coverFile_;
  bool singleFaxGiven_ = false;
  TFaxSenderMachine machine_{session_};
};

class TQaReceiveFax : public TQaAbstractFax {
 public:
  using TFaxAcceptEvent = std::function<void(TQaReceiveFax& fax, bool& accept)>;
  using TFaxNameEvent = std::function<void(TQaReceiveFax& fax, std::string& name)>;

  TQaReceiveFax();
  ~TQaReceiveFax() override;

  int AnswerOnRing() const { return session_.modem.ringsToWait; }
  void SetAnswerOnRing(int rings) { session_.modem.ringsToWait = rings; }
  bool FaxAndData() const { return session_.modem.faxAndDataChar == '1'; }
  void SetFaxAndData(bool on) { session_.modem.faxAndDataChar = on ? '1' : '0'; }
  bool OneFax() const { return session_.receiver.oneFax; }
  void SetOneFax(bool on) { session_.receiver.oneFax = on; }
  bool ConstantStatus() const { return session_.receiver.constantStatus; }
  void SetConstantStatus(bool on) { session_.receiver.constantStatus = on; }
  const std::string& DestinationDir() const { return session_.common.destinationDir; }
  void SetDestinationDir(const std::string& value) { session_.common.destinationDir = value; }
  // 1 by count, 2 by date, any other value the fixed name "noname.apf".
  int ReceiveNameMode() const { return receiveNameMode_; }
  void SetReceiveNameMode(int mode) { receiveNameMode_ = mode; }

  TFaxAcceptEvent OnFaxAccept;
  TFaxNameEvent OnFaxName;

  // Checks the port and starts waiting for calls; 0 or an error code.
  int BeginReceiving();

  int TotalPages() const override { return 0; }
  int CurrentPage() const override { return session_.common.currentPage; }
  int PageLength() const override { return 0; }
  int BytesTransferred() const override { return session_.common.pageBytesDone; }
  bool IsSender() const override { return false; }

 protected:
  void NameReceivedFile() override;
  bool AcceptCall() override;

 private:
  int receiveNameMode_ = static_cast<int>(tv::ReceiveNameMode::kByCount);
  TFaxReceiverMachine machine_{session_};
};

}  // namespace tv
