#include "export/export_settings.h"

#include <array>
#include <utility>

#include "image/document_input.h"
#include "platform/ini_file.h"
#include "platform/text.h"

namespace tv {

namespace {

constexpr char kSection[] = "Export";

constexpr std::array<std::pair<DeliveryReportWhen, const char*>, 3> kReportWhen = {{
    {DeliveryReportWhen::kAlways, "Always"},
    {DeliveryReportWhen::kOnFailure, "OnFailure"},
    {DeliveryReportWhen::kNever, "Never"},
}};

constexpr char kMailSection[] = "Mail";

constexpr std::array<std::pair<MailSecurity, const char*>, 3> kSecurity = {{
    {MailSecurity::kNone, "None"},
    {MailSecurity::kStartTls, "StartTls"},
    {MailSecurity::kTls, "Tls"},
}};

}  // namespace

ExportSettings LoadExportSettings(const std::string& iniPath) {
  const IniFile ini(iniPath);
  ExportSettings settings;
  settings.paper = PaperFromName(ini.ReadString(kSection, "Paper", "")).value_or(DefaultPaper());
  const std::string when = ini.ReadString(kSection, "DeliveryReport", "");
  for (const auto& [value, name] : kReportWhen) {
    if (EqualsNoCase(when, name)) settings.deliveryReport = value;
  }
  settings.ocr = ini.ReadBool(kSection, "Ocr", settings.ocr);
  const std::string languages = TrimWhite(ini.ReadString(kSection, "OcrLanguages", ""));
  if (!languages.empty()) settings.ocrLanguages = languages;
  return settings;
}

void SaveExportSettings(const ExportSettings& settings, const std::string& iniPath) {
  IniFile ini(iniPath);
  ini.WriteString(kSection, "Paper", settings.paper == TFaxPaper::fpLetter ? "Letter" : "A4");
  for (const auto& [value, name] : kReportWhen) {
    if (value == settings.deliveryReport) ini.WriteString(kSection, "DeliveryReport", name);
  }
  ini.WriteBool(kSection, "Ocr", settings.ocr);
  ini.WriteString(kSection, "OcrLanguages", settings.ocrLanguages);
  ini.Save();
}

MailSettings LoadMailSettings(const std::string& iniPath) {
  const IniFile ini(iniPath);
  MailSettings settings;
  settings.to = TrimWhite(ini.ReadString(kMailSection, "To", ""));
  settings.from = TrimWhite(ini.ReadString(kMailSection, "From", ""));
  settings.server.host = TrimWhite(ini.ReadString(kMailSection, "Server", ""));
  const int port = ini.ReadInteger(kMailSection, "Port", settings.server.port);
  if (port > 0 && port < 65536) settings.server.port = port;
  const std::string security = ini.ReadString(kMailSection, "Security", "");
  for (const auto& [value, name] : kSecurity) {
    if (EqualsNoCase(security, name)) settings.server.security = value;
  }
  settings.server.user = TrimWhite(ini.ReadString(kMailSection, "User", ""));
  return settings;
}

void SaveMailSettings(const MailSettings& settings, const std::string& iniPath) {
  IniFile ini(iniPath);
  ini.WriteString(kMailSection, "To", settings.to);
  ini.WriteString(kMailSection, "From", settings.from);
  ini.WriteString(kMailSection, "Server", settings.server.host);
  ini.WriteInteger(kMailSection, "Port", settings.server.port);
  for (const auto& [value, name] : kSecurity) {
    if (value == settings.server.security) ini.WriteString(kMailSection, "Security", name);
  }
  ini.WriteString(kMailSection, "User", settings.server.user);
  ini.Save();
}

}  // namespace tv
