// tvfax printer install | remove: the Tessivane fax printer in CUPS. The
// backend goes into CUPS's backend folder with mode 0700 (so the scheduler
// runs it as root and it can take each job owner's identity): copied there
// from a build tree, put there by the package otherwise. A queue
// "Tessivane" is added with lpadmin, using the backend's PPD file and CUPS's
// "authenticated" policy.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

#include "cli/commands.h"
#include "platform/child_process.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace tv::cli {

namespace {

constexpr const char* kQueue = "Tessivane";
constexpr const char* kBackendName = "tessivane";

// Where CUPS looks for backends: CUPS_SERVERBIN (as the scheduler itself
// honours it), else Debian's server folder.
std::string BackendFolder() {
  const char* serverBin = std::getenv("CUPS_SERVERBIN");
  return WithSlash(serverBin && *serverBin ? serverBin : "/usr/lib/cups") + "backend/";
}

// The backend and its PPD: built beside this program in the build tree
// (printer/ next to cli/), or installed by the package, the backend right in
// CUPS's folder and the PPD under share/ppd/tessivane/ next to bin/.
struct PrinterFiles {
  std::string backend;
  std::string ppd;
  bool packaged = false;  // the package owns the backend: never copied or removed here
};

std::optional<PrinterFiles> FindPrinterFiles() {
  const std::string exe = ExecutableFolder();
  if (IsRegularFile(exe + "../printer/" + kBackendName)) {
    return PrinterFiles{exe + "../printer/" + kBackendName, exe + "../printer/tessivane.ppd"};
  }
  const std::string ppd = exe + "../share/ppd/tessivane/tessivane.ppd";
  if (IsRegularFile(ppd) && IsRegularFile(BackendFolder() + kBackendName)) {
    return PrinterFiles{BackendFolder() + kBackendName, ppd, true};
  }
  return std::nullopt;
}

const char* const kNoCups =
    "CUPS is not installed; install it (sudo apt install cups) and run \"tvfax printer install\" again";

// Runs lpadmin; empty, or what it said.
std::string Lpadmin(const Args& arguments) {
  Args argv{"lpadmin"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::string output;
  int status = 0;
  if (const int error = ChildProcess::Run(argv, status, &output); error != 0)
    return error == ENOENT ? kNoCups : std::string("cannot run lpadmin: ") + std::strerror(error);
  while (!output.empty() && output.back() == '\n') output.pop_back();
  if (status != 0) return output.empty() ? "lpadmin failed (status " + std::to_string(status) + ")" : output;
  return {};
}

int Fail(const std::string& message) {
  std::cerr << "tvfax: " << message << "\n";
  return 1;
}

// Copies a backend built beside this program into CUPS's folder.
int CopyBackend(const std::string& from) {
  const std::string folder = BackendFolder();
  if (access(folder.c_str(), F_OK) != 0) return Fail(kNoCups);
  std::ifstream in(from, std::ios::binary);
  std::ostringstream program;
  program << in.rdbuf();
  const std::string target = folder + kBackendName;
  if (const int error = ReplaceFileContents(target, program.str()); error != 0)
    return Fail("cannot write " + target + ": " + std::strerror(error));
  // Owned by root and mode 0700: CUPS runs such a backend as root.
  if (chown(target.c_str(), 0, 0) != 0 || chmod(target.c_str(), 0700) != 0)
    return Fail("cannot make " + target + " root's, mode 0700: " + std::strerror(errno));
  std::cout << "Copied the fax printer's backend to " << target << " (mode 0700)\n";
  return 0;
}

int Install() {
  const std::optional<PrinterFiles> files = FindPrinterFiles();
  if (!files) return Fail("the fax printer's backend was not found beside tvfax (" + ExecutableFolder() + ")");
  if (!files->packaged) {
    if (const int status = CopyBackend(files->backend); status != 0) return status;
  }
  const std::string problem =
      Lpadmin({"-p", kQueue, "-E", "-v", "tessivane:/", "-P", files->ppd, "-D", "Tessivane fax printer",
               "-L", "This computer", "-o", "printer-is-shared=false",
               // A job's user is the one who authenticated, never a name the
               // client gives: otherwise anyone could fill another user's list.
               "-o", "printer-op-policy=authenticated"});
  if (problem.find("Unable to connect") != std::string::npos)
    return Fail("cannot add the printer queue: " + problem + " (is the CUPS scheduler running? sudo systemctl start cups)");
  if (problem.find("printer-op-policy") != std::string::npos)
    return Fail("cannot add the printer queue: " + problem +
                " (the scheduler's cupsd.conf lacks the <Policy authenticated> section that CUPS ships; put it back)");
  if (!problem.empty()) return Fail("cannot add the printer queue: " + problem);
  std::cout << "Added the printer \"" << kQueue << "\": documents printed to it appear in the outgoing list of the "
            << "user who prints them (who must have started Tessivane once)\n";
  return 0;
}

int Remove() {
  const std::string problem = Lpadmin({"-x", kQueue});
  if (problem.empty()) std::cout << "Removed the printer \"" << kQueue << "\"\n";
  else Fail("the printer queue was not removed: " + problem);
  const std::optional<PrinterFiles> files = FindPrinterFiles();
  if (files && files->packaged) return problem.empty() ? 0 : 1;  // the package removes its backend
  const std::string backend = BackendFolder() + kBackendName;
  if (unlink(backend.c_str()) == 0) std::cout << "Removed " << backend << "\n";
  else if (errno != ENOENT) return Fail("cannot remove " + backend + ": " + std::strerror(errno));
  return problem.empty() ? 0 : 1;
}

}  // namespace

int PrinterCommand(const Args& args) {
  if (args.size() != 1 || (args[0] != "install" && args[0] != "remove"))
    return UsageError("printer takes install or remove");
  if (geteuid() != 0) return Fail("adding or removing a printer needs root: sudo tvfax printer " + args[0]);
  return args[0] == "install" ? Install() : Remove();
}

}  // namespace tv::cli
