// The phone book window, for maintaining the list and for choosing a
// recipient from it.
#pragma once

#include <QDialog>
#include <utility>

#include "store/txbase.h"

class QPushButton;
class QTableView;

namespace tv {

class TableModel;

class TPhoneBook : public QDialog {
  Q_OBJECT

 public:
  enum class Use { kMaintain, kChoose };

  TPhoneBook(Use use, QWidget* parent = nullptr);
  ~TPhoneBook() override;

  // Opens the phone table; false (nothing shown) when it cannot be opened.
  bool OpenTable();

  const QString& ChosenName() const { return chosenName_; }
  const QString& ChosenNumber() const { return chosenNumber_; }

  // The main menu's "Phone Book".
  static void Maintain(QWidget* parent);
  // The editors' "Phonebook" buttons; true when an entry was accepted.
  static bool Choose(QWidget* parent, QString& name, QString& number);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void UpdateButtons();
  void Refresh(std::uint32_t recno);
  std::uint32_t CurrentRecNo() const;
  // The name and number of a record (raises XbaseError when it is gone).
  std::pair<QString, QString> Entry(std::uint32_t recno);
  void NewButtonClick();
  void EditButtonClick();
  void DeleteButtonClick();
  void AcceptButtonClick();

  Use use_;
  TXbase table_;
  TableModel* model_ = nullptr;
  QTableView* phoneGrid_;
  QPushButton* edit_;
  QPushButton* delete_;
  QPushButton* accept_;
  QString chosenName_;
  QString chosenNumber_;
};

}  // namespace tv
