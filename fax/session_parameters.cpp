#include "fax/session_parameters.h"

#include <algorithm>
#include <vector>

#include "platform/text.h"

namespace tv {

namespace {

// Bits 11, 12, 13, 14 of a DCS as T.30 writes them, and the Class 1
// modulation codes of each.
constexpr FaxRate kRates[] = {
    {0, "", "", ""},
    {2400, "0000", "24", "24"},
    {4800, "0100", "48", "48"},
    {7200, "1100", "72", "72"},      // V.29
    {7200, "1101", "73", "74"},      // V.17
    {9600, "1000", "96", "96"},      // V.29
    {9600, "1001", "97", "98"},      // V.17
    {12000, "0101", "121", "122"},  // V.17
    {14400, "0001", "145", "146"},  // V.17
};

// Minimum scan-line time by scan code: bits 21, 22, 23 as T.30 writes them
// in a DIS, and the time at standard and at fine resolution.
struct ScanTime {
  std::string_view bits;
  int standardMs;
  int fineMs;
};
constexpr ScanTime kScanTimes[8] = {{"111", 0, 0},   {"100", 5, 5},   {"011", 10, 5},  {"010", 10, 10},
                                    {"110", 20, 10}, {"000", 20, 20}, {"101", 40, 20}, {"001", 40, 40}};

int ScanCodeOf(const T30Field& field) {
  for (int code = 0; code < 8; ++code) {
    if (field.Matches(t30bit::kFirstScanTimeBit, kScanTimes[code].bits)) return code;
  }
  return 0;
}

// A DCS names the one time the receiver is to keep: the pattern of the code
// whose two times are that time.
std::string_view DcsScanBits(int milliseconds) {
  for (const ScanTime& time : kScanTimes) {
    if (time.standardMs == milliseconds && time.fineMs == milliseconds) return time.bits;
  }
  return kScanTimes[0].bits;
}

// Rates a DIS offers: every fax modem has 2400, and each modem bit brings its rates.
RateSet OfferedRates(const T30Field& field) {
  RateSet rates;
  rates.Add(kV27ter2400);
  if (field.Has(t30bit::kV27ter)) rates.Add(kV27ter4800);
  if (field.Has(t30bit::kV29)) {
    rates.Add(kV29_7200);
    rates.Add(kV29_9600);
  }
  if (field.Has(t30bit::kV17)) {
    for (int index : {kV17_7200, kV17_9600, kV17_12000, kV17_14400}) rates.Add(index);
  }
  return rates;
}

// What our DIS says of our modems: all of them up to the fastest rate offered.
// T.30 gives V.17 only together with V.29 and V.27 ter.
void OfferRates(T30Field& field, int bps) {
  field.Set(t30bit::kV27ter, bps >= 4800);
  field.Set(t30bit::kV29, bps >= 7200);
  field.Set(t30bit::kV17, bps >= 12000);
}

}  // namespace

const FaxRate& RateAt(int index) { return kRates[index >= kMinRateIndex && index <= kMaxRateIndex ? index : 0]; }

int DcsRateIndex(const T30Field& field) {
  for (int index = kMinRateIndex; index <= kMaxRateIndex; ++index) {
    if (field.Matches(t30bit::kFirstRateBit, kRates[index].dcsBits)) return index;
  }
  // A pattern T.30 gives no rate: the training at 2400 fails and the caller
  // is asked for another one.
  return kV27ter2400;
}

int RateIndexForBps(int bps) {
  for (int index = kMinRateIndex; index <= kMaxRateIndex; ++index) {
    if (kRates[index].bps == bps) return index;
  }
  return kV29_9600;
}

RateSet RateSet::Basic() {
  RateSet set;
  set.Add(kV27ter2400);
  set.Add(kV27ter4800);
  return set;
}

void SessionParameters::SetRate(int index) {
  rateIndex = index;
  bitRate = RateAt(index).bps;
  // Frames are stored before they are printed: no line needs a minimum time.
  minBytesPerLine = errorCorrection ? 0 : MinBytesPerLine(scanCode, fine, bitRate);
}

int ScanTimeMs(int scanCode, bool fine) {
  const ScanTime& time = kScanTimes[std::clamp(scanCode, 0, 7)];
  return fine ? time.fineMs : time.standardMs;
}

int MinBytesPerLine(int scanCode, bool fine, int bps) { return ScanTimeMs(scanCode, fine) * bps / 8000; }

void ChooseCoding(SessionParameters& p) {
  p.errorCorrection = p.allowErrorCorrection && p.remoteCanErrorCorrection;
  T4Coding best = std::min(p.codingLimit, p.remoteCodingLimit);
  if (best == T4Coding::kMmr && !p.errorCorrection) best = T4Coding::kMr;
  p.coding = best;
}

std::string CodingName(const SessionParameters& p) {
  return std::string(T4CodingName(p.coding)) + (p.errorCorrection ? " ECM" : "");
}

std::string CodingNote(const SessionParameters& p) {
  if (p.coding == T4Coding::kMh && !p.errorCorrection) return {};
  return std::string(T4CodingName(p.coding)) + (p.errorCorrection ? " with error correction" : "");
}

T30Field CapabilityField(bool isDIS, const SessionParameters& p) {
  T30Field field;
  field.Set(t30bit::kReceiverFax);
  if (isDIS) {
    OfferRates(field, RateAt(p.rateIndex).bps);
    field.Set(t30bit::kFine);
    field.Set(t30bit::kWidth255mm);
    field.Set(t30bit::kLengthB4);
    field.SetPattern(t30bit::kFirstScanTimeBit, kScanTimes[0].bits);
    field.Set(t30bit::kTwoDimensional, p.codingLimit != T4Coding::kMh);
    field.Set(t30bit::kErrorCorrection, p.allowErrorCorrection);
    field.Set(t30bit::kT6Coding, p.allowErrorCorrection && p.codingLimit == T4Coding::kMmr);
  } else {
    field.SetPattern(t30bit::kFirstRateBit, RateAt(p.rateIndex).dcsBits);
    field.Set(t30bit::kFine, p.fine);
    field.Set(t30bit::kWidth255mm, p.wide);
    // The longest length the far end records: our pages have no fixed length.
    field.Set(t30bit::kLengthUnlimited, p.remoteLength == RecordingLength::kUnlimited);
    field.Set(t30bit::kLengthB4, p.remoteLength == RecordingLength::kB4);
    field.SetPattern(t30bit::kFirstScanTimeBit, DcsScanBits(p.errorCorrection ? 0 : ScanTimeMs(p.scanCode, p.fine)));
    field.Set(t30bit::kTwoDimensional, p.coding == T4Coding::kMr);
    field.Set(t30bit::kT6Coding, p.coding == T4Coding::kMmr);
    field.Set(t30bit::kErrorCorrection, p.errorCorrection);
    field.Set(t30bit::kEcmFrame64, p.errorCorrection && p.ecmFrameBytes == 64);
  }
  field.Set(t30bit::kExtend);  // to the fourth octet, which asks for nothing more
  return field;
}

std::array<std::uint8_t, 4> CapabilityOctets(bool isDIS, const SessionParameters& p) {
  return CapabilityField(isDIS, p).Octets();
}

void ParseCapabilities(SessionParameters& p, bool isDIS, const T30Field& field, bool pageFine, bool pageWide) {
  p.scanCode = ScanCodeOf(field);
  if (!isDIS) {
    p.fine = field.Has(t30bit::kFine);
    p.wide = field.Has(t30bit::kWidth255mm);
    p.errorCorrection = field.Has(t30bit::kErrorCorrection);
    p.ecmFrameBytes = field.Has(t30bit::kEcmFrame64) ? 64 : 256;
    p.coding = field.Has(t30bit::kT6Coding)        ? T4Coding::kMmr
               : field.Has(t30bit::kTwoDimensional) ? T4Coding::kMr
                                                    : T4Coding::kMh;
    p.SetRate(DcsRateIndex(field));
    return;
  }
  p.remoteCanErrorCorrection = field.Has(t30bit::kErrorCorrection);
  p.remoteCodingLimit = field.Has(t30bit::kT6Coding) && p.remoteCanErrorCorrection ? T4Coding::kMmr
                        : field.Has(t30bit::kTwoDimensional)                        ? T4Coding::kMr
                                                                                     : T4Coding::kMh;
  ChooseCoding(p);
  p.ecmFrameBytes = 256;
  p.remote = OfferedRates(field);
  p.remoteCanFine = field.Has(t30bit::kFine);
  // A far end taking 303 mm lines takes 255 mm ones as well.
  p.remoteCanWide = field.Has(t30bit::kWidth255mm) || field.Has(t30bit::kWidth303mm);
  p.remoteLength = field.Has(t30bit::kLengthUnlimited) ? RecordingLength::kUnlimited
                   : field.Has(t30bit::kLengthB4)      ? RecordingLength::kB4
                                                       : RecordingLength::kA4;
  p.fine = pageFine;
  p.wide = pageWide;
  // 2400 is always acceptable, even when the user asked for less.
  int index = kMinRateIndex;
  for (int i = kMaxRateIndex; i > kMinRateIndex; --i) {
    if (p.local.Has(i) && p.remote.Has(i) && RateAt(i).bps <= p.desiredBps) {
      index = i;
      break;
    }
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
  p.fine = p.remoteCanFine = value(0) == "1";
  p.wide = p.remoteCanWide = value(2) == "1";
  p.errorCorrection = value(5) == "1" || value(5) == "2";
  const std::string st = value(7);
  p.scanCode = st.size() == 1 && st[0] >= '0' && st[0] <= '7' ? st[0] - '0' : 0;
  p.SetRate(RateIndexForBps(kClass2Bps[brDigit]));
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
  std::string octets(id.rbegin(), id.rend());
  octets.resize(20, ' ');
  return octets;
}

std::string DecodeStationId(std::string_view octets) { return TrimText(std::string(octets.rbegin(), octets.rend())); }

}  // namespace tv
