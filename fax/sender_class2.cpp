// The sender's Class 2 and 2.0 phases: the modem runs T.30 itself and
// reports what the far end said (+FCON/+FCO, +FCSI/+FCI, +FDIS/+FIS,
// +FDCS/+FCS); after each page it reports the far end's answer (+FPTS/+FPS)
// and, at the end, how the call ended (+FHNG/+FHS).
#include "comm/dispatcher.h"
#include "fax/fax_sender.h"
#include "fax/modem_prep.h"
#include "fax/sender_constants.h"
#include "platform/error_codes.h"

namespace tv {

using namespace sender;

bool TFaxSenderMachine::Class2Report(const std::string& line, const std::string& suffix) const {
  return line.find("+F" + suffix) != std::string::npos;
}

// AT+FDIS= or AT+FIS=: resolution, bit rate, width, length, coding, error
// correction, file transfer and scan time.
std::string TFaxSenderMachine::Class2SessionParameters() {
  const FaxModemData& m = s_.modem;
  sessionFormat_ = SentFormat();
  std::string command = "AT+F" + m.commands.sessionParams + "=";
  command += SendsFine() ? '1' : '0';
  command += ',';
  command += Class2BitRateCode(m.params.desiredBps);
  command += wide_ ? ",1" : ",0";
  command += ",2,0,";
  command += m.ecmChar;
  command += ",0,0";
  return command;
}

// --- Negotiation ------------------------------------------------------------------------

void TFaxSenderMachine::StepClass2Negotiation(Event event, Got got, const std::string& text) {
  FaxCommonData& c = s_.common;
  FaxModemData& m = s_.modem;
  const Class2Commands& cmd = m.commands;
  SessionParameters& p = m.params;
  if (event == Event::kReplyTimer) {
    if (At() == kClass2Connect) {
      // Nobody answered within the dial wait: the dial is given up.
      HangUpModem(s_);
      Redial(ecFaxNoAnswer, fsNoAnswerWaiting);
    } else if (At() == kWaitForXon) {
      StartPageTransfer(m.pageDataTimeout);  // a modem that never sends XON gets its data all the same
    } else {
      EndCall(ecTimeout);
    }
    return;
  }
  if (At() == kWaitForXon) {
    while (CharReady(c.port) > 0) {
      if (GetChar(c.port) == kXON) {
        StartPageTransfer(m.pageDataTimeout);
        return;
      }
    }
    return;
  }
  if (got != Got::kLine) return;
  switch (At()) {
    case kClass2Connect:
      if (DialResult(text)) return;
      if (Class2Report(text, cmd.connect)) {
        ArmReplyTimer(s_, m.replyTimeout);
        Goto(kClass2Session);
      }
      return;
    case kClass2Session:
      if (Class2Report(text, cmd.remoteCaps + ":")) {
        ParseClass2Parameters(p, StripResponsePrefix(text));
        if (wide_ && !p.remoteCanWide) {
          EndCall(ecFaxBadMachine);
        } else if (fine_ && !p.remoteCanFine && !reduce_) {
          // The modem is told the session is at standard before the first page.
          reduce_ = true;
          resendSessionParameters_ = true;
          SetFaxStatus(s_, fsReducingResolution);
        } else {
          SetFaxStatus(s_, fsGettingParams);
        }
      } else if (Class2Report(text, cmd.calledId + ":")) {
        c.remoteId = CleanRemoteID(StripResponsePrefix(text)).substr(0, 20);
        SetFaxStatus(s_, fsGotRemoteId);
      } else if (Class2Report(text, cmd.negotiated + ":")) {
        ParseClass2Parameters(p, StripResponsePrefix(text));
        SetFaxStatus(s_, fsGettingParams);
      } else if (IsOk(text) && resendSessionParameters_) {
        resendSessionParameters_ = false;
        SendModemCommand(s_, Class2SessionParameters());
        Goto(kClass2NewParameters);
      } else if (IsOk(text)) {
        SendModemCommand(s_, "AT+FDT");
        ArmReplyTimer(s_, kFdtTicks);
      } else if (IsConnect(text)) {
        if (c.faxClass == TFaxClass::fcClass2_0) {
          StartPageTransfer(m.pageDataTimeout);
        } else {
          ArmReplyTimer(s_, kPageStartTicks);
          Goto(kWaitForXon);
        }
      }
      return;
    case kClass2NewParameters:
      if (!IsOk(text)) return;
      SendModemCommand(s_, "AT+FDT");
      ArmReplyTimer(s_, kFdtTicks);
      Goto(kClass2Session);
      return;
    default:
      return;
  }
}

// --- Page end ------------------------------------------------------------------------------

void TFaxSenderMachine::StepClass2PostPage(Event event, Got got, const std::string& text) {
  FaxModemData& m = s_.modem;
  if (event == Event::kReplyTimer) {
    EndCall(ecTimeout);
    return;
  }
  const bool ok = got == Got::kLine && IsOk(text);
  switch (At()) {
    case kClass2PageEnd:
      responses_.Clear();
      ArmReplyTimer(s_, m.pageDataTimeout);
      SetFaxStatus(s_, fsSendingEOP);
      Goto(s_.common.faxClass == TFaxClass::fcClass2 ? kClass2PageSent : kClass2_0PageResult);
      return;
    case kClass2PageSent:
      if (got != Got::kLine) return;
      if (!ok) {
        EndCall(ecFaxSessionError);
        return;
      }
      SendModemCommand(s_, std::string("AT+FET=") + Class2FetCode(afterPage_));
      ArmReplyTimer(s_, m.pageDataTimeout);
      Goto(kClass2PageResult);
      return;
    // A Class 2.0 modem reports the far end's answer to the page (+FPS)
    // before its OK, as a Class 2 modem does after +FET.
    case kClass2PageResult:
    case kClass2_0PageResult:
      if (got != Got::kLine || IsHangupReport(s_, text)) return;  // the code is kept
      if (Class2Report(text, m.commands.pageStatus)) {
        if (!PageStatusReport(text)) EndCall(ecFaxPageError);
      } else if (ok) {
        if (At() == kClass2_0PageResult) SetFaxStatus(s_, fsPageAccepted);
        Goto(kNextPageOrDone);
      } else {
        EndCall(ecFaxPageError);
      }
      return;
    case kClass2PageRefused:
      if (got != Got::kLine) return;
      if (!ok) {
        EndCall(ecFaxSessionError);
        return;
      }
      if (++s_.sender.pageRetries > kMaxPageRetries) {
        PutString(s_.common.port, "AT+FKS\r");
        EndCall(ecFaxSessionError);
        return;
      }
      SendModemCommand(s_, "AT+FDT");
      RestartPage();
      if (At() == kClass2PageRefused) Goto(kClass2Session);
      return;
    case kNextPageOrDone:
      if (MorePages()) {
        AdvancePage();
        if (At() != kNextPageOrDone) return;
        if (SentFormat() != sessionFormat_) {
          // A new document (after EOM): the modem is told its format first.
          SendModemCommand(s_, Class2SessionParameters());
          Goto(kClass2NewParameters);
          return;
        }
        SendModemCommand(s_, "AT+FDT");
        Goto(kClass2Session);
      } else if (m.hangupCode != 0) {
        // The last page went, but the modem saw the call end abnormally.
        EndCall(ecFaxAbnormalHangup);
      } else {
        Goto(kFaxDone);
      }
      return;
    default:
      return;
  }
}

// A +FPTS / +FPS report: page accepted (stay) or refused (send it again);
// false for an unknown status. The modem trains again by itself.
bool TFaxSenderMachine::PageStatusReport(const std::string& line) {
  const std::string status = StripResponsePrefix(line);
  const auto verdict = PageVerdictOf(PageResponseFrame(status.empty() ? ' ' : status[0]));
  if (!verdict) return false;
  if (verdict->good) {
    SetFaxStatus(s_, fsPageAccepted);
  } else {
    SetFaxStatus(s_, fsPageError);
    Goto(kClass2PageRefused);
  }
  return true;
}

}  // namespace tv
