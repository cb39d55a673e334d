// Viewing and printing the current fax of either list ("&View", Ctrl+V).
#include <QApplication>
#include <QLabel>
#include <unistd.h>

#include "app/fax_documents.h"
#include "app/main_screen.h"
#include "platform/paths.h"
#include "ui/window_helpers.h"
#include "view/widgets/view_window.h"

namespace tv {

namespace {

// A file named by a table row inside its folder; empty for a name that would
// lead out of it.
std::string RowFile(const std::string& folder, const QString& name) {
  if (name.isEmpty() || name.contains('/') || name.contains('\\') || name.contains("..")) return {};
  return FindNoCase(folder, name.toStdString());
}

}  // namespace

QString TMainScreen::OutgoingTitle() {
  const QString recipient = FieldText(faxXbase_, "RECIPIENT");
  const QString subject = FieldText(faxXbase_, "SUBJECT");
  QString title = recipient.isEmpty() ? QString() : "To: " + recipient + " ";
  if (!subject.isEmpty()) title += (recipient.isEmpty() ? "Subject: " : ",   Subject: ") + subject;
  return title;
}

void TMainScreen::mnuViewPrintClick() {
  const Tab tab = CurrentTab();
  TXbase& table = tab == Tab::kOutgoing ? faxXbase_ : recXbase_;
  if (!GoToRecNo(table, SelectedRecNo(tab))) {
    Beep();
    return;
  }
  statusPanel_->setText("Preparing files for viewing...");
  statusPanel_->setVisible(true);
  QApplication::setOverrideCursor(Qt::WaitCursor);
  QApplication::processEvents();

  WorkingFax fax;
  QString title;
  if (tab == Tab::kOutgoing) {
    fax = PrepareOutgoingFax(RowFile(SendFolder(), FieldText(faxXbase_, "FAXDOC")),
                             RowFile(SendFolder(), FieldText(faxXbase_, "FAXCOVER")));
    title = OutgoingTitle();
  } else {
    fax = PrepareReceivedFax(RowFile(FindNoCase(ProgramFolder(), "RECEIVE") + "/", FieldText(recXbase_, "FAXFILE")));
    const QString notes = FieldText(recXbase_, "NOTES");
    title = FieldText(recXbase_, "FROM") + (notes.isEmpty() ? QString() : " - " + notes);
  }
  if (title.isEmpty()) title = "Fax printout";

  if (fax.file.empty()) {
    QApplication::restoreOverrideCursor();
    statusPanel_->setVisible(false);
    ShowInformation(fax.failed ? "Error opening fax file" : "Error - nothing to view");
    return;
  }
  statusPanel_->setText("Loading viewer...");
  QApplication::processEvents();
  {
    TFaxViewer viewer(this);
    viewer.SetFaxFileName(fax.file);
    viewer.SetTitle(title);
    viewer.FaxPrinter().FaxHeader().SetCaption(title);
    QApplication::restoreOverrideCursor();
    viewer.exec();
  }
  ::unlink(fax.file.c_str());
  statusPanel_->setVisible(false);
}

}  // namespace tv
