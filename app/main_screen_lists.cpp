// The two fax lists of the main window: buttons, records and grids.
#include <QAction>
#include <QCoreApplication>
#include <QHeaderView>
#include <QMenu>
#include <QStringDecoder>
#include <QTableView>
#include <QToolButton>
#include <algorithm>
#include <fstream>
#include <optional>
#include <sstream>

#include "app/main_screen.h"
#include "app/main_screen_actions.h"
#include "app/phone_book.h"
#include "app/printer_handover.h"
#include "app/rebuild_dialog.h"
#include "app/small_dialogs.h"
#include "app/table_model.h"
#include "cover/cover_data.h"
#include "cover/fax_editor.h"
#include "platform/code_page.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/work_files.h"
#include "store/fax_tables.h"
#include "ui/window_helpers.h"

namespace tv {

namespace {

const QString kArchiveHint =
    "Archive this fax [CTRL+A]\r(This makes the fax invisible, but does not\rdelete it. You can view archived faxes by\r"
    "toggling the File..Show Archived Faxes menu)";
const QString kUnarchiveHint = "Unarchive this fax [CTRL+A]";

// Description texts from the printer driver are UTF-8 when they decode as
// such, else 8-bit text in the 1252 code page.
QString DescriptionText(const std::string& bytes) {
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString text = utf8(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
  return utf8.hasError() ? QString::fromStdString(Cp1252ToUtf8(bytes)) : text;
}

QString SubjectNote(const QString& label, const QString& value) {
  return "(" + label + ": \"" + value + "\")";
}

}  // namespace

TXbase& TMainScreen::CurrentTable() { return CurrentTab() == Tab::kOutgoing ? faxXbase_ : recXbase_; }
TableModel* TMainScreen::CurrentModel() { return CurrentTab() == Tab::kOutgoing ? faxModel_ : recModel_; }
QTableView* TMainScreen::CurrentGrid() { return CurrentTab() == Tab::kOutgoing ? faxGrid_ : recFaxGrid_; }

std::uint32_t TMainScreen::SelectedRecNo(Tab tab) {
  QTableView* grid = tab == Tab::kOutgoing ? faxGrid_ : recFaxGrid_;
  TableModel* model = tab == Tab::kOutgoing ? faxModel_ : recModel_;
  if (!model) return 0;
  const QModelIndex current = grid->currentIndex();
  return current.isValid() ? model->RecNoAt(current.row()) : 0;
}

std::vector<std::uint32_t> TMainScreen::SelectedRecNos(Tab tab) {
  QTableView* grid = tab == Tab::kOutgoing ? faxGrid_ : recFaxGrid_;
  TableModel* model = tab == Tab::kOutgoing ? faxModel_ : recModel_;
  if (!model) return {};
  QModelIndexList rows = grid->selectionModel()->selectedRows();
  std::sort(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
  std::vector<std::uint32_t> recnos;
  for (const QModelIndex& row : rows) recnos.push_back(model->RecNoAt(row.row()));
  if (recnos.empty() && SelectedRecNo(tab) != 0) recnos.push_back(SelectedRecNo(tab));
  return recnos;
}

bool TMainScreen::GoToRecNo(TXbase& table, std::uint32_t recno) {
  if (recno == 0 || !table.Active()) return false;
  try {
    table.GoToRecord(recno);
    return table.RecordNumber() == recno;
  } catch (const XbaseError&) {
    return false;
  }
}

void TMainScreen::RefreshGrid(Tab tab, std::uint32_t recno) {
  QTableView* grid = tab == Tab::kOutgoing ? faxGrid_ : recFaxGrid_;
  TableModel* model = tab == Tab::kOutgoing ? faxModel_ : recModel_;
  if (!model) return;
  const int oldRow = grid->currentIndex().row();
  model->Reload();
  if (FitOrderToRows(tab)) model->Reload();
  const int rows = model->rowCount();
  int row = recno != 0 ? model->RowOf(recno) : -1;
  if (row < 0 && rows > 0) row = std::clamp(oldRow, 0, rows - 1);
  if (rows > 0) grid->setCurrentIndex(model->index(row, 0));
  grid->setEnabled(model->HasRecords());
  OnCurrentRowChanged(tab);
}

bool TMainScreen::FitOrderToRows(Tab tab) {
  // Natural order while a list is empty, its date order as soon as it has
  // records (on the outgoing list through its sort menu's "Date Sent").
  TXbase& table = tab == Tab::kOutgoing ? faxXbase_ : recXbase_;
  TableModel* model = tab == Tab::kOutgoing ? faxModel_ : recModel_;
  if (!table.Active()) return false;
  const bool hasRecords = model->HasRecords();
  const bool ordered = table.CurrentOrder() != 0;
  if (hasRecords == ordered) return false;
  if (!hasRecords) {
    table.SelectOrder(0);
  } else if (tab == Tab::kOutgoing) {
    table.SelectOrder(table.TagOrder("DATESENT"));
    for (QAction* sort : {actions_->sortDateSent, actions_->sortSubject, actions_->sortRecipient})
      sort->setChecked(sort == actions_->sortDateSent);
  } else {
    table.SelectOrder(table.TagOrder("DATETIME"));
  }
  return true;
}

QString TMainScreen::FieldText(TXbase& table, const char* field) {
  const auto value = table.Field(field);
  if (!value) return {};
  if (const auto* text = std::get_if<std::string>(&*value)) return FromTableText(*text);
  return {};
}

void TMainScreen::OnCurrentRowChanged(Tab tab) {
  if (tab != CurrentTab()) return;
  SetArchiveCaptions();
  if (tab == Tab::kOutgoing) FaxDataSourceDataChange();
}

void TMainScreen::FaxDataSourceDataChange() {
  SetArchiveCaptions();
  if (firstActivation_) return;
  const std::uint32_t recno = SelectedRecNo(Tab::kOutgoing);
  const bool canAddCover = GoToRecNo(faxXbase_, recno) && FieldText(faxXbase_, "FAXCOVER").isEmpty();
  actions_->addCoverButton->setEnabled(canAddCover && !receiveMode_);
  actions_->addCover->setEnabled(canAddCover && !receiveMode_);
  actions_->deliveryReport->setEnabled(CurrentDeliveryReport().has_value());
}

void TMainScreen::SetButtons() {
  if (!faxModel_ || !recModel_) return;
  Actions& a = *actions_;
  faxGrid_->setEnabled(faxModel_->HasRecords());
  recFaxGrid_->setEnabled(recModel_->HasRecords());

  const bool hasRecord = CurrentModel()->HasRecords();
  sortButton_->setEnabled(true);
  if (CurrentTab() == Tab::kOutgoing) {
    const bool hasCover = GoToRecNo(faxXbase_, SelectedRecNo(Tab::kOutgoing)) &&
                          !FieldText(faxXbase_, "FAXCOVER").isEmpty();
    a.cloneButton->setVisible(true);
    a.forwardButton->setVisible(false);
    a.forwardButton->setEnabled(false);
    a.sendButton->setEnabled(hasRecord && !receiveMode_);
    a.newButton->setEnabled(true);
    a.cloneButton->setEnabled(hasRecord);
    a.addCoverButton->setEnabled(hasRecord && !receiveMode_ && !hasCover);
  } else {
    a.cloneButton->setVisible(false);
    a.cloneButton->setEnabled(false);
    a.forwardButton->setVisible(true);
    a.forwardButton->setEnabled(hasRecord);
    a.sendButton->setEnabled(false);
    a.newButton->setEnabled(false);
    a.addCoverButton->setEnabled(false);
  }
  a.edit->setEnabled(hasRecord);
  a.remove->setEnabled(hasRecord);
  a.viewButton->setEnabled(hasRecord);
  a.archiveButton->setEnabled(hasRecord);

  // Menu items follow their buttons.
  a.forward->setEnabled(a.forwardButton->isEnabled());
  a.newCover->setEnabled(a.newButton->isEnabled());
  a.addCover->setEnabled(a.addCoverButton->isEnabled());
  a.viewPrint->setEnabled(a.viewButton->isEnabled());
  a.savePdf->setEnabled(a.viewButton->isEnabled());
  a.deliveryReport->setEnabled(CurrentDeliveryReport().has_value());
  a.archive->setEnabled(a.archiveButton->isEnabled());
  a.clone->setEnabled(a.cloneButton->isEnabled());
  a.send->setEnabled(a.sendButton->isEnabled());
  fileMenu_->setEnabled(!receiveMode_);
  a.rebuildIndexes->setEnabled(!receiveMode_);
  a.preferences->setEnabled(!receiveMode_);
  SetArchiveCaptions();
}

void TMainScreen::SetArchiveCaptions() {
  TXbase& table = CurrentTable();
  bool archived = false;
  if (GoToRecNo(table, SelectedRecNo(CurrentTab()))) {
    const auto value = table.Field("ARCHIVED");
    archived = value && std::get<bool>(*value);
  }
  for (QAction* action : {actions_->archive, actions_->archiveButton}) {
    SetCaption(action, archived ? "Un&Archive" : "&Archive", archived ? kUnarchiveHint : kArchiveHint);
  }
}

// --- Printer-driver hand-over ---------------------------------------------

bool TMainScreen::ProcessExtraPDFaxFiles() {
  const PrinterDriverIntake intake = tv::ProcessExtraPDFaxFiles(
      SendFolder(), [this](const PrinterDriverFax& fax) { return AppendPrinterDriverFax(fax); });
  // A pair that cannot be taken in stays for the next activation; the user
  // hears of it once, not at every switch back to the program.
  QStringList news;
  for (const PrinterDriverFailure& failure : intake.failures) {
    if (reportedPairs_.insert(failure.apfName).second)
      news << QString::fromStdString(failure.apfName + ": " + failure.reason);
  }
  if (!news.isEmpty())
    ShowInformation(
        "These faxes from the printer driver could not be added to the outgoing list; they stay in "
        "the SEND folder and are tried again:\r\n" +
        news.join("\r\n"));
  if (intake.found > 0) FaxTableCloseAndOpen();
  return intake.found > 0;
}

std::string TMainScreen::AppendPrinterDriverFax(const PrinterDriverFax& fax) {
  try {
    faxXbase_.NewRecord();
    faxXbase_.SetField("FAXDOC", ToTableText(QString::fromStdString(fax.apfName)));
    faxXbase_.SetField("RECIPIENT", ToTableText(DescriptionText(fax.recipient)));
    faxXbase_.SetField("SUBJECT", ToTableText(DescriptionText(fax.subject)));
    faxXbase_.SetField("PHONE", ToTableText(DescriptionText(fax.phone)));
    faxXbase_.Append();
    QCoreApplication::processEvents();
    return {};
  } catch (const XbaseError& e) {
    return e.what();
  }
}

void TMainScreen::FaxTableCloseAndOpen() {
  const std::uint32_t recno = SelectedRecNo(Tab::kOutgoing);
  faxGrid_->setUpdatesEnabled(false);
  std::string problem;
  if (!tv::FaxTableCloseAndOpen(faxXbase_, ProgramFolder(), &problem))
    ShowInformation("The outgoing fax list could not be opened again (" + QString::fromStdString(problem) +
                    "). It is tried again when you come back to the program.");
  faxXbase_.SetQuery(archiveFilter_);
  RefreshGrid(Tab::kOutgoing, recno);
  faxGrid_->setUpdatesEnabled(true);
}

// --- Outgoing list ----------------------------------------------------------

void TMainScreen::EditButtonClick() {
  if (CurrentTab() == Tab::kIncoming) {
    EditReceivedFax();
  } else if (GoToRecNo(faxXbase_, SelectedRecNo(Tab::kOutgoing)) && !FieldText(faxXbase_, "FAXCOVER").isEmpty()) {
    EditAddQuickFax(false);
  } else {
    EditAPFFax();
  }
}

void TMainScreen::EditAPFFax() {
  const std::uint32_t recno = SelectedRecNo(Tab::kOutgoing);
  if (!GoToRecNo(faxXbase_, recno)) {
    Beep();
    return;
  }
  TFaxEditor editor(this);
  editor.SetValues({FieldText(faxXbase_, "RECIPIENT"), FieldText(faxXbase_, "PHONE"), FieldText(faxXbase_, "SUBJECT"),
                    FieldText(faxXbase_, "NOTES"), FieldText(faxXbase_, "CODES")});
  editor.SetPhoneBookChooser(&TPhoneBook::Choose);
  CenterForm(&editor);
  if (editor.exec() != QDialog::Accepted || !GoToRecNo(faxXbase_, recno)) return;
  const FaxInformation v = editor.Values();
  RunRecordAction([&] {
    faxXbase_.SetField("RECIPIENT", ToTableText(v.Recipient));
    faxXbase_.SetField("PHONE", ToTableText(v.FaxNumber));
    faxXbase_.SetField("SUBJECT", ToTableText(v.Subject));
    faxXbase_.SetField("NOTES", ToTableText(v.Notes));
    faxXbase_.SetField("CODES", ToTableText(v.Codes));
    faxXbase_.Modify();
  });
  RefreshGrid(Tab::kOutgoing, recno);
  SetButtons();
}

void TMainScreen::CloneButtonClick() {
  const std::uint32_t recno = SelectedRecNo(Tab::kOutgoing);
  if (!GoToRecNo(faxXbase_, recno)) {
    Beep();
    return;
  }
  const QString subject = FieldText(faxXbase_, "SUBJECT");
  if (!AskYesNoDefaultNo("Clone the current fax?\r\n" + SubjectNote("subject", subject), "Clone")) return;
  if (!GoToRecNo(faxXbase_, recno)) return;
  const QString doc = FieldText(faxXbase_, "FAXDOC");
  const QString cover = FieldText(faxXbase_, "FAXCOVER");
  if (doc.isEmpty() && cover.isEmpty()) return;
  const std::optional<std::string> body = FaxFilePath(SendFolder(), doc);
  const std::optional<std::string> coverPage = FaxFilePath(SendFolder(), cover);
  if (!body || !coverPage) {
    body ? ShowDamagedRecord("FAXCOVER", cover) : ShowDamagedRecord("FAXDOC", doc);
    return;
  }
  CloneAPFFax(*body, *coverPage, FieldText(faxXbase_, "PHONE"), FieldText(faxXbase_, "RECIPIENT"), subject);
}

void TMainScreen::CloneAPFFax(const std::string& body, const std::string& cover, const QString& phone,
                              const QString& recipient, const QString& subject) {
  std::uint32_t added = 0;
  RunRecordAction([&] {
    faxXbase_.NewRecord();
    if (IsRegularFile(body)) {
      const std::string copy = UniqueFaxFileName(SendFolder(), "FAX");
      if (CopyWholeFile(body, copy)) faxXbase_.SetField("FAXDOC", std::string(BaseName(copy)));
    }
    const std::string coverData = cover.empty() ? std::string() : CoverDataPath(cover);
    if (IsRegularFile(cover) && IsRegularFile(coverData)) {
      const std::string copy = UniqueFaxFileName(SendFolder(), "COV");
      if (CopyWholeFile(cover, copy) && CopyWholeFile(coverData, CoverDataPath(copy))) {
        faxXbase_.SetField("FAXCOVER", std::string(BaseName(copy)));
      }
    }
    faxXbase_.SetField("RECIPIENT", ToTableText(recipient));
    faxXbase_.SetField("SUBJECT", ToTableText("[clone]" + subject));
    faxXbase_.SetField("PHONE", ToTableText(phone));
    added = faxXbase_.Append();
  });
  SetButtons();
  tv::FaxTableCloseAndOpen(faxXbase_, ProgramFolder(), nullptr);
  faxXbase_.SetQuery(archiveFilter_);
  RefreshGrid(Tab::kOutgoing, added);
  SetButtons();
}

void TMainScreen::DeleteButtonClick() {
  const Tab tab = CurrentTab();
  if (const std::vector<std::uint32_t> recnos = SelectedRecNos(tab); recnos.size() > 1) {
    DeleteSelected(tab, recnos);
  } else if (tab == Tab::kIncoming) {
    DeleteFromRec();
  } else {
    DeleteFromSend();
  }
}

void TMainScreen::DeleteSelected(Tab tab, const std::vector<std::uint32_t>& recnos) {
  if (tab == Tab::kIncoming && faxBeingReceived_) {
    Beep();
    return;
  }
  if (!AskYesNoDefaultNo(QString("Delete the %1 selected faxes?").arg(recnos.size()), "Delete")) return;
  TXbase& table = tab == Tab::kOutgoing ? faxXbase_ : recXbase_;
  for (const std::uint32_t recno : recnos) {
    if (!GoToRecNo(table, recno)) continue;
    tab == Tab::kOutgoing ? RemoveOutgoingFax(DeleteWhat::kBoth) : RemoveReceivedFax();
  }
  RefreshGrid(tab);
  SetButtons();
}

void TMainScreen::DeleteFromSend() {
  const std::uint32_t recno = SelectedRecNo(Tab::kOutgoing);
  if (!GoToRecNo(faxXbase_, recno)) {
    Beep();
    return;
  }
  const QString doc = FieldText(faxXbase_, "FAXDOC");
  const QString cover = FieldText(faxXbase_, "FAXCOVER");
  DeleteWhat what = DeleteWhat::kBoth;
  if (!doc.isEmpty() && !cover.isEmpty()) {
    TDeleteWhat dialog(this);
    CenterForm(&dialog);
    if (dialog.exec() != QDialog::Accepted) return;
    what = dialog.Choice();
  } else if (!AskYesNoDefaultNo("Delete the current fax?\r\n" + SubjectNote("subject", FieldText(faxXbase_, "SUBJECT")),
                                "Delete")) {
    return;
  }
  if (!GoToRecNo(faxXbase_, recno)) return;
  RemoveOutgoingFax(what);
  RefreshGrid(Tab::kOutgoing, what == DeleteWhat::kBoth ? 0 : recno);
  SetButtons();
}

void TMainScreen::RemoveOutgoingFax(DeleteWhat what) {
  const QString doc = FieldText(faxXbase_, "FAXDOC");
  const QString cover = FieldText(faxXbase_, "FAXCOVER");
  // Files go only after the record no longer names them, and only files
  // that are plainly in the SEND folder.
  auto removeCover = [&] {
    if (cover.isEmpty()) return;
    if (const auto path = FaxFilePath(SendFolder(), cover)) {
      std::remove(CoverDataPath(*path).c_str());
      std::remove(path->c_str());
    } else {
      ShowDamagedRecord("FAXCOVER", cover);
    }
  };
  auto removeBody = [&] {
    if (doc.isEmpty()) return;
    if (const auto path = FaxFilePath(SendFolder(), doc)) {
      std::remove(path->c_str());
    } else {
      ShowDamagedRecord("FAXDOC", doc);
    }
  };
  RunRecordAction([&] {
    switch (what) {
      case DeleteWhat::kCover:
        faxXbase_.ClearField("FAXCOVER");
        faxXbase_.Modify();
        removeCover();
        break;
      case DeleteWhat::kBody:
        faxXbase_.ClearField("FAXDOC");
        faxXbase_.Modify();
        removeBody();
        break;
      case DeleteWhat::kBoth:
        faxXbase_.Delete();
        removeBody();
        removeCover();
        break;
    }
  });
}

void TMainScreen::ArchivebuttonClick() {
  if (CurrentTab() == Tab::kIncoming) {
    ArchiveReceived();
    return;
  }
  const std::uint32_t recno = SelectedRecNo(Tab::kOutgoing);
  if (!GoToRecNo(faxXbase_, recno)) {
    Beep();
    return;
  }
  const auto archivedValue = faxXbase_.Field("ARCHIVED");
  const bool archived = archivedValue && std::get<bool>(*archivedValue);
  const QString subject = FieldText(faxXbase_, "SUBJECT");
  const QString text = QString(archived ? "UnArchive the current fax?" : "Archive the current fax?") + "\r" +
                       (subject.isEmpty() ? QString("(no subject)") : "(subject: " + subject + ")");
  if (AskYesNoDefaultNo(text, "Archive") && GoToRecNo(faxXbase_, recno)) {
    RunRecordAction([&] {
      faxXbase_.SetField("ARCHIVED", !archived);
      faxXbase_.Modify();
    });
  }
  RefreshGrid(Tab::kOutgoing, recno);
  SetButtons();
}

void TMainScreen::mnuShowArchivesClick() {
  archiveFilter_ = actions_->showArchived->isChecked() ? std::string() : std::string(kArchiveFilterAgain);
  const std::uint32_t outgoing = SelectedRecNo(Tab::kOutgoing);
  const std::uint32_t incoming = SelectedRecNo(Tab::kIncoming);
  faxXbase_.SetQuery(archiveFilter_);
  recXbase_.SetQuery(archiveFilter_);
  RefreshGrid(Tab::kOutgoing, outgoing);
  RefreshGrid(Tab::kIncoming, incoming);
  SetButtons();
}

void TMainScreen::SelectOutgoingOrder(const char* tag, QAction* item) {
  const std::uint32_t recno = SelectedRecNo(Tab::kOutgoing);
  faxXbase_.SelectOrder(faxXbase_.TagOrder(tag));
  for (QAction* sort : {actions_->sortDateSent, actions_->sortSubject, actions_->sortRecipient}) {
    sort->setChecked(sort == item);
  }
  RefreshGrid(Tab::kOutgoing, recno);
}

// --- Incoming list ----------------------------------------------------------

void TMainScreen::EditReceivedFax() {
  const std::uint32_t recno = SelectedRecNo(Tab::kIncoming);
  if (faxBeingReceived_ || !GoToRecNo(recXbase_, recno)) {
    Beep();
    return;
  }
  TEditReceiveNotes dialog(FieldText(recXbase_, "FROM"), FieldText(recXbase_, "NOTES"), this);
  CenterForm(&dialog);
  if (dialog.exec() != QDialog::Accepted || !GoToRecNo(recXbase_, recno)) return;
  RunRecordAction([&] {
    recXbase_.SetField("NOTES", ToTableText(dialog.Notes()));
    recXbase_.Modify();
  });
  RefreshGrid(Tab::kIncoming, recno);
}

void TMainScreen::DeleteFromRec() {
  const std::uint32_t recno = SelectedRecNo(Tab::kIncoming);
  if (faxBeingReceived_ || !GoToRecNo(recXbase_, recno)) {
    Beep();
    return;
  }
  const QString from = FieldText(recXbase_, "FROM");
  if (AskYesNoDefaultNo("Delete the current fax?\r\n" + SubjectNote("from", from), "Delete") &&
      GoToRecNo(recXbase_, recno)) {
    RemoveReceivedFax();
  }
  RefreshGrid(Tab::kIncoming);
  SetButtons();
}

void TMainScreen::RemoveReceivedFax() {
  const QString file = FieldText(recXbase_, "FAXFILE");
  RunRecordAction([&] {
    recXbase_.Delete();
    if (file.isEmpty()) return;
    if (const auto path = FaxFilePath(ReceiveFolder(), file)) {
      std::remove(path->c_str());
    } else {
      ShowDamagedRecord("FAXFILE", file);
    }
  });
}

void TMainScreen::ArchiveReceived() {
  const std::uint32_t recno = SelectedRecNo(Tab::kIncoming);
  if (faxBeingReceived_ || !GoToRecNo(recXbase_, recno)) {
    Beep();
    return;
  }
  const auto archivedValue = recXbase_.Field("ARCHIVED");
  const bool archived = archivedValue && std::get<bool>(*archivedValue);
  const QString from = FieldText(recXbase_, "FROM");
  const QString text = QString(archived ? "UnArchive the current fax?" : "Archive the current fax?") + "\r" +
                       (from.isEmpty() ? QString() : "(from: " + from + ")");
  if (AskYesNoDefaultNo(text, "Archive") && GoToRecNo(recXbase_, recno)) {
    RunRecordAction([&] {
      recXbase_.SetField("ARCHIVED", !archived);
      recXbase_.Modify();
    });
  }
  RefreshGrid(Tab::kIncoming, recno);
  SetButtons();
}

void TMainScreen::SelectReceivedOrder(const char* tag, QAction* item) {
  if (faxBeingReceived_) {
    Beep();
    return;
  }
  const std::uint32_t recno = SelectedRecNo(Tab::kIncoming);
  recXbase_.SelectOrder(recXbase_.TagOrder(tag));
  for (QAction* sort : {actions_->sortDateReceived, actions_->sortFrom}) sort->setChecked(sort == item);
  RefreshGrid(Tab::kIncoming, recno);
}

void TMainScreen::ForwardButtonClick() {
  const std::uint32_t recno = SelectedRecNo(Tab::kIncoming);
  if (!GoToRecNo(recXbase_, recno)) return;
  const QString file = FieldText(recXbase_, "FAXFILE");
  const QString from = FieldText(recXbase_, "FROM");
  if (file.isEmpty()) return;
  const std::optional<std::string> received = FaxFilePath(ReceiveFolder(), file);
  if (!received) {
    ShowDamagedRecord("FAXFILE", file);
    return;
  }
  if (!IsRegularFile(*received)) return;
  if (!AskYesNoDefaultNo("Forward the current fax to be sent?\r\n(from: " + from + ")", "Forward")) return;
  TFaxEditor editor(this);
  editor.setWindowTitle("Forward fax from: " + from);
  editor.SetPhoneBookChooser(&TPhoneBook::Choose);
  CenterForm(&editor);
  if (editor.exec() != QDialog::Accepted) return;
  const FaxInformation v = editor.Values();
  const std::string copy = UniqueFaxFileName(SendFolder(), "FWD");
  if (!CopyWholeFile(*received, copy)) {
    ShowInformation("Unable to copy the received fax to " + QString::fromStdString(copy));
    return;
  }
  RunRecordAction([&] {
    faxXbase_.NewRecord();
    faxXbase_.SetField("RECIPIENT", ToTableText(v.Recipient));
    faxXbase_.SetField("SUBJECT", ToTableText(v.Subject));
    faxXbase_.SetField("PHONE", ToTableText(v.FaxNumber));
    faxXbase_.SetField("NOTES", ToTableText(v.Notes));
    faxXbase_.SetField("CODES", ToTableText(v.Codes));
    faxXbase_.SetField("FAXDOC", std::string(BaseName(copy)));
    faxXbase_.Append();
  });
  tabSet_->setCurrentIndex(static_cast<int>(Tab::kOutgoing));
  QCoreApplication::processEvents();
  FaxTableCloseAndOpen();
  SetButtons();
}

// --- Grid layout ------------------------------------------------------------

void TMainScreen::LoadGridLayout() {
  QHeaderView* header = faxGrid_->horizontalHeader();
  std::ifstream order(FindNoCase(ProgramFolder(), "Out.gco"));
  std::string line;
  for (int position = 0; std::getline(order, line) && position < faxModel_->columnCount();) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const int column = faxModel_->ColumnOfField(line);
    if (column < 0) continue;  // a line that names no field is skipped
    header->moveSection(header->visualIndex(column), position++);
  }
  std::ifstream widths(FindNoCase(ProgramFolder(), "Out.gcs"));
  for (int i = 0; std::getline(widths, line); ++i) {
    bool ok = false;
    const int width = QString::fromStdString(line).trimmed().toInt(&ok);
    if (!ok || width < 0 || width > 4000) continue;
    if (i == 0) {
      faxGrid_->verticalHeader()->setFixedWidth(width);
    } else if (i - 1 < faxModel_->columnCount()) {
      header->resizeSection(header->logicalIndex(i - 1), width);
    }
  }
}

void TMainScreen::SaveGridLayout() {
  QHeaderView* header = faxGrid_->horizontalHeader();
  std::ostringstream order;
  std::ostringstream widths;
  widths << faxGrid_->verticalHeader()->width() << "\n";
  for (int visual = 0; visual < header->count(); ++visual) {
    const int column = header->logicalIndex(visual);
    order << faxModel_->Columns()[static_cast<std::size_t>(column)].field << "\n";
    widths << header->sectionSize(column) << "\n";
  }
  // Each file is replaced whole; a layout that cannot be saved only costs the
  // user the column arrangement.
  ReplaceFileContents(FindNoCase(ProgramFolder(), "Out.gco"), order.str());
  ReplaceFileContents(FindNoCase(ProgramFolder(), "Out.gcs"), widths.str());
}

// --- Dialogs over the tables ------------------------------------------------

void TMainScreen::mnuPhoneBookClick() { TPhoneBook::Maintain(this); }

void TMainScreen::RebuildIndexes() {
  const std::uint32_t outgoing = SelectedRecNo(Tab::kOutgoing);
  const std::uint32_t incoming = SelectedRecNo(Tab::kIncoming);
  faxGrid_->setUpdatesEnabled(false);
  {
    // The rebuild keeps the window alive; nothing else may change the tables
    // meanwhile (activations wait, see FormActivate).
    rebuilding_ = true;
    struct Done {
      bool& flag;
      ~Done() { flag = false; }
    } done{rebuilding_};
    TRebuildInd dialog(faxXbase_, recXbase_, phoneXbase_, this);
    CenterForm(&dialog);
    dialog.exec();
  }
  ProcessExtraPDFaxFiles();  // what the printer driver left meanwhile
  faxXbase_.SetQuery(archiveFilter_);
  recXbase_.SetQuery(archiveFilter_);
  faxGrid_->setUpdatesEnabled(true);
  RefreshGrid(Tab::kOutgoing, outgoing);
  RefreshGrid(Tab::kIncoming, incoming);
  SetButtons();
}

}  // namespace tv
