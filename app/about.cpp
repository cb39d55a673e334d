#include "app/about.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QSysInfo>
#include <QVBoxLayout>

#include "ui/window_helpers.h"

namespace tv {

TSplashform::TSplashform(QWidget* parent) : QDialog(parent) {
  setObjectName("TSplashform");
  setWindowTitle("About Tessivane");
  auto* icon = new QLabel(this);
  icon->setPixmap(ProgramIcon().pixmap(64, 64));
  icon->setAlignment(Qt::AlignTop);
  auto* title = new QLabel(QString("<h2>Tessivane %1</h2>").arg(TV_VERSION), this);
  title->setObjectName("TitleLabel");
  auto* description = new QLabel("Desktop fax for Class 1, Class 2 and Class 2.0 fax modems", this);
  auto* platform = new QLabel(PlatformLine(), this);
  platform->setObjectName("PlatformLabel");
  auto* licence = new QLabel(
      "Free software under the GNU General Public License, version 3 or later. It comes with no warranty.", this);
  licence->setObjectName("LicenceLabel");
  licence->setWordWrap(true);
  auto* qt = new QLabel(QString("Built with Qt %1, running on Qt %2").arg(QT_VERSION_STR, qVersion()), this);
  qt->setObjectName("QtLabel");
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

  auto* text = new QVBoxLayout;
  for (QLabel* line : {title, description, platform, licence, qt}) text->addWidget(line);
  auto* top = new QHBoxLayout;
  top->addWidget(icon);
  top->addSpacing(12);
  top->addLayout(text, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(buttons);
  setMinimumWidth(fontMetrics().horizontalAdvance('M') * 30);
}

QString TSplashform::PlatformLine() {
  const int bits = QSysInfo::WordSize;
  QString system = QSysInfo::kernelType();
  if (!system.isEmpty()) system[0] = system[0].toUpper();
  return QString("%1-bit version for %2").arg(bits).arg(system);
}

}  // namespace tv
