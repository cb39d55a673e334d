// The sender's Class 1 phases: negotiation (the answerer's DIS, our TSI
// and DCS, training until CFR) and the post-page exchange, by T.30's
// frames. Every command without an answer within T4 goes again, three
// times in all.
#include "comm/dispatcher.h"
#include "fax/class1_frames.h"
#include "fax/fax_sender.h"
#include "fax/modem_prep.h"
#include "fax/sender_constants.h"
#include "platform/error_codes.h"

namespace tv {

using namespace sender;

// --- Frame reception --------------------------------------------------------------------

void TFaxSenderMachine::AskForFrame() {
  frames_.Start();
  arrivalExtended_ = false;
  ListenForFrame(s_);
}

// The next frame of a block, or a damaged one again: within the time the
// state allowed for the whole answer.
void TFaxSenderMachine::AskForFrameAgain() {
  frames_.Start();
  ListenForFrameAgain(s_);
}

// No answer within T4: the reception is given up (any character ends it),
// and once the modem has said so the command goes again.
void TFaxSenderMachine::NoAnswerToCommand(State resend) {
  afterCancel_ = resend;
  // Any character ends a pending AT+FRH=3; a CR is one no modem takes for
  // the start of a command.
  PutChar(s_.common.port, '\r');
  ArmReplyTimer(s_, kCancelTicks);
  Goto(kCancelReception);
}

void TFaxSenderMachine::RetryCommand(State resend) {
  const bool training = resend == kSendTsi;
  // A far end that failed our training may say nothing at all: after two
  // trainings without an answer a lower rate is tried, as on a noisy line.
  // Only the lowest rate gets all its tries.
  if (training && commandTries_ >= kTrainingTriesPerRate && StepDownRate(s_.modem.params)) {
    commandTries_ = 0;
    SendFrameCommand(s_);
    Goto(kSendDcs);
    return;
  }
  if (commandTries_ >= kMaxCommandTries) {
    EndCall(training ? ecFaxTrainError : ecTimeout);
    return;
  }
  if (resend == kSendPostPage) {
    Goto(kSendPostPage);
    return;
  }
  SendFrameCommand(s_);
  Goto(resend);
}

// What came for a command (DCS with training, or the post-page message):
// true with a confirmed frame in frames_.Frame(); anything else is dealt
// with here (the frame asked for again, or the command sent again).
bool TFaxSenderMachine::CommandAnswer(FrameReception::Result result, const std::string& text, State resend) {
  switch (result) {
    case FrameReception::Result::kFrame:
      return true;
    case FrameReception::Result::kBadFrame:
    case FrameReception::Result::kEnded:
      AskForFrameAgain();
      return false;
    case FrameReception::Result::kNoCarrier:
      RetryCommand(resend);
      return false;
    case FrameReception::Result::kOther:
      if (IsError(text)) RetryCommand(resend);  // the modem refused the reception itself
      return false;
    case FrameReception::Result::kWaiting:
      return false;
  }
  return false;
}

// T4 ran out: a frame on its way gets one more T4 to end, else the command goes again.
void TFaxSenderMachine::CommandAnswerTimedOut(State resend) {
  if (frames_.Arriving() && !arrivalExtended_) {
    arrivalExtended_ = true;
    ArmReplyTimer(s_, t30timer::kT4);
    return;
  }
  NoAnswerToCommand(resend);
}

// A DIS read into the session. A far end that takes no fine resolution gets
// fine pages at standard; one that takes no wide lines cannot get a wide page.
bool TFaxSenderMachine::TakeDis(const ReceivedFrame& frame) {
  SessionParameters& p = s_.modem.params;
  ParseCapabilities(p, true, FrameCapabilities(frame), fine_, wide_);
  if (wide_ && !p.remoteCanWide) {
    EndCall(ecFaxBadMachine);
    return false;
  }
  if (fine_ && !p.remoteCanFine && !reduce_) {
    reduce_ = true;
    SetFaxStatus(s_, fsReducingResolution);
  } else {
    SetFaxStatus(s_, fsGettingParams);
  }
  p.fine = SendsFine();
  p.SetRate(p.rateIndex);  // the minimum line length follows the resolution sent
  return true;
}

void TFaxSenderMachine::StepDownAndTrainAgain() {
  if (!StepDownRate(s_.modem.params)) {
    EndCall(ecFaxTrainError);
    return;
  }
  commandTries_ = 0;
  SendFrameCommand(s_);
  Goto(kSendDcs);
}

// --- Negotiation ------------------------------------------------------------------------

void TFaxSenderMachine::StepClass1Negotiation(Event event, Got got, const std::string& text) {
  FaxModemData& m = s_.modem;
  const bool connect = got == Got::kLine && IsConnect(text);
  const bool ok = got == Got::kLine && IsOk(text);
  if (event == Event::kReplyTimer) {
    switch (At()) {
      case kGetDis:
        if (!connected_) {
          // Nobody answered within the dial wait: the dial is given up.
          HangUpModem(s_);
          Redial(ecFaxNoAnswer, fsNoAnswerWaiting);
          return;
        }
        EndCall(ecTimeout);  // T1: the far end never said what it is
        return;
      case kGetCfr:
        CommandAnswerTimedOut(kSendTsi);
        return;
      case kCancelReception:
        RetryCommand(afterCancel_);
        return;
      default:
        EndCall(ecTimeout);
        return;
    }
  }
  switch (At()) {
    case kGetDis:
      if (got == Got::kLine && !connected_ && DialResult(text)) return;
      AnswererFrames(frames_.Take(got, text), text);
      return;
    case kSendTsi:
      if (!connect) return;
      SendIdFrame(s_, kFcfTSI);
      Goto(kSendDcs);
      return;
    case kSendDcs:
      if (!connect) return;
      ++commandTries_;
      sessionFormat_ = {m.params.fine, m.params.wide};
      SendCapabilityFrame(s_, false);
      Goto(kDcsSent);
      return;
    case kDcsSent:
      if (!ok) return;
      SendClass1Command(s_, std::string("AT+FTM=") + m.params.Modulation());
      Goto(kTrainingConnect);
      return;
    case kTrainingConnect:
      if (!connect) return;
      SoftwareFlow(true);
      SendTraining(s_);
      Goto(kTrainingSent);
      return;
    case kTrainingSent:
      if (!ok) return;
      SoftwareFlow(false);
      AskForFrame();
      ArmReplyTimer(s_, t30timer::kT4);
      Goto(kGetCfr);
      return;
    case kGetCfr:
      if (CommandAnswer(frames_.Take(got, text), text, kSendTsi)) TrainingAnswer(frames_.Frame());
      return;
    case kCancelReception:
      // The modem's answer to the character that ended the reception.
      if (got == Got::kLine) RetryCommand(afterCancel_);
      return;
    case kPageConnect:
      if (connect) StartPageTransfer(m.pageDataTimeout);
      return;
    default:
      return;
  }
}

// The answerer's first block: CSI, NSF and DIS, the DIS last.
void TFaxSenderMachine::AnswererFrames(FrameReception::Result result, const std::string& text) {
  FaxCommonData& c = s_.common;
  switch (result) {
    case FrameReception::Result::kWaiting:
      if (frames_.Arriving() && !connected_) {
        // A fax answered: it has T1 to say what it is.
        connected_ = true;
        ArmReplyTimer(s_, t30timer::kT1);
      }
      return;
    case FrameReception::Result::kFrame: {
      const ReceivedFrame& frame = frames_.Frame();
      connected_ = true;
      if (frame.type == kFcfCSI) {
        c.remoteId = FrameStationId(frame);
        SetFaxStatus(s_, fsGotRemoteId);
      } else if (frame.type == kFcfDCN) {
        EndCallSilently(ecFaxRemoteEndedSetUp);
        return;
      } else if (frame.type == kFcfDIS && !TakeDis(frame)) {
        return;
      }
      if (!frame.final || frame.type != kFcfDIS) {
        AskForFrameAgain();
        return;
      }
      commandTries_ = 0;
      AnswerWithFrameCommand(s_);
      Goto(kSendTsi);
      return;
    }
    case FrameReception::Result::kNoCarrier:
      if (!connected_) {
        Redial(ecFaxNoCarrier, fsNoAnswerWaiting);
        return;
      }
      AskForFrameAgain();
      return;
    case FrameReception::Result::kBadFrame:
    case FrameReception::Result::kEnded:
      AskForFrameAgain();
      return;
    case FrameReception::Result::kOther:
      if (IsError(text) && !connected_) EndCall(ecFaxBadModemResult);  // the dial itself refused
      return;
  }
}

// The answer to DCS and training: CFR, or FTT for a lower rate.
void TFaxSenderMachine::TrainingAnswer(const ReceivedFrame& frame) {
  switch (frame.type) {
    case kFcfCFR:
      StartClass1Page();
      return;
    case kFcfFTT:
      StepDownAndTrainAgain();
      return;
    case kFcfDIS: {
      // The far end did not hear our DCS and says again what it can do.
      // The rate stays where the trainings have brought it.
      SessionParameters& p = s_.modem.params;
      const int rate = p.rateIndex;
      if (!TakeDis(frame)) return;
      if (p.rateIndex > rate) p.SetRate(rate);
      if (!frame.final) {
        AskForFrameAgain();
        return;
      }
      RetryCommand(kSendTsi);
      return;
    }
    case kFcfCRP:
      RetryCommand(kSendTsi);
      return;
    case kFcfDCN:
      EndCallSilently(ecFaxRemoteEndedSetUp);
      return;
    default:
      AskForFrameAgain();  // the CSI or NSF ahead of a repeated DIS
      return;
  }
}

// --- Post-page ---------------------------------------------------------------------------

void TFaxSenderMachine::StepClass1PostPage(Event event, Got got, const std::string& text) {
  const bool connect = got == Got::kLine && IsConnect(text);
  const bool ok = got == Got::kLine && IsOk(text);
  if (event == Event::kReplyTimer) {
    if (At() == kGetPostPageAnswer) {
      CommandAnswerTimedOut(kSendPostPage);
    } else if (At() == kEcmReceiverBusy) {
      SendPostPageCommand();  // RR after the wait RNR asked for
    } else {
      EndCall(ecTimeout);
    }
    return;
  }
  switch (At()) {
    case kPageSent:
      if (!ok) return;
      commandTries_ = 0;
      postPageCommand_ = s_.modem.params.errorCorrection ? kFcfPPS : PostPageFrame(afterPage_);
      SetFaxStatus(s_, fsSendingEOP);
      Goto(kSendPostPage);
      return;
    case kSendPostPage:
      SendPostPageCommand();
      return;
    case kPostPageConnect:
      if (got == Got::kLine && IsError(text)) {
        RetryCommand(kSendPostPage);
      } else if (connect) {
        SendPostPageFrame();
        Goto(kPostPageSent);
      }
      return;
    case kPostPageSent:
      if (!ok) return;
      AskForFrame();
      ArmReplyTimer(s_, t30timer::kT4);
      Goto(kGetPostPageAnswer);
      return;
    case kGetPostPageAnswer:
      if (CommandAnswer(frames_.Take(got, text), text, kSendPostPage)) {
        if (s_.modem.params.errorCorrection) {
          EcmAnswer(frames_.Frame());
        } else {
          PostPageAnswer(frames_.Frame());
        }
      }
      return;
    default:
      return;
  }
}

// The command after a page or a burst, sent three times at most.
void TFaxSenderMachine::SendPostPageCommand() {
  if (++commandTries_ > kMaxCommandTries) {
    EndCall(ecTimeout);
    return;
  }
  AnswerWithFrameCommand(s_);
  Goto(kPostPageConnect);
}

void TFaxSenderMachine::SendPostPageFrame() {
  const SessionParameters& p = s_.modem.params;
  // What ends the block: the page's post-page command after its last block.
  const std::uint8_t blockEnd = ecmPage_.LastBlock() ? OwnFcf(s_, PostPageFrame(afterPage_)) : kFcfNULL;
  switch (postPageCommand_) {
    case kFcfPPS: {
      const PpsField pps = ecmPage_.Pps(blockEnd, pagesConfirmed_);
      const std::uint8_t info[] = {pps.command, pps.page, pps.block, static_cast<std::uint8_t>(pps.frames - 1)};
      SendFrameWithInfo(s_, kFcfPPS, info);
      return;
    }
    case kFcfEOR: {
      const std::uint8_t info[] = {blockEnd};
      SendFrameWithInfo(s_, kFcfEOR, info);
      return;
    }
    case kFcfCTC: {
      // The rate to go on at, as the second octet of a DCS names it.
      const auto dcs = CapabilityOctets(false, p);
      const std::uint8_t info[] = {0, dcs[1]};
      SendFrameWithInfo(s_, kFcfCTC, info);
      return;
    }
    default:
      SendSimpleFrame(s_, postPageCommand_);  // MPS, EOM, EOP, or RR
      return;
  }
}

// The far end's answer to MPS, EOM or EOP.
void TFaxSenderMachine::PostPageAnswer(const ReceivedFrame& frame) {
  if (frame.type == kFcfCRP) {
    RetryCommand(kSendPostPage);
    return;
  }
  if (frame.type == kFcfDCN) {
    EndCallSilently(ecFaxRemoteEndedAfterPage);
    return;
  }
  const std::optional<PageVerdict> verdict = PageVerdictOf(frame.type);
  if (!verdict) {
    AskForFrameAgain();
    return;
  }
  if (!verdict->good) {
    // At a lower rate the page goes again.
    SetFaxStatus(s_, fsPageError);
    RestartPage();
    if (At() == kGetPostPageAnswer) StepDownAndTrainAgain();
    return;
  }
  PageConfirmed(verdict->retrain);
}

// The far end has the page: the next one, a new document, or the end.
void TFaxSenderMachine::PageConfirmed(bool retrain) {
  SetFaxStatus(s_, fsPageAccepted);
  if (afterPage_ == AfterPage::kEnd) {
    SendFrameCommand(s_);
    Goto(kSendDcn);
    return;
  }
  AdvancePage();
  if (At() != kGetPostPageAnswer) return;  // the next page could not be read
  if (afterPage_ == AfterPage::kDocument) {
    // The far end negotiates anew (phase B): its DIS, then our DCS for the
    // new document's format.
    AskForFrame();
    ArmReplyTimer(s_, t30timer::kT1);
    Goto(kGetDis);
  } else if (retrain) {
    commandTries_ = 0;
    SendFrameCommand(s_);
    Goto(kSendDcs);
  } else {
    StartClass1Page();
  }
}

// --- Error correction --------------------------------------------------------------------

// After CFR, or a page or block confirmed: the page data at the page's
// modulation. With error correction it goes in bursts of frames, the first
// of a page once the page is coded; after CTC the burst trains in full.
void TFaxSenderMachine::StartClass1Page(bool fullTraining) {
  const SessionParameters& p = s_.modem.params;
  if (p.errorCorrection && ecmPage_.Empty()) {
    std::vector<std::uint8_t> coded;
    if (const int rc = ComposePage(coded); rc != 0) {
      EndCall(rc);
      return;
    }
    ecmPage_ = EcmOutgoingPage(std::move(coded), p.ecmFrameBytes);
  }
  SendClass1Command(s_, std::string("AT+FTM=") + (fullTraining ? p.Modulation() : p.PageModulation()));
  Goto(kPageConnect);
}

// The far end's answer to PPS, RR, CTC or EOR.
void TFaxSenderMachine::EcmAnswer(const ReceivedFrame& frame) {
  switch (frame.type) {
    case kFcfMCF:
    case kFcfERR:  // the block is kept as it is
      notReady_.reset();
      if (!ecmPage_.LastBlock()) {
        ecmPage_.NextBlock();
        StartClass1Page();
        return;
      }
      if (frame.type == kFcfERR) SetFaxStatus(s_, fsPageError);
      ++pagesConfirmed_;
      PageConfirmed(false);
      return;
    case kFcfPPR:
      if (!ecmPage_.TakePpr(frame.info)) {
        EndCall(ecFaxEcmProtocol);  // a request for nothing: the far end has lost its way
        return;
      }
      if (ecmPage_.Pprs() % kPprsBeforeCtc == 0) {
        EcmPprLimit();
        return;
      }
      StartClass1Page();
      return;
    case kFcfCTR:
      StartClass1Page(true);
      return;
    case kFcfRNR:
      // Not ready: ask again (RR) until T5 runs out.
      if (!notReady_) notReady_ = NewTimer(t30timer::kT5);
      if (TimerExpired(*notReady_)) {
        EndCall(ecFaxReceiverNotReady);
        return;
      }
      commandTries_ = 0;
      postPageCommand_ = kFcfRR;
      ArmReplyTimer(s_, t30timer::kT4 / 2);
      Goto(kEcmReceiverBusy);
      return;
    case kFcfCRP:
      RetryCommand(kSendPostPage);
      return;
    case kFcfDCN:
      EndCallSilently(ecFaxRemoteEndedAfterPage);
      return;
    default:
      AskForFrameAgain();
      return;
  }
}

// Four requests for one block: on at a lower rate (CTC), or at the lowest
// the block is given up as it came (EOR).
void TFaxSenderMachine::EcmPprLimit() {
  commandTries_ = 0;
  postPageCommand_ = StepDownRate(s_.modem.params) ? kFcfCTC : kFcfEOR;
  SendPostPageCommand();
}

}  // namespace tv
