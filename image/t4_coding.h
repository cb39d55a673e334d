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
#include <bit>
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

// Every run of 0..kMaxRunLength pixels of each colour (white 0, black 1) as
// one code ready to write: the make-up code (runs of 64 and more) followed
// by the terminating code, first bit lowest, at most 25 bits, with the
// code's length from bit kT4PackedLengthShift up.
inline constexpr int kT4PackedLengthShift = 25;
using T4PackedRuns = std::array<std::array<std::uint32_t, kMaxRunLength + 1>, 2>;
const T4PackedRuns& T4RunCodes();

constexpr std::uint32_t T4Packed(T4Code code) {
  return code.value | static_cast<std::uint32_t>(code.bits) << kT4PackedLengthShift;
}

// A code word as the standards write it (first bit most significant) in the
// bit-reversed form used at run time.
constexpr T4Code T4CodeFromWord(std::uint16_t word, int bits) {
  std::uint16_t value = 0;
  for (int i = 0; i < bits; ++i) value = static_cast<std::uint16_t>(value | (((word >> i) & 1u) << (bits - 1 - i)));
  return {value, static_cast<std::uint16_t>(bits)};
}

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
// exactly its width, so every coded line decodes to a full line. Widths run
// up to kMaxRunLength pixels, so that every run is one code pair.
class T4LineCoder {
 public:
  void SetWidth(int pixels) { width_ = std::clamp(pixels, 0, kMaxRunLength); }
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
  // Where the coded line stands: whole bytes written, and the bits of the
  // byte being filled, first in bit 0.
  struct Writer {
    std::size_t byteIndex = 0;
    std::uint64_t bits = 0;
    int bitCount = 0;
    // Appends a code of up to 25 bits, first bit lowest, whose length is in
    // the bits above.
    void Emit(std::uint32_t packedCode, std::uint8_t* buffer);
  };

  int width_ = kStandardWidth;
  int margin_ = 50;
  bool doubling_ = false;
  // Whole 8-byte words are stored at the current byte, hence the slack.
  std::array<std::uint8_t, kCodedLineBufferSize + 8> buffer_{};
  Writer writer_;
};

// Coded data and the bits taken from it so far, loaded a word at a time.
struct T4BitWindow {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t next = 0;     // next byte to load
  std::uint64_t buffer = 0;  // the next `avail` bits, first in bit 0
  int avail = 0;
  std::uint64_t Used() const { return std::uint64_t{next} * 8 - static_cast<std::uint64_t>(avail); }
  void Consume(int n) {
    buffer >>= n;
    avail -= n;
  }
  // At least 56 bits from whole words while 8 bytes are left, then byte
  // by byte. Bits above `avail` are the next bytes' own bits or 0.
  void Refill() {
    if (next + 8 <= size) {
      std::uint64_t word;
      std::memcpy(&word, data + next, 8);  // little-endian: first byte lowest
      buffer |= word << avail;
      next += static_cast<std::size_t>((63 - avail) >> 3);
      avail |= 56;
    } else {
      while (avail <= 56 && next < size) {
        buffer |= std::uint64_t{data[next++]} << avail;
        avail += 8;
      }
    }
  }
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
//
// The trees are the rules: every bit may be walked through them one at a
// time. Where whole codes lie ahead, a table generated from the trees takes
// up to two codes per look-up instead, with the same result.
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
  // Lines that an EOL ended short of (or past) a whole line: damage, left out.
  int BrokenLines() const { return brokenLines_; }

 private:
  static constexpr int kLookupBits = 12;
  static constexpr std::uint32_t kWindowMask = (1u << kLookupBits) - 1;

  // What the next kLookupBits bits hold, seen from the root of one colour's
  // tree: one or two whole run codes (their pixels, of which one stretch may
  // be black, and whether the colour changes), or an EOL. Anything else (fill
  // bits, dead ends, longer codes) has bits 0 and is walked.
  struct Lookup {
    std::uint16_t advance = 0;
    std::uint16_t blackLength = 0;
    std::uint8_t blackStart = 0;
    std::uint8_t bits = 0;
    std::uint8_t flip = 0;
    std::uint8_t eol = 0;
  };
  // Indexed by colour (white 0, black 1) and the next kLookupBits bits.
  using LookupTable = std::array<Lookup, 2u << kLookupBits>;
  static LookupTable BuildLookup(const T4DecodeTree& white, const T4DecodeTree& black);
  // Trees and lookup table, built once and shared.
  struct Tables {
    T4DecodeTree white;
    T4DecodeTree black;
    LookupTable lookup;
  };
  static const Tables& SharedTables();

  using Bits = T4BitWindow;

  // Decodes whole codes through the lookup table from the root until the
  // page ends, fewer bits than a window are left, or something must be
  // walked. False when the sink asked to stop.
  template <typename Sink>
  bool DecodeCodes(Bits& in, Sink& sink);
  template <typename Sink>
  bool StepBit(unsigned bit, Sink& sink);
  template <typename Sink>
  bool EndLine(Sink& sink);
  void AddRun(std::int32_t run);
  void SetBlack(unsigned from, unsigned count);
  // 216 or 256 when the line built so far is one to give out, else 0.
  int CompletedLineBytes() const;
  void TakeEol();

  const Tables& tables_;
  std::int32_t node_ = 0;
  bool colourBlack_ = false;
  bool beforeFirstEol_ = true;
  bool ignoreOnes_ = false;
  int eolCount_ = 0;
  int invalidCodes_ = 0;
  int brokenLines_ = 0;
  unsigned bitPosition_ = 0;  // pixels written to the current line
  // Black stretches are set a 64-bit word at a time; a run may end a few
  // bits past byte 511, and the slack keeps that in bounds.
  alignas(8) std::array<std::uint8_t, kLineBufferSize + 8> line_{};
};

inline void T4Decoder::SetBlack(unsigned from, unsigned count) {
  const unsigned bit = from & 63;
  if (bit + count <= 64) {
    // Within one word of the line: pixels most significant bit first, so the
    // stretch is a big-endian mask.
    const std::uint64_t stretch = count == 0 ? 0 : (~std::uint64_t{0} << (64 - count)) >> bit;
    std::uint8_t* at = &line_[(from >> 6) * 8];
    std::uint64_t word;
    std::memcpy(&word, at, 8);
    word |= __builtin_bswap64(stretch);
    std::memcpy(at, &word, 8);
    return;
  }
  const unsigned end = from + count;
  const std::size_t first = from >> 3;
  const std::size_t last = end >> 3;
  line_[first] |= static_cast<std::uint8_t>(0xFF >> (from & 7));
  std::memset(&line_[first + 1], 0xFF, last - first - 1);
  line_[last] |= static_cast<std::uint8_t>(~(0xFF >> (end & 7)));
}

inline void T4Decoder::AddRun(std::int32_t run) {
  node_ = 0;
  eolCount_ = 0;
  if (beforeFirstEol_ || static_cast<unsigned>(run) / 8 + bitPosition_ / 8 >= kLineBufferSize) return;
  if (colourBlack_) SetBlack(bitPosition_, static_cast<unsigned>(run));
  bitPosition_ += static_cast<unsigned>(run);
  if (run < 64) colourBlack_ = !colourBlack_;
}

template <typename Sink>
bool T4Decoder::EndLine(Sink& sink) {
  const int bytes = CompletedLineBytes();
  if (bytes == 0 && bitPosition_ != 0) ++brokenLines_;
  const bool keepGoing = bytes == 0 || sink(line_.data(), bytes);
  TakeEol();
  return keepGoing;
}

template <typename Sink>
bool T4Decoder::StepBit(unsigned bit, Sink& sink) {
  const T4DecodeTree& tree = colourBlack_ ? tables_.black : tables_.white;
  if (bit) {
    if (!ignoreOnes_) node_ = tree.nodes[node_][1];
  } else {
    ignoreOnes_ = false;
    node_ = tree.nodes[node_][0];
  }
  const auto& n = tree.nodes[node_];
  if (n[0] > 0) return true;  // inner node
  if (n[0] == T4DecodeTree::kRunLeaf) {
    AddRun(n[1]);
  } else if (n[0] == T4DecodeTree::kEolLeaf) {
    node_ = 0;
    return EndLine(sink);
  } else {
    ++invalidCodes_;
    ignoreOnes_ = true;
    node_ = 0;
  }
  return true;
}

template <typename Sink>
void T4Decoder::EndOfData(Sink&& sink) {
  if (PageEnded() || beforeFirstEol_) return;
  if (const int bytes = CompletedLineBytes(); bytes != 0) {
    sink(line_.data(), bytes);
    TakeEol();
  }
}

template <typename Sink>
bool T4Decoder::DecodeCodes(Bits& in, Sink& sink) {
  // The line's position and colour live in registers here: the line's
  // bytes are written through byte pointers, which could alias any member.
  const Lookup* const lookup = tables_.lookup.data();
  unsigned position = bitPosition_;
  unsigned colour = colourBlack_ ? 1 : 0;
  bool ranCodes = false;
  bool keepGoing = true;
  auto next = [&] { return &lookup[(colour << kLookupBits) | static_cast<std::uint32_t>(in.buffer & kWindowMask)]; };
  // Runs that would not fit the line are left to the walk, which drops them.
  auto runFits = [&](const Lookup& step) {
    return step.bits != 0 && !step.eol && (position >> 3) + (step.advance >> 3) + 8 < kLineBufferSize;
  };
  for (;;) {
    in.Refill();
    if (in.avail < kLookupBits) break;
    // After a refill from whole words four windows are loaded at least.
    int windows = in.avail >= 4 * kLookupBits ? 4 : 1;
    const Lookup* step = next();
    while (runFits(*step)) {
      SetBlack(position + step->blackStart, step->blackLength);
      position += step->advance;
      colour ^= step->flip;
      in.Consume(step->bits);
      ranCodes = true;
      if (--windows == 0) break;
      step = next();
    }
    if (windows == 0) continue;
    if (step->bits != 0 && !step->eol) break;
    int eolBits = step->bits;
    if (step->bits == 0) {
      // Fill bits: from the root of either tree, eleven or more 0 bits and
      // a 1 are an EOL. Anything else is walked.
      if ((in.buffer & kWindowMask) != 0) break;
      const int zeros = std::countr_zero(in.buffer);
      if (zeros >= in.avail) break;
      eolBits = zeros + 1;
    }
    in.Consume(eolBits);
    bitPosition_ = position;
    if (ranCodes) eolCount_ = 0;
    ranCodes = false;
    keepGoing = EndLine(sink);
    position = 0;
    colour = 0;
    if (!keepGoing || PageEnded()) break;
  }
  bitPosition_ = position;
  colourBlack_ = colour != 0;
  if (ranCodes) eolCount_ = 0;
  return keepGoing;
}

// Whole codes go through the lookup table; the page's start up to its first
// EOL, dead ends and the bits after them, codes cut by the end of the data
// and the rest of a byte after a stop request are walked bit by bit.
template <typename Sink>
std::size_t T4Decoder::Decode(const std::uint8_t* data, std::size_t size, Sink&& sink) {
  if (PageEnded() || size == 0) return 0;
  Bits in{data, size};
  std::uint64_t limit = std::uint64_t{size} * 8;  // a stop request finishes the current byte
  auto stop = [&] { limit = std::min(limit, (in.Used() + 7) & ~std::uint64_t{7}); };
  bool stopped = false;
  while (in.Used() < limit && !PageEnded()) {
    if (!stopped && node_ == 0 && !ignoreOnes_ && !beforeFirstEol_) {
      if (!DecodeCodes(in, sink)) {
        stopped = true;
        stop();
      }
      if (in.Used() >= limit || PageEnded()) break;
    }
    in.Refill();
    const auto bit = static_cast<unsigned>(in.buffer & 1u);
    in.Consume(1);
    if (!StepBit(bit, sink)) {
      stopped = true;
      stop();
    }
  }
  return static_cast<std::size_t>((in.Used() + 7) / 8);
}

// Counts the damaged rows of a one-dimensional page given in pieces: rows an
// EOL ended short of or past a whole line, and rows of another width.
class T4RowCheck {
 public:
  explicit T4RowCheck(int width) : width_(width) {}

  void Add(const std::uint8_t* data, std::size_t size) { decoder_.Decode(data, size, Counter{this}); }
  // The damaged rows, at the page's end.
  int EndPage() {
    decoder_.EndOfData(Counter{this});
    return otherWidth_ + decoder_.BrokenLines();
  }

 private:
  struct Counter {
    T4RowCheck* check;
    bool operator()(const std::uint8_t*, int bytes) const {
      if (bytes * 8 != check->width_) ++check->otherWidth_;
      return true;
    }
  };

  T4Decoder decoder_;
  int width_;
  int otherWidth_ = 0;
};

}  // namespace tv
