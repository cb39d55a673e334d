// The Tessivane fax printer: a CUPS backend that turns a print job (PDF
// from the CUPS filter chain, or PostScript) into a fax in the job owner's
// outgoing list. Ghostscript renders the pages at fax resolution, the
// converter codes them into one APF file, and the file and its three-line
// description land in the SEND folder that the owner's TVPD.INI names.
//
// CUPS runs it as root when it is installed with mode 0700; it takes the
// owner's identity before touching their files. Every failure ends the job
// with a message in the job log; the queue itself keeps working.
#include <cups/backend.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>

#include "image/document_input.h"
#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "printer/cups_job.h"
#include "printer/owner_folder.h"

namespace tv::printer {

namespace {

volatile sig_atomic_t stopRequested = 0;

void OnStop(int) { stopRequested = 1; }

// A job cancelled in CUPS gets SIGTERM: the conversion stops at its next
// line or wait, and what it wrote is removed.
void HandleStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

// CUPS reads each line a backend writes to standard error as a command
// when it starts with one of its prefixes (ERROR:, STATE:, PPD:, ...): a
// message, which quotes job data, is therefore kept to one line.
constexpr std::size_t kMaxMessage = 1000;

int Fail(const std::string& message) {
  std::cerr << "ERROR: " << OneLine(message, kMaxMessage) << std::endl;
  return CUPS_BACKEND_CANCEL;
}

// Renders the job's document into `staged`; empty, or why not.
std::string Render(const std::string& document, const std::string& staged, const JobRendering& rendering,
                   int& pages) {
  const auto kind = DocumentKind(document);
  if (kind != idPdf && kind != idPostScript) return "the job is neither PDF nor PostScript";
  const std::unique_ptr<FaxConverter> made = MakeDocumentConverter(*kind, rendering.document);
  FaxConverter& converter = *made;
  converter.SetOptions(0);  // no window to keep alive
  converter.SetFine(rendering.fine);
  converter.SetStatusCallback([](FaxConverter&, int flags, int page, int line, std::int64_t, std::int64_t) {
    if (flags == 0 && line == 1) std::cerr << "INFO: Page " << page << std::endl;
    return stopRequested != 0;
  });
  const int rc = converter.Convert(document, staged);
  pages = converter.PagesWritten();
  if (rc == ecOK) return {};
  if (stopRequested) return "the job was cancelled";
  return converter.ErrorDetail().empty() ? ErrorMessageText(rc) : converter.ErrorDetail();
}

int RunJob(const CupsJob& job) {
  const char* ppd = std::getenv("PPD");
  const JobRendering rendering = RenderingOf(job, ppd ? ppd : "");
  // The spooled file may be readable only by the scheduler's own users:
  // it is opened before the owner's identity is taken.
  int input = STDIN_FILENO;
  if (!job.file.empty() && (input = OpenRegularFile(job.file, O_RDONLY)) < 0)
    return Fail("cannot open the job's file " + job.file + ": " + std::strerror(errno));
  if (!IsLocalJob(job)) {
    const std::string host = job.Option("job-originating-host-name");
    return Fail("faxes are printed only for jobs sent from this computer; this one came from " +
                (host.empty() ? std::string("an unknown place") : host));
  }
  const passwd* entry = getpwnam(job.user.c_str());
  if (!entry) return Fail("there is no user \"" + job.user + "\" on this computer");
  const passwd owner = *entry;
  if (const std::string problem = BecomeUser(owner); !problem.empty()) return Fail(problem);

  SendFolder send;
  std::string problem = send.Open(owner);
  if (!problem.empty()) return Fail(problem);
  const int document = send.CopyToAnonymousFile(input, problem);
  if (document < 0) return Fail(problem);
  const std::string staged = send.CreateWorkFile(".apf", problem);
  if (staged.empty()) return Fail(problem);
  int pages = 0;
  problem = Render("/dev/fd/" + std::to_string(document), send.Path() + staged, rendering, pages);
  close(document);
  std::string name;
  if (problem.empty()) name = send.PublishPair(staged, DescriptionOf(job), problem);
  send.RemoveFile(staged);
  if (!problem.empty()) return Fail(problem);
  std::cerr << "INFO: The fax " << name << " (" << pages << (pages == 1 ? " page" : " pages")
            << ") is in Tessivane's outgoing list" << std::endl;
  return CUPS_BACKEND_OK;
}

}  // namespace

}  // namespace tv::printer

int main(int argc, char** argv) {
  if (argc == 1) {
    // Device discovery (lpinfo -v).
    std::cout << "direct tessivane:/ \"Tessivane Fax Printer\" \"Tessivane fax printer\"" << std::endl;
    return CUPS_BACKEND_OK;
  }
  const auto job = tv::printer::ParseCupsJob(argc, argv);
  if (!job) {
    std::cerr << "Usage: " << argv[0] << " job-id user title copies options [file]" << std::endl;
    return CUPS_BACKEND_FAILED;
  }
  tv::printer::HandleStopSignals();
  return tv::printer::RunJob(*job);
}
