#include "app/phone_book.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>

#include "app/small_dialogs.h"
#include "app/table_model.h"
#include "platform/paths.h"
#include "store/fax_tables.h"
#include "ui/help.h"
#include "ui/window_helpers.h"

namespace tv {

TPhoneBook::TPhoneBook(Use use, QWidget* parent) : QDialog(parent), use_(use) {
  setObjectName("TPhoneBook");
  setWindowTitle("Phone Book Browser");

  phoneGrid_ = NewGrid(this, "PhoneGrid");
  phoneGrid_->verticalHeader()->setVisible(false);

  auto button = [this](const QString& caption, const char* name, const QString& hint) {
    auto* b = new QPushButton(caption, this);
    b->setObjectName(name);
    b->setToolTip(hint);
    b->setAutoDefault(false);
    return b;
  };
  auto* close = button("C&lose", "CloseButton", "Close the Phone Book Browser");
  auto* cancel = button("Cance&l", "CancelButton", "Cancel - do not use any of these phone book entries");
  auto* add = button("&New", "NewButton", "Create a new phone book entry");
  edit_ = button("&Edit", "EditButton", "Edit the currently selected phone book entry");
  delete_ = button("&Delete", "DeleteButton", "Delete the currently selected phone book entry");
  accept_ = button("&Accept", "AcceptButton", "Use this phone book entry");
  auto* help = button("&Help", "HelpButton", "Get Windows help for Phonebook Browser");
  const bool choosing = use_ == Use::kChoose;
  close->setVisible(!choosing);
  cancel->setVisible(choosing);
  accept_->setVisible(choosing);

  auto* buttons = new QVBoxLayout;
  for (QPushButton* b : {accept_, add, edit_, delete_, close, cancel, help}) buttons->addWidget(b);
  buttons->addStretch(1);
  auto* layout = new QHBoxLayout(this);
  layout->addWidget(phoneGrid_, 1);
  layout->addLayout(buttons);

  connect(close, &QPushButton::clicked, this, &QDialog::reject);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(add, &QPushButton::clicked, this, &TPhoneBook::NewButtonClick);
  connect(edit_, &QPushButton::clicked, this, &TPhoneBook::EditButtonClick);
  connect(delete_, &QPushButton::clicked, this, &TPhoneBook::DeleteButtonClick);
  connect(accept_, &QPushButton::clicked, this, &TPhoneBook::AcceptButtonClick);
  connect(help, &QPushButton::clicked, this, [] { ShowHelp(kHelpPhoneBook); });
  connect(phoneGrid_, &QTableView::doubleClicked, this, [this] {
    if (use_ == Use::kChoose) {
      AcceptButtonClick();
    } else {
      EditButtonClick();
    }
  });
}

TPhoneBook::~TPhoneBook() = default;

bool TPhoneBook::OpenTable() {
  if (!OpenPhoneTable(table_, ProgramFolder(), false)) return false;
  model_ = new TableModel(table_, VisibleColumns(PhoneTableLayout()), this);
  phoneGrid_->setModel(model_);
  SizeColumns(phoneGrid_, *model_);
  // Both columns in view, and room for a screenful of names.
  phoneGrid_->setMinimumSize(FullWidth(phoneGrid_), phoneGrid_->verticalHeader()->defaultSectionSize() * 12);
  adjustSize();
  Refresh(0);
  return true;
}

void TPhoneBook::Maintain(QWidget* parent) {
  TPhoneBook book(Use::kMaintain, parent);
  if (!book.OpenTable()) return;
  CenterForm(&book);
  book.exec();
}

bool TPhoneBook::Choose(QWidget* parent, QString& name, QString& number) {
  TPhoneBook book(Use::kChoose, parent);
  if (!book.OpenTable()) return false;
  CenterForm(&book);
  if (book.exec() != QDialog::Accepted) return false;
  name = book.ChosenName();
  number = book.ChosenNumber();
  return true;
}

void TPhoneBook::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  UpdateButtons();
}

void TPhoneBook::UpdateButtons() {
  QCoreApplication::processEvents();
  const bool hasRecord = model_ && model_->HasRecords();
  edit_->setEnabled(hasRecord);
  delete_->setEnabled(hasRecord);
  if (accept_->isVisible()) accept_->setEnabled(hasRecord);
}

std::uint32_t TPhoneBook::CurrentRecNo() const {
  const QModelIndex current = phoneGrid_->currentIndex();
  return model_ && current.isValid() ? model_->RecNoAt(current.row()) : 0;
}

void TPhoneBook::Refresh(std::uint32_t recno) {
  model_->Reload();
  const int rows = model_->rowCount();
  int row = recno != 0 ? model_->RowOf(recno) : -1;
  if (row < 0 && rows > 0) row = std::clamp(phoneGrid_->currentIndex().row(), 0, rows - 1);
  if (rows > 0) phoneGrid_->setCurrentIndex(model_->index(row, 0));
}

std::pair<QString, QString> TPhoneBook::Entry(std::uint32_t recno) {
  table_.GoToRecord(recno);
  auto text = [this](const char* field) {
    const auto value = table_.Field(field);
    return value ? FromTableText(std::get<std::string>(*value)) : QString();
  };
  return {text("NAME"), text("PHONE")};
}

void TPhoneBook::NewButtonClick() {
  TPhoneBookEditor editor({}, {}, this);
  CenterForm(&editor);
  if (editor.exec() == QDialog::Accepted) {
    std::uint32_t added = 0;
    RunRecordAction([&] {
      table_.NewRecord();
      table_.SetField("NAME", ToTableText(editor.Name()));
      table_.SetField("PHONE", ToTableText(editor.Number()));
      added = table_.Append();
    });
    Refresh(added);
  }
  UpdateButtons();
}

void TPhoneBook::EditButtonClick() {
  const std::uint32_t recno = CurrentRecNo();
  if (recno == 0) {
    Beep();
    return;
  }
  RunRecordAction([&] {
    const auto [name, number] = Entry(recno);
    TPhoneBookEditor editor(name, number, this);
    CenterForm(&editor);
    if (editor.exec() != QDialog::Accepted) return;
    table_.GoToRecord(recno);
    table_.SetField("NAME", ToTableText(editor.Name()));
    table_.SetField("PHONE", ToTableText(editor.Number()));
    table_.Modify();
  });
  Refresh(recno);
}

void TPhoneBook::DeleteButtonClick() {
  const std::uint32_t recno = CurrentRecNo();
  if (recno == 0) {
    Beep();
    return;
  }
  RunRecordAction([&] {
    if (!AskYesNoDefaultNo("Delete the current phone book entry?:\r" + Entry(recno).first, "Delete")) return;
    table_.GoToRecord(recno);
    table_.Delete();
  });
  Refresh(0);
  QCoreApplication::processEvents();
  UpdateButtons();
}

void TPhoneBook::AcceptButtonClick() {
  const std::uint32_t recno = CurrentRecNo();
  if (recno == 0) return;
  RunRecordAction([&] {
    std::tie(chosenName_, chosenNumber_) = Entry(recno);
    accept();
  });
}

}  // namespace tv
