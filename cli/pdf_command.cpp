// The pdf sub-command: a fax file as a PDF document of its own page images.
#include <iostream>
#include <optional>

#include "cli/commands.h"
#include "cli/options.h"
#include "export/fax_pdf.h"
#include "image/document_input.h"
#include "platform/error_codes.h"
#include "platform/errors.h"

namespace tv::cli {

namespace {

// "damaged page 3; the PDF holds what could be read of it", or of pages.
std::string DamageNote(const std::vector<int>& pages) {
  std::string text = pages.size() == 1 ? "damaged page " : "damaged pages ";
  for (std::size_t i = 0; i < pages.size(); ++i) text += (i ? ", " : "") + std::to_string(pages[i]);
  return text + "; the PDF holds what could be read of " + (pages.size() == 1 ? "it" : "them");
}

}  // namespace

int PdfCommand(const Args& args) {
  TFaxPaper paper = DefaultPaper();
  std::optional<std::string> title, author, subject, languages;
  auto text = [](std::optional<std::string>& into) {
    return [&into](const std::string& value) {
      into = value;
      return std::string();
    };
  };
  std::vector<std::string> names;
  const std::string problem = OptionReader()
                                  .Value("--paper",
                                         [&](const std::string& value) {
                                           const auto named = PaperFromName(value);
                                           if (named) paper = *named;
                                           return named ? std::string() : "--paper takes a4 or letter";
                                         })
                                  .Value("--title", text(title))
                                  .Value("--author", text(author))
                                  .Value("--subject", text(subject))
                                  .Value("--ocr", text(languages))
                                  .Read(args, names);
  if (!problem.empty()) return UsageError(problem, "pdf");
  if (names.size() != 2) return UsageError("give the fax file and the PDF file", "pdf");
  if (auto refused = RefuseOutputOverInput(names[1], {names[0]})) return *refused;

  FaxPdfDetails details = FaxFileDetails(names[0]);
  if (title) details.title = *title;
  if (author) details.author = *author;
  if (subject) details.subject = *subject;
  std::vector<OcrPage> words;
  if (languages) {
    if (const int ocr = RecogniseFax(names[0], *languages, words); ocr == ecBadArgument) {
      return UsageError("Tesseract has no data for the languages " + *languages +
                        " (Debian packages tesseract-ocr-LANGUAGE)");
    }
  }
  FaxPdfResult result;
  const int rc = WriteFaxPdf({names[0]}, names[1], details, paper, &result, words);
  if (!result.damagedPages.empty()) {
    std::cerr << "tvfax: " << names[0] << ": " << DamageNote(result.damagedPages) << "\n";
  }
  if (rc != 0) {
    // Nothing was written when no page could be read; else writing failed.
    std::cerr << "tvfax: " << (result.pages == 0 ? names[0] : names[1]) << ": "
              << ErrorMessageText(rc) << "\n";
    return 1;
  }
  std::cout << names[1] << ": " << result.pages << (result.pages == 1 ? " page" : " pages") << "\n";
  return 0;
}

}  // namespace tv::cli
