#include "app/fax_status_display.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <cmath>

#include "fax/fax_status.h"
#include "image/t4_2d_coding.h"
#include "line/sip_line.h"
#include "ui/window_helpers.h"

namespace tv {

namespace {

// What the component keeps of its display: the window, which Qt may already
// have freed with its owner.
class DisplayForm : public TFaxStatusForm {
 public:
  explicit DisplayForm(TStandardFaxDisplay* display) : display_(display) {}
  ~DisplayForm() override { delete display_.data(); }

  void SetPosition(int) override {}
  void SetCtl3D(bool) override {}
  void SetVisible(bool on) override {
    if (display_) display_->setVisible(on);
  }

  TStandardFaxDisplay* Display() const { return display_; }

 private:
  QPointer<TStandardFaxDisplay> display_;
};

// The rate, and on a SIP line how the call carries the fax: "14400 (T.38)".
QString ConnectText(const TQaAbstractFax& fax) {
  const QString rate = QString::number(fax.BitRate());
  const TQaComPort* port = fax.ComPort();
  const std::string medium = port && fax.BitRate() > 0 ? SipLineMedium(port->DeviceName()) : std::string();
  return medium.empty() ? rate : rate + " (" + QString::fromStdString(medium) + ")";
}

QLabel* ValueLabel(QWidget* parent, const char* objectName) {
  auto* label = new QLabel(parent);
  label->setObjectName(objectName);
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  label->setMinimumWidth(label->fontMetrics().horizontalAdvance("MMMMMMMMMMMM"));
  return label;
}

// Caption and value labels in pairs, in a titled panel.
QGroupBox* Panel(QWidget* parent, std::initializer_list<std::pair<const char*, QLabel*>> rows) {
  auto* box = new QGroupBox(parent);
  auto* grid = new QGridLayout(box);
  int row = 0;
  for (const auto& [caption, value] : rows) {
    grid->addWidget(new QLabel(caption, box), row, 0);
    grid->addWidget(value, row, 1);
    ++row;
  }
  grid->setColumnStretch(1, 1);
  return box;
}

}  // namespace

QString ShortFileName(const QString& path) {
  const qsizetype cut = std::max({path.lastIndexOf('/'), path.lastIndexOf('\\'), path.lastIndexOf(':')});
  const QString name = path.mid(cut + 1);
  return name.size() > 20 ? name.left(20) + "..." : name;
}

QString MinutesSeconds(qint64 seconds) {
  seconds = std::max<qint64>(seconds, 0);
  return QString("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QChar('0')).rightJustified(6);
}

TStandardFaxDisplay::TStandardFaxDisplay(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
  setObjectName("TStandardFaxDisplay");
  setWindowTitle("Fax Status");

  fsPhoneNumber_ = ValueLabel(this, "fsPhoneNumber");
  fsFaxFileName_ = ValueLabel(this, "fsFaxFileName");
  fsCoverFileName_ = ValueLabel(this, "fsCoverFileName");
  fsTotalPages_ = ValueLabel(this, "fsTotalPages");
  fsDialAttempt_ = ValueLabel(this, "fsDialAttempt");
  fsRemoteID_ = ValueLabel(this, "fsRemoteID");
  fsConnectBPS_ = ValueLabel(this, "fsConnectBPS");
  fsResolution_ = ValueLabel(this, "fsResolution");
  fsWidth_ = ValueLabel(this, "fsWidth");
  fsErrorControl_ = ValueLabel(this, "fsErrorControl");
  fsCoding_ = ValueLabel(this, "fsCoding");
  fsCurrentPage_ = ValueLabel(this, "fsCurrentPage");
  fsPageLength_ = ValueLabel(this, "fsPageLength");
  fsBytesTransferred_ = ValueLabel(this, "fsBytesTransferred");
  fsElapsedTime_ = ValueLabel(this, "fsElapsedTime");
  fsStatusMsg_ = ValueLabel(this, "fsStatusMsg");
  fsStatusMsg_->setWordWrap(true);
  fsLabel19_ = new QLabel("Page progress:", this);
  fsLabel19_->setObjectName("fsLabel19");
  meter_ = new QProgressBar(this);
  meter_->setObjectName("Meter");
  meter_->setRange(0, 100);
  meter_->setValue(0);

  // The file names are known to the caller; the form keeps them out of sight.
  fsFaxFileName_->setVisible(false);
  fsCoverFileName_->setVisible(false);

  auto* call = Panel(this, {{"Phone number:", fsPhoneNumber_}, {"Dial attempt:", fsDialAttempt_}});
  auto* remote = Panel(this, {{"Remote ID:", fsRemoteID_}, {"Connect BPS:", fsConnectBPS_}});
  auto* session = Panel(this, {{"Resolution:", fsResolution_}, {"Width:", fsWidth_}, {"Error control:", fsErrorControl_},
                                     {"Coding:", fsCoding_}});
  auto* pages = Panel(this, {{"Total pages:", fsTotalPages_},
                             {"Current page:", fsCurrentPage_},
                             {"Page length:", fsPageLength_},
                             {"Bytes transferred:", fsBytesTransferred_}});
  auto* progress = Panel(this, {{"Elapsed time:", fsElapsedTime_}, {"Status:", fsStatusMsg_}});
  auto* meterPanel = new QGroupBox(this);
  auto* meterRow = new QHBoxLayout(meterPanel);
  meterRow->addWidget(fsLabel19_);
  meterRow->addWidget(meter_, 1);
  auto* cancel = new QPushButton("Cancel", this);
  cancel->setObjectName("CancelButton");
  connect(cancel, &QPushButton::clicked, this, &TStandardFaxDisplay::CancelClick);

  auto* grid = new QGridLayout;
  grid->addWidget(call, 0, 0);
  grid->addWidget(pages, 0, 1);
  grid->addWidget(remote, 1, 0);
  grid->addWidget(session, 1, 1);
  grid->addWidget(progress, 2, 0, 1, 2);
  grid->addWidget(meterPanel, 3, 0, 1, 2);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(cancel);
  buttons->addStretch(1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addLayout(buttons);
}

void TStandardFaxDisplay::CancelClick() {
  if (fax_) fax_->AbortFax();
}

void TStandardFaxDisplay::reject() { CancelClick(); }

void TStandardFaxDisplay::UpdateTimers(int status, int dialRetryWait) {
  const bool farEndKnown = status == fsGettingParams || status == fsGotRemoteId || status == fsGotTransmittingId;
  if (!elapsed_.isValid() && farEndKnown) elapsed_.start();
  if (elapsed_.isValid() && (status == fsFinished || status == fsUserAbort || status == fsGotHangupCode)) {
    elapsed_.invalidate();
  }
  if (status == fsBusyWaiting && !redialWait_.isValid()) {
    redialWait_.start();
    redialSeconds_ = dialRetryWait;
  } else if (status != fsBusyWaiting) {
    redialWait_.invalidate();
  }
}

void TStandardFaxDisplay::UpdateValues(TQaAbstractFax& fax) {
  auto* sender = dynamic_cast<TQaSendFax*>(&fax);
  const int status = fax.Status();
  UpdateTimers(status, sender ? sender->DialRetryWait() : 0);

  fsPhoneNumber_->setText(sender ? QString::fromStdString(sender->PhoneNumber()) : QString());
  fsFaxFileName_->setText(ShortFileName(QString::fromStdString(fax.FaxFile())));
  fsCoverFileName_->setText(sender ? ShortFileName(QString::fromStdString(sender->CoverFile())) : QString());
  fsTotalPages_->setText(QString::number(fax.TotalPages()));
  fsDialAttempt_->setText(QString::number(sender ? sender->DialAttempt() : 1));
  fsRemoteID_->setText(QString::fromStdString(fax.RemoteID()).trimmed());
  fsConnectBPS_->setText(ConnectText(fax));
  fsResolution_->setText(fax.Fine() ? "high" : "standard");
  fsWidth_->setText(fax.Wide() ? "2048" : "1728");
  fsErrorControl_->setText(fax.ErrorCorrection() ? "on" : "off");
  fsCoding_->setText(T4CodingName(fax.Coding()));
  const int page = fax.CurrentPage();
  fsCurrentPage_->setText(page == 0 ? QString("<cover page>") : QString::number(page));
  const int length = fax.PageLength();
  const int done = fax.BytesTransferred();
  fsPageLength_->setText(QString::number(length));
  fsBytesTransferred_->setText(QString::number(done));
  fsElapsedTime_->setText(elapsed_.isValid() ? MinutesSeconds(elapsed_.elapsed() / 1000) : QString("00:00"));

  QString statusText = QString::fromStdString(FaxStatusText(status));
  if (status == fsBusyWaiting) statusText += MinutesSeconds(redialSeconds_ - redialWait_.elapsed() / 1000).trimmed();
  fsStatusMsg_->setText(DisplayText(statusText));

  if (!sender) {
    meter_->setVisible(false);
    fsLabel19_->setText("Page progress: N/A");
    return;
  }
  meter_->setVisible(true);
  fsLabel19_->setText("Page progress:");
  meter_->setValue(length == 0 ? 0 : static_cast<int>(std::lround(100.0 * std::min(done, length) / length)));
}

std::unique_ptr<TFaxStatusForm> TQaFaxStatus::CreateDisplay() {
  auto* display = new TStandardFaxDisplay(owner_);
  display_ = display;
  return std::make_unique<DisplayForm>(display);
}

TStandardFaxDisplay* TQaFaxStatus::Display() {
  Form();
  return display_;
}

void TQaFaxStatus::UpdateDisplay(bool first, bool last) {
  TStandardFaxDisplay* display = Display();
  if (!display) return;
  if (first) {
    display->SetFax(Fax());
    display->adjustSize();
    CenterForm(display);
    display->show();
    display->raise();
  }
  if (last) {
    display->hide();
    return;
  }
  if (Fax()) display->UpdateValues(*Fax());
}

}  // namespace tv
