// The delivery report of a sent fax: a one-page PDF that proves what went
// where and how, with a reduced image of the first page and a SHA-256 of
// each file of the fax.
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "export/fax_pdf.h"

namespace tv {

// What the far end said of each page it got.
enum class PageAnswer { kConfirmed, kRejected };  // MCF, RTN

// One send, as the send dialog saw it.
struct DeliveryRecord {
  std::string recipient;
  std::string number;    // as dialled
  std::string remoteId;  // the far end's station ID
  std::time_t started = 0;
  int seconds = 0;  // from the start of dialling to the end of the call
  int pagesSent = 0;
  int pages = 0;  // in the fax, its cover included
  int bitRate = 0;
  std::string coding;  // the page coding on the line: "MH", "MR", "MMR"
  bool errorCorrection = false;
  std::vector<PageAnswer> answers;  // in the order the far end gave them
  bool sent = false;
  std::string result;               // "Sent", or what went wrong
  std::vector<std::string> files;  // the fax's files: a cover, then the body
};

// The answers as the report gives them: "1 MCF, 2 RTN, 2 MCF" (a page the
// far end rejected goes again, under the same number).
std::string PageAnswerList(const std::vector<PageAnswer>& answers);

// The SHA-256 of a file in lower-case hex; empty when it cannot be read.
std::string FileSha256(const std::string& file);

// Writes the report as the PDF file `pdf` (replaced in one step) on a sheet
// of `paper`: 0 or the program's error code. The first page of the first of
// the files that has one is shown at a third of its size.
int WriteDeliveryReport(const DeliveryRecord& record, const std::string& pdf, TFaxPaper paper);

// Where the report of a fax goes: Reports/ in the program folder, named
// after the fax's body file (FAX00012.APF: Reports/FAX00012.pdf). A fax sent
// again gets a new report in its place.
inline constexpr char kDeliveryReportFolder[] = "Reports";
std::string DeliveryReportPath(const std::string& faxFile);

}  // namespace tv
