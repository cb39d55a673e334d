// The T.30 names this program's Class 1 procedure works with: frame control
// fields, the bits of the DIS and DCS information fields, and the protocol
// timers with their values.
//
// Bytes are held as a Class 1 modem passes them: the first bit on the line
// in bit 0. T.30 numbers the information bits from 1 in the order they go
// out, so bit n is bit (n - 1) % 8 of octet (n - 1) / 8.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "platform/clock.h"

namespace tv {

// --- Frame control fields ------------------------------------------------------
// Without the X bit, which the station that received a valid DIS (the
// caller) sets in every frame it sends, and the answerer leaves clear.
inline constexpr std::uint8_t kFcfXBit = 0x01;
inline constexpr std::uint8_t kFcfDIS = 0x80;  // digital identification signal
inline constexpr std::uint8_t kFcfCSI = 0x40;  // called subscriber identification
inline constexpr std::uint8_t kFcfNSF = 0x20;  // non-standard facilities
inline constexpr std::uint8_t kFcfDCS = 0x82;  // digital command signal
inline constexpr std::uint8_t kFcfTSI = 0x42;  // transmitting subscriber identification
inline constexpr std::uint8_t kFcfCFR = 0x84;  // confirmation to receive
inline constexpr std::uint8_t kFcfFTT = 0x44;  // failure to train
inline constexpr std::uint8_t kFcfMPS = 0x4E;  // multi-page signal
inline constexpr std::uint8_t kFcfEOM = 0x8E;  // end of message
inline constexpr std::uint8_t kFcfEOP = 0x2E;  // end of procedure
inline constexpr std::uint8_t kFcfMCF = 0x8C;  // message confirmation
inline constexpr std::uint8_t kFcfRTP = 0xCC;  // retrain positive
inline constexpr std::uint8_t kFcfRTN = 0x4C;  // retrain negative
inline constexpr std::uint8_t kFcfPIP = 0xAC;  // procedure interrupt positive
inline constexpr std::uint8_t kFcfPIN = 0x2C;  // procedure interrupt negative
inline constexpr std::uint8_t kFcfCRP = 0x1A;  // command repeat
inline constexpr std::uint8_t kFcfDCN = 0xFA;  // disconnect
// Error correction (T.30 Annex A).
inline constexpr std::uint8_t kFcfPPS = 0xBE;  // partial page signal: what follows, page, block, frames
inline constexpr std::uint8_t kFcfPPR = 0xBC;  // partial page request: the frames to send again
inline constexpr std::uint8_t kFcfCTC = 0x12;  // continue to correct, at the rate it names
inline constexpr std::uint8_t kFcfCTR = 0xC4;  // response to CTC
inline constexpr std::uint8_t kFcfEOR = 0xCE;  // end of retransmission: the block stays as it is
inline constexpr std::uint8_t kFcfERR = 0x1C;  // response to EOR
inline constexpr std::uint8_t kFcfRR = 0x6E;   // "receiver ready?": asked after RNR
inline constexpr std::uint8_t kFcfRNR = 0xEC;  // receiver not ready
inline constexpr std::uint8_t kFcfNULL = 0x00;  // PPS: the page goes on in another block
// The frames of a block, at the page's modulation (T.4 Annex A).
inline constexpr std::uint8_t kFcfFCD = 0x06;  // facsimile coded data: frame number, data
inline constexpr std::uint8_t kFcfRCP = 0x86;  // return to control for partial page

// The frame type of a received control field: the X bit says only who sent it.
constexpr std::uint8_t FrameType(std::uint8_t fcf) { return static_cast<std::uint8_t>(fcf & ~kFcfXBit); }

// --- DIS and DCS information bits -------------------------------------------------
namespace t30bit {
inline constexpr int kReadyToTransmit = 9;   // DIS: has a document to send when polled
inline constexpr int kReceiverFax = 10;      // DIS: can receive; DCS: receiver fax operation
// Bits 11 to 14: the data signalling rate. In a DIS each names a modem the
// station has (bit 13 is not used); in a DCS the four name one modulation.
inline constexpr int kV29 = 11;
inline constexpr int kV27ter = 12;
inline constexpr int kV17 = 14;
inline constexpr int kFirstRateBit = 11;
inline constexpr int kFine = 15;             // 7.7 lines/mm
inline constexpr int kTwoDimensional = 16;
inline constexpr int kWidth255mm = 17;       // DIS: 215 and 255 mm; DCS: 255 mm (2048 pixels)
inline constexpr int kWidth303mm = 18;       // DIS: 215, 255 and 303 mm; DCS: 303 mm
inline constexpr int kLengthUnlimited = 19;
inline constexpr int kLengthB4 = 20;         // DIS: A4 and B4; DCS: B4
inline constexpr int kFirstScanTimeBit = 21;  // bits 21 to 23: minimum scan-line time
inline constexpr int kExtend = 24;           // another octet follows
inline constexpr int kErrorCorrection = 27;  // T.30 Annex A
inline constexpr int kEcmFrame64 = 28;       // DCS: 64-octet frames instead of 256
inline constexpr int kT6Coding = 31;         // T.6 (MMR); only with error correction
}  // namespace t30bit

// The four octets this program writes and reads (bits 1 to 32).
class T30Field {
 public:
  T30Field() = default;
  explicit T30Field(const std::array<std::uint8_t, 4>& octets) : octets_(octets) {}

  bool Has(int bit) const { return (octets_[Octet(bit)] & Mask(bit)) != 0; }
  void Set(int bit, bool on = true) {
    if (on) {
      octets_[Octet(bit)] = static_cast<std::uint8_t>(octets_[Octet(bit)] | Mask(bit));
    } else {
      octets_[Octet(bit)] = static_cast<std::uint8_t>(octets_[Octet(bit)] & ~Mask(bit));
    }
  }
  // The bits from `first` on, as T.30's tables write them: first bit first.
  bool Matches(int first, std::string_view pattern) const {
    for (std::size_t i = 0; i < pattern.size(); ++i) {
      if (Has(first + static_cast<int>(i)) != (pattern[i] == '1')) return false;
    }
    return true;
  }
  void SetPattern(int first, std::string_view pattern) {
    for (std::size_t i = 0; i < pattern.size(); ++i) Set(first + static_cast<int>(i), pattern[i] == '1');
  }
  const std::array<std::uint8_t, 4>& Octets() const { return octets_; }

 private:
  static std::size_t Octet(int bit) { return static_cast<std::size_t>(bit - 1) / 8; }
  static std::uint8_t Mask(int bit) { return static_cast<std::uint8_t>(1u << ((bit - 1) % 8)); }

  std::array<std::uint8_t, 4> octets_{};
};

// --- Timing ------------------------------------------------------------------------
// The silence between the end of a signal received and the start of the
// answer sent. A station listens for the answer to its own signal at once:
// the answer's preamble is a second of flags, of which the modem needs some
// to lock on.
inline constexpr int kT30SilenceMs = 75;

// --- Timers ------------------------------------------------------------------------
// T.30's timers, in ticks. T3 (the operator's procedure interrupt) belongs
// to a procedure this program does not offer.
namespace t30timer {
inline constexpr std::int32_t kT1 = SecsToTicks(35);  // to identify the far end after the call connects
inline constexpr std::int32_t kT2 = SecsToTicks(6);   // a station waiting for a command
// A station waiting for the response to its command: 3 s with T.30's 15 %
// allowance, which slow far ends need after a training.
inline constexpr std::int32_t kT4 = 3450 / kMsPerTick;
inline constexpr std::int32_t kT5 = SecsToTicks(60);  // a receiver not ready (RNR) to become ready
}  // namespace t30timer

}  // namespace tv
