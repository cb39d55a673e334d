// The main window: outgoing and incoming fax lists.
#pragma once

#include <QMainWindow>

namespace tv {

class TMainScreen : public QMainWindow {
  Q_OBJECT

 public:
  explicit TMainScreen(QWidget* parent = nullptr);
};

}  // namespace tv
