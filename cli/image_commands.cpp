// Fax image sub-commands: info, convert, render, append and rerender.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <optional>
#include <vector>

#include "cli/commands.h"
#include "cli/options.h"
#include "image/apf_file.h"
#include "image/document_input.h"
#include "image/fax_converter.h"
#include "image/fax_unpacker.h"
#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/text.h"

namespace tv::cli {

namespace {

std::string StampText(std::uint32_t stamp) {
  if (stamp == 0) return "none";
  const std::tm t = UnpackApfStamp(stamp);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                t.tm_hour, t.tm_min, t.tm_sec);
  return text;
}

}  // namespace

int InfoCommand(const Args& args) {
  if (args.size() != 1) return UsageError("", "info");
  FaxFile file;
  CheckErrorCode(file.OpenRead(args[0]));
  TApfFileHeader header;
  std::vector<ApfPageLocation> pages;
  CheckErrorCode(ApfReadPageTable(file, header, pages));
  std::cout << "Pages: " << header.pageCount << "\n"
            << "Station: " << ApfStationId(header) << "\n"
            << "Created: " << StampText(header.creationStamp) << "\n";
  for (std::size_t i = 0; i < pages.size(); ++i) {
    const TApfPageHeader& page = pages[i].header;
    std::cout << "Page " << i + 1 << ": " << page.dataLength << " bytes, " << (page.Fine() ? "fine" : "standard")
              << ", " << page.WidthPixels() << ", " << (page.LineBlocks() ? "line blocks" : "stream") << "\n";
  }
  return 0;
}

int ConvertCommand(const Args& args) {
  TQaFaxConverter converter;
  // A number within what a page can hold.
  auto number = [](const char* option, int most, auto set) {
    return [option, most, set](const std::string& value) {
      const auto v = WholeNumber(value);
      if (!v || *v > most) return std::string(option) + " takes a number from 0 to " + std::to_string(most);
      set(*v);
      return std::string();
    };
  };
  std::vector<std::string> names;
  const std::string problem =
      OptionReader()
          .Flag("--fine", [&] { converter.SetResolution(TFaxResolution::frHigh); })
          .Flag("--wide", [&] { converter.SetWidth(TFaxWidth::fwWide); })
          .Flag("--small-font", [&] { converter.SetFontType(TFaxFont::ffSmall); })
          .Value("--margin", number("--margin", kWideWidth - 1, [&](int v) { converter.SetLeftMargin(v); }))
          .Value("--top", number("--top", kApfMaxPageLines, [&](int v) { converter.SetTopMargin(v); }))
          .Value("--lines", number("--lines", kApfMaxPageLines, [&](int v) { converter.SetLinesPerPage(v); }))
          .Value("--tab", number("--tab", kMaxTabStop, [&](int v) { converter.SetTabStop(v); }))
          .Value("--max-pages", number("--max-pages", kApfMaxPages, [&](int v) { converter.SetMaxPages(v); }))
          .Value("--station",
                 [&](const std::string& value) {
                   converter.SetStationID(value);
                   return std::string();
                 })
          .Value("--paper",
                 [&](const std::string& value) {
                   const auto paper = PaperFromName(value);
                   if (paper) converter.SetPaper(*paper);
                   return paper ? std::string() : "--paper takes a4 or letter";
                 })
          .Read(args, names);
  if (!problem.empty()) return UsageError(problem, "convert");
  if (names.empty() || names.size() > 2) return UsageError("give the document and, if you like, the fax file", "convert");
  if (converter.Width() == TFaxWidth::fwNormal && converter.LeftMargin() >= kStandardWidth)
    return UsageError("--margin takes a number from 0 to " + std::to_string(kStandardWidth - 1) + " without --wide");
  const auto kind = DocumentKind(names[0]);
  if (!kind) {
    return UsageError("cannot tell what kind of document " + names[0] +
                      " is (text, PDF, PostScript, TIFF, PCX, DCX, BMP, PNG, JPEG)");
  }
  converter.SetInputDocumentType(*kind);
  converter.SetOptions(converter.Options() & ~coYield);
  converter.SetDocumentFile(names[0]);
  if (names.size() == 2) converter.SetOutFileName(names[1]);
  std::string output = converter.OutFileName();
  if (Extension(output).empty()) output += ".APF";
  if (auto refused = RefuseOutputOverInput(output, {names[0]})) return *refused;
  try {
    const int pages = converter.ConvertToFile();
    std::cout << output << ": " << pages << (pages == 1 ? " page" : " pages") << "\n";
  } catch (const std::exception& e) {
    std::cerr << "tvfax: " << names[0] << ": " << e.what()
              << (converter.ErrorDetail().empty() ? "" : " (" + converter.ErrorDetail() + ")") << "\n";
    return 1;
  }
  return 0;
}

int RenderCommand(const Args& args) {
  unsigned options = kUnpackDoubleHeight;
  std::vector<std::string> names;
  const std::string problem = OptionReader()
                                  .Flag("--no-autoscale", [&] { options = 0; })
                                  .Flag("--half-width", [&] { options = kUnpackHalfWidth; })
                                  .Read(args, names);
  if (!problem.empty()) return UsageError(problem, "render");
  if (names.size() != 3) return UsageError("give the fax file, the page and the picture file", "render");
  const auto page = WholeNumber(names[1], 1);
  if (!page) return UsageError("not a page number: " + names[1]);
  if (auto refused = RefuseOutputOverInput(names[2], {names[0]})) return *refused;

  FaxUnpacker unpacker;
  unpacker.SetOptions(options);
  std::vector<std::uint8_t> pixels;
  int width = 0;
  int height = 0;
  unpacker.SetLineCallback([&](FaxUnpacker& self, int flags, const std::uint8_t* line, int n, int) {
    if (flags & kUnpackStarting) {
      width = self.PageHeader().WidthPixels();
      if ((options & kUnpackHalfWidth) && !self.PageHeader().Fine()) width /= 2;
    }
    if (flags != 0) return 0;
    const std::size_t rowBytes = static_cast<std::size_t>(width / 8);
    pixels.resize(pixels.size() + rowBytes, 0);
    std::copy(line, line + std::min<std::size_t>(static_cast<std::size_t>(n), rowBytes), pixels.end() - static_cast<long>(rowBytes));
    ++height;
    return 0;
  });
  CheckErrorCode(unpacker.UnpackPage(names[0], *page));
  const std::string picture =
      "P4\n" + std::to_string(width) + " " + std::to_string(height) + "\n" + std::string(pixels.begin(), pixels.end());
  if (const int error = ReplaceFileContents(names[2], picture); error != 0) {
    std::cerr << "tvfax: cannot write " << names[2] << ": " << std::strerror(error) << "\n";
    return 1;
  }
  std::cout << names[2] << ": " << width << " x " << height << "\n";
  return 0;
}

int AppendCommand(const Args& args) {
  if (args.size() != 2) return UsageError("", "append");
  const int rc = ApfAppendFile(args[0], args[1]);
  if (rc == ecBadArgument) {
    std::cerr << "tvfax: " << args[0] << " and " << args[1] << " together have more pages than a fax file can count ("
              << kApfMaxPages << "); nothing was written\n";
    return 1;
  }
  CheckErrorCode(rc);
  TApfFileHeader header;
  CheckErrorCode(ApfReadFileHeader(args[0], header));
  std::cout << args[0] << ": " << header.pageCount << (header.pageCount == 1 ? " page" : " pages") << "\n";
  return 0;
}

int RerenderCommand(const Args& args) {
  if (args.size() != 2) return UsageError("", "rerender");
  if (!ApfRerenderFile(args[0], args[1])) {
    // The source is either not a fax file or has a page that cannot be read.
    TApfFileHeader header;
    const int rc = ApfReadFileHeader(args[0], header);
    std::cerr << "tvfax: " << ErrorMessageText(rc != 0 ? rc : ecFaxBadFormat) << "\n";
    return 1;
  }
  std::cout << args[1] << "\n";
  return 0;
}

}  // namespace tv::cli
