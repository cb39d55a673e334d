// The print log: a text file that gets a line when a print job starts and
// one when it ends (finished, aborted or failed), each ending line followed
// by an empty line, so every job reads as one paragraph.
#pragma once

#include <ctime>
#include <string>

namespace tv {

enum TFaxPLCode { plStarted = 0, plFinished = 1, plAborted = 2, plFailed = 3 };

// "Printing <fax> started at <date and time>" and so on, with its line
// breaks.
std::string PrintLogText(TFaxPLCode code, const std::string& faxFile, const std::tm& when);

// Appends the code's text to the log, creating the file when it does not
// exist. 0 or a negated I/O error.
int AppendPrintLog(const std::string& logFile, TFaxPLCode code, const std::string& faxFile, const std::tm& when);

}  // namespace tv
