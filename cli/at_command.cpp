// tvfax at: the modem check a user or a support person runs first. Opens the
// port as the program's windows do, sends each command and prints the
// modem's reply lines.
#include <climits>
#include <filesystem>
#include <iostream>

#include "cli/commands.h"
#include "cli/options.h"
#include "comm/modem_commands.h"
#include "comm/qa_port.h"
#include "platform/paths.h"

namespace tv::cli {

namespace {

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
  const std::string problem = OptionReader()
                                  .Text("--device", options.device)
                                  .Text("--home", options.home)
                                  .Number("--com", options.com, 1, 255, "a port number")
                                  .Number("--baud", options.baud, 1, INT_MAX, "a baud rate")
                                  .Number("--timeout", options.timeout, 1, INT_MAX, "a number of seconds")
                                  .Path("--trace", options.trace)
                                  .Path("--log", options.log)
                                  .OperandsLast()
                                  .Read(args, options.commands);
  if (!problem.empty()) return problem;
  if (options.commands.empty()) return "no command to send";
  if (options.device.empty() == (options.com == 0)) return "give either --device PATH or --com N";
  return {};
}

}  // namespace

int AtCommand(const Args& args) {
  AtOptions options;
  if (const std::string problem = ParseAtOptions(args, options); !problem.empty()) return UsageError(problem, "at");
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
