// Edit fields in which Enter moves to the next control instead of closing
// the dialog.
#pragma once

#include <QLineEdit>

namespace tv {

class TEnterEdit : public QLineEdit {
  Q_OBJECT

 public:
  using QLineEdit::QLineEdit;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
};

// A TEnterEdit with an object name and a maximum length.
TEnterEdit* NewEnterEdit(QWidget* parent, const char* objectName, int maxLength);

}  // namespace tv
