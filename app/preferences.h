// The Preferences dialog: the user's details, dialling, modem and receive
// options on its first page, the SIP account and fax to e-mail on pages of
// their own, all kept in TV.INI (the passwords in the desktop's keyring).
#pragma once

#include <QDialog>

#include "comm/qa_port.h"
#include "export/export_settings.h"
#include "fax/fax_components.h"
#include "platform/app_settings.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QCheckBox;
class QPushButton;
class QTabWidget;

namespace tv {

class RadioGroup;
class TMailPage;
class TSipAccountPage;

class TPreferences : public QDialog {
  Q_OBJECT

 public:
  // kAll from the main menu; kSenderInfo from the cover-sheet editor, which
  // edits only the sender and dialling fields.
  enum class Scope { kAll, kSenderInfo };
  // The pages, in their order.
  enum class Page { kGeneral, kSipAccount, kMail };

  explicit TPreferences(Scope scope = Scope::kAll, QWidget* parent = nullptr);

  // note: what the first start found out about the modem, added to the
  // first-run message.
  void SetFirstRun(bool firstRun, const QString& note = {}) {
    firstRun_ = firstRun;
    firstRunNote_ = note;
  }

  void FillFrom(const AppSettings& settings);
  // The PDF and delivery report settings, kept in [Export] of TV.INI.
  void FillExportFrom(const ExportSettings& settings);
  ExportSettings ExportChoices() const;
  // Takes the controls back into settings; false (settings untouched) when a
  // number field does not hold a number.
  bool TakeInto(AppSettings& settings);

  // The main menu's use: fill from the process settings, show modally and
  // save on Accept. Returns whether the settings were saved.
  static bool Edit(QWidget* parent, bool firstRun, Scope scope = Scope::kAll, const QString& firstRunNote = {},
                   Page page = Page::kGeneral);

  void ShowPage(Page page);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void AcceptbuttonClick();
  void SelectWavButtonClick();

  Scope scope_;
  // Keeps the SIP account and the mail settings; false when one cannot be kept.
  bool SavePages();

  bool firstRun_ = false;
  QString firstRunNote_;
  // The modem tools' own port and sender.
  TQaComPort comPort1_;
  TQaSendFax sendFax1_;

  QLineEdit* faxNumber_;
  QLineEdit* name_;
  QLineEdit* voiceNumber_;
  QLineEdit* company_;
  QLineEdit* dialPrefix_;
  QLineEdit* modemInit_;
  QLineEdit* dialAttempts_;
  QLineEdit* retryWait_;
  QLineEdit* timeOut_;
  RadioGroup* comPort_;
  RadioGroup* faxClass_;
  RadioGroup* toneOrPulse_;
  QCheckBox* blindDial_;
  QCheckBox* ignoreBusy_;
  QComboBox* transferRate_;
  QCheckBox* errorCorrection_;
  QComboBox* coding_;
  RadioGroup* answerOnRing_;
  QLineEdit* waveFile_;
  QCheckBox* startReceiving_;
  QComboBox* pdfPaper_;
  QComboBox* deliveryReport_;
  QCheckBox* ocr_;
  QLineEdit* ocrLanguages_;
  QLabel* status_;
  QTabWidget* pages_;
  TSipAccountPage* sipPage_;
  TMailPage* mailPage_;
};

}  // namespace tv
