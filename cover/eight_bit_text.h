// Texts of the cover files (template texts, cover data): UTF-8 when they
// decode as such, else 8-bit text in the 1252 code page.
#pragma once

#include <QByteArrayView>
#include <QString>

namespace tv {

QString EightBitText(QByteArrayView bytes);

}  // namespace tv
