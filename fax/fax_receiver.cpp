#include "fax/fax_receiver.h"

#include <cstdio>

#include "comm/dispatcher.h"
#include "fax/modem_prep.h"
#include "fax/post_page.h"
#include "fax/state_table.h"
#include "image/t4_2d_coding.h"
#include "platform/error_codes.h"
#include "platform/text.h"

namespace tv {

namespace {

constexpr int kMaxDisRepeats = 3;
constexpr int kMaxCommandRepeats = 3;
constexpr std::int32_t kAbortTicks = 18;  // the modem's answer to a reception given up
constexpr int kMaxBytesPerEvent = 10000;
constexpr std::uint8_t kDC2 = 0x12;
constexpr int kFlowStopAt = 6144;
constexpr int kFlowResumeAt = 2048;
constexpr int kFlowReceive = 2;  // the receive-side option of SwFlowOn

// Class 2 modems deliver page data with the first bit in bit 7; the file
// holds it with the first bit in bit 0.
std::uint8_t ReverseBits(std::uint8_t b) {
  b = static_cast<std::uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
  b = static_cast<std::uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
  return static_cast<std::uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
}

bool Contains(const std::string& line, std::string_view part) { return line.find(part) != std::string::npos; }

}  // namespace

FaxMachine TFaxReceiverMachine::Machine() {
  return [this](FaxSession&, std::uint16_t msg, int handle) { Run(msg, handle); };
}

bool TFaxReceiverMachine::Finished() const { return At() == kFinished; }

// --- The table ---------------------------------------------------------------------

// What each state is: the phase whose step function runs it, what it reads
// of the modem's input, and what follows a step that leaves the machine in
// it (wait for an event, run again while data is waiting, or run at once).
const TFaxReceiverMachine::StateInfo& TFaxReceiverMachine::Info(int state) {
  using P = Phase;
  using I = Input;
  using T = Then;
  struct Row {
    State state;
    StateInfo info;
  };
  static constexpr Row kTable[] = {
      {kSetUp, {P::kSetUp, I::kNone, T::kNow}},
      {kSetUpCommand, {P::kSetUp, I::kLines, T::kNowIfData}},
      {kWaitForRing, {P::kSetUp, I::kLines, T::kNowIfData}},
      {kAnswer, {P::kSetUp, I::kNone, T::kNow}},
      {kSendCsi, {P::kClass1Negotiation, I::kLines, T::kNowIfData}},
      {kSendDis, {P::kClass1Negotiation, I::kLines, T::kNowIfData}},
      {kGetDcs, {P::kClass1Negotiation, I::kFrames, T::kNowIfData}},
      {kCancelFrameReception, {P::kClass1Negotiation, I::kNone, T::kNow}},
      {kResendIdentity, {P::kClass1Negotiation, I::kLines, T::kNowIfData}},
      {kTrainingConnect, {P::kClass1Negotiation, I::kLines, T::kNowIfData}},
      {kTraining, {P::kClass1Negotiation, I::kNone, T::kNowIfData}},
      {kSendFtt, {P::kClass1Negotiation, I::kLines, T::kNowIfData}},
      {kTrainingEnd, {P::kClass1Negotiation, I::kLines, T::kNowIfData}},
      {kSendCfr, {P::kClass1Negotiation, I::kLines, T::kNowIfData}},
      {kPageConnect, {P::kClass1Negotiation, I::kLines, T::kNowIfData}},
      {kClass2Connect, {P::kClass2Negotiation, I::kLines, T::kNowIfData}},
      {kClass2Session, {P::kClass2Negotiation, I::kLines, T::kNowIfData}},
      {kClass2PageConnect, {P::kClass2Negotiation, I::kLines, T::kNowIfData}},
      {kStartPage, {P::kPageTransfer, I::kNone, T::kNow}},
      {kPageData, {P::kPageTransfer, I::kNone, T::kNowIfData}},
      {kPageCarrierEnd, {P::kClass1PostPage, I::kLines, T::kNowIfData}},
      {kPostPageFrame, {P::kClass1PostPage, I::kFrames, T::kNowIfData}},
      {kFinishClass1Page, {P::kClass1PostPage, I::kNone, T::kNow}},
      {kSendMcf, {P::kClass1PostPage, I::kLines, T::kNowIfData}},
      {kGetDcn, {P::kClass1PostPage, I::kFrames, T::kNowIfData}},
      {kClass1HangUp, {P::kClass1PostPage, I::kLines, T::kNowIfData}},
      {kClass2PageEnd, {P::kClass2PostPage, I::kLines, T::kNowIfData}},
      {kClass2HangUp, {P::kClass2PostPage, I::kLines, T::kNowIfData}},
      {kAbortReception, {P::kEnd, I::kLines, T::kNowIfData}},
      {kSendDcn, {P::kEnd, I::kLines, T::kNowIfData}},
      {kSuccess, {P::kEnd, I::kNone, T::kNow}},
      {kFailure, {P::kEnd, I::kNone, T::kNow}},
      {kFinished, {P::kEnd, I::kNone, T::kWait}},
  };
  static_assert(std::size(kTable) == kFinished && RowsInStateOrder(kTable));
  return kTable[(state >= kSetUp && state <= kFinished ? state : kFinished) - 1].info;
}

void TFaxReceiverMachine::Run(std::uint16_t msg, int handle) {
  Event event = Event::kOther;
  if (msg == FaxMsgAbort || msg == FaxMsgDeviceGone) {
    if (Finished()) return;
    userAbort_ = msg == FaxMsgAbort;
    if (msg == FaxMsgDeviceGone) ReportFaxError(session_, ecDeviceGone);
    Goto(kFailure);
  } else if (msg == 0 || msg == kMsgTriggerAvail) {
    event = Event::kData;
  } else if (msg == kMsgTriggerTimer && handle == session_.common.replyTimer) {
    event = Event::kTimer;
  }
  for (;;) {
    Step(event);
    const Then then = Info(At()).then;
    if (then == Then::kNow) {
      event = Event::kOther;
    } else if (then == Then::kNowIfData && CharReady(session_.common.port) > 0) {
      event = Event::kData;
    } else {
      return;
    }
  }
}

void TFaxReceiverMachine::Step(Event event) {
  const Input input = Info(At()).input;
  Got got = Got::kNothing;
  std::string text;
  if (input != Input::kNone) {
    if (event == Event::kTimer) {
      ReplyTimeout();
      return;
    }
    if (event != Event::kData) return;
    got = responses_.Next(session_.common.port, text);
    // A frame outside a frame reception answers nothing; every line passes
    // the checks all states make first.
    if (input == Input::kLines && (got != Got::kLine || !PreviewLine(text))) return;
  }
  switch (Info(At()).phase) {
    case Phase::kSetUp:
      StepSetUp(event, got, text);
      return;
    case Phase::kClass1Negotiation:
      StepClass1Negotiation(event, got, text);
      return;
    case Phase::kClass2Negotiation:
      StepClass2Negotiation(event, got, text);
      return;
    case Phase::kPageTransfer:
      StepPageTransfer(event, got, text);
      return;
    case Phase::kClass1PostPage:
      StepClass1PostPage(event, got, text);
      return;
    case Phase::kClass2PostPage:
      StepClass2PostPage(event, got, text);
      return;
    case Phase::kEnd:
      StepEnd(event, got, text);
      return;
  }
}

bool TFaxReceiverMachine::PreviewLine(const std::string& line) {
  const bool lineGone = IsError(line) && afterNoCarrier_;
  afterNoCarrier_ = IsNoCarrier(line);
  if (failing_ && IsError(line)) {
    Goto(kFailure);  // the way out is refused: hang up without it
    return false;
  }
  if (lineGone) {  // NO CARRIER, then ERROR: the modem is on hook, the far end has gone
    EndCall(ecFaxSessionError);
    return false;
  }
  if (IsError(line)) {
    // After a Class 2 page an ERROR means the page failed: it is dropped
    // and the next one asked for (see StepClass2).
    if (At() == kClass2PageEnd) return true;
    EndCall(ecFaxBadModemResult);
    return false;
  }
  if (IsHangupReport(session_, line)) {
    session_.modem.hangupCode = HangupCode(line);
    if (At() != kClass2HangUp) {
      EndCall(ecFaxSessionError);
      return false;
    }
  }
  return true;
}

void TFaxReceiverMachine::ReplyTimeout() {
  switch (At()) {
    case kSendCsi:
      if (disRepeats_ > 0) {
        Goto(kCancelFrameReception);
      } else {
        GiveUpCall(ecTimeout);
      }
      return;
    case kGetDcs:
      Goto(kCancelFrameReception);
      return;
    case kResendIdentity:
      ResendIdentity();  // the modem said nothing to the abort
      return;
    case kGetDcn:
      // The caller had the fax confirmed and went without its DCN.
      Goto(kSuccess);
      return;
    case kWaitForRing:
      return;  // rings may take any time
    case kAbortReception:
      SendDcn();
      return;
    case kSendDcn:
      Goto(kFailure);
      return;
    default:
      GiveUpCall(ecTimeout);
      return;
  }
}

// --- Set-up and waiting for a call --------------------------------------------------

void TFaxReceiverMachine::StepSetUp(Event, Got, const std::string& text) {
  switch (At()) {
    case kSetUp:
      SetUpModem();
      return;
    case kSetUpCommand:
      // A call may ring while the modem is set up for it: the ring counting
      // starts once the set-up is done.
      if (Contains(text, "RING")) return;
      switch (setUp_.Answer(session_, text)) {
        case ModemSetUp::Result::kWaiting:
          return;
        case ModemSetUp::Result::kRefused:
          EndCall(ecFaxInitError);
          return;
        case ModemSetUp::Result::kDone:
          SetTimerTrigger(session_.common.port, session_.common.replyTimer, 0, false);
          SetFaxStatus(session_, fsWaitingForCall);
          Goto(kWaitForRing);
          return;
      }
      return;
    case kWaitForRing:
      WaitForRing(text);
      return;
    case kAnswer:
      SendModemCommand(session_, "ATA");
      ArmReplyTimer(session_, session_.modem.dialTimeout);
      SetFaxStatus(session_, fsAnswering);
      Goto(IsClass1() ? kSendCsi : kClass2Connect);
      return;
    default:
      return;
  }
}

void TFaxReceiverMachine::SetUpModem() {
  FaxCommonData& c = session_.common;
  FaxModemData& m = session_.modem;
  responses_.Clear();
  session_.receiver.ringCount = 0;
  c.remoteId.clear();
  c.faxFile.clear();
  c.currentPage = 0;
  c.pageBytesDone = 0;
  c.lastError = 0;
  m.hangupCode = 0;
  dle_.Reset();
  disRepeats_ = 0;
  commandRepeats_ = 0;
  pageConfirmed_ = true;
  callAccepted_ = false;
  answered_ = false;
  failing_ = false;
  ecmPageOpen_ = false;
  confirmedBlock_.reset();
  m.params.errorCorrection = false;
  m.params.coding = T4Coding::kMh;
  if (session_.receiver.constantStatus && !session_.receiver.firstStatusSent) {
    ReportFaxStatus(session_, true, false);
    session_.receiver.firstStatusSent = true;
  }
  if (SoftwareFlow()) SwFlowOff(c.port);
  // What the modem said while the last call was hung up answers nothing now.
  FlushInput(c.port);
  SetDtrRts(c.port, true, true);
  setUp_.Start(session_, {"AT+F" + m.commands.capabilities + "=1," + Class2BitRateCode(m.params.desiredBps) +
                          ",0,2,0," + m.ecmChar + ",0,0"});
  Goto(kSetUpCommand);
}

void TFaxReceiverMachine::WaitForRing(const std::string& line) {
  FaxReceiverData& r = session_.receiver;
  if (Contains(line, "RING")) {
    // Rings of one call follow each other within a ring cycle; after a
    // longer pause the rings counted so far were a call that gave up.
    if (TimerExpired(ringWindow_)) r.ringCount = 0;
    ringWindow_ = NewTimer(r.ringGapTicks);
    if (++r.ringCount >= session_.modem.ringsToWait) {
      if (!r.firstStatusSent) {
        ReportFaxStatus(session_, true, false);
        r.firstStatusSent = true;
      }
      ArmReplyTimer(session_, session_.modem.replyTimeout);
      Goto(kAnswer);
    }
  } else if (Contains(line, "NO C")) {
    SetFaxStatus(session_, fsNoConnect);
  } else if (IsConnect(line)) {
    EndCall(ecFaxDataCall);
  } else if (Contains(line, "VOICE")) {
    EndCall(ecFaxVoiceCall);
  }
  // Anything else between rings is ignored: there is no time limit here.
}

void TFaxReceiverMachine::AskForFrame() {
  frames_.Start();
  ListenForFrame(session_);
}

void TFaxReceiverMachine::StepFrames(ResponseCollector::Got got, const std::string& text) {
  switch (frames_.Take(got, text)) {
    case FrameReception::Result::kWaiting:
      return;
    case FrameReception::Result::kFrame:
      CallerFrame(frames_.Frame());
      return;
    case FrameReception::Result::kNoCarrier:
      afterNoCarrier_ = true;  // an ERROR next says the line has gone
      // After the fax was confirmed, a caller that is gone has nothing more to say.
      if (At() == kGetDcn) {
        Goto(kSuccess);
        return;
      }
      [[fallthrough]];
    case FrameReception::Result::kBadFrame:
    case FrameReception::Result::kEnded:
      // The caller repeats its command until it gets an answer; listen
      // again while the time allowed for it runs on.
      frames_.Start();
      ListenForFrameAgain(session_);
      return;
    case FrameReception::Result::kOther:
      PreviewLine(text);
      return;
  }
}

void TFaxReceiverMachine::CallerFrame(const ReceivedFrame& frame) {
  SessionParameters& p = session_.modem.params;
  switch (frame.type) {
    case kFcfTSI:
      session_.common.remoteId = FrameStationId(frame);
      SetFaxStatus(session_, fsGotTransmittingId);
      break;
    case kFcfDCS:
      ParseCapabilities(p, false, FrameCapabilities(frame), p.fine, p.wide);
      SetFaxStatus(session_, fsGettingParams);
      break;
    default:
      break;
  }
  if (!frame.final) {
    // More frames in this block: ask for the next one.
    AskForFrame();
    return;
  }
  if (p.errorCorrection && callAccepted_) {
    switch (frame.type) {
      case kFcfPPS:
      case kFcfEOR:
      case kFcfCTC:
      case kFcfRR:
        EcmCommand(frame);
        return;
      default:
        break;
    }
  }
  CallerCommand(frame.type);
}

// The last frame of the caller's block is its command. A command that
// comes again means our answer to it was lost: it gets the same answer.
void TFaxReceiverMachine::CallerCommand(std::uint8_t type) {
  FaxModemData& m = session_.modem;
  const bool command = type == kFcfDCS || AfterPageOf(type);
  // T.30 sends a command three times at most: one that keeps coming (and
  // neither training nor page follows) is answered no more.
  if (command && ++commandRepeats_ > kMaxCommandRepeats) {
    EndCall(ecFaxCommandRepeated);
    return;
  }
  switch (type) {
    case kFcfDCS:
      if (SoftwareFlow()) SwFlowOn(session_.common.port, kFlowStopAt, kFlowResumeAt, kFlowReceive);
      SendModulationCommand(m.params.Modulation());
      m.replyTicks = NewTimer(m.replyTimeout);
      Goto(kTrainingConnect);
      return;
    case kFcfMPS:
    case kFcfEOP:
    case kFcfEOM:
      if (!callAccepted_) break;
      afterPage_ = *AfterPageOf(type);
      SetFaxStatus(session_, fsGettingPageEnd);
      if (!pageConfirmed_) {
        Goto(kFinishClass1Page);
        return;
      }
      Answer(kFcfMCF);
      return;
    case kFcfDCN:
      if (At() == kGetDcn) {
        SendModemCommand(session_, "ATH");
        Goto(kClass1HangUp);
      } else {
        // The caller ended the call: while the call was set up, or after a page.
        EndCallSilently(At() == kGetDcs ? ecFaxRemoteEndedSetUp : ecFaxRemoteEndedAfterPage);
      }
      return;
    default:
      break;
  }
  // Nothing this receiver answers: listen on.
  frames_.Start();
  ListenForFrameAgain(session_);
}

// --- Class 1 negotiation ---------------------------------------------------------------

void TFaxReceiverMachine::StepClass1Negotiation(Event event, Got got, const std::string& text) {
  FaxModemData& m = session_.modem;
  const bool ok = got == Got::kLine && IsOk(text);
  const bool connect = got == Got::kLine && IsConnect(text);
  switch (At()) {
    case kSendCsi:
      if (!connect) return;
      answered_ = true;
      SendIdFrame(session_, kFcfCSI);
      Goto(kSendDis);
      return;
    case kSendDis:
      if (connect) {
        SendCapabilityFrame(session_, true);
        return;
      }
      if (!ok) return;
      AskForFrame();
      ArmReplyTimer(session_, t30timer::kT4);
      Goto(kGetDcs);
      return;
    case kGetDcs:
      StepFrames(got, text);
      return;
    case kCancelFrameReception:
      CancelFrameReception();
      return;
    case kResendIdentity:
      if (ok) ResendIdentity();
      return;
    case kTrainingConnect:
      if (connect) {
        training_ = TrainingCheck{};
        dle_.Reset();
        m.replyTicks = NewTimer(m.replyTimeout);
        Goto(kTraining);
        return;
      }
      // Frames where the training should be: the caller has more to say first.
      if (!IsCarrierError(text) && !IsNoCarrier(text)) return;
      AskForFrame();
      ArmReplyTimer(session_, t30timer::kT2);
      Goto(kGetDcs);
      return;
    case kTraining:
      if (event == Event::kTimer || TimerExpired(m.replyTicks)) {
        EndCall(ecTimeout);
        return;
      }
      StepTraining();
      return;
    case kSendFtt:
      if (connect) {
        SendSimpleFrame(session_, kFcfFTT);
        return;
      }
      if (!ok) return;
      // No rate is left below this one: the caller gets the DCN as well.
      if (m.params.rateIndex <= kMinRateIndex) {
        EndCall(ecFaxTrainError);
        return;
      }
      AskForFrame();
      ArmReplyTimer(session_, t30timer::kT2);
      Goto(kGetDcs);
      return;
    case kTrainingEnd:
      if (IsNoCarrier(text)) TrainingPassed();
      return;
    case kSendCfr:
      if (connect) {
        if (SoftwareFlow()) SwFlowOn(session_.common.port, kFlowStopAt, kFlowResumeAt, kFlowReceive);
        SendSimpleFrame(session_, kFcfCFR);
        return;
      }
      if (!ok) return;
      ReceivePageData();
      return;
    case kPageConnect:
      if (connect) {
        SetFaxStatus(session_, fsGettingParams);
        Goto(kStartPage);
        return;
      }
      // The caller is sending frames, not a page: it did not hear our last
      // answer (CFR or MCF) and repeats its command.
      if (!IsCarrierError(text) && !IsNoCarrier(text)) return;
      AskForFrame();
      ArmReplyTimer(session_, t30timer::kT2);
      Goto(kPostPageFrame);
      return;
    default:
      // Lines no state is waiting for pass: the time the state allowed runs on.
      return;
  }
}

void TFaxReceiverMachine::CancelFrameReception() {
  if (++disRepeats_ > kMaxDisRepeats) {
    GiveUpCall(ecTimeout);
    return;
  }
  // Any character ends a pending AT+FRH; the modem then answers OK. What
  // the abandoned reception left in the input answers nothing now.
  FlushInput(session_.common.port);
  responses_.Clear();
  SendModemCommand(session_, "AT\r");
  Goto(kResendIdentity);
}

// Once the modem has answered the abort (or has said nothing in time): our
// identity and capabilities again.
void TFaxReceiverMachine::ResendIdentity() {
  SendFrameCommand(session_);
  Goto(kSendCsi);
}

// --- Page transfer ------------------------------------------------------------------------

void TFaxReceiverMachine::StepPageTransfer(Event event, Got, const std::string&) {
  switch (At()) {
    case kStartPage:
      if (const int rc = StartPage(); rc != 0) {
        EndCall(rc);
        return;
      }
      SetFaxStatus(session_, fsGettingPage);
      Goto(kPageData);
      return;
    case kPageData:
      // Page data never pauses for long: silence means the line is gone.
      if (event == Event::kTimer) {
        EndCall(ecTimeout);
        return;
      }
      StepPageData();
      return;
    default:
      return;
  }
}

// --- Class 1 post-page -------------------------------------------------------------------

void TFaxReceiverMachine::StepClass1PostPage(Event, Got got, const std::string& text) {
  FaxModemData& m = session_.modem;
  const bool ok = got == Got::kLine && IsOk(text);
  const bool connect = got == Got::kLine && IsConnect(text);
  switch (At()) {
    case kPageCarrierEnd:
      if (!IsNoCarrier(text)) return;
      AskForFrame();
      ArmReplyTimer(session_, t30timer::kT2);
      Goto(kPostPageFrame);
      return;
    case kPostPageFrame:
    case kGetDcn:
      StepFrames(got, text);
      return;
    case kFinishClass1Page:
      if (const int rc = FinishPage(); rc != 0) {
        EndCall(rc);
        return;
      }
      pageConfirmed_ = true;
      SetFaxStatus(session_, fsGettingDocumentEnd);
      Answer(kFcfMCF);
      return;
    case kSendMcf:
      if (connect) {
        SendFrameWithInfo(session_, answerFcf_, answerInfo_);
        return;
      }
      if (!ok) return;
      if (answerFcf_ == kFcfPPR || answerFcf_ == kFcfCTR) {
        // The frames asked for, after CTC at the new rate with its full training.
        SendModulationCommand(answerFcf_ == kFcfCTR ? m.params.Modulation() : m.params.PageModulation());
        Goto(kPageConnect);
        return;
      }
      if (afterPage_ == AfterPage::kPage || ecmPageOpen_) {
        // The next page (or block) starts after the modem's CONNECT, as the first did.
        ReceivePageData();
        return;
      }
      if (afterPage_ == AfterPage::kDocument) {
        // A new document follows in the same fax: phase B again, our
        // identity and capabilities first, then the caller's new DCS.
        disRepeats_ = 0;
        AnswerWithFrameCommand(session_);
        Goto(kSendCsi);
        return;
      }
      AskForFrame();
      ArmReplyTimer(session_, t30timer::kT2);
      EndOfFax();
      Goto(kGetDcn);
      return;
    case kClass1HangUp:
      if (!ok) return;
      SetFaxStatus(session_, fsGotHangupCode);
      Goto(kSuccess);
      return;
    default:
      return;
  }
}

// --- The end of a call -------------------------------------------------------------------

void TFaxReceiverMachine::StepEnd(Event, Got, const std::string& text) {
  switch (At()) {
    case kAbortReception:
      SendDcn();  // the modem has answered the character that ended its reception
      return;
    case kSendDcn:
      if (IsConnect(text)) {
        SendSimpleFrame(session_, kFcfDCN);
      } else if (IsOk(text)) {
        Goto(kFailure);
      }
      return;
    case kSuccess:
      StepSuccess();
      return;
    case kFailure:
      StepFailure();
      return;
    default:
      return;
  }
}

void TFaxReceiverMachine::TrainingPassed() {
  if (SoftwareFlow()) SwFlowOff(session_.common.port);
  // The caller is known by now (its TSI came with the DCS): a refusal goes
  // out instead of the confirmation.
  if (!callAccepted_) {
    if (!AskAccept(session_)) {
      RefuseCall();
      return;
    }
    AcceptCall();
    if (At() == kFailure) return;
  }
  AnswerWithFrameCommand(session_);
  Goto(kSendCfr);
}

bool TFaxReceiverMachine::Report(const std::string& line, const std::string& suffix) const {
  return Contains(line, "+F" + suffix);
}

// --- Class 2 and 2.0 negotiation -----------------------------------------------------------

void TFaxReceiverMachine::StepClass2Negotiation(Event, Got, const std::string& line) {
  FaxModemData& m = session_.modem;
  const Class2Commands& cmd = m.commands;
  if ((At() == kClass2Session || At() == kClass2PageConnect) && Report(line, cmd.negotiated)) {
    Class2NegotiatedReport(line);
    return;
  }
  switch (At()) {
    case kClass2Connect:
      if (!Report(line, cmd.connect)) break;
      ArmReplyTimer(session_, m.replyTimeout);
      SetFaxStatus(session_, fsCallIsFax);
      Goto(kClass2Session);
      return;
    case kClass2Session:
      if (Report(line, cmd.transmitId)) {
        ArmReplyTimer(session_, m.replyTimeout);
        session_.common.remoteId = CleanRemoteID(StripResponsePrefix(line)).substr(0, 20);
        if (AskAccept(session_)) {
          SetFaxStatus(session_, fsGotTransmittingId);
          AcceptCall();
        } else {
          PutString(session_.common.port, "AT+FKS\r");
          RefuseCall();
        }
        return;
      }
      if (!IsOk(line)) break;
      SendModemCommand(session_, "AT+FDR");
      Goto(kClass2PageConnect);
      return;
    case kClass2PageConnect:
      if (!IsConnect(line)) break;
      if (SoftwareFlow()) SwFlowOn(session_.common.port, kFlowStopAt, kFlowResumeAt, kFlowReceive);
      Goto(kStartPage);
      return;
    default:
      break;
  }
}

void TFaxReceiverMachine::Class2NegotiatedReport(const std::string& line) {
  FaxModemData& m = session_.modem;
  ArmReplyTimer(session_, m.replyTimeout);
  ParseClass2Parameters(m.params, StripResponsePrefix(line));
  SetFaxStatus(session_, fsGettingParams);
}

// --- Class 2 and 2.0 post-page ---------------------------------------------------------------

void TFaxReceiverMachine::StepClass2PostPage(Event, Got, const std::string& line) {
  FaxModemData& m = session_.modem;
  const Class2Commands& cmd = m.commands;
  switch (At()) {
    case kClass2PageEnd:
      if (Report(line, cmd.pageStatus)) {
        SetFaxStatus(session_, fsGettingPageEnd);
        // The modem's answer to the page: a page it refused comes again.
        const std::string code = StripResponsePrefix(line);
        const auto verdict = PageVerdictOf(PageResponseFrame(code.empty() ? ' ' : code[0]));
        const int rc = verdict && verdict->good ? FinishPage() : CutPage();
        if (rc != 0) EndCall(rc);
        return;
      }
      if (Report(line, "ET")) {
        SetFaxStatus(session_, fsGettingDocumentEnd);
        const std::string code = StripResponsePrefix(line);
        afterPage_ = AfterPageOfFet(code.empty() ? ' ' : code[0]);
        return;
      }
      if (IsError(line)) {
        if (pageOpen_) {
          if (const int rc = CutPage(); rc != 0) {
            EndCall(rc);
            return;
          }
        }
        SendModemCommand(session_, "AT+FDR");
        Goto(kClass2PageConnect);
        return;
      }
      if (!IsOk(line)) break;
      SendModemCommand(session_, "AT+FDR");
      if (afterPage_ == AfterPage::kEnd) {
        SetFaxStatus(session_, fsGettingHangup);
        Goto(kClass2HangUp);
      } else {
        Goto(kClass2PageConnect);
      }
      return;
    case kClass2HangUp:
      if (IsHangupReport(session_, line)) {
        SetFaxStatus(session_, fsGotHangupCode);
        return;
      }
      if (Report(line, "ET")) {
        SetFaxStatus(session_, fsGettingHangup);
        return;
      }
      if (!IsOk(line)) break;
      // Every page arrived, but a modem that reports an abnormal end saw
      // the call fail after them: the pages are kept, the call failed.
      if (m.hangupCode != 0) {
        EndCall(ecFaxAbnormalHangup);
        return;
      }
      EndOfFax();
      Goto(kSuccess);
      return;
    default:
      break;
  }
}

void TFaxReceiverMachine::StepTraining() {
  const int port = session_.common.port;
  while (CharReady(port) > 0) {
    const int c = GetChar(port);
    if (c < 0) break;
    if (!dle_.Take(static_cast<std::uint8_t>(c), [&](std::uint8_t b) { training_.Add(b); })) continue;
    commandRepeats_ = 0;
    if (training_.Passed()) {
      Goto(kTrainingEnd);
    } else {
      SendFrameCommand(session_);
      Goto(kSendFtt);
    }
    return;
  }
}

void TFaxReceiverMachine::StorePageByte(std::uint8_t byte, bool reverse) {
  ++session_.common.pageBytesDone;
  if (ecmPageOpen_) {
    const std::uint8_t bits[] = {byte};
    hdlc_.Put(bits);
    return;
  }
  pageBuffer_.push_back(reverse ? ReverseBits(byte) : byte);
}

// A frame of a burst: FCD frames join the page's block; damaged ones the
// PPR asks for again.
void TFaxReceiverMachine::TakeEcmFrame(std::span<const std::uint8_t> octets, bool good) {
  constexpr std::size_t kHeader = 3;  // address, control, control field
  if (!good || octets.size() <= kHeader || octets[2] != kFcfFCD) return;
  const auto info = std::string_view(reinterpret_cast<const char*>(octets.data()), octets.size()).substr(kHeader);
  ecmPage_.TakeFrame(info);
}

void TFaxReceiverMachine::StepPageData() {
  FaxCommonData& c = session_.common;
  const bool reverse = c.faxClass == TFaxClass::fcClass2;
  for (int taken = 0; taken < kMaxBytesPerEvent && CharReady(c.port) > 0; ++taken) {
    const int got = GetChar(c.port);
    if (got < 0) break;
    if (dle_.Take(static_cast<std::uint8_t>(got), [&](std::uint8_t b) { StorePageByte(b, reverse); })) {
      if (const int rc = FlushPageBuffer(); rc != 0) {
        EndCall(rc);
        return;
      }
      if (!ecmPageOpen_) {
        pageDataEnded_ = true;
        pageConfirmed_ = false;
      }
      SetFaxStatus(session_, fsGettingPage);
      if (SoftwareFlow()) SwFlowOff(c.port);
      Goto(IsClass1() ? kPageCarrierEnd : kClass2PageEnd);
      return;
    }
    if (pageBuffer_.size() >= static_cast<std::size_t>(kFaxDataBlock)) {
      if (const int rc = FlushPageBuffer(); rc != 0) {
        EndCall(rc);
        return;
      }
    }
  }
  ArmReplyTimer(session_, session_.modem.replyTimeout);
}

void TFaxReceiverMachine::StepSuccess() {
  FaxReceiverData& r = session_.receiver;
  UseNormalBaud(session_, false);
  if (r.oneFax) {
    // Finished before the finish message can reach the component.
    Goto(kFinished);
    FinishFaxSession(session_);
    return;
  }
  if (!r.constantStatus) {
    ReportFaxStatus(session_, false, true);
    r.firstStatusSent = false;
  }
  Goto(kSetUp);
}

void TFaxReceiverMachine::StepFailure() {
  FaxReceiverData& r = session_.receiver;
  if (fileOpen_) {
    CloseFile();
    ReportFaxLog(session_, TFaxLogCode::lfaxReceiveFail);
  }
  HangUpModemForReceiver(session_);
  if ((r.firstStatusSent && !r.constantStatus) || userAbort_) {
    ReportFaxStatus(session_, false, true);
    r.firstStatusSent = false;
  }
  // A device that has gone takes no more calls.
  if ((session_.common.options & foExitOnError) || userAbort_ || session_.common.deviceGone) {
    Goto(kFinished);
    FinishFaxSession(session_);
    return;
  }
  Goto(kSetUp);
}

void TFaxReceiverMachine::AcceptCall() {
  if (const int rc = OpenNewFile(); rc != 0) {
    EndCall(rc);
    return;
  }
  callAccepted_ = true;
  ReportFaxLog(session_, TFaxLogCode::lfaxReceiveStart);
  session_.common.currentPage = 0;
}

// The refusal goes to a Class 1 caller as DCN, where CFR would have gone.
void TFaxReceiverMachine::RefuseCall() {
  ReportFaxLog(session_, TFaxLogCode::lfaxReceiveSkip);
  EndCall(ecFileRejected);
}

// The last page is confirmed: the fax is complete, whatever the rest of
// the call brings.
void TFaxReceiverMachine::EndOfFax() {
  if (!fileOpen_) return;
  CloseFile();
  ReportFaxLog(session_, TFaxLogCode::lfaxReceiveOk);
  session_.common.faxFile.clear();
  SetFaxStatus(session_, fsGettingHangup);
}

int TFaxReceiverMachine::OpenNewFile() {
  FaxCommonData& c = session_.common;
  c.currentPage = 1;
  AskFaxName(session_);
  if (const int rc = writer_.Create(c.faxFile, c.remoteId); rc != 0) {
    c.lastError = rc;
    return rc;
  }
  fileOpen_ = true;
  pageOpen_ = false;
  c.damagedPages.clear();
  return 0;
}

int TFaxReceiverMachine::StartPage() {
  FaxCommonData& c = session_.common;
  dle_.Reset();
  c.pageBytesDone = 0;
  ArmReplyTimer(session_, session_.modem.replyTimeout);
  if (ecmPageOpen_) {
    // A burst of frames: the page is stored once its blocks are whole.
    hdlc_.Reset();
    return 0;
  }
  if (const int rc = CountNewPage(); rc != 0) return rc;
  if (const int rc = BeginFilePage(); rc != 0) return rc;
  // A Class 2 modem sends the page only after DC2.
  if (!IsClass1()) PutChar(c.port, kDC2);
  return 0;
}

// The page now coming is the fax's next one. Every document of a call (EOM
// between them) goes into the one file.
int TFaxReceiverMachine::CountNewPage() {
  FaxCommonData& c = session_.common;
  if (!fileOpen_) {
    if (const int rc = OpenNewFile(); rc != 0) return rc;
    ReportFaxLog(session_, TFaxLogCode::lfaxReceiveStart);
    c.currentPage = 0;
  }
  ++c.currentPage;
  return 0;
}

int TFaxReceiverMachine::BeginFilePage() {
  const SessionParameters& p = session_.modem.params;
  if (const int rc = writer_.BeginPage(p.fine, p.wide); rc != 0) {
    session_.common.lastError = rc;
    return rc;
  }
  pageOpen_ = true;
  pageDataEnded_ = false;
  commandRepeats_ = 0;
  pageBuffer_.clear();
  rowCheck_.emplace(p.wide ? kWideWidth : kStandardWidth);
  return 0;
}

int TFaxReceiverMachine::FlushPageBuffer() {
  // A page to re-code is kept whole until its end.
  if (pageBuffer_.empty() || (pageOpen_ && RecodesPage())) return 0;
  if (rowCheck_) rowCheck_->Add(pageBuffer_.data(), pageBuffer_.size());
  const int rc = writer_.Write(pageBuffer_.data(), pageBuffer_.size());
  pageBuffer_.clear();
  return rc == 0 ? 0 : ecDeviceWriteError;
}

// Pages are stored one-dimensional: 2-D pages, and the frames of error
// correction (whose last one is filled up with zeros), are coded anew.
bool TFaxReceiverMachine::RecodesPage() const {
  const SessionParameters& p = session_.modem.params;
  return IsClass1() && (p.coding != T4Coding::kMh || p.errorCorrection);
}

int TFaxReceiverMachine::FinishPage() {
  if (!pageOpen_) return 0;
  pageOpen_ = false;
  // Rows that did not decode are left out of a re-coded page; a page stored
  // as it came keeps them. Either way the fax says how many there were.
  T4PageDecodeResult recoded;
  if (RecodesPage()) {
    const SessionParameters& p = session_.modem.params;
    pageBuffer_ = T4RecodeToMh(pageBuffer_, p.coding, p.wide ? kWideWidth : kStandardWidth, &recoded);
  }
  if (const int rc = FlushPageBuffer(); rc != 0) return rc;
  const int damaged = recoded.damagedLines + (rowCheck_ ? rowCheck_->EndPage() : 0);
  if (damaged > 0) session_.common.damagedPages.push_back({session_.common.currentPage, damaged});
  return writer_.EndPage();
}

int TFaxReceiverMachine::CutPage() {
  if (!pageOpen_) return 0;
  pageOpen_ = false;
  pageBuffer_.clear();
  if (session_.common.currentPage > 0) --session_.common.currentPage;
  return writer_.DiscardPage();
}

// Keeps every complete page: a page whose data ended is finished, one the
// call broke off in the middle is cut off. A file left without pages holds
// nothing worth keeping and is removed.
void TFaxReceiverMachine::CloseFile() {
  if (!fileOpen_) return;
  if (pageOpen_) {
    if (pageDataEnded_) {
      FinishPage();
    } else {
      CutPage();
    }
  }
  const bool empty = writer_.PageCount() == 0;
  writer_.Close();
  fileOpen_ = false;
  if (empty) std::remove(session_.common.faxFile.c_str());
}

void TFaxReceiverMachine::EndCall(int code) {
  ReportFaxError(session_, code);
  if (CanSendDcn()) {
    SendDcn();
  } else {
    Goto(kFailure);
  }
}

// A failure found by a time running out: the modem may still listen for a
// frame or a page, and is stopped (any character does it) before the DCN.
void TFaxReceiverMachine::GiveUpCall(int code) {
  ReportFaxError(session_, code);
  if (!CanSendDcn()) {
    Goto(kFailure);
    return;
  }
  PutChar(session_.common.port, '\r');
  ArmReplyTimer(session_, kAbortTicks);
  failing_ = true;
  Goto(kAbortReception);
}

// The caller has ended the call itself: nothing more goes to it.
void TFaxReceiverMachine::EndCallSilently(int code) {
  ReportFaxError(session_, code);
  Goto(kFailure);
}

// A Class 1 caller on the line is told the call ends, when the modem is
// not in the middle of a training or a page.
bool TFaxReceiverMachine::CanSendDcn() const {
  const State s = At();
  return IsClass1() && answered_ && !failing_ && s != kTraining && s != kStartPage && s != kPageData;
}

void TFaxReceiverMachine::SendDcn() {
  failing_ = true;
  SendFrameCommand(session_);
  ArmReplyTimer(session_, t30timer::kT4);
  Goto(kSendDcn);
}

// --- Error correction --------------------------------------------------------------------

// After CFR or a confirmed page or block: the page data, a page's lines
// or, with error correction, a burst of a block's frames.
void TFaxReceiverMachine::ReceivePageData() {
  const SessionParameters& p = session_.modem.params;
  if (p.errorCorrection && !ecmPageOpen_) {
    if (const int rc = CountNewPage(); rc != 0) {
      EndCall(rc);
      return;
    }
    ecmPage_.Start(p.ecmFrameBytes);
    ecmPageOpen_ = true;
  }
  SendModulationCommand(p.PageModulation());
  Goto(kPageConnect);
}

void TFaxReceiverMachine::EcmCommand(const ReceivedFrame& frame) {
  // A sender asking again and again for a block that never comes whole.
  constexpr int kMaxPprs = 4 * kPprsBeforeCtc;
  SessionParameters& p = session_.modem.params;
  const auto endsPage = [](std::uint8_t command) { return FrameType(command) != kFcfNULL; };
  switch (frame.type) {
    case kFcfPPS: {
      const std::optional<PpsField> pps = ReadPpsField(frame.info);
      if (!pps) {
        EndCall(ecFaxEcmProtocol);
        return;
      }
      // Our MCF was lost: the block is ours already.
      if (confirmedBlock_ == std::pair<int, int>(pps->page, pps->block)) {
        Answer(kFcfMCF);
        return;
      }
      std::array<std::uint8_t, kPprMapOctets> map{};
      if (!ecmPage_.BlockWhole(*pps, map)) {
        if (ecmPage_.Pprs() > kMaxPprs) {
          EndCall(ecFaxEcmProtocol);
          return;
        }
        // The sender resends what is missing: the page is still coming.
        SetFaxStatus(session_, fsGettingPage);
        Answer(kFcfPPR, std::vector<std::uint8_t>(map.begin(), map.end()));
        return;
      }
      confirmedBlock_ = std::pair<int, int>(pps->page, pps->block);
      break;
    }
    case kFcfEOR:
      // The sender gives the block up as it came: missing frames stay missing.
      ecmPage_.TakeBlockAsIs();
      confirmedBlock_.reset();
      break;
    case kFcfCTC:
      // On at the rate CTC names, as the second octet of a DCS does.
      p.SetRate(DcsRateIndex(FrameCapabilities(frame)));
      Answer(kFcfCTR);
      return;
    default:  // RR: our answer again
      Answer(answerFcf_, answerInfo_);
      return;
  }
  const std::uint8_t command = static_cast<std::uint8_t>(frame.info.empty() ? 0 : frame.info[0]);
  if (endsPage(command)) {
    if (const int rc = StoreEcmPage(); rc != 0) {
      EndCall(rc);
      return;
    }
    afterPage_ = AfterPageOf(FrameType(command)).value_or(AfterPage::kEnd);
    SetFaxStatus(session_, fsGettingDocumentEnd);
  }
  Answer(frame.type == kFcfEOR ? kFcfERR : kFcfMCF);
}

// The page's blocks are whole: it is stored one-dimensional, as every page.
int TFaxReceiverMachine::StoreEcmPage() {
  ecmPageOpen_ = false;
  if (const int rc = BeginFilePage(); rc != 0) return rc;
  pageBuffer_ = ecmPage_.Data();
  pageDataEnded_ = true;
  pageConfirmed_ = true;
  return FinishPage();
}

void TFaxReceiverMachine::Answer(std::uint8_t fcf, std::vector<std::uint8_t> info) {
  answerFcf_ = fcf;
  answerInfo_ = std::move(info);
  SendFrameCommand(session_);
  Goto(kSendMcf);
}

void TFaxReceiverMachine::SendModulationCommand(const char* modulation) {
  SendClass1Command(session_, std::string("AT+FRM=") + modulation);
}

}  // namespace tv
