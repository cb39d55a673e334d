// The sender state machine: one fax after another for a send component.
// For each it asks for the next fax, opens its files, sets the modem up for
// the class in use, dials with busy redial, negotiates (Class 1: its own
// T.30 frames; Class 2 and 2.0: +F commands), sends an optional cover page
// and every page with a header line, handles each post-page answer and hangs
// up.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "fax/fax_session.h"
#include "fax/header_tags.h"
#include "image/apf_file.h"
#include "image/fax_font.h"
#include "image/t4_coding.h"

namespace tv {

class TFaxSenderMachine {
 public:
  explicit TFaxSenderMachine(FaxSession& session) : s_(session) {}

  // The machine to hand to StartFaxSession together with PrepareSender.
  FaxMachine Machine();

  // One event: msg is the trigger message (FaxMsgAbort to abort), handle the
  // trigger handle.
  void Run(std::uint16_t msg, int handle);

 private:
  enum class Event { kData, kReplyTimer, kOutputSpace, kOutputEmpty };
  enum class Then { kWait, kNowIfData, kNow };

  Event Classify(std::uint16_t msg, int handle) const;
  // Collects received bytes into a line or frame; false when neither is complete.
  bool Collect(std::string& line, bool& handled);
  void HandleFrame(std::string_view frame);
  bool CollectingState() const;
  static Then AfterStep(int state);

  void Step(Event event, const std::string& line);
  bool StepClass2Setup(const std::string& line);
  bool StepDialAnswer(const std::string& line);
  bool StepClass2Negotiation(const std::string& line);
  bool StepClass2PageEnd(const std::string& line);
  // A +FPTS / +FPS report: page accepted (stay), page refused (go on to
  // send it again) or the far end gone; false for an unknown status.
  bool PageStatusReport(const std::string& line);
  // CONNECT (a frame follows) or OK before the final frame (ask for the
  // next one); true when the line was one of these.
  bool FrameReceptionLine(const std::string& line);
  void ReplyTimerInCollectingState();

  // State actions.
  void StartFax();
  void SetUpPageAndClass();
  void Dial();
  void BusyRedial();
  void PageStart();
  void OpenCover();
  void TextCoverPage();
  void PageData();
  void PageEnd();
  void PostPageTry();
  void AdvancePage();
  void RestartPage();
  void FaxDone();
  void FailedCall();
  void EndCall(int code);

  // Files and drawing.
  bool MorePages() const;
  int GoToPage(const std::string& file, int page);
  void TakePageResolution();
  HeaderValues PageHeaderValues() const;
  int DrawTextLine(const FaxFont& font, const std::string& text);
  void ArmOutputSpace();
  void ArmOutputEmpty();
  void CloseFiles();
  void SoftwareFlow(bool on);

  FaxSession& s_;
  std::string collectBuffer_;
  bool inFrame_ = false;
  bool lastWasDle_ = false;
  bool lastWasCr_ = false;
  bool userAbort_ = false;

  ApfPageReader page_;
  std::string pageFile_;      // the APF file the reader stands in
  bool coverIsApf_ = false;
  std::ifstream coverText_;
  bool coverTextOpen_ = false;
  bool coverTextUtf8_ = true;
  bool pageDone_ = false;
  bool fine_ = false;
  bool wide_ = false;
  T4LineCoder coder_;
  std::optional<FaxFont> coverFont_;
};

}  // namespace tv
