// The fax viewer on a 200-page fine fax of dense text, as the view window
// shows it (half size, 600 x 400 pixels): opening it and showing page 1,
// turning to any page (also with the page turned a quarter), the memory
// taken while paging through all of it, and, as the peer in the same run,
// poppler's pdftoppm rendering one page of the same fax printed to PDF.
// Printing the whole fax to PDF is timed too.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QProcess>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "image/fax_converter.h"
#include "view/widgets/fax_printer.h"
#include "view/widgets/fax_viewer.h"

namespace tv {
namespace {

constexpr int kPages = 200;

const std::string& Folder() {
  static const std::string folder = [] {
    std::string path = (std::filesystem::temp_directory_path() / "tv-view-bench-XXXXXX").string();
    return std::string(mkdtemp(path.data())) + "/";
  }();
  return folder;
}

// 200 pages of 68 lines of 86 characters at fine resolution.
const std::string& Fax() {
  static const std::string file = [] {
    std::string text;
    for (int page = 0; page < kPages; ++page) {
      if (page > 0) text += '\f';
      for (int line = 0; line < 68; ++line) {
        for (int c = 0; c < 86; ++c) text += static_cast<char>(33 + (page * 31 + line * 7 + c * 13) % 94);
        text += '\n';
      }
    }
    std::ofstream(Folder() + "fax.txt") << text;
    auto converter = MakeFileConverter(idText);
    converter->SetFine(true);
    converter->SetLeftMargin(0);
    converter->SetLinesPerPage(0);
    if (converter->Convert(Folder() + "fax.txt", Folder() + "fax.apf") != 0 || converter->PagesWritten() != kPages) {
      std::abort();
    }
    return Folder() + "fax.apf";
  }();
  return file;
}

const std::string& Pdf() {
  static const std::string file = [] {
    TQaFaxPrinter printer;
    printer.Printer().setOutputFileName(QString::fromStdString(Folder() + "fax.pdf"));
    printer.SetFileName(Fax());
    printer.PrintFax();
    return Folder() + "fax.pdf";
  }();
  return file;
}

// The viewer as the view and print window sets it up.
struct WindowViewer {
  TQaFaxViewer viewer;
  WindowViewer() {
    viewer.resize(600, 400);
    viewer.SetAutoScaleMode(TAutoScaleMode::asHalfWidth);
    viewer.SetScaling(true);
    viewer.SetHorizMult(50);
    viewer.SetHorizDiv(100);
    viewer.SetVertMult(50);
    viewer.SetVertDiv(100);
    viewer.show();
  }
  void Show() { viewer.viewport()->repaint(); }
};

// Resident memory in kilobytes: "VmRSS" now, "VmHWM" the peak since the
// last reset.
long ProcStatusKb(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field) + 1);
  }
  return -1;
}
void ResetPeakMemory() { std::ofstream("/proc/self/clear_refs") << "5"; }

long startKb = 0;  // resident memory when the program had started

void BM_OpenAndShowFirstPage(benchmark::State& state) {
  const std::string& fax = Fax();
  WindowViewer w;
  for (auto _ : state) {
    state.PauseTiming();
    w.viewer.SetFileName("");
    state.ResumeTiming();
    w.viewer.SetFileName(fax);
    w.Show();
  }
  if (w.viewer.PageCount() != kPages) state.SkipWithError("the fax did not open");
}
BENCHMARK(BM_OpenAndShowFirstPage)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TurnToAnyPage(benchmark::State& state) {
  WindowViewer w;
  w.viewer.SetFileName(Fax());
  w.viewer.SetRotation(static_cast<int>(state.range(0)));
  std::mt19937 random(1);
  for (auto _ : state) {
    w.viewer.SetActivePage(1 + static_cast<int>(random() % kPages));
    w.Show();
  }
  state.SetLabel(state.range(0) == 0 ? "upright" : "turned a quarter");
}
BENCHMARK(BM_TurnToAnyPage)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PageThroughAll(benchmark::State& state) {
  const std::string& fax = Fax();
  for (auto _ : state) {
    WindowViewer w;
    ResetPeakMemory();
    w.viewer.SetFileName(fax);
    w.Show();
    for (int page = 2; page <= kPages; ++page) {
      w.viewer.NextPage();
      w.Show();
    }
    if (w.viewer.ActivePage() != kPages) state.SkipWithError("did not reach the last page");
  }
  state.counters["peak_MB_above_start"] = static_cast<double>(ProcStatusKb("VmHWM") - startKb) / 1024.0;
}
BENCHMARK(BM_PageThroughAll)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// The peer: pdftoppm rendering one page of the printed fax at the fax's
// resolution, as a program that shows a PDF page would.
void BM_PdftoppmOnePage(benchmark::State& state) {
  const QString pdf = QString::fromStdString(Pdf());
  const QString out = QString::fromStdString(Folder() + "page");
  std::mt19937 random(1);
  for (auto _ : state) {
    const QString page = QString::number(1 + random() % kPages);
    if (QProcess::execute("pdftoppm", {"-r", "204", "-gray", "-f", page, "-l", page, "-singlefile", pdf, out}) != 0) {
      state.SkipWithError("pdftoppm failed");
    }
  }
}
BENCHMARK(BM_PdftoppmOnePage)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PrintAllToPdf(benchmark::State& state) {
  TQaFaxPrinter printer;
  printer.Printer().setOutputFileName(QString::fromStdString(Folder() + "again.pdf"));
  printer.SetFileName(Fax());
  for (auto _ : state) printer.PrintFax();
  state.counters["pages"] = kPages;
}
BENCHMARK(BM_PrintAllToPdf)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

}  // namespace
}  // namespace tv

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  tv::startKb = tv::ProcStatusKb("VmRSS");
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  std::filesystem::remove_all(tv::Folder());
  return 0;
}
