// The cover sub-command: the cover-sheet editor's drawing from the command
// line, with the sender's details from the program folder's TV.INI.
#include <QFile>
#include <QGuiApplication>
#include <iostream>
#include <map>
#include <optional>

#include "cli/commands.h"
#include "cli/options.h"
#include "cover/cover_data.h"
#include "cover/cover_drawing.h"
#include "cover/eight_bit_text.h"
#include "cover/shipped_templates.h"
#include "platform/app_settings.h"
#include "platform/paths.h"

namespace tv::cli {

namespace {

// A message file longer than this is no cover-sheet message.
constexpr qint64 kMaxMessageBytes = 1 << 20;

const std::map<std::string, CoverFlag> kFlagOptions = {{"--urgent", kUrgent},
                                                       {"--review", kForReview},
                                                       {"--comment", kPleaseComment},
                                                       {"--reply", kPleaseReply},
                                                       {"--recycle", kPleaseRecycle}};

struct CoverOptions {
  std::string home;
  std::string templateName = kDefaultCoverTemplate;
  QString to;
  QString fax;
  QString subject;
  std::optional<QString> message;
  std::string messageFile;
  std::array<bool, kCoverFlagCount> flags{};
  std::string out;
};

std::optional<int> ParseOptions(const Args& args, CoverOptions& o) {
  auto text = [](QString& into) {
    return [&into](const std::string& value) {
      into = QString::fromStdString(value);
      return std::string();
    };
  };
  OptionReader reader;
  reader.Text("--home", o.home)
      .Text("--template", o.templateName)
      .Value("--to", text(o.to))
      .Value("--fax", text(o.fax))
      .Value("--subject", text(o.subject))
      .Value("--message", [&o](const std::string& value) {
        o.message = QString::fromStdString(value);
        return std::string();
      })
      .Text("--message-file", o.messageFile);
  for (const auto& [option, flag] : kFlagOptions) reader.Flag(option, o.flags[flag]);
  std::vector<std::string> outputs;
  if (const std::string problem = reader.Read(args, outputs); !problem.empty()) return UsageError(problem, "cover");
  if (outputs.size() != 1) return UsageError("give one fax file to write", "cover");
  if (o.message && !o.messageFile.empty()) return UsageError("give --message or --message-file, not both", "cover");
  o.out = outputs[0];
  return std::nullopt;
}

}  // namespace

int CoverCommand(const Args& args) {
  CoverOptions o;
  if (auto status = ParseOptions(args, o)) return *status;
  if (!o.home.empty()) InitProgramFolder(o.home);
  const std::string templatePath = o.templateName.find('/') == std::string::npos
                                       ? FindNoCase(CoversFolder(), o.templateName)
                                       : o.templateName;
  if (auto refused = RefuseOutputOverInput(o.out, {templatePath, o.messageFile, SettingsFilePath()})) return *refused;

  // The page is drawn with Qt's fonts but never needs a display.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  int argc = 1;
  char name[] = "tvfax";
  char* argv[] = {name, nullptr};
  QGuiApplication app(argc, argv);

  QString message = o.message.value_or(QString());
  if (!o.messageFile.empty()) {
    QFile file(QString::fromStdString(o.messageFile));
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxMessageBytes) {
      std::cerr << "tvfax: cannot read the message file " << o.messageFile << "\n";
      return 1;
    }
    message = EightBitText(file.readAll());
  }

  std::string missing;
  InstallCoverTemplates(CoversFolder(), &missing);
  if (!missing.empty()) std::cerr << "tvfax: " << missing << "\n";
  const TCoverValues values = CoverValuesNow(LoadSettings(SettingsFilePath()), o.subject, o.to, o.fax, o.flags);
  try {
    std::string note;
    const std::string written = RenderCoverSheet(o.out, templatePath, values, message, &note);
    if (!note.empty()) std::cerr << "tvfax: " << templatePath << ": " << note << "\n";
    std::cout << written << ": cover page from " << templatePath << "\n";
    return 0;
  } catch (const std::runtime_error& e) {  // the template or the page
    std::cerr << "tvfax: " << e.what() << "\n";
    return 1;
  }
}

}  // namespace tv::cli
