// Random modem answers and frames for the fax state machines: whatever the
// simulated modem says, the machine must neither crash nor hang, and must
// end in its finished state once it is aborted.
//
// Input: a selector byte (its value mod 3: Class 1, 2 or 2.0; bit 2: the
// sender instead of the receiver), then the modem's answers, each a length
// byte and its bytes; every command or frame the program writes is answered
// with the next one.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "comm/dispatcher.h"
#include "comm/sim_modem.h"
#include "fax/fax_receiver.h"
#include "fax/fax_sender.h"
#include "fax/fax_session.h"
#include "image/apf_file.h"
#include "platform/clock.h"
#include "platform/ui_thread.h"

namespace {

// Answers the machine's questions as a component would: accept every call
// and receive into one scratch file; send one small fax.
class Component : public tv::FaxSessionTarget {
 public:
  Component(std::string receiveFile, std::string sendFile)
      : receiveFile_(std::move(receiveFile)), sendFile_(std::move(sendFile)) {}
  int FaxMessage(tv::FaxMessage message, int, tv::FaxSession& session) override {
    switch (message) {
      case tv::FaxMsgName:
        session.common.faxFile = receiveFile_;
        return 0;
      case tv::FaxMsgAccept:
        return 1;
      case tv::FaxMsgNextFax:
        if (faxGiven_) return 0;
        faxGiven_ = true;
        session.common.phoneNumber = "1";
        session.common.faxFile = sendFile_;
        return 1;
      case tv::FaxMsgFinish:
        finished = true;
        return 0;
      default:
        return 0;
    }
  }
  bool finished = false;

 private:
  std::string receiveFile_;
  std::string sendFile_;
  bool faxGiven_ = false;
};

// A one-page fax for the sender, made once.
std::string SendFile() {
  static const std::string file = [] {
    const std::string name =
        (std::filesystem::temp_directory_path() / ("fax-fuzz-send-" + std::to_string(getpid()) + ".apf")).string();
    tv::ApfWriter writer;
    const std::uint8_t line[] = {0x00, 0x80, 0xB2, 0x59, 0x01};
    writer.Create(name);
    writer.BeginPage(false, false);
    writer.WriteLine(line, sizeof line);
    writer.EndPage();
    writer.Close("FUZZ");
    return name;
  }();
  return file;
}

// Hands out the scripted answers, one per command or frame written.
class Answers {
 public:
  Answers(const std::uint8_t* data, std::size_t size) {
    for (std::size_t at = 0; at < size;) {
      const std::size_t length = data[at++];
      const std::size_t take = std::min(length, size - at);
      answers_.emplace_back(reinterpret_cast<const char*>(data + at), take);
      at += take;
    }
  }

  void Written(tv::SimModem& modem, std::string_view bytes) {
    std::lock_guard lock(mutex_);
    for (char c : bytes) {
      const bool ends = c == '\r' || (lastWasDle_ && c == '\x03');
      lastWasDle_ = c == '\x10' && !lastWasDle_;
      if (ends && next_ < answers_.size()) modem.Receive(answers_[next_++]);
    }
    lastWrite_ = std::chrono::steady_clock::now();
  }

  // The program has been quiet for a while: answers come only after a write,
  // so nothing but the machine's own time-outs would follow, and those take
  // seconds each.
  bool Spent() {
    std::lock_guard lock(mutex_);
    return std::chrono::steady_clock::now() - lastWrite_ > std::chrono::milliseconds(100);
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> answers_;
  std::size_t next_ = 0;
  bool lastWasDle_ = false;
  std::chrono::steady_clock::time_point lastWrite_ = std::chrono::steady_clock::now();
};

constexpr tv::TFaxClass kClasses[] = {tv::TFaxClass::fcClass1, tv::TFaxClass::fcClass2, tv::TFaxClass::fcClass2_0};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const tv::TFaxClass faxClass = kClasses[data[0] % 3];
  const bool sending = (data[0] & 4) != 0;
  Answers answers(data + 1, size - 1);
  // The simulated modem needs none of the pauses a real one is given.
  tv::SetPauseScale(0);

  tv::HeadlessUiThread ui;
  tv::UiThread::Install(&ui);
  tv::InstallDeviceLayer(tv::SimDeviceLayer());
  tv::SimModem modem("fuzz-fax");
  modem.OnWrite([&](std::string_view bytes) { answers.Written(modem, bytes); });
  const int port = tv::PortOpen("fuzz-fax", tv::kDispatcherThreads, 8192, 8192, 19200, 0, 8, 1);
  if (port <= 0) __builtin_trap();

  const std::string file =
      (std::filesystem::temp_directory_path() / ("fax-fuzz-" + std::to_string(getpid()) + ".apf")).string();
  Component component(file, SendFile());
  auto session = std::make_unique<tv::FaxSession>();
  session->common.port = port;
  session->common.faxClass = faxClass;
  session->common.options = tv::foExitOnError;
  session->common.stationId = "FUZZ";
  session->modem.commands = tv::Class2CommandsFor(faxClass);
  session->target = &component;
  tv::TFaxReceiverMachine receiver(*session);
  tv::TFaxSenderMachine sender(*session);
  // The preparation's synchronous exchanges are the modem-preparation
  // target's business; the machine starts right away.
  tv::StartFaxSession(*session, [](tv::FaxSession& s) { s.state = 1; },
                      sending ? sender.Machine() : receiver.Machine());

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  bool aborted = false;
  while (!component.finished) {
    if (std::chrono::steady_clock::now() > deadline) __builtin_trap();  // the machine hangs
    if (!aborted && answers.Spent()) {
      tv::AbortFaxSession(*session);
      aborted = true;
    }
    ui.WaitForMessages(20);
  }
  if (!(sending ? sender.Finished() : receiver.Finished())) __builtin_trap();
  tv::PortClose(port);
  tv::InstallDeviceLayer(nullptr);
  tv::UiThread::Install(nullptr);
  std::remove(file.c_str());
  return 0;
}
