// UDPTL: how T.38 fax relay carries its IFP packets over UDP. Each datagram
// holds a sequence number, the newest IFP packet and, for error recovery,
// copies of the packets before it (redundancy), so that a lost datagram's
// packet arrives in one of the next ones.
//
// The datagram in the ASN.1 packed encoding (aligned), as on the wire:
//   seq-number          2 bytes, big-endian
//   primary-ifp-packet  length determinant, then the packet's bytes
//   error-recovery      1 byte: 0x00 secondary IFP packets (0x80 would be
//                       FEC, which this program neither sends nor reads),
//                       then a count determinant and the secondary packets,
//                       newest first, each a length determinant and bytes.
// A length determinant is one byte (0..127) or two (0x80 | high 6 bits, low
// byte: up to 16383).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tv {

using IfpPacket = std::vector<std::uint8_t>;

struct UdptlPacket {
  std::uint16_t sequence = 0;
  IfpPacket primary;
  std::vector<IfpPacket> secondaries;  // sequence - 1, sequence - 2, ...
};

// The largest datagram and IFP packet this side writes or takes, and the most
// secondary packets one datagram may carry.
inline constexpr std::size_t kMaxUdptlDatagram = 1500;
inline constexpr std::size_t kMaxIfpPacket = 1400;
inline constexpr std::size_t kMaxUdptlSecondaries = 16;

// The datagram for a packet; empty when it would be larger than
// kMaxUdptlDatagram (the oldest secondaries are left out first to fit).
std::vector<std::uint8_t> EncodeUdptl(const UdptlPacket& packet);

// The packet in a datagram, or nothing with `problem` set: a length past the
// datagram's end, bytes left over, FEC recovery, more secondaries than
// kMaxUdptlSecondaries.
std::optional<UdptlPacket> DecodeUdptl(std::span<const std::uint8_t> datagram, std::string* problem = nullptr);

// The sending side: numbers the IFP packets and puts the last `redundancy`
// of them beside each new one.
class UdptlSender {
 public:
  explicit UdptlSender(int redundancy) : redundancy_(redundancy) {}
  std::vector<std::uint8_t> Datagram(const IfpPacket& ifp);

 private:
  int redundancy_;
  std::uint16_t next_ = 0;
  std::deque<IfpPacket> recent_;  // newest first
};

// The receiving side: hands the IFP packets on in their order, each once,
// taking a lost one from the redundancy of a later datagram. Datagrams that
// come late (already delivered or recovered) are dropped; a packet that no
// datagram brought is counted as lost when the ones after it are handed on.
// Datagrams ahead of a gap wait, up to `window` of them, for the gap to be
// filled by a late datagram.
class UdptlReceiver {
 public:
  using Deliver = std::function<void(std::uint16_t sequence, const IfpPacket& ifp)>;

  UdptlReceiver(Deliver deliver, int window = 4) : deliver_(std::move(deliver)), window_(window) {}

  // Takes one datagram: false (and nothing delivered) for a malformed one,
  // with `problem` saying why. A sequence number far ahead of the stream is
  // taken as a new start (what waited is flushed): true, with `problem`
  // saying so.
  bool Take(std::span<const std::uint8_t> datagram, std::string* problem = nullptr);
  // Hands on what waits behind a gap, counting the gap's packets as lost
  // (at the end of a call, or when the line has been quiet for a while).
  void Flush();

  int Lost() const { return lost_; }
  int Duplicates() const { return duplicates_; }

 private:
  // Distance of `sequence` ahead of the next expected one, in the circular
  // 16-bit space: negative for old datagrams.
  int Ahead(std::uint16_t sequence) const;
  void DeliverNext(const IfpPacket& ifp);
  void DeliverWaiting();

  Deliver deliver_;
  int window_;
  bool started_ = false;
  std::uint16_t expected_ = 0;
  std::map<std::uint16_t, IfpPacket> waiting_;  // packets ahead of expected_, by sequence
  int lost_ = 0;
  int duplicates_ = 0;
};

}  // namespace tv
