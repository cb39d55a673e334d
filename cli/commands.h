// Sub-commands of the tvfax tool. Each takes the arguments after its name and
// returns the process exit status; failures print one clear line to stderr.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tv {
class TQaComPort;
}

namespace tv::cli {

using Args = std::vector<std::string>;

struct Command {
  const char* name;
  const char* usage;    // the arguments, as shown by --help
  const char* summary;  // one line
  int (*run)(const Args& args);
};

int ErrorCommand(const Args& args);
int DbCommand(const Args& args);
int AtCommand(const Args& args);
int InfoCommand(const Args& args);
int ConvertCommand(const Args& args);
int RenderCommand(const Args& args);
int AppendCommand(const Args& args);
int RerenderCommand(const Args& args);
int PdfCommand(const Args& args);
int SendCommand(const Args& args);
int ReceiveCommand(const Args& args);
int PrinterCommand(const Args& args);
int SipCommand(const Args& args);
int PrintCommand(const Args& args);  // with the window libraries only
int CoverCommand(const Args& args);  // with the window libraries only

// Prints "tvfax: <message>" to stderr and returns the usage-error status 2.
int UsageError(const std::string& message);
// "usage: tvfax COMMAND ARGUMENTS", as --help shows it.
std::string Usage(std::string_view command);
// UsageError with what is wrong and the command's usage.
int UsageError(const std::string& problem, std::string_view command);

// A command never writes over what it reads: when `output` names one of the
// inputs (under any spelling, through a link or a hard link), the usage
// error that says so; nothing otherwise. Empty names are skipped.
std::optional<int> RefuseOutputOverInput(const std::string& output, const std::vector<std::string>& inputs);

// Opens the port; on failure the device path and the reason (no such
// device, in use, no permission), else an empty text.
std::string OpenPortProblem(TQaComPort& port);

// Has the port write a trace and a dispatch log of its traffic to the files
// named (none when a name is empty); they are written when the port closes.
void RecordPortTraffic(TQaComPort& port, const std::string& trace, const std::string& log);

}  // namespace tv::cli
