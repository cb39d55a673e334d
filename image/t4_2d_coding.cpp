#include "image/t4_2d_coding.h"

#include <cctype>

#include "image/apf_file.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>

namespace tv {

const char* T4CodingName(T4Coding coding) {
  static constexpr const char* kNames[] = {"MH", "MR", "MMR"};
  return kNames[static_cast<int>(coding)];
}

std::optional<T4Coding> T4CodingNamed(std::string_view name) {
  for (T4Coding coding : {T4Coding::kMh, T4Coding::kMr, T4Coding::kMmr}) {
    const std::string_view known = T4CodingName(coding);
    if (name.size() == known.size() &&
        std::equal(name.begin(), name.end(), known.begin(), [](char a, char b) { return std::toupper(a) == b; })) {
      return coding;
    }
  }
  return std::nullopt;
}

static_assert(std::endian::native == std::endian::little);

namespace {

constexpr T4ModeCodes kModes = {
    T4CodeFromWord(0b0001, 4),  // pass
    T4CodeFromWord(0b001, 3),   // horizontal
    {
        T4CodeFromWord(0b0000010, 7),  // VL3
        T4CodeFromWord(0b000010, 6),   // VL2
        T4CodeFromWord(0b010, 3),      // VL1
        T4CodeFromWord(0b1, 1),        // V0
        T4CodeFromWord(0b011, 3),      // VR1
        T4CodeFromWord(0b000011, 6),   // VR2
        T4CodeFromWord(0b0000011, 7),  // VR3
    },
    T4CodeFromWord(0b0000001, 7),  // extension, three more bits follow
};

constexpr int kExtensionTailBits = 3;
constexpr int kEolZeros = 11;  // an EOL is eleven or more 0 bits and a 1

// A reference line's changes are followed by this many entries of the line
// width, where every search for b1 and b2 stops, and preceded by a -1, left
// of every a0.
constexpr std::size_t kEndMarks = 4;
constexpr int kBeforeLine = -1;

// b1 and b2 as a0 moves right along the coding line. b1 is the first change
// on the reference line right of a0 to the colour opposite a0's, b2 the
// change after it. `next` always has the parity of those changes (even
// changes turn the line black, and a0 starts white), and every change of
// that parity before it lies at or left of a0.
struct ReferenceScan {
  const int* next;  // from the first change on

  std::pair<int, int> Find(int a0) {
    while (*next <= a0) next += 2;
    return {next[0], next[1]};
  }
  // Pass mode: a0 moves to b2 and keeps its colour.
  void Passed() { next += 2; }
  // Vertical mode: a0 moves to b1 + d and changes colour. Next to look at
  // is the change before b1 (or the -1 before the first) where that may lie
  // right of the new a0, else the one after b1. The change before b1 is
  // left of b1 - 1, so it may not for d of -1 and more.
  void Crossed(int d) { next += d >= -1 ? 1 : -1; }
};

// The changes of a raster line of `width` pixels as a reference line: from
// `changes` on, followed by the end marks; the -1 is before `changes`.
void FindChanges(const std::uint8_t* raster, int width, int* changes) {
  int* out = changes;
  const int bytes = (width + 7) / 8;
  std::uint64_t before = 0;  // the pixel before the word, in bit 63
  for (int at = 0; at < width; at += 64) {
    // 64 pixels, pixel `at` in bit 63.
    std::uint64_t pixels = 0;
    std::memcpy(&pixels, raster + at / 8, static_cast<std::size_t>(std::min(8, bytes - at / 8)));
    pixels = __builtin_bswap64(pixels);
    std::uint64_t found = pixels ^ ((pixels >> 1) | before);
    before = pixels << 63;
    if (width - at < 64) found &= ~std::uint64_t{0} << (64 - (width - at));
    while (found != 0) {
      const int lead = std::countl_zero(found);
      *out++ = at + lead;
      found ^= std::uint64_t{1} << (63 - lead);
    }
  }
  std::fill_n(out, kEndMarks, width);
}

// A blank reference line of `width` pixels.
std::vector<int> BlankLine(int width) {
  std::vector<int> line(static_cast<std::size_t>(width) + kEndMarks + 1, width);
  line[0] = kBeforeLine;
  return line;
}

// The mode codes and the end-of-line code, packed as T4RunCodes gives runs.
constexpr std::uint32_t kPassCode = T4Packed(kModes.pass);
constexpr std::uint32_t kHorizontalCode = T4Packed(kModes.horizontal);
constexpr std::array<std::uint32_t, 7> kVerticalCodes = [] {
  std::array<std::uint32_t, 7> codes{};
  for (std::size_t d = 0; d < codes.size(); ++d) codes[d] = T4Packed(kModes.vertical[d]);
  return codes;
}();
constexpr std::uint32_t kEolCode = T4Packed(T4CodeFromWord(0b000000000001, 12));
constexpr std::uint32_t kTagBit[2] = {T4Packed({0, 1}), T4Packed({1, 1})};  // MR: 2-D, 1-D

// The most bytes one line's codes can take: each code moves a0 on by a
// pixel at least (from -1 to the width) and is at most a horizontal mode
// code and two runs of 25 bits.
std::size_t MaxLineBytes(int width) { return (static_cast<std::size_t>(width) + 2) * 7 + 4; }

}  // namespace

const T4ModeCodes& T4Modes() { return kModes; }

// ---------------------------------------------------------------------------
// Encoder

// Bits written straight into the page's buffer, which has room for them;
// kept in registers while a line is coded, as the buffer is written through
// byte pointers.
struct T4PageEncoder::Writer {
  std::uint8_t* out;
  std::size_t bytes;
  std::uint64_t bits;
  int count;

  // A code as T4RunCodes packs them.
  void Put(std::uint32_t packed) {
    bits |= std::uint64_t{packed & ((1u << kT4PackedLengthShift) - 1)} << count;
    count += static_cast<int>(packed >> kT4PackedLengthShift);
    std::memcpy(out + bytes, &bits, 8);  // the whole word; the complete bytes stay
    bytes += static_cast<std::size_t>(count >> 3);
    bits >>= count & ~7;
    count &= 7;
  }
};

T4PageEncoder::T4PageEncoder(T4Coding coding, int width, int k)
    : coding_(coding),
      width_(std::clamp(width, 1, kMaxRunLength)),
      k_(std::max(k, 1)),
      line_(BlankLine(width_)),
      reference_(BlankLine(width_)) {}

T4PageEncoder::Writer T4PageEncoder::Reserve(std::size_t bytes) {
  if (const std::size_t need = outBytes_ + bytes + 8; out_.size() < need) out_.resize(std::max(need, out_.size() * 2));
  return {out_.data(), outBytes_, bits_, bitCount_};
}

void T4PageEncoder::Release(const Writer& writer) {
  outBytes_ = writer.bytes;
  bits_ = writer.bits;
  bitCount_ = writer.count;
}

void T4PageEncoder::Code1D(Writer& out, const int* line) const {
  const T4PackedRuns& runs = T4RunCodes();
  int position = 0;
  std::size_t colour = 0;
  for (; *line < width_; ++line) {
    out.Put(runs[colour][static_cast<std::size_t>(*line - position)]);
    position = *line;
    colour ^= 1;
  }
  out.Put(runs[colour][static_cast<std::size_t>(width_ - position)]);
}

void T4PageEncoder::Code2D(Writer& out, const int* line) const {
  const T4PackedRuns& runs = T4RunCodes();
  const int width = width_;
  ReferenceScan reference{reference_.data() + 1};
  int a0 = -1;  // before the first pixel, white
  std::size_t black = 0;
  const int* next = line;  // a1, then a2
  while (a0 < width) {
    while (*next <= a0) ++next;
    const int a1 = *next;
    const auto [b1, b2] = reference.Find(a0);
    if (b2 < a1) {
      out.Put(kPassCode);
      reference.Passed();
      a0 = b2;
    } else if (a1 - b1 >= -3 && a1 - b1 <= 3) {
      out.Put(kVerticalCodes[static_cast<std::size_t>(a1 - b1 + 3)]);
      reference.Crossed(a1 - b1);
      a0 = a1;
      black ^= 1;
    } else {
      const int a2 = next[1];
      out.Put(kHorizontalCode);
      out.Put(runs[black][static_cast<std::size_t>(a1 - std::max(a0, 0))]);
      out.Put(runs[black ^ 1][static_cast<std::size_t>(a2 - a1)]);
      a0 = a2;
    }
  }
}

void T4PageEncoder::AddLine(const std::uint8_t* raster) {
  FindChanges(raster, width_, line_.data() + 1);
  const int* const changes = line_.data() + 1;
  Writer out = Reserve(MaxLineBytes(width_));
  switch (coding_) {
    case T4Coding::kMh:
      out.Put(kEolCode);
      Code1D(out, changes);
      break;
    case T4Coding::kMr: {
      const bool oneD = lineIndex_ % k_ == 0;
      out.Put(kEolCode);
      out.Put(kTagBit[oneD ? 1 : 0]);
      if (oneD) {
        Code1D(out, changes);
      } else {
        Code2D(out, changes);
      }
      break;
    }
    case T4Coding::kMmr:
      Code2D(out, changes);
      break;
  }
  Release(out);
  std::swap(line_, reference_);
  ++lineIndex_;
}

std::vector<std::uint8_t> T4PageEncoder::Finish() {
  const int eols = coding_ == T4Coding::kMmr ? 2 : 6;
  Writer out = Reserve(static_cast<std::size_t>(eols) * 2 + 1);
  for (int i = 0; i < eols; ++i) {
    out.Put(kEolCode);
    if (coding_ == T4Coding::kMr) out.Put(kTagBit[1]);
  }
  out_.resize(out.bytes + (out.count > 0 ? 1 : 0));  // the last byte holds its bits already
  std::vector<std::uint8_t> page = std::move(out_);
  out_.clear();
  outBytes_ = 0;
  bits_ = 0;
  bitCount_ = 0;
  lineIndex_ = 0;
  reference_ = BlankLine(width_);
  return page;
}

// ---------------------------------------------------------------------------
// Decoder

namespace {

// The bits of the data, first in bit 0; reads past the end give 0 bits.
struct BitReader {
  const std::uint8_t* data;
  std::size_t size;
  std::uint64_t position = 0;

  std::uint64_t End() const { return std::uint64_t{size} * 8; }
  bool AtEnd() const { return position >= End(); }
  bool Overrun() const { return position > End(); }
  unsigned Bit() {
    const unsigned bit = AtEnd() ? 0u : (data[position >> 3] >> (position & 7)) & 1u;
    ++position;
    return bit;
  }
};

// The window of bits from a reader's position on. Past the end of the data
// the bits are 0, and `avail` goes below 0 once any of them are consumed.
T4BitWindow WindowAt(const BitReader& from) {
  T4BitWindow window{from.data, from.size, std::min<std::size_t>(from.size, static_cast<std::size_t>(from.position >> 3))};
  window.Refill();
  window.Consume(static_cast<int>(from.position - std::uint64_t{window.next} * 8 + static_cast<std::uint64_t>(window.avail)));
  return window;
}
bool Overrun(const T4BitWindow& window) { return window.avail < 0; }
// At least 32 bits ahead while the data lasts.
void TopUp(T4BitWindow& window) {
  if (window.avail < 32) window.Refill();
}

// One code read from the data.
struct Code {
  enum Kind : std::uint8_t { kNone, kRun, kPass, kHorizontal, kVertical, kEol, kInvalid, kEnd };
  Kind kind = kNone;
  std::uint8_t bits = 0;   // in a look-up table: the code's length
  std::int16_t value = 0;  // run length, or a1 - b1 for vertical mode
};

// Eleven or more 0 bits and then a 1: the rest of an EOL whose first
// `zeros` 0 bits are read. kEnd when the data runs out first.
Code FinishEol(BitReader& in, int zeros) {
  for (;;) {
    if (in.AtEnd()) return {Code::kEnd};
    if (in.Bit()) return {zeros >= kEolZeros ? Code::kEol : Code::kInvalid};
    ++zeros;
  }
}

// The codes matched a bit at a time: the rules every look-up must follow.
Code WalkRun(BitReader& in, const T4DecodeTree& tree) {
  std::int32_t node = 0;
  for (;;) {
    if (in.AtEnd()) return {Code::kEnd};
    node = tree.nodes[static_cast<std::size_t>(node)][in.Bit()];
    const auto& n = tree.nodes[static_cast<std::size_t>(node)];
    if (n[0] > 0) continue;
    if (n[0] == T4DecodeTree::kRunLeaf) return {Code::kRun, 0, static_cast<std::int16_t>(n[1])};
    if (n[0] == T4DecodeTree::kEolLeaf) return {Code::kEol};
    return {Code::kInvalid};
  }
}

Code WalkMode(BitReader& in) {
  std::uint16_t value = 0;
  for (std::uint16_t bits = 1;; ++bits) {
    if (in.AtEnd()) return {Code::kEnd};
    value = static_cast<std::uint16_t>(value | in.Bit() << (bits - 1));
    auto is = [&](T4Code c) { return c.bits == bits && c.value == value; };
    if (is(kModes.pass)) return {Code::kPass};
    if (is(kModes.horizontal)) return {Code::kHorizontal};
    for (std::size_t d = 0; d < kModes.vertical.size(); ++d) {
      if (is(kModes.vertical[d])) return {Code::kVertical, 0, static_cast<std::int16_t>(static_cast<int>(d) - 3)};
    }
    if (is(kModes.extension)) {
      for (int i = 0; i < kExtensionTailBits; ++i) in.Bit();
      return {in.Overrun() ? Code::kEnd : Code::kInvalid};
    }
    if (bits == 7 && value == 0) return FinishEol(in, 7);
  }
}

// Look-up tables: the code that the next bits begin with, with its length,
// or length 0 where the walk must decide (fill bits and EOLs, damage, codes
// cut by the end). Run codes of up to 9 bits (nearly all the runs of a
// page) are found in a small table, the longer ones in a second.
constexpr int kShortRunWindow = 9;
constexpr int kRunWindow = 13;
constexpr int kModeWindow = 7;
template <int kBits>
using Table = std::array<Code, 1u << kBits>;

// Two terminating codes in a row, one of each colour (horizontal mode, and
// most of a 1-D line): their runs and their bits together; and where a
// third follows in the window (1-D lines), its run and the bits of all
// three.
constexpr int kPairWindow = 12;
struct RunPair {
  std::uint8_t bits = 0;
  std::uint8_t first = 0;
  std::uint8_t second = 0;
  std::uint8_t tripleBits = 0;
  std::uint8_t third = 0;
};

// Vertical mode codes in a row (nearly all of a 2-D line): up to
// kMaxVerticals of them that lie whole in the next kVerticalWindow bits,
// each as a1 - b1 + 4 in three bits, first lowest, so that the first 0
// ends them; their bits together above them. 0 where the window does not
// start with one.
constexpr int kVerticalWindow = 14;
constexpr int kMaxVerticals = 8;
constexpr int kVerticalBitsShift = 3 * kMaxVerticals;
constexpr std::uint32_t kVerticalCodesMask = (1u << kVerticalBitsShift) - 1;

// The bits of the vertical codes in `codes`, packed as in the table.
int VerticalBits(std::uint32_t codes) {
  int bits = 0;
  for (; codes != 0; codes >>= 3) bits += kModes.vertical[(codes & 7) - 1].bits;
  return bits;
}

struct Tables {
  std::array<T4DecodeTree, 2> trees = {BuildDecodeTree(T4Colour::kWhite), BuildDecodeTree(T4Colour::kBlack)};
  std::array<Table<kShortRunWindow>, 2> shortRuns{};
  std::array<Table<kRunWindow>, 2> runs{};
  Table<kModeWindow> modes{};
  std::array<std::uint32_t, 1u << kVerticalWindow> verticals{};
  std::array<std::array<RunPair, 1u << kPairWindow>, 2> pairs{};  // by the first run's colour
};

// Every window's entry: what the walk makes of the window's bits, when it
// ends within them on a whole code.
template <std::size_t kEntries, typename Walk>
void Tabulate(std::array<Code, kEntries>& table, Walk walk) {
  constexpr int kBits = std::countr_zero(kEntries);
  for (std::uint32_t window = 0; window < table.size(); ++window) {
    const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(window), static_cast<std::uint8_t>(window >> 8), 0, 0};
    BitReader in{bytes, 4};
    Code code = walk(in);
    const bool whole = code.kind == Code::kRun || code.kind == Code::kPass || code.kind == Code::kHorizontal ||
                       code.kind == Code::kVertical;
    if (!whole || in.position > static_cast<std::uint64_t>(kBits)) continue;
    code.bits = static_cast<std::uint8_t>(in.position);
    table[window] = code;
  }
}

const Tables& SharedTables() {
  static const Tables* const tables = [] {
    auto* t = new Tables;
    for (std::size_t colour = 0; colour < 2; ++colour) {
      auto walk = [&](BitReader& in) { return WalkRun(in, t->trees[colour]); };
      Tabulate(t->shortRuns[colour], walk);
      Tabulate(t->runs[colour], walk);
    }
    Tabulate(t->modes, WalkMode);
    for (std::uint32_t window = 0; window < t->verticals.size(); ++window) {
      const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(window), static_cast<std::uint8_t>(window >> 8), 0, 0};
      BitReader in{bytes, 4};
      std::uint32_t codes = 0;
      for (int count = 0; count < kMaxVerticals; ++count) {
        const Code code = WalkMode(in);
        if (code.kind != Code::kVertical || in.position > kVerticalWindow) break;
        codes |= static_cast<std::uint32_t>(code.value + 4) << (3 * count);
      }
      if (codes == 0) continue;
      t->verticals[window] = codes | static_cast<std::uint32_t>(VerticalBits(codes)) << kVerticalBitsShift;
    }
    for (std::size_t colour = 0; colour < 2; ++colour) {
      for (std::uint32_t window = 0; window < t->pairs[colour].size(); ++window) {
        const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(window), static_cast<std::uint8_t>(window >> 8), 0, 0};
        BitReader in{bytes, 4};
        const Code first = WalkRun(in, t->trees[colour]);
        const Code second = WalkRun(in, t->trees[colour ^ 1]);
        auto terminating = [](const Code& c) { return c.kind == Code::kRun && c.value < 64; };
        if (!terminating(first) || !terminating(second) || in.position > kPairWindow) continue;
        RunPair& pair = t->pairs[colour][window];
        pair = {static_cast<std::uint8_t>(in.position), static_cast<std::uint8_t>(first.value),
                static_cast<std::uint8_t>(second.value)};
        const Code third = WalkRun(in, t->trees[colour]);
        if (!terminating(third) || in.position > kPairWindow) continue;
        pair.tripleBits = static_cast<std::uint8_t>(in.position);
        pair.third = static_cast<std::uint8_t>(third.value);
      }
    }
    return t;
  }();
  return *tables;
}

// How decoding a line ended: a whole line; an EOL before any code (kEmpty);
// an EOL inside the line, which starts the next one (kCut); bad codes; the
// end of the data.
enum class LineEnd { kLine, kEmpty, kCut, kBad, kEnd };

// One decoded line's changes, with room for one at every pixel, as a
// reference line: the -1 before them and the end marks after them.
struct ChangeBuffer {
  std::vector<int> at;
  std::size_t count = 0;

  explicit ChangeBuffer(int width) : at(static_cast<std::size_t>(width) + kEndMarks + 1, width) { at[0] = kBeforeLine; }
  int* Changes() { return at.data() + 1; }
  const int* Changes() const { return at.data() + 1; }
};

// A line's pixels drawn from its changes, 64 to a word, the first pixel in
// the top bit: each change flips the pixels from it to its word's end in
// words that start at 0, then Settle flips each word as a whole where the
// word before it ended black.
struct Pen {
  std::uint64_t* words;

  void Flip(int at) { words[at >> 6] ^= ~std::uint64_t{0} >> (at & 63); }
};

// Settles the flipped words and byte-swaps them, so that their bytes are
// the raster line.
void Settle(std::span<std::uint64_t> words) {
  std::uint64_t carry = 0;  // all ones when the word before ended black
  for (std::uint64_t& word : words) {
    const std::uint64_t x = word ^ carry;
    carry = 0 - (x & 1);
    word = __builtin_bswap64(x);
  }
}

// Decodes lines into change buffers and draws them into Raster(). While a
// line is decoded its bits are held in a local window (the line's changes
// are written through pointers that could otherwise alias it); the position
// is put back at the end.
class LineDecoder {
 public:
  LineDecoder(std::span<const std::uint8_t> data, int width, bool lookup)
      : in_{data.data(), data.size()},
        width_(width),
        lookup_(lookup),
        tables_(SharedTables()),
        raster_(static_cast<std::size_t>((width + 63) / 64) + 1) {}

  // The last line decoded whole, one word further for the flip at the line
  // end.
  std::span<std::uint64_t> Raster() { return {raster_.data(), raster_.size() - 1}; }

  BitReader& Reader() { return in_; }
  LineEnd Decode1D(ChangeBuffer& line);
  LineEnd Decode2D(const ChangeBuffer& reference, ChangeBuffer& line);
  // Fill bits and an EOL; false when something else comes.
  bool SkipEol();
  // Skips to just past the next EOL; false when the data runs out.
  bool FindEol();

 private:
  // Each reads one code and moves `bits` past it.
  [[gnu::always_inline]] Code NextRunCode(T4BitWindow& bits, std::size_t colour) const {
    if (lookup_) {
      TopUp(bits);
      const auto window = static_cast<std::uint32_t>(bits.buffer);
      Code code = tables_.shortRuns[colour][window & ((1u << kShortRunWindow) - 1)];
      if (code.bits == 0) code = tables_.runs[colour][window & ((1u << kRunWindow) - 1)];
      if (code.bits != 0) {
        bits.Consume(code.bits);
        return Overrun(bits) ? Code{Code::kEnd} : code;
      }
    }
    const T4DecodeTree* tree = &tables_.trees[colour];
    return Walk(bits, [tree](BitReader& in) { return WalkRun(in, *tree); });
  }
  [[gnu::always_inline]] Code NextMode(T4BitWindow& bits) const {
    if (lookup_) {
      TopUp(bits);
      const Code code = tables_.modes[bits.buffer & ((1u << kModeWindow) - 1)];
      if (code.bits != 0) {
        bits.Consume(code.bits);
        return Overrun(bits) ? Code{Code::kEnd} : code;
      }
    }
    return Walk(bits, WalkMode);
  }
  // Two terminating codes, `colour` first, that fit in `room`: a pair with
  // its bits 0 where the codes must be read one by one.
  [[gnu::always_inline]] RunPair NextPair(T4BitWindow& bits, std::size_t colour, int room) const {
    if (!lookup_) return {};
    TopUp(bits);
    const RunPair pair = tables_.pairs[colour][bits.buffer & ((1u << kPairWindow) - 1)];
    if (pair.bits == 0 || pair.first + pair.second > room) return {};
    bits.Consume(pair.bits);
    return pair;
  }
  // The walk gets the position alone and out of line, so that the window
  // of the fast path stays in registers.
  struct Walked {
    Code code;
    std::uint64_t end;
  };
  template <typename Walker>
  [[gnu::noinline]] static Walked WalkFrom(const std::uint8_t* data, std::size_t size, std::uint64_t at,
                                           Walker walker) {
    BitReader in{data, size, at};
    const Code code = walker(in);
    return {code, in.position};
  }
  template <typename Walker>
  [[gnu::always_inline]] static Code Walk(T4BitWindow& bits, Walker walker) {
    const Walked walked = WalkFrom(bits.data, bits.size, bits.Used(), walker);
    bits = WindowAt(BitReader{bits.data, bits.size, walked.end});
    return walked.code;
  }
  // Make-up codes and the terminating code of one run, no longer than
  // `room`.
  [[gnu::always_inline]] Code NextRun(T4BitWindow& bits, std::size_t colour, int room) const {
    int total = 0;
    for (;;) {
      const Code code = NextRunCode(bits, colour);
      if (code.kind != Code::kRun) return code;
      total += code.value;
      if (total > room) return {Code::kInvalid};
      if (code.value < 64) return {Code::kRun, 0, static_cast<std::int16_t>(total)};
    }
  }
  static LineEnd Failed(const Code& code, bool started) {
    if (code.kind == Code::kEnd) return LineEnd::kEnd;
    if (code.kind == Code::kEol) return started ? LineEnd::kCut : LineEnd::kEmpty;
    return LineEnd::kBad;
  }
  // Adds a change at `out`; a change where the last one is undoes it (a run
  // of 0). Before the first change is the -1.
  static void Push(int*& out, int at) {
    if (out[-1] == at) {
      --out;
    } else {
      *out++ = at;
    }
  }
  [[gnu::always_inline]] LineEnd Finished(LineEnd end, const T4BitWindow& bits, ChangeBuffer& line, const int* out) {
    in_.position = bits.Used();
    line.count = static_cast<std::size_t>(out - line.Changes());
    std::fill_n(line.Changes() + line.count, kEndMarks, width_);
    return end;
  }

  BitReader in_;
  int width_;
  bool lookup_;
  const Tables& tables_;
  std::vector<std::uint64_t> raster_;
};

LineEnd LineDecoder::Decode1D(ChangeBuffer& line) {
  // Kept in a register: the changes are written through an int pointer.
  const int width = width_;
  T4BitWindow bits = WindowAt(in_);
  int* const changes = line.Changes();
  int* out = changes;
  std::fill(raster_.begin(), raster_.end(), 0);
  Pen pen{raster_.data()};
  int x = 0;
  std::size_t colour = 0;
  bool started = false;
  while (x < width) {
    // Three runs in a row, all ending inside the line.
    if (lookup_) {
      TopUp(bits);
      const RunPair& runs = tables_.pairs[colour][bits.buffer & ((1u << kPairWindow) - 1)];
      if (runs.tripleBits != 0 && runs.first + runs.second + runs.third < width - x) {
        bits.Consume(runs.tripleBits);
        if (Overrun(bits)) return Finished(LineEnd::kEnd, bits, line, changes);
        started = true;
        for (const int run : {runs.first, runs.second, runs.third}) {
          Push(out, x += run);
          pen.Flip(x);
        }
        colour ^= 1;
        continue;
      }
    }
    // Both runs of a pair end inside the line.
    if (const RunPair pair = NextPair(bits, colour, width - x - 1); pair.bits != 0) {
      if (Overrun(bits)) return Finished(LineEnd::kEnd, bits, line, changes);
      started = true;
      Push(out, x += pair.first);
      pen.Flip(x);
      Push(out, x += pair.second);
      pen.Flip(x);
      continue;
    }
    const Code run = NextRun(bits, colour, width - x);
    if (run.kind != Code::kRun) return Finished(Failed(run, started), bits, line, changes);
    started = true;
    x += run.value;
    if (x < width) Push(out, x);
    pen.Flip(x);
    colour ^= 1;
  }
  // A line that ends black may be closed by a white run of 0.
  if (colour == 0) {
    T4BitWindow after = bits;
    if (const Code run = NextRunCode(after, 0); run.kind == Code::kRun && run.value == 0) bits = after;
  }
  return Finished(LineEnd::kLine, bits, line, out);
}

LineEnd LineDecoder::Decode2D(const ChangeBuffer& reference, ChangeBuffer& line) {
  // Kept in a register: the changes are written through an int pointer.
  const int width = width_;
  T4BitWindow bits = WindowAt(in_);
  int* const changes = line.Changes();
  int* out = changes;
  std::fill(raster_.begin(), raster_.end(), 0);
  Pen pen{raster_.data()};
  ReferenceScan scan{reference.Changes()};
  int a0 = -1;
  // Vertical mode: a1 is b1 moved by `d`; false when that is not in the
  // rest of the line.
  auto vertical = [&](int d) {
    const int a1 = scan.Find(a0).first + d;
    scan.Crossed(d);
    if (a1 <= a0) return false;
    if (a1 < width) {
      *out++ = a1;  // right of every change so far
      pen.Flip(a1);
    } else if (a1 > width) {
      return false;
    }
    a0 = a1;
    return true;
  };
  // Horizontal mode: runs end at a1 and a2, at most at the width.
  auto horizontal = [&](int a1, int a2) {
    if (a1 < width) Push(out, a1);
    if (a2 < width) Push(out, a2);
    pen.Flip(a1);
    pen.Flip(a2);
    a0 = a2;
  };
  // The colour after the last change.
  auto black = [&] { return static_cast<std::size_t>((out - changes) & 1); };
  while (a0 < width) {
    // A row of vertical codes, where the window holds only bits of the data.
    if (lookup_ && (TopUp(bits), bits.avail >= kVerticalWindow)) {
      if (const std::uint32_t row = tables_.verticals[bits.buffer & ((1u << kVerticalWindow) - 1)]; row != 0) {
        // The row's bits are taken at once, less those of the codes left
        // when the line ends inside it.
        const auto rowBits = static_cast<int>(row >> kVerticalBitsShift);
        std::uint32_t codes = row & kVerticalCodesMask;
        do {
          if (!vertical(static_cast<int>(codes & 7) - 4)) {
            bits.Consume(rowBits - VerticalBits(codes >> 3));
            return Finished(LineEnd::kBad, bits, line, changes);
          }
          codes >>= 3;
        } while (codes != 0 && a0 < width);
        bits.Consume(rowBits - VerticalBits(codes));
        continue;
      }
      // Horizontal mode and two terminating codes, where the window holds
      // them: one look-up past the mode code.
      constexpr int kModeBits = kModes.horizontal.bits;
      if ((bits.buffer & ((1u << kModeBits) - 1)) == kModes.horizontal.value && bits.avail >= kModeBits + kPairWindow) {
        const int start = std::max(a0, 0);
        const RunPair pair = tables_.pairs[black()][(bits.buffer >> kModeBits) & ((1u << kPairWindow) - 1)];
        if (pair.bits != 0 && pair.first + pair.second <= width - start) {
          bits.Consume(kModeBits + pair.bits);
          horizontal(start + pair.first, start + pair.first + pair.second);
          continue;
        }
      }
    }
    const Code mode = NextMode(bits);
    switch (mode.kind) {
      case Code::kPass:
        a0 = scan.Find(a0).second;
        scan.Passed();
        break;
      case Code::kVertical:
        if (!vertical(mode.value)) return Finished(LineEnd::kBad, bits, line, changes);
        break;
      case Code::kHorizontal: {
        const int start = std::max(a0, 0);
        const std::size_t colour = black();
        if (const RunPair pair = NextPair(bits, colour, width - start); pair.bits != 0) {
          if (Overrun(bits)) return Finished(LineEnd::kEnd, bits, line, changes);
          horizontal(start + pair.first, start + pair.first + pair.second);
          break;
        }
        const Code first = NextRun(bits, colour, width - start);
        if (first.kind != Code::kRun) return Finished(Failed(first, true), bits, line, changes);
        const int a1 = start + first.value;
        const Code second = NextRun(bits, colour ^ 1, width - a1);
        if (second.kind != Code::kRun) return Finished(Failed(second, true), bits, line, changes);
        horizontal(a1, a1 + second.value);
        break;
      }
      default:
        return Finished(Failed(mode, a0 >= 0), bits, line, changes);
    }
  }
  return Finished(LineEnd::kLine, bits, line, out);
}

bool LineDecoder::SkipEol() {
  int zeros = 0;
  while (!in_.AtEnd()) {
    if (in_.Bit()) return zeros >= kEolZeros;
    ++zeros;
  }
  return true;  // fill bits up to the end of the data
}

bool LineDecoder::FindEol() {
  int zeros = 0;
  while (!in_.AtEnd()) {
    if (!in_.Bit()) {
      ++zeros;
    } else if (zeros >= kEolZeros) {
      return true;
    } else {
      zeros = 0;
    }
  }
  return false;
}

// Draws a line into `words` from its changes alone, as the decoder does
// while it finds them: what the plain decoder gives out, against which the
// drawing on the fast path is held.
void FillLine(const ChangeBuffer& changes, std::span<std::uint64_t> words) {
  std::fill(words.begin(), words.end(), 0);
  Pen pen{words.data()};
  for (std::size_t i = 0; i < changes.count; ++i) pen.Flip(changes.Changes()[i]);
}

}  // namespace

T4PageDecoder::T4PageDecoder(T4Coding coding, int width) : coding_(coding), width_(std::clamp(width, 1, kMaxRunLength)) {}

T4PageDecodeResult T4PageDecoder::Decode(std::span<const std::uint8_t> data, const Sink& sink) {
  T4PageDecodeResult result;
  LineDecoder decoder(data, width_, lookup_);
  BitReader& in = decoder.Reader();
  ChangeBuffer reference(width_), line(width_);
  const std::span<std::uint64_t> words = decoder.Raster();
  const auto rowBytes = static_cast<std::size_t>((width_ + 7) / 8);
  const std::span<std::uint8_t> row(reinterpret_cast<std::uint8_t*>(words.data()), rowBytes);
  auto giveOut = [&] {
    if (!lookup_) FillLine(line, words);
    Settle(words);
    // Pixels past the width stay white.
    if (const int tail = width_ & 7; tail != 0) row.back() &= static_cast<std::uint8_t>(0xFF00 >> tail);
    ++result.lines;
    std::swap(reference, line);
    return sink(row);
  };
  auto finish = [&] {
    result.bytesUsed = static_cast<std::size_t>(std::min(in.End(), (in.position + 7) & ~std::uint64_t{7}) / 8);
    return result;
  };

  if (coding_ == T4Coding::kMmr) {
    // Lines follow one another without EOLs; an EOL where a line starts is
    // the first half of EOFB.
    for (;;) {
      const LineEnd end = decoder.Decode2D(reference, line);
      if (end == LineEnd::kLine) {
        if (!giveOut()) break;
        continue;
      }
      if (end == LineEnd::kEmpty) {
        result.pageEnded = FinishEol(in, 0).kind == Code::kEol;
      } else if (end != LineEnd::kEnd) {
        ++result.damagedLines;
      }
      break;
    }
    return finish();
  }

  // MH and MR: EOL, the tag bit (MR), a line; three EOLs in a row end the
  // page. After damage an MR page goes on from the next 1-D line.
  const bool tagged = coding_ == T4Coding::kMr;
  bool needOneD = false;
  int eols = 0;
  if (decoder.FindEol()) {
    eols = 1;
    for (;;) {
      const bool oneD = !tagged || in.Bit() == 1;
      if (in.Overrun()) break;
      LineEnd end = LineEnd::kBad;
      if (oneD) {
        end = decoder.Decode1D(line);
      } else if (!needOneD) {
        end = decoder.Decode2D(reference, line);
      }
      if (end == LineEnd::kEnd) break;
      if (end == LineEnd::kEmpty) {
        if (++eols >= 3) {
          result.pageEnded = true;
          break;
        }
        continue;
      }
      if (end == LineEnd::kLine) {
        const std::uint64_t lineEnd = in.position;
        if (decoder.SkipEol()) {
          needOneD = false;
          eols = 1;
          if (!giveOut() || in.AtEnd()) break;
          continue;
        }
        in.position = lineEnd;
      }
      ++result.damagedLines;
      needOneD = true;
      if (end != LineEnd::kCut && !decoder.FindEol()) break;
      eols = 1;
    }
  }
  return finish();
}

// ---------------------------------------------------------------------------
// Re-coding

std::vector<std::uint8_t> T4EncodeRows(T4Coding coding, int width, int k,
                                       std::span<const std::vector<std::uint8_t>> rows) {
  T4PageEncoder encoder(coding, width, k);
  const auto rowBytes = static_cast<std::size_t>((std::clamp(width, 1, kMaxRunLength) + 7) / 8);
  std::vector<std::uint8_t> padded;
  for (const auto& row : rows) {
    if (row.size() >= rowBytes) {
      encoder.AddLine(row.data());
      continue;
    }
    padded.assign(rowBytes, 0);  // a short row is white to the line end
    std::copy(row.begin(), row.end(), padded.begin());
    encoder.AddLine(padded.data());
  }
  return encoder.Finish();
}

std::vector<std::vector<std::uint8_t>> T4DecodeRows(T4Coding coding, int width, std::span<const std::uint8_t> data,
                                                    T4PageDecodeResult* result) {
  std::vector<std::vector<std::uint8_t>> rows;
  T4PageDecoder decoder(coding, width);
  const T4PageDecodeResult found = decoder.Decode(data, [&](std::span<const std::uint8_t> row) {
    rows.emplace_back(row.begin(), row.end());
    return true;
  });
  if (result) *result = found;
  return rows;
}

namespace {

// An MH page re-coded line by line as it is decoded, at `width` pixels (0:
// its first line's width); a page keeps one width, so lines of the other are
// damage.
struct MhRecoding {
  std::vector<std::uint8_t> data;
  int width = 0;
  int lines = 0;
  int badCodes = 0;
  int damagedLines = 0;
};

MhRecoding RecodeMh(std::span<const std::uint8_t> mh, int width, T4Coding to, bool fine) {
  T4Decoder decoder;
  MhRecoding page;
  page.width = width;
  std::optional<T4PageEncoder> encoder;
  if (width != 0) encoder.emplace(to, width, T4MrK(fine));
  auto keep = [&](const std::uint8_t* line, int bytes) {
    if (page.width == 0) page.width = bytes * 8;
    if (!encoder) encoder.emplace(to, page.width, T4MrK(fine));
    if (bytes * 8 == page.width) {
      encoder->AddLine(line);
      ++page.lines;
    } else {
      ++page.damagedLines;
    }
    return true;
  };
  decoder.Decode(mh.data(), mh.size(), keep);
  decoder.EndOfData(keep);
  if (page.width == 0) page.width = kStandardWidth;
  if (!encoder) encoder.emplace(to, page.width, T4MrK(fine));
  page.data = encoder->Finish();
  page.badCodes = decoder.InvalidCodes();
  page.damagedLines += decoder.BrokenLines();
  return page;
}

}  // namespace

std::vector<std::uint8_t> T4RecodeFromMh(std::span<const std::uint8_t> mh, T4Coding to, bool fine, int* width) {
  MhRecoding page = RecodeMh(mh, 0, to, fine);
  if (width) *width = page.width;
  return std::move(page.data);
}

std::vector<std::uint8_t> T4RecodeToMh(std::span<const std::uint8_t> data, T4Coding from, int width,
                                       T4PageDecodeResult* result) {
  T4LineCoder coder;
  coder.SetWidth(width);
  coder.SetMargin(0);
  std::vector<std::uint8_t> mh;
  T4PageDecoder decoder(from, width);
  const T4PageDecodeResult found = decoder.Decode(data, [&](std::span<const std::uint8_t> row) {
    const auto coded = coder.CodeLine(row.data());
    mh.insert(mh.end(), coded.begin(), coded.end());
    return true;
  });
  if (result) *result = found;
  mh.insert(mh.end(), kEndOfPageCodes.begin(), kEndOfPageCodes.end());
  return mh;
}

int T4RecodeApfPage(const std::string& file, int page, T4Coding to, T4RecodedPage& out) {
  out = T4RecodedPage();
  ApfPageReader reader;
  if (const int rc = reader.Open(file, page); rc != 0) return rc;
  // The blocks' bytes in order are the page's code stream in both forms.
  std::vector<std::uint8_t> mh;
  std::array<std::uint8_t, kApfMaxBlock> block{};
  long n = 0;
  while ((n = reader.NextBlock(block)) > 0) mh.insert(mh.end(), block.begin(), block.begin() + n);
  out.readError = static_cast<int>(std::min(n, 0L));
  out.fine = reader.PageHeader().Fine();
  out.width = reader.PageHeader().WidthPixels();
  MhRecoding recoded = RecodeMh(mh, out.width, to, out.fine);
  out.data = std::move(recoded.data);
  out.lines = recoded.lines;
  out.badCodes = recoded.badCodes;
  out.damagedLines = recoded.damagedLines;
  return 0;
}

}  // namespace tv
