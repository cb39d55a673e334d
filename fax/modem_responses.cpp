#include "fax/modem_responses.h"

#include <utility>

#include "comm/dispatcher.h"
#include "fax/modem_prep.h"
#include "platform/text.h"

namespace tv {

namespace {

constexpr std::uint8_t kFrameAddress = 0xFF;

}  // namespace

ResponseCollector::Got ResponseCollector::Next(int port, std::string& text) {
  while (CharReady(port) > 0) {
    const int c = GetChar(port);
    if (c < 0) break;
    const auto b = static_cast<std::uint8_t>(c);
    // Escaped bytes are frame data.
    if (b == kDLE || dle_.Pending()) {
      if (dle_.Take(b, [&](std::uint8_t data) { buffer_ += static_cast<char>(data); })) {
        text = std::exchange(buffer_, std::string());
        return Got::kFrame;
      }
      continue;
    }
    const bool inFrame = !buffer_.empty() && static_cast<std::uint8_t>(buffer_.front()) == kFrameAddress;
    if (!inFrame) {
      // Ending a line at its LF keeps the LF after a CONNECT out of the page
      // data that follows at once.
      if (b == '\n') {
        std::string line = TrimWhite(buffer_);
        buffer_.clear();
        if (line.empty()) continue;
        text = std::move(line);
        return Got::kLine;
      }
      if (b < 32) continue;
    }
    buffer_ += static_cast<char>(b);
    if (!inFrame && buffer_.size() > static_cast<std::size_t>(kResponseLineMax)) {
      buffer_.erase(0, buffer_.size() - kResponseLineMax);
    }
  }
  return Got::kNothing;
}

void ResponseCollector::Clear() {
  buffer_.clear();
  dle_.Reset();
}

void FrameReception::Start() {
  arriving_ = false;
  framePending_ = false;
}

FrameReception::Result FrameReception::Take(ResponseCollector::Got got, const std::string& text) {
  if (got == ResponseCollector::Got::kFrame) {
    frame_ = ReadFrame(text);
    framePending_ = true;
    return Result::kWaiting;
  }
  if (got != ResponseCollector::Got::kLine) return Result::kWaiting;
  if (IsConnect(text)) {
    arriving_ = true;
    framePending_ = false;
    return Result::kWaiting;
  }
  const bool hadFrame = std::exchange(framePending_, false);
  const bool wasArriving = std::exchange(arriving_, false);
  if (IsOk(text)) return hadFrame ? Result::kFrame : Result::kEnded;
  if (IsError(text) && (hadFrame || wasArriving)) return Result::kBadFrame;
  if (IsNoCarrier(text)) return Result::kNoCarrier;
  arriving_ = wasArriving;
  framePending_ = hadFrame;
  return Result::kOther;
}

}  // namespace tv
