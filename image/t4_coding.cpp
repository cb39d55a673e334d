#include "image/t4_coding.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace tv {

// Coded bytes are assembled and read as little-endian words.
static_assert(std::endian::native == std::endian::little);

namespace {

// Code words as written in T.4, first bit most significant.
struct CodeWord {
  std::uint16_t word;
  std::uint16_t bits;
};

constexpr CodeWord kWhiteTerminating[64] = {
    {0b00110101, 8}, {0b000111, 6},   {0b0111, 4},     {0b1000, 4},     {0b1011, 4},     {0b1100, 4},
    {0b1110, 4},     {0b1111, 4},     {0b10011, 5},    {0b10100, 5},    {0b00111, 5},    {0b01000, 5},
    {0b001000, 6},   {0b000011, 6},   {0b110100, 6},   {0b110101, 6},   {0b101010, 6},   {0b101011, 6},
    {0b0100111, 7},  {0b0001100, 7},  {0b0001000, 7},  {0b0010111, 7},  {0b0000011, 7},  {0b0000100, 7},
    {0b0101000, 7},  {0b0101011, 7},  {0b0010011, 7},  {0b0100100, 7},  {0b0011000, 7},  {0b00000010, 8},
    {0b00000011, 8}, {0b00011010, 8}, {0b00011011, 8}, {0b00010010, 8}, {0b00010011, 8}, {0b00010100, 8},
    {0b00010101, 8}, {0b00010110, 8}, {0b00010111, 8}, {0b00101000, 8}, {0b00101001, 8}, {0b00101010, 8},
    {0b00101011, 8}, {0b00101100, 8}, {0b00101101, 8}, {0b00000100, 8}, {0b00000101, 8}, {0b00001010, 8},
    {0b00001011, 8}, {0b01010010, 8}, {0b01010011, 8}, {0b01010100, 8}, {0b01010101, 8}, {0b00100100, 8},
    {0b00100101, 8}, {0b01011000, 8}, {0b01011001, 8}, {0b01011010, 8}, {0b01011011, 8}, {0b01001010, 8},
    {0b01001011, 8}, {0b00110010, 8}, {0b00110011, 8}, {0b00110100, 8}};

constexpr CodeWord kBlackTerminating[64] = {
    {0b0000110111, 10},   {0b010, 3},           {0b11, 2},            {0b10, 2},
    {0b011, 3},           {0b0011, 4},          {0b0010, 4},          {0b00011, 5},
    {0b000101, 6},        {0b000100, 6},        {0b0000100, 7},       {0b0000101, 7},
    {0b0000111, 7},       {0b00000100, 8},      {0b00000111, 8},      {0b000011000, 9},
    {0b0000010111, 10},   {0b0000011000, 10},   {0b0000001000, 10},   {0b00001100111, 11},
    {0b00001101000, 11},  {0b00001101100, 11},  {0b00000110111, 11},  {0b00000101000, 11},
    {0b00000010111, 11},  {0b00000011000, 11},  {0b000011001010, 12}, {0b000011001011, 12},
    {0b000011001100, 12}, {0b000011001101, 12}, {0b000001101000, 12}, {0b000001101001, 12},
    {0b000001101010, 12}, {0b000001101011, 12}, {0b000011010010, 12}, {0b000011010011, 12},
    {0b000011010100, 12}, {0b000011010101, 12}, {0b000011010110, 12}, {0b000011010111, 12},
    {0b000001101100, 12}, {0b000001101101, 12}, {0b000011011010, 12}, {0b000011011011, 12},
    {0b000001010100, 12}, {0b000001010101, 12}, {0b000001010110, 12}, {0b000001010111, 12},
    {0b000001100100, 12}, {0b000001100101, 12}, {0b000001010010, 12}, {0b000001010011, 12},
    {0b000000100100, 12}, {0b000000110111, 12}, {0b000000111000, 12}, {0b000000100111, 12},
    {0b000000101000, 12}, {0b000001011000, 12}, {0b000001011001, 12}, {0b000000101011, 12},
    {0b000000101100, 12}, {0b000001011010, 12}, {0b000001100110, 12}, {0b000001100111, 12}};

// Make-up codes 64..1728 of each colour, then the shared ones 1792..2560.
constexpr CodeWord kWhiteMakeUp[27] = {
    {0b11011, 5},     {0b10010, 5},     {0b010111, 6},    {0b0110111, 7},   {0b00110110, 8},  {0b00110111, 8},
    {0b01100100, 8},  {0b01100101, 8},  {0b01101000, 8},  {0b01100111, 8},  {0b011001100, 9}, {0b011001101, 9},
    {0b011010010, 9}, {0b011010011, 9}, {0b011010100, 9}, {0b011010101, 9}, {0b011010110, 9}, {0b011010111, 9},
    {0b011011000, 9}, {0b011011001, 9}, {0b011011010, 9}, {0b011011011, 9}, {0b010011000, 9}, {0b010011001, 9},
    {0b010011010, 9}, {0b011000, 6},    {0b010011011, 9}};

constexpr CodeWord kBlackMakeUp[27] = {
    {0b0000001111, 10},    {0b000011001000, 12},  {0b000011001001, 12},  {0b000001011011, 12},
    {0b000000110011, 12},  {0b000000110100, 12},  {0b000000110101, 12},  {0b0000001101100, 13},
    {0b0000001101101, 13}, {0b0000001001010, 13}, {0b0000001001011, 13}, {0b0000001001100, 13},
    {0b0000001001101, 13}, {0b0000001110010, 13}, {0b0000001110011, 13}, {0b0000001110100, 13},
    {0b0000001110101, 13}, {0b0000001110110, 13}, {0b0000001110111, 13}, {0b0000001010010, 13},
    {0b0000001010011, 13}, {0b0000001010100, 13}, {0b0000001010101, 13}, {0b0000001011010, 13},
    {0b0000001011011, 13}, {0b0000001100100, 13}, {0b0000001100101, 13}};

constexpr CodeWord kExtendedMakeUp[13] = {
    {0b00000001000, 11},  {0b00000001100, 11},  {0b00000001101, 11},  {0b000000010010, 12}, {0b000000010011, 12},
    {0b000000010100, 12}, {0b000000010101, 12}, {0b000000010110, 12}, {0b000000010111, 12}, {0b000000011100, 12},
    {0b000000011101, 12}, {0b000000011110, 12}, {0b000000011111, 12}};

constexpr CodeWord kEol = {0b000000000001, 12};
constexpr CodeWord kEolWithFill = {0b0000000000000001, 16};

constexpr T4Code Reversed(CodeWord w) { return T4CodeFromWord(w.word, w.bits); }

template <std::size_t N>
constexpr std::array<T4Code, N> ReversedTable(const CodeWord (&words)[N]) {
  std::array<T4Code, N> out{};
  for (std::size_t i = 0; i < N; ++i) out[i] = Reversed(words[i]);
  return out;
}

constexpr std::array<T4Code, 40> ReversedMakeUp(const CodeWord (&own)[27]) {
  std::array<T4Code, 40> out{};
  for (std::size_t i = 0; i < 27; ++i) out[i] = Reversed(own[i]);
  for (std::size_t i = 0; i < 13; ++i) out[27 + i] = Reversed(kExtendedMakeUp[i]);
  return out;
}

constexpr T4CodeTables kTables = {
    ReversedTable(kWhiteTerminating), ReversedMakeUp(kWhiteMakeUp),
    ReversedTable(kBlackTerminating), ReversedMakeUp(kBlackMakeUp),
    Reversed(kEol),                   Reversed(kEolWithFill)};

// Every run's code, packed as T4RunCodes gives them.
constexpr std::uint32_t Packed(std::uint32_t value, int bits) {
  return value | static_cast<std::uint32_t>(bits) << kT4PackedLengthShift;
}

constexpr std::uint32_t PackedRun(const std::array<T4Code, 64>& terminating, const std::array<T4Code, 40>& makeUp,
                                  int length) {
  const T4Code tail = terminating[static_cast<std::size_t>(length % 64)];
  if (length < 64) return Packed(tail.value, tail.bits);
  const T4Code head = makeUp[static_cast<std::size_t>(length / 64 - 1)];
  return Packed(head.value | static_cast<std::uint32_t>(tail.value) << head.bits, head.bits + tail.bits);
}

constexpr T4PackedRuns kRunCodes = [] {
  T4PackedRuns codes{};
  for (int length = 0; length <= kMaxRunLength; ++length) {
    codes[0][static_cast<std::size_t>(length)] = PackedRun(kTables.whiteTerminating, kTables.whiteMakeUp, length);
    codes[1][static_cast<std::size_t>(length)] = PackedRun(kTables.blackTerminating, kTables.blackMakeUp, length);
  }
  return codes;
}();

// 64 raster pixels from pixel 64 x `word` on, first pixel in bit 0 (the
// raster holds its first pixel in each byte's top bit); nothing is read
// past byte `bytes` of the raster.
std::uint64_t PixelWord(const std::uint8_t* raster, int word, int bytes) {
  std::uint64_t pixels = 0;
  const int from = word * 8;
  std::memcpy(&pixels, raster + from, static_cast<std::size_t>(std::min(8, bytes - from)));
  pixels = ((pixels >> 4) & 0x0F0F0F0F0F0F0F0Full) | ((pixels & 0x0F0F0F0F0F0F0F0Full) << 4);
  pixels = ((pixels >> 2) & 0x3333333333333333ull) | ((pixels & 0x3333333333333333ull) << 2);
  return ((pixels >> 1) & 0x5555555555555555ull) | ((pixels & 0x5555555555555555ull) << 1);
}

}  // namespace

const T4CodeTables& T4Codes() { return kTables; }
const T4PackedRuns& T4RunCodes() { return kRunCodes; }

inline void T4LineCoder::Writer::Emit(std::uint32_t packedCode, std::uint8_t* buffer) {
  bits |= std::uint64_t{packedCode & ((1u << kT4PackedLengthShift) - 1)} << bitCount;
  bitCount += static_cast<int>(packedCode >> kT4PackedLengthShift);
  // The whole word goes out and the index moves past the complete bytes; a
  // line that runs past the buffer is cut off there.
  if (byteIndex <= kCodedLineBufferSize) std::memcpy(buffer + byteIndex, &bits, 8);
  byteIndex += static_cast<std::size_t>(bitCount >> 3);
  bits >>= bitCount & ~7;
  bitCount &= 7;
}

void T4LineCoder::BeginLine() {
  writer_ = Writer{};
  writer_.Emit(Packed(kTables.eolWithFill.value, kTables.eolWithFill.bits), buffer_.data());
}

void T4LineCoder::CodeRun(T4Colour colour, int length) {
  const std::size_t run = static_cast<std::size_t>(std::clamp(length, 0, kMaxRunLength));
  writer_.Emit(kRunCodes[colour == T4Colour::kBlack][run], buffer_.data());
}

std::span<const std::uint8_t> T4LineCoder::EndLine() {
  // The partly filled byte and one further 0 byte close the line.
  const std::size_t end = std::min(writer_.byteIndex, kCodedLineBufferSize - 2);
  buffer_[end] = static_cast<std::uint8_t>(writer_.bits);
  buffer_[end + 1] = 0;
  return {buffer_.data(), end + 2};
}

std::span<const std::uint8_t> T4LineCoder::CodeLine(const std::uint8_t* raster) {
  BeginLine();
  const int scale = doubling_ ? 2 : 1;
  const int margin = std::clamp(margin_, 0, width_);
  const int limit = (width_ - margin + scale - 1) / scale;  // raster pixels that reach the line
  const int rasterBytes = (limit + 7) / 8;
  // Kept in registers while the buffer is written through byte pointers.
  Writer out = writer_;
  std::uint8_t* const buffer = buffer_.data();
  // Every change of colour between neighbouring raster pixels ends a run
  // (the line starts white); the last run ends at the line width.
  int runStart = 0;  // in pixels of the coded line
  std::size_t colour = 0;
  std::uint64_t before = 0;  // the pixel before the word, in bit 0
  for (int word = 0; word * 64 < limit; ++word) {
    const std::uint64_t pixels = PixelWord(raster, word, rasterBytes);
    std::uint64_t changes = pixels ^ ((pixels << 1) | before);
    before = pixels >> 63;
    if (const int inside = limit - word * 64; inside < 64) changes &= (std::uint64_t{1} << inside) - 1;
    for (; changes != 0; changes &= changes - 1) {
      const int runEnd = margin + (word * 64 + std::countr_zero(changes)) * scale;
      out.Emit(kRunCodes[colour][static_cast<std::size_t>(runEnd - runStart)], buffer);
      runStart = runEnd;
      colour ^= 1;
    }
  }
  out.Emit(kRunCodes[colour][static_cast<std::size_t>(width_ - runStart)], buffer);
  if (colour != 0) out.Emit(kRunCodes[0][0], buffer);  // a line ends on a white run
  writer_ = out;
  return EndLine();
}

// ---------------------------------------------------------------------------
// Decoding tree

namespace {

struct TreeBuilder {
  T4DecodeTree& tree;
  const std::array<T4Code, 64>& terminating;
  const std::array<T4Code, 40>& makeUp;
  int nextIndex = 1;

  // Fills node `index`, whose pattern (first bit most significant) is
  // `pattern` of `length` bits.
  void Expand(int index, std::uint16_t pattern, int length) {
    for (int bit = 0; bit < 2; ++bit) {
      const int child = nextIndex++;
      const auto childPattern = static_cast<std::uint16_t>((pattern << 1) | bit);
      const int childLength = length + 1;
      if (child >= T4DecodeTree::kMaxNodes) continue;  // not linked
      tree.nodes[index][bit] = child;
      tree.nodeCount = std::max(tree.nodeCount, child + 1);
      const T4Code probe = T4CodeFromWord(childPattern, childLength);
      if (Classify(child, probe)) continue;
      if (childLength < 13) Expand(child, childPattern, childLength);
    }
  }

  bool Classify(int node, T4Code probe) {
    auto same = [&](T4Code c) { return c.bits == probe.bits && c.value == probe.value; };
    for (int i = 0; i < 64; ++i) {
      if (same(terminating[i])) {
        tree.nodes[node] = {T4DecodeTree::kRunLeaf, i};
        return true;
      }
    }
    for (int i = 0; i < 40; ++i) {
      if (same(makeUp[i])) {
        tree.nodes[node] = {T4DecodeTree::kRunLeaf, (i + 1) * 64};
        return true;
      }
    }
    if (same(kTables.eol)) {
      tree.nodes[node] = {T4DecodeTree::kEolLeaf, 0};
      return true;
    }
    return false;
  }
};

}  // namespace

T4DecodeTree BuildDecodeTree(T4Colour colour) {
  T4DecodeTree tree;
  const bool white = colour == T4Colour::kWhite;
  TreeBuilder builder{tree, white ? kTables.whiteTerminating : kTables.blackTerminating,
                      white ? kTables.whiteMakeUp : kTables.blackMakeUp};
  tree.nodeCount = 1;
  builder.Expand(0, 0, 0);
  tree.nodes[11][0] = 11;
  return tree;
}

// ---------------------------------------------------------------------------
// Decoder

T4Decoder::T4Decoder() : tables_(SharedTables()) { StartPage(); }

const T4Decoder::Tables& T4Decoder::SharedTables() {
  static const Tables* const tables = [] {
    auto* t = new Tables{BuildDecodeTree(T4Colour::kWhite), BuildDecodeTree(T4Colour::kBlack), {}};
    t->lookup = BuildLookup(t->white, t->black);
    return t;
  }();
  return *tables;
}

namespace {

// The leaf a walk from the root of `tree` reaches with the bits of `window`
// from bit `from` on, within kLookupBits: its node and its depth (0 when the
// walk meets no leaf in time or a dead end).
struct Leaf {
  std::array<std::int32_t, 2> node;
  int bits;
};

Leaf WalkToLeaf(const T4DecodeTree& tree, unsigned window, int from, int windowBits) {
  std::int32_t node = 0;
  for (int bit = from; bit < windowBits; ++bit) {
    node = tree.nodes[node][(window >> bit) & 1u];
    const auto& n = tree.nodes[node];
    if (n[0] > 0) continue;
    if (n[0] == T4DecodeTree::kRunLeaf || n[0] == T4DecodeTree::kEolLeaf) return {n, bit + 1 - from};
    break;
  }
  return {{0, 0}, 0};
}

}  // namespace

// For every window, walks the trees from the root as the decoder would: a
// run code, and a second one after it in the colour the first leaves, make
// an entry; so does an EOL alone.
T4Decoder::LookupTable T4Decoder::BuildLookup(const T4DecodeTree& white, const T4DecodeTree& black) {
  LookupTable table{};
  for (unsigned colour = 0; colour < 2; ++colour) {
    for (unsigned window = 0; window <= kWindowMask; ++window) {
      Lookup& entry = table[(colour << kLookupBits) | window];
      const Leaf first = WalkToLeaf(colour ? black : white, window, 0, kLookupBits);
      if (first.bits == 0) continue;
      if (first.node[0] == T4DecodeTree::kEolLeaf) {
        entry.eol = 1;
        entry.bits = static_cast<std::uint8_t>(first.bits);
        continue;
      }
      // The codes and the colour each is in; the black pixels among them
      // always lie in one stretch.
      unsigned codeColour = colour;
      int bits = 0;
      for (int code = 0; code < 2; ++code) {
        const Leaf leaf = code == 0 ? first : WalkToLeaf(codeColour ? black : white, window, bits, kLookupBits);
        if (leaf.bits == 0 || leaf.node[0] != T4DecodeTree::kRunLeaf) break;
        const auto run = static_cast<std::uint16_t>(leaf.node[1]);
        if (codeColour != 0) {
          if (entry.blackLength == 0) entry.blackStart = static_cast<std::uint8_t>(entry.advance);
          entry.blackLength = static_cast<std::uint16_t>(entry.blackLength + run);
        }
        entry.advance = static_cast<std::uint16_t>(entry.advance + run);
        bits += leaf.bits;
        if (run < 64) codeColour ^= 1;  // a terminating code ends the run
      }
      entry.bits = static_cast<std::uint8_t>(bits);
      entry.flip = static_cast<std::uint8_t>(codeColour ^ colour);
    }
  }
  return table;
}

void T4Decoder::StartPage() {
  node_ = 0;
  colourBlack_ = false;
  beforeFirstEol_ = true;
  ignoreOnes_ = false;
  eolCount_ = 0;
  invalidCodes_ = 0;
  brokenLines_ = 0;
  line_.fill(0);
  bitPosition_ = 0;
}

int T4Decoder::CompletedLineBytes() const {
  const auto bytes = static_cast<int>(bitPosition_ / 8);
  return (bytes == kStandardLineBytes || bytes == kWideLineBytes) ? bytes : 0;
}

void T4Decoder::TakeEol() {
  std::memset(line_.data(), 0, std::min<std::size_t>(line_.size(), bitPosition_ / 8 + 1));
  bitPosition_ = 0;
  node_ = 0;
  colourBlack_ = false;
  ++eolCount_;
  beforeFirstEol_ = false;
}

}  // namespace tv
