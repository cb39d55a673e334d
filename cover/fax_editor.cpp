#include "cover/fax_editor.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/enter_edit.h"
#include "ui/help.h"
#include "ui/widgets.h"

namespace tv {

TFaxEditor::TFaxEditor(QWidget* parent) : QDialog(parent) {
  setObjectName("TFaxEditor");
  setWindowTitle("Fax Information Editor");

  recipient_ = NewEnterEdit(this, "Recipient", 35);
  faxNumber_ = NewEnterEdit(this, "FaxNumber", 25);
  subject_ = NewEnterEdit(this, "Subject", 50);
  notes_ = NewEnterEdit(this, "Notes", 50);
  codes_ = NewEnterEdit(this, "Codes", 25);

  auto* form = new QFormLayout;
  form->addRow("&Recipient", recipient_);
  form->addRow("Recipient &Fax#", faxNumber_);
  form->addRow("Re&garding", subject_);
  form->addRow("N&otes", notes_);
  form->addRow("Co&des", codes_);

  auto* phonebook = NewPushButton(this, "&Phonebook", "PhonebookButton");
  auto* accept = NewPushButton(this, "&Accept", "AcceptButton");
  accept->setDefault(true);
  auto* cancel = NewPushButton(this, "Cance&l", "CancelButton");
  auto* help = NewPushButton(this, "&Help", "HelpButton");

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(phonebook);
  buttons->addStretch(1);
  buttons->addWidget(accept);
  buttons->addWidget(cancel);
  buttons->addWidget(help);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addLayout(buttons);
  setMinimumWidth(fontMetrics().averageCharWidth() * 60);

  connect(phonebook, &QPushButton::clicked, this, [this] { ChooseRecipient(chooser_, this, recipient_, faxNumber_); });
  connect(accept, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(help, &QPushButton::clicked, this, [] { ShowHelp(kHelpFaxEditor); });
}

void TFaxEditor::SetValues(const FaxInformation& v) {
  recipient_->setText(v.Recipient);
  faxNumber_->setText(v.FaxNumber);
  subject_->setText(v.Subject);
  notes_->setText(v.Notes);
  codes_->setText(v.Codes);
}

FaxInformation TFaxEditor::Values() const {
  return {recipient_->text(), faxNumber_->text(), subject_->text(), notes_->text(), codes_->text()};
}

void ChooseRecipient(const PhoneBookChooser& chooser, QWidget* parent, QLineEdit* name, QLineEdit* number) {
  QString chosenName;
  QString chosenNumber;
  if (chooser && chooser(parent, chosenName, chosenNumber)) {
    name->setText(chosenName);
    number->setText(chosenNumber);
  }
}

}  // namespace tv
