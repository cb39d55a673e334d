#include "platform/app_settings.h"

#include <algorithm>
#include <array>

namespace tv {

namespace {

constexpr std::array<std::int32_t, 6> kRates = {2400, 4800, 7200, 9600, 12000, 14400};

}  // namespace

AppSettings LoadSettings(const std::string& iniPath) {
  const IniFile ini(iniPath);
  const AppSettings d;
  AppSettings s;
  s.Fax = ini.ReadString("User", "Fax", d.Fax);
  s.Name = ini.ReadString("User", "Name", d.Name);
  s.Voice = ini.ReadString("User", "Voice", d.Voice);
  s.Company = ini.ReadString("User", "Company", d.Company);
  s.DialPrefix = ini.ReadString("Dialing", "DialPrefix", d.DialPrefix);
  s.InitString = ini.ReadString("Modem", "InitString", d.InitString);
  s.DialAttempts = ini.ReadInteger("Dialing", "DialAttempts", d.DialAttempts);
  s.RetryWait = ini.ReadInteger("Dialing", "RetryWait", d.RetryWait);
  s.BlindDial = ini.ReadBool("Dialing", "BlindDial", d.BlindDial);
  s.IgnoreBusy = ini.ReadBool("Dialing", "IgnoreBusy", d.IgnoreBusy);
  s.ComPort = ini.ReadInteger("Modem", "ComPort", d.ComPort);
  s.FaxClass = ini.ReadInteger("Modem", "FaxClass", d.FaxClass);
  s.MaximumBPS = ini.ReadInteger("Modem", "MaximumBPS", d.MaximumBPS);
  s.ECM = ini.ReadBool("Modem", "ECM", d.ECM);
  s.Coding = ini.ReadString("Modem", "Coding", d.Coding);
  s.ToneOrPulse = ini.ReadInteger("Dialing", "ToneOrPulse", d.ToneOrPulse);
  s.Timeout = ini.ReadInteger("Dialing", "Timeout", d.Timeout);
  s.ResetString = ini.ReadString("Resetting", "String", d.ResetString);
  s.ResetAlways = ini.ReadBool("Resetting", "Always", d.ResetAlways);
  s.Wav = ini.ReadString("Receive", "Wav", d.Wav);
  s.AnswerOnRing = ini.ReadInteger("Receive", "AnswerOnRing", d.AnswerOnRing);
  s.StartReceiving = ini.ReadBool("Receive", "StartReceiving", d.StartReceiving);
  s.HintsOn = ini.ReadBool("Hints", "On", d.HintsOn);
  s.MaxPages = ini.ReadInteger("Documents", "MaxPages", d.MaxPages);
  return s;
}

void SaveSettings(const AppSettings& s, const std::string& iniPath) {
  IniFile ini(iniPath);
  ini.WriteString("User", "Fax", s.Fax);
  ini.WriteString("User", "Name", s.Name);
  ini.WriteString("User", "Voice", s.Voice);
  ini.WriteString("User", "Company", s.Company);
  ini.WriteString("Dialing", "DialPrefix", s.DialPrefix);
  ini.WriteString("Modem", "InitString", s.InitString);
  ini.WriteInteger("Dialing", "DialAttempts", s.DialAttempts);
  ini.WriteInteger("Dialing", "RetryWait", s.RetryWait);
  ini.WriteBool("Dialing", "BlindDial", s.BlindDial);
  ini.WriteBool("Dialing", "IgnoreBusy", s.IgnoreBusy);
  ini.WriteInteger("Modem", "ComPort", s.ComPort);
  ini.WriteInteger("Modem", "FaxClass", s.FaxClass);
  ini.WriteInteger("Modem", "MaximumBPS", s.MaximumBPS);
  ini.WriteBool("Modem", "ECM", s.ECM);
  ini.WriteString("Modem", "Coding", s.Coding);
  ini.WriteInteger("Dialing", "ToneOrPulse", s.ToneOrPulse);
  ini.WriteInteger("Dialing", "Timeout", s.Timeout);
  ini.WriteString("Resetting", "String", s.ResetString);
  ini.WriteBool("Resetting", "Always", s.ResetAlways);
  ini.WriteString("Receive", "Wav", s.Wav);
  ini.WriteInteger("Receive", "AnswerOnRing", s.AnswerOnRing);
  ini.WriteBool("Receive", "StartReceiving", s.StartReceiving);
  ini.WriteBool("Hints", "On", s.HintsOn);
  ini.Save();
}

std::string PlacementSection(const std::string& className, int dotsPerInch) {
  std::string section = className + "_Placement";
  if (dotsPerInch > 96) section += std::to_string(dotsPerInch);
  return section;
}

FormPlacement ReadFormPlacement(const IniFile& ini, const std::string& className, int dotsPerInch,
                                bool designMaximized) {
  const std::string section = PlacementSection(className, dotsPerInch);
  FormPlacement p;
  p.Left = ini.ReadInteger(section, "Left", 0);
  p.Top = ini.ReadInteger(section, "Top", 0);
  p.Right = ini.ReadInteger(section, "Right", 0);
  p.Bottom = ini.ReadInteger(section, "Bottom", 0);
  p.Maximized = ini.ReadBool(section, "Maximized", designMaximized);
  return p;
}

void WriteFormPlacement(IniFile& ini, const std::string& className, int dotsPerInch, const FormPlacement& p) {
  const std::string section = PlacementSection(className, dotsPerInch);
  ini.WriteInteger(section, "Left", p.Left);
  ini.WriteInteger(section, "Top", p.Top);
  ini.WriteInteger(section, "Right", p.Right);
  ini.WriteInteger(section, "Bottom", p.Bottom);
  ini.WriteBool(section, "Maximized", p.Maximized);
}

FormPlacement ClampPlacementToScreen(FormPlacement p, int screenWidth, int screenHeight) {
  if (p.Right > screenWidth) {
    p.Left -= p.Right - screenWidth;
    p.Right = screenWidth;
  }
  if (p.Bottom > screenHeight) {
    p.Top -= p.Bottom - screenHeight;
    p.Bottom = screenHeight;
  }
  return p;
}

std::string ComDevicePath(const IniFile& ini, int comNumber) {
  const std::string key = "COM" + std::to_string(comNumber);
  if (auto mapped = ini.Find("Ports", key); mapped && !mapped->empty()) return *mapped;
  return "/dev/ttyS" + std::to_string(comNumber - 1);
}

void MapComDevice(const std::string& iniPath, int comNumber, const std::string& device) {
  IniFile ini(iniPath);
  ini.WriteString("Ports", "COM" + std::to_string(comNumber), device);
  ini.Save();
}

std::int32_t RateIndexToBps(std::int32_t index) {
  return (index >= 0 && index < static_cast<std::int32_t>(kRates.size())) ? kRates[static_cast<std::size_t>(index)]
                                                                           : 9600;
}

std::int32_t BpsToRateIndex(std::int32_t bps) {
  const auto it = std::find(kRates.begin(), kRates.end(), bps);
  return it == kRates.end() ? 3 : static_cast<std::int32_t>(it - kRates.begin());
}

}  // namespace tv
