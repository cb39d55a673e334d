// Sending from the outgoing list: the fax's files are made ready, the send
// dialog runs, and what it reports is written back into the row.
#include <QCoreApplication>
#include <QLabel>
#include <QDate>
#include <QDesktopServices>
#include <QTime>
#include <QUrl>
#include <filesystem>

#include "app/main_screen.h"
#include "app/main_screen_actions.h"
#include "app/send_fax_form.h"
#include "app/table_model.h"
#include "app/working_fax.h"
#include "export/export_settings.h"
#include "platform/errors.h"
#include "platform/files.h"
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

  if (form.Delivery()) {
    DeliveryRecord record = *form.Delivery();
    record.recipient = FieldText(faxXbase_, "RECIPIENT").toStdString();
    for (const std::string& file : {*coverPage, *body}) {
      if (!file.empty()) record.files.push_back(file);
    }
    MakeDeliveryReport(record, *body);
  }
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

void TMainScreen::MakeDeliveryReport(const DeliveryRecord& record, const std::string& body) {
  const std::string report = DeliveryReportPath(body);
  const ExportSettings settings = LoadExportSettings(SettingsFilePath());
  const bool wanted = settings.deliveryReport == DeliveryReportWhen::kAlways ||
                      (settings.deliveryReport == DeliveryReportWhen::kOnFailure && !record.sent);
  // A report always tells of the fax's last send: one that is not wanted
  // takes the earlier one away.
  std::error_code ignored;
  if (!wanted) {
    std::filesystem::remove(report, ignored);
    return;
  }
  std::filesystem::create_directories(std::filesystem::path(report).parent_path(), ignored);
  if (const int rc = WriteDeliveryReport(record, report, settings.paper); rc != 0) {
    ShowWarning(QString("The delivery report %1 could not be written: %2")
                    .arg(QString::fromStdString(report), QString::fromStdString(ErrorMessageText(rc))));
  }
}

void TMainScreen::mnuDeliveryReportClick() {
  const std::optional<std::string> report = CurrentDeliveryReport();
  if (!report) {
    Beep();
    return;
  }
  QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(*report)));
}

std::optional<std::string> TMainScreen::CurrentDeliveryReport() {
  if (CurrentTab() != Tab::kOutgoing || !GoToRecNo(faxXbase_, SelectedRecNo(Tab::kOutgoing))) return std::nullopt;
  const std::optional<std::string> body = FaxFilePath(SendFolder(), FieldText(faxXbase_, "FAXDOC"));
  if (!body || body->empty()) return std::nullopt;
  const std::string report = DeliveryReportPath(*body);
  return IsRegularFile(report) ? std::optional<std::string>(report) : std::nullopt;
}

}  // namespace tv
