// The print sub-command: the window's fax printer from the command line, to
// a CUPS printer or a PDF file.
#include <QApplication>
#include <QPageLayout>
#include <QPrinterInfo>
#include <charconv>
#include <iostream>
#include <optional>

#include "cli/commands.h"
#include "view/widgets/fax_printer.h"
#include "view/widgets/print_job.h"

namespace tv::cli {

namespace {

constexpr const char* kUsage =
    "usage: tvfax print [--printer NAME | --pdf OUT.pdf] [--four-up] [--landscape] [--pixel-for-pixel] "
    "[--header TEXT] [--footer TEXT] [--pages A-B] [--log FILE] FILE.apf";

// "A-B", "A-" (to the end) or "A" (one page).
bool ParsePages(const std::string& text, int& first, int& last) {
  auto number = [](std::string_view digits, int& value) {
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    return ec == std::errc() && end == digits.data() + digits.size() && value >= 1;
  };
  const auto dash = text.find('-');
  if (dash == std::string::npos) {
    if (!number(text, first)) return false;
    last = first;
    return true;
  }
  if (!number(std::string_view(text).substr(0, dash), first)) return false;
  const std::string_view rest = std::string_view(text).substr(dash + 1);
  if (rest.empty()) {
    last = 0;
    return true;
  }
  return number(rest, last) && last >= first;
}

struct PrintOptions {
  std::string file;
  std::string printer;
  std::string pdf;
  std::string log;
  std::optional<std::string> header;
  std::optional<std::string> footer;
  bool fourUp = false;
  bool landscape = false;
  bool pixelForPixel = false;
  int first = 1;
  int last = 0;  // 0: to the last page
};

std::optional<int> ParseOptions(const Args& args, PrintOptions& o) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= args.size()) return false;
      into = args[++i];
      return true;
    };
    std::string text;
    if (a == "--printer") {
      if (!value(o.printer)) return UsageError(kUsage);
    } else if (a == "--pdf") {
      if (!value(o.pdf)) return UsageError(kUsage);
    } else if (a == "--log") {
      if (!value(o.log)) return UsageError(kUsage);
    } else if (a == "--header" || a == "--footer") {
      if (!value(text)) return UsageError(kUsage);
      (a == "--header" ? o.header : o.footer) = text;
    } else if (a == "--pages") {
      if (!value(text) || !ParsePages(text, o.first, o.last)) return UsageError("--pages takes A-B, A- or A");
    } else if (a == "--four-up") {
      o.fourUp = true;
    } else if (a == "--landscape") {
      o.landscape = true;
    } else if (a == "--pixel-for-pixel") {
      o.pixelForPixel = true;
    } else if (a.rfind("--", 0) == 0 || !o.file.empty()) {
      return UsageError(kUsage);
    } else {
      o.file = a;
    }
  }
  if (o.file.empty() || (!o.printer.empty() && !o.pdf.empty())) return UsageError(kUsage);
  if (auto refused = RefuseOutputOverInput(o.pdf, {o.file, o.log})) return refused;
  return RefuseOutputOverInput(o.log, {o.file});
}

void SetMargin(TQaFaxPrinterMargin& margin, const std::optional<std::string>& text) {
  if (!text) return;
  margin.SetCaption(QString::fromStdString(*text));
  margin.SetEnabled(!text->empty());
}

}  // namespace

int PrintCommand(const Args& args) {
  PrintOptions o;
  if (auto status = ParseOptions(args, o)) return *status;

  // Printing draws with Qt but never needs a display.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  int argc = 1;
  char name[] = "tvfax";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);

  TQaFaxPrinter printer;
  QPrinter& target = printer.Printer();
  if (!o.pdf.empty()) {
    target.setOutputFormat(QPrinter::PdfFormat);
    target.setOutputFileName(QString::fromStdString(o.pdf));
  } else {
    const QString printerName = o.printer.empty() ? QPrinterInfo::defaultPrinterName() : QString::fromStdString(o.printer);
    if (!QPrinterInfo::availablePrinterNames().contains(printerName)) {
      std::cerr << "tvfax: "
                << (o.printer.empty() ? std::string("no default printer (use --printer NAME or --pdf OUT.pdf)")
                                      : "no printer named " + o.printer)
                << "\n";
      return 1;
    }
    target.setPrinterName(printerName);
  }
  target.setPageOrientation(o.landscape ? QPageLayout::Landscape : QPageLayout::Portrait);
  printer.SetMultiPage(o.fourUp);
  printer.SetPrintScale(o.pixelForPixel ? TFaxPrintScale::psNone : TFaxPrintScale::psPhysicalSize);
  SetMargin(printer.FaxHeader(), o.header);
  SetMargin(printer.FaxFooter(), o.footer);
  TQaFaxPrinterLog log;
  if (!o.log.empty()) {
    log.SetLogFileName(o.log);
    printer.SetFaxPrinterLog(&log);
  }
  try {
    printer.SetFileName(o.file);
    if (o.first > printer.PageCount() || o.last > printer.PageCount()) {
      std::cerr << "tvfax: " << o.file << " has " << printer.PageCount() << " pages\n";
      return 1;
    }
    printer.SetFirstPageToPrint(o.first);
    printer.SetLastPageToPrint(o.last == 0 ? printer.PageCount() : o.last);
    printer.PrintFax();
  } catch (const std::exception& e) {
    std::cerr << "tvfax: cannot print " << o.file << ": " << e.what() << "\n";
    return 1;
  }
  return 0;
}

}  // namespace tv::cli
