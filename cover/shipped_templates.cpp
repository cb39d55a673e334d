#include "cover/shipped_templates.h"

#include <QDir>
#include <QFile>

#include "platform/paths.h"

// Resources of a static library are registered by hand.
static void InitShippedCovers() { Q_INIT_RESOURCE(shipped_covers); }

namespace tv {

int InstallCoverTemplates(const std::string& coversFolder) {
  QDir folder(QString::fromStdString(coversFolder));
  if (folder.exists() && !folder.entryList({"*.FCT"}, QDir::Files).isEmpty()) return 0;  // letter case ignored
  ForceFolder(coversFolder);
  InitShippedCovers();
  int copied = 0;
  const QDir shipped(":/covers");
  for (const QString& name : shipped.entryList(QDir::Files)) {
    const QString target = QString::fromStdString(FindNoCase(coversFolder, name.toStdString()));
    if (QFile::exists(target) || !QFile::copy(shipped.filePath(name), target)) continue;
    // Copies out of the program's resources come read-only.
    QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    ++copied;
  }
  return copied;
}

}  // namespace tv
