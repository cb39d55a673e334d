// tvfax send and tvfax receive: a fax session on a modem from the command
// line. The command is the UI thread: it pumps the session's messages and
// prints what the components report.
#include <unistd.h>

#include <climits>
#include <csignal>
#include <filesystem>
#include <functional>
#include <iostream>
#include <optional>
#include <vector>

#include "cli/commands.h"
#include "cli/options.h"
#include "comm/qa_port.h"
#include "fax/fax_components.h"
#include "image/apf_file.h"
#include "line/sip_line.h"
#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/paths.h"
#include "platform/ui_thread.h"

namespace tv::cli {

namespace {

constexpr int kPumpMs = 100;
constexpr int kFastestBps = 14400;  // no fax modem goes faster; the modem's own limit holds it lower
constexpr int kProgressWidth = 20;

volatile std::sig_atomic_t interrupted = 0;

extern "C" void OnInterrupt(int) { interrupted = 1; }

std::optional<TFaxClass> ParseClass(const std::string& text) {
  if (text == "auto") return TFaxClass::fcDetect;
  if (text == "1") return TFaxClass::fcClass1;
  if (text == "2") return TFaxClass::fcClass2;
  if (text == "2.0") return TFaxClass::fcClass2_0;
  return std::nullopt;
}

// Options both commands share.
struct LineOptions {
  std::string device;
  std::string home;
  int com = 0;
  TFaxClass faxClass = TFaxClass::fcDetect;
  int bps = kFastestBps;  // the highest rate to send or receive at
  std::string station;
  std::string trace;
  std::string log;
  std::string history;
  bool errorCorrection = true;
  T4Coding coding = T4Coding::kMmr;  // the best coding offered

  void AddTo(OptionReader& reader) {
    reader.Text("--device", device)
        .Text("--home", home)
        .Number("--com", com, 1, 255, "a port number")
        .Value("--class",
               [this](const std::string& value) {
                 const auto parsed = ParseClass(value);
                 faxClass = parsed.value_or(TFaxClass::fcDetect);
                 return parsed ? std::string() : "not a fax class (auto, 1, 2 or 2.0): " + value;
               })
        .Number("--bps", bps, 2400, INT_MAX, "a bit rate")
        .Value("--ecm",
               [this](const std::string& value) {
                 errorCorrection = value == "on";
                 return value == "on" || value == "off" ? std::string() : "not on or off: " + value;
               })
        .Value("--coding",
               [this](const std::string& value) {
                 const auto parsed = T4CodingNamed(value);
                 coding = parsed.value_or(T4Coding::kMh);
                 return parsed ? std::string() : "not a coding (mh, mr or mmr): " + value;
               })
        .Text("--station", station)
        .Path("--trace", trace)
        .Path("--log", log)
        .Path("--history", history);
  }

  std::string Check() const {
    if (device.empty() == (com == 0)) return "give either --device PATH or --home DIR --com N";
    return {};
  }
};

// The port and the settings both components take from the shared options.
void SetUpFax(TQaAbstractFax& fax, TQaComPort& port, TQaFaxLog& history, const LineOptions& options) {
  port.SetComNumber(static_cast<std::uint16_t>(options.device.empty() ? options.com : 1));
  port.SetDevicePath(options.device);
  port.SetAutoOpen(false);
  port.SetTapiMode(tmOff);
  RecordPortTraffic(port, options.trace, options.log);
  fax.SetComPort(&port);
  fax.SetStationID(options.station);
  fax.SetDesiredBPS(options.bps);
  fax.SetDesiredECM(options.errorCorrection && CarriesErrorCorrection(port.DeviceName()));
  fax.SetDesiredCoding(options.coding);
  if (!options.history.empty()) {
    history.SetFaxHistoryName(options.history);
    history.SetLineMedium(SipLineMedium);
    fax.SetFaxLog(&history);
  }
}

// ", MMR with error correction" where the call used more than plain pages.
std::string CodingSaid(const TQaAbstractFax& fax) {
  const std::string note = CodingNote(fax.Session().modem.params);
  return note.empty() ? note : ", " + note;
}

// ", 12 damaged rows on page 1" where received pages came damaged.
std::string DamageSaid(const TQaAbstractFax& fax) {
  const std::string note = DamageNote(fax.Session().common.damagedPages);
  return note.empty() ? note : ", " + note;
}

// How a call over a SIP line went (" over T.38"); empty for other lines.
std::string OverSip(const TQaComPort& port) {
  const std::string medium = SipLineMedium(port.DeviceName());
  return medium.empty() ? std::string() : " over " + medium;
}

std::string ForTerminal(std::string text) {
  for (char& c : text) {
    if (c == '\r') c = ' ';
  }
  return text;
}

// What a session is doing, for the user. On a terminal one line shows it
// and is rewritten in place, with a bar for the page's bytes; into a pipe
// or a log each change is a line of its own, and the same line never comes
// twice.
class StatusPrinter {
 public:
  StatusPrinter() : live_(isatty(STDOUT_FILENO) == 1) {}

  void Update(const TQaAbstractFax& fax) {
    if (live_) {
      std::cout << '\r' << Line(fax, true) << "\x1b[K" << std::flush;
      showing_ = true;
      return;
    }
    const std::string line = Line(fax, false);
    if (line == last_) return;
    std::cout << line << std::endl;
    last_ = line;
  }

  // A line of its own (a result), below the live line.
  void Say(const std::string& text) {
    if (showing_) std::cout << "\r\x1b[K";
    showing_ = false;
    std::cout << ForTerminal(text) << std::endl;
  }

 private:
  static std::string Line(const TQaAbstractFax& fax, bool progress) {
    std::string line = FaxStatusText(fax.Status());
    if (line.empty()) line = "Status " + std::to_string(fax.Status());
    if (fax.CurrentPage() > 0) {
      line += ": page " + std::to_string(fax.CurrentPage());
      if (fax.TotalPages() > 0) line += " of " + std::to_string(fax.TotalPages());
    } else if (fax.IsSender() && fax.Status() == fsSendingPage) {
      line += ": cover page";
    }
    if (progress && fax.Status() == fsSendingPage && fax.PageLength() > 0) {
      const int done = std::min(fax.BytesTransferred(), fax.PageLength());
      const int filled = done * kProgressWidth / fax.PageLength();
      line += " [" + std::string(static_cast<std::size_t>(filled), '#') +
              std::string(static_cast<std::size_t>(kProgressWidth - filled), '.') + "]";
    } else if (progress && fax.Status() == fsGettingPage) {
      line += ", " + std::to_string(fax.BytesTransferred() / 1024) + " KB";
    }
    if (fax.BitRate() > 0) line += ", " + std::to_string(fax.BitRate()) + " bit/s";
    if (!fax.RemoteID().empty()) line += ", remote \"" + fax.RemoteID() + "\"";
    return line;
  }

  bool live_;
  bool showing_ = false;
  std::string last_;
};

std::string FailureText(int code) {
  const std::string text = ErrorMessageText(code);
  return text.empty() ? "error " + std::to_string(code) : text;
}

// Pumps the session's messages until it finishes; an interrupt aborts it.
void PumpUntil(HeadlessUiThread& ui, TQaAbstractFax& fax, const bool& finished) {
  bool abortSent = false;
  while (!finished) {
    if (interrupted && !abortSent) {
      fax.AbortFax();
      abortSent = true;
    }
    ui.WaitForMessages(kPumpMs);
  }
}

// What a send and a receive share: the UI thread the session reports to, the
// port and the component set up from the line options, the fax history, the
// status line, and how the session ended.
template <class Fax>
struct FaxRun {
  explicit FaxRun(const LineOptions& options) {
    UiThread::Install(&ui);
    SetUpFax(fax, port, history, options);
    fax.OnFaxStatus = [this](TQaAbstractFax& f, bool, bool) { status.Update(f); };
  }
  ~FaxRun() { UiThread::Install(nullptr); }
  FaxRun(const FaxRun&) = delete;
  FaxRun& operator=(const FaxRun&) = delete;

  // Opens the port, starts the session with `begin` and pumps it until it
  // has finished; closing the port writes the trace and the log. Returns why
  // the session could not run, or an empty text.
  std::string Run(const std::function<int()>& begin) {
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    if (std::string problem = OpenPortProblem(port); !problem.empty()) return problem;
    try {
      if (const int rc = begin(); rc != 0) {
        result = rc;
        finished = true;
      }
      PumpUntil(ui, fax, finished);
      port.SetOpen(false);
    } catch (const std::exception& error) {
      return error.what();
    }
    ui.ProcessPendingMessages();
    return {};
  }

  HeadlessUiThread ui;
  TQaComPort port;
  Fax fax;
  TQaFaxLog history;
  StatusPrinter status;
  bool finished = false;
  int result = 0;
};

struct SendOptions {
  LineOptions line;
  std::string header;
  std::string cover;
  int attempts = 3;
  int retryWait = 60;
  int dialWait = 60;
  std::string init;
  std::string number;
  std::string file;
};

std::string ParseSendOptions(const Args& args, SendOptions& options) {
  OptionReader reader;
  options.line.AddTo(reader);
  std::vector<std::string> operands;
  const std::string problem = reader.Text("--header", options.header)
                                  .Path("--cover", options.cover)
                                  .Number("--attempts", options.attempts, 0, INT_MAX, "a number of attempts")
                                  .Number("--retry-wait", options.retryWait, 0, INT_MAX, "a number of seconds")
                                  .Number("--dial-wait", options.dialWait, 1, INT_MAX, "a number of seconds")
                                  .Text("--init", options.init)
                                  .Read(args, operands);
  if (!problem.empty()) return problem;
  if (operands.size() != 2) return "give the number to dial and the fax file";
  options.number = operands[0];
  options.file = std::filesystem::absolute(operands[1]).string();
  return options.line.Check();
}

struct ReceiveOptions {
  LineOptions line;
  std::string dir = ".";
  int rings = 1;
  bool one = false;
};

std::string ParseReceiveOptions(const Args& args, ReceiveOptions& options) {
  OptionReader reader;
  options.line.AddTo(reader);
  std::vector<std::string> operands;
  const std::string problem = reader.Flag("--one", options.one)
                                  .Text("--dir", options.dir)
                                  .Number("--rings", options.rings, 1, INT_MAX, "a number of rings")
                                  .Read(args, operands);
  if (!problem.empty()) return problem;
  if (!operands.empty()) return "unexpected " + operands[0];
  return options.line.Check();
}

}  // namespace

int SendCommand(const Args& args) {
  SendOptions options;
  if (const std::string problem = ParseSendOptions(args, options); !problem.empty()) {
    return UsageError(problem, "send");
  }
  for (const std::string& record : {options.line.trace, options.line.log, options.line.history}) {
    if (auto refused = RefuseOutputOverInput(record, {options.file, options.cover})) return *refused;
  }
  if (!options.line.home.empty()) InitProgramFolder(options.line.home);

  FaxRun<TQaSendFax> run(options.line);
  TQaSendFax& fax = run.fax;
  fax.SetFaxClass(options.line.faxClass == TFaxClass::fcDetect ? TFaxClass::fcUnknown : options.line.faxClass);
  fax.SetHeaderLine(options.header);
  fax.SetDialAttempts(options.attempts);
  fax.SetDialRetryWait(options.retryWait);
  fax.SetDialWait(options.dialWait);
  fax.SetModemInit(options.init);
  fax.SetPhoneNumber(options.number);
  fax.SetFaxFile(options.file);
  fax.SetCoverFile(options.cover);

  int& result = run.result;
  StatusPrinter& status = run.status;
  fax.OnFaxError = [&](TQaAbstractFax&, int code) { result = code; };
  fax.OnFaxFinish = [&](TQaAbstractFax&, int code) {
    if (code != 0) result = code;
    run.finished = true;
  };

  const std::string problem = run.Run([&] { return fax.BeginSending(); });
  if (!problem.empty()) {
    status.Say("Failed: " + problem);
    return 1;
  }
  if (result != 0) {
    std::string text = "Failed: " + FailureText(result);
    if (fax.HangupCode() != 0) text += " (hang-up code " + std::to_string(fax.HangupCode()) + ")";
    status.Say(text);
    return 1;
  }
  const int pages = fax.TotalPages() + fax.Session().common.coverPages;
  status.Say("Sent " + std::to_string(pages) + (pages == 1 ? " page" : " pages") + " to \"" + fax.RemoteID() +
             "\" at " + std::to_string(fax.BitRate()) + " bit/s" + OverSip(run.port) +
             (fax.PagesReduced() ? ", fine pages reduced to standard resolution (the far end takes no fine)" : "") +
             CodingSaid(fax));
  return 0;
}

int ReceiveCommand(const Args& args) {
  ReceiveOptions options;
  if (const std::string problem = ParseReceiveOptions(args, options); !problem.empty()) {
    return UsageError(problem, "receive");
  }
  if (!options.line.home.empty()) InitProgramFolder(options.line.home);

  FaxRun<TQaReceiveFax> run(options.line);
  TQaReceiveFax& fax = run.fax;
  fax.SetFaxClass(options.line.faxClass);
  fax.SetDestinationDir(std::filesystem::absolute(options.dir).string());
  fax.SetAnswerOnRing(options.rings);
  fax.SetOneFax(options.one);
  fax.SetExitOnError(options.one);

  int& result = run.result;
  StatusPrinter& status = run.status;
  int faxes = 0;
  int pages = 0;
  fax.OnFaxLog = [&](TQaAbstractFax& f, TFaxLogCode code) {
    if (code == TFaxLogCode::lfaxReceiveOk) {
      TApfFileHeader header;
      const int filePages = ApfReadFileHeader(f.FaxFile(), header) == 0 ? header.pageCount : 0;
      status.Say("Received " + f.FaxFile() + " pages " + std::to_string(filePages) + " from \"" + f.RemoteID() +
                 "\"" + OverSip(run.port) + CodingSaid(f) + DamageSaid(f));
      ++faxes;
      pages += filePages;
    } else if (code == TFaxLogCode::lfaxReceiveFail) {
      status.Say("Receive failed: " + FailureText(f.LastError()));
    }
  };
  fax.OnFaxFinish = [&](TQaAbstractFax&, int code) {
    result = code;
    run.finished = true;
  };

  const std::string problem = run.Run([&] { return fax.BeginReceiving(); });
  if (!problem.empty()) {
    std::cerr << "tvfax: " << ForTerminal(problem) << "\n";
    return 1;
  }
  if (result != 0 && result != ecCancelRequested) status.Say("Failed: " + FailureText(result));
  status.Say(faxes == 0 ? std::string("Received no fax")
                        : "Received " + std::to_string(faxes) + (faxes == 1 ? " fax, " : " faxes, ") +
                              std::to_string(pages) + (pages == 1 ? " page" : " pages"));
  if (result != 0 && result != ecCancelRequested) return 1;
  return options.one && faxes == 0 ? 1 : 0;
}

}  // namespace tv::cli
