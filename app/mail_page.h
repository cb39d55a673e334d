// Preferences' "E-mail" page: where received faxes are mailed and through
// which server. The settings go to [Mail] of TV.INI, the password to the
// desktop's keyring.
#pragma once

#include <QWidget>

#include "export/export_settings.h"

class QComboBox;
class QLineEdit;
class QSpinBox;

namespace tv {

class TMailPage : public QWidget {
  Q_OBJECT

 public:
  explicit TMailPage(QWidget* parent = nullptr);

  void FillFrom(const MailSettings& settings);
  MailSettings Settings() const;
  // Saves the settings, and the password when one was typed; false (after
  // telling the user why) when they cannot be kept.
  bool Save() const;

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
