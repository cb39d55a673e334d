// tvfax: the command-line tool over the program's non-window libraries.
#include <algorithm>
#include <cstring>
#include <iostream>
#include <span>
#include <string_view>

#include "cli/commands.h"
#include "comm/qa_port.h"
#include "line/demo_line.h"
#include "line/sip_line.h"
#include "platform/files.h"
#ifdef TVFAX_PICTURES
#include "image/qt/qt_picture_reader.h"
#endif

namespace tv::cli {

namespace {

constexpr Command kCommands[] = {
    {"error", "CODE", "print an error code's exception class and message", ErrorCommand},
    {"db", "ACTION DIR [TABLE ...]", "create, list and change the fax tables (init, list, add, set, delete, pack, reindex)",
     DbCommand},
    {"at", "[--device PATH | --home DIR --com N] [--baud B] [--timeout SECONDS] [--trace FILE] [--log FILE] COMMAND...",
     "send AT commands to the modem and print its replies (exit 0 when all got OK)", AtCommand},
    {"info", "FILE.apf", "show a fax file's header and pages", InfoCommand},
    {"convert",
     "[--fine] [--wide] [--small-font] [--margin PIXELS] [--top LINES] [--lines N] [--tab N] [--station ID] "
     "[--paper a4|letter] [--max-pages N] INPUT [OUTPUT.apf]",
     "convert a text, PDF, PostScript, TIFF, PCX, DCX, BMP, PNG or JPEG file into a fax file", ConvertCommand},
    {"render", "[--no-autoscale | --half-width] FILE.apf PAGE OUT.pbm", "unpack one fax page into a PBM picture",
     RenderCommand},
    {"append", "DEST.apf SRC.apf", "append the pages of one fax file to another", AppendCommand},
    {"rerender", "SRC.apf DEST.apf", "re-render a fax page by page at fine resolution", RerenderCommand},
    {"pdf", "[--paper a4|letter] [--title TEXT] [--author TEXT] [--subject TEXT] [--ocr LANGUAGES] FAX.apf OUT.pdf",
     "save a fax file as a PDF document of its page images (CCITT Group 4, at the fax's own size); the title, "
     "author and date are the file's name, station ID and stamp unless given; --ocr eng (or eng+deu, ...): the "
     "text recognised by Tesseract laid invisibly over the pages, to search and copy",
     PdfCommand},
    {"send",
     "(--device PATH | --home DIR --com N) [--class auto|1|2|2.0] [--bps N] [--ecm on|off] [--coding mh|mr|mmr] "
     "[--station ID] [--header TEXT] [--cover FILE] [--attempts N] [--retry-wait S] [--dial-wait S] [--init STRING] [--trace FILE] [--log FILE] "
     "[--history FILE] NUMBER FILE.apf",
     "send a fax file (exit 0 only when it was sent); --bps: the highest rate, by default the fastest the modem "
     "offers; --ecm and --coding: error correction and the best coding offered (on and mmr by default; MMR goes "
     "only with error correction)",
     SendCommand},
    {"receive",
     "(--device PATH | --home DIR --com N) [--class auto|1|2|2.0] [--bps N] [--ecm on|off] [--coding mh|mr|mmr] "
     "[--dir DIR] [--rings N] [--station ID] [--one] [--trace FILE] [--log FILE] [--history FILE]",
     "wait for fax calls and receive them into fax files (--one: exit after the first call); --bps: the highest "
     "rate, by default the fastest the modem offers; --ecm and --coding: as for send",
     ReceiveCommand},
    {"sip", "register [--home DIR] [--device sip|sip:NAME] [--timeout SECONDS]",
     "test a SIP account: register it once and print the registrar's answer (exit 0 when registered)",
     SipCommand},
    {"printer", "install | remove",
     "add the \"Tessivane\" fax printer to CUPS (as root): what is printed to it becomes an outgoing fax of the "
     "user who prints it; remove takes it away again",
     PrinterCommand},
#ifdef TVFAX_PRINT
    {"print",
     "[--printer NAME | --pdf OUT.pdf] [--four-up] [--landscape] [--pixel-for-pixel] [--header TEXT] [--footer TEXT] "
     "[--pages A-B] [--log FILE] FILE.apf",
     "print a fax file on a printer or into a PDF file (--four-up: four pages a sheet, two in landscape)",
     PrintCommand},
#endif
#ifdef TVFAX_COVER
    {"cover",
     "[--home DIR] [--template NAME.fct] [--to NAME] [--fax NUMBER] [--subject TEXT] [--message TEXT | "
     "--message-file FILE] [--urgent] [--review] [--comment] [--reply] [--recycle] OUT.apf",
     "draw a cover sheet from a template into a one-page fax file, with the sender from TV.INI", CoverCommand},
#endif
};

// The layout is the one help2man reads into the manual page: a usage line,
// headed lists, each entry's text on its own line indented by 20.
void PrintUsage(std::ostream& out) {
  constexpr std::string_view kTextIndent = "                    ";
  out << "Usage: tvfax COMMAND [ARGUMENTS]\n\nCommands:\n";
  for (const Command& c : kCommands) {
    out << "  " << c.name << " " << c.usage << "\n" << kTextIndent << c.summary << "\n";
  }
  out << "\nOptions:\n  --help\n" << kTextIndent << "show this text\n";
}

}  // namespace

int UsageError(const std::string& message) {
  std::cerr << "tvfax: " << message << "\n";
  return 2;
}

std::string Usage(std::string_view command) {
  for (const Command& c : kCommands) {
    if (command == c.name) return "usage: tvfax " + std::string(c.name) + " " + c.usage;
  }
  return "usage: tvfax COMMAND [ARGUMENTS]";
}

int UsageError(const std::string& problem, std::string_view command) {
  return UsageError((problem.empty() ? std::string() : problem + "\n") + Usage(command));
}

std::optional<int> RefuseOutputOverInput(const std::string& output, const std::vector<std::string>& inputs) {
  for (const std::string& input : inputs) {
    if (!output.empty() && !input.empty() && SameFile(input, output))
      return UsageError("the output " + output + " is the input " + input + "; name another file");
  }
  return std::nullopt;
}

void RecordPortTraffic(TQaComPort& port, const std::string& trace, const std::string& log) {
  if (!trace.empty()) {
    port.SetTraceName(trace);
    port.SetTraceSize(32000);
    port.SetTracing(tlOn);
  }
  if (!log.empty()) {
    port.SetLogName(log);
    port.SetLogging(tlOn);
  }
}

int Main(std::span<char*> argv) {
  if (argv.size() < 2) {
    PrintUsage(std::cerr);
    return 2;
  }
  const std::string name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    PrintUsage(std::cout);
    return 0;
  }
  for (const Command& c : kCommands) {
    if (name != c.name) continue;
    const Args args(argv.begin() + 2, argv.end());
    if (std::find(args.begin(), args.end(), "--help") != args.end()) {
      std::cout << Usage(c.name) << "\n" << c.summary << "\n";
      return 0;
    }
    return c.run(args);
  }
  return UsageError("unknown command '" + name + "' (try tvfax --help)");
}

}  // namespace tv::cli

int main(int argc, char** argv) {
  tv::InstallDemoLine();  // --device demo
  tv::InstallSipLine();   // --device sip
#ifdef TVFAX_PICTURES
  tv::InstallQtPictureReader();
#endif
  try {
    return tv::cli::Main(std::span(argv, static_cast<std::size_t>(argc)));
  } catch (const std::exception& e) {
    std::cerr << "tvfax: " << e.what() << "\n";
    return 1;
  }
}
