// Fax image sub-commands: info, convert, render, append and rerender.
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <optional>
#include <vector>

#include "cli/commands.h"
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

std::optional<int> ParseNumber(const std::string& text) {
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

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
  if (args.size() != 1) return UsageError("usage: tvfax info FILE.apf");
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
  const std::string usage =
      "usage: tvfax convert [--fine] [--wide] [--small-font] [--margin PIXELS] [--top LINES] [--lines N] "
      "[--tab N] [--station ID] [--paper a4|letter] [--max-pages N] INPUT [OUTPUT.apf]";
  TQaFaxConverter converter;
  std::vector<std::string> names;
  std::string badOption;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    // A number within what a page can hold.
    auto number = [&](int most, auto set) {
      const auto v = i + 1 < args.size() ? ParseNumber(args[++i]) : std::nullopt;
      if (!v || *v < 0 || *v > most) {
        badOption = a + " takes a number from 0 to " + std::to_string(most);
        return false;
      }
      set(*v);
      return true;
    };
    bool ok = true;
    if (a == "--fine") {
      converter.SetResolution(TFaxResolution::frHigh);
    } else if (a == "--wide") {
      converter.SetWidth(TFaxWidth::fwWide);
    } else if (a == "--small-font") {
      converter.SetFontType(TFaxFont::ffSmall);
    } else if (a == "--margin") {
      ok = number(kWideWidth - 1, [&](int v) { converter.SetLeftMargin(v); });
    } else if (a == "--top") {
      ok = number(kApfMaxPageLines, [&](int v) { converter.SetTopMargin(v); });
    } else if (a == "--lines") {
      ok = number(kApfMaxPageLines, [&](int v) { converter.SetLinesPerPage(v); });
    } else if (a == "--tab") {
      ok = number(kMaxTabStop, [&](int v) { converter.SetTabStop(v); });
    } else if (a == "--max-pages") {
      ok = number(kApfMaxPages, [&](int v) { converter.SetMaxPages(v); });
    } else if (a == "--station") {
      if (i + 1 >= args.size()) return UsageError(usage);
      converter.SetStationID(args[++i]);
    } else if (a == "--paper") {
      const auto paper = i + 1 < args.size() ? PaperFromName(args[++i]) : std::nullopt;
      if (!paper) return UsageError("--paper takes a4 or letter");
      converter.SetPaper(*paper);
    } else if (a.starts_with("--")) {
      return UsageError("unknown option " + a);
    } else {
      names.push_back(a);
    }
    if (!ok) return UsageError(badOption);
  }
  if (names.empty() || names.size() > 2) return UsageError(usage);
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
  const std::string usage = "usage: tvfax render [--no-autoscale | --half-width] FILE.apf PAGE OUT.pbm";
  unsigned options = kUnpackDoubleHeight;
  std::vector<std::string> names;
  for (const std::string& a : args) {
    if (a == "--no-autoscale") {
      options = 0;
    } else if (a == "--half-width") {
      options = kUnpackHalfWidth;
    } else if (a.starts_with("--")) {
      return UsageError("unknown option " + a);
    } else {
      names.push_back(a);
    }
  }
  if (names.size() != 3) return UsageError(usage);
  const auto page = ParseNumber(names[1]);
  if (!page || *page < 1) return UsageError("not a page number: " + names[1]);
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
  if (args.size() != 2) return UsageError("usage: tvfax append DEST.apf SRC.apf");
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
  if (args.size() != 2) return UsageError("usage: tvfax rerender SRC.apf DEST.apf");
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
