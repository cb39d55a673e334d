// Two-dimensional fax coding: T.4 Modified READ (MR) and T.6 Modified
// Modified READ (MMR), beside the one-dimensional coding of t4_coding.h.
//
// A 2-D line is coded against the line above it (the reference line) by the
// positions where the colour changes: a change close to one on the reference
// line is a vertical mode code, a stretch of the reference line with nothing
// under it is passed, anything else is coded as two runs (horizontal mode).
//
// MR: every line starts with EOL and a tag bit (1: the line is coded 1-D as
// Modified Huffman runs, 0: 2-D against the line above); the first of every
// K lines is 1-D, so a damaged line costs at most the lines up to the next
// 1-D one. The page ends with six EOL+1.
// MMR: no EOLs; every line is 2-D, the first against an imaginary white
// line; the page ends with EOFB (two EOLs).
//
// Raster lines are as in t4_coding.h (pixel 0 in bit 0x80 of byte 0, 1 =
// black), (width + 7) / 8 bytes; code bits are packed least significant bit
// first. Widths run from 1 to kMaxRunLength pixels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "image/t4_coding.h"

namespace tv {

// How a page's lines are coded: one-dimensional, MR or MMR.
enum class T4Coding { kMh, kMr, kMmr };

// "MH", "MR", "MMR", and back (any case); nothing for another name.
const char* T4CodingName(T4Coding coding);
std::optional<T4Coding> T4CodingNamed(std::string_view name);

// The MR K factor: one 1-D line, then K - 1 2-D lines.
inline constexpr int T4MrK(bool fine) { return fine ? 4 : 2; }

// The mode codes, bit-reversed like every code of t4_coding.h. vertical[d +
// 3] is the code for a1 - b1 = d (VL3 .. V0 .. VR3). The extension codes
// (0000001 and three more bits: uncompressed mode and the rest) are never
// written, and a decoder takes them as damage.
struct T4ModeCodes {
  T4Code pass;
  T4Code horizontal;
  std::array<T4Code, 7> vertical;
  T4Code extension;  // the 7-bit prefix
};
const T4ModeCodes& T4Modes();

// Codes a page, line by line, as MH, MR or MMR. MH lines have no fill and no
// margin (T4LineCoder codes the converter's lines).
class T4PageEncoder {
 public:
  // `k` is the MR K factor (1: every line 1-D); other codings ignore it.
  T4PageEncoder(T4Coding coding, int width, int k = T4MrK(false));

  // Codes one raster line of (width + 7) / 8 bytes.
  void AddLine(const std::uint8_t* raster);
  // Ends the page (RTC, or EOFB for MMR, then the rest of the last byte) and
  // hands over the page's bytes; the encoder starts a new page.
  std::vector<std::uint8_t> Finish();

 private:
  struct Writer;
  // Makes room for `bytes` more bytes and a word of slack; the writer for
  // them.
  Writer Reserve(std::size_t bytes);
  void Release(const Writer& writer);
  void Code1D(Writer& out, const int* line) const;
  void Code2D(Writer& out, const int* line) const;

  T4Coding coding_;
  int width_;
  int k_;
  int lineIndex_ = 0;
  // The line being coded and the line above, each as the positions where
  // the colour changes in order (even ones turn black) between a -1 and
  // end marks (the line width).
  std::vector<int> line_;
  std::vector<int> reference_;
  // The page's whole bytes (outBytes_ of them, room after them), and the
  // bits of the byte being filled, first in bit 0.
  std::vector<std::uint8_t> out_;
  std::size_t outBytes_ = 0;
  std::uint64_t bits_ = 0;
  int bitCount_ = 0;
};

// What decoding a page found.
struct T4PageDecodeResult {
  int lines = 0;           // lines given out
  int damagedLines = 0;    // lines left out because their codes were bad
  bool pageEnded = false;  // RTC (or EOFB) was reached
  std::size_t bytesUsed = 0;
};

// Decodes a page of MH, MR or MMR data held in memory. Each good line goes to
// `sink` ((width + 7) / 8 bytes); a false return stops decoding.
//
// A line is good when its codes fill exactly the line width and, where EOLs
// separate the lines, nothing but fill bits come before the next EOL (or the
// end of the data). With EOLs
// (MH, MR) a bad line is left out and decoding picks up again at the next
// EOL whose line can be decoded on its own: in MR, one with tag 1. Without
// EOLs (MMR) nothing after a bad line can be trusted: decoding stops there.
//
// Whole codes are found through look-up tables; with SetLookup(false) every
// code is matched against the code tables a bit at a time instead, which
// must give the same result.
class T4PageDecoder {
 public:
  using Sink = std::function<bool(std::span<const std::uint8_t>)>;

  T4PageDecoder(T4Coding coding, int width);
  void SetLookup(bool on) { lookup_ = on; }

  T4PageDecodeResult Decode(std::span<const std::uint8_t> data, const Sink& sink);

 private:
  T4Coding coding_;
  int width_;
  bool lookup_ = true;
};

// Re-coding helpers.
//
// Rows of packed pixels, (width + 7) / 8 bytes each, to a page of coded data
// and back (damaged lines are left out; `result` tells how many).
std::vector<std::uint8_t> T4EncodeRows(T4Coding coding, int width, int k,
                                       std::span<const std::vector<std::uint8_t>> rows);
std::vector<std::vector<std::uint8_t>> T4DecodeRows(T4Coding coding, int width, std::span<const std::uint8_t> data,
                                                    T4PageDecodeResult* result = nullptr);

// One page's Modified Huffman code as a fax file page holds it (lines with
// their EOLs, block counts left out; any end-of-page codes) to MR or MMR,
// and MR or MMR back to MH lines with the end-of-page codes. Lines that
// cannot be decoded are left out; the width is taken from the lines.
std::vector<std::uint8_t> T4RecodeFromMh(std::span<const std::uint8_t> mh, T4Coding to, bool fine, int* width = nullptr);
std::vector<std::uint8_t> T4RecodeToMh(std::span<const std::uint8_t> data, T4Coding from, int width,
                                       T4PageDecodeResult* result = nullptr);

// A fax file page re-coded, with its size and what of it could not be read.
struct T4RecodedPage {
  std::vector<std::uint8_t> data;
  int width = 0;  // pixels
  int lines = 0;  // lines coded into `data`
  bool fine = false;
  int badCodes = 0;      // bits that were no code
  int damagedLines = 0;  // lines left out: cut short by damage, or of another width than the page
  int readError = 0;     // the file ended or failed inside the page
  bool Damaged() const { return badCodes > 0 || damagedLines > 0 || readError != 0; }
};

// Page `page` of a fax file, in either of its data forms, as MR (K by the
// page's resolution) or MMR at the page's width. Returns 0 (a page damaged
// inside is re-coded as far as it decodes, and says so), or the error of
// opening the page (`out` is then left empty).
int T4RecodeApfPage(const std::string& file, int page, T4Coding to, T4RecodedPage& out);

}  // namespace tv
