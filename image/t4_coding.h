// One-dimensional T.4 (Modified Huffman) coding of fax raster lines.
//
// Raster line: one bit per pixel, pixel 0 in bit 0x80 of byte 0, 1 = black;
// 1728 pixels (216 bytes) or 2048 pixels (256 bytes). Coded data is packed
// least significant bit first: the first bit of the code stream is bit 0 of
// the first byte, so every code value below is held bit-reversed (its first
// bit is its least significant bit).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
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

  // At the end of the data: a complete line that no EOL followed (writers
  // that put their EOLs in front of the lines leave the last one so) is
  // given to `sink` too.
  template <typename Sink>
  void EndOfData(Sink&& sink);

  bool PageEnded() const { return eolCount_ >= 3; }
  int InvalidCodes() const { return invalidCodes_; }

 private:
  static constexpr int kLookupBits = 13;
  // A whole code seen from the root: its leaf and its length (0: walk).
  struct Lookup {
    std::int16_t run = 0;
    std::int8_t kind = 0;
    std::uint8_t bits = 0;
  };
  using LookupTable = std::array<Lookup, 1u << kLookupBits>;
  static LookupTable BuildLookup(const T4DecodeTree& tree);
  // Trees and lookup tables of both colours, built once and shared.
  struct Tables {
    T4DecodeTree white;
    T4DecodeTree black;
    LookupTable whiteLookup;
    LookupTable blackLookup;
  };
  static const Tables& SharedTables();

  template <typename Sink>
  bool StepBit(unsigned bit, Sink& sink);
  template <typename Sink>
  bool Reached(std::int32_t kind, std::int32_t run, Sink& sink);
  void AddRun(std::int32_t run);
  // 216 or 256 when the line built so far is one to give out, else 0.
  int CompletedLineBytes() const;
  void TakeEol();

  const Tables& tables_;
  const LookupTable* lookup_ = nullptr;  // the current colour's
  const T4DecodeTree* tree_ = nullptr;
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

inline void T4Decoder::AddRun(std::int32_t run) {
  node_ = 0;
  eolCount_ = 0;
  if (beforeFirstEol_ || run / 8 + bitPosition_ / 8 >= static_cast<int>(kLineBufferSize)) return;
  if (colourBlack_ && run > 0) {
    const int start = bitPosition_;
    const int end = start + run;
    const std::size_t first = static_cast<std::size_t>(start >> 3);
    const std::size_t last = static_cast<std::size_t>(end >> 3);
    const auto head = static_cast<std::uint8_t>(0xFF >> (start & 7));
    const auto tail = static_cast<std::uint8_t>(~(0xFF >> (end & 7)));
    if (first == last) {
      line_[first] |= static_cast<std::uint8_t>(head & tail);
    } else {
      line_[first] |= head;
      std::memset(&line_[first + 1], 0xFF, last - first - 1);
      line_[last] |= tail;
    }
  }
  bitPosition_ += run;
  if (run < 64) {
    colourBlack_ = !colourBlack_;
    tree_ = colourBlack_ ? &tables_.black : &tables_.white;
    lookup_ = colourBlack_ ? &tables_.blackLookup : &tables_.whiteLookup;
  }
}

template <typename Sink>
bool T4Decoder::Reached(std::int32_t kind, std::int32_t run, Sink& sink) {
  if (kind == T4DecodeTree::kRunLeaf) {
    AddRun(run);
  } else if (kind == T4DecodeTree::kEolLeaf) {
    const int bytes = CompletedLineBytes();
    const bool keepGoing = bytes == 0 || sink(line_.data(), bytes);
    TakeEol();
    return keepGoing;
  } else {
    ++invalidCodes_;
    ignoreOnes_ = true;
    node_ = 0;
  }
  return true;
}

template <typename Sink>
bool T4Decoder::StepBit(unsigned bit, Sink& sink) {
  if (bit) {
    if (!ignoreOnes_) node_ = tree_->nodes[node_][1];
  } else {
    ignoreOnes_ = false;
    node_ = tree_->nodes[node_][0];
  }
  const auto& n = tree_->nodes[node_];
  if (n[0] > 0) return true;  // inner node
  return Reached(n[0], n[1], sink);
}

template <typename Sink>
void T4Decoder::EndOfData(Sink&& sink) {
  if (PageEnded() || beforeFirstEol_) return;
  if (const int bytes = CompletedLineBytes(); bytes != 0) {
    sink(line_.data(), bytes);
    TakeEol();
  }
}

// Whole codes are looked up 13 bits at a time from the root; everything
// else (fill bits, dead ends, codes cut by the end of the data) walks the
// tree bit by bit, so both ways give the same lines, counts and page end.
template <typename Sink>
std::size_t T4Decoder::Decode(const std::uint8_t* data, std::size_t size, Sink&& sink) {
  if (PageEnded() || size == 0) return 0;
  std::uint64_t limit = std::uint64_t{size} * 8;  // a stop request finishes the current byte
  std::uint64_t pos = 0;                           // bits used
  std::uint64_t buffer = 0;                        // the next `avail` bits, first in bit 0
  int avail = 0;
  std::size_t next = 0;  // next byte to load
  auto consume = [&](int n) {
    buffer >>= n;
    avail -= n;
    pos += static_cast<std::uint64_t>(n);
  };
  while (pos < limit && !PageEnded()) {
    if (avail < kLookupBits) {
      if (next + 4 <= size) {
        std::uint32_t word;
        std::memcpy(&word, data + next, 4);  // little-endian: first byte lowest
        buffer |= std::uint64_t{word} << avail;
        avail += 32;
        next += 4;
      } else {
        while (avail <= 56 && next < size) {
          buffer |= std::uint64_t{data[next++]} << avail;
          avail += 8;
        }
      }
    }
    if (node_ == 0 && !ignoreOnes_ && avail >= kLookupBits) {
      const Lookup entry = (*lookup_)[buffer & ((1u << kLookupBits) - 1)];
      if (entry.bits != 0 && pos + entry.bits <= limit) {
        consume(entry.bits);
        if (entry.kind == T4DecodeTree::kRunLeaf) {
          AddRun(entry.run);
        } else if (!Reached(entry.kind, entry.run, sink)) {
          limit = std::min(limit, (pos + 7) & ~std::uint64_t{7});
        }
        continue;
      }
    }
    const unsigned bit = static_cast<unsigned>(buffer & 1u);
    consume(1);
    if (!StepBit(bit, sink)) limit = std::min(limit, (pos + 7) & ~std::uint64_t{7});
  }
  return static_cast<std::size_t>((pos + 7) / 8);
}

}  // namespace tv
