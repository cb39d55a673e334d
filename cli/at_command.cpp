// tvfax at: the modem check a user or a support person runs first. Opens the
// port as the program's windows do, sends each command and prints the
// modem's reply lines.
#include <charconv>
#include <filesystem>
#include <iostream>

#include "cli/commands.h"
#include "comm/modem_commands.h"
#include "comm/qa_port.h"
#include "platform/paths.h"

namespace tv::cli {

namespace {

constexpr const char* kAtUsage =
    "usage: tvfax at [--device PATH | --home DIR --com N] [--baud B] [--timeout SECONDS] "
    "[--trace FILE] [--log FILE] COMMAND...";

bool ParseNumber(const std::string& text, int& value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() && value > 0;
}

struct AtOptions {
  std::string device;
  std::string home;
  int com = 0;
  int baud = 19200;
  int timeout = 5;
  std::string trace;
  std::string log;
  std::vector<std::string> commands;
};

// Returns an empty string, or what is wrong with the arguments.
std::string ParseAtOptions(const Args& args, AtOptions& options) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.rfind("--", 0) != 0) {
      options.commands.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
      break;
    }
    if (i + 1 >= args.size()) return arg + " needs a value";
    const std::string& value = args[++i];
    if (arg == "--device") {
      options.device = value;
    } else if (arg == "--home") {
      options.home = value;
    } else if (arg == "--com") {
      if (!ParseNumber(value, options.com) || options.com > 255) return "not a port number: " + value;
    } else if (arg == "--baud") {
      if (!ParseNumber(value, options.baud)) return "not a baud rate: " + value;
    } else if (arg == "--timeout") {
      if (!ParseNumber(value, options.timeout)) return "not a number of seconds: " + value;
    } else if (arg == "--trace") {
      options.trace = std::filesystem::absolute(value).string();
    } else if (arg == "--log") {
      options.log = std::filesystem::absolute(value).string();
    } else {
      return "unknown option " + arg;
    }
  }
  if (options.commands.empty()) return "no command to send";
  if (options.device.empty() == (options.com == 0)) return "give either --device PATH or --com N";
  return {};
}

}  // namespace

int AtCommand(const Args& args) {
  AtOptions options;
  if (const std::string problem = ParseAtOptions(args, options); !problem.empty()) {
    return UsageError(problem + "\n" + kAtUsage);
  }
  if (!options.home.empty()) InitProgramFolder(options.home);

  TQaComPort port;
  port.SetComNumber(static_cast<std::uint16_t>(options.device.empty() ? options.com : 1));
  port.SetDevicePath(options.device);
  port.SetInSize(8192);
  port.SetOutSize(8192);
  port.SetAutoOpen(false);
  port.SetHWFlowOptions(hwfUseRTS | hwfRequireCTS);
  port.SetBufferFull(7372);
  port.SetBufferResume(819);
  port.SetTapiMode(tmOff);
  port.SetBaud(options.baud);
  RecordPortTraffic(port, options.trace, options.log);

  if (const std::string problem = OpenPortProblem(port); !problem.empty()) {
    std::cerr << "tvfax: " << problem << "\n";
    return 1;
  }
  bool allOk = false;
  try {
    allOk = RunAtCommands(port, options.commands, options.timeout, std::cout, std::cerr);
    port.SetOpen(false);  // writes the trace and the log
  } catch (const std::exception& error) {
    std::cerr << "tvfax: " << error.what() << "\n";
    return 1;
  }
  return allOk ? 0 : 1;
}

}  // namespace tv::cli
