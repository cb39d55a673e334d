// tessivane: the window program.
#include <QApplication>
#include <QIcon>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "app/main_screen.h"
#include "fax/demo_line.h"
#include "ui/qt_ui_thread.h"
#include "app/single_instance.h"
#include "ui/window_helpers.h"
#include "platform/paths.h"

namespace {

constexpr const char* kUsage =
    "usage: tessivane [--home DIR] [Qt options]\n"
    "\n"
    "  --home DIR  keep settings, fax tables and fax files in DIR\n"
    "  --help      show this text\n";

struct Options {
  std::string home;
  std::vector<char*> qtArgs;  // what Qt may still interpret (-platform, -style, ...)
};

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
    options.qtArgs.push_back(argv[i]);
  }
  options.qtArgs.push_back(nullptr);
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (auto status = ParseOptions(argc, argv, options)) return *status;
  tv::InitProgramFolder(options.home);
  tv::InstallDemoLine();

  int qtArgc = static_cast<int>(options.qtArgs.size()) - 1;
  QApplication app(qtArgc, options.qtArgs.data());
  QApplication::setApplicationName("Tessivane");
  // A second copy on the same folder hands over to the first and stops here.
  tv::TJustOne justOne(QString::fromStdString(tv::ProgramFolder()));
  if (justOne.PreviousInstancePresent()) {
    justOne.ActivatePrevious();
    return 0;
  }

  tv::QtUiThread uiThread;
  tv::UiThread::Install(&uiThread);
  tv::ApplyProgramLook();

  tv::TMainScreen mainScreen;
  tv::SetMainWindow(&mainScreen);
  justOne.SetWindow(&mainScreen);
  mainScreen.show();
  const int status = QApplication::exec();
  uiThread.SetTerminating(true);
  tv::UiThread::Install(nullptr);
  return status;
}
