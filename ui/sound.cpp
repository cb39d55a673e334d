#include "ui/sound.h"

#include <QFile>
#include <QFileInfo>
#include <QSoundEffect>
#include <QUrl>

#include "platform/paths.h"

namespace tv {

namespace {

std::function<void(const QString&)>& Observer() {
  static std::function<void(const QString&)> observer;
  return observer;
}

std::uint32_t Le32(const QByteArray& bytes, qsizetype at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<std::uint8_t>(bytes[at + i]);
  return value;
}

// A RIFF WAVE file of plain samples with a format and a data chunk. The
// sound player's loader is not to be trusted with anything else: a damaged
// file can leave it waiting for good, and the window with it.
bool PlainWaveFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return false;
  const QByteArray head = file.read(4096);
  if (head.size() < 12 || !head.startsWith("RIFF") || head.mid(8, 4) != "WAVE") return false;
  bool format = false;
  for (qsizetype at = 12; at + 8 <= head.size();) {
    const QByteArray id = head.mid(at, 4);
    const std::uint32_t size = Le32(head, at + 4);
    if (id == "fmt " && at + 8 + 16 <= head.size()) {
      const int tag = static_cast<std::uint8_t>(head[at + 8]) | static_cast<std::uint8_t>(head[at + 9]) << 8;
      const int channels = static_cast<std::uint8_t>(head[at + 10]);
      const int bits = static_cast<std::uint8_t>(head[at + 22]);
      format = (tag == 1 || tag == 3) && channels >= 1 && channels <= 2 && (bits == 8 || bits == 16 || bits == 32);
    } else if (id == "data") {
      return format && size > 0 && file.size() >= at + 8 + 2;
    }
    at += 8 + size + (size & 1);
  }
  return false;
}

}  // namespace

void SetSoundObserver(std::function<void(const QString& path)> observer) { Observer() = std::move(observer); }

QString ReceivedFaxSound(const QString& chosen) {
  return chosen.isEmpty() ? QString::fromStdString(SharedDataFolder() + "sounds/fax-received.wav") : chosen;
}

void PlaySoundFile(const QString& path) {
  if (path.isEmpty() || !QFileInfo(path).isFile()) return;
  if (Observer()) Observer()(path);
  if (!PlainWaveFile(path)) return;
  static QSoundEffect* effect = new QSoundEffect;
  effect->stop();
  effect->setSource(QUrl::fromLocalFile(path));
  effect->play();
}

}  // namespace tv
