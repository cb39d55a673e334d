// UDPTL framing and the receiver's ordering, recovery and loss counting,
// through datagrams lost, repeated and reordered by a seeded channel.
#include "line/udptl.h"

#include <gtest/gtest.h>

#include <random>

namespace tv {
namespace {

using Bytes = std::vector<std::uint8_t>;

IfpPacket Ifp(int n) { return IfpPacket(static_cast<std::size_t>(n % 50 + 1), static_cast<std::uint8_t>(n)); }

// Sends `count` IFP packets through a channel that drops each datagram with
// the given chance (never the first and the last) and hands every survivor
// to the receiver.
struct Transfer {
  std::vector<std::uint16_t> order;
  int lost = 0;
};
Transfer Through(int count, int redundancy, double loss, unsigned seed = 7) {
  UdptlSender sender(redundancy);
  Transfer result;
  UdptlReceiver receiver([&](std::uint16_t sequence, const IfpPacket& ifp) {
    EXPECT_EQ(ifp, Ifp(sequence)) << sequence;
    result.order.push_back(sequence);
  });
  std::mt19937 random(seed);
  std::bernoulli_distribution dropped(loss);
  for (int n = 0; n < count; ++n) {
    const Bytes datagram = sender.Datagram(Ifp(n));
    if (n == 0 || n == count - 1 || !dropped(random)) {
      EXPECT_TRUE(receiver.Take(datagram));
    }
  }
  receiver.Flush();
  result.lost = receiver.Lost();
  return result;
}

TEST(Udptl, DatagramsAreThePackedEncodingBothWays) {
  const UdptlPacket packet{0x1234, {0x06, 0x00}, {{0x01}, {}}};
  const Bytes wire = {0x12, 0x34, 0x02, 0x06, 0x00, 0x00, 0x02, 0x01, 0x01, 0x00};
  EXPECT_EQ(EncodeUdptl(packet), wire);
  const auto back = DecodeUdptl(wire);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->sequence, 0x1234);
  EXPECT_EQ(back->primary, packet.primary);
  EXPECT_EQ(back->secondaries, packet.secondaries);

  // 200 bytes take a two-byte length; a datagram too big for the path drops
  // its oldest secondaries, and a primary too big for any is refused.
  const UdptlPacket big{1, IfpPacket(200, 0xAA), std::vector<IfpPacket>(10, IfpPacket(400, 0x55))};
  const Bytes bigWire = EncodeUdptl(big);
  ASSERT_GE(bigWire.size(), 5u);
  EXPECT_EQ(bigWire[2], 0x80);
  EXPECT_EQ(bigWire[3], 200);
  EXPECT_LE(bigWire.size(), kMaxUdptlDatagram);
  EXPECT_EQ(DecodeUdptl(bigWire)->secondaries.size(), 3u);
  EXPECT_TRUE(EncodeUdptl({2, IfpPacket(kMaxIfpPacket + 1), {}}).empty());
}

TEST(Udptl, MalformedDatagramsAreRefusedWithAReason) {
  const Bytes wire = EncodeUdptl({9, {1, 2, 3}, {{4, 5}, {6}}});
  std::string problem;
  for (std::size_t cut = 0; cut < wire.size(); ++cut) {
    EXPECT_FALSE(DecodeUdptl(std::span(wire).first(cut), &problem)) << cut;
    EXPECT_FALSE(problem.empty());
  }
  Bytes longer = wire;
  longer.push_back(0);
  EXPECT_FALSE(DecodeUdptl(longer, &problem));
  EXPECT_EQ(problem, "bytes after the last packet");
  EXPECT_FALSE(DecodeUdptl(Bytes{0, 1, 0x7F, 1, 2}, &problem));  // primary past the end
  EXPECT_FALSE(DecodeUdptl(Bytes{0, 1, 1, 9, 0x80, 0}, &problem));
  EXPECT_EQ(problem, "FEC error recovery, which is not supported");
  EXPECT_FALSE(DecodeUdptl(Bytes{0, 1, 1, 9, 0x00, 0x7F}, &problem));
  EXPECT_EQ(problem, "an impossible count of secondary packets");
  EXPECT_FALSE(DecodeUdptl(Bytes{0, 1, 0xC0, 0x01, 9, 0, 0}, &problem));  // a fragmented length

  // A malformed datagram leaves the stream as it was.
  std::vector<std::uint16_t> delivered;
  UdptlReceiver receiver([&](std::uint16_t sequence, const IfpPacket&) { delivered.push_back(sequence); });
  EXPECT_TRUE(receiver.Take(EncodeUdptl({40, {1}, {}})));
  EXPECT_FALSE(receiver.Take(Bytes{0, 41, 0x7F}));
  EXPECT_TRUE(receiver.Take(EncodeUdptl({41, {2}, {}})));
  EXPECT_EQ(delivered, (std::vector<std::uint16_t>{40, 41}));
}

TEST(Udptl, RedundancyCarriesThePacketsOfLostDatagrams) {
  for (const double loss : {0.05, 0.10}) {
    const Transfer three = Through(2000, 3, loss);
    EXPECT_EQ(three.lost, 0) << loss;
    ASSERT_EQ(three.order.size(), 2000u) << loss;
    for (std::size_t n = 0; n < three.order.size(); ++n) EXPECT_EQ(three.order[n], n);

    // Without redundancy every lost datagram is a lost packet, counted, and
    // the rest still come in their order.
    const Transfer none = Through(2000, 0, loss);
    EXPECT_GT(none.lost, 0);
    EXPECT_EQ(none.order.size() + static_cast<std::size_t>(none.lost), 2000u);
    EXPECT_TRUE(std::is_sorted(none.order.begin(), none.order.end()));
  }
}

TEST(Udptl, LateRepeatedAndReorderedDatagramsAreDeliveredOnceInOrder) {
  UdptlSender sender(0);
  std::vector<Bytes> datagrams;
  for (int n = 0; n < 8; ++n) datagrams.push_back(sender.Datagram(Ifp(n)));
  std::vector<std::uint16_t> delivered;
  UdptlReceiver receiver([&](std::uint16_t sequence, const IfpPacket&) { delivered.push_back(sequence); });
  for (const int n : {0, 2, 1, 1, 3, 5, 4, 0, 6, 7, 7}) receiver.Take(datagrams[static_cast<std::size_t>(n)]);
  EXPECT_EQ(delivered, (std::vector<std::uint16_t>{0, 1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(receiver.Duplicates(), 3);
  EXPECT_EQ(receiver.Lost(), 0);

  // Past the window a gap is given up; the sequence wraps at 65535; a jump
  // far ahead is a new start, not thousands of lost packets.
  delivered.clear();
  UdptlReceiver wrapping([&](std::uint16_t sequence, const IfpPacket&) { delivered.push_back(sequence); }, 2);
  for (const int sequence : {65534, 0, 1, 2}) wrapping.Take(EncodeUdptl({static_cast<std::uint16_t>(sequence), {1}, {}}));
  EXPECT_EQ(delivered, (std::vector<std::uint16_t>{65534, 0, 1, 2}));
  EXPECT_EQ(wrapping.Lost(), 1);
  std::string problem;
  EXPECT_TRUE(wrapping.Take(EncodeUdptl({30000, {1}, {}}), &problem));
  EXPECT_EQ(problem, "the sequence jumped ahead; taken as a new start");
  EXPECT_EQ(delivered.back(), 30000);
  EXPECT_EQ(wrapping.Lost(), 1);
}

}  // namespace
}  // namespace tv
