// The About window.
#pragma once

#include <QDialog>

namespace tv {

class TSplashform : public QDialog {
  Q_OBJECT

 public:
  explicit TSplashform(QWidget* parent = nullptr);

  // "64-bit version for Linux" on the running system.
  static QString PlatformLine();
};

}  // namespace tv
