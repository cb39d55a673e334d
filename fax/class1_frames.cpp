#include "fax/class1_frames.h"

#include <vector>

#include "comm/dispatcher.h"
#include "comm/error_codes.h"
#include "platform/text.h"

namespace tv {

namespace {

constexpr int kFramePauseMs = 20;
constexpr std::uint8_t kAddress = 0xFF;
constexpr std::uint8_t kControlFinal = 0x13;
constexpr std::uint8_t kControlMore = 0x03;

int Write(FaxSession& s, std::span<const std::uint8_t> bytes) {
  return PutBlock(s.common.port, bytes.data(), static_cast<int>(bytes.size()));
}

std::vector<std::uint8_t> DleDoubled(std::span<const std::uint8_t> bytes) {
  std::vector<std::uint8_t> out;
  out.reserve(bytes.size() + bytes.size() / 32 + 4);
  for (std::uint8_t b : bytes) {
    out.push_back(b);
    if (b == kDLE) out.push_back(kDLE);
  }
  return out;
}

void SendFrameBody(FaxSession& s, bool final, std::span<const std::uint8_t> body) {
  SendFrameHeader(s, final);
  Write(s, DleDoubled(body));
  SendFrameEnd(s);
}

}  // namespace

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
  const std::uint8_t body[] = {fcf};
  SendFrameBody(s, true, body);
}

void SendIdFrame(FaxSession& s, std::uint8_t fcf) {
  std::vector<std::uint8_t> body{fcf};
  const std::string id = EncodeStationId(s.common.stationId);
  body.insert(body.end(), id.begin(), id.end());
  SendFrameBody(s, false, body);
}

void SendCapabilityFrame(FaxSession& s, bool isDIS) {
  const auto octets = CapabilityOctets(isDIS, s.modem.params);
  const std::uint8_t body[] = {isDIS ? kFcfDIS : kFcfDCS, octets[0], octets[1], octets[2], octets[3]};
  SendFrameBody(s, true, body);
}

void SendTraining(FaxSession& s) {
  const std::vector<std::uint8_t> zeros(static_cast<std::size_t>(s.modem.params.bitRate / 100 * 18), 0);
  Write(s, zeros);
  SendFrameEnd(s);
}

int ParseFrame(FaxSession& s, std::string_view frame, bool pageFine, bool pageWide) {
  FaxModemData& m = s.modem;
  const auto start = frame.find(static_cast<char>(kAddress));
  frame = start == std::string_view::npos ? std::string_view() : frame.substr(start);
  auto byte = [&](std::size_t i) { return i < frame.size() ? static_cast<std::uint8_t>(frame[i]) : std::uint8_t{0}; };
  m.finalFrame = (byte(1) & 0x10) != 0;
  const std::uint8_t fcf = byte(2);
  m.lastFcf = fcf;
  int result = 0;
  switch (fcf) {
    case 0x40:
    case 0x41:
    case 0x42:
    case 0x43:
      // Stations pad their ID with blanks on either side; keep the ID itself.
      s.common.remoteId = TrimText(DecodeStationId(frame.substr(std::min<std::size_t>(3, frame.size()), 20)));
      SetFaxStatus(s, fsGotRemoteId);
      break;
    case 0x44:
    case 0x45:
    case 0x4C:
    case 0x4D:
      m.retrain = true;
      break;
    case 0x80:
    case 0x81:
      ParseCapabilities(m.params, true, byte(4), byte(5), pageFine, pageWide);
      if ((pageFine && !m.params.remoteCanFine) || (pageWide && !m.params.remoteCanWide)) return ecFaxBadMachine;
      SetFaxStatus(s, fsGettingParams);
      break;
    case 0x82:
    case 0x83:
      ParseCapabilities(m.params, false, byte(4), byte(5), pageFine, pageWide);
      SetFaxStatus(s, fsGettingParams);
      break;
    case 0x84:
    case 0x85:
      m.cfrReceived = true;
      break;
    case 0xFA:
    case 0xFB:
      result = ecCancelRequested;
      break;
    default:
      break;
  }
  m.response.clear();
  ArmReplyTimer(s, m.replyTimeout);
  return result;
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
