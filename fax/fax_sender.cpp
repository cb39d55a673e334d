#include "fax/fax_sender.h"

#include <algorithm>
#include <array>
#include <vector>

#include "comm/dispatcher.h"
#include "comm/error_codes.h"
#include "fax/class1_frames.h"
#include "fax/header_tags.h"
#include "fax/modem_prep.h"
#include "platform/text.h"

namespace tv {

namespace {

constexpr std::int32_t kFdtTicks = 546;          // 30 s for the answer to AT+FDT
constexpr std::int32_t kPageStartTicks = 18;     // Class 2: wait for XON or send after this
constexpr std::int32_t kPostPageTicks = 54;      // about 3 s for the post-page answer
constexpr std::int32_t kHangupTicks = 26;
constexpr int kFramePauseMs = 200;
// The post-page message follows the end of the page signal after 75 ms of silence.
constexpr int kPostPagePauseMs = 75;
constexpr int kMaxPageRetries = 2;
constexpr int kMaxPostPageTries = 3;
constexpr int kOutputSpaceBytes = 4096;
constexpr int kMaxTextLine = 255;
constexpr std::uint8_t kXON = 0x11;
// One line start before the header. Several in a row are EOLs with nothing
// between them, which a receiver takes for the end-of-page signal (six EOLs)
// before the page has begun.
constexpr int kPageStartLines = 1;

bool Contains(std::string_view line, std::string_view part) { return line.find(part) != std::string_view::npos; }

bool HasExtension(const std::string& name, const std::string& ext) {
  return ContainsNoCase(name, "." + ext);
}

}  // namespace

FaxMachine TFaxSenderMachine::Machine() {
  return [this](FaxSession&, std::uint16_t msg, int handle) { Run(msg, handle); };
}

TFaxSenderMachine::Event TFaxSenderMachine::Classify(std::uint16_t msg, int handle) const {
  const FaxCommonData& c = s_.common;
  if (msg == kMsgTriggerTimer && handle == c.replyTimer) return Event::kReplyTimer;
  if (msg == kMsgTriggerStatus && handle == c.outputSpace) return Event::kOutputSpace;
  if (msg == kMsgTriggerStatus && handle == c.outputEmpty) return Event::kOutputEmpty;
  return Event::kData;
}

bool TFaxSenderMachine::CollectingState() const {
  switch (s_.state) {
    case 1:
    case 2:
    case 9:
    case 10:
    case 30:
    case 38:
    case 42:
    case 44:
    case 45:
    case 46:
      return false;
    default:
      return s_.state < 21 || s_.state > 28;
  }
}

TFaxSenderMachine::Then TFaxSenderMachine::AfterStep(int state) {
  switch (state) {
    case 10:
    case 22:
    case 25:
    case 27:
    case 28:
    case 47:
      return Then::kWait;
    // A Class 2 modem's XON often comes in the same read as its CONNECT:
    // no later data event would bring it, and left unread it would spoil
    // the answer to the page.
    case 21:
    case 29:
    case 39:
    case 40:
    case 41:
    case 43:
      return Then::kNowIfData;
    default:
      if ((state >= 3 && state <= 8) || (state >= 11 && state <= 20) || (state >= 31 && state <= 37)) {
        return Then::kNowIfData;
      }
      return Then::kNow;
  }
}

void TFaxSenderMachine::Run(std::uint16_t msg, int handle) {
  if (msg == FaxMsgAbort) {
    userAbort_ = true;
    s_.state = 46;
  }
  Event event = msg == FaxMsgAbort ? Event::kData : Classify(msg, handle);
  while (s_.state != 47) {
    std::string line;
    if (CollectingState()) {
      if (event == Event::kReplyTimer) {
        ReplyTimerInCollectingState();
      } else if (event == Event::kData) {
        bool handled = false;
        if (!Collect(line, handled)) {
          if (!handled) return;  // wait for the rest of the line
          event = Event::kData;  // a frame was taken in; look for more
          continue;
        }
        Step(event, line);
      } else {
        return;  // output events mean nothing here
      }
    } else {
      Step(event, line);
    }
    const Then then = AfterStep(s_.state);
    if (then == Then::kWait) return;
    if (then == Then::kNowIfData && CharReady(s_.common.port) <= 0) return;
    event = Event::kData;
  }
}

bool TFaxSenderMachine::Collect(std::string& line, bool& handled) {
  const int port = s_.common.port;
  while (CharReady(port) > 0) {
    const int c = GetChar(port);
    if (c < 0) break;
    const auto byte = static_cast<std::uint8_t>(c);
    if (inFrame_) {
      // HDLC frame bytes: DLE DLE is one DLE, DLE ETX ends the frame.
      if (lastWasDle_) {
        lastWasDle_ = false;
        if (byte == kETX) {
          inFrame_ = false;
          const std::string frame = collectBuffer_;
          collectBuffer_.clear();
          HandleFrame(frame);
          handled = true;
          return false;
        }
        collectBuffer_ += static_cast<char>(byte);
      } else if (byte == kDLE) {
        lastWasDle_ = true;
      } else {
        collectBuffer_ += static_cast<char>(byte);
      }
      continue;
    }
    if (byte == '\n' && lastWasCr_) {
      lastWasCr_ = false;
      line = TrimWhite(collectBuffer_);
      collectBuffer_.clear();
      if (line.empty()) continue;
      if (IsError(line) && s_.state != 31 && s_.state != 33 && s_.state != 34) {
        EndCall(ecFaxBadModemResult);
        handled = true;
        return false;
      }
      if (IsHangupReport(s_, line)) {
        s_.modem.hangupCode = HangupCode(line);
        if (s_.state != 40 && s_.state != 43) {
          EndCall(ecFaxBadModemResult);
          handled = true;
          return false;
        }
      }
      return true;
    }
    lastWasCr_ = byte == '\r';
    if (byte != '\r' && byte != '\n') collectBuffer_ += static_cast<char>(byte);
    if (collectBuffer_.size() > kResponseLineMax) collectBuffer_.erase(0, collectBuffer_.size() - kResponseLineMax);
  }
  return false;
}

void TFaxSenderMachine::HandleFrame(std::string_view frame) {
  const int result = ParseFrame(s_, frame, fine_, wide_);
  if (result != 0) {
    EndCall(result);
    return;
  }
  if (!s_.modem.retrain) return;
  s_.modem.retrain = false;
  if (!StepDownRate(s_.modem.params)) {
    EndCall(ecFaxTrainError);
    return;
  }
  // After a page (RTN) the page goes again at the lower rate.
  if (s_.state == 34) RestartPage();
  SendClass1Command(s_, "AT+FTH=3");
  s_.state = 13;
}

bool TFaxSenderMachine::FrameReceptionLine(const std::string& line) {
  if (IsConnect(line)) {
    // Frame bytes follow, up to DLE ETX.
    inFrame_ = true;
    collectBuffer_.clear();
    return true;
  }
  if (IsOk(line) && !s_.modem.finalFrame) {
    // More frames in this block: ask for the next one.
    SendClass1Command(s_, "AT+FRH=3");
    return true;
  }
  return false;
}

void TFaxSenderMachine::ReplyTimerInCollectingState() {
  switch (s_.state) {
    case 34:
      PutChar(s_.common.port, ' ');  // ends the pending frame reception
      s_.state = 30;
      break;
    case 37:
      HangUpModem(s_);
      s_.state = 44;
      break;
    default:
      EndCall(ecTimeout);
      break;
  }
}

void TFaxSenderMachine::EndCall(int code) {
  ReportFaxError(s_, code);
  s_.state = 46;
}

// --- The steps ---------------------------------------------------------------

void TFaxSenderMachine::Step(Event event, const std::string& line) {
  FaxCommonData& c = s_.common;
  FaxModemData& m = s_.modem;
  bool handled = true;
  switch (s_.state) {
    case 1:
      StartFax();
      break;
    case 2:
      SetUpPageAndClass();
      break;
    case 3:
      if (IsOk(line)) s_.state = 9;
      else EndCall(ecFaxInitError);
      break;
    case 4:
    case 5:
    case 6:
    case 7:
    case 8:
      if (!StepClass2Setup(line)) EndCall(ecFaxInitError);
      break;
    case 9:
      Dial();
      break;
    case 10:
      if (event == Event::kReplyTimer) s_.state = 9;
      break;
    case 11:
      handled = StepDialAnswer(line);
      if (handled || s_.state != 11) break;
      handled = true;
      if (FrameReceptionLine(line)) break;
      if (IsOk(line)) {
        DelayMs(kFramePauseMs);
        SendClass1Command(s_, "AT+FTH=3");
        m.finalFrame = false;
        s_.state = 12;
      } else {
        handled = false;
      }
      break;
    case 12:
      handled = IsConnect(line);
      if (handled) {
        SendIdFrame(s_, kFcfTSI);
        s_.state = 13;
      }
      break;
    case 13:
      handled = IsConnect(line);
      if (handled) {
        m.params.fine = fine_;
        m.params.wide = wide_;
        SendCapabilityFrame(s_, false);
        s_.state = 14;
      }
      break;
    case 14:
      handled = IsOk(line);
      if (handled) {
        SendClass1Command(s_, std::string("AT+FTM=") + m.params.Modulation());
        s_.state = 15;
      }
      break;
    case 15:
      handled = IsConnect(line);
      if (handled) {
        SoftwareFlow(true);
        SendTraining(s_);
        s_.state = 16;
      }
      break;
    case 16:
      handled = IsOk(line);
      if (handled) {
        SoftwareFlow(false);
        DelayMs(kFramePauseMs);
        SendClass1Command(s_, "AT+FRH=3");
        m.cfrReceived = false;
        s_.state = 17;
      }
      break;
    case 17:
      if (FrameReceptionLine(line)) break;
      if (IsOk(line) && m.cfrReceived) {
        DelayMs(kFramePauseMs);
        SendClass1Command(s_, std::string("AT+FTM=") + m.params.PageModulation());
        m.finalFrame = false;
        s_.state = 18;
      } else if (IsOk(line)) {
        DelayMs(kFramePauseMs);
        SendClass1Command(s_, "AT+FTH=3");
        s_.state = 13;
      } else {
        handled = false;
      }
      break;
    case 18:
      handled = IsConnect(line);
      if (handled) {
        // A Class 1 modem takes page data as soon as it says CONNECT; there is
        // no XON to wait for, and every second waited is a second of fill.
        ArmOutputSpace();
        ArmReplyTimer(s_, m.pageDataTimeout);
        s_.state = 22;
      }
      break;
    case 19:
      handled = StepDialAnswer(line);
      if (!handled && s_.state == 19 && Contains(line, "+F" + m.commands.connect)) {
        ArmReplyTimer(s_, m.replyTimeout);
        s_.state = 20;
        handled = true;
      }
      break;
    case 20:
      handled = StepClass2Negotiation(line);
      break;
    case 21:
      if (event == Event::kReplyTimer) {
        ArmOutputSpace();
        ArmReplyTimer(s_, m.pageDataTimeout);
        s_.state = 22;
      } else {
        while (CharReady(c.port) > 0) {
          if (GetChar(c.port) == kXON) {
            s_.state = 22;
            ArmOutputSpace();
            ArmReplyTimer(s_, m.pageDataTimeout);
            break;
          }
        }
      }
      break;
    case 22:
      if (event == Event::kOutputSpace) {
        SetFaxStatus(s_, fsSendingPage);
        SoftwareFlow(true);
        s_.state = 23;
      } else if (event == Event::kReplyTimer) {
        EndCall(ecTimeout);
      }
      break;
    case 23:
      PageStart();
      break;
    case 24:
      c.pageBytesDone = 0;
      OpenCover();
      break;
    case 25:
    case 27:
      if (event == Event::kReplyTimer) {
        EndCall(ecTimeout);
      } else if (event == Event::kOutputSpace) {
        if (s_.state == 25) TextCoverPage();
        else PageData();
      } else if (event == Event::kData) {
        while (CharReady(c.port) > 0) GetChar(c.port);
      }
      break;
    case 26:
      c.pageBytesDone = 0;
      c.pageLength = static_cast<std::int32_t>(page_.PageHeader().dataLength);
      pageDone_ = false;
      ArmReplyTimer(s_, m.pageDataTimeout);
      ArmOutputSpace();
      s_.state = 27;
      break;
    case 28:
      if (event == Event::kOutputEmpty) {
        PageEnd();
      } else if (event == Event::kReplyTimer) {
        EndCall(ecTimeout);
      } else if (event == Event::kData) {
        while (CharReady(c.port) > 0) GetChar(c.port);
      }
      break;
    case 29:
      handled = IsOk(line);
      if (handled) {
        s_.sender.postPageTries = 0;
        SetFaxStatus(s_, fsSendingEOP);
        s_.state = 30;
      }
      break;
    case 30:
      PostPageTry();
      break;
    case 31:
      handled = IsConnect(line);
      if (handled) {
        SendSimpleFrame(s_, MorePages() ? kFcfMPS : kFcfEOP);
        s_.state = 32;
      }
      break;
    case 32:
      handled = IsOk(line);
      if (handled) {
        DelayMs(kFramePauseMs);
        SendClass1Command(s_, "AT+FRH=3");
        ArmReplyTimer(s_, kPostPageTicks);
        s_.sender.frameArriving = false;
        s_.state = 34;
      }
      break;
    case 34:
      if (IsConnect(line)) s_.sender.frameArriving = true;
      if (FrameReceptionLine(line)) break;
      if (IsError(line)) {
        s_.state = 30;
      } else if (IsOk(line) && (m.lastFcf & 0xFE) == kFcfMCF) {
        m.finalFrame = false;
        SetFaxStatus(s_, fsPageAccepted);
        if (MorePages()) {
          AdvancePage();
          if (s_.state == 46) break;
          SendClass1Command(s_, std::string("AT+FTM=") + m.params.PageModulation());
          s_.state = 18;
        } else {
          SendClass1Command(s_, "AT+FTH=3");
          s_.state = 35;
        }
      } else if (IsOk(line) && (m.lastFcf & 0xFE) == kFcfRTP) {
        m.finalFrame = false;
        if (MorePages()) {
          AdvancePage();
          if (s_.state == 46) break;
          SendClass1Command(s_, "AT+FTH=3");
          s_.state = 13;
        } else {
          SendClass1Command(s_, "AT+FTH=3");
          s_.state = 35;
        }
      } else {
        handled = false;
      }
      break;
    case 35:
      handled = IsConnect(line);
      if (handled) {
        SendSimpleFrame(s_, kFcfDCN);
        s_.state = 36;
      }
      break;
    case 36:
      handled = IsOk(line);
      if (handled) {
        SendModemCommand(s_, "ATH");
        ArmReplyTimer(s_, kHangupTicks);
        s_.state = 37;
      }
      break;
    case 37:
      handled = IsOk(line);
      if (handled) s_.state = 44;
      break;
    case 38:
      m.response.clear();
      ArmReplyTimer(s_, m.pageDataTimeout);
      SetFaxStatus(s_, fsSendingEOP);
      s_.state = c.faxClass == TFaxClass::fcClass2 ? 39 : 43;
      break;
    case 39:
    case 40:
    case 41:
    case 43:
      if (!StepClass2PageEnd(line)) EndCall(s_.state == 43 || s_.state == 40 ? ecFaxPageError : ecFaxSessionError);
      break;
    case 42:
      if (MorePages()) {
        AdvancePage();
        if (s_.state == 46) break;
        SendModemCommand(s_, "AT+FDT");
        s_.state = 20;
      } else {
        s_.state = 44;
      }
      break;
    case 44:
      FaxDone();
      break;
    case 45:
      ReportFaxStatus(s_, false, true);
      s_.state = 47;  // finished before the finish message can reach the component
      FinishFaxSession(s_);
      break;
    case 46:
      FailedCall();
      break;
    default:
      break;
  }
  if (!handled) {
    // Any other line: wait for the one the state needs.
    m.response.clear();
    ArmReplyTimer(s_, m.replyTimeout);
  }
}

bool TFaxSenderMachine::StepClass2Setup(const std::string& line) {
  FaxCommonData& c = s_.common;
  FaxModemData& m = s_.modem;
  if (!IsOk(line)) return false;
  switch (s_.state) {
    case 4:
      SendModemCommand(s_, "AT+F" + m.commands.localId + "=\"" + c.stationId + "\"");
      s_.state = c.faxClass == TFaxClass::fcClass2_0 ? 5 : 7;
      break;
    case 5:
      SendModemCommand(s_, "AT+FLO=2");
      s_.state = 6;
      break;
    case 6:
      SendModemCommand(s_, "AT+FNR=1,1,1,0");
      s_.state = 7;
      break;
    case 7: {
      std::string command = "AT+F" + m.commands.sessionParams + "=";
      command += fine_ ? '1' : '0';
      command += ',';
      command += Class2BitRateCode(m.params.desiredBps);
      command += wide_ ? ",1" : ",0";
      command += ",2,0,";
      command += m.ecmChar;
      command += ",0,0";
      SendModemCommand(s_, command);
      s_.state = 8;
      break;
    }
    case 8:
      s_.state = 9;
      break;
  }
  return true;
}

bool TFaxSenderMachine::StepDialAnswer(const std::string& line) {
  if (Contains(line, "BUSY") || Contains(line, "ANSWER")) {
    BusyRedial();
  } else if (Contains(line, "VOICE")) {
    EndCall(ecFaxVoiceCall);
  } else if (Contains(line, "NO DIAL")) {
    EndCall(ecFaxNoDialTone);
  } else if (IsNoCarrier(line)) {
    // Class 2 modems answer a call that never connects this way too.
    EndCall(ecFaxNoCarrier);
  } else {
    return false;
  }
  return true;
}

bool TFaxSenderMachine::StepClass2Negotiation(const std::string& line) {
  FaxCommonData& c = s_.common;
  FaxModemData& m = s_.modem;
  SessionParameters& p = m.params;
  if (Contains(line, "+F" + m.commands.remoteCaps + ":")) {
    ParseClass2Parameters(p, StripResponsePrefix(line));
    if ((fine_ && !p.remoteCanFine) || (wide_ && !p.remoteCanWide)) {
      EndCall(ecFaxBadMachine);
    } else {
      SetFaxStatus(s_, fsGettingParams);
    }
  } else if (Contains(line, "+F" + m.commands.calledId + ":")) {
    c.remoteId = CleanRemoteID(StripResponsePrefix(line)).substr(0, 20);
    SetFaxStatus(s_, fsGotRemoteId);
  } else if (Contains(line, "+F" + m.commands.negotiated + ":")) {
    ParseClass2Parameters(p, StripResponsePrefix(line));
    SetFaxStatus(s_, fsGettingParams);
  } else if (IsOk(line)) {
    SendModemCommand(s_, "AT+FDT");
    ArmReplyTimer(s_, kFdtTicks);
  } else if (IsConnect(line)) {
    if (c.faxClass == TFaxClass::fcClass2_0) {
      ArmOutputSpace();
      ArmReplyTimer(s_, m.pageDataTimeout);
      s_.state = 22;
    } else {
      ArmReplyTimer(s_, kPageStartTicks);
      s_.state = 21;
    }
  } else {
    return false;
  }
  return true;
}

bool TFaxSenderMachine::StepClass2PageEnd(const std::string& line) {
  FaxModemData& m = s_.modem;
  switch (s_.state) {
    case 39:
      if (!IsOk(line)) return false;
      SendModemCommand(s_, MorePages() ? "AT+FET=0" : "AT+FET=2");
      ArmReplyTimer(s_, m.pageDataTimeout);
      s_.state = 40;
      return true;
    case 40:
      if (IsHangupReport(s_, line)) return true;  // the code is kept
      if (Contains(line, "+F" + m.commands.pageStatus)) return PageStatusReport(line);
      if (!IsOk(line)) return false;
      s_.state = 42;
      return true;
    case 41:
      if (!IsOk(line)) return false;
      if (++s_.sender.pageRetries > kMaxPageRetries) {
        PutString(s_.common.port, "AT+FKS\r");
        EndCall(ecFaxSessionError);
        return true;
      }
      SendModemCommand(s_, "AT+FDT");
      RestartPage();
      s_.state = 20;
      return true;
    case 43:
      if (IsHangupReport(s_, line)) return true;
      // A Class 2.0 modem reports the far end's answer to the page (+FPS)
      // before its OK, as a Class 2 modem does after +FET.
      if (Contains(line, "+F" + m.commands.pageStatus)) return PageStatusReport(line);
      if (!IsOk(line)) return false;
      SetFaxStatus(s_, fsPageAccepted);
      s_.state = 42;
      return true;
    default:
      return false;
  }
}

bool TFaxSenderMachine::PageStatusReport(const std::string& line) {
  const std::string status = StripResponsePrefix(line);
  const char first = status.empty() ? ' ' : status[0];
  if (first == '1' || first == '3') {
    SetFaxStatus(s_, fsPageAccepted);
  } else if (first == '2') {
    SetFaxStatus(s_, fsPageError);
    s_.state = 41;
  } else if (first == '4' || first == '5') {
    EndCall(ecCancelRequested);
  } else {
    return false;
  }
  return true;
}

// --- State actions -------------------------------------------------------------

void TFaxSenderMachine::StartFax() {
  FaxCommonData& c = s_.common;
  if (!AskNextFax(s_)) {
    s_.state = 45;
    return;
  }
  ReportFaxLog(s_, TFaxLogCode::lfaxTransmitStart);
  c.dialAttempt = 0;
  c.sendingCover = false;
  coverIsApf_ = false;
  c.filePages = c.coverPages = 0;
  s_.sender.pageRetries = 0;
  s_.modem.hangupCode = 0;
  c.remoteId.clear();
  c.currentPage = 1;
  if (!c.faxFile.empty()) {
    TApfFileHeader header;
    if (const int rc = ApfReadFileHeader(c.faxFile, header); rc != 0) {
      EndCall(rc);
      return;
    }
    c.filePages = header.pageCount;
  } else if (c.coverFile.empty()) {
    EndCall(ecNoFileName);  // nothing to send
    return;
  }
  if (c.options & foSoftwareFlow) SwFlowOff(c.port);
  s_.state = 2;
}

void TFaxSenderMachine::SetUpPageAndClass() {
  FaxCommonData& c = s_.common;
  c.stationId = UpperAscii(c.stationId);
  if (!c.coverFile.empty()) {
    c.coverPages = 1;
    c.sendingCover = true;
    coverIsApf_ = HasExtension(c.coverFile, c.faxFileExt);
  }
  if (!c.faxFile.empty()) {
    if (const int rc = GoToPage(c.faxFile, 1); rc != 0) {
      EndCall(rc);
      return;
    }
  } else {
    fine_ = wide_ = false;
    s_.modem.pageResolution = '0';
    if (coverIsApf_) {
      TApfPageHeader header;
      if (ApfReadPageHeader(c.coverFile, 1, header) == 0) {
        fine_ = header.Fine();
        wide_ = header.Wide();
      }
    }
  }
  SetFaxStatus(s_, fsInitializing);
  if (c.faxClass == TFaxClass::fcClass1) {
    SendModemCommand(s_, "AT+FCLASS=1");
    s_.state = 3;
  } else {
    SendModemCommand(s_, "AT+F" + s_.modem.commands.selectClass);
    s_.state = 4;
  }
}

void TFaxSenderMachine::Dial() {
  FaxCommonData& c = s_.common;
  FaxModemData& m = s_.modem;
  SendModemCommand(s_, std::string("ATD") + (m.toneDial ? "T" : "P") + m.dialPrefix + c.phoneNumber);
  ArmReplyTimer(s_, m.dialTimeout);
  SetFaxStatus(s_, fsDialing);
  s_.state = c.faxClass == TFaxClass::fcClass1 ? 11 : 19;
}

void TFaxSenderMachine::BusyRedial() {
  FaxCommonData& c = s_.common;
  ++c.dialAttempt;
  if (c.dialAttempts != 0 && c.dialAttempt >= c.dialAttempts) {
    ReportFaxStatus(s_, false, false);
    if (c.options & foAbortNoConnect) {
      EndCall(ecFaxBusy);
      return;
    }
    CloseFiles();
    ReportFaxError(s_, ecFaxBusy);
    ReportFaxLog(s_, TFaxLogCode::lfaxTransmitFail);
    SetFaxStatus(s_, fsInitializing);
    s_.state = 1;
    return;
  }
  SetFaxStatus(s_, fsBusyWaiting);
  // A timer armed with 0 ticks keeps the length it had, here the dial
  // time-out: no wait between attempts must still mean the shortest one.
  ArmReplyTimer(s_, std::max(c.dialRetryWait, std::int32_t{1}));
  s_.state = 10;
}

void TFaxSenderMachine::PageStart() {
  FaxCommonData& c = s_.common;
  const FaxFont font(kSmallFont, fine_);
  coder_.SetWidth(wide_ ? kWideWidth : kStandardWidth);
  coder_.SetDoubling(false);
  // The page's own lines follow at once and keep the output queue above
  // BufferMinimum, so no zero bytes are queued ahead of them: they would
  // only lengthen every page by BufferMinimum bytes of line time.
  SendFillLines(s_, kPageStartLines);
  if (!c.headerLine.empty()) {
    if (const int rc = DrawTextLine(font, ExpandHeaderTags(c.headerLine, PageHeaderValues())); rc < 0) {
      EndCall(rc);
      return;
    }
  }
  s_.state = c.sendingCover ? 24 : 26;
}

void TFaxSenderMachine::OpenCover() {
  FaxCommonData& c = s_.common;
  if (coverIsApf_) {
    if (const int rc = GoToPage(c.coverFile, 1); rc != 0) {
      EndCall(rc);
      return;
    }
    s_.state = 26;
    return;
  }
  coverText_.close();
  coverText_.clear();
  coverText_.open(c.coverFile, std::ios::binary);
  if (!coverText_) {
    EndCall(ecFileNotFound);
    return;
  }
  coverTextOpen_ = true;
  // The whole file decides whether its lines are UTF-8.
  std::string all((std::istreambuf_iterator<char>(coverText_)), {});
  coverTextUtf8_ = IsUtf8(all);
  coverText_.clear();
  coverText_.seekg(0);
  coverFont_.emplace(kLargeFont, fine_);
  ArmReplyTimer(s_, s_.modem.pageDataTimeout);
  ArmOutputSpace();
  s_.state = 25;
}

void TFaxSenderMachine::TextCoverPage() {
  FaxCommonData& c = s_.common;
  std::string text;
  while (OutFreeSpace(c.port) > kOutputSpaceBytes) {
    if (!std::getline(coverText_, text)) {
      const std::span<const std::uint8_t> eop(kEndOfPageCodes);
      SendPageBytes(s_, eop);
      const auto minimum = static_cast<std::size_t>(s_.modem.params.minBytesPerLine);
      if (eop.size() <= minimum) {
        const std::vector<std::uint8_t> zeros(minimum - eop.size() + 1, 0);
        PutBlock(c.port, zeros.data(), static_cast<int>(zeros.size()));
      }
      if (c.faxClass == TFaxClass::fcClass1) {
        SendFrameEnd(s_);
        SetFaxStatus(s_, fsSendingPage);
      }
      ArmReplyTimer(s_, s_.modem.pageDataTimeout);
      ArmOutputEmpty();
      s_.state = 28;
      return;
    }
    if (!text.empty() && text.back() == '\r') text.pop_back();
    text = ToFaxCharset(text.substr(0, kMaxTextLine), coverTextUtf8_);
    if (const int rc = DrawTextLine(*coverFont_, ExpandHeaderTags(text, PageHeaderValues())); rc < 0) {
      EndCall(rc);
      return;
    }
  }
  ArmReplyTimer(s_, s_.modem.pageDataTimeout);
  ArmOutputSpace();
}

void TFaxSenderMachine::PageData() {
  FaxCommonData& c = s_.common;
  FaxModemData& m = s_.modem;
  const int interval = SecsToTicks(std::max(c.statusInterval, 1));
  EventTimer statusTicks = NewTimer(3 * interval);
  std::array<std::uint8_t, kApfMaxBlock> block{};
  const bool lineBlocks = page_.PageHeader().LineBlocks();
  for (int i = 0; i < s_.sender.maxSendCount; ++i) {
    if (OutBytesWaiting(c.port) > s_.sender.bufferMinimum || OutFreeSpace(c.port) < kOutputSpaceBytes) break;
    if (TimerExpired(statusTicks)) {
      ReportFaxStatus(s_, false, false);
      SetTimerTrigger(c.port, c.statusTimer, interval, true);
      statusTicks = NewTimer(2 * interval);
    }
    const long n = page_.NextBlock(block);
    if (n < 0) {
      EndCall(static_cast<int>(n));
      return;
    }
    if (n == 0) {
      if (c.faxClass == TFaxClass::fcClass1) {
        SendFrameEnd(s_);
        SetFaxStatus(s_, fsSendingPage);
      }
      ArmReplyTimer(s_, m.pageDataTimeout);
      ArmOutputEmpty();
      s_.state = 28;
      return;
    }
    const std::span<const std::uint8_t> data(block.data(), static_cast<std::size_t>(n));
    if (lineBlocks) {
      std::vector<std::uint8_t> padded(data.begin(), data.end());
      if (padded.size() < static_cast<std::size_t>(m.params.minBytesPerLine)) {
        padded.resize(static_cast<std::size_t>(m.params.minBytesPerLine), 0);
      }
      SendPageBytes(s_, padded);
    } else {
      SendPageBytes(s_, data);
    }
    c.pageBytesDone = static_cast<std::int32_t>(page_.BytesRead());
  }
  ArmReplyTimer(s_, m.pageDataTimeout);
  ArmOutputSpace();
}

void TFaxSenderMachine::PageEnd() {
  FaxCommonData& c = s_.common;
  SoftwareFlow(false);
  switch (c.faxClass) {
    case TFaxClass::fcClass1:
      s_.state = 29;
      return;
    case TFaxClass::fcClass2: {
      const std::uint8_t end[] = {kDLE, kETX};
      PutBlock(c.port, end, 2);
      break;
    }
    default: {
      const std::uint8_t end[] = {kDLE, static_cast<std::uint8_t>(MorePages() ? ',' : '.')};
      PutBlock(c.port, end, 2);
      break;
    }
  }
  SetFaxStatus(s_, fsSendingPage);
  s_.state = 38;
}

void TFaxSenderMachine::PostPageTry() {
  if (++s_.sender.postPageTries > kMaxPostPageTries) {
    EndCall(ecTimeout);
    return;
  }
  DelayMs(kPostPagePauseMs);
  SendClass1Command(s_, "AT+FTH=3");
  s_.state = 31;
}

bool TFaxSenderMachine::MorePages() const {
  const FaxCommonData& c = s_.common;
  return !c.faxFile.empty() && (c.sendingCover || c.currentPage < c.filePages);
}

void TFaxSenderMachine::AdvancePage() {
  FaxCommonData& c = s_.common;
  if (c.sendingCover) {
    if (coverTextOpen_) {
      coverText_.close();
      coverTextOpen_ = false;
    }
    c.sendingCover = false;
    c.coverFile.clear();
  } else {
    ++c.currentPage;
    c.pageBytesDone = 0;
  }
  if (const int rc = GoToPage(c.faxFile, c.currentPage); rc != 0) EndCall(rc);
}

void TFaxSenderMachine::RestartPage() {
  FaxCommonData& c = s_.common;
  c.pageBytesDone = 0;
  if (c.sendingCover && !coverIsApf_) {
    coverText_.close();
    coverTextOpen_ = false;
    return;  // opened again at the page start
  }
  const std::string file = c.sendingCover ? c.coverFile : c.faxFile;
  const int page = c.sendingCover ? 1 : c.currentPage;
  if (const int rc = GoToPage(file, page); rc != 0) EndCall(rc);
}

int TFaxSenderMachine::GoToPage(const std::string& file, int page) {
  page_.Close();
  if (const int rc = page_.Open(file, page); rc != 0) return rc;
  pageFile_ = file;
  TakePageResolution();
  return 0;
}

void TFaxSenderMachine::TakePageResolution() {
  FaxModemData& m = s_.modem;
  const TApfPageHeader& header = page_.PageHeader();
  fine_ = header.Fine();
  wide_ = header.Wide();
  m.pageResolution = fine_ ? '1' : '0';
  if (m.previousResolution != ' ' && m.previousResolution != m.pageResolution) {
    // Reported only: the call goes on and may still succeed, so the session's
    // last error stays what it was.
    const std::int32_t kept = s_.common.lastError;
    ReportFaxError(s_, ecFaxMixedResolution);
    s_.common.lastError = kept;
  }
  m.previousResolution = m.pageResolution;
}

HeaderValues TFaxSenderMachine::PageHeaderValues() const {
  const FaxCommonData& c = s_.common;
  HeaderValues values = HeaderValuesNow();
  values.stationId = c.stationId;
  values.sender = c.headerSender;
  values.recipient = c.headerRecipient;
  values.title = c.headerTitle;
  values.filePages = c.filePages;
  values.coverPages = c.coverPages;
  values.currentPage = c.currentPage;
  values.sendingCover = c.sendingCover;
  return values;
}

int TFaxSenderMachine::DrawTextLine(const FaxFont& font, const std::string& text) {
  std::vector<std::uint8_t> raster(static_cast<std::size_t>(coder_.Width() / 8));
  for (int row = 1; row <= font.Rows(); ++row) {
    std::fill(raster.begin(), raster.end(), 0);
    font.RenderRow(text, row, raster.data(), raster.size());
    if (const int rc = SendCodedRow(s_, coder_.CodeLine(raster.data())); rc < 0) return rc;
  }
  return 0;
}

void TFaxSenderMachine::ArmOutputSpace() {
  SetStatusTrigger(s_.common.port, s_.common.outputSpace, kOutputSpaceBytes, true);
}

void TFaxSenderMachine::ArmOutputEmpty() { SetStatusTrigger(s_.common.port, s_.common.outputEmpty, 0, true); }

void TFaxSenderMachine::CloseFiles() {
  page_.Close();
  pageFile_.clear();
  if (coverTextOpen_) coverText_.close();
  coverTextOpen_ = false;
}

void TFaxSenderMachine::SoftwareFlow(bool on) {
  const FaxCommonData& c = s_.common;
  if (!(c.options & foSoftwareFlow)) return;
  if (on) {
    SwFlowOn(c.port, 0, 0, 0);
  } else {
    SwFlowOff(c.port);
  }
}

void TFaxSenderMachine::FaxDone() {
  FaxCommonData& c = s_.common;
  CloseFiles();
  s_.sender.pageRetries = 0;
  c.sendingCover = false;
  SetFaxStatus(s_, fsFinished);
  ReportFaxLog(s_, TFaxLogCode::lfaxTransmitOk);
  UseNormalBaud(s_, false);
  s_.state = 1;
}

void TFaxSenderMachine::FailedCall() {
  FaxCommonData& c = s_.common;
  CloseFiles();
  inFrame_ = false;
  collectBuffer_.clear();
  ReportFaxLog(s_, TFaxLogCode::lfaxTransmitFail);
  HangUpModem(s_);
  UseNormalBaud(s_, false);
  if (userAbort_ || (c.options & (foExitOnError | foAbortNoConnect))) {
    SetFaxStatus(s_, fsUserAbort);
    ReportFaxStatus(s_, false, true);
    s_.state = 47;
    FinishFaxSession(s_);
    return;
  }
  s_.state = 1;
}

}  // namespace tv
