// The text of fax pages, recognised with Tesseract, and kept beside the fax
// file: FAX0001.APF's words in FAX0001.ocr, one a line (page, box, word,
// separated by tabs), so the fax tables stay as they are.
#pragma once

#include <atomic>
#include <string>
#include <vector>

namespace tv {

// One recognised word (UTF-8) and its box on the page: x in pixels from the
// left, y in the page's own lines from the top.
struct OcrWord {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  std::string text;
};

using OcrPage = std::vector<OcrWord>;

// Whether Tesseract has the languages ("eng", "eng+deu") installed.
bool OcrAvailable(const std::string& languages);

// The words of every page of a fax file, one entry a page (empty for a page
// that cannot be read). Returns 0, the error of reading the file,
// ecBadArgument when Tesseract lacks the languages, or ecCancelRequested when
// `stop` was set (checked between pages). Runs on any thread; each call has
// an engine of its own.
int RecogniseFax(const std::string& fax, const std::string& languages, std::vector<OcrPage>& pages,
                 const std::atomic<bool>* stop = nullptr);

// The words of the pages of fax files one after the other, as a PDF of them
// wants them: each file's kept words, or where none are kept and
// `languages` is not empty, recognised now and kept.
std::vector<OcrPage> FaxWords(const std::vector<std::string>& files, const std::string& languages);

// FAX0001.APF: FAX0001.ocr beside it.
std::string OcrFilePath(const std::string& fax);
// Writes the words in one step: 0 or an errno value.
int SaveOcr(const std::string& path, const std::vector<OcrPage>& pages);
// The words kept in a file; empty when there is none. Lines that are not
// words are skipped.
std::vector<OcrPage> LoadOcr(const std::string& path);
// The words as running text, a line of the page a line.
std::string OcrText(const std::vector<OcrPage>& pages);

}  // namespace tv
