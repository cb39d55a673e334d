#include "cover/shipped_templates.h"

#include <QDir>
#include <QFile>

#include "platform/paths.h"

namespace tv {

int InstallCoverTemplates(const std::string& coversFolder, std::string* missing) {
  QDir folder(QString::fromStdString(coversFolder));
  if (folder.exists() && !folder.entryList({"*.FCT"}, QDir::Files).isEmpty()) return 0;  // letter case ignored
  constexpr const char* kShipped = "Covers";
  if (std::string problem = MissingSharedData(kShipped); !problem.empty()) {
    if (missing) *missing = std::move(problem);
    return 0;
  }
  ForceFolder(coversFolder);
  int copied = 0;
  const QDir shipped(QString::fromStdString(SharedDataFolder() + kShipped));
  for (const QString& name : shipped.entryList(QDir::Files)) {
    const QString target = QString::fromStdString(FindNoCase(coversFolder, name.toStdString()));
    if (QFile::exists(target) || !QFile::copy(shipped.filePath(name), target)) continue;
    // The installed originals are read-only; the user's copies are not.
    QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    ++copied;
  }
  return copied;
}

}  // namespace tv
