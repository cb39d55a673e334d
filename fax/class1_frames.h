// Class 1 frames and page bytes on the port: the T.30 frames the program
// builds (after AT+FTH=3), the frames it reads (after AT+FRH=3), training,
// and the byte rules of page data (DLE doubling, line padding, line starts).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "fax/fax_session.h"

namespace tv {

// Frame control fields sent.
inline constexpr std::uint8_t kFcfDIS = 0x80;
inline constexpr std::uint8_t kFcfCSI = 0x40;
inline constexpr std::uint8_t kFcfDCS = 0x83;
inline constexpr std::uint8_t kFcfTSI = 0x43;
inline constexpr std::uint8_t kFcfCFR = 0x84;
inline constexpr std::uint8_t kFcfFTT = 0x44;
inline constexpr std::uint8_t kFcfMCF = 0x8C;
inline constexpr std::uint8_t kFcfMPS = 0x4F;
inline constexpr std::uint8_t kFcfEOP = 0x2F;
inline constexpr std::uint8_t kFcfDCN = 0xFB;
// Answers tested in the last received control field.
inline constexpr std::uint8_t kFcfRTN = 0x4C;
inline constexpr std::uint8_t kFcfRTP = 0xCC;
inline constexpr std::uint8_t kFcfMPSReceived = 0x4E;  // with the lowest bit cleared

inline constexpr std::uint8_t kDLE = 0x10;
inline constexpr std::uint8_t kETX = 0x03;

void SendFrameHeader(FaxSession& session, bool final);
void SendFrameEnd(FaxSession& session);
void SendSimpleFrame(FaxSession& session, std::uint8_t fcf);
void SendIdFrame(FaxSession& session, std::uint8_t fcf);
void SendCapabilityFrame(FaxSession& session, bool isDIS);
void SendTraining(FaxSession& session);

// Reads a complete received frame (bytes as received, DLE pairs already
// undone) into the session: remote ID, capabilities, flags. Returns 0,
// ecCancelRequested for DCN, or ecFaxBadMachine for a DIS the page cannot
// be sent to. pageFine/pageWide describe the page to send.
int ParseFrame(FaxSession& session, std::string_view frame, bool pageFine, bool pageWide);

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
