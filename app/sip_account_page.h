// Preferences' "SIP account" page: the account of the SIP line ([SIP] of
// TV.INI, the line a port opens as "sip"), the COM number that stands for
// the line ([Ports]), its password (in the desktop's keyring) and "Test
// account", which registers with it once.
#pragma once

#include <QWidget>
#include <string>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace tv {

class IniFile;

class TSipAccountPage : public QWidget {
  Q_OBJECT

 public:
  explicit TSipAccountPage(QWidget* parent = nullptr);

  void FillFrom(const IniFile& ini);
  // Writes the page into `ini` (unsaved) and returns what is wrong with the
  // account in words, or empty. A page with no account is not wrong.
  std::string TakeInto(IniFile& ini) const;
  // Keeps the account in TV.INI and a typed password; false (after telling
  // the user why) when it is wrong or cannot be kept.
  bool Save();

 signals:
  // The account was kept: what the ports stand for may have changed.
  void Saved();

 private:
  void TestAccount();

  QLineEdit* account_;
  QComboBox* comPort_;
  QLineEdit* registrar_;
  QLineEdit* proxy_;
  QCheckBox* register_;
  QSpinBox* localPort_;
  QComboBox* transport_;
  QCheckBox* t38_;
  QSpinBox* redundancy_;
  QLineEdit* mediaPorts_;
  QLineEdit* password_;
  QPushButton* test_;
  QLabel* testResult_;
};

}  // namespace tv
