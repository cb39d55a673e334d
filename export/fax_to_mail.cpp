#include "export/fax_to_mail.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "export/fax_ocr.h"
#include "export/fax_pdf.h"
#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/text.h"

namespace tv {

namespace {

constexpr int kTextLinesInBody = 10;

std::string FirstLines(const std::string& text, int count) {
  std::istringstream in(text);
  std::string lines;
  std::string line;
  for (int n = 0; n < count && std::getline(in, line); ++n) lines += line + '\n';
  return lines;
}

}  // namespace

int ComposeFaxMail(const ReceivedFaxMail& fax, TFaxPaper paper, MailMessage& message) {
  const std::string sender = fax.from.empty() ? std::string("an unknown sender") : fax.from;
  const std::string when = LocalTimeText(fax.received, "%Y-%m-%d %H:%M");
  const std::vector<OcrPage> words = LoadOcr(OcrFilePath(fax.file));
  // Made in the temporary folder: the fax's own folder only ever holds faxes.
  const std::string pdf = CreateTemporaryFile((std::filesystem::temp_directory_path() / "fax").string(), ".pdf");
  if (pdf.empty()) return ecFileNotFound;
  FaxPdfDetails details = FaxFileDetails(fax.file);
  details.title = "Fax from " + sender + " " + when;
  details.author = fax.from;
  const int rc = WriteFaxPdf({fax.file}, pdf, details, paper, nullptr, words);
  std::ifstream in(pdf, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), {}};
  std::remove(pdf.c_str());
  if (rc != 0) return rc;

  message = MailMessage();
  message.from = fax.fromAddress;
  message.to = fax.toAddress;
  message.subject = "Fax from " + sender + ", " + std::to_string(fax.pages) + (fax.pages == 1 ? " page" : " pages");
  message.body = "From: " + sender + "\nPages: " + std::to_string(fax.pages) + "\nReceived: " + when + "\n";
  if (const std::string text = FirstLines(OcrText(words), kTextLinesInBody); !text.empty())
    message.body += "\n" + text;
  message.attachmentName = ChangeExtension(BaseName(fax.file), ".pdf");
  message.attachment.assign(bytes.begin(), bytes.end());
  return 0;
}

std::string FaxMailStatePath(const std::string& fax) { return ChangeExtension(fax, ".mail"); }

FaxMailState LoadFaxMailState(const std::string& fax) {
  FaxMailState state;
  std::ifstream in(FaxMailStatePath(fax));
  long long nextTry = 0;
  int delivered = 0;
  if (in >> state.failures >> nextTry >> delivered) {
    state.nextTry = static_cast<std::time_t>(nextTry);
    state.delivered = delivered != 0;
    in.get();
    std::getline(in, state.problem);
  }
  return state;
}

int SaveFaxMailState(const std::string& fax, const FaxMailState& state) {
  std::string problem = state.problem;
  for (char& c : problem) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return ReplaceFileContents(FaxMailStatePath(fax), std::to_string(state.failures) + ' ' +
                                                        std::to_string(static_cast<long long>(state.nextTry)) + ' ' +
                                                        (state.delivered ? "1" : "0") + '\n' + problem + '\n');
}

FaxMailState TryFaxMail(const MailServer& server, const ReceivedFaxMail& fax, TFaxPaper paper, FaxMailState state,
                        std::time_t now) {
  if (!state.Pending() || state.nextTry > now) return state;
  MailMessage message;
  std::string problem;
  if (const int rc = ComposeFaxMail(fax, paper, message); rc != 0) {
    problem = "The fax could not be made into a PDF: " + ErrorMessageText(rc);
  } else {
    problem = SendMail(server, message);
  }
  if (problem.empty()) {
    state.delivered = true;
    state.problem.clear();
    return state;
  }
  ++state.failures;
  state.problem = problem;
  if (const auto delay = MailRetryDelay(state.failures)) state.nextTry = now + delay->count() * 60;
  return state;
}

std::string FaxMailStateText(const FaxMailState& state) {
  if (state.delivered) return "mailed";
  if (state.failures == 0) return {};
  if (!state.Pending()) return "mail given up: " + state.problem;
  return "mail failed " + std::to_string(state.failures) + (state.failures == 1 ? " time" : " times") +
         ", next try at " + LocalTimeText(state.nextTry, "%H:%M") + ": " + state.problem;
}

}  // namespace tv
