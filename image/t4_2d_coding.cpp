#include "image/t4_2d_coding.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace tv {

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

// Entry `at` of a change list, or the line width past its end.
int ChangeAt(const T4Changes& changes, std::size_t at, int width) {
  return at < changes.size() ? changes[at] : width;
}

// b1 and b2 for a0 and its colour: b1 is the first change on the reference
// line right of a0 to the other colour, b2 the change after it. `from`
// holds the first change right of the previous a0; a0 only moves right.
struct ReferenceScan {
  const T4Changes& changes;
  int width;
  std::size_t from = 0;

  std::pair<int, int> Find(int a0, bool black) {
    while (from < changes.size() && changes[from] <= a0) ++from;
    // Even entries turn the line black: b1 is one of those when a0 is white.
    std::size_t b1 = from;
    if ((b1 & 1u) != (black ? 1u : 0u)) ++b1;
    return {ChangeAt(changes, b1, width), ChangeAt(changes, b1 + 1, width)};
  }
};

}  // namespace

const T4ModeCodes& T4Modes() { return kModes; }

void FindChanges(const std::uint8_t* raster, int width, T4Changes& changes) {
  changes.clear();
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
      changes.push_back(at + lead);
      found ^= std::uint64_t{1} << (63 - lead);
    }
  }
}

// ---------------------------------------------------------------------------
// Encoder

T4PageEncoder::T4PageEncoder(T4Coding coding, int width, int k)
    : coding_(coding), width_(std::clamp(width, 1, kMaxRunLength)), k_(std::max(k, 1)) {}

void T4PageEncoder::Put(std::uint32_t value, int bits) {
  bits_ |= std::uint64_t{value} << bitCount_;
  bitCount_ += bits;
  if (bitCount_ >= 32) {
    const auto word = static_cast<std::uint32_t>(bits_);
    const std::size_t at = out_.size();
    out_.resize(at + 4);
    std::memcpy(out_.data() + at, &word, 4);
    bits_ >>= 32;
    bitCount_ -= 32;
  }
}

void T4PageEncoder::PutRun(T4Colour colour, int length) {
  const T4CodeTables& t = T4Codes();
  const bool white = colour == T4Colour::kWhite;
  if (length >= 64) {
    const T4Code makeUp = (white ? t.whiteMakeUp : t.blackMakeUp)[static_cast<std::size_t>(length / 64 - 1)];
    Put(makeUp.value, makeUp.bits);
  }
  const T4Code tail = (white ? t.whiteTerminating : t.blackTerminating)[static_cast<std::size_t>(length % 64)];
  Put(tail.value, tail.bits);
}

void T4PageEncoder::Code1D(const T4Changes& line) {
  int position = 0;
  T4Colour colour = T4Colour::kWhite;
  auto flip = [](T4Colour c) { return c == T4Colour::kWhite ? T4Colour::kBlack : T4Colour::kWhite; };
  for (int change : line) {
    PutRun(colour, change - position);
    position = change;
    colour = flip(colour);
  }
  PutRun(colour, width_ - position);
}

void T4PageEncoder::Code2D(const T4Changes& line) {
  ReferenceScan reference{reference_, width_};
  int a0 = -1;  // before the first pixel, white
  bool black = false;
  std::size_t next = 0;  // a1 is line[next]
  while (a0 < width_) {
    while (next < line.size() && line[next] <= a0) ++next;
    const int a1 = ChangeAt(line, next, width_);
    const auto [b1, b2] = reference.Find(a0, black);
    if (b2 < a1) {
      Put(kModes.pass.value, kModes.pass.bits);
      a0 = b2;
    } else if (a1 - b1 >= -3 && a1 - b1 <= 3) {
      const T4Code v = kModes.vertical[static_cast<std::size_t>(a1 - b1 + 3)];
      Put(v.value, v.bits);
      a0 = a1;
      black = !black;
    } else {
      const int a2 = ChangeAt(line, next + 1, width_);
      Put(kModes.horizontal.value, kModes.horizontal.bits);
      PutRun(black ? T4Colour::kBlack : T4Colour::kWhite, a1 - std::max(a0, 0));
      PutRun(black ? T4Colour::kWhite : T4Colour::kBlack, a2 - a1);
      a0 = a2;
    }
  }
}

void T4PageEncoder::AddLine(const std::uint8_t* raster) {
  FindChanges(raster, width_, changes_);
  AddChanges(changes_);
}

void T4PageEncoder::AddChanges(const T4Changes& changes) {
  switch (coding_) {
    case T4Coding::kMh:
      PutEol();
      Code1D(changes);
      break;
    case T4Coding::kMr: {
      const bool oneD = lineIndex_ % k_ == 0;
      PutEol();
      Put(oneD ? 1 : 0, 1);
      if (oneD) {
        Code1D(changes);
      } else {
        Code2D(changes);
      }
      break;
    }
    case T4Coding::kMmr:
      Code2D(changes);
      break;
  }
  reference_ = changes;
  ++lineIndex_;
}

std::vector<std::uint8_t> T4PageEncoder::Finish() {
  const int eols = coding_ == T4Coding::kMmr ? 2 : 6;
  for (int i = 0; i < eols; ++i) {
    PutEol();
    if (coding_ == T4Coding::kMr) Put(1, 1);
  }
  for (; bitCount_ > 0; bitCount_ -= 8, bits_ >>= 8) out_.push_back(static_cast<std::uint8_t>(bits_));
  std::vector<std::uint8_t> page = std::move(out_);
  out_.clear();
  bits_ = 0;
  bitCount_ = 0;
  lineIndex_ = 0;
  reference_.clear();
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
  std::uint32_t Peek() const {
    const std::size_t byte = static_cast<std::size_t>(position >> 3);
    std::uint64_t word = 0;
    if (byte + 8 <= size) {
      std::memcpy(&word, data + byte, 8);
    } else {
      for (std::size_t i = 0; byte + i < size && i < 8; ++i) word |= std::uint64_t{data[byte + i]} << (8 * i);
    }
    return static_cast<std::uint32_t>(word >> (position & 7));
  }
  unsigned Bit() {
    const unsigned bit = AtEnd() ? 0u : (data[position >> 3] >> (position & 7)) & 1u;
    ++position;
    return bit;
  }
};

// One code read from the data.
struct Code {
  enum Kind : std::uint8_t { kNone, kRun, kPass, kHorizontal, kVertical, kEol, kInvalid, kEnd };
  Kind kind = kNone;
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
    if (n[0] == T4DecodeTree::kRunLeaf) return {Code::kRun, static_cast<std::int16_t>(n[1])};
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
      if (is(kModes.vertical[d])) return {Code::kVertical, static_cast<std::int16_t>(static_cast<int>(d) - 3)};
    }
    if (is(kModes.extension)) {
      for (int i = 0; i < kExtensionTailBits; ++i) in.Bit();
      return {in.Overrun() ? Code::kEnd : Code::kInvalid};
    }
    if (bits == 7 && value == 0) return FinishEol(in, 7);
  }
}

// Look-up tables: the code that the next bits begin with, or bits 0 where
// the walk must decide (fill bits and EOLs, damage, codes cut by the end).
constexpr int kRunWindow = 13;
constexpr int kModeWindow = 7;
struct Entry {
  Code code;
  std::uint8_t bits = 0;
};

struct Tables {
  std::array<T4DecodeTree, 2> trees = {BuildDecodeTree(T4Colour::kWhite), BuildDecodeTree(T4Colour::kBlack)};
  std::array<std::array<Entry, 1u << kRunWindow>, 2> runs{};
  std::array<Entry, 1u << kModeWindow> modes{};
};

// What the walk makes of a window's bits, when it ends within them.
template <typename Walk>
Entry Tabulate(std::uint32_t window, int windowBits, Walk walk) {
  const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(window), static_cast<std::uint8_t>(window >> 8), 0, 0};
  BitReader in{bytes, 4};
  const Code code = walk(in);
  const bool whole = code.kind == Code::kRun || code.kind == Code::kPass || code.kind == Code::kHorizontal ||
                     code.kind == Code::kVertical;
  if (!whole || in.position > static_cast<std::uint64_t>(windowBits)) return {};
  return {code, static_cast<std::uint8_t>(in.position)};
}

const Tables& SharedTables() {
  static const Tables* const tables = [] {
    auto* t = new Tables;
    for (std::size_t colour = 0; colour < 2; ++colour) {
      for (std::uint32_t w = 0; w < t->runs[colour].size(); ++w) {
        t->runs[colour][w] = Tabulate(w, kRunWindow, [&](BitReader& in) { return WalkRun(in, t->trees[colour]); });
      }
    }
    for (std::uint32_t w = 0; w < t->modes.size(); ++w) t->modes[w] = Tabulate(w, kModeWindow, WalkMode);
    return t;
  }();
  return *tables;
}

// How decoding a line ended: a whole line; an EOL before any code (kEmpty);
// an EOL inside the line, which starts the next one (kCut); bad codes; the
// end of the data.
enum class LineEnd { kLine, kEmpty, kCut, kBad, kEnd };

// Decodes lines to change lists and raster lines.
class LineDecoder {
 public:
  LineDecoder(BitReader& in, int width, bool lookup) : in_(in), width_(width), lookup_(lookup), tables_(SharedTables()) {}

  LineEnd Decode1D(T4Changes& line);
  LineEnd Decode2D(const T4Changes& reference, T4Changes& line);
  // Fill bits and an EOL; false when something else comes.
  bool SkipEol();
  // Skips to just past the next EOL; false when the data runs out.
  bool FindEol();

 private:
  Code NextRunCode(std::size_t colour) {
    if (lookup_) {
      const Entry& e = tables_.runs[colour][in_.Peek() & ((1u << kRunWindow) - 1)];
      if (e.bits != 0) {
        in_.position += e.bits;
        return in_.Overrun() ? Code{Code::kEnd} : e.code;
      }
    }
    return WalkRun(in_, tables_.trees[colour]);
  }
  Code NextMode() {
    if (lookup_) {
      const Entry& e = tables_.modes[in_.Peek() & ((1u << kModeWindow) - 1)];
      if (e.bits != 0) {
        in_.position += e.bits;
        return in_.Overrun() ? Code{Code::kEnd} : e.code;
      }
    }
    return WalkMode(in_);
  }
  // Make-up codes and the terminating code of one run, no longer than
  // `room`.
  Code NextRun(std::size_t colour, int room) {
    int total = 0;
    for (;;) {
      const Code code = NextRunCode(colour);
      if (code.kind != Code::kRun) return code;
      total += code.value;
      if (total > room) return {Code::kInvalid};
      if (code.value < 64) return {Code::kRun, static_cast<std::int16_t>(total)};
    }
  }
  static LineEnd Failed(const Code& code, bool started) {
    if (code.kind == Code::kEnd) return LineEnd::kEnd;
    if (code.kind == Code::kEol) return started ? LineEnd::kCut : LineEnd::kEmpty;
    return LineEnd::kBad;
  }
  // Adds a change; a change where the last one is undoes it (a run of 0).
  static void Push(T4Changes& line, int at) {
    if (!line.empty() && line.back() == at) {
      line.pop_back();
    } else {
      line.push_back(at);
    }
  }

  BitReader& in_;
  int width_;
  bool lookup_;
  const Tables& tables_;
};

LineEnd LineDecoder::Decode1D(T4Changes& line) {
  line.clear();
  int position = 0;
  std::size_t colour = 0;
  bool started = false;
  while (position < width_) {
    const Code run = NextRun(colour, width_ - position);
    if (run.kind != Code::kRun) return Failed(run, started);
    started = true;
    position += run.value;
    if (position < width_) Push(line, position);
    colour ^= 1;
  }
  // A line that ends black may be closed by a white run of 0.
  if (colour == 0) {
    const std::uint64_t at = in_.position;
    if (const Code run = NextRunCode(0); run.kind != Code::kRun || run.value != 0) in_.position = at;
  }
  return LineEnd::kLine;
}

LineEnd LineDecoder::Decode2D(const T4Changes& reference, T4Changes& line) {
  line.clear();
  ReferenceScan scan{reference, width_};
  int a0 = -1;
  bool black = false;
  while (a0 < width_) {
    const Code mode = NextMode();
    const auto [b1, b2] = scan.Find(a0, black);
    switch (mode.kind) {
      case Code::kPass:
        a0 = b2;
        break;
      case Code::kVertical: {
        const int a1 = b1 + mode.value;
        if (a1 <= a0 || a1 < 0 || a1 > width_) return LineEnd::kBad;
        if (a1 < width_) Push(line, a1);
        a0 = a1;
        black = !black;
        break;
      }
      case Code::kHorizontal: {
        const int start = std::max(a0, 0);
        const Code first = NextRun(black ? 1 : 0, width_ - start);
        if (first.kind != Code::kRun) return Failed(first, true);
        const int a1 = start + first.value;
        const Code second = NextRun(black ? 0 : 1, width_ - a1);
        if (second.kind != Code::kRun) return Failed(second, true);
        const int a2 = a1 + second.value;
        if (a1 < width_) Push(line, a1);
        if (a2 < width_) Push(line, a2);
        a0 = a2;
        break;
      }
      default:
        return Failed(mode, a0 >= 0);
    }
  }
  return LineEnd::kLine;
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

void FillLine(const T4Changes& changes, int width, std::vector<std::uint8_t>& line) {
  std::fill(line.begin(), line.end(), 0);
  for (std::size_t i = 0; i < changes.size(); i += 2) {
    const int from = changes[i];
    const int to = ChangeAt(changes, i + 1, width);
    const auto first = static_cast<std::size_t>(from >> 3);
    const auto last = static_cast<std::size_t>(to >> 3);
    if (first == last) {
      line[first] |= static_cast<std::uint8_t>((0xFF >> (from & 7)) & ~(0xFF >> (to & 7)));
      continue;
    }
    line[first] |= static_cast<std::uint8_t>(0xFF >> (from & 7));
    std::memset(&line[first + 1], 0xFF, last - first - 1);
    if (to & 7) line[last] |= static_cast<std::uint8_t>(~(0xFF >> (to & 7)));
  }
}

}  // namespace

T4PageDecoder::T4PageDecoder(T4Coding coding, int width) : coding_(coding), width_(std::clamp(width, 1, kMaxRunLength)) {}

T4PageDecodeResult T4PageDecoder::Decode(std::span<const std::uint8_t> data, const Sink& sink) {
  T4PageDecodeResult result;
  BitReader in{data.data(), data.size()};
  LineDecoder decoder(in, width_, lookup_);
  T4Changes reference, line;
  std::vector<std::uint8_t> raster(static_cast<std::size_t>((width_ + 7) / 8));
  auto giveOut = [&] {
    FillLine(line, width_, raster);
    ++result.lines;
    std::swap(reference, line);
    return sink(raster);
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
  for (const auto& row : rows) encoder.AddLine(row.data());
  return encoder.Finish();
}

std::vector<std::vector<std::uint8_t>> T4DecodeRows(T4Coding coding, int width, std::span<const std::uint8_t> data) {
  std::vector<std::vector<std::uint8_t>> rows;
  T4PageDecoder decoder(coding, width);
  decoder.Decode(data, [&](std::span<const std::uint8_t> row) {
    rows.emplace_back(row.begin(), row.end());
    return true;
  });
  return rows;
}

std::vector<std::uint8_t> T4RecodeFromMh(std::span<const std::uint8_t> mh, T4Coding to, bool fine, int* width) {
  T4Decoder decoder;
  std::vector<std::vector<std::uint8_t>> rows;
  auto keep = [&](const std::uint8_t* line, int bytes) {
    // A page keeps one width: lines of the other are damage.
    if (rows.empty() || static_cast<int>(rows.front().size()) == bytes) rows.emplace_back(line, line + bytes);
    return true;
  };
  decoder.Decode(mh.data(), mh.size(), keep);
  decoder.EndOfData(keep);
  const int pixels = rows.empty() ? kStandardWidth : static_cast<int>(rows.front().size()) * 8;
  if (width) *width = pixels;
  return T4EncodeRows(to, pixels, T4MrK(fine), rows);
}

std::vector<std::uint8_t> T4RecodeToMh(std::span<const std::uint8_t> data, T4Coding from, int width) {
  T4LineCoder coder;
  coder.SetWidth(width);
  coder.SetMargin(0);
  std::vector<std::uint8_t> mh;
  T4PageDecoder decoder(from, width);
  decoder.Decode(data, [&](std::span<const std::uint8_t> row) {
    const auto coded = coder.CodeLine(row.data());
    mh.insert(mh.end(), coded.begin(), coded.end());
    return true;
  });
  mh.insert(mh.end(), kEndOfPageCodes.begin(), kEndOfPageCodes.end());
  return mh;
}

}  // namespace tv
