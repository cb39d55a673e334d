// A 20-page fine fax saved as PDF against tiff2pdf (libtiff's tools) making
// a PDF of the same pages held as a Group 4 TIFF, in the same run
// (bench/compare.h, rounds alternating). tiff2pdf copies the TIFF's G4 data
// as it is; we re-code each page from the fax file's MH to G4 first. Two
// comparisons: the export in this process against tiff2pdf as a child
// process (what the windows do), and `tvfax pdf` against tiff2pdf, both as
// child processes. The counters are CPU (children included) and wall time
// per document, and the sizes of both PDFs (size_ratio: ours / tiff2pdf).
// Beside it, the CPU that recognising the text of one page takes.
//
//   pdf_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
//       --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <tiffio.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/compare.h"
#include "export/fax_pdf.h"
#include "image/fax_converter.h"
#include "image/fax_unpacker.h"
#include "platform/child_process.h"

namespace tv {
namespace {

namespace fs = std::filesystem;

constexpr int kPages = 20;

double ChildrenCpuMs() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  const auto ms = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1e3 + t.tv_usec / 1e3; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

bool RunToEnd(const std::vector<std::string>& argv) {
  ChildProcess child;
  if (child.Start(argv) != 0) return false;
  char buffer[4096];
  for (std::size_t got = 1; got > 0 && child.Read(buffer, sizeof buffer, 60000, got) == 0;) {
  }
  const int status = child.Wait();
  if (status != 0) std::fprintf(stderr, "%s failed (%d): %s\n", argv[0].c_str(), status, child.ErrorOutput().c_str());
  return status == 0;
}

// The pages of a fax file as a G4 TIFF at 204 x 196 dpi, written by libtiff.
bool WriteG4Tiff(const std::string& fax, const std::string& file) {
  TIFF* tiff = TIFFOpen(file.c_str(), "w");
  if (!tiff) return false;
  bool ok = true;
  for (int page = 1; page <= kPages && ok; ++page) {
    std::vector<std::vector<std::uint8_t>> rows;
    FaxUnpacker unpacker;
    unpacker.SetOptions(0);
    unpacker.SetLineCallback([&](FaxUnpacker&, int flags, const std::uint8_t* line, int bytes, int) {
      if (flags == 0) rows.emplace_back(line, line + bytes);
      return 0;
    });
    ok = unpacker.UnpackPage(fax, page) == 0 && !rows.empty();
    if (!ok) break;
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, kStandardWidth);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(rows.size()));
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, static_cast<std::uint32_t>(rows.size()));
    TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(tiff, TIFFTAG_XRESOLUTION, 204.0F);
    TIFFSetField(tiff, TIFFTAG_YRESOLUTION, 196.0F);
    TIFFSetField(tiff, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
    TIFFSetField(tiff, TIFFTAG_PAGENUMBER, page - 1, kPages);
    for (std::size_t row = 0; row < rows.size() && ok; ++row)
      ok = TIFFWriteScanline(tiff, rows[row].data(), static_cast<std::uint32_t>(row), 0) == 1;
    ok = ok && TIFFWriteDirectory(tiff) == 1;
  }
  TIFFClose(tiff);
  return ok;
}

// The fax (twenty pages of a dense letter at fine resolution) and its TIFF.
struct Setup {
  std::string folder;
  std::string fax;
  std::string tiff;
  std::string skipped;

  Setup() {
    char pattern[] = "/tmp/tv-pdf-bench-XXXXXX";
    folder = mkdtemp(pattern);
    fax = folder + "/letter.apf";
    tiff = folder + "/letter.tif";
    std::string text;
    for (int page = 0; page < kPages; ++page) {
      for (int line = 0; line < 60; ++line)
        text += "Dear customer, the quick brown fox jumps over the lazy dog: 0123456789, line " +
                std::to_string(line) + ".\n";
      text += '\f';
    }
    std::ofstream(folder + "/letter.txt") << text;
    TQaFaxConverter converter;
    converter.SetInputDocumentType(idText);
    converter.SetResolution(TFaxResolution::frHigh);
    converter.SetDocumentFile(folder + "/letter.txt");
    converter.SetOutFileName(fax);
    if (converter.ConvertToFile() != kPages) {
      skipped = "the converter did not make 20 pages";
    } else if (!WriteG4Tiff(fax, tiff)) {
      skipped = "cannot write the G4 TIFF";
    }
  }
  ~Setup() { fs::remove_all(folder); }
};

const Setup& TheSetup() {
  static const Setup setup;
  return setup;
}

void Report(benchmark::State& state, const std::string& ours, const std::string& peer) {
  std::error_code ignored;
  const auto oursBytes = static_cast<double>(fs::file_size(ours, ignored));
  const auto peerBytes = static_cast<double>(fs::file_size(peer, ignored));
  state.counters["ours_kB"] = oursBytes / 1e3;
  state.counters["peer_kB"] = peerBytes / 1e3;
  state.counters["size_ratio"] = peerBytes > 0 ? oursBytes / peerBytes : 0;
  const double peerWall = state.counters["peer_wall_ms"];
  state.counters["wall_ratio"] = peerWall > 0 ? state.counters["ours_wall_ms"] / peerWall : 0;
}

void Against(benchmark::State& state, const std::function<bool(const std::string& fax, const std::string& pdf)>& ours) {
  const Setup& setup = TheSetup();
  if (!setup.skipped.empty()) {
    state.SkipWithError(setup.skipped.c_str());
    return;
  }
  const std::string oursPdf = setup.folder + "/ours.pdf";
  const std::string peerPdf = setup.folder + "/tiff2pdf.pdf";
  bool ok = true;
  bench::Side export_{[&] { ok &= ours(setup.fax, oursPdf); }};
  bench::Side tiff2pdf{[&] { ok &= RunToEnd({"tiff2pdf", "-o", peerPdf, setup.tiff}); }};
  bench::Compare(state, export_, tiff2pdf, [] { return bench::ProcessCpuMs() + ChildrenCpuMs(); });
  if (!ok) state.SkipWithError("a round failed");
  Report(state, oursPdf, peerPdf);
}

void BM_ExportAgainstTiff2pdf(benchmark::State& state) {
  Against(state, [](const std::string& fax, const std::string& pdf) {
    return WriteFaxPdf({fax}, pdf, FaxFileDetails(fax), TFaxPaper::fpA4) == 0;
  });
}
BENCHMARK(BM_ExportAgainstTiff2pdf)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_TvfaxAgainstTiff2pdf(benchmark::State& state) {
  Against(state, [](const std::string& fax, const std::string& pdf) {
    return RunToEnd({TVFAX_PATH, "pdf", fax, pdf});
  });
}
BENCHMARK(BM_TvfaxAgainstTiff2pdf)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

// OCR at the default setting (English): process CPU per page, all of the
// engine's threads counted, for one dense page of text at each resolution.
// Tesseract's OpenMP threads spin while they wait: OMP_THREAD_LIMIT=1 in
// the environment shows the CPU the work itself takes.
void BM_OcrPage(benchmark::State& state) {
  const Setup& setup = TheSetup();
  const bool fine = state.range(0) != 0;
  const std::string page = setup.folder + (fine ? "/fine.apf" : "/standard.apf");
  {
    std::ofstream text(setup.folder + "/page.txt");
    for (int line = 0; line < 60; ++line)
      text << "Dear customer, the quick brown fox jumps over the lazy dog: 0123456789, line " << line << ".\n";
  }
  TQaFaxConverter converter;
  converter.SetInputDocumentType(idText);
  converter.SetResolution(fine ? TFaxResolution::frHigh : TFaxResolution::frNormal);
  converter.SetDocumentFile(setup.folder + "/page.txt");
  converter.SetOutFileName(page);
  if (!setup.skipped.empty() || converter.ConvertToFile() != 1 || !OcrAvailable("eng")) {
    state.SkipWithError("no page, or no English for Tesseract");
    return;
  }
  double cpu = 0;
  std::size_t words = 0;
  for (auto _ : state) {
    const double before = bench::ProcessCpuMs();
    std::vector<OcrPage> pages;
    if (RecogniseFax(page, "eng", pages) != 0 || pages.empty()) state.SkipWithError("recognition failed");
    cpu += bench::ProcessCpuMs() - before;
    words = pages.empty() ? 0 : pages.front().size();
  }
  state.counters["cpu_ms_page"] = cpu / static_cast<double>(state.iterations());
  state.counters["words"] = static_cast<double>(words);
}
BENCHMARK(BM_OcrPage)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace tv

BENCHMARK_MAIN();
