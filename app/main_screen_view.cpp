// Viewing and printing the current fax of either list ("&View", Ctrl+V).
#include <QApplication>
#include <QDate>
#include <QDateTime>
#include <QMessageBox>
#include <QPushButton>
#include <QTime>
#include <QStringList>
#include <ctime>
#include <optional>
#include <variant>

#include "app/main_screen.h"
#include "app/table_model.h"
#include "app/working_fax.h"
#include "platform/paths.h"
#include "store/xbase_date.h"
#include "ui/window_helpers.h"
#include "view/widgets/view_window.h"

namespace tv {

namespace {

// "Fax to Ann 2026-12-08": the name a printed fax and its PDF file get. A fax
// not sent yet has today's date.
QString DocumentName(const QString& direction, const QString& party, TXbase& table, const char* dateField) {
  QDate date = QDate::currentDate();
  if (const auto value = table.Field(dateField)) {
    if (const auto* stored = std::get_if<CivilDate>(&*value); stored && stored->year != 0) {
      date = QDate(stored->year, stored->month, stored->day);
    }
  }
  const QString who = party.isEmpty() ? QString() : " " + party;
  return direction + who + " " + date.toString(Qt::ISODate);
}

// When the record says the fax was sent or received (the time "HH:MM"); 0
// when it has no date.
std::time_t RecordTime(TXbase& table, const char* dateField, const QString& timeText) {
  const auto value = table.Field(dateField);
  const auto* date = value ? std::get_if<CivilDate>(&*value) : nullptr;
  if (!date || date->year == 0) return 0;
  const QTime time = QTime::fromString(timeText.trimmed(), "HH:mm");
  const QDateTime when(QDate(date->year, date->month, date->day), time.isValid() ? time : QTime(0, 0));
  return static_cast<std::time_t>(when.toSecsSinceEpoch());
}

}  // namespace

QString TMainScreen::OutgoingTitle() {
  const QString recipient = FieldText(faxXbase_, "RECIPIENT");
  const QString subject = FieldText(faxXbase_, "SUBJECT");
  QStringList parts;
  if (!recipient.isEmpty()) parts << "To: " + recipient;
  if (!subject.isEmpty()) parts << "Subject: " + subject;
  return parts.join(", ");
}

std::optional<FaxToSave> TMainScreen::RecordPdfSource(Tab tab) {
  const bool outgoing = tab == Tab::kOutgoing;
  TXbase& table = outgoing ? faxXbase_ : recXbase_;
  const std::string folder = outgoing ? SendFolder() : ReceiveFolder();
  const char* bodyField = outgoing ? "FAXDOC" : "FAXFILE";
  const QString doc = FieldText(table, bodyField);
  const QString cover = outgoing ? FieldText(table, "FAXCOVER") : QString();
  const std::optional<std::string> body = FaxFilePath(folder, doc);
  const std::optional<std::string> coverPage = FaxFilePath(folder, cover);
  if (!body || !coverPage) {
    body ? ShowDamagedRecord("FAXCOVER", cover) : ShowDamagedRecord(bodyField, doc);
    return std::nullopt;
  }
  FaxToSave fax;
  for (const std::string& file : {*coverPage, *body}) {
    if (!file.empty()) fax.files.push_back(file);
  }
  const QString party = FieldText(table, outgoing ? "RECIPIENT" : "FROM");
  fax.name = outgoing ? DocumentName("Fax to", party, table, "DATESENT") : DocumentName("Fax from", party, table, "DATEREC");
  fax.details.title = fax.name.toStdString();
  fax.details.author = party.toStdString();
  fax.details.subject = FieldText(table, outgoing ? "SUBJECT" : "NOTES").toStdString();
  fax.details.date = outgoing ? RecordTime(table, "DATESENT", FieldText(table, "TIMESENT"))
                              : RecordTime(table, "DATEREC", FieldText(table, "TIMEREC"));
  if (fax.details.date == 0 && !fax.files.empty()) fax.details.date = FaxFileDetails(fax.files.back()).date;
  return fax;
}

void TMainScreen::mnuViewPrintClick() {
  const Tab tab = CurrentTab();
  TXbase& table = tab == Tab::kOutgoing ? faxXbase_ : recXbase_;
  if (!GoToRecNo(table, SelectedRecNo(tab))) {
    Beep();
    return;
  }
  const bool outgoing = tab == Tab::kOutgoing;
  const std::optional<FaxToSave> source = RecordPdfSource(tab);
  if (!source) return;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  ShowStatusPanel("Preparing files for viewing...");
  // The files are the cover, where there is one, and the body; a fax of a
  // cover alone shows it as its body.
  const std::string cover = source->files.size() > 1 ? source->files.front() : std::string();
  const WorkingFax fax(source->files.empty() ? std::string() : source->files.back(), cover);
  QString title = outgoing ? OutgoingTitle() : FieldText(recXbase_, "FROM");
  if (const QString notes = FieldText(recXbase_, "NOTES"); !outgoing && !notes.isEmpty()) title += " - " + notes;
  if (title.isEmpty()) title = "Fax printout";

  if (fax.Result() != WorkingFax::Outcome::kReady) {
    QApplication::restoreOverrideCursor();
    HideStatusPanel();
    ShowInformation(fax.Result() == WorkingFax::Outcome::kBodyUnreadable ? "Error opening fax file"
                                                                          : "Error - nothing to view");
    return;
  }
  ShowStatusPanel("Loading viewer...");
  TFaxViewer viewer(this);
  viewer.SetFaxFileName(fax.Path());
  viewer.SetTitle(title);
  viewer.SetDocumentName(source->name);
  viewer.SetPdfSource(*source);
  viewer.FaxPrinter().FaxHeader().SetCaption(title);
  QApplication::restoreOverrideCursor();
  HideStatusPanel();
  viewer.exec();
}

namespace {

// Several faxes go as one PDF each (false) or one of them all (true); nothing
// when the user cancels.
std::optional<bool> AskJoinPdfs(QWidget* parent, std::size_t count) {
  QMessageBox box(QMessageBox::Question, "Save as PDF", QString("Save the %1 selected faxes as").arg(count),
                  QMessageBox::Cancel, parent);
  QPushButton* each = box.addButton("One PDF &each", QMessageBox::AcceptRole);
  each->setObjectName("OnePdfEach");
  QPushButton* joined = box.addButton("One PDF of &all", QMessageBox::AcceptRole);
  joined->setObjectName("OneJoinedPdf");
  box.setDefaultButton(each);
  box.exec();
  if (box.clickedButton() == each) return false;
  if (box.clickedButton() == joined) return true;
  return std::nullopt;
}

// One fax of several, their pages one after the other in the list's order.
FaxToSave JoinFaxes(const std::vector<FaxToSave>& faxes) {
  FaxToSave joined;
  std::vector<FaxPdfDetails> details;
  for (const FaxToSave& fax : faxes) {
    joined.files.insert(joined.files.end(), fax.files.begin(), fax.files.end());
    details.push_back(fax.details);
  }
  joined.details = JoinFaxPdfDetails(details);
  joined.name = QString("%1 faxes").arg(faxes.size());
  return joined;
}

}  // namespace

void TMainScreen::mnuSavePdfClick() {
  const Tab tab = CurrentTab();
  TXbase& table = CurrentTable();
  std::vector<FaxToSave> faxes;
  for (std::uint32_t recno : SelectedRecNos(tab)) {
    if (!GoToRecNo(table, recno)) continue;
    std::optional<FaxToSave> fax = RecordPdfSource(tab);
    if (!fax) return;
    faxes.push_back(std::move(*fax));
  }
  if (faxes.empty()) {
    Beep();
    return;
  }
  if (faxes.size() > 1) {
    const std::optional<bool> join = AskJoinPdfs(this, faxes.size());
    if (!join) return;
    if (*join) faxes = {JoinFaxes(faxes)};
  }
  SaveFaxesAsPdf(this, faxes);
}

}  // namespace tv
