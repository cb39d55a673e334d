// The cover-sheet editor: the recipient, the importance flags, the message
// and the template of a quick fax or of a fax's cover page.
#pragma once

#include <QDialog>
#include <array>
#include <functional>

#include "cover/cover_data.h"
#include "cover/fax_editor.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace tv {

class TCreateEditQuickFax : public QDialog {
  Q_OBJECT

 public:
  // Lets the user change the sender's details in the settings; true when
  // they were saved.
  using SenderInfoEditor = std::function<bool(QWidget* parent)>;

  explicit TCreateEditQuickFax(QWidget* parent = nullptr);

  // Recipient, fax number, regarding, notes and codes.
  void SetInformation(const FaxInformation& values);
  FaxInformation Information() const;
  // The template, the flags and the message.
  void SetCover(const CoverData& cover);
  CoverData Cover() const;

  void SetPhoneBookChooser(PhoneBookChooser chooser) { chooser_ = std::move(chooser); }
  void SetSenderInfoEditor(SenderInfoEditor editor) { senderInfoEditor_ = std::move(editor); }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void OkButtonClick();
  void SelectTemplateButtonClick();
  void ChangeSenderInfoButtonClick();
  void ShowSenderHint();
  void ShowTemplateName();

  QLineEdit* recipient_;
  QLineEdit* recipientFax_;
  QLineEdit* regarding_;
  QLineEdit* notes_;
  QLineEdit* codes_;
  QPlainTextEdit* faxMessage_;
  std::array<QCheckBox*, kCoverFlagCount> flags_;
  QLabel* currentQFileLabel_;
  QPushButton* senderInfo_;
  QString templateName_ = kDefaultCoverTemplate;
  PhoneBookChooser chooser_;
  SenderInfoEditor senderInfoEditor_;
};

}  // namespace tv
