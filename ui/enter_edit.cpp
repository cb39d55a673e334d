#include "ui/enter_edit.h"

#include <QKeyEvent>

namespace tv {

void TEnterEdit::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    focusNextChild();
    event->accept();
    return;
  }
  QLineEdit::keyPressEvent(event);
}

TEnterEdit* NewEnterEdit(QWidget* parent, const char* objectName, int maxLength) {
  auto* edit = new TEnterEdit(parent);
  edit->setObjectName(objectName);
  edit->setMaxLength(maxLength);
  return edit;
}

}  // namespace tv
