// Viewing and printing the current fax of either list ("&View", Ctrl+V).
#include <QApplication>
#include <QDate>
#include <QStringList>
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

}  // namespace

QString TMainScreen::OutgoingTitle() {
  const QString recipient = FieldText(faxXbase_, "RECIPIENT");
  const QString subject = FieldText(faxXbase_, "SUBJECT");
  QStringList parts;
  if (!recipient.isEmpty()) parts << "To: " + recipient;
  if (!subject.isEmpty()) parts << "Subject: " + subject;
  return parts.join(", ");
}

void TMainScreen::mnuViewPrintClick() {
  const Tab tab = CurrentTab();
  TXbase& table = tab == Tab::kOutgoing ? faxXbase_ : recXbase_;
  if (!GoToRecNo(table, SelectedRecNo(tab))) {
    Beep();
    return;
  }
  const bool outgoing = tab == Tab::kOutgoing;
  const std::string folder = outgoing ? SendFolder() : ReceiveFolder();
  const char* bodyField = outgoing ? "FAXDOC" : "FAXFILE";
  const QString doc = FieldText(table, bodyField);
  const QString cover = outgoing ? FieldText(table, "FAXCOVER") : QString();
  const std::optional<std::string> body = FaxFilePath(folder, doc);
  const std::optional<std::string> coverPage = FaxFilePath(folder, cover);
  if (!body || !coverPage) {
    body ? ShowDamagedRecord("FAXCOVER", cover) : ShowDamagedRecord(bodyField, doc);
    return;
  }
  QApplication::setOverrideCursor(Qt::WaitCursor);
  ShowStatusPanel("Preparing files for viewing...");
  const WorkingFax fax(*body, *coverPage);
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
  viewer.SetDocumentName(outgoing ? DocumentName("Fax to", FieldText(faxXbase_, "RECIPIENT"), faxXbase_, "DATESENT")
                                  : DocumentName("Fax from", FieldText(recXbase_, "FROM"), recXbase_, "DATEREC"));
  viewer.FaxPrinter().FaxHeader().SetCaption(title);
  QApplication::restoreOverrideCursor();
  HideStatusPanel();
  viewer.exec();
}

}  // namespace tv
