// The receiver state machine: waits for calls, answers on the wanted ring,
// negotiates (Class 1 by its own T.30 frames, Class 2 and 2.0 through the
// modem's +F reports), asks the component to accept the caller and writes
// every received page into an APF file the component names.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fax/class1_frames.h"
#include "fax/fax_session.h"
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

 private:
  enum class Event { kData, kTimer, kOther };
  enum class Collected { kNothing, kLine, kFrame };
  // The page states: what the next page start does.
  enum PageState { kPageOther = 0, kPageOtherPri = 1, kNewPage = 2, kNewFile = 3, kEndOfDocument = 4 };

  void Step(Event event);
  bool Collects(int state) const;
  bool RunsAtOnce(int state) const;
  bool WaitsForEvent(int state) const;

  // The response collector: a CR LF line or a DLE ETX frame.
  Collected Collect(std::string& line);
  // Handles what the collector found before the state sees it; false when
  // the call ended or the state should not see it.
  bool PreviewLine(const std::string& line);
  void HandleFrame(const std::string& frame);
  void ReplyTimeout();

  void StepSetUp(const std::string& line);
  void StepWaitForRing(const std::string& line);
  void StepClass1(const std::string& line);
  // After OK for a received frame: true when it was the block's final
  // frame; otherwise asks the modem for the next one.
  bool FinalFrameArrived();
  void StepClass2(const std::string& line);
  void StepTraining();
  void StepPageData();
  void StepSuccess();
  void StepFailure();

  void AcceptCall();
  void RefuseCall();
  int OpenNewFile();
  int StartPage();
  int FinishPage();
  int CutPage();
  int FlushPageBuffer();
  void CloseFile();
  void EndCall(int code);
  void OtherLine();
  void Goto(int state) { session_.state = state; }
  bool IsClass1() const { return session_.common.faxClass == TFaxClass::fcClass1; }
  bool SoftwareFlow() const { return (session_.common.options & foSoftwareFlow) != 0; }
  bool Report(const std::string& line, const std::string& suffix) const;
  void SendFrameCommand(const char* command);
  // AT+FRM= for the training (the full one) or a page (after a V.17
  // training the page comes with the short one).
  void SendModulationCommand(const char* modulation);

  FaxSession& session_;
  ApfReceiveWriter writer_;
  bool fileOpen_ = false;
  bool pageOpen_ = false;       // a page header is written and the page not finished
  bool pageDataEnded_ = false;  // its data ended with DLE ETX
  int pageState_ = kNewFile;
  bool lastWasDle_ = false;
  bool inFrame_ = false;
  bool userAbort_ = false;
  bool morePages_ = false;
  int disRepeats_ = 0;
  TrainingCheck training_;
  std::vector<std::uint8_t> pageBuffer_;
};

}  // namespace tv
