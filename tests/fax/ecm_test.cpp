#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "fax/class1_frames.h"
#include "fax/ecm_frames.h"
#include "fax/hdlc.h"
#include "fax/session_parameters.h"

namespace tv {
namespace {

struct Decoded {
  std::vector<std::vector<std::uint8_t>> frames;
  std::vector<bool> good;
};

Decoded Decode(std::span<const std::uint8_t> bits) {
  Decoded d;
  HdlcDecoder decoder([&](std::span<const std::uint8_t> octets, bool good) {
    d.frames.emplace_back(octets.begin(), octets.end());
    d.good.push_back(good);
  });
  decoder.Put(bits);
  return d;
}

TEST(Hdlc, FramesSurviveStuffingAnyBitOffsetAndDamageIsSeen) {
  // The check value of ITU-T V.42's sequence over "123456789".
  const std::string digits = "123456789";
  EXPECT_EQ(HdlcCheck(std::span(reinterpret_cast<const std::uint8_t*>(digits.data()), digits.size())), 0x906E);

  // Runs of ones (0xFF, 0x7E, 0x1F...) need stuffing inside the frames.
  const std::vector<std::vector<std::uint8_t>> frames = {
      {0xFF, 0x03, 0x06, 0x00, 0x7E, 0x7E, 0xFF, 0xFF, 0x1F, 0xF8},
      {0xFF, 0x13, 0x86},
      std::vector<std::uint8_t>(300, 0xFF)};
  HdlcEncoder encoder;
  encoder.Flags(3);
  for (const auto& frame : frames) encoder.Frame(frame);
  encoder.Flags(2);
  const std::vector<std::uint8_t> bits = encoder.Take();
  Decoded d = Decode(bits);
  EXPECT_EQ(d.frames, frames);
  EXPECT_EQ(d.good, (std::vector<bool>{true, true, true}));

  // A modem may start the data anywhere in a flag: three bits of noise in front.
  std::vector<std::uint8_t> shifted(bits.size() + 1, 0x7E);
  for (std::size_t i = 0; i < bits.size(); ++i) {
    shifted[i] = static_cast<std::uint8_t>((shifted[i] & 0x07) | (bits[i] << 3));
    shifted[i + 1] = static_cast<std::uint8_t>(bits[i] >> 5);
  }
  shifted[0] |= 0x05;
  EXPECT_EQ(Decode(shifted).frames, frames);

  // One bit wrong in the first frame: it fails its check, the others do not.
  std::vector<std::uint8_t> damaged = bits;
  damaged[6] ^= 0x10;
  d = Decode(damaged);
  ASSERT_FALSE(d.good.empty());
  EXPECT_FALSE(d.good.front());
  EXPECT_TRUE(d.good.back());
}

// A page cut into frames goes through the receiving side and comes out
// whole; frames lost on the way are named in the PPR, and only they go again.
TEST(EcmPages, BlocksFramesAndTheRequestsForLostOnes) {
  std::vector<std::uint8_t> data(256 * 256 + 600);
  std::iota(data.begin(), data.end(), std::uint8_t{0});
  EcmOutgoingPage out(data, 256);
  ASSERT_EQ(out.Blocks(), 2);
  EcmIncomingPage in;
  in.Start(256);

  // Block 0: 256 full frames; frames 3 and 200 are lost.
  EXPECT_EQ(out.Burst().size(), 256u);
  for (int frame : out.Burst()) {
    if (frame == 3 || frame == 200) continue;
    const auto body = out.FrameBody(frame);
    ASSERT_TRUE(in.TakeFrame(std::string(body.begin() + 1, body.end())));
  }
  PpsField pps = out.Pps(kFcfNULL, 0);
  EXPECT_EQ(pps.frames, 256);
  std::array<std::uint8_t, kPprMapOctets> map{};
  ASSERT_FALSE(in.BlockWhole(pps, map));
  EXPECT_EQ(map[0], 0x08);
  EXPECT_EQ(map[25], 0x01);
  ASSERT_TRUE(out.TakePpr(std::string(map.begin(), map.end())));
  EXPECT_EQ(out.Burst(), (std::vector<int>{3, 200}));
  for (int frame : out.Burst()) {
    const auto body = out.FrameBody(frame);
    in.TakeFrame(std::string(body.begin() + 1, body.end()));
  }
  pps = out.Pps(kFcfNULL, 0);
  EXPECT_EQ(pps.frames, 2);  // a burst sent again counts its own frames
  ASSERT_TRUE(in.BlockWhole(pps, map));
  EXPECT_FALSE(out.TakePpr(std::string(32, '\0')));  // a request for nothing

  // Block 1: three frames, the last filled up with zeros; once the PPS has
  // told the block's size, a frame number beyond it is refused.
  out.NextBlock();
  EXPECT_TRUE(out.LastBlock());
  ASSERT_EQ(out.FramesInBlock(), 3);
  EXPECT_EQ(out.FrameBody(2).size(), 2u + 256u);
  const auto take = [&](int frame) {
    const auto body = out.FrameBody(frame);
    return in.TakeFrame(std::string(body.begin() + 1, body.end()));
  };
  take(0);
  take(1);
  ASSERT_FALSE(in.BlockWhole(out.Pps(kFcfEOP, 0), map));
  EXPECT_FALSE(in.TakeFrame(std::string(1, '\x05') + "stray"));
  take(2);
  ASSERT_TRUE(in.BlockWhole(out.Pps(kFcfEOP, 0), map));
  std::vector<std::uint8_t> expected = data;
  expected.resize(256 * 256 + 3 * 256, 0);
  EXPECT_EQ(in.Data(), expected);

  // What a PPS carries, read back.
  const auto read = ReadPpsField(std::string("\x2F\x07\x01\xFF", 4));
  ASSERT_TRUE(read);
  EXPECT_EQ(read->command, kFcfEOP);
  EXPECT_EQ(read->page, 7);
  EXPECT_EQ(read->frames, 256);
  EXPECT_FALSE(ReadPpsField("\x2E"));
}

// Both ends offer what the user allows; the best coding both have wins,
// MMR only with error correction; a DCS says it and reads back the same.
TEST(EcmNegotiation, CodingAndErrorCorrectionBothWays) {
  SessionParameters local;
  local.allowErrorCorrection = true;
  local.codingLimit = T4Coding::kMmr;
  const T30Field dis = CapabilityField(true, local);
  EXPECT_TRUE(dis.Has(t30bit::kTwoDimensional));
  EXPECT_TRUE(dis.Has(t30bit::kErrorCorrection));
  EXPECT_TRUE(dis.Has(t30bit::kT6Coding));

  struct Case {
    bool remoteEcm, remote2d, remoteT6, allowEcm;
    T4Coding limit, coding;
    bool ecm;
  };
  const Case cases[] = {
      {true, true, true, true, T4Coding::kMmr, T4Coding::kMmr, true},
      {false, true, false, true, T4Coding::kMmr, T4Coding::kMr, false},  // no ECM at the far end: MR
      {true, false, false, true, T4Coding::kMmr, T4Coding::kMh, true},   // no 2-D: MH with ECM
      {true, true, true, false, T4Coding::kMmr, T4Coding::kMr, false},   // ECM switched off here
      {true, true, true, true, T4Coding::kMh, T4Coding::kMh, true},
  };
  for (const Case& c : cases) {
    T30Field remote;
    remote.Set(t30bit::kErrorCorrection, c.remoteEcm);
    remote.Set(t30bit::kTwoDimensional, c.remote2d);
    remote.Set(t30bit::kT6Coding, c.remoteT6);
    SessionParameters p;
    p.allowErrorCorrection = c.allowEcm;
    p.codingLimit = c.limit;
    ParseCapabilities(p, true, remote, false, false);
    EXPECT_EQ(p.coding, c.coding) << CodingName(p);
    EXPECT_EQ(p.errorCorrection, c.ecm) << CodingName(p);
    SessionParameters read;
    ParseCapabilities(read, false, CapabilityField(false, p), false, false);
    EXPECT_EQ(CodingName(read), CodingName(p));
    if (p.errorCorrection) {
      EXPECT_EQ(read.minBytesPerLine, 0);
    }
  }

  // A three-octet DCS as a modem passes it, its check sequence behind it:
  // those octets are no fourth octet of capabilities.
  ReceivedFrame frame;
  frame.info = std::string("\x00\x22\x78\xC6\x44", 5);
  EXPECT_FALSE(FrameCapabilities(frame).Has(t30bit::kErrorCorrection));
  frame.info = std::string("\x00\x22\xF8\x44", 4);
  EXPECT_TRUE(FrameCapabilities(frame).Has(t30bit::kErrorCorrection));
}

}  // namespace
}  // namespace tv
