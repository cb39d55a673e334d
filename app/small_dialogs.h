// The main window's small dialogs: what to delete of a fax, the notes of a
// received fax, and a phone book entry.
#pragma once

#include <QDialog>

class QLineEdit;
class QLabel;

namespace tv {

class RadioGroup;

// Which part of a fax with cover and body to delete.
enum class DeleteWhat { kCover = 0, kBody = 1, kBoth = 2 };

class TDeleteWhat : public QDialog {
  Q_OBJECT

 public:
  explicit TDeleteWhat(QWidget* parent = nullptr);
  DeleteWhat Choice() const;

 private:
  RadioGroup* whatToDelete_;
};

class TEditReceiveNotes : public QDialog {
  Q_OBJECT

 public:
  TEditReceiveNotes(const QString& from, const QString& notes, QWidget* parent = nullptr);
  QString Notes() const;

 private:
  QLineEdit* notes_;
};

class TPhoneBookEditor : public QDialog {
  Q_OBJECT

 public:
  TPhoneBookEditor(const QString& name, const QString& number, QWidget* parent = nullptr);
  QString Name() const;
  QString Number() const;

 private:
  QLineEdit* name_;
  QLineEdit* number_;
};

}  // namespace tv
