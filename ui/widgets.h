// Small controls the program's windows share.
#pragma once

#include <QButtonGroup>
#include <QGroupBox>
#include <QStringList>

class QLineEdit;
class QPushButton;

namespace tv {

// A named edit with its hint, wide enough for `chars` digits (an
// international number, a name).
QLineEdit* NewLineEdit(QWidget* parent, const char* objectName, const QString& hint = {}, int chars = 22);
// A push button with an object name (and a hint, when given).
QPushButton* NewPushButton(QWidget* parent, const QString& caption, const char* objectName, const QString& hint = {});

// A titled group of radio buttons laid out in columns, read and set by index
// (-1 when none is checked).
class RadioGroup : public QGroupBox {
  Q_OBJECT

 public:
  RadioGroup(const QString& title, const QStringList& items, int columns, QWidget* parent = nullptr);

  int ItemIndex() const;
  void SetItemIndex(int index);
  int Count() const { return static_cast<int>(buttons_.buttons().size()); }
  void SetItemText(int index, const QString& text);

 private:
  QButtonGroup buttons_;
};

}  // namespace tv
