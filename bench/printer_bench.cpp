// The fax printer's backend against Ghostscript alone on the same 10-page
// text PDF, in the same run (bench/compare.h, rounds alternating). The
// backend is run as CUPS runs it and leaves a fax in a SEND folder; the peer
// is Ghostscript rendering the same pages to PBM at the same resolution and
// size. Both are child processes: the counters are their CPU time (children
// included) and wall time per page, and the CPU ratio backend / Ghostscript.
// The rest of the path (reading Ghostscript's pages, coding, the files)
// should add less than 20 % to Ghostscript's own time.
//
// Needs root (the backend takes the job owner's identity), Ghostscript and
// the user tvprint that scripts/setup.sh adds; it points tvprint's TVPD.INI
// at its own SEND folder while it runs, so not while the printer tests run.
//
//   printer_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
//       --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/compare.h"
#include "platform/child_process.h"

namespace tv {
namespace {

namespace fs = std::filesystem;

constexpr int kPages = 10;
constexpr const char* kUser = "tvprint";

// A page of text as a letter has it: 56 lines of Times at 11 points.
constexpr const char* kTextPage =
    "/Times-Roman findfont 11 scalefont setfont\n"
    "0 1 55 { /i exch def 60 760 i 13 mul sub moveto\n"
    "(Dear customer, the quick brown fox jumps over the lazy dog: 0123456789.) show } for showpage\n";

double ChildrenCpuMs() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  const auto ms = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1e3 + t.tv_usec / 1e3; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// Runs a program to its end with `environment` added; false when it failed.
bool RunToEnd(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {}) {
  std::vector<std::string> command = {"env"};
  command.insert(command.end(), environment.begin(), environment.end());
  command.insert(command.end(), argv.begin(), argv.end());
  ChildProcess child;
  if (child.Start(command) != 0) return false;
  char buffer[4096];
  for (std::size_t got = 1; got > 0 && child.Read(buffer, sizeof buffer, 60000, got) == 0;) {
  }
  const int status = child.Wait();
  if (status != 0) std::fprintf(stderr, "%s failed (%d): %s\n", argv[0].c_str(), status, child.ErrorOutput().c_str());
  return status == 0;
}

// The print user's Tessivane folder and the document, made once.
struct Setup {
  std::string folder;  // holds the PDF and SEND/
  std::string send;
  std::string pdf;
  std::string tvpd;
  std::string skipped;  // why the benchmark cannot run here

  Setup() {
    const passwd* user = getpwnam(kUser);
    if (geteuid() != 0 || !user) {
      skipped = "needs root and the user tvprint (scripts/setup.sh)";
      return;
    }
    const fs::path config = fs::path(user->pw_dir) / ".config" / "tessivane";
    tvpd = (config / "TVPD.INI").string();
    if (fs::exists(tvpd)) {
      skipped = tvpd + " exists: the printer tests (or another run) are using tvprint";
      tvpd.clear();
      return;
    }
    char pattern[] = "/tmp/tv-printer-bench-XXXXXX";
    folder = mkdtemp(pattern);
    fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
    send = folder + "/SEND";
    pdf = folder + "/letter.pdf";
    const std::string ps = folder + "/letter.ps";
    {
      std::ofstream out(ps);
      out << "%!PS\n";
      for (int page = 0; page < kPages; ++page) out << kTextPage;
    }
    const std::string owner = std::to_string(user->pw_uid) + ":" + std::to_string(user->pw_gid);
    if (!RunToEnd({"gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pdfwrite", "-sPAPERSIZE=a4",
                   "-dFIXEDMEDIA", "-sOutputFile=" + pdf, ps}) ||
        !RunToEnd({"install", "-d", "-o", kUser, "-g", kUser, send, (config.parent_path()).string(), config.string()})) {
      skipped = "cannot make the document or the folders";
      return;
    }
    std::ofstream(tvpd) << "[Location]\r\nTVOutPath=" << send << "/\r\n";
    if (chown(tvpd.c_str(), user->pw_uid, user->pw_gid) != 0) skipped = "cannot give TVPD.INI to tvprint";
  }

  ~Setup() {
    if (!tvpd.empty()) fs::remove(tvpd);
    if (!folder.empty()) fs::remove_all(folder);
  }

  // Empties SEND between rounds, so every fax gets the same name.
  void EmptySend() const {
    for (const auto& entry : fs::directory_iterator(send)) fs::remove(entry.path());
  }
};

const Setup& TheSetup() {
  static const Setup setup;
  return setup;
}

void BM_BackendAgainstGhostscript(benchmark::State& state) {
  const Setup& setup = TheSetup();
  if (!setup.skipped.empty()) {
    state.SkipWithError(setup.skipped.c_str());
    return;
  }
  const std::string ppd = fs::path(TV_CUPS_BACKEND).parent_path() / "tessivane.ppd";
  bool ok = true;
  bench::Side backend{
      [&] {
        ok &= RunToEnd({TV_CUPS_BACKEND, "17", kUser, "Letter", "1", "job-originating-host-name=localhost",
                        setup.pdf},
                       {"PPD=" + ppd, "DEVICE_URI=tessivane:/", "CONTENT_TYPE=application/pdf"});
      },
      [] {}, [&] { setup.EmptySend(); }};
  // The backend's own rendering: fine resolution, A4 at 1728 pixels.
  bench::Side ghostscript{[&] {
    ok &= RunToEnd({"gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-dNOPROMPT", "-sDEVICE=pbmraw", "-r204x196",
                    "-g1728x2292", "-dFIXEDMEDIA", "-dFitPage", "-dTextAlphaBits=1", "-dGraphicsAlphaBits=1",
                    "-sOutputFile=/dev/null", "-f", setup.pdf});
  }};
  bench::Compare(state, backend, ghostscript, [] { return bench::ProcessCpuMs() + ChildrenCpuMs(); });
  if (!ok) state.SkipWithError("a round failed");
  for (const char* counter : {"ours_ms", "peer_ms", "ours_wall_ms", "peer_wall_ms"})
    state.counters[std::string(counter) + "_page"] = state.counters[counter] / kPages;
  const double peerWall = state.counters["peer_wall_ms"];
  state.counters["wall_ratio"] = peerWall > 0 ? state.counters["ours_wall_ms"] / peerWall : 0;
}
BENCHMARK(BM_BackendAgainstGhostscript)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(4);

}  // namespace
}  // namespace tv

BENCHMARK_MAIN();
