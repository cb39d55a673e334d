// "Fax to E-mail": where received faxes are mailed and through which
// server. The settings go to [Mail] of TV.INI, the password to the
// desktop's keyring.
#pragma once

#include <QDialog>

#include "export/export_settings.h"

class QComboBox;
class QLineEdit;
class QSpinBox;

namespace tv {

class TFaxMailSettings : public QDialog {
  Q_OBJECT

 public:
  explicit TFaxMailSettings(QWidget* parent = nullptr);

  void FillFrom(const MailSettings& settings);
  MailSettings Settings() const;

  // From the main menu: fill, show, and on Accept save both.
  static void Edit(QWidget* parent);

 private:
  QLineEdit* to_;
  QLineEdit* from_;
  QLineEdit* server_;
  QSpinBox* port_;
  QComboBox* security_;
  QLineEdit* user_;
  QLineEdit* password_;
};

}  // namespace tv
