// The sender's table, its run loop, and the phases all classes share:
// set-up and dialling, page transfer, and the end of each fax.
#include "fax/fax_sender.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

#include "comm/dispatcher.h"
#include "fax/class1_frames.h"
#include "fax/header_tags.h"
#include "fax/modem_prep.h"
#include "fax/state_table.h"
#include "image/t4_2d_coding.h"
#include "fax/sender_constants.h"
#include "platform/error_codes.h"
#include "platform/text.h"

namespace tv {

namespace {

constexpr int kMaxTextLine = 255;
constexpr int kMaxDialWaitSecs = 255;  // the most S7 holds
// One line start before the header. Several in a row are EOLs with nothing
// between them, which a receiver takes for the end-of-page signal (six EOLs)
// before the page has begun.
constexpr int kPageStartLines = 1;

bool Contains(std::string_view line, std::string_view part) { return line.find(part) != std::string_view::npos; }

bool HasExtension(const std::string& name, const std::string& ext) { return ContainsNoCase(name, "." + ext); }

}  // namespace

using namespace sender;

// --- The table ---------------------------------------------------------------------

// What each state is: the phase whose step function runs it, whether it
// reads the modem's lines and frames, and what follows a step that leaves
// the machine in it (wait for an event, run again while data is waiting, or
// run at once).
const TFaxSenderMachine::StateInfo& TFaxSenderMachine::Info(int state) {
  using P = Phase;
  using T = Then;
  struct Row {
    State state;
    StateInfo info;
  };
  static constexpr Row kTable[] = {
      {kNextFax, {P::kSetUp, false, T::kNow}},
      {kSelectClass, {P::kSetUp, false, T::kNow}},
      {kSetUpCommand, {P::kSetUp, true, T::kNowIfData}},
      {kDial, {P::kSetUp, false, T::kNow}},
      {kRedialWait, {P::kSetUp, false, T::kWait}},
      {kGetDis, {P::kClass1Negotiation, true, T::kNowIfData}},
      {kSendTsi, {P::kClass1Negotiation, true, T::kNowIfData}},
      {kSendDcs, {P::kClass1Negotiation, true, T::kNowIfData}},
      {kDcsSent, {P::kClass1Negotiation, true, T::kNowIfData}},
      {kTrainingConnect, {P::kClass1Negotiation, true, T::kNowIfData}},
      {kTrainingSent, {P::kClass1Negotiation, true, T::kNowIfData}},
      {kGetCfr, {P::kClass1Negotiation, true, T::kNowIfData}},
      {kCancelReception, {P::kClass1Negotiation, true, T::kNowIfData}},
      {kPageConnect, {P::kClass1Negotiation, true, T::kNowIfData}},
      {kClass2Connect, {P::kClass2Negotiation, true, T::kNowIfData}},
      {kClass2Session, {P::kClass2Negotiation, true, T::kNowIfData}},
      {kClass2NewParameters, {P::kClass2Negotiation, true, T::kNowIfData}},
      {kWaitForXon, {P::kClass2Negotiation, false, T::kNowIfData}},
      {kWaitForOutputSpace, {P::kPageTransfer, true, T::kWait}},
      {kPageStart, {P::kPageTransfer, false, T::kNow}},
      {kOpenCover, {P::kPageTransfer, false, T::kNow}},
      {kTextCover, {P::kPageTransfer, true, T::kWait}},
      {kPageBegin, {P::kPageTransfer, false, T::kNow}},
      {kPageData, {P::kPageTransfer, true, T::kWait}},
      {kPageDrain, {P::kPageTransfer, true, T::kWait}},
      {kPageSent, {P::kClass1PostPage, true, T::kNowIfData}},
      {kSendPostPage, {P::kClass1PostPage, false, T::kNow}},
      {kPostPageConnect, {P::kClass1PostPage, true, T::kNowIfData}},
      {kPostPageSent, {P::kClass1PostPage, true, T::kNowIfData}},
      {kGetPostPageAnswer, {P::kClass1PostPage, true, T::kNowIfData}},
      {kEcmReceiverBusy, {P::kClass1PostPage, true, T::kWait}},
      {kClass2PageEnd, {P::kClass2PostPage, false, T::kNow}},
      {kClass2PageSent, {P::kClass2PostPage, true, T::kNowIfData}},
      {kClass2PageResult, {P::kClass2PostPage, true, T::kNowIfData}},
      {kClass2_0PageResult, {P::kClass2PostPage, true, T::kNowIfData}},
      {kClass2PageRefused, {P::kClass2PostPage, true, T::kNowIfData}},
      {kNextPageOrDone, {P::kClass2PostPage, false, T::kNow}},
      {kSendDcn, {P::kEnd, true, T::kNowIfData}},
      {kDcnSent, {P::kEnd, true, T::kNowIfData}},
      {kHangUp, {P::kEnd, true, T::kNowIfData}},
      {kFaxDone, {P::kEnd, false, T::kNow}},
      {kNoMoreFaxes, {P::kEnd, false, T::kNow}},
      {kFailed, {P::kEnd, false, T::kNow}},
      {kFinished, {P::kEnd, false, T::kWait}},
  };
  static_assert(std::size(kTable) == kFinished && RowsInStateOrder(kTable));
  return kTable[(state >= kNextFax && state <= kFinished ? state : kFinished) - 1].info;
}

FaxMachine TFaxSenderMachine::Machine() {
  return [this](FaxSession&, std::uint16_t msg, int handle) { Run(msg, handle); };
}

bool TFaxSenderMachine::Finished() const { return At() == kFinished; }

TFaxSenderMachine::Event TFaxSenderMachine::Classify(std::uint16_t msg, int handle) const {
  const FaxCommonData& c = s_.common;
  if (msg == kMsgTriggerTimer && handle == c.replyTimer) return Event::kReplyTimer;
  if (msg == kMsgTriggerStatus && handle == c.outputSpace) return Event::kOutputSpace;
  if (msg == kMsgTriggerStatus && handle == c.outputEmpty) return Event::kOutputDrained;
  return Event::kData;
}

void TFaxSenderMachine::Run(std::uint16_t msg, int handle) {
  if (msg == FaxMsgAbort || msg == FaxMsgDeviceGone) {
    if (Finished()) return;
    userAbort_ = msg == FaxMsgAbort;
    if (msg == FaxMsgDeviceGone) ReportFaxError(s_, ecDeviceGone);
    Goto(kFailed);
  }
  Event event = msg == FaxMsgAbort || msg == FaxMsgDeviceGone ? Event::kData : Classify(msg, handle);
  while (!Finished()) {
    Got got = Got::kNothing;
    std::string text;
    if (event == Event::kData && Info(s_.state).collects) {
      got = responses_.Next(s_.common.port, text);
      if (got == Got::kNothing) return;  // wait for the rest of a line or frame
    }
    if (got != Got::kLine || PreviewLine(text)) {
      switch (Info(s_.state).phase) {
        case Phase::kSetUp:
          StepSetUp(event, got, text);
          break;
        case Phase::kClass1Negotiation:
          StepClass1Negotiation(event, got, text);
          break;
        case Phase::kClass2Negotiation:
          StepClass2Negotiation(event, got, text);
          break;
        case Phase::kPageTransfer:
          StepPageTransfer(event, got, text);
          break;
        case Phase::kClass1PostPage:
          StepClass1PostPage(event, got, text);
          break;
        case Phase::kClass2PostPage:
          StepClass2PostPage(event, got, text);
          break;
        case Phase::kEnd:
          StepEnd(event, got, text);
          break;
      }
    }
    const Then then = Info(s_.state).then;
    if (then == Then::kWait) return;
    if (then == Then::kNowIfData && CharReady(s_.common.port) <= 0) return;
    event = Event::kData;
  }
}

bool TFaxSenderMachine::PreviewLine(const std::string& line) {
  const bool lineGone = IsError(line) && afterNoCarrier_;
  afterNoCarrier_ = IsNoCarrier(line);
  if (IsError(line)) {
    if (failing_) {
      Goto(kFailed);  // the way out is refused: hang up without it
      return false;
    }
    if (lineGone) {  // NO CARRIER, then ERROR: the modem is on hook, the far end has gone
      EndCall(ecFaxSessionError);
      return false;
    }
    switch (At()) {
      // A damaged frame, or a frame reception the modem refused: the
      // frame steps ask for the frame or send their command again.
      case kGetDis:
      case kGetCfr:
      case kGetPostPageAnswer:
      case kCancelReception:
      case kPostPageConnect:
        return true;
      default:
        EndCall(ecFaxBadModemResult);
        return false;
    }
  }
  if (IsHangupReport(s_, line)) {
    s_.modem.hangupCode = HangupCode(line);
    if (At() != kClass2PageResult && At() != kClass2_0PageResult) {
      EndCall(ecFaxBadModemResult);
      return false;
    }
  }
  return true;
}

void TFaxSenderMachine::EndCall(int code) {
  ReportFaxError(s_, code);
  failing_ = true;
  // A far end that answered as a fax is told the call ends, when the modem
  // is between frames and can say it.
  const Phase phase = Info(s_.state).phase;
  if (connected_ && (phase == Phase::kClass1Negotiation || phase == Phase::kClass1PostPage)) {
    SendFrameCommand(s_);
    ArmReplyTimer(s_, t30timer::kT4);
    Goto(kSendDcn);
    return;
  }
  Goto(kFailed);
}

// The far end has ended the call itself (its DCN): nothing more goes to it.
void TFaxSenderMachine::EndCallSilently(int code) {
  connected_ = false;
  EndCall(code);
}

// --- Set-up and dialling ---------------------------------------------------------------

void TFaxSenderMachine::StepSetUp(Event event, Got got, const std::string& text) {
  switch (At()) {
    case kNextFax:
      StartFax();
      return;
    case kSelectClass:
      SelectClass();
      return;
    case kSetUpCommand:
      if (event == Event::kReplyTimer) {
        EndCall(ecTimeout);
      } else if (got == Got::kLine) {
        const ModemSetUp::Result result = setUp_.Answer(s_, text);
        if (result == ModemSetUp::Result::kDone) Goto(kDial);
        if (result == ModemSetUp::Result::kRefused) EndCall(ecFaxInitError);
      }
      return;
    case kDial:
      Dial();
      return;
    case kRedialWait:
      if (event == Event::kReplyTimer) Goto(kDial);
      return;
    default:
      return;
  }
}

void TFaxSenderMachine::StartFax() {
  FaxCommonData& c = s_.common;
  if (!AskNextFax(s_)) {
    Goto(kNoMoreFaxes);
    return;
  }
  ReportFaxLog(s_, TFaxLogCode::lfaxTransmitStart);
  c.dialAttempt = 0;
  c.sendingCover = false;
  coverIsApf_ = false;
  composed_ = false;
  ecmPage_ = {};
  pagesConfirmed_ = 0;
  failing_ = false;
  connected_ = false;
  reduce_ = false;
  s_.sender.pagesReduced = false;
  resendSessionParameters_ = false;
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
  Goto(kSelectClass);
}

void TFaxSenderMachine::SelectClass() {
  FaxCommonData& c = s_.common;
  FaxModemData& m = s_.modem;
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
  }
  // The call is negotiated for the first page sent: a cover in fax form
  // has its own format.
  if (coverIsApf_) {
    TApfPageHeader header;
    if (ApfReadPageHeader(c.coverFile, 1, header) == 0) {
      fine_ = header.Fine();
      wide_ = header.Wide();
    }
  }
  SetFaxStatus(s_, fsInitializing);
  // The modem gives up the call when no fax answers within S7 seconds: as
  // long as the user wants to wait.
  const int dialWait = std::clamp(TicksToSecs(m.dialTimeout), 1, kMaxDialWaitSecs);
  setUp_.Start(s_, {"AT+F" + m.commands.localId + "=\"" + c.stationId + "\"", Class2SessionParameters()},
               {"ATS7=" + std::to_string(dialWait)});
  Goto(kSetUpCommand);
}

void TFaxSenderMachine::Dial() {
  FaxCommonData& c = s_.common;
  FaxModemData& m = s_.modem;
  // What the modem said about an earlier attempt answers nothing now.
  FlushInput(c.port);
  responses_.Clear();
  frames_.Start();
  connected_ = false;
  SendModemCommand(s_, std::string("ATD") + (m.toneDial ? "T" : "P") + m.dialPrefix + c.phoneNumber);
  // The modem's own no-answer result comes first when it keeps to S7.
  ArmReplyTimer(s_, m.dialTimeout + kDialGraceTicks);
  SetFaxStatus(s_, fsDialing);
  Goto(IsClass1() ? kGetDis : kClass2Connect);
}

// The dial's result lines; false for any other line.
bool TFaxSenderMachine::DialResult(const std::string& line) {
  if (Contains(line, "BUSY")) {
    Redial(ecFaxBusy, fsBusyWaiting);
  } else if (Contains(line, "ANSWER")) {
    Redial(ecFaxNoAnswer, fsNoAnswerWaiting);
  } else if (Contains(line, "VOICE")) {
    EndCall(ecFaxVoiceCall);
  } else if (Contains(line, "NO DIAL")) {
    EndCall(ecFaxNoDialTone);
  } else if (IsNoCarrier(line)) {
    // What a modem says when no fax answered within S7.
    Redial(ecFaxNoCarrier, fsNoAnswerWaiting);
  } else {
    return false;
  }
  return true;
}

// The number did not answer as a fax: dial again after the retry wait, up to
// DialAttempts attempts in all (0: no limit).
void TFaxSenderMachine::Redial(int code, int waitingStatus) {
  FaxCommonData& c = s_.common;
  ++c.dialAttempt;
  if (c.dialAttempts != 0 && c.dialAttempt >= c.dialAttempts) {
    ReportFaxStatus(s_, false, false);
    if (c.options & foAbortNoConnect) {
      EndCall(code);
      return;
    }
    CloseFiles();
    ReportFaxError(s_, code);
    ReportFaxLog(s_, TFaxLogCode::lfaxTransmitFail);
    SetFaxStatus(s_, fsInitializing);
    Goto(kNextFax);
    return;
  }
  SetFaxStatus(s_, waitingStatus);
  // A timer armed with 0 ticks keeps the length it had, here the dial
  // time-out: no wait between attempts must still mean the shortest one.
  ArmReplyTimer(s_, std::max(c.dialRetryWait, std::int32_t{1}));
  Goto(kRedialWait);
}

// --- Page transfer -------------------------------------------------------------------

void TFaxSenderMachine::StartPageTransfer(std::int32_t startTicks) {
  ArmOutputSpace();
  ArmReplyTimer(s_, startTicks);
  Goto(kWaitForOutputSpace);
}

void TFaxSenderMachine::StepPageTransfer(Event event, Got got, const std::string& text) {
  FaxCommonData& c = s_.common;
  FaxModemData& m = s_.modem;
  if (got == Got::kLine) {
    // The line went while the page did: the modem says so and takes no more.
    if (IsNoCarrier(text)) {
      EndCall(ecFaxSessionError);
    } else if (At() == kPageDrain && IsClass1() && IsOk(text)) {
      // The page has left the modem before the port saw its buffer empty.
      PageEnd(true);
    }
    return;
  }
  if (event == Event::kReplyTimer) {
    EndCall(ecTimeout);
    return;
  }
  switch (At()) {
    case kWaitForOutputSpace:
      if (event != Event::kOutputSpace) return;
      SetFaxStatus(s_, fsSendingPage);
      SoftwareFlow(true);
      Goto(kPageStart);
      return;
    case kPageStart:
      PageStart();
      return;
    case kOpenCover:
      c.pageBytesDone = 0;
      OpenCover();
      return;
    case kTextCover:
      if (event == Event::kOutputSpace) TextCoverPage();
      return;
    case kPageBegin:
      c.pageBytesDone = 0;
      c.pageLength = static_cast<std::int32_t>(page_.Header().dataLength);
      page_.SetLineMinimum(m.params.minBytesPerLine);
      page_.SetReduceToStandard(reduce_);
      if (page_.Reduced()) s_.sender.pagesReduced = true;
      pageBytes_.clear();
      ArmReplyTimer(s_, m.pageDataTimeout);
      ArmOutputAtMost(s_.sender.bufferMinimum);
      Goto(kPageData);
      return;
    case kPageData:
      if (event == Event::kOutputDrained) PageData();
      return;
    case kPageDrain:
      if (event != Event::kOutputDrained) return;
      if (const int waiting = OutBytesWaiting(c.port); waiting < 0) {
        EndCall(waiting);  // the device is gone
      } else {
        PageEnd(false);
      }
      return;
    default:
      return;
  }
}

void TFaxSenderMachine::PageStart() {
  FaxCommonData& c = s_.common;
  if (s_.modem.params.errorCorrection) {
    SendBytesWhole(EcmBurst(ecmPage_));
    return;
  }
  if (ComposesPage()) {
    // 2-D lines go with fill to the far end's minimum scan time as well.
    std::vector<std::uint8_t> coded;
    if (const int rc = ComposePage(coded); rc != 0) {
      EndCall(rc);
      return;
    }
    ScanLineFill fill(s_.modem.params.minBytesPerLine);
    std::vector<std::uint8_t> filled;
    fill.Process(coded, filled);
    fill.Flush(filled);
    SendBytesWhole(filled);
    return;
  }
  const FaxFont font(kSmallFont, SendsFine());
  coder_.SetWidth(wide_ ? kWideWidth : kStandardWidth);
  coder_.SetDoubling(false);
  // The page's own lines follow at once and keep the output queue above
  // BufferMinimum, so no zero bytes are queued ahead of them: they would
  // only lengthen every page by BufferMinimum bytes of line time.
  SendFillLines(s_, kPageStartLines);
  if (!c.headerLine.empty()) {
    if (const int rc = SendTextLine(font, ExpandHeaderTags(c.headerLine, PageHeaderValues())); rc < 0) {
      EndCall(rc);
      return;
    }
  }
  Goto(c.sendingCover ? kOpenCover : kPageBegin);
}

void TFaxSenderMachine::OpenCover() {
  FaxCommonData& c = s_.common;
  if (coverIsApf_) {
    if (const int rc = GoToPage(c.coverFile, 1); rc != 0) {
      EndCall(rc);
      return;
    }
    Goto(kPageBegin);
    return;
  }
  if (const int rc = ReadCoverText(); rc != 0) {
    EndCall(rc);
    return;
  }
  ArmReplyTimer(s_, s_.modem.pageDataTimeout);
  ArmOutputSpace();
  Goto(kTextCover);
}

// The text cover's lines, in the fax character set (the whole file decides
// whether they are UTF-8), and its font.
int TFaxSenderMachine::ReadCoverText() {
  std::ifstream in(s_.common.coverFile, std::ios::binary);
  if (!in) return ecFileNotFound;
  const std::string all((std::istreambuf_iterator<char>(in)), {});
  const bool utf8 = IsUtf8(all);
  coverLines_.clear();
  coverLine_ = 0;
  std::istringstream lines(all);
  for (std::string text; std::getline(lines, text);) {
    if (!text.empty() && text.back() == '\r') text.pop_back();
    coverLines_.push_back(ToFaxCharset(text.substr(0, kMaxTextLine), utf8));
  }
  coverFont_.emplace(kLargeFont, SendsFine());
  return 0;
}

void TFaxSenderMachine::TextCoverPage() {
  FaxCommonData& c = s_.common;
  bool progress = false;
  if (const int free = OutFreeSpace(c.port); free < 0) {
    EndCall(free);  // the device is gone
    return;
  }
  while (OutFreeSpace(c.port) > kOutputSpaceBytes) {
    if (coverLine_ == coverLines_.size()) {
      const std::span<const std::uint8_t> eop(kEndOfPageCodes);
      SendPageBytes(s_, eop);
      const auto minimum = static_cast<std::size_t>(s_.modem.params.minBytesPerLine);
      if (eop.size() <= minimum) {
        const std::vector<std::uint8_t> zeros(minimum - eop.size() + 1, 0);
        PutBlock(c.port, zeros.data(), static_cast<int>(zeros.size()));
      }
      EndPageData();
      return;
    }
    const std::string& text = coverLines_[coverLine_++];
    if (const int rc = SendTextLine(*coverFont_, ExpandHeaderTags(text, PageHeaderValues())); rc < 0) {
      EndCall(rc);
      return;
    }
    progress = true;
  }
  // The page-data time runs from the last bytes the port took: a port that
  // takes nothing more ends the call when it runs out.
  if (progress) ArmReplyTimer(s_, s_.modem.pageDataTimeout);
  ArmOutputSpace();
}

// Bytes made whole before they go (a 2-D page, a burst of frames) go out
// as the port takes them, as a page's pieces do.
void TFaxSenderMachine::SendBytesWhole(std::span<const std::uint8_t> bytes) {
  FaxCommonData& c = s_.common;
  pageBytes_.clear();
  AppendDleDoubled(bytes, pageBytes_);
  composed_ = true;
  c.pageBytesDone = 0;
  c.pageLength = static_cast<std::int32_t>(pageBytes_.size());
  ArmReplyTimer(s_, s_.modem.pageDataTimeout);
  ArmOutputAtMost(s_.sender.bufferMinimum);
  Goto(kPageData);
}

// The page's last bytes are queued: the page ends once they have left.
void TFaxSenderMachine::EndPageData() {
  if (IsClass1()) {
    SendFrameEnd(s_);
    SetFaxStatus(s_, fsSendingPage);
  }
  ArmReplyTimer(s_, s_.modem.pageDataTimeout);
  ArmOutputAtMost(0);
  Goto(kPageDrain);
}

int TFaxSenderMachine::ComposePage(std::vector<std::uint8_t>& coded) {
  const FaxCommonData& c = s_.common;
  std::vector<std::uint8_t> mh;
  const auto keep = [&mh](std::span<const std::uint8_t> row) {
    mh.insert(mh.end(), row.begin(), row.end());
    return 0;
  };
  coder_.SetWidth(wide_ ? kWideWidth : kStandardWidth);
  coder_.SetDoubling(false);
  if (!c.headerLine.empty()) {
    DrawTextLine(FaxFont(kSmallFont, SendsFine()), ExpandHeaderTags(c.headerLine, PageHeaderValues()), keep);
  }
  if (c.sendingCover && !coverIsApf_) {
    if (const int rc = ReadCoverText(); rc != 0) return rc;
    for (const std::string& text : coverLines_) DrawTextLine(*coverFont_, ExpandHeaderTags(text, PageHeaderValues()), keep);
  } else {
    if (c.sendingCover) {
      if (const int rc = GoToPage(c.coverFile, 1); rc != 0) return rc;
    }
    page_.SetLineMinimum(0);
    page_.SetReduceToStandard(reduce_);
    if (page_.Reduced()) s_.sender.pagesReduced = true;
    std::vector<std::uint8_t> piece;
    long n = 0;
    while ((n = page_.Next(piece)) > 0) mh.insert(mh.end(), piece.begin(), piece.end());
    if (n < 0) return static_cast<int>(n);
  }
  coded = T4RecodeFromMh(mh, s_.modem.params.coding, SendsFine());
  return 0;
}

// Keeps the output queue just above BufferMinimum, at most MaxSendCount
// pieces an event, so other events are not held up; a status report goes
// out every two to three status intervals meanwhile. The next event comes
// when the queue is down to BufferMinimum again.
void TFaxSenderMachine::PageData() {
  FaxCommonData& c = s_.common;
  FaxModemData& m = s_.modem;
  const int interval = SecsToTicks(std::max(c.statusInterval, 1));
  EventTimer statusTicks = NewTimer(3 * interval);
  std::vector<std::uint8_t> piece;
  bool progress = false;
  for (int i = 0; i < s_.sender.maxSendCount; ++i) {
    const int waiting = OutBytesWaiting(c.port);
    const int free = OutFreeSpace(c.port);
    if (waiting < 0 || free < 0) {
      EndCall(std::min(waiting, free));  // the device is gone
      return;
    }
    if (waiting > s_.sender.bufferMinimum || free == 0) break;
    if (TimerExpired(statusTicks)) {
      ReportFaxStatus(s_, false, false);
      SetTimerTrigger(c.port, c.statusTimer, interval, true);
      statusTicks = NewTimer(2 * interval);
    }
    if (pageBytes_.empty()) {
      const long n = composed_ ? 0 : page_.Next(piece);
      if (n < 0) {
        EndCall(static_cast<int>(n));
        return;
      }
      if (n == 0) {
        EndPageData();
        return;
      }
      AppendDleDoubled(piece, pageBytes_);
    }
    // A piece made longer by fill goes out as the buffer takes it.
    const int count = std::min(static_cast<int>(pageBytes_.size()), free);
    if (const int rc = PutBlock(c.port, pageBytes_.data(), count); rc < 0) {
      EndCall(rc);  // the device is gone
      return;
    }
    pageBytes_.erase(pageBytes_.begin(), pageBytes_.begin() + count);
    c.pageBytesDone = composed_ ? c.pageLength - static_cast<std::int32_t>(pageBytes_.size())
                                : static_cast<std::int32_t>(page_.BytesRead());
    progress = true;
  }
  // The page-data time runs from the last bytes the port took: a stalled
  // port, or a modem that takes nothing more, ends the call when it runs out.
  if (progress) ArmReplyTimer(s_, m.pageDataTimeout);
  ArmOutputAtMost(s_.sender.bufferMinimum);
}

void TFaxSenderMachine::PageEnd(bool modemSaidOk) {
  FaxCommonData& c = s_.common;
  SoftwareFlow(false);
  composed_ = false;
  afterPage_ = AfterThisPage();
  switch (c.faxClass) {
    case TFaxClass::fcClass1:
      Goto(kPageSent);
      // The modem's OK for the page came before the port's buffer emptied.
      if (modemSaidOk) StepClass1PostPage(Event::kData, Got::kLine, "OK");
      return;
    case TFaxClass::fcClass2: {
      const std::uint8_t end[] = {kDLE, kETX};
      PutBlock(c.port, end, 2);
      break;
    }
    default: {
      const std::uint8_t end[] = {kDLE, static_cast<std::uint8_t>(Class2_0PageMark(afterPage_))};
      PutBlock(c.port, end, 2);
      break;
    }
  }
  SetFaxStatus(s_, fsSendingPage);
  Goto(kClass2PageEnd);
}

bool TFaxSenderMachine::MorePages() const {
  const FaxCommonData& c = s_.common;
  return !c.faxFile.empty() && (c.sendingCover || c.currentPage < c.filePages);
}

AfterPage TFaxSenderMachine::AfterThisPage() const {
  const FaxCommonData& c = s_.common;
  if (!MorePages()) return AfterPage::kEnd;
  // After the cover comes the file's first page. A page that cannot be
  // read fails when it is opened.
  TApfPageHeader next;
  if (ApfReadPageHeader(c.faxFile, c.sendingCover ? 1 : c.currentPage + 1, next) != 0) return AfterPage::kPage;
  const PageFormat format{next.Fine() && !reduce_, next.Wide()};
  return format == sessionFormat_ ? AfterPage::kPage : AfterPage::kDocument;
}

void TFaxSenderMachine::AdvancePage() {
  FaxCommonData& c = s_.common;
  ecmPage_ = {};
  if (c.sendingCover) {
    coverLines_.clear();
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
  composed_ = false;
  ecmPage_ = {};
  if (c.sendingCover && !coverIsApf_) return;  // read again at the page start
  const std::string file = c.sendingCover ? c.coverFile : c.faxFile;
  const int page = c.sendingCover ? 1 : c.currentPage;
  if (const int rc = GoToPage(file, page); rc != 0) EndCall(rc);
}

int TFaxSenderMachine::GoToPage(const std::string& file, int page) {
  if (const int rc = page_.Open(file, page); rc != 0) return rc;
  TakePageResolution();
  return 0;
}

// Pages of another format than the one negotiated go as a new document
// (AfterThisPage).
void TFaxSenderMachine::TakePageResolution() {
  const TApfPageHeader& header = page_.Header();
  fine_ = header.Fine();
  wide_ = header.Wide();
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

int TFaxSenderMachine::DrawTextLine(const FaxFont& font, const std::string& text,
                                    const std::function<int(std::span<const std::uint8_t>)>& put) {
  std::vector<std::uint8_t> raster(static_cast<std::size_t>(coder_.Width() / 8));
  for (int row = 1; row <= font.Rows(); ++row) {
    std::fill(raster.begin(), raster.end(), 0);
    font.RenderRow(text, row, raster.data(), raster.size());
    if (const int rc = put(coder_.CodeLine(raster.data())); rc < 0) return rc;
  }
  return 0;
}

int TFaxSenderMachine::SendTextLine(const FaxFont& font, const std::string& text) {
  return DrawTextLine(font, text, [this](std::span<const std::uint8_t> row) { return SendCodedRow(s_, row); });
}

void TFaxSenderMachine::ArmOutputSpace() {
  SetStatusTrigger(s_.common.port, s_.common.outputSpace, kOutputSpaceBytes, true);
}

void TFaxSenderMachine::ArmOutputAtMost(int bytes) {
  SetStatusTrigger(s_.common.port, s_.common.outputEmpty, bytes, true);
}

void TFaxSenderMachine::CloseFiles() {
  page_.Close();
  coverLines_.clear();
}

void TFaxSenderMachine::SoftwareFlow(bool on) {
  const FaxCommonData& c = s_.common;
  if (!(c.options & foSoftwareFlow)) return;
  if (on) {
    SwFlowOn(c.port, 0, 0, kFlowTransmit);
  } else {
    SwFlowOff(c.port);
  }
}

// --- The end of a fax -------------------------------------------------------------------

void TFaxSenderMachine::StepEnd(Event event, Got got, const std::string& text) {
  const bool ok = got == Got::kLine && IsOk(text);
  switch (At()) {
    case kSendDcn:
      if (event == Event::kReplyTimer) {
        if (failing_) {
          Goto(kFailed);
        } else {
          EndCall(ecTimeout);
        }
      } else if (got == Got::kLine && IsConnect(text)) {
        SendSimpleFrame(s_, kFcfDCN);
        Goto(kDcnSent);
      }
      return;
    case kDcnSent:
      if (event == Event::kReplyTimer) {
        if (failing_) {
          Goto(kFailed);
        } else {
          EndCall(ecTimeout);
        }
      } else if (ok && failing_) {
        Goto(kFailed);
      } else if (ok) {
        SendModemCommand(s_, "ATH");
        ArmReplyTimer(s_, kHangupTicks);
        Goto(kHangUp);
      }
      return;
    case kHangUp:
      if (event == Event::kReplyTimer) {
        HangUpModem(s_);
        Goto(kFaxDone);
      } else if (ok) {
        Goto(kFaxDone);
      }
      return;
    case kFaxDone:
      FaxDone();
      return;
    case kNoMoreFaxes:
      ReportFaxStatus(s_, false, true);
      Goto(kFinished);  // finished before the finish message can reach the component
      FinishFaxSession(s_);
      return;
    case kFailed:
      FailedCall();
      return;
    default:
      return;
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
  Goto(kNextFax);
}

void TFaxSenderMachine::FailedCall() {
  FaxCommonData& c = s_.common;
  CloseFiles();
  responses_.Clear();
  ReportFaxLog(s_, TFaxLogCode::lfaxTransmitFail);
  HangUpModem(s_);
  UseNormalBaud(s_, false);
  // A device that has gone cannot dial the next fax.
  if (userAbort_ || c.deviceGone || (c.options & (foExitOnError | foAbortNoConnect))) {
    SetFaxStatus(s_, fsUserAbort);
    ReportFaxStatus(s_, false, true);
    Goto(kFinished);
    FinishFaxSession(s_);
    return;
  }
  Goto(kNextFax);
}

}  // namespace tv
