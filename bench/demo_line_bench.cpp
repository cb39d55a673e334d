// The demo line's cost: one fine A4 page of text sent through it, with the
// program's fax engine and the line's modem and far end in one process.
//
// DemoFast: the line as fast as the machine allows ("demo:fast"); counter
// cpu_s_per_page is the process's CPU time (every thread) per page. The
// line's audio processing must keep it under 2 s on a two-core machine.
// DemoRealTime: the line at its real speed ("demo"); counter cpu_share_pct
// is CPU time over wall time while the page goes, in percent of one core
// (target: under 25).
#include <benchmark/benchmark.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "comm/qa_port.h"
#include "fax/fax_components.h"
#include "image/fax_converter.h"
#include "line/demo_line.h"
#include "platform/paths.h"
#include "platform/ui_thread.h"

namespace {

double ProcessCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct Scratch {
  Scratch() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tv-demo-bench-XXXXXX").string();
    path = std::string(mkdtemp(pattern.data())) + "/";
    tv::InitProgramFolder(path);
    tv::InstallDemoLine();
    // A full fine A4 page: 60 lines of text.
    std::ofstream text(path + "page.txt");
    for (int line = 1; line <= 60; ++line) {
      text << "Line " << line << " of the measured page: the quick brown fox jumps over the lazy dog.\n";
    }
    text.close();
    tv::FaxConverter converter(tv::MakeTextInput(), "TXT");
    converter.SetFine(true);
    converter.SetLinesPerPage(60);
    converter.Convert(path + "page.txt", path + "page.apf");
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string path;
};

const Scratch& Work() {
  static const Scratch scratch;
  return scratch;
}

// Sends the page through the device; whether it went.
bool SendPage(const std::string& device) {
  tv::HeadlessUiThread ui;
  tv::UiThread::Install(&ui);
  tv::TQaComPort port;
  port.SetComNumber(1);
  port.SetDevicePath(device);
  bool finished = false;
  int code = -1;
  {
    tv::TQaSendFax fax;
    fax.SetComPort(&port);
    fax.SetFaxClass(tv::TFaxClass::fcClass1);
    fax.SetDesiredBPS(14400);
    fax.SetStationID("BENCH");
    fax.SetPhoneNumber("5550100");
    fax.SetFaxFile(Work().path + "page.apf");
    fax.OnFaxFinish = [&](tv::TQaAbstractFax&, int c) {
      code = c;
      finished = true;
    };
    if (fax.BeginSending() == 0) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
      while (!finished && std::chrono::steady_clock::now() < deadline) ui.WaitForMessages(20);
    }
  }
  port.SetOpen(false);
  tv::UiThread::Install(nullptr);
  return finished && code == 0;
}

void Measure(benchmark::State& state, const std::string& device) {
  Work();
  double cpu = 0, wall = 0;
  int pages = 0;
  for (auto _ : state) {
    const double cpu0 = ProcessCpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    if (!SendPage(device)) {
      state.SkipWithError("the page did not go through");
      return;
    }
    cpu += ProcessCpuSeconds() - cpu0;
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    ++pages;
  }
  state.counters["cpu_s_per_page"] = cpu / pages;
  state.counters["wall_s_per_page"] = wall / pages;
  state.counters["cpu_share_pct"] = 100 * cpu / wall;
}

void DemoFast(benchmark::State& state) { Measure(state, tv::kDemoFastDevice); }
void DemoRealTime(benchmark::State& state) { Measure(state, tv::kDemoDevice); }

BENCHMARK(DemoFast)->Iterations(3)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(DemoRealTime)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
