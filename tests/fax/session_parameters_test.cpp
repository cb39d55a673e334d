#include "fax/session_parameters.h"

#include <gtest/gtest.h>

namespace tv {
namespace {

SessionParameters LocalUpTo(int index, int desiredBps = 14400) {
  SessionParameters p;
  for (int i = 3; i <= index; ++i) p.local.Add(i);
  p.desiredBps = desiredBps;
  return p;
}

TEST(ScanLines, TimesAndMinimumBytes) {
  EXPECT_EQ(ScanTimeMs(2, true), 5);
  EXPECT_EQ(ScanTimeMs(2, false), 10);
  EXPECT_EQ(ScanTimeMs(6, false), 40);
  EXPECT_EQ(MinBytesPerLine(2, true, 9600), 6);
  EXPECT_EQ(MinBytesPerLine(7, false, 14400), 72);
  EXPECT_EQ(MinBytesPerLine(0, false, 14400), 0);
}

TEST(CapabilityOctets, DisOffersTheReceiveRate) {
  SessionParameters p;
  p.SetRate(4);
  EXPECT_EQ(CapabilityOctets(true, p), (std::array<std::uint8_t, 4>{0x00, 0x4E, 0xF9, 0x00}));
  // Both V.17 rates are offered as V.17 with V.29 and V.27 ter: a far end
  // takes no other bit pattern as a V.17 receiver.
  p.SetRate(6);
  EXPECT_EQ(CapabilityOctets(true, p)[1], 0x6E);
  p.SetRate(5);
  EXPECT_EQ(CapabilityOctets(true, p)[1], 0x6E);
  p.SetRate(1);
  EXPECT_EQ(CapabilityOctets(true, p)[1], 0x42);
}

TEST(CapabilityOctets, DcsCarriesRateResolutionWidthAndScanTime) {
  SessionParameters p;
  p.scanCode = 3;
  p.SetRate(5);
  EXPECT_EQ(CapabilityOctets(false, p), (std::array<std::uint8_t, 4>{0x00, 0x12, 0xA8, 0x00}));
  p.fine = true;
  p.wide = true;
  p.scanCode = 4;
  p.SetRate(4);
  EXPECT_EQ(CapabilityOctets(false, p), (std::array<std::uint8_t, 4>{0x00, 0x46, 0xA9, 0x00}));
}

TEST(ParseCapabilities, DisChoosesTheBestCommonRateWithinTheDesiredOne) {
  // Only 0x04 in the rate bits: 9600 but not 7200.
  SessionParameters p = LocalUpTo(6);
  ParseCapabilities(p, true, 0x44, 0x70, false, false);
  EXPECT_EQ(p.bitRate, 9600);
  EXPECT_FALSE(p.remote.Has(3));
  EXPECT_TRUE(p.remoteCanFine);
  EXPECT_EQ(p.scanCode, 0);

  p = LocalUpTo(6);
  ParseCapabilities(p, true, 0x2C, 0x00, true, false);  // V.17: 14400
  EXPECT_EQ(p.bitRate, 14400);
  EXPECT_TRUE(p.fine);  // the page's resolution
  EXPECT_FALSE(p.remoteCanFine);
  EXPECT_EQ(p.scanCode, 5);

  p = LocalUpTo(6, 7200);
  ParseCapabilities(p, true, 0x2C, 0x00, false, false);
  EXPECT_EQ(p.bitRate, 7200);
  p = LocalUpTo(6, 1200);  // below every rate: 2400 is always acceptable
  ParseCapabilities(p, true, 0x2C, 0x00, false, false);
  EXPECT_EQ(p.bitRate, 2400);
}

TEST(ParseCapabilities, DcsRateAndScanCodes) {
  const std::pair<std::uint8_t, int> rates[] = {{0x20, 14400}, {0x10, 12000}, {0x00, 2400},
                                                {0x04, 9600},  {0x08, 4800},  {0x0C, 7200}};
  for (auto [bits, bps] : rates) {
    SessionParameters p;
    ParseCapabilities(p, false, bits, 0x20, false, false);
    EXPECT_EQ(p.bitRate, bps) << int(bits);
  }
  const int codes[8] = {5, 1, 3, 4, 7, 6, 2, 0};
  for (int bits = 0; bits < 8; ++bits) {
    SessionParameters p;
    ParseCapabilities(p, false, 0x44, static_cast<std::uint8_t>(bits << 4 | 1), false, false);
    EXPECT_EQ(p.scanCode, codes[bits]);
    EXPECT_TRUE(p.fine);
    EXPECT_TRUE(p.wide);
  }
}

TEST(StepDownRate, SkipsRatesEitherSideCannotUse) {
  SessionParameters p = LocalUpTo(6);
  ParseCapabilities(p, true, 0x24, 0x00, false, false);  // remote: 2400, 4800, 9600, 14400
  EXPECT_EQ(p.bitRate, 14400);
  ASSERT_TRUE(StepDownRate(p));
  EXPECT_EQ(p.bitRate, 9600);
  ASSERT_TRUE(StepDownRate(p));
  EXPECT_EQ(p.bitRate, 4800);
  ASSERT_TRUE(StepDownRate(p));
  EXPECT_EQ(p.bitRate, 2400);
  EXPECT_FALSE(StepDownRate(p));
  EXPECT_EQ(p.bitRate, 2400);
}

TEST(Class2Parameters, ReadsTheReportByPosition) {
  SessionParameters p;
  ParseClass2Parameters(p, "1,5,0,2,0,0,0,3");
  EXPECT_TRUE(p.fine);
  EXPECT_TRUE(p.remoteCanFine);
  EXPECT_EQ(p.bitRate, 14400);
  EXPECT_FALSE(p.wide);
  EXPECT_FALSE(p.errorCorrection);
  EXPECT_EQ(p.scanCode, 3);
  EXPECT_EQ(p.minBytesPerLine, 18);

  ParseClass2Parameters(p, "0, 3, 1, 2, 0, 1, 0, 0");  // blanks after the commas
  EXPECT_FALSE(p.fine);
  EXPECT_EQ(p.bitRate, 9600);
  EXPECT_TRUE(p.wide);
  EXPECT_TRUE(p.errorCorrection);
  ParseClass2Parameters(p, "0,9");  // short and out of range
  EXPECT_EQ(p.bitRate, 9600);
  EXPECT_EQ(p.scanCode, 0);
}

TEST(StationId, GoesOutRightAlignedAndReversed) {
  EXPECT_EQ(EncodeStationId("ABCDE"), std::string(15, ' ') + "EDCBA");
  EXPECT_EQ(DecodeStationId(std::string(15, ' ') + "EDCBA"), "ABCDE" + std::string(15, ' '));
  EXPECT_EQ(EncodeStationId("123456789012345678901234"), "09876543210987654321");
}

}  // namespace
}  // namespace tv
