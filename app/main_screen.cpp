#include "app/main_screen.h"

#include <QLabel>

namespace tv {

TMainScreen::TMainScreen(QWidget* parent) : QMainWindow(parent) {
  setObjectName("TMainScreen");
  setWindowTitle("Tessivane");
  setMinimumSize(640, 400);
  auto* placeholder = new QLabel(this);
  placeholder->setAlignment(Qt::AlignCenter);
  setCentralWidget(placeholder);
}

}  // namespace tv
