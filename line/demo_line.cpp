#include "line/demo_line.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "comm/sim_modem.h"
#include "image/fax_converter.h"
#include "image/fax_unpacker.h"
#include "line/fax_line.h"
#include "line/fax_tiff.h"
#include "platform/app_settings.h"
#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace tv {

// data/demo/welcome.txt and sample.txt, built in.
extern const char* const kWelcomeFaxText;
extern const char* const kSampleFaxText;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFaxWidth = 1728;
constexpr int kRowBytes = kFaxWidth / 8;
// A port that stays on hook this long without dialling is waiting for calls:
// the far end calls it.
constexpr auto kQuietBeforeCall = std::chrono::seconds(3);
constexpr int kRingEverySteps = 250;  // 5 s of line time
constexpr int kRingsBeforeGivingUp = 6;
// Bytes from the program held for the modem before the port is made to wait.
constexpr std::size_t kInboxLimit = 4096;
constexpr double kNoisyLineDbm0 = -50;
// The line's pace: its real speed, and on the fast line while the modem
// waits for the program twice that (which the program's timing bears, as
// the virtual fax line's tests at double speed show); otherwise the fast
// line does not wait at all.
constexpr auto kRealStep = std::chrono::milliseconds(FaxLine::kStepMs);
constexpr auto kFastWaitingStep = std::chrono::microseconds(FaxLine::kStepMs * 1000 / 2);

// ------------------------------------------------------------ page files

// The far end speaks TIFF; the program keeps APF.
int TiffToApf(const std::string& tiffFile, const std::string& apfFile, const std::string& stationId) {
  const std::vector<TiffFaxPage> pages = ReadFaxTiff(tiffFile);
  if (pages.empty()) return ecFileNotFound;
  std::size_t page = 0;
  std::size_t row = 0;
  UserInputCallbacks input;
  input.open = [](const std::string&) {};
  input.readLine = [&](std::uint8_t* data, int& length, bool& endOfPage, bool& morePages) {
    const auto& rows = pages[page].rows;
    if (row == rows.size()) {
      endOfPage = true;
      morePages = ++page < pages.size();
      row = 0;
      return true;
    }
    length = kRowBytes;
    std::copy_n(rows[row++].begin(), kRowBytes, data);
    return true;
  };
  FaxConverter converter(MakeUserInput(std::move(input)), "TIF");
  converter.SetFine(pages.front().fine);
  converter.SetLeftMargin(0);  // the rows are whole fax rows already
  converter.SetStationId(stationId);
  return converter.Convert(tiffFile, apfFile);
}

int ApfToTiff(const std::string& apfFile, const std::string& tiffFile) {
  TApfFileHeader header{};
  if (const int result = ApfReadFileHeader(apfFile, header); result != 0) return result;
  std::vector<TiffFaxPage> pages;
  for (int page = 1; page <= header.pageCount; ++page) {
    TiffFaxPage& tiffPage = pages.emplace_back();
    FaxUnpacker unpacker;
    unpacker.SetLineCallback([&](FaxUnpacker&, int flags, const std::uint8_t* line, int bytes, int) {
      if (flags != 0) return 0;
      auto& r = tiffPage.rows.emplace_back(kRowBytes, 0);
      std::copy_n(line, std::min(bytes, kRowBytes), r.begin());
      return 0;
    });
    if (const int result = unpacker.UnpackPage(apfFile, page); result != 0) return result;
    tiffPage.fine = unpacker.PageHeader().Fine();
  }
  return WriteFaxTiff(tiffFile, pages) ? 0 : ecDiskFull;
}

// A name in Demo/ no earlier fax has: the time of the call, numbered on.
std::string NewFaxName(const std::string& folder) {
  const std::time_t now = std::time(nullptr);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", std::localtime(&now));
  for (int n = 1;; ++n) {
    std::string name = folder + stamp + (n == 1 ? std::string() : "-" + std::to_string(n)) + ".APF";
    if (access(name.c_str(), F_OK) != 0) return name;
  }
}

// ------------------------------------------------------------ the device

class DemoLine {
 public:
  explicit DemoLine(const std::string& name) : modem_(name), fast_(name == kDemoFastDevice) {
    modem_.OnWrite([this](std::string_view bytes) {
      std::lock_guard lock(inboxMutex_);
      inbox_.append(bytes);
    });
  }

  ~DemoLine() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

  // Runs the line for the port about to open it. A port that has it open
  // keeps it (the open fails as for a device in use); a line still ending
  // its last call, whose port has gone, finishes first.
  void Start() {
    if (modem_.IsOpen()) return;
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
  }

 private:
  void Run() {
    if (!WaitForOpen()) return;
    const std::string folder = DemoFolder();
    ForceFolder(folder);
    FaxLineOptions options;
    options.ident = kDemoFarEndIdent;
    options.answerFile = folder + "receiving.tif";
    // A fax machine of today: error correction and 2-D coding.
    options.errorCorrection = true;
    options.twoDimensional = true;
    switch (ReadDemoLineMode(IniFile(SettingsFilePath()))) {
      case DemoLineMode::kBusy: options.busy = true; break;
      case DemoLineMode::kNoAnswer: options.noAnswer = true; break;
      case DemoLineMode::kNoisy: options.noiseDbm0 = kNoisyLineDbm0; break;
      case DemoLineMode::kAnswers: break;
    }
    FaxLine line(options, [this](std::uint8_t* bytes, std::size_t n) {
      modem_.Receive(std::string_view(reinterpret_cast<const char*>(bytes), n));
    });
    line.OnCallEnded([&](const FaxLineResult& result) { CallEnded(line, options, result); });

    bool held = false;
    lastFromProgram_ = Clock::now();
    auto next = Clock::now();
    for (long step = 0;; ++step) {
      const bool open = modem_.IsOpen() && !stop_;
      if (!open) {
        // The program let go: the far end finishes alone, as fast as it can.
        if (!line.InCall()) break;
        line.DropCall();
      }
      const bool hold = PumpFromProgram(line);
      if (hold != held) modem_.HoldOutput(held = hold);
      if (open) CallIfWaited(line, step);
      line.Step();
      if (!open || (fast_ && !line.WaitsForProgram())) {
        next = Clock::now();
        continue;
      }
      next += fast_ ? kFastWaitingStep : kRealStep;
      std::this_thread::sleep_until(next);
    }
    modem_.HoldOutput(false);
    std::lock_guard lock(inboxMutex_);
    inbox_.clear();
  }

  // The port opens the device right after asking for it.
  bool WaitForOpen() {
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!modem_.IsOpen()) {
      if (stop_ || Clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    welcomeState_ = Welcome::kNotYet;
    return true;
  }

  // Gives the modem what the program wrote while it takes bytes; whether the
  // port must hold what it has.
  bool PumpFromProgram(FaxLine& line) {
    std::lock_guard lock(inboxMutex_);
    std::size_t given = 0;
    while (line.ClearToSend() && given < inbox_.size()) {
      const std::size_t n = std::min<std::size_t>(512, inbox_.size() - given);
      line.FromProgram(inbox_.data() + given, n);
      given += n;
    }
    if (given > 0) {
      inbox_.erase(0, given);
      lastFromProgram_ = Clock::now();
    }
    return !line.ClearToSend() || inbox_.size() >= kInboxLimit;
  }

  // A port that waits on hook without dialling gets the welcome fax, once
  // per opening.
  void CallIfWaited(FaxLine& line, long step) {
    switch (welcomeState_) {
      case Welcome::kNotYet:
        if (line.Dialled() || line.InCall()) {
          welcomeState_ = Welcome::kDone;
        } else if (Clock::now() - lastFromProgram_ >= kQuietBeforeCall) {
          if (!MakeWelcomeTiff()) {
            welcomeState_ = Welcome::kDone;
            return;
          }
          line.SetCallFile(WelcomeTiff());
          welcomeState_ = Welcome::kRinging;
          ringStep_ = step;
          rings_ = 0;
        }
        return;
      case Welcome::kRinging:
        if (line.InCall() || rings_ >= kRingsBeforeGivingUp) {
          welcomeState_ = Welcome::kDone;
        } else if ((step - ringStep_) % kRingEverySteps == 0) {
          line.Ring();
          ++rings_;
        }
        return;
      case Welcome::kDone:
        return;
    }
  }

  static std::string WelcomeTiff() { return DemoFolder() + "welcome.tif"; }

  static bool MakeWelcomeTiff() {
    const std::string apf = DemoFolder() + "welcome.apf";
    const bool made = MakeWelcomeFax(apf) == 0 && ApfToTiff(apf, WelcomeTiff()) == 0;
    std::remove(apf.c_str());
    return made;
  }

  // What the far end received becomes an APF file in Demo/; the TIFF it
  // wrote goes.
  void CallEnded(FaxLine& line, const FaxLineOptions& options, const FaxLineResult& result) {
    line.SetCallFile({});
    std::remove(WelcomeTiff().c_str());
    if (result.pages > 0 && access(options.answerFile.c_str(), F_OK) == 0) {
      const std::string apf = NewFaxName(DemoFolder());
      if (TiffToApf(options.answerFile, apf, result.remoteIdent) != 0) std::remove(apf.c_str());
    }
    std::remove(options.answerFile.c_str());
  }

  enum class Welcome { kNotYet, kRinging, kDone };

  SimModem modem_;
  const bool fast_;
  std::thread thread_;
  std::atomic<bool> stop_ = false;
  std::mutex inboxMutex_;
  std::string inbox_;
  Clock::time_point lastFromProgram_;
  Welcome welcomeState_ = Welcome::kNotYet;
  long ringStep_ = 0;
  int rings_ = 0;
};

// The demo lines made so far, one per name, kept for the program's life.
std::map<std::string, std::unique_ptr<DemoLine>>& DemoLines() {
  static std::map<std::string, std::unique_ptr<DemoLine>> lines;
  return lines;
}

bool MakeDemoLine(const std::string& name, std::string& error) {
  if (!IsDemoDevice(name)) return false;
  if (name != kDemoDevice && name != kDemoFastDevice) {
    error = "unknown demo line \"" + name + "\": use \"" + kDemoDevice + "\" or \"" + kDemoFastDevice + "\"";
    return true;
  }
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  auto& line = DemoLines()[name];
  if (!line) line = std::make_unique<DemoLine>(name);
  line->Start();
  return true;
}

}  // namespace

DemoLineMode ReadDemoLineMode(const IniFile& ini) {
  const std::string mode = ini.ReadString("Demo", "Line", "answers");
  if (mode == "busy") return DemoLineMode::kBusy;
  if (mode == "no-answer") return DemoLineMode::kNoAnswer;
  if (mode == "noisy") return DemoLineMode::kNoisy;
  return DemoLineMode::kAnswers;
}

bool IsDemoDevice(const std::string& name) { return name == kDemoDevice || name.rfind("demo:", 0) == 0; }

std::string DemoFolder() { return ProgramFolder() + "Demo/"; }

void InstallDemoLine() { SetSimDeviceMaker(kDemoDevice, &MakeDemoLine); }

namespace {

int MakeTextFax(const char* body, const std::string& apfFile) {
  const std::string text = apfFile + ".txt";
  if (const int error = ReplaceFileContents(text, body); error != 0) return IoErrorFromErrno(error, true);
  FaxConverter converter(MakeTextInput(), "TXT");
  converter.SetFine(true);
  converter.SetStationId(kDemoFarEndIdent);
  const int result = converter.Convert(text, apfFile);
  std::remove(text.c_str());
  return result;
}

}  // namespace

int MakeWelcomeFax(const std::string& apfFile) { return MakeTextFax(kWelcomeFaxText, apfFile); }
int MakeSampleFax(const std::string& apfFile) { return MakeTextFax(kSampleFaxText, apfFile); }

}  // namespace tv
