// One-dimensional T.4 (Modified Huffman) coding of fax raster lines.
//
// Raster line: one bit per pixel, pixel 0 in bit 0x80 of byte 0, 1 = black;
// 1728 pixels (216 bytes) or 2048 pixels (256 bytes). Coded data is packed
// least significant bit first: the first bit of the code stream is bit 0 of
// the first byte, so every code value below is held bit-reversed (its first
// bit is its least significant bit).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tv {

inline constexpr int kStandardWidth = 1728;
inline constexpr int kWideWidth = 2048;
inline constexpr int kStandardLineBytes = kStandardWidth / 8;
inline constexpr int kWideLineBytes = kWideWidth / 8;
inline constexpr int kMaxRunLength = 2560;
inline constexpr std::size_t kCodedLineBufferSize = 4096;

enum class T4Colour { kWhite, kBlack };

struct T4Code {
  std::uint16_t value;  // bit-reversed: first code bit in bit 0
  std::uint16_t bits;
};

// The code tables. Entry i of a make-up table stands for run (i + 1) x 64;
// entries 27..39 are the extended make-up codes 1792..2560 shared by both
// colours.
struct T4CodeTables {
  std::array<T4Code, 64> whiteTerminating;
  std::array<T4Code, 40> whiteMakeUp;
  std::array<T4Code, 64> blackTerminating;
  std::array<T4Code, 40> blackMakeUp;
  T4Code eol;          // 000000000001
  T4Code eolWithFill;  // four 0 fill bits, then EOL
};

const T4CodeTables& T4Codes();

// The end of a page: EOL with fill, six EOLs and eight 0 bits (12 bytes).
inline constexpr std::array<std::uint8_t, 12> kEndOfPageCodes = {0x00, 0x80, 0x00, 0x08, 0x80, 0x00,
                                                                 0x08, 0x80, 0x00, 0x08, 0x80, 0x00};

// Turns raster lines into coded lines. Each coded line starts with EOL with
// fill and ends with the partly filled byte and one further 0 byte.
//
// The picture in the raster starts `margin` pixels from the left edge of the
// coded line; the margin is always white. With doubling every raster pixel is
// coded twice across (the margin is not doubled). Raster pixels that would
// fall past the line width are left off, and the line is filled with white to
// exactly its width, so every coded line decodes to a full line.
class T4LineCoder {
 public:
  void SetWidth(int pixels) { width_ = pixels; }
  void SetMargin(int pixels) { margin_ = pixels; }
  void SetDoubling(bool on) { doubling_ = on; }
  int Width() const { return width_; }
  int Margin() const { return margin_; }
  bool Doubling() const { return doubling_; }

  // Codes one raster line of at least Width() / 8 bytes; returns the coded
  // bytes (valid until the next call).
  std::span<const std::uint8_t> CodeLine(const std::uint8_t* raster);

  // Codes one run (0..2560) at the current position of the line being built;
  // used by CodeLine and by callers that compose lines run by run.
  void BeginLine();
  void CodeRun(T4Colour colour, int length);
  std::span<const std::uint8_t> EndLine();

 private:
  void Put(T4Code code);

  int width_ = kStandardWidth;
  int margin_ = 50;
  bool doubling_ = false;
  std::array<std::uint8_t, kCodedLineBufferSize + 8> buffer_{};
  std::size_t byteIndex_ = 0;
  std::uint64_t bits_ = 0;  // pending bits, first in bit 0
  int bitCount_ = 0;
};

// The decoding tree of one colour: node 0 is the root, each node a pair.
// Inner node: (index of the 0-child, index of the 1-child); run leaf:
// (-1, run length); EOL leaf: (-2, 0); dead end (no code has that prefix):
// (0, 0). Node 11, reached by eleven 0 bits, is its own 0-child, so that fill
// bits before an EOL keep the walk there.
struct T4DecodeTree {
  static constexpr int kMaxNodes = 307;
  static constexpr std::int32_t kRunLeaf = -1;
  static constexpr std::int32_t kEolLeaf = -2;
  std::array<std::array<std::int32_t, 2>, kMaxNodes> nodes{};
  int nodeCount = 0;
};

T4DecodeTree BuildDecodeTree(T4Colour colour);

// Decodes the coded data of one page, fed in chunks, into raster lines. Only
// lines of exactly 216 or 256 whole bytes at their closing EOL are given out;
// runs before the first EOL are ignored; three EOLs in a row end the page.
class T4Decoder {
 public:
  static constexpr std::size_t kLineBufferSize = 512;

  T4Decoder();

  void StartPage();

  // Decodes bytes until they are used up, the page ends, or `sink` returns
  // false (then decoding stops after the current byte). sink(line, byteCount)
  // gets each complete line. Returns the number of bytes consumed.
  template <typename Sink>
  std::size_t Decode(const std::uint8_t* data, std::size_t size, Sink&& sink);

  bool PageEnded() const { return eolCount_ >= 3; }
  int InvalidCodes() const { return invalidCodes_; }

 private:
  void AddRun(std::int32_t run);
  // 216 or 256 when the line built so far is one to give out, else 0.
  int CompletedLineBytes() const;
  void TakeEol();

  T4DecodeTree white_;
  T4DecodeTree black_;
  const T4DecodeTree* tree_ = &white_;
  std::int32_t node_ = 0;
  bool colourBlack_ = false;
  bool beforeFirstEol_ = true;
  bool ignoreOnes_ = false;
  int eolCount_ = 0;
  int invalidCodes_ = 0;
  int bitPosition_ = 0;  // pixels written to the current line
  // A run may end a few bits past byte 511; the slack keeps that in bounds.
  std::array<std::uint8_t, kLineBufferSize + 8> line_{};
};

template <typename Sink>
std::size_t T4Decoder::Decode(const std::uint8_t* data, std::size_t size, Sink&& sink) {
  std::size_t used = 0;
  while (used < size && !PageEnded()) {
    const unsigned byte = data[used++];
    bool keepGoing = true;
    for (int bit = 0; bit < 8 && !PageEnded(); ++bit) {
      if ((byte >> bit) & 1u) {
        if (!ignoreOnes_) node_ = tree_->nodes[node_][1];
      } else {
        ignoreOnes_ = false;
        node_ = tree_->nodes[node_][0];
      }
      const auto& n = tree_->nodes[node_];
      if (n[0] > 0) continue;  // inner node
      if (n[0] == T4DecodeTree::kRunLeaf) {
        AddRun(n[1]);
      } else if (n[0] == T4DecodeTree::kEolLeaf) {
        const int bytes = CompletedLineBytes();
        if (bytes > 0) keepGoing = sink(line_.data(), bytes) && keepGoing;
        TakeEol();
      } else if (n[1] == 0) {
        ++invalidCodes_;
        ignoreOnes_ = true;
        node_ = 0;
      }
    }
    if (!keepGoing) break;
  }
  return used;
}

}  // namespace tv
