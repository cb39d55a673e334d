// Sending from the outgoing list: the fax's files are made ready, the send
// dialog runs, and what it reports is written back into the row.
#include <QCoreApplication>
#include <QLabel>
#include <QDate>
#include <QTime>

#include "app/main_screen.h"
#include "app/main_screen_actions.h"
#include "app/send_fax_form.h"
#include "app/table_model.h"
#include "app/working_fax.h"
#include "platform/paths.h"
#include "ui/window_helpers.h"

namespace tv {

void TMainScreen::ShowStatusPanel(const QString& text) {
  statusPanel_->setText(text);
  statusPanel_->setVisible(true);
  QCoreApplication::processEvents();
}

void TMainScreen::HideStatusPanel() {
  statusPanel_->clear();
  statusPanel_->setVisible(false);
}

void TMainScreen::SendButtonClick() {
  const std::uint32_t recno = SelectedRecNo(Tab::kOutgoing);
  if (receiveMode_ || !GoToRecNo(faxXbase_, recno)) {
    Beep();
    return;
  }
  const QString doc = FieldText(faxXbase_, "FAXDOC");
  const QString cover = FieldText(faxXbase_, "FAXCOVER");
  const std::optional<std::string> body = FaxFilePath(SendFolder(), doc);
  const std::optional<std::string> coverPage = FaxFilePath(SendFolder(), cover);
  if (!body || !coverPage) {
    body ? ShowDamagedRecord("FAXCOVER", cover) : ShowDamagedRecord("FAXDOC", doc);
    return;
  }
  ShowStatusPanel("Preparing fax files...");
  const WorkingFax fax(*body, *coverPage);
  if (fax.Result() != WorkingFax::Outcome::kReady) {
    HideStatusPanel();
    ShowInformation(fax.Result() == WorkingFax::Outcome::kBodyUnreadable ? "Error opening fax file"
                                                                          : "Error - No fax file to send");
    return;
  }

  ShowStatusPanel("Preparing Send Fax form...");
  TSendFaxForm form(this);
  CenterForm(&form);
  form.SetSendFileName(QString::fromStdString(fax.Path()));
  form.setWindowTitle("Send Fax: [" + OutgoingTitle() + "]");
  form.SetInitialPhone(FieldText(faxXbase_, "PHONE"));
  form.FillFrom(Settings());
  HideStatusPanel();
  form.exec();
  form.TakeInto(Settings());
  SaveAppSettings();

  const QString result = form.SendResult();
  if (GoToRecNo(faxXbase_, recno)) {
    RunRecordAction([&] {
      faxXbase_.SetField("LASTRESULT", ToTableText(result));
      if (result.toUpper() == "SENT" || result.toUpper() == "OK") {
        const QDate today = QDate::currentDate();
        faxXbase_.SetField("DATESENT", CivilDate{today.year(), today.month(), today.day()});
        faxXbase_.SetField("TIMESENT", QTime::currentTime().toString("hh:mm").toStdString());
      }
      faxXbase_.Modify();
    });
  }
  RefreshGrid(Tab::kOutgoing, recno);
  SetButtons();
}

}  // namespace tv
