// Class 1 frames and page bytes on the port: the T.30 frames the program
// builds (after AT+FTH=3), the frames it reads (after AT+FRH=3), training,
// and the byte rules of page data (DLE doubling, line padding, line starts).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fax/fax_session.h"
#include "fax/t30.h"

namespace tv {

inline constexpr std::uint8_t kDLE = 0x10;
inline constexpr std::uint8_t kETX = 0x03;
// With double escaping on, DLE SUB stands for two DLEs of data.
inline constexpr std::uint8_t kSUB = 0x1A;

// Undoes the DLE escapes of what a modem passes on (frames, training, page
// data): DLE DLE is one DLE of data, DLE SUB two, DLE ETX the end, and DLE
// before any other byte stands for that byte.
class DleDecoder {
 public:
  // One byte received: the data bytes it completes go to `put`; true at DLE ETX.
  template <class Put>
  bool Take(std::uint8_t byte, Put&& put) {
    if (!afterDle_) {
      if (byte == kDLE) {
        afterDle_ = true;
      } else {
        put(byte);
      }
      return false;
    }
    afterDle_ = false;
    if (byte == kETX) return true;
    if (byte == kSUB) put(kDLE);
    put(byte == kSUB ? kDLE : byte);
    return false;
  }
  void Reset() { afterDle_ = false; }
  bool Pending() const { return afterDle_; }  // a DLE waits for the byte after it

 private:
  bool afterDle_ = false;
};

// Frames go out with the X bit of the session's side of the call.
void SendFrameHeader(FaxSession& session, bool final);
void SendFrameEnd(FaxSession& session);
void SendSimpleFrame(FaxSession& session, std::uint8_t fcf);
void SendIdFrame(FaxSession& session, std::uint8_t fcf);
void SendCapabilityFrame(FaxSession& session, bool isDIS);
void SendTraining(FaxSession& session);
// A frame with an information field after its control field.
void SendFrameWithInfo(FaxSession& session, std::uint8_t fcf, std::span<const std::uint8_t> info);
// A control field with the X bit of the session's side of the call.
std::uint8_t OwnFcf(const FaxSession& session, std::uint8_t fcf);

// A frame as a Class 1 modem passed it on.
struct ReceivedFrame {
  std::uint8_t type = 0;  // the control field without its X bit
  bool final = false;     // the last frame of its block
  std::string info;       // the information field
};
// Reads a frame's bytes (address, control, control field, information; DLE
// pairs undone). Bytes before the address are dropped; a frame too short to
// hold a control field reads as type 0.
ReceivedFrame ReadFrame(std::string_view bytes);
// The station ID a TSI or CSI carries, in reading order without padding.
std::string FrameStationId(const ReceivedFrame& frame);
// The first four octets of a DIS or DCS (missing ones read as zero).
T30Field FrameCapabilities(const ReceivedFrame& frame);

// Appends bytes with every DLE doubled, as data goes to a Class 1 or 2 modem.
void AppendDleDoubled(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& out);
// Page data with every DLE doubled; returns the port's code.
int SendPageBytes(FaxSession& session, std::span<const std::uint8_t> bytes);
// A coded row, DLE-doubled and padded with zeros to the minimum bytes per
// line; adds the larger of the two to the page bytes done.
int SendCodedRow(FaxSession& session, std::span<const std::uint8_t> row);
// The line-start pattern, count times: 00 00 00 00 00 80 and, when the
// minimum bytes per line is 7 or more, that minimum less 5 zero bytes.
int SendFillLines(FaxSession& session, int count);

// Counts the bytes of a training check: it passes when fewer than 10 % of
// the bytes received are not zero.
class TrainingCheck {
 public:
  void Add(std::uint8_t byte) {
    ++bytes_;
    if (byte != 0) ++errors_;
  }
  bool Passed() const { return bytes_ > 0 && errors_ * 100 / bytes_ < 10; }
  std::int64_t Bytes() const { return bytes_; }

 private:
  std::int64_t bytes_ = 0;
  std::int64_t errors_ = 0;
};

}  // namespace tv
