#include "line/udptl.h"

#include <algorithm>

namespace tv {

namespace {

constexpr std::uint8_t kSecondaryPackets = 0x00;
constexpr std::uint8_t kFecChoice = 0x80;
constexpr std::size_t kShortLengthLimit = 0x80;
constexpr std::size_t kLongLengthLimit = 0x4000;
// A jump further ahead than this is no loss but a new stream (a far end that
// started again): the receiver follows it instead of counting thousands of
// packets lost.
constexpr int kLargestGap = 64;

void PutLength(std::vector<std::uint8_t>& out, std::size_t length) {
  if (length >= kShortLengthLimit) out.push_back(static_cast<std::uint8_t>(0x80 | (length >> 8)));
  out.push_back(static_cast<std::uint8_t>(length & 0xFF));
}

void PutOctets(std::vector<std::uint8_t>& out, const IfpPacket& octets) {
  PutLength(out, octets.size());
  out.insert(out.end(), octets.begin(), octets.end());
}

// Reads a datagram front to back; every read is checked against its end.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  bool Byte(std::uint8_t& value) {
    if (at_ >= bytes_.size()) return false;
    value = bytes_[at_++];
    return true;
  }
  bool Length(std::size_t& length) {
    std::uint8_t first = 0;
    if (!Byte(first)) return false;
    if ((first & 0x80) == 0) {
      length = first;
      return true;
    }
    std::uint8_t second = 0;
    if ((first & 0x40) != 0 || !Byte(second)) return false;  // fragmented lengths are never needed
    length = static_cast<std::size_t>(first & 0x3F) << 8 | second;
    return true;
  }
  bool Octets(IfpPacket& octets) {
    std::size_t length = 0;
    if (!Length(length) || length > kMaxIfpPacket || length > bytes_.size() - at_) return false;
    octets.assign(bytes_.begin() + static_cast<std::ptrdiff_t>(at_),
                  bytes_.begin() + static_cast<std::ptrdiff_t>(at_ + length));
    at_ += length;
    return true;
  }
  bool AtEnd() const { return at_ == bytes_.size(); }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t at_ = 0;
};

std::optional<UdptlPacket> Refuse(std::string* problem, const char* why) {
  if (problem) *problem = why;
  return std::nullopt;
}

}  // namespace

std::vector<std::uint8_t> EncodeUdptl(const UdptlPacket& packet) {
  if (packet.primary.size() > kMaxIfpPacket) return {};
  std::size_t secondaries = std::min(packet.secondaries.size(), kMaxUdptlSecondaries);
  for (;; --secondaries) {
    std::vector<std::uint8_t> out = {static_cast<std::uint8_t>(packet.sequence >> 8),
                                     static_cast<std::uint8_t>(packet.sequence & 0xFF)};
    PutOctets(out, packet.primary);
    out.push_back(kSecondaryPackets);
    PutLength(out, secondaries);
    for (std::size_t i = 0; i < secondaries; ++i) PutOctets(out, packet.secondaries[i]);
    if (out.size() <= kMaxUdptlDatagram) return out;
    if (secondaries == 0) return {};
  }
}

std::optional<UdptlPacket> DecodeUdptl(std::span<const std::uint8_t> datagram, std::string* problem) {
  Reader in(datagram);
  UdptlPacket packet;
  std::uint8_t high = 0;
  std::uint8_t low = 0;
  if (!in.Byte(high) || !in.Byte(low)) return Refuse(problem, "shorter than a sequence number");
  packet.sequence = static_cast<std::uint16_t>(high << 8 | low);
  if (!in.Octets(packet.primary)) return Refuse(problem, "the primary packet's length goes past the datagram");
  std::uint8_t recovery = 0;
  if (!in.Byte(recovery)) return Refuse(problem, "no error recovery field");
  if ((recovery & kFecChoice) != 0) return Refuse(problem, "FEC error recovery, which is not supported");
  std::size_t count = 0;
  if (!in.Length(count) || count > kMaxUdptlSecondaries) return Refuse(problem, "an impossible count of secondary packets");
  packet.secondaries.resize(count);
  for (IfpPacket& secondary : packet.secondaries) {
    if (!in.Octets(secondary)) return Refuse(problem, "a secondary packet's length goes past the datagram");
  }
  if (!in.AtEnd()) return Refuse(problem, "bytes after the last packet");
  return packet;
}

std::vector<std::uint8_t> UdptlSender::Datagram(const IfpPacket& ifp) {
  UdptlPacket packet{next_++, ifp, {recent_.begin(), recent_.end()}};
  recent_.push_front(ifp);
  if (recent_.size() > static_cast<std::size_t>(std::max(redundancy_, 0))) recent_.pop_back();
  return EncodeUdptl(packet);
}

int UdptlReceiver::Ahead(std::uint16_t sequence) const {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(sequence - expected_));
}

bool UdptlReceiver::Take(std::span<const std::uint8_t> datagram, std::string* problem) {
  const std::optional<UdptlPacket> packet = DecodeUdptl(datagram, problem);
  if (!packet) return false;
  if (!started_ || Ahead(packet->sequence) > kLargestGap) {
    if (started_ && problem) *problem = "the sequence jumped ahead; taken as a new start";
    Flush();
    started_ = true;
    expected_ = packet->sequence;
  }
  const int ahead = Ahead(packet->sequence);
  if (ahead < 0 || waiting_.contains(packet->sequence)) {
    ++duplicates_;
    return true;
  }
  waiting_.emplace(packet->sequence, packet->primary);
  for (std::size_t i = 0; i < packet->secondaries.size(); ++i) {
    const auto sequence = static_cast<std::uint16_t>(packet->sequence - 1 - i);
    if (Ahead(sequence) >= 0) waiting_.emplace(sequence, packet->secondaries[i]);
  }
  DeliverWaiting();
  return true;
}

void UdptlReceiver::DeliverWaiting() {
  while (!waiting_.empty()) {
    if (const auto next = waiting_.find(expected_); next != waiting_.end()) {
      const IfpPacket ifp = std::move(next->second);
      waiting_.erase(next);
      DeliverNext(ifp);
      continue;
    }
    // A gap: wait for a late datagram while what came after it still fits
    // the window, else give the gap's packet up.
    int furthest = 0;
    for (const auto& [sequence, ifp] : waiting_) furthest = std::max(furthest, Ahead(sequence));
    if (furthest < window_) return;
    ++lost_;
    ++expected_;
  }
}

void UdptlReceiver::Flush() {
  while (!waiting_.empty()) {
    if (const auto next = waiting_.find(expected_); next != waiting_.end()) {
      const IfpPacket ifp = std::move(next->second);
      waiting_.erase(next);
      DeliverNext(ifp);
    } else {
      ++lost_;
      ++expected_;
    }
  }
}

void UdptlReceiver::DeliverNext(const IfpPacket& ifp) {
  deliver_(expected_, ifp);
  ++expected_;
}

}  // namespace tv
