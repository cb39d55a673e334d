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

constexpr std::uint16_t Reverse(std::uint16_t word, int bits) {
  std::uint16_t out = 0;
  for (int i = 0; i < bits; ++i) out = static_cast<std::uint16_t>(out | (((word >> i) & 1u) << (bits - 1 - i)));
  return out;
}

constexpr T4Code Reversed(CodeWord w) { return {Reverse(w.word, w.bits), w.bits}; }

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

// Finds the end of the run of `black` pixels starting at `pos`, looking no
// further than `limit`.
int RunEnd(const std::uint8_t* raster, int pos, int limit, bool black) {
  const std::uint8_t flip = black ? 0xFF : 0x00;
  // Inside the first byte.
  int bit = pos & 7;
  if (bit != 0) {
    const unsigned byte = static_cast<std::uint8_t>((raster[pos >> 3] ^ flip) << bit);
    if (byte != 0) return std::min(limit, pos + __builtin_clz(byte << 24));
    pos += 8 - bit;
  }
  // Whole bytes, eight at a time where the run allows.
  const std::uint64_t wordFlip = black ? ~std::uint64_t{0} : 0;
  while (pos < limit) {
    const std::uint8_t* at = raster + (pos >> 3);
    if (pos + 64 <= limit) {
      std::uint64_t word;
      std::memcpy(&word, at, 8);
      if ((word ^ wordFlip) == 0) {
        pos += 64;
        continue;
      }
    }
    const unsigned byte = static_cast<std::uint8_t>(*at ^ flip);
    if (byte != 0) return std::min(limit, pos + __builtin_clz(byte << 24));
    pos += 8;
  }
  return limit;
}

}  // namespace

const T4CodeTables& T4Codes() { return kTables; }

void T4LineCoder::BeginLine() {
  std::memset(buffer_.data(), 0, byteIndex_ + 16 < buffer_.size() ? byteIndex_ + 16 : buffer_.size());
  byteIndex_ = 0;
  bits_ = 0;
  bitCount_ = 0;
  Put(kTables.eolWithFill);
}

void T4LineCoder::Put(T4Code code) {
  bits_ |= std::uint64_t{code.value} << bitCount_;
  bitCount_ += code.bits;
  if (bitCount_ >= 32) {
    // Four whole bytes at a time, least significant (first) byte first.
    if (byteIndex_ + 4 <= kCodedLineBufferSize) {
      const auto word = static_cast<std::uint32_t>(bits_);
      std::memcpy(&buffer_[byteIndex_], &word, 4);
    }
    byteIndex_ += 4;
    bits_ >>= 32;
    bitCount_ -= 32;
  }
}

void T4LineCoder::CodeRun(T4Colour colour, int length) {
  const bool white = colour == T4Colour::kWhite;
  length = std::clamp(length, 0, kMaxRunLength);
  if (length >= 64) {
    Put(white ? kTables.whiteMakeUp[length / 64 - 1] : kTables.blackMakeUp[length / 64 - 1]);
    length %= 64;
  }
  Put(white ? kTables.whiteTerminating[length] : kTables.blackTerminating[length]);
}

std::span<const std::uint8_t> T4LineCoder::EndLine() {
  while (bitCount_ >= 8) {
    if (byteIndex_ < kCodedLineBufferSize) buffer_[byteIndex_] = static_cast<std::uint8_t>(bits_);
    ++byteIndex_;
    bits_ >>= 8;
    bitCount_ -= 8;
  }
  // The partly filled byte and one further 0 byte close the line.
  const std::size_t end = std::min(byteIndex_, kCodedLineBufferSize - 2);
  buffer_[end] = static_cast<std::uint8_t>(bits_);
  buffer_[end + 1] = 0;
  return {buffer_.data(), end + 2};
}

std::span<const std::uint8_t> T4LineCoder::CodeLine(const std::uint8_t* raster) {
  BeginLine();
  const int lineBytes = width_ / 8;
  bool blank = true;
  for (int i = 0; i < lineBytes && blank; ++i) blank = raster[i] == 0;
  if (blank) {
    CodeRun(T4Colour::kWhite, width_);
    return EndLine();
  }
  const int scale = doubling_ ? 2 : 1;
  const int margin = std::clamp(margin_, 0, width_);
  const int limit = (width_ - margin + scale - 1) / scale;  // raster pixels that reach the line
  int coded = margin;
  int pendingWhite = margin;
  int pos = 0;
  while (pos < limit && coded < width_) {
    const bool black = (raster[pos >> 3] >> (7 - (pos & 7))) & 1u;
    const int end = RunEnd(raster, pos, limit, black);
    const int length = std::min((end - pos) * scale, width_ - coded);
    if (black) {
      CodeRun(T4Colour::kWhite, pendingWhite);
      CodeRun(T4Colour::kBlack, length);
      pendingWhite = 0;
    } else {
      pendingWhite += length;
    }
    coded += length;
    pos = end;
  }
  CodeRun(T4Colour::kWhite, pendingWhite + (width_ - coded));
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
      const T4Code probe = {Reverse(childPattern, childLength), static_cast<std::uint16_t>(childLength)};
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
    auto* t = new Tables{BuildDecodeTree(T4Colour::kWhite), BuildDecodeTree(T4Colour::kBlack), {}, {}};
    t->whiteLookup = BuildLookup(t->white);
    t->blackLookup = BuildLookup(t->black);
    return t;
  }();
  return *tables;
}

// For every 13-bit window, walks the tree from the root as the decoder
// would; a walk that ends on a run or EOL leaf is a lookup entry.
T4Decoder::LookupTable T4Decoder::BuildLookup(const T4DecodeTree& tree) {
  LookupTable table{};
  for (unsigned window = 0; window < table.size(); ++window) {
    std::int32_t node = 0;
    for (int bit = 0; bit < kLookupBits; ++bit) {
      node = tree.nodes[node][(window >> bit) & 1u];
      const auto& n = tree.nodes[node];
      if (n[0] > 0) continue;
      if (n[0] == T4DecodeTree::kRunLeaf || n[0] == T4DecodeTree::kEolLeaf) {
        table[window] = {static_cast<std::int16_t>(n[1]), static_cast<std::int8_t>(n[0]),
                         static_cast<std::uint8_t>(bit + 1)};
      }
      break;
    }
  }
  return table;
}

void T4Decoder::StartPage() {
  tree_ = &tables_.white;
  lookup_ = &tables_.whiteLookup;
  node_ = 0;
  colourBlack_ = false;
  beforeFirstEol_ = true;
  ignoreOnes_ = false;
  eolCount_ = 0;
  invalidCodes_ = 0;
  line_.fill(0);
  bitPosition_ = 0;
}

int T4Decoder::CompletedLineBytes() const {
  const int bytes = bitPosition_ / 8;
  return (bytes == kStandardLineBytes || bytes == kWideLineBytes) ? bytes : 0;
}

void T4Decoder::TakeEol() {
  std::memset(line_.data(), 0, std::min(line_.size(), static_cast<std::size_t>(bitPosition_ / 8 + 1)));
  bitPosition_ = 0;
  tree_ = &tables_.white;
  lookup_ = &tables_.whiteLookup;
  node_ = 0;
  colourBlack_ = false;
  ++eolCount_;
  beforeFirstEol_ = false;
}

}  // namespace tv
