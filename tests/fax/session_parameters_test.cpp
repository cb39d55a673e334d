#include "fax/session_parameters.h"

#include <gtest/gtest.h>

namespace tv {
namespace {

SessionParameters LocalUpTo(int index, int desiredBps = 14400) {
  SessionParameters p;
  for (int i = kV29_7200; i <= index; ++i) p.local.Add(i);
  p.desiredBps = desiredBps;
  return p;
}

T30Field Field(std::uint8_t octet2, std::uint8_t octet3) { return T30Field({0x00, octet2, octet3, 0x00}); }

TEST(ScanLines, TimesAndMinimumBytes) {
  EXPECT_EQ(ScanTimeMs(2, true), 5);
  EXPECT_EQ(ScanTimeMs(2, false), 10);
  EXPECT_EQ(ScanTimeMs(6, false), 40);
  EXPECT_EQ(MinBytesPerLine(2, true, 9600), 6);
  EXPECT_EQ(MinBytesPerLine(7, false, 14400), 72);
  EXPECT_EQ(MinBytesPerLine(0, false, 14400), 0);
}

TEST(CapabilityOctets, DisOffersEveryModemUpToTheReceiveRate) {
  SessionParameters p;
  p.SetRate(kV29_9600);
  EXPECT_EQ(CapabilityOctets(true, p), (std::array<std::uint8_t, 4>{0x00, 0x4E, 0xF9, 0x00}));
  // V.17 goes only with V.29 and V.27 ter: bits 11 to 14 as 1101.
  p.SetRate(kV17_14400);
  EXPECT_EQ(CapabilityOctets(true, p)[1], 0x6E);
  p.SetRate(kV17_12000);
  EXPECT_EQ(CapabilityOctets(true, p)[1], 0x6E);
  p.SetRate(kV17_9600);  // a V.17 modem held to 9600 offers no V.17
  EXPECT_EQ(CapabilityOctets(true, p)[1], 0x4E);
  p.SetRate(kV27ter2400);
  EXPECT_EQ(CapabilityOctets(true, p)[1], 0x42);
}

// Bits 11 to 14 of a DCS name the modulation, as T.30's Table 2 does:
// V.17 14400 0001, 12000 0101, 9600 1001, 7200 1101.
TEST(CapabilityOctets, DcsRateBitsAreT30sForEveryRateAndReadBackTheSame) {
  const std::pair<int, std::uint8_t> rates[] = {
      {kV17_14400, 0x20}, {kV17_12000, 0x28}, {kV17_9600, 0x24}, {kV17_7200, 0x2C},
      {kV29_9600, 0x04},  {kV29_7200, 0x0C},  {kV27ter4800, 0x08}, {kV27ter2400, 0x00}};
  for (const auto& [index, bits] : rates) {
    SessionParameters p;
    p.SetRate(index);
    const auto octets = CapabilityOctets(false, p);
    EXPECT_EQ(octets[1] & 0x3C, bits) << RateAt(index).bps;
    SessionParameters read;
    ParseCapabilities(read, false, T30Field(octets), false, false);
    EXPECT_EQ(read.rateIndex, index) << RateAt(index).bps;
    EXPECT_STREQ(read.Modulation(), RateAt(index).modulation);
  }
  SessionParameters p;
  p.SetRate(kV17_9600);
  EXPECT_STREQ(p.Modulation(), "97");
  EXPECT_STREQ(p.PageModulation(), "98");
}

// The DCS says the resolution, the width, the scan time, and the longest
// page length the DIS offered.
TEST(CapabilityOctets, DcsCarriesResolutionWidthLengthAndScanTime) {
  SessionParameters p;
  p.scanCode = 3;
  p.SetRate(kV17_12000);
  EXPECT_EQ(CapabilityOctets(false, p), (std::array<std::uint8_t, 4>{0x00, 0x2A, 0xA0, 0x00}));
  p.fine = true;
  p.wide = true;
  p.scanCode = 4;
  p.remoteLength = RecordingLength::kB4;
  p.SetRate(kV29_9600);
  EXPECT_EQ(CapabilityOctets(false, p), (std::array<std::uint8_t, 4>{0x00, 0x46, 0xA9, 0x00}));
  p.remoteLength = RecordingLength::kUnlimited;
  EXPECT_EQ(CapabilityOctets(false, p)[2], 0xA5);
}

TEST(ParseCapabilities, DisChoosesTheBestCommonRateWithinTheDesiredOne) {
  SessionParameters p = LocalUpTo(kV17_14400);
  ParseCapabilities(p, true, Field(0x44, 0x70), false, false);  // V.29 only
  EXPECT_EQ(p.bitRate, 9600);
  EXPECT_STREQ(p.Modulation(), "96");
  EXPECT_TRUE(p.remote.Has(kV29_7200));
  EXPECT_FALSE(p.remote.Has(kV27ter4800));
  EXPECT_FALSE(p.remote.Has(kV17_9600));
  EXPECT_TRUE(p.remoteCanFine);
  EXPECT_EQ(p.scanCode, 0);

  p = LocalUpTo(kV17_14400);
  ParseCapabilities(p, true, Field(0x2C, 0x00), true, false);  // V.17 with V.29 and V.27 ter
  EXPECT_EQ(p.bitRate, 14400);
  EXPECT_TRUE(p.fine);  // the page's resolution
  EXPECT_FALSE(p.remoteCanFine);
  EXPECT_EQ(p.scanCode, 5);
  EXPECT_FALSE(p.remoteCanWide);
  EXPECT_EQ(p.remoteLength, RecordingLength::kA4);

  p = LocalUpTo(kV17_14400, 12000);
  ParseCapabilities(p, true, Field(0x2C, 0x00), false, false);
  EXPECT_EQ(p.bitRate, 12000);
  p = LocalUpTo(kV29_9600, 14400);  // a V.29 modem: 9600 over V.29
  ParseCapabilities(p, true, Field(0x2C, 0x00), false, false);
  EXPECT_STREQ(p.Modulation(), "96");
  p = LocalUpTo(kV17_14400, 1200);  // below every rate: 2400 is always acceptable
  ParseCapabilities(p, true, Field(0x2C, 0x00), false, false);
  EXPECT_EQ(p.bitRate, 2400);
}

TEST(ParseCapabilities, DisWidthsAndLengths) {
  SessionParameters p;
  ParseCapabilities(p, true, Field(0x00, 0x02), false, false);  // up to A3 takes B4 as well
  EXPECT_TRUE(p.remoteCanWide);
  ParseCapabilities(p, true, Field(0x00, 0x05), false, false);
  EXPECT_TRUE(p.remoteCanWide);
  EXPECT_EQ(p.remoteLength, RecordingLength::kUnlimited);
  ParseCapabilities(p, true, Field(0x00, 0x08), false, false);
  EXPECT_FALSE(p.remoteCanWide);
  EXPECT_EQ(p.remoteLength, RecordingLength::kB4);
}

TEST(ParseCapabilities, DcsScanCodes) {
  const int codes[8] = {5, 1, 3, 4, 7, 6, 2, 0};
  for (int bits = 0; bits < 8; ++bits) {
    SessionParameters p;
    ParseCapabilities(p, false, Field(0x44, static_cast<std::uint8_t>(bits << 4 | 1)), false, false);
    EXPECT_EQ(p.scanCode, codes[bits]);
    EXPECT_TRUE(p.fine);
    EXPECT_TRUE(p.wide);
  }
}

// A V.17 link falls back through every V.17 rate, then through V.29; rates
// the far end lacks (here V.27 ter's 4800) are passed over.
TEST(StepDownRate, FallsBackThroughEveryRateBothSidesHave) {
  SessionParameters p = LocalUpTo(kV17_14400);
  ParseCapabilities(p, true, Field(0x24, 0x00), false, false);  // V.29 and V.17, no V.27 ter
  std::vector<std::string> steps = {p.Modulation()};
  while (StepDownRate(p)) steps.push_back(p.Modulation());
  EXPECT_EQ(steps, (std::vector<std::string>{"145", "121", "97", "96", "73", "72", "24"}));
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

// The ID goes out last character first, then the blanks: a far end that
// reads the octets back and drops trailing blanks shows the ID alone.
TEST(StationId, GoesOutReversedBeforeItsBlanksAndReadsBackWithoutThem) {
  EXPECT_EQ(EncodeStationId("ABCDE"), "EDCBA" + std::string(15, ' '));
  EXPECT_EQ(DecodeStationId("EDCBA" + std::string(15, ' ')), "ABCDE");
  EXPECT_EQ(DecodeStationId(std::string(15, ' ') + "EDCBA"), "ABCDE");
  EXPECT_EQ(EncodeStationId("123456789012345678901234"), "09876543210987654321");
}

}  // namespace
}  // namespace tv
