// The settings of what takes faxes out of the program, kept in [Export] of
// TV.INI beside the program's own settings:
//
//   [Export]
//   Paper=A4                 the sheet a fax page sits on in a PDF (A4, Letter);
//                            the system's paper when missing
//   DeliveryReport=Always    after a send: Always, OnFailure or Never
#pragma once

#include <string>

#include "image/fax_converter.h"

namespace tv {

enum class DeliveryReportWhen { kAlways, kOnFailure, kNever };

struct ExportSettings {
  TFaxPaper paper = TFaxPaper::fpA4;
  DeliveryReportWhen deliveryReport = DeliveryReportWhen::kAlways;
};

// Unknown values count as missing.
ExportSettings LoadExportSettings(const std::string& iniPath);
// Writes both keys; raises IniWriteError.
void SaveExportSettings(const ExportSettings& settings, const std::string& iniPath);

}  // namespace tv
