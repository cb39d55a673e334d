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
// With --vanish-on-dial the modem disappears a second after the program
// dials, as a USB modem unplugged: the pseudo-terminal closes, the tool
// prints "vanished" and exits 0.
//
// With --spoil-trainings N the first N trainings (TCF) of the call reach
// their receiver with ones where the zeros were, so the training check fails
// and the sender has to step its rate down: the far end's trainings on their
// way to the program, or the program's on their way to the far end.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "line/fax_line.h"

namespace {

constexpr int kRingEverySteps = 250;  // a ring every 5 s (steps of 20 ms)

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
  bool vanishOnDial = false;
  bool errorCorrection = false;  // the far end offers error correction
  bool twoDimensional = false;   // and 2-D coding
  double frameLoss = 0;          // share of error-correction data frames lost each way
};

[[noreturn]] void Usage(const char* why) {
  std::fprintf(stderr,
               "virtual_fax_line: %s\n"
               "usage: virtual_fax_line --link PATH (--answer OUT.tif | --call IN.tif) [--ident ID]\n"
               "                        [--noise DBM0] [--spoil-trainings N] [--speed X] [--timeout SECONDS] [--log]\n"
               "                        [--busy | --no-answer] [--calls N] [--drop-on-page N] [--vanish-on-dial]\n"
               "                        [--ecm] [--2d] [--frame-loss SHARE]\n",
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
    } else if (arg == "--vanish-on-dial") {
      o.vanishOnDial = true;
    } else if (arg == "--ecm") {
      o.errorCorrection = true;
    } else if (arg == "--2d") {
      o.twoDimensional = true;
    } else if (arg == "--frame-loss") {
      o.frameLoss = std::atof(value().c_str());
      if (o.frameLoss < 0 || o.frameLoss >= 1) Usage("--frame-loss needs a share from 0 to below 1");
    } else if (arg == "--drop-on-page") {
      o.dropOnPage = std::atoi(value().c_str());
      if (o.dropOnPage < 2) Usage("--drop-on-page needs a page number from 2 on");
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
  bool ProgramDialled() const { return programDialled_; }

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
    } else if (command.rfind("ATD", 0) == 0) {
      programDialled_ = true;
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
  bool programDialled_ = false;
};

class VirtualLine {
 public:
  explicit VirtualLine(const Options& options)
      : options_(options), watch_(options.spoilTrainings), line_(LineOptions(options), [this](std::uint8_t* bytes, std::size_t n) { ToProgram(bytes, n); }) {
    line_.OnCallEnded([this](const tv::FaxLineResult& result) { EndCall(result); });
  }

  int Run() {
    if (!OpenPseudoTerminal()) return 3;
    std::printf("ready %s\n", options_.link.c_str());
    std::fflush(stdout);

    const auto start = std::chrono::steady_clock::now();
    const auto stepTime = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double, std::milli>(tv::FaxLine::kStepMs / options_.speed));
    auto next = start;
    for (long step = 0; !finished_; ++step) {
      if (std::chrono::steady_clock::now() - start > std::chrono::seconds(options_.timeoutSeconds)) {
        std::fprintf(stderr, "virtual_fax_line: timed out\n");
        break;
      }
      PumpFromProgram();
      if (VanishAfterDial()) break;
      RingWhileCalling(step);
      line_.Step();
      next += stepTime;
      std::this_thread::sleep_until(next);
    }
    if (!finished_) EndCall(tv::FaxLineResult{});  // timed out: the call under way did not happen
    return allSucceeded_ ? 0 : 1;
  }

  ~VirtualLine() {
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
    if (!options_.link.empty()) unlink(options_.link.c_str());
  }

 private:
  static tv::FaxLineOptions LineOptions(const Options& o) {
    tv::FaxLineOptions line;
    line.ident = o.ident;
    line.answerFile = o.answerFile;
    line.callFile = o.callFile;
    line.noiseDbm0 = o.noiseDbm0;
    line.busy = o.busy;
    line.noAnswer = o.noAnswer;
    line.dropOnPage = o.dropOnPage;
    line.errorCorrection = o.errorCorrection;
    line.twoDimensional = o.twoDimensional;
    line.frameLoss = o.frameLoss;
    line.log = o.log;
    return line;
  }

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

  // Bytes from the program to the modem, only while the modem takes them:
  // holding them back fills the pseudo-terminal, which is the program's flow
  // control on a line without modem-status wires.
  void PumpFromProgram() {
    if (!line_.ClearToSend()) return;
    char buffer[512];
    const ssize_t n = read(master_, buffer, sizeof buffer);
    if (n > 0) {
      watch_.FromProgram(buffer, static_cast<std::size_t>(n));
      line_.FromProgram(buffer, static_cast<std::size_t>(n));
    }
  }

  // With --vanish-on-dial the modem goes a second after the dial: the
  // program's side of the pseudo-terminal hangs up.
  bool VanishAfterDial() {
    if (!options_.vanishOnDial || !watch_.ProgramDialled()) return false;
    if (++stepsSinceDial_ < 1000 / tv::FaxLine::kStepMs) return false;
    close(slave_);
    close(master_);
    slave_ = master_ = -1;
    std::printf("vanished\n");
    std::fflush(stdout);
    finished_ = true;
    return true;
  }

  // With --call the line rings until the program answers.
  void RingWhileCalling(long step) {
    if (options_.callFile.empty() || line_.InCall()) return;
    if (step % kRingEverySteps == kRingEverySteps / 5) line_.Ring();
  }

  void ToProgram(std::uint8_t* bytes, std::size_t len) {
    watch_.ToProgram(bytes, len);
    std::size_t done = 0;
    while (done < len) {
      const ssize_t n = write(master_, bytes + done, len - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else {
        pollfd p{master_, POLLOUT, 0};
        poll(&p, 1, 50);
      }
    }
  }

  // A call is over on both sides: it is reported, and with calls left the
  // line rings again.
  void EndCall(const tv::FaxLineResult& result) {
    Report(result);
    if (!result.Succeeded() || result.pages == 0) allSucceeded_ = false;
    if (++callsEnded_ >= options_.calls || options_.callFile.empty()) {
      finished_ = true;
      return;
    }
    watch_ = DialogueWatch(0);  // the next call's dialogue starts afresh
  }

  void Report(const tv::FaxLineResult& r) const {
    std::printf("result %d pages %d rate %d starved %.0f of %d remote \"%s\" dcn %d call %d coding %s%s %s\n",
                r.completion, r.pages, r.bitRate, line_.StarvedMs(), line_.DataMs(), r.remoteIdent.c_str(),
                watch_.ProgramSentDcn() ? 1 : 0, r.callMs, r.coding.empty() ? "-" : r.coding.c_str(),
                r.errorCorrection ? " ECM" : "", r.completion == tv::FaxLineResult::kNoCall ? "no call" : r.text.c_str());
    std::fflush(stdout);
  }

  Options options_;
  DialogueWatch watch_;
  tv::FaxLine line_;
  int master_ = -1;
  int slave_ = -1;
  bool finished_ = false;
  int callsEnded_ = 0;
  int stepsSinceDial_ = 0;
  bool allSucceeded_ = true;
};

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  VirtualLine line(options);
  return line.Run();
}
