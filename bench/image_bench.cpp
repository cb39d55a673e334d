// Modified Huffman, MR and MMR decoding and encoding against libtiff's own
// fax codecs (G3 1-D, G3 2-D, G4) on the same pages in the same run
// (bench/compare.h: process CPU per page, ours / libtiff), plus the page
// re-rendering and the unpack of a 50-page fax to bitmaps.
//
//   image_bench --benchmark_filter=Compare --benchmark_repetitions=5
//       --benchmark_report_aggregates_only=true --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>
#include <tiffio.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "bench/compare.h"
#include "image/apf_file.h"
#include "image/dither_matrix.h"
#include "image/fax_converter.h"
#include "image/fax_unpacker.h"
#include "image/t4_2d_coding.h"
#include "image/t4_coding.h"

namespace tv {
namespace {

constexpr int kPageLines = 2200;  // a fine-resolution page
constexpr int kLineBytes = kStandardLineBytes;

struct Page {
  std::vector<std::uint8_t> raster;  // kPageLines x 216 bytes, 1 = black
  std::vector<std::uint8_t> coded;   // our Modified Huffman lines
};

const std::string& ScratchFolder() {
  static const std::string folder = [] {
    const auto path = std::filesystem::temp_directory_path() / "tv-image-bench";
    std::filesystem::create_directories(path);
    return path.string() + "/";
  }();
  return folder;
}

std::vector<std::uint8_t> CodePage(const std::vector<std::uint8_t>& raster) {
  T4LineCoder coder;
  coder.SetMargin(0);
  std::vector<std::uint8_t> coded;
  for (int y = 0; y < kPageLines; ++y) {
    const auto line = coder.CodeLine(raster.data() + static_cast<std::size_t>(y) * kLineBytes);
    coded.insert(coded.end(), line.begin(), line.end());
  }
  return coded;
}

// A dense text page: 68 lines of 86 characters in the large font.
Page TextPage() {
  std::string text;
  for (int line = 0; line < 68; ++line) {
    for (int c = 0; c < 86; ++c) text += static_cast<char>(33 + (line * 7 + c * 13) % 94);
    text += '\n';
  }
  const std::string input = ScratchFolder() + "dense.txt";
  std::ofstream(input) << text;
  auto converter = MakeFileConverter(idText);
  converter->SetFine(true);
  converter->SetLeftMargin(0);
  converter->SetLinesPerPage(0);
  if (converter->Convert(input, ScratchFolder() + "dense.apf") != 0) std::abort();
  Page page;
  page.raster.assign(static_cast<std::size_t>(kPageLines) * kLineBytes, 0);
  FaxUnpacker unpacker;
  unpacker.SetOptions(0);
  int y = 0;
  unpacker.SetLineCallback([&](FaxUnpacker&, int flags, const std::uint8_t* line, int n, int) {
    if (flags == 0 && y < kPageLines) std::memcpy(&page.raster[static_cast<std::size_t>(y++) * kLineBytes], line, static_cast<std::size_t>(n));
    return 0;
  });
  unpacker.UnpackPage(ScratchFolder() + "dense.apf", 1);
  page.coded = CodePage(page.raster);
  return page;
}

// A photo-like page: smooth shading and rings, dithered.
Page PhotoPage() {
  constexpr TDitherMatrix matrix;
  Page page;
  page.raster.assign(static_cast<std::size_t>(kPageLines) * kLineBytes, 0);
  for (int y = 0; y < kPageLines; ++y) {
    for (int x = 0; x < kStandardWidth; ++x) {
      const double r = std::hypot(x - 864.0, y - 1100.0);
      const int grey = static_cast<int>(127 + 60 * std::sin(r / 40.0) + 60 * std::cos(x / 300.0 + y / 500.0));
      if (!matrix.White(x, y, grey)) page.raster[static_cast<std::size_t>(y) * kLineBytes + x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
    }
  }
  page.coded = CodePage(page.raster);
  return page;
}

const Page& Dense() {
  static const Page page = TextPage();
  return page;
}
const Page& Photo() {
  static const Page page = PhotoPage();
  return page;
}

// ---------------------------------------------------------------------------
// libtiff over memory

struct MemoryTiff {
  std::string bytes;
  toff_t at = 0;
};

tsize_t MemRead(thandle_t h, tdata_t data, tsize_t n) {
  auto* m = static_cast<MemoryTiff*>(h);
  const tsize_t take = std::min<tsize_t>(n, static_cast<tsize_t>(m->bytes.size()) - static_cast<tsize_t>(m->at));
  if (take <= 0) return 0;
  std::memcpy(data, m->bytes.data() + m->at, static_cast<std::size_t>(take));
  m->at += static_cast<toff_t>(take);
  return take;
}
tsize_t MemWrite(thandle_t h, tdata_t data, tsize_t n) {
  auto* m = static_cast<MemoryTiff*>(h);
  if (m->at + static_cast<toff_t>(n) > m->bytes.size()) m->bytes.resize(m->at + static_cast<toff_t>(n));
  std::memcpy(m->bytes.data() + m->at, data, static_cast<std::size_t>(n));
  m->at += static_cast<toff_t>(n);
  return n;
}
toff_t MemSeek(thandle_t h, toff_t off, int whence) {
  auto* m = static_cast<MemoryTiff*>(h);
  m->at = whence == SEEK_SET ? off : whence == SEEK_CUR ? m->at + off : m->bytes.size() + off;
  return m->at;
}
int MemClose(thandle_t) { return 0; }
toff_t MemSize(thandle_t h) { return static_cast<MemoryTiff*>(h)->bytes.size(); }
int MemMap(thandle_t, tdata_t*, toff_t*) { return 0; }
void MemUnmap(thandle_t, tdata_t, toff_t) {}

TIFF* OpenMemory(MemoryTiff& m, const char* mode) {
  m.at = 0;
  return TIFFClientOpen("memory", mode, &m, MemRead, MemWrite, MemSeek, MemClose, MemSize, MemMap, MemUnmap);
}

void SetFaxFields(TIFF* tiff, T4Coding coding) {
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, kStandardWidth);
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, kPageLines);
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 1);
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
  TIFFSetField(tiff, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB);
  TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, kPageLines);
  // Fine resolution: libtiff's MR codes 1-D every fourth line, as ours.
  TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
  TIFFSetField(tiff, TIFFTAG_XRESOLUTION, 204.0);
  TIFFSetField(tiff, TIFFTAG_YRESOLUTION, 196.0);
  if (coding == T4Coding::kMmr) {
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
  } else {
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3);
    TIFFSetField(tiff, TIFFTAG_GROUP3OPTIONS, coding == T4Coding::kMr ? GROUP3OPT_2DENCODING : 0);
  }
}

// A TIFF whose one strip is our coded page, for libtiff to decode.
MemoryTiff TiffOfCodedPage(const std::vector<std::uint8_t>& coded, T4Coding coding) {
  MemoryTiff m;
  TIFF* tiff = OpenMemory(m, "w");
  SetFaxFields(tiff, coding);
  TIFFWriteRawStrip(tiff, 0, const_cast<std::uint8_t*>(coded.data()), static_cast<tsize_t>(coded.size()));
  TIFFClose(tiff);
  return m;
}

// Our MR (K = 4) or MMR coding of a page.
std::vector<std::uint8_t> Code2D(const Page& page, T4Coding coding) {
  T4PageEncoder encoder(coding, kStandardWidth, T4MrK(true));
  for (int y = 0; y < kPageLines; ++y) encoder.AddLine(page.raster.data() + static_cast<std::size_t>(y) * kLineBytes);
  return encoder.Finish();
}

// ---------------------------------------------------------------------------

// Each round codes or decodes the page this many times; the counters are
// per page.
constexpr int kPagesPerRound = 10;

void PerPage(benchmark::State& state) {
  for (const char* counter : {"ours_ms", "peer_ms", "ours_wall_ms", "peer_wall_ms"})
    state.counters[counter] = state.counters[counter] / kPagesPerRound;
}

// Our decoding of `coded` into `ours` (one page's lines, in order) against
// libtiff's of the same bytes.
void CompareDecoding(benchmark::State& state, const Page& page, const std::vector<std::uint8_t>& coded,
                     T4Coding coding, const std::function<void(std::vector<std::uint8_t>& ours)>& decodeOurs) {
  std::vector<std::uint8_t> ours(page.raster.size());
  MemoryTiff m = TiffOfCodedPage(coded, coding);
  TIFF* tiff = OpenMemory(m, "r");
  std::vector<std::uint8_t> theirs(page.raster.size());
  bench::Side decode{[&] {
    for (int i = 0; i < kPagesPerRound; ++i) {
      decodeOurs(ours);
      benchmark::DoNotOptimize(ours.data());
    }
  }};
  bench::Side libtiff{[&] {
    for (int i = 0; i < kPagesPerRound; ++i) {
      TIFFReadEncodedStrip(tiff, 0, theirs.data(), static_cast<tsize_t>(theirs.size()));
      benchmark::DoNotOptimize(theirs.data());
    }
  }};
  bench::Compare(state, decode, libtiff);
  PerPage(state);
  TIFFClose(tiff);
  // Our MH decoder's last line waits for an EOL that never comes; all
  // others are checked.
  const std::size_t checked = ours.size() - (coding == T4Coding::kMh ? kLineBytes : 0);
  if (std::memcmp(ours.data(), page.raster.data(), checked) != 0) state.SkipWithError("decoded wrong");
  if (theirs != page.raster) state.SkipWithError("libtiff decoded differently");
  state.counters["coded_bytes"] = static_cast<double>(coded.size());
}

void CompareDecode(benchmark::State& state, const Page& page) {
  T4Decoder decoder;
  CompareDecoding(state, page, page.coded, T4Coding::kMh, [&](std::vector<std::uint8_t>& ours) {
    decoder.StartPage();
    std::size_t at = 0;
    decoder.Decode(page.coded.data(), page.coded.size(), [&](const std::uint8_t* line, int n) {
      std::memcpy(ours.data() + at, line, static_cast<std::size_t>(n));
      at += static_cast<std::size_t>(n);
      return true;
    });
  });
}

// The same for MR and MMR: our page decoder and libtiff's G3 2-D or G4.
void CompareDecode2D(benchmark::State& state, const Page& page, T4Coding coding) {
  const std::vector<std::uint8_t> coded = Code2D(page, coding);
  T4PageDecoder decoder(coding, kStandardWidth);
  CompareDecoding(state, page, coded, coding, [&](std::vector<std::uint8_t>& ours) {
    std::size_t at = 0;
    decoder.Decode(coded, [&](std::span<const std::uint8_t> line) {
      if (at + line.size() > ours.size()) return false;
      std::memcpy(ours.data() + at, line.data(), line.size());
      at += line.size();
      return true;
    });
  });
}

// libtiff's fax file of the page, which it writes from `raster`.
std::size_t LibtiffEncode(std::vector<std::uint8_t>& raster, T4Coding coding) {
  MemoryTiff m;
  TIFF* tiff = OpenMemory(m, "w");
  SetFaxFields(tiff, coding);
  TIFFWriteEncodedStrip(tiff, 0, raster.data(), static_cast<tsize_t>(raster.size()));
  TIFFClose(tiff);
  return m.bytes.size();
}

std::size_t OurEncode(T4LineCoder& coder, const Page& page) {
  std::size_t bytes = 0;
  for (int y = 0; y < kPageLines; ++y)
    bytes += coder.CodeLine(page.raster.data() + static_cast<std::size_t>(y) * kLineBytes).size();
  return bytes;
}

void CompareEncode(benchmark::State& state, const Page& page) {
  T4LineCoder coder;
  coder.SetMargin(0);
  std::vector<std::uint8_t> raster = page.raster;  // libtiff may scribble on its input
  bench::Side encode{[&] {
    for (int i = 0; i < kPagesPerRound; ++i) benchmark::DoNotOptimize(OurEncode(coder, page));
  }};
  bench::Side libtiff{[&] {
    for (int i = 0; i < kPagesPerRound; ++i) benchmark::DoNotOptimize(LibtiffEncode(raster, T4Coding::kMh));
  }};
  bench::Compare(state, encode, libtiff);
  PerPage(state);
  state.counters["ours_coded_bytes"] = static_cast<double>(OurEncode(coder, page));
  state.counters["peer_file_bytes"] = static_cast<double>(LibtiffEncode(raster, T4Coding::kMh));
}

void CompareEncode2D(benchmark::State& state, const Page& page, T4Coding coding) {
  std::vector<std::uint8_t> raster = page.raster;
  bench::Side encode{[&] {
    for (int i = 0; i < kPagesPerRound; ++i) benchmark::DoNotOptimize(Code2D(page, coding).size());
  }};
  bench::Side libtiff{[&] {
    for (int i = 0; i < kPagesPerRound; ++i) benchmark::DoNotOptimize(LibtiffEncode(raster, coding));
  }};
  bench::Compare(state, encode, libtiff);
  PerPage(state);
  state.counters["ours_coded_bytes"] = static_cast<double>(Code2D(page, coding).size());
  state.counters["peer_file_bytes"] = static_cast<double>(LibtiffEncode(raster, coding));
}

BENCHMARK_CAPTURE(CompareDecode, dense_text, Dense())->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK_CAPTURE(CompareDecode, dithered_photo, Photo())->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK_CAPTURE(CompareEncode, dense_text, Dense())->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK_CAPTURE(CompareEncode, dithered_photo, Photo())->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK_CAPTURE(CompareDecode2D, mr_dense_text, Dense(), T4Coding::kMr)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK_CAPTURE(CompareDecode2D, mr_dithered_photo, Photo(), T4Coding::kMr)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK_CAPTURE(CompareDecode2D, mmr_dense_text, Dense(), T4Coding::kMmr)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK_CAPTURE(CompareDecode2D, mmr_dithered_photo, Photo(), T4Coding::kMmr)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK_CAPTURE(CompareEncode2D, mr_dense_text, Dense(), T4Coding::kMr)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK_CAPTURE(CompareEncode2D, mr_dithered_photo, Photo(), T4Coding::kMr)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK_CAPTURE(CompareEncode2D, mmr_dense_text, Dense(), T4Coding::kMmr)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK_CAPTURE(CompareEncode2D, mmr_dithered_photo, Photo(), T4Coding::kMmr)->Unit(benchmark::kMillisecond)->UseManualTime();

// A 50-page standard-resolution fax of text.
const std::string& FiftyPages() {
  static const std::string file = [] {
    std::string text;
    for (int page = 0; page < 50; ++page) {
      for (int line = 0; line < 60; ++line) {
        for (int c = 0; c < 80; ++c) text += static_cast<char>(33 + (page + line * 7 + c * 13) % 94);
        text += '\n';
      }
    }
    const std::string input = ScratchFolder() + "fifty.txt";
    std::ofstream(input) << text;
    auto converter = MakeFileConverter(idText);
    if (converter->Convert(input, ScratchFolder() + "fifty.apf") != 0 || converter->PagesWritten() != 50) std::abort();
    return ScratchFolder() + "fifty.apf";
  }();
  return file;
}

void UnpackFiftyPages(benchmark::State& state) {
  const std::string& file = FiftyPages();
  FaxUnpacker unpacker;
  unpacker.SetOptions(kUnpackDoubleHeight);
  std::int64_t bytes = 0;
  for (auto _ : state) {
    for (int page = 1; page <= 50; ++page) {
      MonoBitmap bitmap;
      if (unpacker.UnpackPageToBitmap(file, page, bitmap) != 0) state.SkipWithError("unpack failed");
      bytes += static_cast<std::int64_t>(bitmap.RowBytes()) * bitmap.Height();
    }
  }
  state.SetBytesProcessed(bytes);
}
BENCHMARK(UnpackFiftyPages)->Unit(benchmark::kMillisecond);

void RerenderFile(benchmark::State& state) {
  const std::string& source = FiftyPages();
  const std::string dest = ScratchFolder() + "rerendered.apf";
  for (auto _ : state) {
    if (!ApfRerenderFile(source, dest)) state.SkipWithError("re-render failed");
  }
  state.counters["pages"] = 50;
}
BENCHMARK(RerenderFile)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace tv

BENCHMARK_MAIN();
