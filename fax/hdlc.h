// HDLC framing of error-correction data, done here rather than in the
// modem: a Class 1 modem carries the page modulation as plain data (AT+FTM,
// AT+FRM), and few modems frame at the page rates themselves.
//
// A frame is its octets, then a 16-bit check sequence (ITU-T V.42 / ISO 3309:
// CRC-CCITT, reflected, sent inverted, low octet first); a 0 goes in after
// every five 1 bits inside it, and flags (01111110) stand between frames.
// Bits go on the line least significant first, as all page data does.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace tv {

class HdlcEncoder {
 public:
  void Flags(int count);
  void Frame(std::span<const std::uint8_t> octets);
  // The bits so far, the last octet filled up with flag bits; the encoder
  // starts empty again.
  std::vector<std::uint8_t> Take();

 private:
  void PutBit(unsigned bit);
  void PutOctet(std::uint8_t octet, bool stuffed);

  std::vector<std::uint8_t> out_;
  std::uint8_t octet_ = 0;
  int bits_ = 0;
  int ones_ = 0;
};

// Finds the frames in a stream of bits. Each frame between two flags goes
// to the handler with whether its check sequence was right; bits that are
// no frame (too short, not whole octets, an abort) are dropped.
class HdlcDecoder {
 public:
  using Handler = std::function<void(std::span<const std::uint8_t> octets, bool good)>;
  explicit HdlcDecoder(Handler handler) : handler_(std::move(handler)) {}

  void Put(std::span<const std::uint8_t> bytes);
  void Reset();

 private:
  void Bit(unsigned bit);
  void EndFrame();

  Handler handler_;
  std::vector<std::uint8_t> frame_;
  std::uint8_t octet_ = 0;
  int bits_ = 0;
  int ones_ = 0;
  bool inFrame_ = false;  // a flag has been seen: bits belong to a frame
};

// The frame check sequence of ITU-T V.42 over `octets`.
std::uint16_t HdlcCheck(std::span<const std::uint8_t> octets);

}  // namespace tv
