// Faxes left by the fax printer driver: an .APF file and a description
// file of the same name with extension .ZPD (fax number, recipient, subject,
// one per line) in the SEND folder.
#pragma once

#include <functional>
#include <string>

namespace tv {

struct PrinterDriverFax {
  std::string apfName;  // file name in SEND, at most 12 characters
  std::string phone;
  std::string recipient;
  std::string subject;
};

// Takes in every pair in sendFolder: calls appendRecord for each and, when it
// returns true, deletes the description so the fax is taken in only once.
// A description of fewer than three lines fills what it has. Only regular
// files directly in the folder are used (no links that lead elsewhere), and
// an .APF name too long for the table is renamed to a free "FAX" name first.
// Returns the number of description files found.
int ProcessExtraPDFaxFiles(const std::string& sendFolder,
                           const std::function<bool(const PrinterDriverFax&)>& appendRecord);

// The printer driver's hand-over file, naming the SEND folder and this program.
void WriteZPXPDINI(const std::string& iniPath, const std::string& sendFolder, const std::string& executable);

}  // namespace tv
