#include "line/sip_line.h"

#include <re.h>
// The T.38 side of the modem is reached into to set its page data right.
#define SPANDSP_EXPOSE_INTERNAL_STRUCTURES
#include <spandsp.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <future>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "comm/sim_modem.h"
#include "line/sip_account.h"
#include "line/sip_endpoint.h"
#include "line/sip_password.h"
#include "line/sip_thread.h"
#include "platform/ini_file.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace tv {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kStepSamples = SipEndpoint::kAudioSamples;
constexpr double kStepMs = 20;
constexpr int kRingEverySteps = 250;  // 5 s of line time
// Bytes from the program held for the modem before the port is made to wait.
constexpr std::size_t kInboxLimit = 4096;
// The port opens the device right after asking for it.
constexpr auto kOpenWait = std::chrono::seconds(5);

// What ATD gives: the number, with the dialling marks of a phone line gone.
std::string DialledNumber(const char* dialString) {
  std::string number;
  for (const char* c = dialString ? dialString : ""; *c; ++c) {
    if (std::string_view(",;!@WwTtPp -").find(*c) == std::string_view::npos) number += *c;
  }
  return number;
}

// spandsp's T.31 modem (0.0.6) hands the program the non-ECM page data it
// receives over T.38 in the line's bit order, most significant bit first (it
// reverses a copy and passes on the original), where the program, as from
// any modem, wants the first bit in the low bit. The data are reversed here
// on their way in, so that the modem's slip cancels out.
t38_rx_data_handler_t* modemRxData = nullptr;  // the modem's own, the same for every modem

int RxDataInLineOrder(t38_core_state_t* core, void* user, int dataType, int fieldType, const uint8_t* bytes,
                      int length) {
  if ((fieldType != T38_FIELD_T4_NON_ECM_DATA && fieldType != T38_FIELD_T4_NON_ECM_SIG_END) || length <= 0) {
    return modemRxData(core, user, dataType, fieldType, bytes, length);
  }
  std::vector<uint8_t> reversed(static_cast<std::size_t>(length));
  bit_reverse(reversed.data(), bytes, length);
  return modemRxData(core, user, dataType, fieldType, reversed.data(), length);
}

void SetPageDataRight(t31_state_t* modem) {
  t38_core_state_t* core = t31_get_t38_core_state(modem);
  modemRxData = core->rx_data_handler;
  core->rx_data_handler = &RxDataInLineOrder;
}

// Listens on an audio call for a fax machine at the far end: its calling
// tone (CNG) when it calls, the V.21 preamble of its first frames when it
// answers.
class FaxToneWatch {
 public:
  FaxToneWatch()
      : cng_(modem_connect_tones_rx_init(nullptr, MODEM_CONNECT_TONES_FAX_CNG, &Heard, this)),
        preamble_(modem_connect_tones_rx_init(nullptr, MODEM_CONNECT_TONES_FAX_PREAMBLE, &Heard, this)) {}
  ~FaxToneWatch() {
    modem_connect_tones_rx_free(cng_);
    modem_connect_tones_rx_free(preamble_);
  }
  FaxToneWatch(const FaxToneWatch&) = delete;
  FaxToneWatch& operator=(const FaxToneWatch&) = delete;

  // What these samples of the far end completed: "CNG", "V.21 preamble", or
  // nothing.
  const char* Listen(const std::int16_t* samples, int count) {
    modem_connect_tones_rx(cng_, samples, count);
    modem_connect_tones_rx(preamble_, samples, count);
    switch (heard_) {
      case MODEM_CONNECT_TONES_FAX_CNG: return "CNG";
      case MODEM_CONNECT_TONES_FAX_PREAMBLE: return "V.21 preamble";
      default: return nullptr;
    }
  }

 private:
  static void Heard(void* user, int tone, int, int) {
    if (tone != MODEM_CONNECT_TONES_NONE) static_cast<FaxToneWatch*>(user)->heard_ = tone;
  }

  modem_connect_tones_rx_state_t* cng_;
  modem_connect_tones_rx_state_t* preamble_;
  int heard_ = MODEM_CONNECT_TONES_NONE;
};

class SipLine {
 public:
  explicit SipLine(const std::string& name) : modem_(name), section_(SipSection(name)) {
    modem_.OnWrite([this](std::string_view bytes) {
      std::lock_guard lock(inboxMutex_);
      inbox_.append(bytes);
    });
    tmr_init(&tick_);
  }

  SipLine(const SipLine&) = delete;
  SipLine& operator=(const SipLine&) = delete;

  SipMedium LastMedium() const { return lastMedium_; }

  // Runs the line for the port about to open it (on the SIP thread).
  void Start() {
    PostToSipThread([this] {
      if (active_) {
        restart_ = true;  // the last port's call is still being ended
        return;
      }
      Begin();
    });
  }

 private:
  // ------------------------------------------------ on the SIP thread

  void Begin() {
    active_ = true;
    opened_ = false;
    restart_ = false;
    openDeadline_ = Clock::now() + kOpenWait;
    next_ = Clock::now();
    Tick(this);
  }

  // The port has opened the device: the modem and the account come up.
  void Open() {
    opened_ = true;
    log_.open(SipLogPath(), std::ios::app);
    t31_ = t31_init(nullptr, &AtTx, this, &ModemControl, this, &T38Tx, this);
    t31_set_transmit_on_idle(t31_, 1);
    t31_set_t38_config(t31_, 0);  // paced, as on a line
    SetPageDataRight(t31_);
    std::string problem;
    const auto account = ReadSipAccount(IniFile(SettingsFilePath()), section_, problem);
    if (!account) {
      Log(problem);
      return;
    }
    t38_ = account->t38;
    stepPeriod_ = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(kStepMs / account->speed));
    SipEndpoint::Handlers handlers;
    handlers.ringing = [this] {
      ringing_ = true;
      ringStep_ = 0;
    };
    handlers.answered = [this] {
      dialling_ = false;
      askedForT38_ = false;
      UseMedium();
      t31_call_event(t31_, AT_CALL_EVENT_CONNECTED);
    };
    handlers.ended = [this](const SipCallEnd& end) { CallEnded(end); };
    handlers.mediumChanged = [this](SipMedium) { UseMedium(); };
    handlers.ifp = [this](std::uint16_t sequence, const IfpPacket& ifp) {
      t38_core_rx_ifp_packet(t31_get_t38_core_state(t31_), ifp.data(), static_cast<int>(ifp.size()), sequence);
    };
    handlers.log = [this](const std::string& line) { Log(line); };
    std::string password = SipPassword(section_, problem);
    if (account->registers && password.empty()) Log(problem);
    auto endpoint = std::make_unique<SipEndpoint>(*account, std::move(password), std::move(handlers));
    if (!endpoint->Start(problem)) {
      Log(problem);
      return;
    }
    endpoint_ = std::move(endpoint);
  }

  // The port has gone: the call ends and the line stops until the next open.
  void End() {
    tmr_cancel(&tick_);
    endpoint_.reset();  // BYE for a call still up
    if (t31_) t31_free(t31_);
    t31_ = nullptr;
    log_.close();
    modem_.HoldOutput(false);
    {
      std::lock_guard lock(inboxMutex_);
      inbox_.clear();
    }
    active_ = false;
    dialling_ = ringing_ = false;
    if (restart_) Begin();
  }

  static void Tick(void* arg) {
    auto* self = static_cast<SipLine*>(arg);
    if (!self->modem_.IsOpen()) {
      if (self->opened_ || Clock::now() > self->openDeadline_) {
        self->End();
        return;
      }
    } else {
      if (!self->opened_) self->Open();
      self->Step();
    }
    self->next_ += self->stepPeriod_;
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(self->next_ - Clock::now());
    if (wait.count() < -100) self->next_ = Clock::now();  // fell behind: do not rush to catch up
    tmr_start(&self->tick_, static_cast<std::uint64_t>(std::max<long long>(wait.count(), 0)), &Tick, self);
  }

  // 20 ms of line time.
  void Step() {
    const bool hold = PumpFromProgram();
    if (hold != held_) modem_.HoldOutput(held_ = hold);
    FollowDtr();
    if (ringing_ && ringStep_++ % kRingEverySteps == 0) t31_call_event(t31_, AT_CALL_EVENT_ALERTING);
    if (t31_->t38_mode) {
      t31_t38_send_timeout(t31_, kStepSamples);
      return;
    }
    std::int16_t samples[kStepSamples];
    const int made = t31_tx(t31_, samples, kStepSamples);
    std::fill(samples + made, samples + kStepSamples, 0);
    if (endpoint_) {
      endpoint_->SendAudio(samples);
      endpoint_->TakeAudio(samples);
      if (toneWatch_ && endpoint_->InCall()) AskForT38(toneWatch_->Listen(samples, kStepSamples));
    } else {
      std::fill(samples, samples + kStepSamples, 0);
    }
    t31_rx(t31_, samples, kStepSamples);
  }

  // Dropping DTR hangs up, as on a modem.
  void FollowDtr() {
    const bool dtr = modem_.Dtr();
    if (dtrOn_ && !dtr && endpoint_ && endpoint_->InCall()) {
      endpoint_->HangUp();
      dialling_ = ringing_ = false;
      t31_call_event(t31_, AT_CALL_EVENT_HANGUP);
    }
    dtrOn_ = dtr;
  }

  // Gives the modem what the program wrote while it takes bytes; whether the
  // port must hold what it has.
  bool PumpFromProgram() {
    std::lock_guard lock(inboxMutex_);
    std::size_t given = 0;
    while (clearToSend_ && given < inbox_.size()) {
      const std::size_t n = std::min<std::size_t>(512, inbox_.size() - given);
      t31_at_rx(t31_, inbox_.data() + given, static_cast<int>(n));
      given += n;
    }
    inbox_.erase(0, given);
    return !clearToSend_ || inbox_.size() >= kInboxLimit;
  }

  // The modem follows the call's medium. A call that moves between audio
  // and T.38 while the modem sends a tone (the answer tone, by the far end's
  // re-INVITE at the start of a call) has the tone start again in the new
  // medium: one begun in the other would never end there, and with it the
  // modem's wait for it.
  void UseMedium() {
    if (endpoint_->Medium() != SipMedium::kNone) lastMedium_ = endpoint_->Medium();
    const bool t38 = endpoint_->Medium() == SipMedium::kT38;
    if (t38 || !t38_ || askedForT38_) {
      toneWatch_.reset();
    } else if (!toneWatch_) {
      toneWatch_ = std::make_unique<FaxToneWatch>();
    }
    if (t38 == (t31_->t38_mode != 0)) return;
    t31_set_mode(t31_, t38);
    const int modem = t31_->modem;
    if (modem == FAX_MODEM_CED_TONE || modem == FAX_MODEM_CNG_TONE || modem == FAX_MODEM_NOCNG_TONE) {
      // The modem restarts only into another mode: silence first.
      for (const int step : {static_cast<int>(FAX_MODEM_SILENCE_TX), modem}) {
        at_state_t& at = t31_->at_state;
        at.modem_control_handler(&at, at.modem_control_user_data, AT_MODEM_CONTROL_RESTART,
                                 reinterpret_cast<const char*>(static_cast<std::intptr_t>(step)));
      }
    }
  }

  // A fax machine heard on an audio call: the call is moved to T.38 (once;
  // a far end that refuses keeps the fax on G.711).
  void AskForT38(const char* heard) {
    if (!heard) return;
    toneWatch_.reset();
    askedForT38_ = true;
    Log(std::string("heard the far end's ") + heard + " on G.711");
    endpoint_->OfferT38();
  }

  // A far end that hangs up while the modem waits for a command gets NO
  // CARRIER said as well, which spandsp leaves out there.
  void CallEnded(const SipCallEnd& end) {
    int event = AT_CALL_EVENT_HANGUP;
    if (dialling_) {
      if (end.Busy()) event = AT_CALL_EVENT_BUSY;
      if (end.NoAnswer()) event = AT_CALL_EVENT_NO_ANSWER;
    }
    const at_state_t& at = t31_->at_state;
    const bool silent = event == AT_CALL_EVENT_HANGUP && !dialling_ && !ringing_ &&
                        at.at_rx_mode == AT_MODE_OFFHOOK_COMMAND && !at.dte_is_waiting;
    dialling_ = ringing_ = false;
    t31_call_event(t31_, event);
    if (silent) modem_.Receive("\r\nNO CARRIER\r\n");
    // A modem stopped in the middle of sending takes commands again (its
    // flow control would hold them back for good), and off the call it is
    // on audio, where the silence that ends an ATH runs out by itself.
    clearToSend_ = true;
    t31_set_mode(t31_, false);
  }

  void Log(const std::string& line) {
    if (!log_.is_open()) return;
    log_ << LocalTimeText(std::time(nullptr), "%Y-%m-%d %H:%M:%S") << ' ' << modem_.DeviceName() << ": " << line
         << std::endl;
  }

  // ------------------------------------------------ spandsp's callbacks

  static int AtTx(at_state_t*, void* user, const uint8_t* bytes, size_t length) {
    static_cast<SipLine*>(user)->modem_.Receive(std::string_view(reinterpret_cast<const char*>(bytes), length));
    return static_cast<int>(length);
  }

  static int T38Tx(t38_core_state_t*, void* user, const uint8_t* bytes, int length, int copies) {
    auto* self = static_cast<SipLine*>(user);
    if (self->endpoint_) self->endpoint_->SendIfp(bytes, length, copies);
    return 0;
  }

  static int ModemControl(t31_state_t* t31, void* user, int op, const char* number) {
    auto* self = static_cast<SipLine*>(user);
    switch (op) {
      case AT_MODEM_CONTROL_CALL:
        if (!self->endpoint_ || !self->endpoint_->Call(DialledNumber(number))) {
          t31_call_event(t31, AT_CALL_EVENT_HANGUP);
          break;
        }
        self->dialling_ = true;
        break;
      case AT_MODEM_CONTROL_ANSWER:
        self->ringing_ = false;
        self->askedForT38_ = false;
        if (!self->endpoint_ || !self->endpoint_->Answer()) {
          t31_call_event(t31, AT_CALL_EVENT_HANGUP);
          break;
        }
        self->UseMedium();
        t31_call_event(t31, AT_CALL_EVENT_ANSWERED);
        break;
      case AT_MODEM_CONTROL_HANGUP:
      case AT_MODEM_CONTROL_ONHOOK:
        self->dialling_ = self->ringing_ = false;
        if (self->endpoint_ && self->endpoint_->InCall()) self->endpoint_->HangUp();
        break;
      case AT_MODEM_CONTROL_CTS:
        self->clearToSend_ = number != nullptr;
        break;
      default:
        break;
    }
    return 0;
  }

  SimModem modem_;
  const std::string section_;
  std::atomic<SipMedium> lastMedium_ = SipMedium::kNone;
  std::mutex inboxMutex_;
  std::string inbox_;

  // The SIP thread's own.
  tmr tick_{};
  bool active_ = false;
  bool opened_ = false;
  bool restart_ = false;
  Clock::time_point openDeadline_;
  Clock::time_point next_;
  Clock::duration stepPeriod_ = std::chrono::milliseconds(20);
  t31_state_t* t31_ = nullptr;
  std::unique_ptr<SipEndpoint> endpoint_;
  bool t38_ = false;  // the account allows T.38
  std::unique_ptr<FaxToneWatch> toneWatch_;  // on an audio call, until we ask for T.38
  bool askedForT38_ = false;
  std::ofstream log_;
  bool clearToSend_ = true;
  bool held_ = false;
  bool dtrOn_ = false;
  bool dialling_ = false;
  bool ringing_ = false;
  int ringStep_ = 0;
};

// The SIP lines made so far, one per name. Never destroyed: the SIP thread
// may use a line until it stops, at the very end of the program.
std::map<std::string, std::unique_ptr<SipLine>>& SipLines() {
  static auto* const lines = new std::map<std::string, std::unique_ptr<SipLine>>;
  return *lines;
}

std::mutex linesMutex;

bool MakeSipLine(const std::string& name, std::string& error) {
  if (!IsSipDevice(name)) return false;
  std::string problem;
  if (!ReadSipAccount(IniFile(SettingsFilePath()), SipSection(name), problem)) {
    error = problem;
    return true;
  }
  std::lock_guard lock(linesMutex);
  auto& line = SipLines()[name];
  if (!line) line = std::make_unique<SipLine>(name);
  line->Start();
  return true;
}

}  // namespace

bool IsSipDevice(const std::string& name) { return name == kSipDevice || name.rfind("sip:", 0) == 0; }

std::string SipLineMedium(const std::string& deviceName) {
  std::lock_guard lock(linesMutex);
  const auto line = SipLines().find(deviceName);
  if (line == SipLines().end() || line->second->LastMedium() == SipMedium::kNone) return {};
  return SipMediumName(line->second->LastMedium());
}

std::string SipLogPath() { return ProgramFolder() + "SIP.LOG"; }

SipRegistration TestSipAccount(const std::string& deviceName, int timeoutMs) {
  std::string problem;
  auto account = ReadSipAccount(IniFile(SettingsFilePath()), SipSection(deviceName), problem);
  if (!account) return {false, problem};
  account->registers = true;
  account->localPort = 0;  // beside a line that may hold the account's own port
  const std::string registrar = account->registrar.empty() ? account->domain : account->registrar;
  // A registrar that asks for no password needs none; one that asks and
  // gets none is told why in the answer.
  std::string passwordProblem;
  std::string password = SipPassword(SipSection(deviceName), passwordProblem);

  std::promise<SipRegistration> answer;
  std::unique_ptr<SipEndpoint> endpoint;
  bool answered = false;
  RunOnSipThread([&] {
    SipEndpoint::Handlers handlers;
    handlers.registered = [&](int status, const std::string& text) {
      if (answered) return;  // libre goes on refreshing
      answered = true;
      if (status >= 200 && status < 300) {
        answer.set_value({true, "registered with " + registrar + ": " + text});
        return;
      }
      std::string why = (status ? "the registrar " + registrar + " refused: " : "REGISTER to " + registrar + ": ") + text;
      if (!passwordProblem.empty()) why += " (" + passwordProblem + ")";
      answer.set_value({false, why});
    };
    endpoint = std::make_unique<SipEndpoint>(*account, std::move(password), std::move(handlers));
    std::string startProblem;
    if (!endpoint->Start(startProblem)) {
      answered = true;
      answer.set_value({false, startProblem});
    }
  });
  auto future = answer.get_future();
  SipRegistration result;
  if (future.wait_for(std::chrono::milliseconds(timeoutMs)) == std::future_status::ready) {
    result = future.get();
  } else {
    result = {false, "no answer from the registrar " + registrar + " within " + std::to_string(timeoutMs / 1000) +
                         " s"};
  }
  RunOnSipThread([&] {
    answered = true;
    endpoint.reset();
  });
  return result;
}

void InstallSipLine() { SetSimDeviceMaker(kSipDevice, &MakeSipLine); }

}  // namespace tv
