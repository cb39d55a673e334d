#include "ui/widgets.h"

#include <QAbstractButton>
#include <QGridLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include "ui/window_helpers.h"

namespace tv {

QLineEdit* NewLineEdit(QWidget* parent, const char* objectName, const QString& hint, int chars) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(objectName);
  if (!hint.isEmpty()) edit->setToolTip(DisplayText(hint));
  edit->setMinimumWidth(edit->fontMetrics().horizontalAdvance('0') * chars);
  return edit;
}

QPushButton* NewPushButton(QWidget* parent, const QString& caption, const char* objectName, const QString& hint) {
  auto* button = new QPushButton(caption, parent);
  button->setObjectName(objectName);
  if (!hint.isEmpty()) button->setToolTip(DisplayText(hint));
  return button;
}

RadioGroup::RadioGroup(const QString& title, const QStringList& items, int columns, QWidget* parent)
    : QGroupBox(title, parent) {
  auto* layout = new QGridLayout(this);
  const int rows = (static_cast<int>(items.size()) + columns - 1) / columns;
  for (int i = 0; i < items.size(); ++i) {
    auto* button = new QRadioButton(items[i], this);
    buttons_.addButton(button, i);
    // Items run down each column first, as in a two-column port list.
    layout->addWidget(button, i % rows, i / rows);
  }
}

int RadioGroup::ItemIndex() const { return buttons_.checkedId(); }

void RadioGroup::SetItemIndex(int index) {
  if (QAbstractButton* button = buttons_.button(index)) {
    button->setChecked(true);
  } else if (QAbstractButton* checked = buttons_.checkedButton()) {
    buttons_.setExclusive(false);
    checked->setChecked(false);
    buttons_.setExclusive(true);
  }
}

void RadioGroup::SetItemText(int index, const QString& text) {
  if (QAbstractButton* button = buttons_.button(index)) button->setText(text);
}

}  // namespace tv
