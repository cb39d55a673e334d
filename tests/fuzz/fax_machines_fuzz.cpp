// Random modem answers and frames for the fax state machines: whatever the
// simulated modem says, the machine must neither crash nor hang, and must
// end in its finished state once it is aborted.
//
// Input: a class byte (0 Class 1, 1 Class 2, 2 Class 2.0), then the modem's
// answers, each a length byte and its bytes; every command or frame the
// program writes is answered with the next one.
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
#include "fax/fax_session.h"
#include "platform/ui_thread.h"

namespace {

// Answers the machine's questions as a component would: accept every call,
// receive into one scratch file.
class Component : public tv::FaxSessionTarget {
 public:
  explicit Component(std::string file) : file_(std::move(file)) {}
  int FaxMessage(tv::FaxMessage message, int, tv::FaxSession& session) override {
    if (message == tv::FaxMsgName) session.common.faxFile = file_;
    if (message == tv::FaxMsgFinish) finished = true;
    return message == tv::FaxMsgAccept ? 1 : 0;
  }
  bool finished = false;

 private:
  std::string file_;
};

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
    return std::chrono::steady_clock::now() - lastWrite_ > std::chrono::milliseconds(300);
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
  Answers answers(data + 1, size - 1);

  tv::HeadlessUiThread ui;
  tv::UiThread::Install(&ui);
  tv::InstallDeviceLayer(tv::SimDeviceLayer());
  tv::SimModem modem("fuzz-fax");
  modem.OnWrite([&](std::string_view bytes) { answers.Written(modem, bytes); });
  const int port = tv::PortOpen("fuzz-fax", tv::kDispatcherThreads, 8192, 8192, 19200, 0, 8, 1);
  if (port <= 0) __builtin_trap();

  const std::string file =
      (std::filesystem::temp_directory_path() / ("fax-fuzz-" + std::to_string(getpid()) + ".apf")).string();
  Component component(file);
  auto session = std::make_unique<tv::FaxSession>();
  session->common.port = port;
  session->common.faxClass = faxClass;
  session->common.options = tv::foExitOnError;
  session->common.stationId = "FUZZ";
  session->modem.commands = tv::Class2CommandsFor(faxClass);
  session->target = &component;
  tv::TFaxReceiverMachine machine(*session);
  // The preparation's synchronous exchanges are the modem-preparation
  // target's business; the machine starts right away.
  tv::StartFaxSession(*session, [](tv::FaxSession& s) { s.state = 1; }, machine.Machine());

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
  if (machine.State() != 37) __builtin_trap();
  tv::PortClose(port);
  tv::InstallDeviceLayer(nullptr);
  tv::UiThread::Install(nullptr);
  std::remove(file.c_str());
  return 0;
}
