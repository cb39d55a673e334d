#include "app/mail_page.h"

#include <QComboBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QSpinBox>

#include "app/keyring.h"
#include "platform/ini_file.h"
#include "platform/paths.h"
#include "ui/widgets.h"
#include "ui/window_helpers.h"

namespace tv {

TMailPage::TMailPage(QWidget* parent) : QWidget(parent) {
  setObjectName("TMailPage");
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

  auto* form = new QFormLayout(this);
  form->addRow("Mail received faxes &to:", to_);
  form->addRow("&From:", from_);
  form->addRow("Se&rver:", server_);
  form->addRow("&Port:", port_);
  form->addRow("Securit&y:", security_);
  form->addRow("&User:", user_);
  form->addRow("Pass&word:", password_);
  FillFrom(MailSettings());
}

void TMailPage::FillFrom(const MailSettings& s) {
  to_->setText(QString::fromStdString(s.to));
  from_->setText(QString::fromStdString(s.from));
  server_->setText(QString::fromStdString(s.server.host));
  port_->setValue(s.server.port);
  security_->setCurrentIndex(static_cast<int>(s.server.security));
  user_->setText(QString::fromStdString(s.server.user));
}

MailSettings TMailPage::Settings() const {
  MailSettings s;
  s.to = to_->text().trimmed().toStdString();
  s.from = from_->text().trimmed().toStdString();
  s.server.host = server_->text().trimmed().toStdString();
  s.server.port = port_->value();
  s.server.security = static_cast<MailSecurity>(security_->currentIndex());
  s.server.user = user_->text().trimmed().toStdString();
  return s;
}

bool TMailPage::Save() const {
  const MailSettings settings = Settings();
  try {
    SaveMailSettings(settings, SettingsFilePath());
  } catch (const IniWriteError& e) {
    ShowInformation(QString::fromStdString(e.what()));
    return false;
  }
  const QString password = password_->text();
  if (password.isEmpty() || settings.server.user.empty()) return true;
  if (const QString problem = KeepInKeyring(MailPasswordKey(settings.server.user, settings.server.host), password);
      !problem.isEmpty()) {
    ShowInformation("The password could not be kept in the desktop's keyring: " + problem);
  }
  return true;
}

}  // namespace tv
