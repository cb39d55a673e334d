// The send dialog: sends one outgoing fax. The main window fills it from
// the settings and the fax's row, shows it, and afterwards takes the values
// back into the settings and the result text into the row. The dialog opens
// its port only while a fax is going; the fax runs in the engine's threads
// and reports through the status display, so the window never waits on it.
#pragma once

#include <QDateTime>
#include <QDialog>
#include <optional>

#include "app/fax_status_display.h"
#include "comm/qa_port.h"
#include "export/delivery_report.h"
#include "fax/fax_components.h"
#include "platform/app_settings.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;

namespace tv {

class RadioGroup;

class TSendFaxForm : public QDialog {
  Q_OBJECT

 public:
  explicit TSendFaxForm(QWidget* parent = nullptr);
  ~TSendFaxForm() override;

  void SetSendFileName(const QString& path) { sendFileName_ = path; }
  void SetSendCoverName(const QString& path) { sendCoverName_ = path; }
  void SetInitialPhone(const QString& phone) { initialPhone_ = phone; }
  // "Cancelled" until a send finishes, then "Sent" or the failure's text.
  const QString& SendResult() const { return sendResult_; }
  bool Busy() const { return busy_; }
  // The last send as its delivery report tells it (the recipient and the
  // fax's files are the caller's to fill in); nothing before a send began.
  const std::optional<DeliveryRecord>& Delivery() const { return delivery_; }

  void FillFrom(const AppSettings& settings);
  // Takes the controls back; a number field that does not hold a number
  // keeps the value it had.
  void TakeInto(AppSettings& settings) const;

  // The header line stamped on every page: "Page $P of $N, Sent by NAME,
  // $I  on 7 Dec 2026 at 02:30pm" (the sender fills in the tags).
  static QString BuildHeader(const QString& name, const QString& stationId, const QDateTime& now);

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void reject() override;

 private:
  void SendFaxButtonClick();
  // What is wrong with the dialog's values before anything is dialled, or empty.
  QString CheckBeforeSending() const;
  void CopyIntoSender();
  void QaSendFax1FaxFinish(int errorCode);
  // Notes the far end's answer to a page as the status reports it.
  void QaSendFax1FaxStatus();
  // Completes the delivery record at the end of a send.
  void RecordDelivery(bool sent);
  void EndSending();
  void ResetTracing();
  void CloseButtonClick();

  // Declared in the order they depend on each other: the sender uses the
  // port, the status display and the history use the sender.
  TQaComPort qaComPort1_;
  TQaSendFax qaSendFax1_;
  TQaFaxStatus qaFaxStatus1_{this};
  TQaFaxLog faxHistory_;

  QString sendFileName_;
  QString sendCoverName_;
  QString initialPhone_;
  QString sendResult_ = "Cancelled";
  std::optional<DeliveryRecord> delivery_;
  int lastStatus_ = 0;
  bool busy_ = false;
  bool firstActivation_ = true;

  QLineEdit* sfModemInit_;
  QLineEdit* sfStationID_;
  QLineEdit* sfusername_;
  QLineEdit* sfDialPrefix_;
  QLineEdit* sfPhoneNumber_;
  QLineEdit* sfDialAttempts_;
  QLineEdit* sfRetryWait_;
  QLineEdit* sfTimeOut_;
  RadioGroup* sfFaxClass_;
  RadioGroup* comPort_;
  RadioGroup* sfToneOrPulse_;
  QCheckBox* checkBlindDial_;
  QCheckBox* checkIgnoreBusy_;
  QComboBox* transferRate_;
  QLabel* status_;
};

// Why a number cannot be dialled (no digit, or a character that is not a
// digit, a blank, "+-()" or a dial modifier W T P ","), or empty.
QString DialNumberProblem(const QString& number);

}  // namespace tv
