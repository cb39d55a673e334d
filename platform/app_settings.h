// The settings record kept in TV.INI, window placements and the port mapping.
#pragma once

#include <cstdint>
#include <string>

#include "platform/ini_file.h"

namespace tv {

struct AppSettings {
  // [User]
  std::string Fax;
  std::string Name;
  std::string Voice;
  std::string Company;
  // [Dialing]
  std::string DialPrefix;
  std::int32_t DialAttempts = 3;
  std::int32_t RetryWait = 60;
  bool BlindDial = false;
  bool IgnoreBusy = false;
  std::int32_t ToneOrPulse = 0;  // 0 tone, 1 pulse
  std::int32_t Timeout = 60;
  // [Modem]
  std::string InitString;
  std::int32_t ComPort = -1;  // 0..5 for COM1..COM6; -1 never configured
  std::int32_t FaxClass = 0;  // 0 automatic, 1 class 1, 2 class 2, 3 class 2.0
  std::int32_t MaximumBPS = 14400;  // the fastest rate; the modem and the far end settle lower
  bool ECM = true;                  // error correction where the far end has it
  std::string Coding = "MMR";       // the best page coding offered: MMR, MR or MH
  // [Resetting]
  std::string ResetString = "AT&F";
  bool ResetAlways = false;
  // [Receive]
  std::string Wav;
  std::int32_t AnswerOnRing = 1;
  bool StartReceiving = false;  // receive mode from the start of the program
  // [Hints]
  bool HintsOn = true;
  // [Documents]: read only (no dialog changes it; saving keeps what is there).
  // Pages a document made into a fax may have.
  std::int32_t MaxPages = 500;
};

AppSettings LoadSettings(const std::string& iniPath);
// Writes all twenty-three keys in their fixed order; raises IniWriteError.
void SaveSettings(const AppSettings& settings, const std::string& iniPath);

// A window's normal-position bounds, kept in the section named after its
// class plus "_Placement" (plus the screen's dots per inch above 96).
struct FormPlacement {
  std::int32_t Left = 0;
  std::int32_t Top = 0;
  std::int32_t Right = 0;
  std::int32_t Bottom = 0;
  bool Maximized = false;
};

std::string PlacementSection(const std::string& className, int dotsPerInch);
FormPlacement ReadFormPlacement(const IniFile& ini, const std::string& className, int dotsPerInch,
                                bool designMaximized);
void WriteFormPlacement(IniFile& ini, const std::string& className, int dotsPerInch, const FormPlacement& placement);

// Shifts a placement left and up so it fits a screen of the given size.
FormPlacement ClampPlacementToScreen(FormPlacement placement, int screenWidth, int screenHeight);

// The device of COMn: key COMn of [Ports] when present, else /dev/ttyS<n-1>.
std::string ComDevicePath(const IniFile& ini, int comNumber);
// Maps COMn to a device in [Ports] of the settings file; raises IniWriteError.
void MapComDevice(const std::string& iniPath, int comNumber, const std::string& device);

// Transfer-rate index of the rate list (2400 ... 14400) to bits per second.
std::int32_t RateIndexToBps(std::int32_t index);
std::int32_t BpsToRateIndex(std::int32_t bps);

}  // namespace tv
