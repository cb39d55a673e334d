// Faxes left by the fax printer driver: an .APF file and a description
// file of the same name with extension .ZPD (fax number, recipient, subject,
// one per line) in the SEND folder.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace tv {

struct PrinterDriverFax {
  std::string apfName;  // file name in SEND, at most 12 characters
  std::string phone;
  std::string recipient;
  std::string subject;
};

// A pair that could not be taken in, and why.
struct PrinterDriverFailure {
  std::string apfName;
  std::string reason;
};

struct PrinterDriverIntake {
  int found = 0;  // description files found
  std::vector<PrinterDriverFailure> failures;
};

// Takes in every pair in sendFolder: calls appendRecord for each (it returns
// an empty text when the record was written, else why not) and, once the
// record is written, deletes the description so the fax is taken in only
// once. A description of fewer than three lines fills what it has. Only
// regular files directly in the folder are used (no links that lead
// elsewhere). An .APF name the table cannot hold (too long, or not spelt in
// its code page) is given a free "FAX" name beside it for the record; the
// old name goes only once the record is written, so a pair that fails stays
// whole for the next attempt.
PrinterDriverIntake ProcessExtraPDFaxFiles(const std::string& sendFolder,
                                           const std::function<std::string(const PrinterDriverFax&)>& appendRecord);

// The printer driver's hand-over file, naming the SEND folder and this program.
void WriteZPXPDINI(const std::string& iniPath, const std::string& sendFolder, const std::string& executable);

}  // namespace tv
