#include "export/fax_ocr.h"

#include <tesseract/baseapi.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "image/apf_file.h"
#include "image/fax_unpacker.h"
#include "platform/error_codes.h"
#include "platform/files.h"

namespace tv {

namespace {

// Fax pixels are 204 an inch across; rows of a standard page (98 an inch)
// are given twice, so that the engine sees square pixels.
constexpr int kOcrPixelsPerInch = 204;

struct Engine {
  tesseract::TessBaseAPI api;
  bool ready = false;
  explicit Engine(const std::string& languages) {
    ready = api.Init(nullptr, languages.c_str(), tesseract::OEM_LSTM_ONLY) == 0;
    // Fax pages are mostly letters: one block after another.
    if (ready) api.SetPageSegMode(tesseract::PSM_AUTO);
  }
  ~Engine() { api.End(); }
};

// The page's rows for the engine: 1 is white there, and standard rows twice.
struct EngineImage {
  std::vector<std::uint8_t> pixels;
  int width = 0;
  int lines = 0;
  int rowRepeat = 1;
};

int PageImage(const std::string& fax, int page, EngineImage& image) {
  FaxUnpacker unpacker;
  unpacker.SetOptions(0);
  image = EngineImage();
  unpacker.SetLineCallback([&](FaxUnpacker& self, int flags, const std::uint8_t* line, int bytes, int) {
    if (flags & kUnpackStarting) {
      image.width = self.PageHeader().WidthPixels();
      image.rowRepeat = self.PageHeader().Fine() ? 1 : 2;
    }
    if (flags != 0) return 0;
    const std::size_t rowBytes = static_cast<std::size_t>(image.width / 8);
    for (int copy = 0; copy < image.rowRepeat; ++copy) {
      const std::size_t at = image.pixels.size();
      image.pixels.resize(at + rowBytes, 0xFF);
      for (std::size_t i = 0; i < std::min(rowBytes, static_cast<std::size_t>(bytes)); ++i)
        image.pixels[at + i] = static_cast<std::uint8_t>(~line[i]);
      ++image.lines;
    }
    return 0;
  });
  return unpacker.UnpackPage(fax, page);
}

OcrPage Recognise(Engine& engine, const EngineImage& image) {
  OcrPage words;
  if (image.lines == 0) return words;
  engine.api.SetImage(image.pixels.data(), image.width, image.lines, 0, image.width / 8);
  engine.api.SetSourceResolution(kOcrPixelsPerInch);
  if (engine.api.Recognize(nullptr) != 0) return words;
  std::unique_ptr<tesseract::ResultIterator> it(engine.api.GetIterator());
  if (!it) return words;
  do {
    const std::unique_ptr<char[]> text(it->GetUTF8Text(tesseract::RIL_WORD));
    int left = 0, top = 0, right = 0, bottom = 0;
    if (!text || !it->BoundingBox(tesseract::RIL_WORD, &left, &top, &right, &bottom)) continue;
    OcrWord word;
    word.x = left;
    word.y = top / image.rowRepeat;
    word.width = right - left;
    word.height = std::max(1, (bottom - top) / image.rowRepeat);
    word.text = text.get();
    if (!word.text.empty()) words.push_back(std::move(word));
  } while (it->Next(tesseract::RIL_WORD));
  return words;
}

}  // namespace

bool OcrAvailable(const std::string& languages) {
  Engine engine(languages);
  return engine.ready;
}

int RecogniseFax(const std::string& fax, const std::string& languages, std::vector<OcrPage>& pages,
                 const std::atomic<bool>* stop) {
  pages.clear();
  TApfFileHeader header;
  if (const int rc = ApfReadFileHeader(fax, header); rc != 0) return rc;
  Engine engine(languages);
  if (!engine.ready) return ecBadArgument;
  for (int page = 1; page <= header.pageCount; ++page) {
    if (stop && *stop) return ecCancelRequested;
    EngineImage image;
    pages.push_back(PageImage(fax, page, image) == 0 ? Recognise(engine, image) : OcrPage());
  }
  return 0;
}

std::vector<OcrPage> FaxWords(const std::vector<std::string>& files, const std::string& languages) {
  std::vector<OcrPage> words;
  for (const std::string& file : files) {
    TApfFileHeader header;
    if (ApfReadFileHeader(file, header) != 0) continue;
    std::vector<OcrPage> pages = LoadOcr(OcrFilePath(file));
    if (pages.empty() && !languages.empty() && RecogniseFax(file, languages, pages) == 0) SaveOcr(OcrFilePath(file), pages);
    pages.resize(header.pageCount);
    words.insert(words.end(), pages.begin(), pages.end());
  }
  return words;
}

std::string OcrFilePath(const std::string& fax) { return ChangeExtension(fax, ".ocr"); }

int SaveOcr(const std::string& path, const std::vector<OcrPage>& pages) {
  std::string text;
  for (std::size_t page = 0; page < pages.size(); ++page) {
    for (const OcrWord& w : pages[page]) {
      text += std::to_string(page + 1) + '\t' + std::to_string(w.x) + '\t' + std::to_string(w.y) + '\t' +
              std::to_string(w.width) + '\t' + std::to_string(w.height) + '\t' + w.text + '\n';
    }
  }
  return ReplaceFileContents(path, text);
}

std::vector<OcrPage> LoadOcr(const std::string& path) {
  std::vector<OcrPage> pages;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::size_t page = 0;
    OcrWord w;
    if (!(fields >> page >> w.x >> w.y >> w.width >> w.height) || page == 0 || page > kApfMaxPages) continue;
    fields.get();  // the tab before the word
    std::getline(fields, w.text);
    if (w.text.empty()) continue;
    if (pages.size() < page) pages.resize(page);
    pages[page - 1].push_back(std::move(w));
  }
  return pages;
}

std::string OcrText(const std::vector<OcrPage>& pages) {
  std::string text;
  for (const OcrPage& page : pages) {
    int lineTop = -1;
    for (const OcrWord& w : page) {
      // A word that starts below the middle of the last one starts a line.
      if (lineTop >= 0 && w.y > lineTop) {
        text += '\n';
      } else if (lineTop >= 0) {
        text += ' ';
      }
      text += w.text;
      lineTop = w.y + w.height / 2;
    }
    if (!page.empty()) text += '\n';
  }
  return text;
}

}  // namespace tv
