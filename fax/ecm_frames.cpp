#include "fax/ecm_frames.h"

#include <algorithm>

#include "fax/hdlc.h"
#include "fax/t30.h"

namespace tv {

std::optional<PpsField> ReadPpsField(std::string_view info) {
  if (info.size() < 4) return std::nullopt;
  PpsField pps;
  pps.command = FrameType(static_cast<std::uint8_t>(info[0]));
  pps.page = static_cast<std::uint8_t>(info[1]);
  pps.block = static_cast<std::uint8_t>(info[2]);
  pps.frames = static_cast<std::uint8_t>(info[3]) + 1;
  return pps;
}

// --- Sending -----------------------------------------------------------------------

EcmOutgoingPage::EcmOutgoingPage(std::vector<std::uint8_t> data, int frameBytes)
    : data_(std::move(data)), frameBytes_(frameBytes) {
  StartBurst();
}

int EcmOutgoingPage::Blocks() const {
  const auto blockBytes = static_cast<std::size_t>(frameBytes_) * kEcmFramesPerBlock;
  return std::max(1, static_cast<int>((data_.size() + blockBytes - 1) / blockBytes));
}

int EcmOutgoingPage::FramesInBlock() const {
  const std::size_t start = static_cast<std::size_t>(block_) * kEcmFramesPerBlock * frameBytes_;
  const std::size_t left = data_.size() > start ? data_.size() - start : 0;
  const auto frames = static_cast<int>((left + frameBytes_ - 1) / frameBytes_);
  return std::clamp(frames, 1, kEcmFramesPerBlock);
}

std::vector<std::uint8_t> EcmOutgoingPage::FrameBody(int frame) const {
  std::vector<std::uint8_t> body{kFcfFCD, static_cast<std::uint8_t>(frame)};
  const std::size_t start =
      (static_cast<std::size_t>(block_) * kEcmFramesPerBlock + static_cast<std::size_t>(frame)) * frameBytes_;
  const std::size_t end = std::min(data_.size(), start + static_cast<std::size_t>(frameBytes_));
  if (start < end) body.insert(body.end(), data_.begin() + static_cast<std::ptrdiff_t>(start),
                               data_.begin() + static_cast<std::ptrdiff_t>(end));
  body.resize(2 + static_cast<std::size_t>(frameBytes_), 0);
  return body;
}

PpsField EcmOutgoingPage::Pps(std::uint8_t command, int page) const {
  // A burst sent again counts its own frames; the receiver knows the
  // block's count from the block's first PPS.
  return {command, static_cast<std::uint8_t>(page), static_cast<std::uint8_t>(block_),
          resent_ ? static_cast<int>(burst_.size()) : FramesInBlock()};
}

bool EcmOutgoingPage::TakePpr(std::string_view map) {
  std::vector<int> asked;
  for (int frame = 0; frame < FramesInBlock(); ++frame) {
    const auto octet = static_cast<std::size_t>(frame / 8);
    if (octet < map.size() && (static_cast<std::uint8_t>(map[octet]) >> (frame % 8) & 1) != 0) asked.push_back(frame);
  }
  ++pprs_;
  if (asked.empty()) return false;
  burst_ = std::move(asked);
  resent_ = true;
  return true;
}

void EcmOutgoingPage::NextBlock() {
  ++block_;
  StartBurst();
}

void EcmOutgoingPage::StartBurst() {
  pprs_ = 0;
  resent_ = false;
  burst_.resize(static_cast<std::size_t>(FramesInBlock()));
  for (std::size_t i = 0; i < burst_.size(); ++i) burst_[i] = static_cast<int>(i);
}

std::vector<std::uint8_t> EcmBurst(const EcmOutgoingPage& page) {
  // Flags before the first frame let the receiver find the frames after the
  // training; the last RCP ends with a few more.
  constexpr int kLeadingFlags = 32;
  constexpr int kTrailingFlags = 4;
  constexpr int kRcps = 3;
  constexpr std::uint8_t kAddress = 0xFF;
  constexpr std::uint8_t kControl = 0x03;
  constexpr std::uint8_t kControlFinal = 0x13;
  HdlcEncoder hdlc;
  hdlc.Flags(kLeadingFlags);
  std::vector<std::uint8_t> frame;
  for (int number : page.Burst()) {
    frame = {kAddress, kControl};
    const std::vector<std::uint8_t> body = page.FrameBody(number);
    frame.insert(frame.end(), body.begin(), body.end());
    hdlc.Frame(frame);
  }
  for (int i = 1; i <= kRcps; ++i) {
    const std::uint8_t rcp[] = {kAddress, i == kRcps ? kControlFinal : kControl, kFcfRCP};
    hdlc.Frame(rcp);
  }
  hdlc.Flags(kTrailingFlags);
  return hdlc.Take();
}

// --- Receiving ---------------------------------------------------------------------

void EcmIncomingPage::Start(int frameBytes) {
  frameBytes_ = frameBytes;
  blockFrames_ = 0;
  frames_.fill(std::nullopt);
  data_.clear();
  framesReceived_ = 0;
  pprs_ = 0;
}

bool EcmIncomingPage::TakeFrame(std::string_view info) {
  if (info.empty() || info.size() - 1 > static_cast<std::size_t>(frameBytes_)) return false;
  const int frame = static_cast<std::uint8_t>(info[0]);
  if (blockFrames_ > 0 && frame >= blockFrames_) return false;
  std::optional<std::string>& slot = frames_[static_cast<std::size_t>(frame)];
  if (!slot) ++framesReceived_;
  slot = std::string(info.substr(1));
  return true;
}

bool EcmIncomingPage::BlockWhole(const PpsField& pps, std::array<std::uint8_t, kPprMapOctets>& map) {
  if (blockFrames_ == 0) blockFrames_ = pps.frames;
  map.fill(0);
  bool whole = true;
  for (int frame = 0; frame < blockFrames_; ++frame) {
    if (frames_[static_cast<std::size_t>(frame)]) continue;
    map[static_cast<std::size_t>(frame / 8)] |= static_cast<std::uint8_t>(1u << (frame % 8));
    whole = false;
  }
  if (whole) {
    JoinBlock();
  } else {
    ++pprs_;
  }
  return whole;
}

void EcmIncomingPage::TakeBlockAsIs() {
  if (blockFrames_ == 0) blockFrames_ = kEcmFramesPerBlock;
  JoinBlock();
}

void EcmIncomingPage::JoinBlock() {
  for (int frame = 0; frame < blockFrames_; ++frame) {
    std::optional<std::string>& slot = frames_[static_cast<std::size_t>(frame)];
    if (slot) data_.insert(data_.end(), slot->begin(), slot->end());
    slot.reset();
  }
  blockFrames_ = 0;
  pprs_ = 0;
}

}  // namespace tv
