// The parameters a fax session negotiates, and the Class 1 rules that fill
// them: the rate table, minimum scan-line times, the capability octets of
// DIS and DCS frames, rate step-down, and the parse of Class 2 and 2.0
// session reports.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace tv {

// Rate index 1..6: bit rate and Class 1 modulation code (for AT+FTM= / AT+FRM=).
struct FaxRate {
  int bps;
  const char* modulation;
};
inline constexpr int kMinRateIndex = 1;
inline constexpr int kMaxRateIndex = 6;
const FaxRate& RateAt(int index);  // index 1..6

// Which rate indexes a modem can use; 2400 and 4800 always can.
struct RateSet {
  std::array<bool, kMaxRateIndex + 1> usable{};  // [0] unused
  static RateSet Basic();                          // 2400 and 4800
  bool Has(int index) const { return index >= kMinRateIndex && index <= kMaxRateIndex && usable[index]; }
  void Add(int index) { usable[static_cast<std::size_t>(index)] = true; }
};

struct SessionParameters {
  bool fine = false;             // this page (or session) at fine resolution
  bool wide = false;             // 2048-pixel lines
  bool errorCorrection = false;  // never in Class 1
  bool remoteCanFine = false;
  bool remoteCanWide = false;
  int scanCode = 0;              // minimum scan-line time code 0..7
  int minBytesPerLine = 0;
  int rateIndex = 0;             // 1..6, 0 before negotiation
  int bitRate = 0;
  int desiredBps = 9600;         // the highest rate the user allows
  RateSet local = RateSet::Basic();
  RateSet remote = RateSet::Basic();

  // The modulation for training (AT+FTM= before TCF).
  const char* Modulation() const { return RateAt(rateIndex).modulation; }
  // The modulation for page data: after a trained V.17 link (12000, 14400)
  // the receiver expects the page with short training.
  const char* PageModulation() const;
  // Takes the rate of an index and recomputes the minimum bytes per line.
  void SetRate(int index);
};

// Minimum scan-line time in milliseconds for a scan code 0..7.
int ScanTimeMs(int scanCode, bool fine);
// Bytes a coded line must at least have: time x bit rate / 8000.
int MinBytesPerLine(int scanCode, bool fine, int bps);

// The four information octets of a DIS (the receiver's capabilities, with the
// rate index it offers) or a DCS (the sender's choice for the next page).
std::array<std::uint8_t, 4> CapabilityOctets(bool isDIS, const SessionParameters& params);

// Reads a received DIS or DCS into the parameters. For a DIS, pageFine and
// pageWide describe the page about to be sent and the rate becomes the best
// one both ends can use, no faster than desiredBps.
void ParseCapabilities(SessionParameters& params, bool isDIS, std::uint8_t octet2, std::uint8_t octet3,
                       bool pageFine, bool pageWide);

// Lowers the rate to the next one both ends can use; false when none is left.
bool StepDownRate(SessionParameters& params);

// A +FDCS, +FDIS, +FCS or +FIS report (prefix already stripped, for example
// "1,5,0,2,0,0,0,3"): resolution, bit rate, width, error correction and scan
// time by their positions in the comma list.
void ParseClass2Parameters(SessionParameters& params, std::string_view report);

// The bit-rate digit of Class 2 and 2.0 parameter lists: 0 2400, 1 4800,
// 2 7200, 4 12000, 5 14400, 3 for 9600 and every other rate.
char Class2BitRateCode(int bps);

// The 20 identification octets of a TSI or CSI frame: the station ID
// right-aligned and reversed, as the frames carry it.
std::string EncodeStationId(std::string_view id);
// Back to reading order (blanks the far end put in front end up at the end).
std::string DecodeStationId(std::string_view octets);

}  // namespace tv
