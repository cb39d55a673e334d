#include "cover/eight_bit_text.h"

#include <QStringDecoder>

namespace tv {

QString EightBitText(QByteArrayView bytes) {
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  const QString text = utf8(bytes);
  if (!utf8.hasError()) return text;
  QStringDecoder cp1252("windows-1252");
  return cp1252.isValid() ? QString(cp1252(bytes)) : QString::fromLatin1(bytes);
}

}  // namespace tv
