// The receiver state machine: waits for calls, answers on the wanted ring,
// negotiates (Class 1 by its own T.30 frames, Class 2 and 2.0 through the
// modem's +F reports), asks the component to accept the caller and writes
// every received page into an APF file the component names.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "fax/class1_frames.h"
#include "fax/ecm_frames.h"
#include "fax/fax_session.h"
#include "fax/hdlc.h"
#include "fax/modem_prep.h"
#include "fax/modem_responses.h"
#include "fax/post_page.h"
#include "image/apf_file.h"

namespace tv {

class TFaxReceiverMachine {
 public:
  explicit TFaxReceiverMachine(FaxSession& session) : session_(session) {}
  TFaxReceiverMachine(const TFaxReceiverMachine&) = delete;
  TFaxReceiverMachine& operator=(const TFaxReceiverMachine&) = delete;

  // The machine to hand to StartFaxSession; it refers to this object.
  FaxMachine Machine();

  // One run on a trigger event (msg 0 is the first run, a data event).
  void Run(std::uint16_t msg, int handle);

  bool Finished() const;

  enum State : int {
    // Set-up and waiting for a call.
    kSetUp = 1,
    kSetUpCommand,  // each OK sends the next set-up command
    kWaitForRing,
    kAnswer,
    // Class 1 negotiation.
    kSendCsi,
    kSendDis,
    kGetDcs,                // the caller's TSI and DCS (or its DCN)
    kCancelFrameReception,  // no answer to our DIS: CSI and DIS go again
    kResendIdentity,
    kTrainingConnect,
    kTraining,
    kSendFtt,
    kTrainingEnd,
    kSendCfr,
    kPageConnect,
    // Class 2 and 2.0 negotiation.
    kClass2Connect,
    kClass2Session,
    kClass2PageConnect,
    // Page transfer.
    kStartPage,
    kPageData,
    // Class 1 post-page.
    kPageCarrierEnd,
    kPostPageFrame,
    kFinishClass1Page,
    kSendMcf,         // MCF, or another answer to the command after a page or a block
    kGetDcn,
    kClass1HangUp,
    // Class 2 and 2.0 post-page.
    kClass2PageEnd,
    kClass2HangUp,
    // The end of a call.
    kAbortReception,  // a frame or page reception given up, before our DCN
    kSendDcn,         // a refused or failed call: DCN before the hang-up
    kSuccess,
    kFailure,
    kFinished,
  };

 private:
  enum class Event { kData, kTimer, kOther };
  enum class Phase { kSetUp, kClass1Negotiation, kClass2Negotiation, kPageTransfer, kClass1PostPage,
                     kClass2PostPage, kEnd };
  // What a state reads of the modem's input on data events: nothing (it
  // reads data itself, or needs no input), response lines, or the frames
  // of a frame reception.
  enum class Input { kNone, kLines, kFrames };
  // After a step: wait for the next event, run again while data is waiting,
  // or run the next step at once.
  enum class Then { kWait, kNowIfData, kNow };
  struct StateInfo {
    Phase phase;
    Input input;
    Then then;
  };
  static const StateInfo& Info(int state);

  using Got = ResponseCollector::Got;
  void Step(Event event);
  // One step function per phase. `got` and `text` are the collector's
  // result for a data event in a state with input (kNothing otherwise).
  void StepSetUp(Event event, Got got, const std::string& text);
  void StepClass1Negotiation(Event event, Got got, const std::string& text);
  void StepClass2Negotiation(Event event, Got got, const std::string& text);
  void StepPageTransfer(Event event, Got got, const std::string& text);
  void StepClass1PostPage(Event event, Got got, const std::string& text);
  void StepClass2PostPage(Event event, Got got, const std::string& text);
  void StepEnd(Event event, Got got, const std::string& text);

  // Handles a line before the state sees it; false when the call ended or
  // the state should not see it.
  bool PreviewLine(const std::string& line);
  void ReplyTimeout();

  void SetUpModem();
  void WaitForRing(const std::string& line);
  void CancelFrameReception();
  void ResendIdentity();
  // The caller's frames after AT+FRH=3, acted on once the modem confirmed them.
  void StepFrames(Got got, const std::string& text);
  void CallerFrame(const ReceivedFrame& frame);
  void CallerCommand(std::uint8_t type);
  // Error correction: the commands after a block (PPS, EOR, CTC, RR).
  void EcmCommand(const ReceivedFrame& frame);
  void ReceivePageData();
  void TakeEcmFrame(std::span<const std::uint8_t> octets, bool good);
  void Answer(std::uint8_t fcf, std::vector<std::uint8_t> info = {});
  int StoreEcmPage();
  void Class2NegotiatedReport(const std::string& line);
  void StepTraining();
  void StepPageData();
  void StepSuccess();
  void StepFailure();

  void AskForFrame();
  void TrainingPassed();
  void AcceptCall();
  void RefuseCall();
  void EndOfFax();
  int OpenNewFile();
  int StartPage();
  int CountNewPage();
  int BeginFilePage();
  int FinishPage();
  bool RecodesPage() const;
  int CutPage();
  int FlushPageBuffer();
  void StorePageByte(std::uint8_t byte, bool reverse);
  void CloseFile();
  void EndCall(int code);
  void GiveUpCall(int code);
  void EndCallSilently(int code);
  bool CanSendDcn() const;
  void SendDcn();
  void Goto(State state) { session_.state = state; }
  State At() const { return static_cast<State>(session_.state); }
  bool IsClass1() const { return session_.common.faxClass == TFaxClass::fcClass1; }
  bool SoftwareFlow() const { return (session_.common.options & foSoftwareFlow) != 0; }
  bool Report(const std::string& line, const std::string& suffix) const;
  // AT+FRM= for the training (the full one) or a page (after a V.17
  // training the page comes with the short one).
  void SendModulationCommand(const char* modulation);

  FaxSession& session_;
  ResponseCollector responses_;
  FrameReception frames_;
  ApfReceiveWriter writer_;
  ModemSetUp setUp_;
  bool fileOpen_ = false;
  bool pageOpen_ = false;       // a page header is written and the page not finished
  bool pageDataEnded_ = false;  // its data ended with DLE ETX
  bool pageConfirmed_ = true;   // MCF went out for the last page received
  bool callAccepted_ = false;
  bool answered_ = false;  // a Class 1 caller is on the line: a failure tells it with DCN
  bool failing_ = false;
  bool afterNoCarrier_ = false;  // the modem's last line was NO CARRIER
  AfterPage afterPage_ = AfterPage::kEnd;  // what the caller said follows the last page
  int commandRepeats_ = 0;  // commands answered since the last training or page
  DleDecoder dle_;  // training and page data
  bool userAbort_ = false;
  int disRepeats_ = 0;
  EventTimer ringWindow_;       // the next RING of the same call comes before its end
  TrainingCheck training_;
  std::vector<std::uint8_t> pageBuffer_;
  std::optional<T4RowCheck> rowCheck_;  // over the page as it is stored

  // The answer kSendMcf sends (MCF, PPR, CTR or ERR).
  std::uint8_t answerFcf_ = kFcfMCF;
  std::vector<std::uint8_t> answerInfo_;
  // Error correction.
  EcmIncomingPage ecmPage_;
  bool ecmPageOpen_ = false;  // blocks of a page have come, the page is not yet whole
  HdlcDecoder hdlc_{[this](std::span<const std::uint8_t> octets, bool good) { TakeEcmFrame(octets, good); }};
  std::optional<std::pair<int, int>> confirmedBlock_;  // page and block of the last PPS answered MCF
};

}  // namespace tv
