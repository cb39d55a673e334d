// The settings of what takes faxes out of the program, kept in [Export] of
// TV.INI beside the program's own settings:
//
//   [Export]
//   Paper=A4                 the sheet a fax page sits on in a PDF (A4, Letter);
//                            the system's paper when missing
//   DeliveryReport=Always    after a send: Always, OnFailure or Never
//   Ocr=1                    recognise the text of received faxes (Tesseract)
//   OcrLanguages=eng         Tesseract's languages, joined by "+" (eng+deu)
//
// and of mailing received faxes, in [Mail] (the password is kept in the
// desktop's keyring, never in the file):
//
//   [Mail]
//   To=ann@example.org       where received faxes go; none: they are not mailed
//   From=fax@example.org
//   Server=smtp.example.org
//   Port=587
//   Security=StartTls        None, StartTls or Tls
//   User=ann                 none: no login
#pragma once

#include <string>

#include "export/fax_mail.h"
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

struct MailSettings {
  std::string to;
  std::string from;
  MailServer server;  // its password empty
  bool On() const { return !to.empty() && !server.host.empty(); }
};

MailSettings LoadMailSettings(const std::string& iniPath);
// Raises IniWriteError.
void SaveMailSettings(const MailSettings& settings, const std::string& iniPath);

}  // namespace tv
