#include "fax/hdlc.h"

#include <array>
#include <utility>

namespace tv {

namespace {

constexpr std::uint8_t kFlag = 0x7E;
constexpr std::uint16_t kCheckPolynomial = 0x8408;  // x^16 + x^12 + x^5 + 1, reflected
constexpr std::uint16_t kGoodResidue = 0xF0B8;      // what a frame with its check sequence leaves

constexpr std::array<std::uint16_t, 256> MakeCheckTable() {
  std::array<std::uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    std::uint16_t crc = static_cast<std::uint16_t>(i);
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) != 0 ? (crc >> 1) ^ kCheckPolynomial : crc >> 1;
    table[i] = crc;
  }
  return table;
}
constexpr std::array<std::uint16_t, 256> kCheckTable = MakeCheckTable();

std::uint16_t Crc(std::uint16_t crc, std::span<const std::uint8_t> octets) {
  for (std::uint8_t b : octets) crc = static_cast<std::uint16_t>((crc >> 8) ^ kCheckTable[(crc ^ b) & 0xFF]);
  return crc;
}

}  // namespace

std::uint16_t HdlcCheck(std::span<const std::uint8_t> octets) {
  return static_cast<std::uint16_t>(Crc(0xFFFF, octets) ^ 0xFFFF);
}

// --- Encoder -----------------------------------------------------------------------

void HdlcEncoder::Flags(int count) {
  for (int i = 0; i < count; ++i) PutOctet(kFlag, false);
}

void HdlcEncoder::Frame(std::span<const std::uint8_t> octets) {
  for (std::uint8_t b : octets) PutOctet(b, true);
  const std::uint16_t check = HdlcCheck(octets);
  PutOctet(static_cast<std::uint8_t>(check & 0xFF), true);
  PutOctet(static_cast<std::uint8_t>(check >> 8), true);
  ones_ = 0;
  PutOctet(kFlag, false);
}

std::vector<std::uint8_t> HdlcEncoder::Take() {
  // The part octet is filled up with the start of another flag.
  for (int i = 0; bits_ != 0; ++i) PutBit((kFlag >> (i % 8)) & 1);
  ones_ = 0;
  return std::exchange(out_, {});
}

void HdlcEncoder::PutOctet(std::uint8_t octet, bool stuffed) {
  for (int i = 0; i < 8; ++i) {
    const unsigned bit = (octet >> i) & 1;
    PutBit(bit);
    if (!stuffed) continue;
    ones_ = bit != 0 ? ones_ + 1 : 0;
    if (ones_ == 5) {
      PutBit(0);
      ones_ = 0;
    }
  }
}

void HdlcEncoder::PutBit(unsigned bit) {
  octet_ = static_cast<std::uint8_t>(octet_ | (bit << bits_));
  if (++bits_ == 8) {
    out_.push_back(octet_);
    octet_ = 0;
    bits_ = 0;
  }
}

// --- Decoder -----------------------------------------------------------------------

void HdlcDecoder::Put(std::span<const std::uint8_t> bytes) {
  for (std::uint8_t b : bytes) {
    for (int i = 0; i < 8; ++i) Bit((b >> i) & 1);
  }
}

void HdlcDecoder::Reset() {
  frame_.clear();
  octet_ = 0;
  bits_ = ones_ = 0;
  inFrame_ = false;
}

void HdlcDecoder::Bit(unsigned bit) {
  if (bit != 0) {
    // Seven ones in a row abort the frame; the next flag starts afresh.
    if (++ones_ >= 7) inFrame_ = false;
    if (ones_ > 6) return;
  } else {
    const int ones = ones_;
    ones_ = 0;
    if (ones == 5) return;  // a stuffed 0
    if (ones == 6) {        // a flag: its bits so far were taken for data
      EndFrame();
      inFrame_ = true;
      frame_.clear();
      octet_ = 0;
      bits_ = 0;
      return;
    }
  }
  if (!inFrame_) return;
  octet_ = static_cast<std::uint8_t>(octet_ | (bit << bits_));
  if (++bits_ == 8) {
    frame_.push_back(octet_);
    octet_ = 0;
    bits_ = 0;
  }
}

// The bits since the last flag, less the flag's own first six (a 0 and five
// ones, already taken as data): a frame when they make whole octets.
void HdlcDecoder::EndFrame() {
  if (!inFrame_) return;
  // Undo the flag's leading 0111111 bits (seven: the 0 and six ones less the
  // one that ended it are in the octet being built).
  const int flagBits = 7;
  int total = static_cast<int>(frame_.size()) * 8 + bits_ - flagBits;
  if (total < 32 || total % 8 != 0) return;  // no frame, or a broken one
  frame_.resize(static_cast<std::size_t>(total / 8));
  const bool good = Crc(0xFFFF, frame_) == kGoodResidue;
  handler_(std::span(frame_).first(frame_.size() - 2), good);
}

}  // namespace tv
