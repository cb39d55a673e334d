// Received faxes mailed as PDF documents: the message, and where each fax's
// mail stands, kept beside the fax (FAX0001.APF: FAX0001.mail), so that a
// mail that failed is tried again, less and less often, after a restart
// too. The fax itself is only ever read.
#pragma once

#include <ctime>
#include <string>

#include "export/fax_mail.h"
#include "image/fax_converter.h"

namespace tv {

struct ReceivedFaxMail {
  std::string file;  // the fax file
  std::string from;  // the sender's station ID
  int pages = 0;
  std::time_t received = 0;
  std::string fromAddress;
  std::string toAddress;
};

// The message: the fax as a PDF (with its recognised text, where kept)
// attached, the sender, pages and time in the subject and body, and the
// first lines of the text. 0, or the error of making the PDF.
int ComposeFaxMail(const ReceivedFaxMail& fax, TFaxPaper paper, MailMessage& message);

struct FaxMailState {
  int failures = 0;
  std::time_t nextTry = 0;  // 0: at once
  bool delivered = false;
  std::string problem;  // the last failure, in words
  // Still to be sent (MailRetryDelay gives up after a day of trying).
  bool Pending() const { return !delivered && MailRetryDelay(failures).has_value(); }
};

std::string FaxMailStatePath(const std::string& fax);
// A fax without a state file has its mail still to send.
FaxMailState LoadFaxMailState(const std::string& fax);
// 0 or an errno value; written in one step.
int SaveFaxMailState(const std::string& fax, const FaxMailState& state);

// Sends the mail when it is due at `now` and says where it stands after.
FaxMailState TryFaxMail(const MailServer& server, const ReceivedFaxMail& fax, TFaxPaper paper, FaxMailState state,
                        std::time_t now);

// For the incoming list: "mailed", "mail failed 2 times, next try at 14:05:
// <why>", "mail given up: <why>"; empty while nothing was tried.
std::string FaxMailStateText(const FaxMailState& state);

}  // namespace tv
