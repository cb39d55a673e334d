#include "app/mail_dialog.h"

#include <qt6keychain/keychain.h>

#include <QComboBox>
#include <QDialogButtonBox>
#include <QEventLoop>
#include <QFormLayout>
#include <QLineEdit>
#include <QSpinBox>
#include <QVBoxLayout>

#include "app/mail_queue.h"
#include "platform/ini_file.h"
#include "platform/paths.h"
#include "ui/widgets.h"
#include "ui/window_helpers.h"

namespace tv {

TFaxMailSettings::TFaxMailSettings(QWidget* parent) : QDialog(parent) {
  setObjectName("TFaxMailSettings");
  setWindowTitle("Fax to E-mail");
  to_ = NewLineEdit(this, "MailTo", "Where each received fax goes, as a PDF; empty: faxes are not mailed");
  from_ = NewLineEdit(this, "MailFrom");
  server_ = NewLineEdit(this, "MailServer");
  port_ = new QSpinBox(this);
  port_->setObjectName("MailPort");
  port_->setRange(1, 65535);
  security_ = new QComboBox(this);
  security_->setObjectName("MailSecurity");
  security_->addItems({"none", "STARTTLS", "TLS"});  // in the order of MailSecurity
  user_ = NewLineEdit(this, "MailUser", "Empty when the server wants no login");
  password_ = NewLineEdit(this, "MailPassword", "Kept in the desktop's keyring; empty keeps the one there");
  password_->setEchoMode(QLineEdit::Password);

  auto* form = new QFormLayout;
  form->addRow("Mail received faxes &to:", to_);
  form->addRow("&From:", from_);
  form->addRow("&Server:", server_);
  form->addRow("&Port:", port_);
  form->addRow("S&ecurity:", security_);
  form->addRow("&User:", user_);
  form->addRow("Pass&word:", password_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(buttons);
  FillFrom(MailSettings());
}

void TFaxMailSettings::FillFrom(const MailSettings& s) {
  to_->setText(QString::fromStdString(s.to));
  from_->setText(QString::fromStdString(s.from));
  server_->setText(QString::fromStdString(s.server.host));
  port_->setValue(s.server.port);
  security_->setCurrentIndex(static_cast<int>(s.server.security));
  user_->setText(QString::fromStdString(s.server.user));
}

MailSettings TFaxMailSettings::Settings() const {
  MailSettings s;
  s.to = to_->text().trimmed().toStdString();
  s.from = from_->text().trimmed().toStdString();
  s.server.host = server_->text().trimmed().toStdString();
  s.server.port = port_->value();
  s.server.security = static_cast<MailSecurity>(security_->currentIndex());
  s.server.user = user_->text().trimmed().toStdString();
  return s;
}

void TFaxMailSettings::Edit(QWidget* parent) {
  TFaxMailSettings dialog(parent);
  dialog.FillFrom(LoadMailSettings(SettingsFilePath()));
  if (dialog.exec() != QDialog::Accepted) return;
  const MailSettings settings = dialog.Settings();
  try {
    SaveMailSettings(settings, SettingsFilePath());
  } catch (const IniWriteError& e) {
    ShowInformation(QString::fromStdString(e.what()));
    return;
  }
  const QString password = dialog.password_->text();
  if (password.isEmpty() || settings.server.user.empty()) return;
  QKeychain::WritePasswordJob job(kKeyringService);
  job.setAutoDelete(false);
  job.setKey(MailPasswordKey(settings.server.user, settings.server.host));
  job.setTextData(password);
  QEventLoop wait;
  connect(&job, &QKeychain::Job::finished, &wait, &QEventLoop::quit);
  job.start();
  wait.exec();
  if (job.error() != QKeychain::NoError)
    ShowInformation("The password could not be kept in the desktop's keyring: " + job.errorString());
}

}  // namespace tv
