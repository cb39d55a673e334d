// virtual_fax_line: a fax line in a box, for testing the fax engine against an
// independent T.30 implementation.
//
// It creates a pseudo-terminal that behaves as a Class 1 fax modem (spandsp's
// T.31 modem) and connects that modem's audio to a spandsp fax terminal, the
// far end. With --answer the far end answers the call the program dials and
// stores the pages it receives in a TIFF file; with --call the line rings
// until the program answers, and the far end sends a TIFF file.
//
// With --call the far end can call several times (--calls N), one call after
// the other, and can hang up in the middle of a page (--drop-on-page N).
//
// It prints "ready DEVICE" once the modem can be opened, and after each call
// one line "result CODE pages N rate BPS starved MS of MS remote "ID" dcn D TEXT";
// it exits 0 when every fax went through. "starved A of B" is the time the
// modem sent page or training data with nothing from the program to send
// (A, in milliseconds) out of the time it sent such data (B); "dcn 1" says
// the program sent the far end a DCN frame.
//
// With --speed X the line's time runs X times as fast as the clock's, for
// tests where the program's timing is not the point.
//
// With --spoil-trainings N the first N trainings (TCF) of the call reach
// their receiver with ones where the zeros were, so the training check fails
// and the sender has to step its rate down: the far end's trainings on their
// way to the program, or the program's on their way to the far end.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

// The modem's transmit buffer is read to see when the program starves it.
#define SPANDSP_EXPOSE_INTERNAL_STRUCTURES
#include <spandsp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kSampleRate = 8000;
constexpr int kBlockSamples = 160;  // 20 ms of audio per step
constexpr int kStepMs = kBlockSamples * 1000 / kSampleRate;
constexpr int kRingEverySteps = 250;  // a ring every 5 s
constexpr int kFarEndGraceSteps = 750;  // 15 s for the far end to end a call the program left
constexpr int kDropAfterSteps = 150;    // a dropping far end sends 3 s of its page first

struct Options {
  std::string link;            // symbolic link naming the modem device
  std::string answerFile;      // far end answers and stores here
  std::string callFile;        // far end calls and sends this
  std::string ident = "VIRTUAL LINE";
  double noiseDbm0 = 0;        // 0: a clean line
  int spoilTrainings = 0;
  double speed = 1;
  int timeoutSeconds = 300;
  bool log = false;
  bool busy = false;      // every call the program dials finds the line busy
  bool noAnswer = false;  // every call rings out unanswered
  int calls = 1;          // calls the far end makes with --call
  int dropOnPage = 0;     // the calling far end hangs up a few seconds into this page
};

[[noreturn]] void Usage(const char* why) {
  std::fprintf(stderr,
               "virtual_fax_line: %s\n"
               "usage: virtual_fax_line --link PATH (--answer OUT.tif | --call IN.tif) [--ident ID]\n"
               "                        [--noise DBM0] [--spoil-trainings N] [--speed X] [--timeout SECONDS] [--log]\n"
               "                        [--busy | --no-answer] [--calls N] [--drop-on-page N]\n",
               why);
  std::exit(2);
}

Options ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Usage(("missing value after " + arg).c_str());
      return argv[++i];
    };
    if (arg == "--link") {
      o.link = value();
    } else if (arg == "--answer") {
      o.answerFile = value();
    } else if (arg == "--call") {
      o.callFile = value();
    } else if (arg == "--ident") {
      o.ident = value();
    } else if (arg == "--noise") {
      o.noiseDbm0 = std::atof(value().c_str());
    } else if (arg == "--speed") {
      o.speed = std::atof(value().c_str());
      if (o.speed <= 0) Usage("--speed needs a positive number");
    } else if (arg == "--spoil-trainings") {
      o.spoilTrainings = std::atoi(value().c_str());
    } else if (arg == "--timeout") {
      o.timeoutSeconds = std::atoi(value().c_str());
    } else if (arg == "--log") {
      o.log = true;
    } else if (arg == "--busy") {
      o.busy = true;
    } else if (arg == "--no-answer") {
      o.noAnswer = true;
    } else if (arg == "--calls") {
      o.calls = std::max(1, std::atoi(value().c_str()));
    } else if (arg == "--drop-on-page") {
      o.dropOnPage = std::atoi(value().c_str());
    } else {
      Usage(("unknown option " + arg).c_str());
    }
  }
  if (o.link.empty()) Usage("--link is required");
  if (o.answerFile.empty() == o.callFile.empty()) Usage("give exactly one of --answer and --call");
  return o;
}

constexpr char kDle = 0x10;
constexpr char kEtx = 0x03;
constexpr std::uint8_t kFrameTypeDcs = 0x82;
constexpr std::uint8_t kFrameTypeDcn = 0xFA;

// Follows the Class 1 dialogue between the program and the modem: which
// frames each side sent, and which data stretches are trainings. Spoils the
// first trainings it is asked to, and notes a DCN from the program.
class DialogueWatch {
 public:
  explicit DialogueWatch(int spoilTrainings) : spoilLeft_(spoilTrainings) {}

  // Bytes from the program to the modem.
  void FromProgram(char* bytes, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      char& c = bytes[i];
      switch (out_) {
        case Mode::kCommand:
          if (c != '\r') {
            command_ += c;
            continue;
          }
          Command(command_);
          command_.clear();
          continue;
        case Mode::kFrame:
          if (TakeStuffed(c, outFrame_, outDle_)) {
            const bool final = outFrame_.size() > 1 && (static_cast<std::uint8_t>(outFrame_[1]) & 0x10) != 0;
            const std::uint8_t type = FrameType(outFrame_);
            programFrame_ = type;
            if (type == kFrameTypeDcn) programSentDcn_ = true;
            outFrame_.clear();
            if (final) out_ = Mode::kCommand;
          }
          continue;
        case Mode::kData:
          if (spoilingOut_ && c == '\0') c = '\xFF';
          if (TakeStuffed(c, outData_, outDle_)) {
            outData_.clear();
            out_ = Mode::kCommand;
          }
          continue;
      }
    }
  }

  // Bytes from the modem to the program.
  void ToProgram(std::uint8_t* bytes, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      char c = static_cast<char>(bytes[i]);
      switch (in_) {
        case Mode::kCommand:
          // Result lines: CONNECT starts what the last command asked for.
          line_ += c;
          if (line_.size() > 16) line_.erase(0, line_.size() - 16);
          if (line_.size() >= 9 && line_.compare(line_.size() - 9, 9, "CONNECT\r\n") == 0 && expected_ != Mode::kCommand) {
            in_ = expected_;
            line_.clear();
          }
          continue;
        case Mode::kFrame:
          if (TakeStuffed(c, inFrame_, inDle_)) {
            modemFrame_ = FrameType(inFrame_);
            inFrame_.clear();
            in_ = expected_ = Mode::kCommand;
          }
          continue;
        case Mode::kData:
          if (spoilingIn_ && c == '\0') bytes[i] = 0x55;
          if (TakeStuffed(c, inData_, inDle_)) {
            inData_.clear();
            in_ = expected_ = Mode::kCommand;
          }
          continue;
      }
    }
  }

  bool ProgramSentDcn() const { return programSentDcn_; }

 private:
  enum class Mode { kCommand, kFrame, kData };

  static std::uint8_t FrameType(const std::string& frame) {
    return frame.size() > 2 ? static_cast<std::uint8_t>(frame[2]) & 0xFE : 0;
  }

  // Adds a byte of DLE-stuffed data; true at DLE ETX.
  static bool TakeStuffed(char c, std::string& data, bool& lastWasDle) {
    if (lastWasDle) {
      lastWasDle = false;
      if (c == kEtx) return true;
      data += c;
      return false;
    }
    if (c == kDle) {
      lastWasDle = true;
      return false;
    }
    data += c;
    return false;
  }

  void Command(const std::string& command) {
    if (command.rfind("AT+FTH", 0) == 0) {
      out_ = Mode::kFrame;
    } else if (command.rfind("AT+FTM=", 0) == 0 && command != "AT+FTM=?") {
      out_ = Mode::kData;
      spoilingOut_ = programFrame_ == kFrameTypeDcs && Spoil();
    } else if (command.rfind("AT+FRH", 0) == 0) {
      expected_ = Mode::kFrame;
    } else if (command.rfind("AT+FRM=", 0) == 0 && command != "AT+FRM=?") {
      expected_ = Mode::kData;
      spoilingIn_ = modemFrame_ == kFrameTypeDcs && Spoil();
    }
  }

  // A training the program or the far end sends after its DCS.
  bool Spoil() {
    if (spoilLeft_ <= 0) return false;
    --spoilLeft_;
    return true;
  }

  int spoilLeft_;
  Mode out_ = Mode::kCommand;
  Mode in_ = Mode::kCommand;
  Mode expected_ = Mode::kCommand;  // what the modem's next CONNECT starts
  std::string command_, outFrame_, outData_, inFrame_, inData_, line_;
  bool outDle_ = false;
  bool inDle_ = false;
  bool spoilingOut_ = false;
  bool spoilingIn_ = false;
  std::uint8_t programFrame_ = 0;  // the type of the last frame the program sent
  std::uint8_t modemFrame_ = 0;    // and of the last one it received
  bool programSentDcn_ = false;
};

class VirtualLine {
 public:
  explicit VirtualLine(const Options& options) : options_(options), watch_(options.spoilTrainings) {}

  int Run() {
    if (!OpenPseudoTerminal()) return 3;
    modem_ = t31_init(nullptr, &VirtualLine::AtTx, this, &VirtualLine::ModemControl, this, nullptr, nullptr);
    t31_set_transmit_on_idle(modem_, 1);
    if (options_.log) EnableLog(t31_get_logging_state(modem_), "modem");
    if (options_.noiseDbm0 != 0) noise_ = awgn_init_dbm0(nullptr, 1234567, static_cast<float>(options_.noiseDbm0));

    std::printf("ready %s\n", options_.link.c_str());
    std::fflush(stdout);

    const auto start = std::chrono::steady_clock::now();
    const auto stepTime = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double, std::milli>(kStepMs / options_.speed));
    auto next = start;
    for (long step = 0; !finished_; ++step) {
      if (std::chrono::steady_clock::now() - start > std::chrono::seconds(options_.timeoutSeconds)) {
        std::fprintf(stderr, "virtual_fax_line: timed out\n");
        break;
      }
      PumpFromProgram();
      RingWhileCalling(step);
      MeasureStarvation();
      ExchangeAudio();
      // After the program hangs up the far end hears silence until it ends
      // the call itself, so its result is known.
      DropWhenDue();
      if (lineDropped_ && (callDone_ || ++stepsSinceHangup_ > kFarEndGraceSteps)) EndCall();
      next += stepTime;
      std::this_thread::sleep_until(next);
    }
    if (!reported_) Report();
    return allOk_ ? 0 : 1;
  }

  ~VirtualLine() {
    if (noise_) awgn_free(noise_);
    if (farEnd_) fax_free(farEnd_);
    if (modem_) t31_free(modem_);
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
    if (!options_.link.empty()) unlink(options_.link.c_str());
  }

 private:
  bool OpenPseudoTerminal() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
      std::perror("virtual_fax_line: pseudo-terminal");
      return false;
    }
    const char* slaveName = ptsname(master_);
    // Held open so the master never sees the line hang up between the
    // program's opens; raw, so nothing is echoed before the program sets it up.
    slave_ = open(slaveName, O_RDWR | O_NOCTTY);
    termios tio{};
    tcgetattr(slave_, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave_, TCSANOW, &tio);
    unlink(options_.link.c_str());
    if (symlink(slaveName, options_.link.c_str()) != 0) {
      std::perror("virtual_fax_line: link");
      return false;
    }
    return true;
  }

  // Log lines carry the line's time (the samples exchanged so far).
  void EnableLog(logging_state_t* log, const char* tag) {
    logs_.push_back(log);
    span_log_set_level(log, SPAN_LOG_SHOW_SEVERITY | SPAN_LOG_SHOW_PROTOCOL | SPAN_LOG_SHOW_TAG | SPAN_LOG_SHOW_SAMPLE_TIME |
                                SPAN_LOG_FLOW);
    span_log_set_tag(log, tag);
  }

  // Bytes from the program to the modem, only while the modem takes them:
  // holding them back fills the pseudo-terminal, which is the program's flow
  // control on a line without modem-status wires.
  void PumpFromProgram() {
    if (!clearToSend_) return;
    char buffer[512];
    const ssize_t n = read(master_, buffer, sizeof buffer);
    if (n > 0) {
      watch_.FromProgram(buffer, static_cast<std::size_t>(n));
      t31_at_rx(modem_, buffer, static_cast<int>(n));
    }
  }

  // Each step sends 20 ms of data; what the modem's buffer lacks for it is
  // sent as fill, unless the program has already ended the data. Counted
  // from the first data byte of a transmission, so the fill sent while the
  // modem trains is not.
  void MeasureStarvation() {
    const int type = modem_->modem;
    if (type != FAX_MODEM_V17_TX && type != FAX_MODEM_V29_TX && type != FAX_MODEM_V27TER_TX) {
      dataEnded_ = false;
      return;
    }
    // The modem forgets the end mark once it has sent the last byte.
    if (modem_->tx.final) dataEnded_ = true;
    const int buffered = modem_->tx.in_bytes - modem_->tx.out_bytes;
    if (!modem_->tx.data_started || (dataEnded_ && buffered == 0)) return;
    dataMs_ += kStepMs;
    const double needed = modem_->bit_rate / 8.0 * kBlockSamples / kSampleRate;
    if (!dataEnded_ && buffered < needed) starvedMs_ += (needed - buffered) / needed * kStepMs;
  }

  void RingWhileCalling(long step) {
    if (options_.callFile.empty() || callUp_ || callDone_) return;
    if (step % kRingEverySteps == kRingEverySteps / 5) t31_call_event(modem_, AT_CALL_EVENT_ALERTING);
  }

  void ExchangeAudio() {
    for (logging_state_t* log : logs_) span_log_bump_samples(log, kBlockSamples);
    int16_t toFarEnd[kBlockSamples];
    int16_t toModem[kBlockSamples];
    int made = t31_tx(modem_, toFarEnd, kBlockSamples);
    std::fill(toFarEnd + made, toFarEnd + kBlockSamples, 0);
    if (callUp_ && farEnd_) {
      if (lineDropped_) std::fill(toFarEnd, toFarEnd + kBlockSamples, 0);
      AddNoise(toFarEnd);
      fax_rx(farEnd_, toFarEnd, kBlockSamples);
      made = fax_tx(farEnd_, toModem, kBlockSamples);
      std::fill(toModem + made, toModem + kBlockSamples, 0);
      AddNoise(toModem);
    } else {
      std::fill(toModem, toModem + kBlockSamples, 0);
    }
    t31_rx(modem_, toModem, kBlockSamples);
  }

  void AddNoise(int16_t* samples) {
    if (!noise_) return;
    for (int i = 0; i < kBlockSamples; ++i) {
      const int mixed = samples[i] + awgn(noise_);
      samples[i] = static_cast<int16_t>(std::clamp(mixed, -32768, 32767));
    }
  }

  void StartFarEnd(bool calling) {
    farEnd_ = fax_init(nullptr, calling);
    fax_set_transmit_on_idle(farEnd_, 1);
    t30_state_t* t30 = fax_get_t30_state(farEnd_);
    t30_set_tx_ident(t30, options_.ident.c_str());
    t30_set_supported_modems(t30, T30_SUPPORT_V27TER | T30_SUPPORT_V29 | T30_SUPPORT_V17);
    t30_set_ecm_capability(t30, 0);
    if (calling) {
      t30_set_tx_file(t30, options_.callFile.c_str(), -1, -1);
    } else {
      t30_set_rx_file(t30, options_.answerFile.c_str(), -1);
    }
    t30_set_phase_e_handler(t30, &VirtualLine::PhaseE, this);
    if (options_.dropOnPage > 0) t30_set_phase_d_handler(t30, &VirtualLine::PhaseD, this);
    if (options_.log) EnableLog(t30_get_logging_state(t30), "far-end");
    callUp_ = true;
  }


  static int AtTx(at_state_t*, void* user, const uint8_t* bytes, size_t len) {
    auto* self = static_cast<VirtualLine*>(user);
    std::vector<std::uint8_t> copy(bytes, bytes + len);
    self->watch_.ToProgram(copy.data(), len);
    const std::uint8_t* buf = copy.data();
    std::size_t done = 0;
    while (done < len) {
      const ssize_t n = write(self->master_, buf + done, len - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else {
        pollfd p{self->master_, POLLOUT, 0};
        poll(&p, 1, 50);
      }
    }
    return static_cast<int>(len);
  }

  static int ModemControl(t31_state_t* modem, void* user, int op, const char* num) {
    auto* self = static_cast<VirtualLine*>(user);
    switch (op) {
      case AT_MODEM_CONTROL_CALL:  // ATD: the far end answers
        if (self->options_.answerFile.empty() || self->callUp_ || self->options_.noAnswer) return 0;
        if (self->options_.busy) {
          t31_call_event(modem, AT_CALL_EVENT_BUSY);
          return 0;
        }
        self->StartFarEnd(false);
        t31_call_event(modem, AT_CALL_EVENT_CONNECTED);
        break;
      case AT_MODEM_CONTROL_ANSWER:  // ATA after ringing: the far end sends
        if (self->options_.callFile.empty() || self->callUp_) return 0;
        self->StartFarEnd(true);
        t31_call_event(modem, AT_CALL_EVENT_ANSWERED);
        break;
      case AT_MODEM_CONTROL_HANGUP:
      case AT_MODEM_CONTROL_ONHOOK:
        if (self->callDone_) {
          self->EndCall();
        } else if (self->callUp_) {
          self->lineDropped_ = true;
        }
        break;
      case AT_MODEM_CONTROL_CTS:
        self->clearToSend_ = num != nullptr;
        break;
      default:
        break;
    }
    return 0;
  }

  static void PhaseE(t30_state_t* t30, void* user, int completion) {
    auto* self = static_cast<VirtualLine*>(user);
    t30_stats_t stats{};
    t30_get_transfer_statistics(t30, &stats);
    self->completion_ = completion;
    self->pages_ = self->options_.callFile.empty() ? stats.pages_rx : stats.pages_tx;
    self->bitRate_ = stats.bit_rate;
    if (const char* ident = t30_get_rx_ident(t30)) self->remoteIdent_ = ident;
    // The program hangs up after the call; stop once it has.
    self->callUp_ = false;
    self->callDone_ = true;
  }

  // The call is over on both sides: report it, and with calls left the line
  // rings again.
  void EndCall() {
    Report();
    reported_ = true;
    if (++callsMade_ >= options_.calls || options_.callFile.empty()) {
      finished_ = true;
      return;
    }
    if (farEnd_) fax_free(farEnd_);
    farEnd_ = nullptr;
    callUp_ = callDone_ = lineDropped_ = dropped_ = false;
    stepsSinceHangup_ = pagesDone_ = 0;
    dropCountdown_ = -1;
    completion_ = -1;
    pages_ = bitRate_ = 0;
    reported_ = false;
    watch_ = DialogueWatch(0);  // the next call's dialogue starts afresh
  }

  // The far end of --drop-on-page goes quiet for good a few seconds into its page.
  void DropWhenDue() {
    if (dropCountdown_ < 0 || --dropCountdown_ > 0) return;
    dropCountdown_ = -1;
    dropped_ = true;
    callUp_ = false;
    callDone_ = true;
    completion_ = -2;
    pages_ = pagesDone_;
  }

  static int PhaseD(t30_state_t*, void* user, int) {
    auto* self = static_cast<VirtualLine*>(user);
    if (++self->pagesDone_ == self->options_.dropOnPage - 1) self->dropCountdown_ = kDropAfterSteps;
    return 0;
  }

  void Report() {
    if (completion_ != T30_ERR_OK || pages_ == 0) allOk_ = false;
    std::printf("result %d pages %d rate %d starved %.0f of %d remote \"%s\" dcn %d %s\n", completion_, pages_,
                bitRate_, starvedMs_, dataMs_, remoteIdent_.c_str(), watch_.ProgramSentDcn() ? 1 : 0,
                completion_ == -2 ? "far end hung up" : completion_ < 0 ? "no call" : t30_completion_code_to_str(completion_));
    std::fflush(stdout);
  }

  Options options_;
  DialogueWatch watch_;
  std::vector<logging_state_t*> logs_;
  int master_ = -1;
  int slave_ = -1;
  t31_state_t* modem_ = nullptr;
  fax_state_t* farEnd_ = nullptr;
  awgn_state_t* noise_ = nullptr;
  bool clearToSend_ = true;
  bool callUp_ = false;
  bool callDone_ = false;
  bool finished_ = false;
  bool lineDropped_ = false;   // the program hung up before the far end ended the call
  bool dropped_ = false;       // the far end hung up in the middle of a page
  int dropCountdown_ = -1;
  int pagesDone_ = 0;
  int callsMade_ = 0;
  bool reported_ = false;
  bool allOk_ = true;
  int stepsSinceHangup_ = 0;
  int completion_ = -1;
  int pages_ = 0;
  int bitRate_ = 0;
  bool dataEnded_ = false;    // the program has ended the current transmission's data
  double starvedMs_ = 0;
  int dataMs_ = 0;
  std::string remoteIdent_;
};

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  VirtualLine line(options);
  return line.Run();
}
