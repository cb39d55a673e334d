#include "image/document_input.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <fstream>

#include "image/picture_decoder.h"
#include "platform/bytes.h"
#include "platform/files.h"
#include "platform/text.h"

namespace tv {

namespace {

constexpr double kA4Inches = 297 / 25.4;
constexpr double kLetterInches = 11;
constexpr std::uint32_t kDcxSignature = 987654321;

// The first word of the first line that is not a comment.
std::string PaperNamedIn(const std::string& file) {
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    line = TrimWhite(line);
    if (!line.empty() && line.front() != '#') return line.substr(0, line.find_first_of(" \t"));
  }
  return {};
}

bool HasExtension(const std::string& path, std::initializer_list<std::string_view> extensions) {
  const std::string_view ext = Extension(path);
  return std::any_of(extensions.begin(), extensions.end(), [&](std::string_view e) { return EqualsNoCase(ext, e); });
}

// Text has no control bytes but line ends, tabs, form feeds and the odd
// escape; UTF-8 and code-page text both pass.
bool LooksLikeText(std::string_view head) {
  return std::none_of(head.begin(), head.end(), [](char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return c < 0x20 && c != '\n' && c != '\r' && c != '\t' && c != '\f' && c != 0x1A && c != 0x1B;
  });
}

}  // namespace

TFaxPaper DefaultPaper() {
  std::string name;
  if (const char* env = std::getenv("PAPERSIZE"); env && *env) {
    name = env;
  } else if (const char* conf = std::getenv("PAPERCONF"); conf && *conf) {
    name = PaperNamedIn(conf);
  } else {
    name = PaperNamedIn("/etc/papersize");
  }
  return PaperFromName(name).value_or(TFaxPaper::fpA4);
}

std::optional<TFaxPaper> PaperFromName(const std::string& name) {
  if (ContainsNoCase(name, "letter")) return TFaxPaper::fpLetter;
  if (ContainsNoCase(name, "a4")) return TFaxPaper::fpA4;
  return std::nullopt;
}

int PaperLines(TFaxPaper paper, bool fine) {
  const double inches = paper == TFaxPaper::fpLetter ? kLetterInches : kA4Inches;
  return static_cast<int>(std::lround(inches * (fine ? 196 : 98)));
}

std::optional<TFaxInputDocumentType> DocumentKind(const std::string& path) {
  if (HasExtension(path, {".txt", ".text", ".asc"})) return idText;
  std::array<char, 4096> bytes{};
  ssize_t n = -1;
  if (const int fd = OpenRegularFile(path, O_RDONLY); fd >= 0) {
    n = read(fd, bytes.data(), bytes.size());
    close(fd);
  }
  const std::string_view head(bytes.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
  const auto* u = reinterpret_cast<const std::uint8_t*>(bytes.data());
  // A PDF may have some bytes before its header.
  if (head.substr(0, 1024).find("%PDF-") != std::string_view::npos) return idPdf;
  if (head.starts_with("%!") || head.starts_with("\x04%!") || head.starts_with("\xC5\xD0\xD3\xC6")) return idPostScript;
  if (head.starts_with(std::string_view("II*\0", 4)) || head.starts_with(std::string_view("MM\0*", 4))) return idTiff;
  if (head.starts_with("BM")) return idBmp;
  if (n >= 4 && Le32(u) == kDcxSignature) return idDcx;
  // Maker 10, a version up to 5 and run-length coding.
  if (n >= 128 && u[0] == 10 && u[1] <= 5 && u[2] == 1) return idPcx;
  if (n > 0 && InstalledPictureReaderReads(path)) return idPicture;
  // Unreadable or unknown contents: the name decides, so that a file that
  // cannot be read is reported as such by the conversion.
  if (HasExtension(path, {".tif", ".tiff"})) return idTiff;
  if (HasExtension(path, {".pcx"})) return idPcx;
  if (HasExtension(path, {".dcx"})) return idDcx;
  if (HasExtension(path, {".bmp"})) return idBmp;
  if (HasExtension(path, {".pdf"})) return idPdf;
  if (HasExtension(path, {".ps", ".eps"})) return idPostScript;
  if (HasExtension(path, {".png", ".jpg", ".jpeg", ".gif"})) return idPicture;
  if (n >= 0 && LooksLikeText(head)) return idText;
  return std::nullopt;
}

std::unique_ptr<FaxConverter> MakeDocumentConverter(TFaxInputDocumentType kind, const DocumentRendering& rendering) {
  std::unique_ptr<FaxConverter> converter = MakeFileConverter(kind, rendering);
  if (!converter) return nullptr;
  // A file on the desktop is named as it is.
  converter->SetDefaultExtension("");
  converter->SetFine(true);
  // A rendered document brings its own margins.
  if (kind == idPdf || kind == idPostScript) converter->SetLeftMargin(0);
  return converter;
}

}  // namespace tv
