#include "fax/fax_session.h"

#include <mutex>
#include <optional>
#include <set>
#include <string_view>

#include "comm/dispatcher.h"
#include "fax/modem_prep.h"
#include "fax/receive_names.h"
#include "platform/error_codes.h"
#include "platform/ui_thread.h"

namespace tv {

namespace {

constexpr int kSendTimeoutMs = 1000;
// How often a busy window is asked for the next fax before sending stops.
constexpr int kNextFaxAsks = 30;
constexpr int kSessionSlot = 2;  // the port's user-data slot holding the session

// The target's answer, or nothing when the UI thread did not take the
// message in time (a window busy for a second): a question then takes its
// default answer instead of reading the silence as "no".
std::optional<int> SendToTarget(FaxSession& session, FaxMessage message, int wParam) {
  if (!session.target) return 0;
  int answer = 0;
  // The function captures the session by reference: a call still queued at
  // the deadline is abandoned and never runs later. The target is read when
  // it runs: a component going away has cleared it by then.
  const bool ran = UiThread::Current().Send(
      [&] {
        if (FaxSessionTarget* target = session.target) answer = target->FaxMessage(message, wParam, session);
      },
      kSendTimeoutMs);
  if (!ran) return std::nullopt;
  return answer;
}

void NoteUnansweredQuestion(FaxSession& session, std::string_view what) {
  AddLogNote(session.common.port, std::string("The window did not answer in time: ") + std::string(what));
}

bool IsSessionHandle(const FaxSession& s, int handle) {
  const FaxCommonData& c = s.common;
  return handle == c.availHandle || handle == c.replyTimer || handle == c.statusTimer || handle == c.outputSpace ||
         handle == c.outputEmpty;
}

// The common head of every machine run, then the machine's own step.
void MachineProcedure(void* arg, std::uint32_t msg, std::uint32_t handleArg, std::uint32_t) {
  auto& session = *static_cast<FaxSession*>(arg);
  auto message = static_cast<std::uint16_t>(msg & 0xFFFF);
  if (session.abortRequested.exchange(false)) message = FaxMsgAbort;
  // A device that went (unplugged) is noticed at the next event of any
  // kind, at the latest the status timer's: the call ends at once.
  if (!session.common.deviceGone && DeviceGone(session.common.port)) {
    session.common.deviceGone = true;
    message = FaxMsgDeviceGone;
  }
  int handle = static_cast<int>(handleArg & 0xFFFF);
  if (message == kMsgTriggerAvail) handle = session.common.availHandle;
  if (message == FaxMsgAbort) {
    SetFaxStatus(session, fsUserAbort);
    session.common.lastError = ecCancelRequested;
  } else if (message != FaxMsgDeviceGone && !IsSessionHandle(session, handle)) {
    return;
  }
  const bool statusTimerFired = message == kMsgTriggerTimer && handle == session.common.statusTimer;
  if (statusTimerFired || session.common.statusChanged) {
    session.common.statusChanged = false;
    ReportFaxStatus(session, false, false);
    SetTimerTrigger(session.common.port, session.common.statusTimer, SecsToTicks(session.common.statusInterval), true);
    if (statusTimerFired) return;
  }
  session.machine(session, message, handle);
}

void ReleaseTriggers(FaxSession& s) {
  FaxCommonData& c = s.common;
  for (int* trigger : {&c.replyTimer, &c.statusTimer, &c.outputSpace, &c.outputEmpty, &c.modemStatus}) {
    if (*trigger > 0) RemoveTrigger(c.port, *trigger);
    *trigger = 0;
  }
}

std::mutex& TargetsLock() {
  static std::mutex lock;
  return lock;
}

std::set<const FaxSessionTarget*>& LiveTargets() {
  static std::set<const FaxSessionTarget*> targets;
  return targets;
}

}  // namespace

FaxSessionTarget::FaxSessionTarget() {
  std::lock_guard lock(TargetsLock());
  LiveTargets().insert(this);
}

FaxSessionTarget::~FaxSessionTarget() {
  std::lock_guard lock(TargetsLock());
  LiveTargets().erase(this);
}

bool FaxSessionTarget::Alive(const FaxSessionTarget* target) {
  std::lock_guard lock(TargetsLock());
  return LiveTargets().count(target) != 0;
}

const Class2Commands& Class2CommandsFor(TFaxClass faxClass) {
  static const Class2Commands kClass2{"CLASS=2", "DIS", "LID", "DCC", "CON", "DIS", "DCS", "TSI", "CSI", "PTS", "FHNG"};
  static const Class2Commands kClass2_0{"CLASS=2.0", "IS", "LI", "CC", "CO", "IS", "CS", "TI", "CI", "PS", "FHS"};
  return faxClass == TFaxClass::fcClass2_0 ? kClass2_0 : kClass2;
}

std::string DamageNote(const std::vector<PageDamage>& damage) {
  std::string note;
  for (const PageDamage& d : damage) {
    const std::string rows = std::to_string(d.rows);
    note += note.empty() ? rows + (d.rows == 1 ? " damaged row" : " damaged rows") : ", " + rows;
    note += " on page " + std::to_string(d.page);
  }
  return note;
}

int StartFaxSession(FaxSession& session, const FaxPrepare& prepare, FaxMachine machine) {
  FaxCommonData& c = session.common;
  session.machine = std::move(machine);
  session.running = true;
  SetAvailLevel(c.port, 1);
  c.availHandle = 0;
  c.replyTimer = AddTimerTrigger(c.port);
  c.statusTimer = AddTimerTrigger(c.port);
  c.outputSpace = AddStatusTrigger(c.port, stOutBuffFree);
  c.outputEmpty = AddStatusTrigger(c.port, stOutBuffUsed);
  c.modemStatus = AddStatusTrigger(c.port, stModemStatus);
  for (int trigger : {c.replyTimer, c.statusTimer, c.outputSpace, c.outputEmpty, c.modemStatus}) {
    if (trigger < 0) {
      ReportFaxError(session, ecNoMoreTriggers);
      FinishFaxSession(session);
      return ecNoMoreTriggers;
    }
  }
  SetUserData(c.port, kSessionSlot, &session);
  SetFaxSession(c.port, 1);

  c.lastError = 0;
  c.deviceGone = false;
  prepare(session);
  if (c.lastError != 0) {
    const int error = c.lastError;
    ReportFaxStatus(session, false, true);
    FinishFaxSession(session);
    return error;
  }
  // The first run counts as a data event and runs the first state at once.
  session.machine(session, 0, c.availHandle);
  if (!session.running) return 0;  // that run finished the session
  // Marked first: a run on the dispatch thread that finishes the session
  // must find the handler to take off.
  session.registered = true;
  if (const int rc = RegisterTriggerHandler(c.port, nullptr, &MachineProcedure, &session, false); rc < 0) {
    session.registered = false;
    ReportFaxError(session, rc);
    FinishFaxSession(session);
    return rc;
  }
  SetTimerTrigger(c.port, c.statusTimer, SecsToTicks(c.statusInterval), true);
  return 0;
}

void FinishFaxSession(FaxSession& session) {
  FaxCommonData& c = session.common;
  if (session.registered.exchange(false)) DeregisterTriggerHandler(c.port, nullptr, &MachineProcedure, &session);
  if (!session.running.exchange(false)) return;
  SetFaxSession(c.port, 0);
  ReleaseTriggers(session);
  c.prepared = false;
  session.modem.initSent = false;
  if (FaxSessionTarget* target = session.target) {
    const int code = c.lastError;
    FaxSession* s = &session;
    UiThread::Current().Post([target, code, s] {
      if (FaxSessionTarget::Alive(target)) target->FaxMessage(FaxMsgFinish, code, *s);
    });
  }
}

void StopFaxSession(FaxSession& session) {
  session.target = nullptr;
  // Waits for a run in progress, even one that is finishing the session itself.
  DeregisterTriggerHandler(session.common.port, nullptr, &MachineProcedure, &session);
  FinishFaxSession(session);
}

void AbortFaxSession(FaxSession& session) {
  if (!session.registered) return;
  session.abortRequested = true;
  SetTimerTrigger(session.common.port, session.common.replyTimer, 1, true);
}

void ReportFaxError(FaxSession& session, int code) {
  if (code < 0 && DeviceGone(session.common.port)) {
    session.common.deviceGone = true;
    code = ecDeviceGone;
  }
  session.common.lastError = code;
  SendToTarget(session, FaxMsgError, code);
}

void ReportFaxStatus(FaxSession& session, bool first, bool last) {
  SendToTarget(session, FaxMsgStatus, first ? 1 : last ? 2 : 0);
}

void ReportFaxLog(FaxSession& session, TFaxLogCode code) {
  SendToTarget(session, FaxMsgLog, static_cast<int>(code));
}

bool AskNextFax(FaxSession& session) {
  // Between faxes the line is idle, so a busy window is simply asked again.
  for (int ask = 0; ask < kNextFaxAsks; ++ask) {
    if (const auto answer = SendToTarget(session, FaxMsgNextFax, 0)) return *answer != 0;
    NoteUnansweredQuestion(session, "next fax, asking again");
  }
  NoteUnansweredQuestion(session, "next fax, no more faxes are sent");
  return false;
}

void AskFaxName(FaxSession& session) {
  if (SendToTarget(session, FaxMsgName, 0)) return;
  FaxCommonData& c = session.common;
  c.faxFile = NextReceiveName(c.destinationDir, ReceiveNameMode::kByCount, c.faxFileExt);
  NoteUnansweredQuestion(session, "file name, the fax is named by count");
}

bool AskAccept(FaxSession& session) {
  session.common.remoteId = session.common.remoteId.substr(0, 20);
  if (const auto answer = SendToTarget(session, FaxMsgAccept, 0)) return *answer != 0;
  NoteUnansweredQuestion(session, "accept the call, the call is accepted");
  return true;
}

void SetFaxStatus(FaxSession& session, int status) {
  session.common.status = status;
  session.common.statusChanged = true;
}

void ArmReplyTimer(FaxSession& session, std::int32_t ticks) {
  SetTimerTrigger(session.common.port, session.common.replyTimer, ticks, true);
  session.modem.replyTicks = NewTimer(ticks);
}

void SetBaudRates(FaxSession& session, std::uint32_t initBaud, std::uint32_t normalBaud, bool switchNow) {
  FaxModemData& m = session.modem;
  m.initBaud = initBaud;
  m.normalBaud = normalBaud;
  if (normalBaud == 0) {
    LineSettings line;
    if (GetLine(session.common.port, line) == 0) m.normalBaud = line.baud;
  }
  if (switchNow) UseNormalBaud(session, false);
}

void UseNormalBaud(FaxSession& session, bool normal) {
  FaxModemData& m = session.modem;
  if (m.initBaud == 0 || m.atInitBaud == !normal) return;
  const std::uint32_t wanted = normal ? m.normalBaud : m.initBaud;
  LineSettings line;
  if (GetLine(session.common.port, line) == 0 && line.baud == wanted) {
    m.atInitBaud = !normal;
    return;
  }
  DelayTicks(9, false);
  SetBaud(session.common.port, wanted);
  m.atInitBaud = !normal;
}

namespace {

constexpr int kGuardMs = 1000;

// The escape to command mode and ATH, each with a guard time before and after.
void EscapeAndHangUp(int port) {
  DelayMs(kGuardMs);
  PutString(port, "+++");
  DelayMs(kGuardMs);
  PutString(port, "ATH\r");
  DelayMs(kGuardMs);
  FlushOutput(port);
}

}  // namespace

void HangUpModem(FaxSession& session) {
  const int port = session.common.port;
  if (DeviceGone(port)) return;  // nothing left to hang up
  if (CarrierDetect(port) > 0) {
    EscapeAndHangUp(port);
    if (CarrierDetect(port) > 0) ResetModemByDTR(session);
    return;
  }
  PutString(port, "ATH\r");
  DelayMs(kGuardMs);
  FlushOutput(port);
}

void HangUpModemForReceiver(FaxSession& session) {
  if (DeviceGone(session.common.port)) return;
  ResetModemByDTR(session);
  EscapeAndHangUp(session.common.port);
}

}  // namespace tv
