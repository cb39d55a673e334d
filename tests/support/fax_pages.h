// Fax pages as rows of packed pixels (1 = black, the first pixel in the top
// bit), read from APF files with the unpacker and from TIFF files with
// libtiff, for comparing what went through a fax line with what was sent.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "image/fax_converter.h"
#include "image/fax_unpacker.h"
#include "line/fax_tiff.h"
#include "tests/support/temp_dir.h"

namespace tv::test {

using Rows = std::vector<std::vector<std::uint8_t>>;

// The decoded rows of an APF page; empty when the page cannot be unpacked.
inline Rows PageRows(const std::string& file, int page) {
  Rows rows;
  FaxUnpacker unpacker;
  unpacker.SetOptions(0);
  unpacker.SetLineCallback([&](FaxUnpacker&, int flags, const std::uint8_t* line, int bytes, int) {
    if (flags == 0) rows.emplace_back(line, line + bytes);
    return 0;
  });
  if (unpacker.UnpackPage(file, page) != 0) rows.clear();
  return rows;
}

// Every page of a bilevel TIFF file, black as 1 whatever its photometric.
inline std::vector<Rows> TiffPages(const std::string& file) {
  std::vector<Rows> pages;
  for (TiffFaxPage& page : ReadFaxTiff(file)) pages.push_back(std::move(page.rows));
  return pages;
}

// Writes pages of 1728-pixel rows as a fax TIFF, each page at fine
// resolution where `fine` says so (standard past its end).
inline void WriteTiff(const std::string& file, const std::vector<Rows>& pages, const std::vector<bool>& fine) {
  std::vector<TiffFaxPage> tiff;
  for (std::size_t page = 0; page < pages.size(); ++page) tiff.push_back({pages[page], page < fine.size() && fine[page]});
  if (!WriteFaxTiff(file, tiff)) {
    std::fprintf(stderr, "cannot write %s\n", file.c_str());
    std::abort();
  }
}
inline void WriteTiff(const std::string& file, const std::vector<Rows>& pages, bool fine = false) {
  WriteTiff(file, pages, std::vector<bool>(pages.size(), fine));
}

// The bytes of a one-page fax file the converter makes of a text: what a
// fax printer driver leaves. Different texts give different files.
inline std::string FaxFileBytes(const std::string& text) {
  TempDir dir;
  dir.Write("page.txt", text + "\n");
  FaxConverter converter(MakeTextInput(), "TXT");
  if (converter.Convert(dir.File("page.txt"), dir.File("page.apf")) != 0) return {};
  return dir.Read("page.apf");
}

// The rows of a page received with a header line stamped on top: the last
// `count` rows, or empty when the page is shorter.
inline Rows BelowHeader(const Rows& received, std::size_t count) {
  if (received.size() < count) return {};
  return Rows(received.end() - static_cast<std::ptrdiff_t>(count), received.end());
}

}  // namespace tv::test
