#include "fax/fax_receiver.h"

#include <cstdio>

#include "comm/dispatcher.h"
#include "comm/error_codes.h"
#include "fax/modem_prep.h"
#include "platform/text.h"

namespace tv {

namespace {

// States, named where the code jumps to them from elsewhere.
enum : int {
  kSetUp = 1,
  kClass1Ready = 2,
  kClass2Ready = 3,
  kCapabilitiesSent = 4,  // Class 2.0: AT+FLO=2 follows
  kFlowControlSent = 5,  // Class 2.0: AT+FNR follows
  kLastSetUpSent = 7,
  kWaitForRing = 8,
  kAnswer = 9,
  kSendCsi = 10,
  kSendDis = 11,
  kGetDcs = 12,
  kCancelFrameReception = 13,
  kResendIdentity = 14,
  kTrainingConnect = 15,
  kTraining = 16,
  kSendFtt = 18,
  kTrainingEnd = 19,
  kSendCfr = 20,
  kPageConnect = 21,
  kClass2Connect = 22,
  kClass2Session = 23,
  kClass2PageConnect = 24,
  kStartPage = 25,
  kPageData = 26,
  kPageCarrierEnd = 27,
  kPostPageFrame = 28,
  kFinishClass1Page = 29,
  kSendMcf = 30,
  kGetDcn = 31,
  kClass1HangUp = 32,
  kClass2PageEnd = 33,
  kClass2HangUp = 34,
  kSuccess = 35,
  kFailure = 36,
  kFinished = 37,
};

constexpr std::int32_t kDcsWaitTicks = 54;  // about 3 s for the caller's DCS after our DIS
constexpr int kMaxDisRepeats = 3;
constexpr int kMaxBytesPerEvent = 10000;
constexpr std::uint8_t kDC2 = 0x12;
constexpr std::uint8_t kFrameAddress = 0xFF;
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

bool TFaxReceiverMachine::Collects(int s) const {
  return (s >= 2 && s <= 8) || (s >= 10 && s <= 12) || s == 15 || (s >= 18 && s <= 24) || s == 27 || s == 28 ||
         (s >= 30 && s <= 34);
}

// Page start, the end of a Class 1 page and giving up on a frame need no
// answer from the modem: they run as soon as the state before them is done.
bool TFaxReceiverMachine::RunsAtOnce(int s) const {
  return s == kSetUp || s == kAnswer || s == kCancelFrameReception || s == kStartPage || s == kFinishClass1Page ||
         s == kSuccess || s == kFailure;
}

bool TFaxReceiverMachine::WaitsForEvent(int s) const { return s == kFinished; }

void TFaxReceiverMachine::Run(std::uint16_t msg, int handle) {
  Event event = Event::kOther;
  if (msg == FaxMsgAbort) {
    if (State() == kFinished) return;
    userAbort_ = true;
    Goto(kFailure);
  } else if (msg == 0 || msg == kMsgTriggerAvail) {
    event = Event::kData;
  } else if (msg == kMsgTriggerTimer && handle == session_.common.replyTimer) {
    event = Event::kTimer;
  }
  for (;;) {
    Step(event);
    const int s = State();
    if (RunsAtOnce(s)) {
      event = Event::kOther;
    } else if (!WaitsForEvent(s) && CharReady(session_.common.port) > 0) {
      event = Event::kData;
    } else {
      return;
    }
  }
}

void TFaxReceiverMachine::Step(Event event) {
  const int s = State();
  if (Collects(s)) {
    if (event == Event::kTimer) {
      ReplyTimeout();
      return;
    }
    if (event != Event::kData) return;
    std::string line;
    const Collected got = Collect(line);
    if (got == Collected::kFrame) {
      HandleFrame(line);
      return;
    }
    if (got == Collected::kNothing || !PreviewLine(line)) return;
    if (s <= kLastSetUpSent) {
      StepSetUp(line);
    } else if (s == kWaitForRing) {
      StepWaitForRing(line);
    } else if ((s >= kClass2Connect && s <= kClass2PageConnect) || s == kClass2PageEnd || s == kClass2HangUp) {
      StepClass2(line);
    } else {
      StepClass1(line);
    }
    return;
  }
  FaxModemData& m = session_.modem;
  switch (s) {
    case kSetUp: {
      FaxCommonData& c = session_.common;
      m.response.clear();
      session_.receiver.ringCount = 0;
      c.remoteId.clear();
      c.faxFile.clear();
      c.currentPage = 0;
      c.pageBytesDone = 0;
      c.lastError = 0;
      m.hangupCode = 0;
      lastWasDle_ = false;
      disRepeats_ = 0;
      pageState_ = kNewFile;
      if (session_.receiver.constantStatus && !session_.receiver.firstStatusSent) {
        ReportFaxStatus(session_, true, false);
        session_.receiver.firstStatusSent = true;
      }
      if (SoftwareFlow()) SwFlowOff(c.port);
      // What the modem said while the last call was hung up answers nothing now.
      FlushInput(c.port);
      SetDtrRts(c.port, true, true);
      if (IsClass1()) {
        SendModemCommand(session_, "AT+FCLASS=1");
        Goto(kClass1Ready);
      } else {
        SendModemCommand(session_, "AT+F" + m.commands.selectClass);
        Goto(kClass2Ready);
      }
      return;
    }
    case kAnswer:
      SendModemCommand(session_, "ATA");
      ArmReplyTimer(session_, m.dialTimeout);
      SetFaxStatus(session_, fsAnswering);
      Goto(IsClass1() ? kSendCsi : kClass2Connect);
      return;
    case kCancelFrameReception:
      if (++disRepeats_ > kMaxDisRepeats) {
        EndCall(ecTimeout);
        return;
      }
      // Any character ends a pending AT+FRH; the modem then answers OK. What
      // the abandoned reception left in the input answers nothing now.
      FlushInput(session_.common.port);
      m.response.clear();
      lastWasDle_ = false;
      SendModemCommand(session_, "AT\r");
      ArmReplyTimer(session_, m.replyTimeout);
      Goto(kResendIdentity);
      return;
    case kResendIdentity:
      // Once the modem has answered the abort (or has said nothing in time),
      // send our identity and capabilities again.
      if (event == Event::kData) {
        std::string line;
        if (Collect(line) != Collected::kLine || !IsOk(line)) return;
      } else if (event != Event::kTimer) {
        return;
      }
      SendFrameCommand("AT+FTH=3");
      ArmReplyTimer(session_, m.replyTimeout);
      Goto(kSendCsi);
      return;
    case kTraining:
      if (event == Event::kTimer || TimerExpired(m.replyTicks)) {
        EndCall(ecTimeout);
        return;
      }
      StepTraining();
      return;
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
    case kFinishClass1Page:
      if (const int rc = FinishPage(); rc != 0) {
        EndCall(rc);
        return;
      }
      SendFrameCommand("AT+FTH=3");
      SetFaxStatus(session_, fsGettingDocumentEnd);
      Goto(kSendMcf);
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

TFaxReceiverMachine::Collected TFaxReceiverMachine::Collect(std::string& line) {
  std::string& buffer = session_.modem.response;
  const int port = session_.common.port;
  while (CharReady(port) > 0) {
    const int c = GetChar(port);
    if (c < 0) break;
    const auto b = static_cast<std::uint8_t>(c);
    if (lastWasDle_) {
      lastWasDle_ = false;
      if (b == kETX) {
        line = buffer;
        buffer.clear();
        return Collected::kFrame;
      }
      buffer += static_cast<char>(b);  // DLE DLE stands for one DLE
      continue;
    }
    if (b == kDLE) {
      lastWasDle_ = true;
      continue;
    }
    // A frame starts with its address byte; inside it CR and LF are data.
    const bool inFrame = !buffer.empty() && static_cast<std::uint8_t>(buffer.front()) == kFrameAddress;
    // CR LF ends a line. Ending it at the LF keeps the LF after a CONNECT
    // out of the page data that follows at once.
    if (!inFrame && b == '\r') continue;
    if (!inFrame && b == '\n') {
      std::string text = TrimWhite(buffer);
      buffer.clear();
      if (text.empty()) continue;
      line = std::move(text);
      return Collected::kLine;
    }
    if (!inFrame && b < 32) continue;
    buffer += static_cast<char>(b);
    if (buffer.size() > static_cast<std::size_t>(kResponseLineMax)) {
      buffer.erase(0, buffer.size() - kResponseLineMax);
    }
  }
  return Collected::kNothing;
}

bool TFaxReceiverMachine::PreviewLine(const std::string& line) {
  if (IsError(line)) {
    // After a Class 2 page an ERROR means the page failed: it is dropped
    // and the next one asked for (see StepClass2).
    if (State() == kClass2PageEnd) return true;
    EndCall(ecFaxBadModemResult);
    return false;
  }
  if (IsHangupReport(session_, line)) {
    session_.modem.hangupCode = HangupCode(line);
    if (State() != kClass2HangUp) {
      EndCall(ecFaxSessionError);
      return false;
    }
  }
  return true;
}

void TFaxReceiverMachine::HandleFrame(const std::string& frame) {
  FaxModemData& m = session_.modem;
  const int rc = ParseFrame(session_, frame, m.params.fine, m.params.wide);
  // Callers pad their ID on either side; the blanks are no part of it.
  session_.common.remoteId = TrimWhite(session_.common.remoteId);
  if (rc == ecCancelRequested && State() == kGetDcn) {
    session_.common.lastError = 0;
    return;
  }
  if (rc != 0) {
    EndCall(rc);
    return;
  }
  if (m.retrain) {
    m.retrain = false;
    DelayMs(200);
    SendFrameCommand("AT+FRH=3");
    Goto(kGetDcs);
  }
}

void TFaxReceiverMachine::ReplyTimeout() {
  switch (State()) {
    case kSendCsi:
      if (disRepeats_ > 0) {
        Goto(kCancelFrameReception);
      } else {
        EndCall(ecTimeout);
      }
      return;
    case kGetDcs:
      Goto(kCancelFrameReception);
      return;
    case kGetDcn:
      Goto(kSuccess);
      return;
    case kWaitForRing:
      return;  // rings may take any time
    default:
      EndCall(ecTimeout);
      return;
  }
}

void TFaxReceiverMachine::OtherLine() {
  session_.modem.response.clear();
  ArmReplyTimer(session_, session_.modem.replyTimeout);
}

void TFaxReceiverMachine::StepSetUp(const std::string& line) {
  if (!IsOk(line)) {
    EndCall(ecFaxInitError);
    return;
  }
  FaxModemData& m = session_.modem;
  const int port = session_.common.port;
  switch (State()) {
    case kClass1Ready:
    case kLastSetUpSent:
      if (State() == kClass1Ready) UseNormalBaud(session_, true);
      SetTimerTrigger(port, session_.common.replyTimer, 0, false);
      SetFaxStatus(session_, fsWaitingForCall);
      Goto(kWaitForRing);
      return;
    case kClass2Ready:
      UseNormalBaud(session_, true);
      SendModemCommand(session_, "AT+F" + m.commands.capabilities + "=1," +
                                     Class2BitRateCode(m.params.desiredBps) + ",0,2,0," + m.ecmChar + ",0,0");
      Goto(session_.common.faxClass == TFaxClass::fcClass2_0 ? kCapabilitiesSent : kLastSetUpSent);
      return;
    case kCapabilitiesSent:
      SendModemCommand(session_, "AT+FLO=2");
      Goto(kFlowControlSent);
      return;
    case kFlowControlSent:
      SendModemCommand(session_, "AT+FNR=1,1,1,0");
      Goto(kLastSetUpSent);
      return;
    default:
      return;
  }
}

void TFaxReceiverMachine::StepWaitForRing(const std::string& line) {
  FaxReceiverData& r = session_.receiver;
  if (Contains(line, "RING")) {
    if (++r.ringCount >= session_.modem.ringsToWait) {
      pageState_ = kNewFile;
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

bool TFaxReceiverMachine::FinalFrameArrived() {
  FaxModemData& m = session_.modem;
  if (!m.finalFrame) {
    // More frames in this block: ask for the next one.
    SendFrameCommand("AT+FRH=3");
    return false;
  }
  m.finalFrame = false;
  return true;
}

void TFaxReceiverMachine::StepClass1(const std::string& line) {
  FaxModemData& m = session_.modem;
  const bool ok = IsOk(line);
  const bool connect = IsConnect(line);
  switch (State()) {
    case kSendCsi:
      if (!connect) break;
      SendIdFrame(session_, kFcfCSI);
      Goto(kSendDis);
      return;
    case kSendDis:
      if (connect) {
        SendCapabilityFrame(session_, true);
        return;
      }
      if (!ok) break;
      DelayMs(200);
      DelayMs(200);
      SendFrameCommand("AT+FRH=3");
      ArmReplyTimer(session_, kDcsWaitTicks);
      Goto(kGetDcs);
      return;
    case kGetDcs:
      if (!ok) break;
      if (!FinalFrameArrived()) return;
      if (SoftwareFlow()) SwFlowOn(session_.common.port, kFlowStopAt, kFlowResumeAt, kFlowReceive);
      SendModulationCommand(m.params.Modulation());
      m.replyTicks = NewTimer(m.replyTimeout);
      Goto(kTrainingConnect);
      return;
    case kTrainingConnect:
      if (!connect) break;
      training_ = TrainingCheck{};
      m.replyTicks = NewTimer(m.replyTimeout);
      Goto(kTraining);
      return;
    case kSendFtt:
      if (connect) {
        SendSimpleFrame(session_, kFcfFTT);
        if (m.params.rateIndex <= kMinRateIndex) EndCall(ecFaxTrainError);
        return;
      }
      if (!ok) break;
      SendFrameCommand("AT+FRH=3");
      Goto(kGetDcs);
      return;
    case kTrainingEnd:
      if (!IsNoCarrier(line)) break;
      if (SoftwareFlow()) SwFlowOff(session_.common.port);
      DelayMs(20);
      SendFrameCommand("AT+FTH=3");
      Goto(kSendCfr);
      return;
    case kSendCfr:
      if (connect) {
        if (SoftwareFlow()) SwFlowOn(session_.common.port, kFlowStopAt, kFlowResumeAt, kFlowReceive);
        SendSimpleFrame(session_, kFcfCFR);
        return;
      }
      if (!ok) break;
      SendModulationCommand(m.params.PageModulation());
      if (AskAccept(session_)) {
        AcceptCall();
        if (State() == kSendCfr) Goto(kPageConnect);
      } else {
        RefuseCall();
      }
      return;
    case kPageConnect:
      if (!connect) break;
      SetFaxStatus(session_, fsGettingParams);
      Goto(kStartPage);
      return;
    case kPageCarrierEnd:
      if (!IsNoCarrier(line)) break;
      SendFrameCommand("AT+FRH=3");
      Goto(kPostPageFrame);
      return;
    case kPostPageFrame:
      if (!ok) break;
      if (!FinalFrameArrived()) return;
      morePages_ = (m.lastFcf & 0xFE) == kFcfMPSReceived;
      SetFaxStatus(session_, fsGettingPageEnd);
      Goto(kFinishClass1Page);
      return;
    case kSendMcf:
      if (connect) {
        SendSimpleFrame(session_, kFcfMCF);
        return;
      }
      if (!ok) break;
      if (morePages_) {
        SendModulationCommand(m.params.PageModulation());
        pageState_ = kNewPage;
        // The next page starts after the modem's CONNECT, as the first did.
        Goto(kPageConnect);
        return;
      }
      DelayMs(200);
      SendFrameCommand("AT+FRH=3");
      CloseFile();
      ReportFaxLog(session_, TFaxLogCode::lfaxReceiveOk);
      session_.common.faxFile.clear();
      SetFaxStatus(session_, fsGettingHangup);
      Goto(kGetDcn);
      return;
    case kGetDcn:
      if (!ok) break;
      if (!FinalFrameArrived()) return;
      SendModemCommand(session_, "ATH");
      Goto(kClass1HangUp);
      return;
    case kClass1HangUp:
      if (!ok) break;
      SetFaxStatus(session_, fsGotHangupCode);
      Goto(kSuccess);
      return;
    default:
      break;
  }
  OtherLine();
}

bool TFaxReceiverMachine::Report(const std::string& line, const std::string& suffix) const {
  return Contains(line, "+F" + suffix);
}

void TFaxReceiverMachine::StepClass2(const std::string& line) {
  FaxModemData& m = session_.modem;
  const Class2Commands& cmd = m.commands;
  const int s = State();
  if ((s == kClass2Session || s == kClass2PageConnect) && Report(line, cmd.negotiated)) {
    ArmReplyTimer(session_, m.replyTimeout);
    ParseClass2Parameters(m.params, StripResponsePrefix(line));
    SetFaxStatus(session_, fsGettingParams);
    return;
  }
  switch (s) {
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
          SetFaxStatus(session_, fsGotRemoteId);
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
    case kClass2PageEnd:
      if (Report(line, cmd.pageStatus)) {
        SetFaxStatus(session_, fsGettingPageEnd);
        const std::string code = StripResponsePrefix(line);
        const char first = code.empty() ? ' ' : code[0];
        const int rc = (first == '1' || first == '3' || first == '5') ? FinishPage() : CutPage();
        if (rc != 0) EndCall(rc);
        return;
      }
      if (Report(line, "ET")) {
        SetFaxStatus(session_, fsGettingDocumentEnd);
        const std::string code = StripResponsePrefix(line);
        // 0 MPS, 1 EOM, 2 EOP; 3 to 5 are the same with an operator call,
        // which this program has no use for. Anything else closes the fax.
        switch (code.empty() ? ' ' : code[0]) {
          case '0':
          case '3':
            pageState_ = kNewPage;
            break;
          case '1':
          case '4':
            pageState_ = kNewFile;
            break;
          default:
            pageState_ = kEndOfDocument;
            break;
        }
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
      if (pageState_ == kEndOfDocument) {
        CloseFile();
        ReportFaxLog(session_, TFaxLogCode::lfaxReceiveOk);
        session_.common.faxFile.clear();
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
      Goto(kSuccess);
      return;
    default:
      break;
  }
  OtherLine();
}

void TFaxReceiverMachine::StepTraining() {
  const int port = session_.common.port;
  while (CharReady(port) > 0) {
    const int c = GetChar(port);
    if (c < 0) break;
    const auto b = static_cast<std::uint8_t>(c);
    if (lastWasDle_) {
      lastWasDle_ = false;
      if (b == kETX) {
        if (training_.Passed()) {
          Goto(kTrainingEnd);
        } else {
          SendFrameCommand("AT+FTH=3");
          Goto(kSendFtt);
        }
        return;
      }
      training_.Add(b);
      continue;
    }
    if (b == kDLE) {
      lastWasDle_ = true;
      continue;
    }
    training_.Add(b);
  }
}

void TFaxReceiverMachine::StepPageData() {
  FaxCommonData& c = session_.common;
  const bool reverse = c.faxClass == TFaxClass::fcClass2;
  for (int taken = 0; taken < kMaxBytesPerEvent && CharReady(c.port) > 0; ++taken) {
    const int got = GetChar(c.port);
    if (got < 0) break;
    auto b = static_cast<std::uint8_t>(got);
    if (lastWasDle_) {
      lastWasDle_ = false;
      if (b == kETX) {
        if (const int rc = FlushPageBuffer(); rc != 0) {
          EndCall(rc);
          return;
        }
        pageDataEnded_ = true;
        SetFaxStatus(session_, fsGettingPage);
        if (SoftwareFlow()) SwFlowOff(c.port);
        Goto(IsClass1() ? kPageCarrierEnd : kClass2PageEnd);
        return;
      }
    } else if (b == kDLE) {
      lastWasDle_ = true;
      continue;
    }
    pageBuffer_.push_back(reverse ? ReverseBits(b) : b);
    ++c.pageBytesDone;
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
  if ((session_.common.options & foExitOnError) || userAbort_) {
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
  ReportFaxLog(session_, TFaxLogCode::lfaxReceiveStart);
  pageState_ = kNewPage;
  session_.common.currentPage = 0;
}

void TFaxReceiverMachine::RefuseCall() {
  ReportFaxError(session_, ecFileRejected);
  ReportFaxLog(session_, TFaxLogCode::lfaxReceiveSkip);
  Goto(kFailure);  // hangs up
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
  return 0;
}

int TFaxReceiverMachine::StartPage() {
  FaxCommonData& c = session_.common;
  if (pageState_ == kNewFile || !fileOpen_) {
    // A new document of the same call (EOM): the last one is complete and
    // is reported as received before the next file starts.
    if (fileOpen_) {
      CloseFile();
      ReportFaxLog(session_, TFaxLogCode::lfaxReceiveOk);
    }
    if (const int rc = OpenNewFile(); rc != 0) return rc;
    ReportFaxLog(session_, TFaxLogCode::lfaxReceiveStart);
    c.currentPage = 0;
  }
  ++c.currentPage;
  const SessionParameters& p = session_.modem.params;
  if (const int rc = writer_.BeginPage(p.fine, p.wide); rc != 0) {
    c.lastError = rc;
    return rc;
  }
  pageOpen_ = true;
  pageDataEnded_ = false;
  pageBuffer_.clear();
  lastWasDle_ = false;
  c.pageBytesDone = 0;
  ArmReplyTimer(session_, session_.modem.replyTimeout);
  // A Class 2 modem sends the page only after DC2.
  if (!IsClass1()) PutChar(c.port, kDC2);
  return 0;
}

int TFaxReceiverMachine::FlushPageBuffer() {
  if (pageBuffer_.empty()) return 0;
  const int rc = writer_.Write(pageBuffer_.data(), pageBuffer_.size());
  pageBuffer_.clear();
  return rc == 0 ? 0 : ecDeviceWriteError;
}

int TFaxReceiverMachine::FinishPage() {
  if (!pageOpen_) return 0;
  pageOpen_ = false;
  if (const int rc = FlushPageBuffer(); rc != 0) return rc;
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
  Goto(kFailure);
}

void TFaxReceiverMachine::SendFrameCommand(const char* command) { SendClass1Command(session_, command); }

void TFaxReceiverMachine::SendModulationCommand(const char* modulation) {
  SendClass1Command(session_, std::string("AT+FRM=") + modulation);
}

}  // namespace tv
