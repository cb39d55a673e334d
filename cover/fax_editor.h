// The fax information editor: recipient, fax number, subject, notes and
// codes of a fax without a cover sheet (and of a fax being forwarded).
#pragma once

#include <QDialog>
#include <functional>

class QLineEdit;

namespace tv {

struct FaxInformation {
  QString Recipient;
  QString FaxNumber;
  QString Subject;
  QString Notes;
  QString Codes;
};

// Picks a name and number from the phone book; false when the user cancels.
using PhoneBookChooser = std::function<bool(QWidget* parent, QString& name, QString& number)>;

// The editors' "&Phonebook": the chosen entry's name and number go into the
// two fields.
void ChooseRecipient(const PhoneBookChooser& chooser, QWidget* parent, QLineEdit* name, QLineEdit* number);

class TFaxEditor : public QDialog {
  Q_OBJECT

 public:

  explicit TFaxEditor(QWidget* parent = nullptr);

  void SetValues(const FaxInformation& values);
  FaxInformation Values() const;
  void SetPhoneBookChooser(PhoneBookChooser chooser) { chooser_ = std::move(chooser); }

 private:
  QLineEdit* recipient_;
  QLineEdit* faxNumber_;
  QLineEdit* subject_;
  QLineEdit* notes_;
  QLineEdit* codes_;
  PhoneBookChooser chooser_;
};

}  // namespace tv
