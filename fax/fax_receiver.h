// The receiver state machine: waits for calls, answers on the wanted ring,
// negotiates (Class 1 by its own T.30 frames, Class 2 and 2.0 through the
// modem's +F reports), asks the component to accept the caller and writes
// every received page into an APF file the component names.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "fax/class1_frames.h"
#include "fax/fax_session.h"
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

  int State() const { return session_.state; }
  bool Finished() const;

 private:
  enum class Event { kData, kTimer, kOther };

  void Step(Event event);
  bool Collects(int state) const;
  bool RunsAtOnce(int state) const;
  bool WaitsForEvent(int state) const;

  // Handles a line before the state sees it; false when the call ended or
  // the state should not see it.
  bool PreviewLine(const std::string& line);
  void ReplyTimeout();

  void StepSetUp(const std::string& line);
  void StepWaitForRing(const std::string& line);
  void StepClass1(const std::string& line);
  // The caller's frames after AT+FRH=3, acted on once the modem confirmed them.
  void StepFrames(ResponseCollector::Got got, const std::string& text);
  void CallerFrame(const ReceivedFrame& frame);
  void CallerCommand(std::uint8_t type);
  void StepClass2(const std::string& line);
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
  int FinishPage();
  int CutPage();
  int FlushPageBuffer();
  void StorePageByte(std::uint8_t byte, bool reverse);
  void CloseFile();
  void EndCall(int code);
  void GiveUpCall(int code);
  void EndCallSilently(int code);
  bool CanSendDcn() const;
  void SendDcn();
  void Goto(int state) { session_.state = state; }
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
  std::deque<std::string> setUpCommands_;  // the set-up commands still to send
  bool fileOpen_ = false;
  bool pageOpen_ = false;       // a page header is written and the page not finished
  bool pageDataEnded_ = false;  // its data ended with DLE ETX
  bool pageConfirmed_ = true;   // MCF went out for the last page received
  bool callAccepted_ = false;
  bool answered_ = false;  // a Class 1 caller is on the line: a failure tells it with DCN
  bool failing_ = false;
  AfterPage afterPage_ = AfterPage::kEnd;  // what the caller said follows the last page
  int commandRepeats_ = 0;  // commands answered since the last training or page
  DleDecoder dle_;  // training and page data
  bool userAbort_ = false;
  int disRepeats_ = 0;
  EventTimer ringWindow_;       // the next RING of the same call comes before its end
  TrainingCheck training_;
  std::vector<std::uint8_t> pageBuffer_;
};

}  // namespace tv
