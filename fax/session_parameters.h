// The parameters a fax session negotiates, and the Class 1 rules that fill
// them: the modulations and their rates, minimum scan-line times, the
// information fields of DIS and DCS frames, rate step-down, and the parse of
// Class 2 and 2.0 session reports.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "fax/t30.h"
#include "image/t4_2d_coding.h"

namespace tv {

// The modulations of a Class 1 session, slowest first: the rate index of a
// session names one. Stepping down after a failed training goes to the next
// one below that both modems have, so a V.17 link falls back through every
// V.17 rate before it leaves V.17.
enum RateIndex : int {
  kV27ter2400 = 1,
  kV27ter4800,
  kV29_7200,
  kV17_7200,
  kV29_9600,
  kV17_9600,
  kV17_12000,
  kV17_14400,
};
inline constexpr int kMinRateIndex = kV27ter2400;
inline constexpr int kMaxRateIndex = kV17_14400;

struct FaxRate {
  int bps;
  std::string_view dcsBits;    // bits 11 to 14 of a DCS naming it
  const char* modulation;      // AT+FTM= / AT+FRM= for the training
  const char* pageModulation;  // the same for page data (short training after V.17's long one)
};
const FaxRate& RateAt(int index);  // index 1..8; anything else reads as nothing (0 bit/s)
// The index a Class 2 report's rate stands for (its V.29 one at 7200 and 9600).
int RateIndexForBps(int bps);

// Which rate indexes a modem can use.
struct RateSet {
  std::array<bool, kMaxRateIndex + 1> usable{};  // [0] unused
  static RateSet Basic();                          // 2400 and 4800, which every fax modem has
  bool Has(int index) const { return index >= kMinRateIndex && index <= kMaxRateIndex && usable[index]; }
  void Add(int index) { usable[static_cast<std::size_t>(index)] = true; }
};

// The page lengths a far end records, as its DIS offers them.
enum class RecordingLength { kA4, kB4, kUnlimited };

struct SessionParameters {
  bool fine = false;             // this page (or session) at fine resolution
  bool wide = false;             // 2048-pixel lines
  bool errorCorrection = false;  // the page goes in frames, each checked and sent again if damaged
  T4Coding coding = T4Coding::kMh;  // the page data's coding
  int ecmFrameBytes = 256;       // the data octets of a full error-correction frame
  bool remoteCanFine = false;
  bool remoteCanWide = false;
  RecordingLength remoteLength = RecordingLength::kA4;
  int scanCode = 0;              // minimum scan-line time code 0..7
  int minBytesPerLine = 0;
  int rateIndex = 0;             // 1..8, 0 before negotiation
  int bitRate = 0;
  int desiredBps = 9600;         // the highest rate the user allows
  RateSet local = RateSet::Basic();
  RateSet remote = RateSet::Basic();
  // What the user allows: error correction, and the best coding (MMR only
  // with error correction).
  bool allowErrorCorrection = false;
  T4Coding codingLimit = T4Coding::kMh;
  bool remoteCanErrorCorrection = false;
  T4Coding remoteCodingLimit = T4Coding::kMh;

  // The modulation for training (AT+FTM= before TCF, AT+FRM= for it).
  const char* Modulation() const { return RateAt(rateIndex).modulation; }
  // The modulation for page data.
  const char* PageModulation() const { return RateAt(rateIndex).pageModulation; }
  // Takes the rate of an index and recomputes the minimum bytes per line.
  void SetRate(int index);
};

// Minimum scan-line time in milliseconds for a scan code 0..7.
int ScanTimeMs(int scanCode, bool fine);
// Bytes a coded line must at least have: time x bit rate / 8000.
int MinBytesPerLine(int scanCode, bool fine, int bps);

// The best coding both ends take, and whether the page goes with error
// correction: MMR only with it, MR and MH either way.
void ChooseCoding(SessionParameters& params);
// "MH", "MR" or "MMR", with " ECM" when error correction is on.
std::string CodingName(const SessionParameters& params);
// What a call used beyond plain one-dimensional pages, in words ("MMR with
// error correction", "MR"); empty for MH without error correction.
std::string CodingNote(const SessionParameters& params);

// The information field of a DIS (the receiver's capabilities, offering the
// rates up to the one of its rate index) or a DCS (the sender's choice for
// the next page, within what the far end's DIS offered).
T30Field CapabilityField(bool isDIS, const SessionParameters& params);
std::array<std::uint8_t, 4> CapabilityOctets(bool isDIS, const SessionParameters& params);

// Reads a received DIS or DCS into the parameters. For a DIS, pageFine and
// pageWide describe the page about to be sent and the rate becomes the best
// one both ends can use, no faster than desiredBps.
void ParseCapabilities(SessionParameters& params, bool isDIS, const T30Field& field, bool pageFine, bool pageWide);

// The rate index bits 11 to 14 of a DCS (or a CTC) name.
int DcsRateIndex(const T30Field& field);

// Lowers the rate to the next one both ends can use; false when none is left.
bool StepDownRate(SessionParameters& params);

// A +FDCS, +FDIS, +FCS or +FIS report (prefix already stripped, for example
// "1,5,0,2,0,0,0,3"): resolution, bit rate, width, error correction and scan
// time by their positions in the comma list.
void ParseClass2Parameters(SessionParameters& params, std::string_view report);

// The bit-rate digit of Class 2 and 2.0 parameter lists: 0 2400, 1 4800,
// 2 7200, 4 12000, 5 14400, 3 for 9600 and every other rate.
char Class2BitRateCode(int bps);

// The 20 identification octets of a TSI or CSI frame. They carry the ID
// from its last character to its first, then the blanks that fill them up:
// a far end that reads them back and drops the blanks shows the ID alone.
std::string EncodeStationId(std::string_view id);
// Back to reading order; blanks either side are the sender's padding.
std::string DecodeStationId(std::string_view octets);

}  // namespace tv
