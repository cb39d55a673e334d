#include "cover/cover_data.h"

#include <QFile>
#include <QSaveFile>
#include <QStringList>

#include "cover/eight_bit_text.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace tv {

namespace {

// No cover data file comes near this; a larger file is not one.
constexpr qint64 kMaxCoverDataBytes = 1 << 20;

}  // namespace

std::string CoverDataPath(const std::string& coverPath) {
  const std::string_view name = BaseName(coverPath);
  return FindNoCase(coverPath.substr(0, coverPath.size() - name.size()), ChangeExtension(name, ".fcd"));
}

std::optional<CoverData> ReadCoverData(const std::string& path) {
  QFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxCoverDataBytes) return std::nullopt;
  QString text = EightBitText(file.readAll());
  text.replace("\r\n", "\n");
  QStringList lines = text.split('\n');
  if (text.endsWith('\n')) lines.removeLast();  // the last line's end starts no further line

  CoverData data;
  if (!lines.isEmpty()) {
    const QString name = lines.takeFirst();
    data.TemplateName = name.mid(qMax(name.lastIndexOf('/'), name.lastIndexOf('\\')) + 1);
  }
  if (!lines.isEmpty()) {
    const QString flags = lines.takeFirst();
    if (flags.size() == kCoverFlagCount) {
      for (int i = 0; i < kCoverFlagCount; ++i) data.Flags[i] = flags[i] == 'X';
    }
  }
  data.Message = lines.join('\n');
  return data;
}

bool WriteCoverData(const std::string& path, const CoverData& data) {
  QString flags;
  for (bool set : data.Flags) flags += set ? 'X' : ' ';
  QStringList lines = {data.TemplateName, flags};
  if (!data.Message.isEmpty()) lines += QString(data.Message).replace("\r\n", "\n").split('\n');
  QSaveFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::WriteOnly)) return false;
  file.write((lines.join('\n') + '\n').toUtf8());
  return file.commit();
}

}  // namespace tv
