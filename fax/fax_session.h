// The fax session: one per sender or receiver component. It runs a state
// machine on an open com port, fed by the port's trigger events, and reports
// to its component through messages that cross to the UI thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fax/fax_status.h"
#include "fax/session_parameters.h"
#include "platform/clock.h"

namespace tv {

enum class TFaxClass : std::uint8_t { fcUnknown = 0, fcDetect = 1, fcClass1 = 2, fcClass2 = 3, fcClass2_0 = 4 };

// Option bits of a session.
enum FaxOption : std::uint16_t {
  foAbortNoConnect = 1,
  foExitOnError = 2,
  foSoftwareFlow = 8,
};

inline constexpr int kFaxDataBlock = 4096;
inline constexpr int kResponseLineMax = 128;
inline constexpr std::int32_t kReplyTimeoutTicks = 182;     // 10 s
inline constexpr std::int32_t kPageDataTimeoutTicks = 1092; // 60 s
inline constexpr std::int32_t kDialTimeoutTicks = 1092;     // 60 s

struct FaxSession;

// The component side of a session: handles the session's messages on the UI
// thread and answers queries (next fax, accept, name) with a number.
class FaxSessionTarget {
 public:
  FaxSessionTarget();
  virtual ~FaxSessionTarget();
  FaxSessionTarget(const FaxSessionTarget&) = delete;
  FaxSessionTarget& operator=(const FaxSessionTarget&) = delete;
  virtual int FaxMessage(FaxMessage message, int wParam, FaxSession& session) = 0;
  // Whether a target still exists: the posted finish message checks it, so
  // it never reaches a component freed while the message waited.
  static bool Alive(const FaxSessionTarget* target);
};

// The Class 2 / 2.0 commands and reports that differ between the classes.
struct Class2Commands {
  std::string selectClass;   // "CLASS=2" / "CLASS=2.0"
  std::string sessionParams; // "DIS" / "IS"
  std::string localId;       // "LID" / "LI"
  std::string capabilities;  // "DCC" / "CC"
  std::string connect;       // "CON" / "CO"
  std::string remoteCaps;    // "DIS" / "IS"
  std::string negotiated;    // "DCS" / "CS"
  std::string transmitId;    // "TSI" / "TI"
  std::string calledId;      // "CSI" / "CI"
  std::string pageStatus;    // "PTS" / "PS"
  std::string hangup;        // "FHNG" / "FHS" (matched alone)
};
const Class2Commands& Class2CommandsFor(TFaxClass faxClass);

// A received page that came with damaged rows (left out of the stored page).
struct PageDamage {
  int page = 0;
  int rows = 0;
};

// "12 damaged rows on page 1, 3 on page 2"; empty when none.
std::string DamageNote(const std::vector<PageDamage>& damage);

struct FaxCommonData {
  int availHandle = 0;       // received data arrives as avail events of handle 0
  int statusTimer = 0;
  int replyTimer = 0;
  int outputSpace = 0;       // armed for 4096 bytes free
  int outputEmpty = 0;       // armed for an empty output buffer
  int modemStatus = 0;
  int statusInterval = 1;    // seconds
  int port = 0;
  bool sendingCover = false;
  int dialAttempts = 3;      // 0: no limit
  int dialAttempt = 0;
  std::int32_t dialRetryWait = SecsToTicks(60);
  std::uint16_t options = 0;
  int status = fsNone;
  bool statusChanged = false;
  std::int32_t lastError = 0;
  int currentPage = 0;
  int filePages = 0;
  int coverPages = 0;
  std::int32_t pageBytesDone = 0;
  std::int32_t pageLength = 0;
  TFaxClass faxClass = TFaxClass::fcUnknown;
  std::string stationId;
  std::string remoteId;
  std::string destinationDir;
  std::string faxFileExt = "APF";
  std::string faxFile;
  std::string coverFile;
  std::string phoneNumber;
  std::string headerLine;
  std::string headerSender;
  std::string headerRecipient;
  std::string headerTitle;
  bool prepared = false;
  bool deviceGone = false;  // the modem's device went during the session
  std::vector<PageDamage> damagedPages;  // of the fax being received
};

struct FaxModemData {
  SessionParameters params;
  bool blindDial = false;
  bool detectBusy = true;
  bool toneDial = true;
  std::string dialPrefix;
  char ecmChar = '0';
  char faxAndDataChar = '0';
  int hangupCode = 0;
  std::int32_t dialTimeout = kDialTimeoutTicks;
  std::int32_t replyTimeout = kReplyTimeoutTicks;
  std::int32_t pageDataTimeout = kPageDataTimeoutTicks;
  int ringsToWait = 1;
  std::string defaultInit = "ATE0Q0V1X4S0=0S2=43";
  std::string userInit;
  bool initSent = false;
  bool calling = false;           // the sender's side of the call: frames carry the X bit
  Class2Commands commands;
  std::string response;           // the line being read, or the information line of an answer
  std::uint32_t initBaud = 0;
  std::uint32_t normalBaud = 0;
  bool atInitBaud = false;
  EventTimer replyTicks;
};

struct FaxSenderData {
  int maxSendCount = 50;
  int bufferMinimum = 1000;
  int pageRetries = 0;
  bool safeMode = true;
  bool pagesReduced = false;  // fine pages of this fax went out at standard resolution
};

struct FaxReceiverData {
  bool oneFax = false;
  bool constantStatus = false;
  bool firstStatusSent = false;
  int ringCount = 0;
  // Rings of one call come within a ring cycle (about 6 s at the slowest
  // cadences); a longer pause ends the call that rang.
  std::int32_t ringGapTicks = SecsToTicks(8);
  std::int64_t trainingBytes = 0;
  std::int64_t trainingErrors = 0;
};

// The state machine of a session: one step per trigger event (msg is the
// trigger message, handle the trigger handle; 0/0 for the first run).
using FaxMachine = std::function<void(FaxSession&, std::uint16_t msg, int handle)>;
// The preparation before the machine runs; leaves an error in lastError.
using FaxPrepare = std::function<void(FaxSession&)>;

struct FaxSession {
  FaxCommonData common;
  FaxModemData modem;
  FaxSenderData sender;
  FaxReceiverData receiver;
  int state = 1;
  // Written on the UI thread, read by the machine on the dispatch thread.
  std::atomic<FaxSessionTarget*> target{nullptr};
  FaxMachine machine;
  std::atomic<bool> registered{false};  // the machine is the port's handler
  std::atomic<bool> running{false};     // started and not yet finished
  std::atomic<bool> abortRequested{false};
};

// Starts the session on the open port common.port: triggers, preparation,
// the first run of the machine, then the machine as the port's handler.
// Returns 0 or an error code (the session then has finished).
int StartFaxSession(FaxSession& session, const FaxPrepare& prepare, FaxMachine machine);
// Releases the triggers and the handler and posts the finish message; once
// per session start, whichever thread comes first.
void FinishFaxSession(FaxSession& session);
// For a component going away while its session may run: no more messages
// reach it, a machine run in progress on the dispatch thread is waited for,
// and the session is finished. Afterwards nothing touches the session.
void StopFaxSession(FaxSession& session);
// Asks the running machine, from any thread, to abort: its next run (brought
// at once by the reply timer) sees FaxMsgAbort. Nothing when none runs.
void AbortFaxSession(FaxSession& session);

// Messages to the component, each sent with a 1000 ms limit. A window too
// busy to answer in time does not count as "no": the call is accepted, the
// fax is named by count, the next fax is asked for again (for about 30 s);
// the dispatch log notes each. Any failure once the modem's device has gone
// is reported as that: the rest follows from it.
void ReportFaxError(FaxSession& session, int code);
void ReportFaxStatus(FaxSession& session, bool first, bool last);
void ReportFaxLog(FaxSession& session, TFaxLogCode code);
bool AskNextFax(FaxSession& session);
void AskFaxName(FaxSession& session);
bool AskAccept(FaxSession& session);

// Sets the status and marks it for the next report.
void SetFaxStatus(FaxSession& session, int status);

// Arms the reply timer trigger and the reply tick timer.
void ArmReplyTimer(FaxSession& session, std::int32_t ticks);

void SetBaudRates(FaxSession& session, std::uint32_t initBaud, std::uint32_t normalBaud, bool switchNow);
void UseNormalBaud(FaxSession& session, bool normal);

// Ends a call: escape and ATH (with a DTR reset when carrier stays).
void HangUpModem(FaxSession& session);
void HangUpModemForReceiver(FaxSession& session);

}  // namespace tv
