#include "fax/class1_frames.h"

#include <vector>

#include "comm/dispatcher.h"

namespace tv {

namespace {

constexpr int kFramePauseMs = 20;
constexpr std::uint8_t kAddress = 0xFF;
constexpr std::uint8_t kControlFinal = 0x13;
constexpr std::uint8_t kControlMore = 0x03;
constexpr std::uint8_t kControlFinalBit = 0x10;
constexpr std::size_t kIdOctets = 20;

int Write(FaxSession& s, std::span<const std::uint8_t> bytes) {
  return PutBlock(s.common.port, bytes.data(), static_cast<int>(bytes.size()));
}

std::vector<std::uint8_t> DleDoubled(std::span<const std::uint8_t> bytes) {
  std::vector<std::uint8_t> out;
  AppendDleDoubled(bytes, out);
  return out;
}

void SendFrameBody(FaxSession& s, bool final, std::span<const std::uint8_t> body) {
  SendFrameHeader(s, final);
  Write(s, DleDoubled(body));
  SendFrameEnd(s);
}

}  // namespace

std::uint8_t OwnFcf(const FaxSession& s, std::uint8_t fcf) {
  return s.modem.calling ? static_cast<std::uint8_t>(fcf | kFcfXBit) : fcf;
}

void AppendDleDoubled(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& out) {
  out.reserve(out.size() + bytes.size() + bytes.size() / 32 + 4);
  for (std::uint8_t b : bytes) {
    out.push_back(b);
    if (b == kDLE) out.push_back(kDLE);
  }
}

void SendFrameHeader(FaxSession& s, bool final) {
  DelayMs(kFramePauseMs);
  const std::uint8_t header[] = {kAddress, final ? kControlFinal : kControlMore};
  Write(s, header);
}

void SendFrameEnd(FaxSession& s) {
  const std::uint8_t end[] = {kDLE, kETX};
  Write(s, end);
}

void SendSimpleFrame(FaxSession& s, std::uint8_t fcf) {
  const std::uint8_t body[] = {OwnFcf(s, fcf)};
  SendFrameBody(s, true, body);
}

void SendFrameWithInfo(FaxSession& s, std::uint8_t fcf, std::span<const std::uint8_t> info) {
  std::vector<std::uint8_t> body{OwnFcf(s, fcf)};
  body.insert(body.end(), info.begin(), info.end());
  SendFrameBody(s, true, body);
}

void SendIdFrame(FaxSession& s, std::uint8_t fcf) {
  std::vector<std::uint8_t> body{OwnFcf(s, fcf)};
  const std::string id = EncodeStationId(s.common.stationId);
  body.insert(body.end(), id.begin(), id.end());
  SendFrameBody(s, false, body);
}

void SendCapabilityFrame(FaxSession& s, bool isDIS) {
  const auto octets = CapabilityOctets(isDIS, s.modem.params);
  const std::uint8_t body[] = {OwnFcf(s, isDIS ? kFcfDIS : kFcfDCS), octets[0], octets[1], octets[2], octets[3]};
  SendFrameBody(s, true, body);
}

void SendTraining(FaxSession& s) {
  const std::vector<std::uint8_t> zeros(static_cast<std::size_t>(s.modem.params.bitRate / 100 * 18), 0);
  Write(s, zeros);
  SendFrameEnd(s);
}

ReceivedFrame ReadFrame(std::string_view bytes) {
  ReceivedFrame frame;
  const auto start = bytes.find(static_cast<char>(kAddress));
  if (start == std::string_view::npos || bytes.size() - start < 3) return frame;
  bytes.remove_prefix(start);
  frame.final = (static_cast<std::uint8_t>(bytes[1]) & kControlFinalBit) != 0;
  frame.type = FrameType(static_cast<std::uint8_t>(bytes[2]));
  frame.info = std::string(bytes.substr(3));
  return frame;
}

std::string FrameStationId(const ReceivedFrame& frame) {
  return DecodeStationId(std::string_view(frame.info).substr(0, kIdOctets));
}

T30Field FrameCapabilities(const ReceivedFrame& frame) {
  // The fourth octet is there only when the third says another follows:
  // otherwise what comes next is the check sequence some modems pass on.
  constexpr std::uint8_t kExtendBit = 0x80;
  std::array<std::uint8_t, 4> octets{};
  for (std::size_t i = 0; i < octets.size() && i < frame.info.size(); ++i) {
    if (i == 3 && (octets[2] & kExtendBit) == 0) break;
    octets[i] = static_cast<std::uint8_t>(frame.info[i]);
  }
  return T30Field(octets);
}

int SendPageBytes(FaxSession& s, std::span<const std::uint8_t> bytes) { return Write(s, DleDoubled(bytes)); }

int SendCodedRow(FaxSession& s, std::span<const std::uint8_t> row) {
  std::vector<std::uint8_t> out = DleDoubled(row);
  const auto minimum = static_cast<std::size_t>(s.modem.params.minBytesPerLine);
  if (row.size() < minimum) out.resize(out.size() + (minimum - row.size()), 0);
  s.common.pageBytesDone += static_cast<std::int32_t>(std::max(row.size(), minimum));
  return Write(s, out);
}

int SendFillLines(FaxSession& s, int count) {
  const int minimum = s.modem.params.minBytesPerLine;
  std::vector<std::uint8_t> line = {0x00, 0x00, 0x00, 0x00, 0x00, 0x80};
  if (minimum >= 7) line.resize(line.size() + static_cast<std::size_t>(minimum - 5), 0);
  std::vector<std::uint8_t> out;
  for (int i = 0; i < count; ++i) out.insert(out.end(), line.begin(), line.end());
  return Write(s, out);
}

}  // namespace tv
