// tessivane: the window program.
#include <QApplication>
#include <QFileInfo>
#include <QIcon>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "app/keyring.h"
#include "app/main_screen.h"
#include "app/single_instance.h"
#include "app/termination_signals.h"
#include "line/demo_line.h"
#include "line/sip_line.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "ui/qt_ui_thread.h"
#include "ui/window_helpers.h"
#include "view/widgets/view_window.h"

namespace {

constexpr const char* kUsage =
    "Usage: tessivane [--home DIR] [Qt options] [FILE.apf]\n"
    "Without a file, opens the outgoing and incoming fax lists; with one, shows\n"
    "that fax in the view and print window.\n"
    "\n"
    "Options:\n"
    "  --home DIR  keep settings, fax tables and fax files in DIR\n"
    "  --help      show this text\n"
    "Qt's own options (-platform, -style, ...) are passed on to Qt.\n";

struct Options {
  std::string home;
  std::string faxFile;  // a fax file to view, from the file manager
  std::vector<char*> qtArgs;  // what Qt may still interpret (-platform, -style, ...)
};

// A file handed over by the file manager: a fax file by its name, or any
// existing file (found to be a fax by its contents).
bool IsFaxFileArgument(const std::string& arg) {
  if (arg.starts_with('-')) return false;
  const std::string suffix = arg.size() >= 4 ? arg.substr(arg.size() - 4) : std::string();
  return tv::EqualsNoCase(suffix, ".apf") || std::filesystem::is_regular_file(arg);
}

// Parses the program's own options. Returns an exit status when the program
// should stop at once.
std::optional<int> ParseOptions(int argc, char** argv, Options& options) {
  options.qtArgs.push_back(argv[0]);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (arg == "--home" || arg.rfind("--home=", 0) == 0) {
      if (arg == "--home" && i + 1 >= argc) {
        std::cerr << "tessivane: --home needs a folder\n" << kUsage;
        return 2;
      }
      options.home = arg == "--home" ? argv[++i] : arg.substr(std::strlen("--home="));
      continue;
    }
    if (arg.rfind("--", 0) == 0) {
      std::cerr << "tessivane: unknown option " << arg << "\n" << kUsage;
      return 2;
    }
    if (IsFaxFileArgument(arg)) {
      options.faxFile = arg;
      continue;
    }
    options.qtArgs.push_back(argv[i]);
  }
  options.qtArgs.push_back(nullptr);
  return std::nullopt;
}

// A fax file opened from the file manager: shown on its own, without the
// lists, so that it never competes with a running copy for the tables.
int ViewFaxFile(const std::string& path) {
  tv::TFaxViewer viewer;
  viewer.SetFaxFileName(path);
  const QString title = QString::fromStdString(path.substr(path.rfind('/') + 1));
  viewer.SetTitle(title);
  viewer.SetDocumentName(QFileInfo(QString::fromStdString(path)).completeBaseName());
  viewer.FaxPrinter().FaxHeader().SetCaption(title);
  viewer.exec();
  return 0;
}

// The program proper: the fax lists. A second copy on the same folder hands
// over to the first and stops.
int RunFaxLists() {
  tv::TJustOne justOne(QString::fromStdString(tv::ProgramFolder()));
  if (justOne.PreviousInstancePresent()) {
    justOne.ActivatePrevious();
    return 0;
  }
  if (const std::string missing = tv::MissingSharedData(""); !missing.empty()) {
    std::cerr << "tessivane: " << missing << "\n";
    tv::ShowInformation(QString::fromStdString(missing));
  }
  tv::UseKeyringForSipPasswords();
  tv::TMainScreen mainScreen;
  tv::EndOnTerminationSignals([&mainScreen] { mainScreen.EndSession(); });
  tv::SetMainWindow(&mainScreen);
  justOne.SetWindow(&mainScreen);
  mainScreen.show();
  return QApplication::exec();
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (auto status = ParseOptions(argc, argv, options)) return *status;
  tv::InitProgramFolder(options.home);
  tv::InstallDemoLine();
  tv::InstallSipLine();  // COMn=sip in [Ports]: a SIP account's line

  int qtArgc = static_cast<int>(options.qtArgs.size()) - 1;
  QApplication app(qtArgc, options.qtArgs.data());
  QApplication::setApplicationName("Tessivane");
  QApplication::setDesktopFileName("org.tessivane.Tessivane");
  tv::QtUiThread uiThread;
  tv::UiThread::Install(&uiThread);
  tv::ApplyProgramLook();
  const int status = options.faxFile.empty() ? RunFaxLists() : ViewFaxFile(options.faxFile);
  uiThread.SetTerminating(true);
  tv::UiThread::Install(nullptr);
  return status;
}
