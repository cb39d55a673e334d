#include "fax/session_parameters.h"

#include <algorithm>
#include <vector>

namespace tv {

namespace {

constexpr FaxRate kRates[] = {{0, ""},        {2400, "24"},   {4800, "48"},  {7200, "72"},
                              {9600, "96"},   {12000, "121"}, {14400, "145"}};

// Minimum scan-line time in ms by scan code: standard / fine.
constexpr int kScanTimeMs[8][2] = {{0, 0}, {5, 5}, {10, 5}, {10, 10}, {20, 10}, {20, 20}, {40, 20}, {40, 40}};

// DCS scan-time bits by scan code: standard / fine.
constexpr std::uint8_t kDcsScanBits[8][2] = {{0x70, 0x70}, {0x10, 0x10}, {0x20, 0x10}, {0x20, 0x20},
                                             {0x00, 0x20}, {0x00, 0x00}, {0x40, 0x00}, {0x40, 0x40}};

// Scan code of the scan-time bits (octet 3 & 0x70) of a DIS or DCS.
constexpr int kScanCodeOfBits[8] = {5, 1, 3, 4, 7, 6, 2, 0};

std::uint8_t RateBits(bool isDIS, int rateIndex) {
  switch (rateIndex) {
    case 1:
      return 0x00;
    case 2:
      return 0x08;
    case 3:
      return 0x0C;
    // A DIS says "V.17" (bits 11 to 14 set as 1101, with V.29 and V.27 ter)
    // for either V.17 rate; the rate bits of a DCS name the one chosen.
    case 5:
      return isDIS ? 0x2C : 0x10;
    case 6:
      return isDIS ? 0x2C : 0x20;
    default:
      return isDIS ? 0x0C : 0x04;
  }
}

int DcsRateIndex(std::uint8_t octet2) {
  if (octet2 & 0x20) return 6;
  if (octet2 & 0x10) return 5;
  switch (octet2 & 0x0C) {
    case 0x00:
      return 1;
    case 0x04:
      return 4;
    case 0x08:
      return 2;
    default:
      return 3;
  }
}

}  // namespace

const FaxRate& RateAt(int index) { return kRates[std::clamp(index, 0, kMaxRateIndex)]; }

RateSet RateSet::Basic() {
  RateSet set;
  set.Add(1);
  set.Add(2);
  return set;
}

const char* SessionParameters::PageModulation() const {
  switch (rateIndex) {
    case 5:
      return "122";
    case 6:
      return "146";
    default:
      return Modulation();
  }
}

void SessionParameters::SetRate(int index) {
  rateIndex = index;
  bitRate = RateAt(index).bps;
  minBytesPerLine = MinBytesPerLine(scanCode, fine, bitRate);
}

int ScanTimeMs(int scanCode, bool fine) { return kScanTimeMs[std::clamp(scanCode, 0, 7)][fine ? 1 : 0]; }

int MinBytesPerLine(int scanCode, bool fine, int bps) { return ScanTimeMs(scanCode, fine) * bps / 8000; }

std::array<std::uint8_t, 4> CapabilityOctets(bool isDIS, const SessionParameters& p) {
  std::uint8_t octet2 = (isDIS || p.fine) ? 0x42 : 0x02;
  octet2 |= RateBits(isDIS, p.rateIndex);
  std::uint8_t octet3 = isDIS ? 0xF8 : static_cast<std::uint8_t>(kDcsScanBits[std::clamp(p.scanCode, 0, 7)][p.fine] | 0x88);
  if (isDIS || p.wide) octet3 |= 0x01;
  return {0x00, octet2, octet3, 0x00};
}

void ParseCapabilities(SessionParameters& p, bool isDIS, std::uint8_t octet2, std::uint8_t octet3, bool pageFine,
                       bool pageWide) {
  p.remote = RateSet::Basic();
  if (isDIS) {
    if (octet2 & 0x20) p.remote.Add(6);
    if (octet2 & 0x10) p.remote.Add(5);
    if ((octet2 & 0x0C) == 0x04) p.remote.Add(4);
    if ((octet2 & 0x0C) == 0x0C) {
      p.remote.Add(3);
      p.remote.Add(4);
    }
  }
  p.fine = isDIS ? pageFine : (octet2 & 0x40) != 0;
  p.wide = isDIS ? pageWide : (octet3 & 3) == 1;
  p.errorCorrection = false;
  if (isDIS) {
    p.remoteCanFine = (octet2 & 0x40) != 0;
    p.remoteCanWide = (octet3 & 3) == 1;
  }
  p.scanCode = kScanCodeOfBits[(octet3 & 0x70) >> 4];

  int index = kMinRateIndex;
  if (isDIS) {
    // 2400 is always acceptable, even when the user asked for less.
    for (int i = kMaxRateIndex; i > kMinRateIndex; --i) {
      if (p.local.Has(i) && p.remote.Has(i) && RateAt(i).bps <= p.desiredBps) {
        index = i;
        break;
      }
    }
  } else {
    index = DcsRateIndex(octet2);
  }
  p.SetRate(index);
}

bool StepDownRate(SessionParameters& p) {
  int index = p.rateIndex - 1;
  while (index > 0 && !(p.local.Has(index) && p.remote.Has(index))) --index;
  if (index <= 0) return false;
  p.SetRate(index);
  return true;
}

void ParseClass2Parameters(SessionParameters& p, std::string_view report) {
  // Values by position: VR, BR, WD, LN, DF, EC, BF, ST.
  std::vector<std::string> values;
  std::string current;
  for (char c : report) {
    if (c == ',') {
      values.push_back(current);
      current.clear();
    } else if (c != ' ' && c != '\t') {
      current += c;
    }
  }
  values.push_back(current);
  auto value = [&](std::size_t i) { return i < values.size() ? values[i] : std::string(); };

  static constexpr int kClass2Bps[] = {2400, 4800, 7200, 9600, 12000, 14400};
  const std::string br = value(1);
  const int brDigit = br.size() == 1 && br[0] >= '0' && br[0] <= '5' ? br[0] - '0' : 3;
  p.bitRate = kClass2Bps[brDigit];
  p.rateIndex = brDigit + 1;
  p.fine = p.remoteCanFine = value(0) == "1";
  p.wide = p.remoteCanWide = value(2) == "1";
  p.errorCorrection = value(5) == "1" || value(5) == "2";
  const std::string st = value(7);
  p.scanCode = st.size() == 1 && st[0] >= '0' && st[0] <= '7' ? st[0] - '0' : 0;
  p.minBytesPerLine = MinBytesPerLine(p.scanCode, p.fine, p.bitRate);
}

char Class2BitRateCode(int bps) {
  switch (bps) {
    case 2400:
      return '0';
    case 4800:
      return '1';
    case 7200:
      return '2';
    case 12000:
      return '4';
    case 14400:
      return '5';
    default:
      return '3';
  }
}

std::string EncodeStationId(std::string_view id) {
  id = id.substr(0, 20);
  std::string octets(20 - id.size(), ' ');
  octets.append(id.rbegin(), id.rend());
  return octets;
}

std::string DecodeStationId(std::string_view octets) { return std::string(octets.rbegin(), octets.rend()); }

}  // namespace tv
