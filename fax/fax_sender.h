// The sender state machine: one fax after another for a send component.
// For each it asks for the next fax, opens its files, sets the modem up for
// the class in use, dials with redial, negotiates (Class 1: its own T.30
// frames; Class 2 and 2.0: +F commands), sends an optional cover page and
// every page with a header line, handles each post-page answer and hangs up.
//
// The states are grouped by the phases of a call; each group has one step
// function. Set-up, dialling, page transfer and the end of a fax are shared
// by the classes (fax_sender.cpp); Class 1 negotiation and post-page
// (sender_class1.cpp) and Class 2 and 2.0 negotiation and page end
// (sender_class2.cpp) share nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fax/ecm_frames.h"
#include "fax/fax_session.h"
#include "fax/header_tags.h"
#include "fax/modem_prep.h"
#include "fax/modem_responses.h"
#include "fax/outgoing_page.h"
#include "fax/post_page.h"
#include "image/fax_font.h"
#include "image/t4_coding.h"

namespace tv {

class TFaxSenderMachine {
 public:
  explicit TFaxSenderMachine(FaxSession& session) : s_(session) {}
  TFaxSenderMachine(const TFaxSenderMachine&) = delete;
  TFaxSenderMachine& operator=(const TFaxSenderMachine&) = delete;

  // The machine to hand to StartFaxSession together with PrepareSender.
  FaxMachine Machine();

  // One event: msg is the trigger message (FaxMsgAbort to abort), handle the
  // trigger handle.
  void Run(std::uint16_t msg, int handle);

  bool Finished() const;

  enum State : int {
    // Set-up and dialling.
    kNextFax = 1,      // ask for the next fax and open its files
    kSelectClass,      // the first page's resolution; the class command
    kSetUpCommand,     // each OK sends the next set-up command
    kDial,
    kRedialWait,
    // Class 1 negotiation.
    kGetDis,           // the answerer's frames after the dial
    kSendTsi,
    kSendDcs,
    kDcsSent,
    kTrainingConnect,
    kTrainingSent,
    kGetCfr,
    kCancelReception,  // a frame reception given up; then a command goes again
    kPageConnect,
    // Class 2 and 2.0 negotiation.
    kClass2Connect,    // the dial's answer up to the connect report
    kClass2Session,    // reports and OK, then AT+FDT and its CONNECT
    kClass2NewParameters,  // the session parameters again: for a far end without fine, or a new document
    kWaitForXon,       // Class 2: the modem's XON before page data, often in the same read as CONNECT
    // Page transfer.
    kWaitForOutputSpace,
    kPageStart,        // the line start and the header line
    kOpenCover,
    kTextCover,
    kPageBegin,
    kPageData,
    kPageDrain,        // the last bytes of the page leave the port
    // Class 1 post-page.
    kPageSent,
    kSendPostPage,
    kPostPageConnect,
    kPostPageSent,
    kGetPostPageAnswer,
    kEcmReceiverBusy,  // the far end said RNR: RR after a pause
    // Class 2 and 2.0 post-page.
    kClass2PageEnd,
    kClass2PageSent,      // Class 2: OK for the page, then AT+FET
    kClass2PageResult,    // Class 2: +FPTS, +FHNG and OK after AT+FET
    kClass2_0PageResult,  // Class 2.0: +FPS, +FHS and OK after the page mark
    kClass2PageRefused,
    kNextPageOrDone,
    // Hang-up and the end of a fax.
    kSendDcn,
    kDcnSent,
    kHangUp,
    kFaxDone,
    kNoMoreFaxes,
    kFailed,
    kFinished,
  };

 private:
  // kOutputDrained: the output queue is down to the level last armed.
  enum class Event { kData, kReplyTimer, kOutputSpace, kOutputDrained };
  enum class Phase { kSetUp, kClass1Negotiation, kClass2Negotiation, kPageTransfer, kClass1PostPage,
                     kClass2PostPage, kEnd };
  // After a step: wait for the next event, run again while data is waiting,
  // or run the next step at once.
  enum class Then { kWait, kNowIfData, kNow };
  struct StateInfo {
    Phase phase;
    bool collects;  // reads modem lines and frames on data events
    Then then;
  };
  static const StateInfo& Info(int state);

  Event Classify(std::uint16_t msg, int handle) const;

  // One step function per phase. `got` and `text` are the collector's
  // result for a data event in a collecting state (kNothing otherwise).
  using Got = ResponseCollector::Got;
  void StepSetUp(Event event, Got got, const std::string& text);
  void StepClass1Negotiation(Event event, Got got, const std::string& text);
  void StepClass2Negotiation(Event event, Got got, const std::string& text);
  void StepPageTransfer(Event event, Got got, const std::string& text);
  void StepClass1PostPage(Event event, Got got, const std::string& text);
  void StepClass2PostPage(Event event, Got got, const std::string& text);
  void StepEnd(Event event, Got got, const std::string& text);

  // What every collecting state does with ERROR and hang-up reports;
  // false when the call ended.
  bool PreviewLine(const std::string& line);
  bool DialResult(const std::string& line);
  void Redial(int code, int waitingStatus);

  // Class 1 frames.
  void AskForFrame();
  void AskForFrameAgain();
  void AnswererFrames(FrameReception::Result result, const std::string& text);
  bool CommandAnswer(FrameReception::Result result, const std::string& text, State resend);
  void CommandAnswerTimedOut(State resend);
  void TrainingAnswer(const ReceivedFrame& frame);
  void PostPageAnswer(const ReceivedFrame& frame);
  void PageConfirmed(bool retrain);

  // Class 1 with error correction: a page goes as bursts of frames, each
  // followed by a post-page command (PPS, or RR, CTC or EOR) at V.21.
  void StartClass1Page(bool fullTraining = false);
  void SendPostPageCommand();
  void SendPostPageFrame();
  void EcmAnswer(const ReceivedFrame& frame);
  void EcmPprLimit();
  void NoAnswerToCommand(State resend);
  void RetryCommand(State resend);
  bool TakeDis(const ReceivedFrame& frame);
  void StepDownAndTrainAgain();

  // Class 2 and 2.0.
  bool Class2Report(const std::string& line, const std::string& suffix) const;
  // The session-parameters command for the page to send; the modem holds
  // that format from then on.
  std::string Class2SessionParameters();
  bool PageStatusReport(const std::string& line);

  // Set-up, pages and the end of a fax.
  void StartFax();
  void SelectClass();
  void Dial();
  void StartPageTransfer(std::int32_t startTicks);
  void PageStart();
  void OpenCover();
  void TextCoverPage();
  void PageData();
  void EndPageData();
  void SendBytesWhole(std::span<const std::uint8_t> bytes);
  // The page to send, coded whole in the session's coding (header line,
  // then the cover or the file's page): for 2-D coding and error correction.
  int ComposePage(std::vector<std::uint8_t>& coded);
  bool ComposesPage() const { return IsClass1() && s_.modem.params.coding != T4Coding::kMh; }
  // modemSaidOk: the modem's OK for a Class 1 page came with the last bytes.
  void PageEnd(bool modemSaidOk);
  void AdvancePage();
  void RestartPage();
  void FaxDone();
  void FailedCall();
  void EndCall(int code);
  void EndCallSilently(int code);

  // Files and drawing.
  bool MorePages() const;
  // A page's resolution and width as it goes out.
  struct PageFormat {
    bool fine = false;
    bool wide = false;
    bool operator==(const PageFormat&) const = default;
  };
  PageFormat SentFormat() const { return {SendsFine(), wide_}; }
  // What follows the page being sent: a page of another format starts a
  // new document, negotiated for it.
  AfterPage AfterThisPage() const;
  int GoToPage(const std::string& file, int page);
  void TakePageResolution();
  bool SendsFine() const { return fine_ && !reduce_; }
  HeaderValues PageHeaderValues() const;
  // Codes the rows of a line of text, each handed to `put` (0 or an error).
  int DrawTextLine(const FaxFont& font, const std::string& text,
                   const std::function<int(std::span<const std::uint8_t>)>& put);
  int SendTextLine(const FaxFont& font, const std::string& text);
  int ReadCoverText();
  void ArmOutputSpace();
  void ArmOutputAtMost(int bytes);
  void CloseFiles();
  void SoftwareFlow(bool on);
  bool IsClass1() const { return s_.common.faxClass == TFaxClass::fcClass1; }
  void Goto(State state) { s_.state = state; }
  State At() const { return static_cast<State>(s_.state); }

  FaxSession& s_;
  ResponseCollector responses_;
  FrameReception frames_;
  ModemSetUp setUp_;
  bool userAbort_ = false;
  bool failing_ = false;    // the call failed; a DCN on the way out
  bool afterNoCarrier_ = false;  // the modem's last line was NO CARRIER
  bool connected_ = false;  // the far end answered as a fax: a failure sends DCN
  int commandTries_ = 0;    // DCS with training, or the post-page message, sent for one answer
  State afterCancel_ = kSendTsi;
  bool arrivalExtended_ = false;

  OutgoingPage page_;
  std::vector<std::uint8_t> pageBytes_;
  bool coverIsApf_ = false;
  std::vector<std::string> coverLines_;  // a text cover, in the fax character set
  std::size_t coverLine_ = 0;            // the next one to send
  bool fine_ = false;    // the page to send is stored at fine resolution
  bool wide_ = false;
  bool reduce_ = false;  // the far end takes no fine: fine pages go out at standard
  bool resendSessionParameters_ = false;  // Class 2: the modem still has the fine ones
  PageFormat sessionFormat_;              // what the last DCS or session parameters named
  AfterPage afterPage_ = AfterPage::kEnd;  // what follows the page just sent
  bool composed_ = false;  // pageBytes_ hold the whole page
  T4LineCoder coder_;
  std::optional<FaxFont> coverFont_;

  // Error correction.
  EcmOutgoingPage ecmPage_;
  std::uint8_t postPageCommand_ = kFcfPPS;
  int pagesConfirmed_ = 0;    // the page counter of PPS
  std::optional<EventTimer> notReady_;  // T5, from the first RNR of a block
};

}  // namespace tv
