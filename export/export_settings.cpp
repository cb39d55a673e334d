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

}  // namespace tv
