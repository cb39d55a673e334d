// Helpers shared by the image tests: raster lines, hand-made bit streams and
// APF files written through the library's own writer.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "image/apf_file.h"
#include "image/fax_unpacker.h"
#include "image/t4_coding.h"

namespace tv::test {

using Raster = std::vector<std::uint8_t>;

inline bool PixelBlack(const Raster& line, int x) { return (line[x >> 3] >> (7 - (x & 7))) & 1; }
inline void SetBlack(Raster& line, int x) { line[x >> 3] |= static_cast<std::uint8_t>(0x80 >> (x & 7)); }

// Builds coded data bit by bit, least significant bit first.
class BitStream {
 public:
  // bits as text, first bit first: "000000000001"
  BitStream& Add(const std::string& bits) {
    for (char c : bits) {
      if (c != '0' && c != '1') continue;
      if (count_ % 8 == 0) bytes_.push_back(0);
      if (c == '1') bytes_.back() |= static_cast<std::uint8_t>(1u << (count_ % 8));
      ++count_;
    }
    return *this;
  }
  BitStream& Add(T4Code code) {
    std::string text;
    for (int i = 0; i < code.bits; ++i) text += ((code.value >> i) & 1) ? '1' : '0';
    return Add(text);
  }
  BitStream& Run(T4Colour colour, int length) {
    const T4CodeTables& t = T4Codes();
    const bool white = colour == T4Colour::kWhite;
    if (length >= 64) {
      Add(white ? t.whiteMakeUp[length / 64 - 1] : t.blackMakeUp[length / 64 - 1]);
      length %= 64;
    }
    return Add(white ? t.whiteTerminating[length] : t.blackTerminating[length]);
  }
  BitStream& Eol() { return Add(T4Codes().eol); }
  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }
  int BitCount() const { return count_; }

 private:
  std::vector<std::uint8_t> bytes_;
  int count_ = 0;
};

// Decodes a whole page held in memory; returns the lines given out.
inline std::vector<Raster> DecodeAll(T4Decoder& decoder, const std::vector<std::uint8_t>& data,
                                     std::size_t* consumed = nullptr) {
  std::vector<Raster> lines;
  decoder.StartPage();
  const std::size_t used = decoder.Decode(data.data(), data.size(), [&](const std::uint8_t* line, int n) {
    lines.emplace_back(line, line + n);
    return true;
  });
  if (consumed) *consumed = used;
  return lines;
}

// Writes one APF page per entry, each line coded with the given coder.
inline int WriteApf(const std::string& file, const std::vector<std::vector<Raster>>& pages, bool fine,
                    T4LineCoder coder, const std::string& station = "TEST") {
  ApfWriter writer;
  if (int rc = writer.Create(file); rc != 0) return rc;
  for (const auto& page : pages) {
    if (int rc = writer.BeginPage(fine, coder.Width() == kWideWidth); rc != 0) return rc;
    for (const Raster& line : page) {
      auto coded = coder.CodeLine(line.data());
      if (int rc = writer.WriteLine(coded.data(), coded.size()); rc != 0) return rc;
    }
    if (int rc = writer.EndPage(); rc != 0) return rc;
  }
  return writer.Close(station);
}

// A page's code data with the block counts and the end-of-page block left
// out: the raw Modified Huffman stream of its lines.
inline std::vector<std::uint8_t> RawLines(const std::string& file, int page) {
  ApfPageReader reader;
  if (reader.Open(file, page) != 0) return {};
  std::vector<std::vector<std::uint8_t>> blocks;
  std::array<std::uint8_t, kApfMaxBlock> block{};
  for (long n; (n = reader.NextBlock(block)) > 0;) blocks.emplace_back(block.begin(), block.begin() + n);
  std::vector<std::uint8_t> raw;
  for (std::size_t i = 0; i + 1 < blocks.size(); ++i) raw.insert(raw.end(), blocks[i].begin(), blocks[i].end());
  return raw;
}

// Unpacks a page through the line callback, collecting every line given out.
inline int UnpackLines(FaxUnpacker& unpacker, const std::string& file, int page, std::vector<Raster>& lines) {
  lines.clear();
  unpacker.SetLineCallback([&](FaxUnpacker&, int flags, const std::uint8_t* line, int n, int) {
    if (flags == 0) lines.emplace_back(line, line + n);
    return 0;
  });
  return unpacker.UnpackPage(file, page);
}

}  // namespace tv::test
