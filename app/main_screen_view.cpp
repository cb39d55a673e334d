// Viewing and printing the current fax of either list ("&View", Ctrl+V).
#include <QApplication>
#include <QStringList>

#include "app/main_screen.h"
#include "app/table_model.h"
#include "app/working_fax.h"
#include "platform/paths.h"
#include "ui/window_helpers.h"
#include "view/widgets/view_window.h"

namespace tv {

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
  viewer.FaxPrinter().FaxHeader().SetCaption(title);
  QApplication::restoreOverrideCursor();
  HideStatusPanel();
  viewer.exec();
}

}  // namespace tv
