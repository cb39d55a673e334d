// The settings of what takes faxes out of the program, kept in [Export] of
// TV.INI beside the program's own settings:
//
//   [Export]
//   Paper=A4                 the sheet a fax page sits on in a PDF (A4, Letter);
//                            the system's paper when missing
//   DeliveryReport=Always    after a send: Always, OnFailure or Never
//   Ocr=1                    recognise the text of received faxes (Tesseract)
//   OcrLanguages=eng         Tesseract's languages, joined by "+" (eng+deu)
#pragma once

#include <string>

#include "image/fax_converter.h"

namespace tv {

enum class DeliveryReportWhen { kAlways, kOnFailure, kNever };

struct ExportSettings {
  TFaxPaper paper = TFaxPaper::fpA4;
  DeliveryReportWhen deliveryReport = DeliveryReportWhen::kAlways;
  bool ocr = true;
  std::string ocrLanguages = "eng";
};

// Unknown values count as missing.
ExportSettings LoadExportSettings(const std::string& iniPath);
// Writes every key; raises IniWriteError.
void SaveExportSettings(const ExportSettings& settings, const std::string& iniPath);

}  // namespace tv
