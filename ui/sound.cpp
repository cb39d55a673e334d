#include "ui/sound.h"

#include <QFileInfo>
#include <QSoundEffect>
#include <QUrl>

namespace tv {

void PlaySoundFile(const QString& path) {
  if (path.isEmpty() || !QFileInfo(path).isFile()) return;
  static QSoundEffect* effect = new QSoundEffect;
  effect->stop();
  effect->setSource(QUrl::fromLocalFile(path));
  effect->play();
}

}  // namespace tv
