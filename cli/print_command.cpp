// The print sub-command: the window's fax printer from the command line, to
// a CUPS printer or a PDF file.
#include <QApplication>
#include <QPageLayout>
#include <QPrinterInfo>
#include <iostream>
#include <optional>

#include "cli/commands.h"
#include "cli/options.h"
#include "view/widgets/fax_printer.h"
#include "view/widgets/print_job.h"

namespace tv::cli {

namespace {

// "A-B", "A-" (to the end) or "A" (one page).
bool ParsePages(const std::string& text, int& first, int& last) {
  const auto dash = text.find('-');
  const auto from = WholeNumber(text.substr(0, dash), 1);
  if (!from) return false;
  first = *from;
  if (dash == std::string::npos) {
    last = first;
    return true;
  }
  const std::string rest = text.substr(dash + 1);
  const auto to = rest.empty() ? std::optional<int>(0) : WholeNumber(rest, first);
  if (!to) return false;
  last = *to;
  return true;
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
  auto margin = [](std::optional<std::string>& into) {
    return [&into](const std::string& value) {
      into = value;
      return std::string();
    };
  };
  std::vector<std::string> files;
  const std::string problem =
      OptionReader()
          .Text("--printer", o.printer)
          .Text("--pdf", o.pdf)
          .Text("--log", o.log)
          .Value("--header", margin(o.header))
          .Value("--footer", margin(o.footer))
          .Value("--pages",
                 [&o](const std::string& value) {
                   return ParsePages(value, o.first, o.last) ? std::string() : "--pages takes A-B, A- or A";
                 })
          .Flag("--four-up", o.fourUp)
          .Flag("--landscape", o.landscape)
          .Flag("--pixel-for-pixel", o.pixelForPixel)
          .Read(args, files);
  if (!problem.empty()) return UsageError(problem, "print");
  if (files.size() != 1) return UsageError("give one fax file", "print");
  if (!o.printer.empty() && !o.pdf.empty()) return UsageError("give --printer or --pdf, not both", "print");
  o.file = files[0];
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
