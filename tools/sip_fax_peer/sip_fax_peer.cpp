// sip_fax_peer: a fax machine on SIP, the far end of the SIP line's tests.
//
// Its fax machine is spandsp's: a T.38 terminal when the call's medium is
// T.38, an audio fax terminal on G.711 otherwise; its SIP side is the SIP
// line's own endpoint (libre, and the program's UDPTL). With --answer it
// answers calls and stores the pages it receives in a TIFF file; with
// --call USER@HOST:PORT it calls and sends a TIFF file. With --no-t38 it
// has G.711 only and refuses every offer of T.38 with 488: a call that
// offers it at once, and a move to it. With --reinvite it calls and answers on G.711
// and moves the call to T.38 half a second later by a re-INVITE; with
// --busy it refuses every call with 486 Busy Here. With --registrar
// USER:PASSWORD it is a registrar as well, which challenges every REGISTER
// (digest, 401) and takes only that user's password. --loss PERCENT drops
// that share of the T.38 datagrams each way (seeded by --seed N).
// --hang-up-after SECONDS ends the call (BYE) that long into it, of line
// time; --refresh-after SECONDS refreshes the session then (a re-INVITE on
// the same medium), as session timers do in the middle of a page, and
// --update-after SECONDS by an UPDATE.
//
// It listens on 127.0.0.1 only and prints "ready PORT" once it takes calls;
// at the end of the call one line "result CODE pages N medium MEDIUM remote
// "ID" TEXT", and exits 0 when the fax went through. --speed X runs its line
// time X times as fast as the clock; --timeout gives up after that many
// seconds of the clock.
#include <re.h>
#include <spandsp.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "line/sip_endpoint.h"

namespace {

using Clock = std::chrono::steady_clock;
using tv::SipEndpoint;
using tv::SipMedium;

constexpr int kStepSamples = SipEndpoint::kAudioSamples;
constexpr double kStepMs = 20;
constexpr int kAnswerAfterSteps = 50;  // 1 s of ringing
constexpr int kReinviteAfterSteps = 25;  // 0.5 s into the call
// After a BYE the fax machine has this long to finish (phase E) by itself.
constexpr int kEndGraceSteps = 100;

struct Options {
  int port = 0;
  std::string user = "peer";
  std::string ident = "SIP PEER";
  std::string answerFile;
  std::string callTo;  // USER@HOST:PORT
  std::string sendFile;
  bool t38 = true;
  bool audioFirst = false;
  bool reinvite = false;
  bool busy = false;
  int refusal = 488;
  std::string registrar;  // USER:PASSWORD
  double lossPercent = 0;
  double hangUpAfter = 0;  // seconds of line time into the call; 0: never
  double refreshAfter = 0;
  double updateAfter = 0;
  unsigned seed = 1;
  int redundancy = 3;
  double speed = 1;
  int timeoutSeconds = 120;
  bool log = false;
};

[[noreturn]] void Usage(const std::string& why) {
  std::fprintf(stderr,
               "sip_fax_peer: %s\n"
               "usage: sip_fax_peer (--answer OUT.tif | --call USER@HOST:PORT --send IN.tif) [--port N] [--user NAME]\n"
               "                    [--ident ID] [--no-t38 [--refuse-with STATUS] | --audio-first | --reinvite | --busy]\n"
               "                    [--redundancy N] [--speed X] [--registrar USER:PASSWORD] [--loss PERCENT] [--seed N]\n"
               "                    [--hang-up-after SECONDS] [--refresh-after SECONDS] [--update-after SECONDS]\n"
               "                    [--timeout SECONDS] [--log]\n",
               why.c_str());
  std::exit(2);
}

Options ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Usage("missing value after " + arg);
      return argv[++i];
    };
    if (arg == "--answer") {
      o.answerFile = value();
    } else if (arg == "--call") {
      o.callTo = value();
    } else if (arg == "--send") {
      o.sendFile = value();
    } else if (arg == "--port") {
      o.port = std::atoi(value().c_str());
    } else if (arg == "--user") {
      o.user = value();
    } else if (arg == "--ident") {
      o.ident = value();
    } else if (arg == "--no-t38") {
      o.t38 = false;
    } else if (arg == "--refuse-with") {
      o.refusal = std::atoi(value().c_str());
      if (o.refusal < 400 || o.refusal > 699) Usage("--refuse-with needs a SIP status of 400 to 699");
    } else if (arg == "--audio-first") {
      o.audioFirst = true;
    } else if (arg == "--reinvite") {
      o.reinvite = true;
    } else if (arg == "--busy") {
      o.busy = true;
    } else if (arg == "--loss") {
      o.lossPercent = std::atof(value().c_str());
      if (o.lossPercent < 0 || o.lossPercent > 100) Usage("--loss needs a percentage");
    } else if (arg == "--hang-up-after") {
      o.hangUpAfter = std::atof(value().c_str());
      if (o.hangUpAfter <= 0) Usage("--hang-up-after needs a number of seconds");
    } else if (arg == "--refresh-after") {
      o.refreshAfter = std::atof(value().c_str());
      if (o.refreshAfter <= 0) Usage("--refresh-after needs a number of seconds");
    } else if (arg == "--update-after") {
      o.updateAfter = std::atof(value().c_str());
      if (o.updateAfter <= 0) Usage("--update-after needs a number of seconds");
    } else if (arg == "--seed") {
      o.seed = static_cast<unsigned>(std::strtoul(value().c_str(), nullptr, 10));
      if (o.seed == 0) Usage("--seed needs a number above 0");
    } else if (arg == "--registrar") {
      o.registrar = value();
      if (o.registrar.find(':') == std::string::npos) Usage("--registrar needs USER:PASSWORD");
    } else if (arg == "--redundancy") {
      o.redundancy = std::atoi(value().c_str());
    } else if (arg == "--speed") {
      o.speed = std::atof(value().c_str());
      if (o.speed <= 0) Usage("--speed needs a positive number");
    } else if (arg == "--timeout") {
      o.timeoutSeconds = std::atoi(value().c_str());
    } else if (arg == "--log") {
      o.log = true;
    } else {
      Usage("unknown option " + arg);
    }
  }
  if (o.audioFirst + o.reinvite + o.busy + !o.t38 > 1) {
    Usage("give at most one of --no-t38, --audio-first, --reinvite and --busy");
  }
  if (o.answerFile.empty() == o.callTo.empty()) Usage("give exactly one of --answer and --call");
  if (!o.callTo.empty() && (o.sendFile.empty() || o.callTo.find('@') == std::string::npos)) {
    Usage("--call needs USER@HOST:PORT and --send IN.tif");
  }
  // A test peer: it never leaves this computer.
  if (!o.callTo.empty() && o.callTo.compare(o.callTo.find('@') + 1, 10, "127.0.0.1:") != 0) {
    Usage("--call takes USER@127.0.0.1:PORT only");
  }
  return o;
}

constexpr char kRealm[] = "sip_fax_peer";

// Takes REGISTER requests: a challenge for one without credentials, 200 for
// the right user and password, 403 for any other.
class Registrar {
 public:
  Registrar(struct sip* stack, const std::string& userAndPassword)
      : stack_(stack),
        user_(userAndPassword.substr(0, userAndPassword.find(':'))),
        password_(userAndPassword.substr(userAndPassword.find(':') + 1)) {
    sip_listen(&listener_, stack_, true, &OnRequest, this);
  }
  ~Registrar() { mem_deref(listener_); }

 private:
  static bool OnRequest(const sip_msg* msg, void* arg) {
    auto* self = static_cast<Registrar*>(arg);
    if (pl_strcmp(&msg->met, "REGISTER") != 0) return false;
    const sip_hdr* authorization = sip_msg_hdr(msg, SIP_HDR_AUTHORIZATION);
    if (!authorization) {
      sip_treplyf(nullptr, nullptr, self->stack_, msg, false, 401, "Unauthorized",
                  "WWW-Authenticate: Digest realm=\"%s\", nonce=\"%08x\", algorithm=MD5\r\n"
                  "Content-Length: 0\r\n\r\n",
                  kRealm, rand_u32());
      return true;
    }
    httpauth_digest_resp response{};
    std::uint8_t ha1[16];
    const bool right = httpauth_digest_response_decode(&response, &authorization->val) == 0 &&
                       pl_strcmp(&response.username, self->user_.c_str()) == 0 &&
                       md5_printf(ha1, "%s:%s:%s", self->user_.c_str(), kRealm, self->password_.c_str()) == 0 &&
                       httpauth_digest_response_auth(&response, &msg->met, ha1) == 0;
    if (!right) {
      sip_treply(nullptr, self->stack_, msg, 403, "Forbidden");
      return true;
    }
    const sip_hdr* contact = sip_msg_hdr(msg, SIP_HDR_CONTACT);
    if (contact) {
      sip_treplyf(nullptr, nullptr, self->stack_, msg, false, 200, "OK",
                  "Contact: %r;expires=600\r\nContent-Length: 0\r\n\r\n", &contact->val);
    } else {
      sip_treply(nullptr, self->stack_, msg, 200, "OK");
    }
    return true;
  }

  struct sip* stack_;
  sip_lsnr* listener_ = nullptr;
  std::string user_;
  std::string password_;
};

// The fax machine and the call it is on.
class Peer {
 public:
  explicit Peer(Options options) : options_(std::move(options)) {
    tv::SipAccount account;
    account.user = options_.user;
    account.domain = options_.callTo.empty() ? "127.0.0.1" : options_.callTo.substr(options_.callTo.find('@') + 1);
    account.registers = false;
    account.localPort = options_.port;
    account.t38 = options_.t38;
    account.redundancy = options_.redundancy;
    SipEndpoint::Handlers handlers;
    handlers.ringing = [this] {
      if (options_.busy) {
        endpoint_->HangUp();  // 486
      } else {
        ringingSteps_ = 0;
      }
    };
    handlers.answered = [this] { StartFax(); };
    handlers.mediumChanged = [this](SipMedium) { StartFax(); };
    handlers.ended = [this](const tv::SipCallEnd& end) { CallEnded(end); };
    handlers.ifp = [this](std::uint16_t sequence, const tv::IfpPacket& ifp) {
      if (t38_) {
        t38_core_rx_ifp_packet(t38_terminal_get_t38_core_state(t38_), ifp.data(), static_cast<int>(ifp.size()),
                               sequence);
      }
    };
    if (options_.log) handlers.log = [](const std::string& line) { std::fprintf(stderr, "sip: %s\n", line.c_str()); };
    endpoint_ = std::make_unique<SipEndpoint>(account, std::string(), std::move(handlers));
    endpoint_->SetT38Later(options_.audioFirst || options_.reinvite);
    endpoint_->RefuseT38With(options_.t38 ? 0 : options_.refusal);
    endpoint_->SimulateLoss(options_.lossPercent / 100, options_.seed);
    tmr_init(&tick_);
  }

  ~Peer() {
    registrar_.reset();
    tmr_cancel(&tick_);
    FreeFax();
  }

  bool Start() {
    std::string problem;
    if (!endpoint_->Start(problem)) {
      std::fprintf(stderr, "sip_fax_peer: %s\n", problem.c_str());
      return false;
    }
    if (!options_.registrar.empty()) registrar_ = std::make_unique<Registrar>(endpoint_->Stack(), options_.registrar);
    std::printf("ready %u\n", endpoint_->SipPort());
    std::fflush(stdout);
    deadline_ = Clock::now() + std::chrono::seconds(options_.timeoutSeconds);
    next_ = Clock::now();
    if (!options_.callTo.empty() && !endpoint_->Call(options_.callTo.substr(0, options_.callTo.find('@')))) {
      Finish(-1, "the call could not start");
      return true;
    }
    Tick(this);
    return true;
  }

  int ExitCode() const { return completion_ == T30_ERR_OK ? 0 : 1; }

 private:
  static void Tick(void* arg) {
    auto* self = static_cast<Peer*>(arg);
    if (Clock::now() > self->deadline_) {
      self->Finish(-1, "timed out");
      return;
    }
    self->Step();
    if (self->done_) return;
    self->next_ += std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(kStepMs / self->options_.speed));
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(self->next_ - Clock::now()).count();
    tmr_start(&self->tick_, static_cast<std::uint64_t>(std::max<long long>(wait, 0)), &Tick, self);
  }

  void Step() {
    if (phaseEDone_) {
      Finish(completion_, t30_completion_code_to_str(completion_));
      return;
    }
    if (ringingSteps_ >= 0 && ++ringingSteps_ == kAnswerAfterSteps) {
      ringingSteps_ = -1;
      if (endpoint_->Answer()) StartFax();
    }
    if (reinviteSteps_ >= 0 && ++reinviteSteps_ == kReinviteAfterSteps) {
      reinviteSteps_ = -1;
      endpoint_->OfferT38();
    }
    if (callSteps_ >= 0 && ++callSteps_ == StepsIn(options_.refreshAfter)) endpoint_->Refresh();
    if (callSteps_ >= 0 && callSteps_ == StepsIn(options_.updateAfter)) endpoint_->Refresh(true);
    if (callSteps_ >= 0 && callSteps_ == StepsIn(options_.hangUpAfter)) {
      endpoint_->HangUp();  // BYE
      Finish(-1, "hung up");
      return;
    }
    if (endGraceSteps_ >= 0 && ++endGraceSteps_ == kEndGraceSteps) {
      t30_terminate(T30());  // phase E follows at once
      return;
    }
    if (t38_) {
      t38_terminal_send_timeout(t38_, kStepSamples);
    } else if (audio_) {
      std::int16_t samples[kStepSamples];
      const int made = fax_tx(audio_, samples, kStepSamples);
      std::fill(samples + made, samples + kStepSamples, 0);
      endpoint_->SendAudio(samples);
      endpoint_->TakeAudio(samples);
      fax_rx(audio_, samples, kStepSamples);
    }
  }

  // Steps in so many seconds of line time; never, for none.
  static int StepsIn(double seconds) { return seconds > 0 ? static_cast<int>(seconds * 1000 / kStepMs) : -1; }

  // A fax machine for the call's medium, from the start of T.30: a call
  // moves to T.38 before the machines have said anything that counts.
  void StartFax() {
    if (callSteps_ < 0) callSteps_ = 0;
    FreeFax();
    medium_ = endpoint_->Medium();
    if (options_.reinvite && medium_ != SipMedium::kT38) reinviteSteps_ = 0;
    const bool calling = !options_.callTo.empty();
    if (medium_ == SipMedium::kT38) {
      t38_ = t38_terminal_init(nullptr, calling, &T38Tx, this);
      t38_terminal_set_config(t38_, 0);
      t38_set_t38_version(t38_terminal_get_t38_core_state(t38_), 0);
    } else {
      audio_ = fax_init(nullptr, calling);
      fax_set_transmit_on_idle(audio_, 1);
    }
    t30_state_t* t30 = T30();
    t30_set_tx_ident(t30, options_.ident.c_str());
    t30_set_supported_modems(t30, T30_SUPPORT_V27TER | T30_SUPPORT_V29 | T30_SUPPORT_V17);
    t30_set_supported_resolutions(t30, T30_SUPPORT_STANDARD_RESOLUTION | T30_SUPPORT_FINE_RESOLUTION);
    t30_set_ecm_capability(t30, 0);
    if (calling) {
      t30_set_tx_file(t30, options_.sendFile.c_str(), -1, -1);
    } else {
      t30_set_rx_file(t30, options_.answerFile.c_str(), -1);
    }
    t30_set_phase_e_handler(t30, &PhaseE, this);
    if (options_.log) {
      logging_state_t* log = t30_get_logging_state(t30);
      span_log_set_level(log, SPAN_LOG_SHOW_SEVERITY | SPAN_LOG_SHOW_PROTOCOL | SPAN_LOG_SHOW_TAG | SPAN_LOG_FLOW);
      span_log_set_tag(log, "peer");
    }
  }

  t30_state_t* T30() const {
    return t38_ ? t38_terminal_get_t30_state(t38_) : audio_ ? fax_get_t30_state(audio_) : nullptr;
  }

  void FreeFax() {
    if (t38_) t38_terminal_free(t38_);
    if (audio_) fax_free(audio_);  // closes the TIFF file
    t38_ = nullptr;
    audio_ = nullptr;
  }

  void CallEnded(const tv::SipCallEnd& end) {
    if (T30()) {
      endGraceSteps_ = 0;  // the fax machine may still be finishing
      return;
    }
    Finish(-1, end.text);
  }

  void Finish(int completion, const std::string& text) {
    if (done_) return;
    done_ = true;
    completion_ = completion;
    t30_stats_t stats{};
    std::string remote;
    if (t30_state_t* t30 = T30()) {
      t30_get_transfer_statistics(t30, &stats);
      if (const char* ident = t30_get_rx_ident(t30)) remote = ident;
    }
    std::printf("result %d pages %d medium %s remote \"%s\" %s\n", completion, std::max(stats.pages_rx, stats.pages_tx),
                tv::SipMediumName(medium_), remote.c_str(), text.c_str());
    std::fflush(stdout);
    tmr_cancel(&tick_);
    if (endpoint_->InCall()) endpoint_->HangUp();
    FreeFax();
    re_cancel();
  }

  // The machine may not be freed inside its own handler: the next step
  // finishes.
  static void PhaseE(t30_state_t*, void* user, int completion) {
    auto* self = static_cast<Peer*>(user);
    self->completion_ = completion;
    self->phaseEDone_ = true;
  }

  static int T38Tx(t38_core_state_t*, void* user, const uint8_t* bytes, int length, int copies) {
    static_cast<Peer*>(user)->endpoint_->SendIfp(bytes, length, copies);
    return 0;
  }

  Options options_;
  std::unique_ptr<SipEndpoint> endpoint_;
  std::unique_ptr<Registrar> registrar_;
  tmr tick_{};
  Clock::time_point next_;
  Clock::time_point deadline_;
  t38_terminal_state_t* t38_ = nullptr;
  fax_state_t* audio_ = nullptr;
  SipMedium medium_ = SipMedium::kNone;
  int ringingSteps_ = -1;
  int endGraceSteps_ = -1;
  int reinviteSteps_ = -1;
  int callSteps_ = -1;  // since the call began
  bool phaseEDone_ = false;
  int completion_ = -1;
  bool done_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  libre_init();
  int code = 1;
  {
    Peer peer(options);
    if (peer.Start()) {
      re_main(nullptr);
      code = peer.ExitCode();
    }
  }
  libre_close();
  return code;
}
