#include "app/about.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QSysInfo>
#include <QVBoxLayout>

namespace tv {

TSplashform::TSplashform(QWidget* parent) : QDialog(parent) {
  setObjectName("TSplashform");
  setWindowTitle("About Tessivane");
  auto* title = new QLabel("<h2>Tessivane</h2>", this);
  title->setAlignment(Qt::AlignCenter);
  auto* description = new QLabel("Desktop fax for Class 1, Class 2 and Class 2.0 fax modems", this);
  description->setAlignment(Qt::AlignCenter);
  auto* platform = new QLabel(PlatformLine(), this);
  platform->setObjectName("PlatformLabel");
  platform->setAlignment(Qt::AlignCenter);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(title);
  layout->addWidget(description);
  layout->addWidget(platform);
  layout->addWidget(buttons);
}

QString TSplashform::PlatformLine() {
  const int bits = QSysInfo::WordSize;
  QString system = QSysInfo::kernelType();
  if (!system.isEmpty()) system[0] = system[0].toUpper();
  return QString("%1-bit version for %2").arg(bits).arg(system);
}

}  // namespace tv
