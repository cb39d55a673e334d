#include "app/small_dialogs.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/enter_edit.h"
#include "ui/help.h"
#include "ui/widgets.h"
#include "ui/window_helpers.h"

namespace tv {

namespace {

QPushButton* AddButton(QHBoxLayout* row, QDialog* dialog, const QString& caption, const char* objectName,
                       const QString& hint = {}) {
  auto* button = new QPushButton(caption, dialog);
  button->setObjectName(objectName);
  if (!hint.isEmpty()) button->setToolTip(hint);
  row->addWidget(button);
  return button;
}

// Accept (OK), Cancel and, when helpContext is set, Help, right-aligned.
QHBoxLayout* DialogButtons(QDialog* dialog, const QString& acceptCaption, int helpContext,
                           const QString& acceptHint = {}, const QString& cancelHint = {}) {
  auto* row = new QHBoxLayout;
  row->addStretch(1);
  QPushButton* accept = AddButton(row, dialog, acceptCaption, "AcceptButton", acceptHint);
  accept->setDefault(true);
  QPushButton* cancel = AddButton(row, dialog, "Cance&l", "CancelButton", cancelHint);
  QObject::connect(accept, &QPushButton::clicked, dialog, &QDialog::accept);
  QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
  if (helpContext != 0) {
    QPushButton* help = AddButton(row, dialog, "&Help", "HelpButton");
    QObject::connect(help, &QPushButton::clicked, dialog, [helpContext] { ShowHelp(helpContext); });
  }
  return row;
}

}  // namespace

TDeleteWhat::TDeleteWhat(QWidget* parent) : QDialog(parent) {
  setObjectName("TDeleteWhat");
  setWindowTitle("Delete Fax");
  whatToDelete_ = new RadioGroup(
      {}, {"Delete Fax Cover", "Delete Fax Body", "Delete Both Fax Cover && Fax Body"}, 1, this);
  whatToDelete_->setObjectName("WhatToDelete");
  whatToDelete_->SetItemIndex(static_cast<int>(DeleteWhat::kBoth));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(whatToDelete_);
  layout->addLayout(DialogButtons(this, "&Ok", kHelpContents));
}

DeleteWhat TDeleteWhat::Choice() const { return static_cast<DeleteWhat>(whatToDelete_->ItemIndex()); }

TEditReceiveNotes::TEditReceiveNotes(const QString& from, const QString& notes, QWidget* parent) : QDialog(parent) {
  setObjectName("TEditReceiveNotes");
  setWindowTitle("Received Fax Notes");
  auto* descript = new QLabel("From: " + from, this);
  descript->setObjectName("Descript");
  notes_ = NewEnterEdit(this, "Notes", 60);
  notes_->setText(notes);
  notes_->setMinimumWidth(notes_->fontMetrics().averageCharWidth() * 62);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(descript);
  layout->addWidget(notes_);
  layout->addLayout(DialogButtons(this, "&Accept", 0, "Accept changes made and exit", "Cancel changes made and exit"));
}

QString TEditReceiveNotes::Notes() const { return notes_->text(); }

TPhoneBookEditor::TPhoneBookEditor(const QString& name, const QString& number, QWidget* parent) : QDialog(parent) {
  setObjectName("TPhoneBookEditor");
  setWindowTitle("Phone Book Editor");
  name_ = NewEnterEdit(this, "Name", 35);
  name_->setToolTip("Type the recipient's name here");
  name_->setText(name);
  number_ = NewEnterEdit(this, "Number", 25);
  number_->setToolTip("Type the fax number here");
  number_->setText(number);
  auto* form = new QFormLayout;
  form->addRow("Name", name_);
  form->addRow("Fax Number", number_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addLayout(DialogButtons(this, "&Accept", kHelpPhoneBookEditor));
  setMinimumWidth(fontMetrics().averageCharWidth() * 50);
}

QString TPhoneBookEditor::Name() const { return name_->text(); }
QString TPhoneBookEditor::Number() const { return number_->text(); }

}  // namespace tv
