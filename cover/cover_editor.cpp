#include "cover/cover_editor.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "cover/template_chooser.h"
#include "platform/paths.h"
#include "ui/enter_edit.h"
#include "ui/help.h"
#include "ui/widgets.h"
#include "ui/window_helpers.h"

namespace tv {

namespace {

constexpr std::array<const char*, kCoverFlagCount> kFlagBoxNames = {"cUrgent", "cForReview", "cPleaseComment",
                                                                    "cPleaseReply", "cPleaseRecycle"};

}  // namespace

TCreateEditQuickFax::TCreateEditQuickFax(QWidget* parent) : QDialog(parent) {
  setObjectName("TCreateEditQuickFax");
  setWindowTitle("Fax Cover Sheet Editor");

  // The limits are those of the outgoing table's fields.
  recipient_ = NewEnterEdit(this, "Recipient", 35);
  recipientFax_ = NewEnterEdit(this, "RecipientFax", 25);
  regarding_ = NewEnterEdit(this, "Regarding", 50);
  notes_ = NewEnterEdit(this, "Notes", 50);
  codes_ = NewEnterEdit(this, "Codes", 25);
  faxMessage_ = new QPlainTextEdit(this);
  faxMessage_->setObjectName("FaxMessage");
  faxMessage_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  faxMessage_->setTabChangesFocus(true);
  auto* messageLabel = new QLabel("&Message", this);
  messageLabel->setBuddy(faxMessage_);

  auto* phonebook = NewPushButton(this, "&Phonebook", "PhonebookButton");
  auto* form = new QFormLayout;
  auto* recipientRow = new QHBoxLayout;
  recipientRow->addWidget(recipient_, 1);
  recipientRow->addWidget(phonebook);
  auto* recipientLabel = new QLabel("&Recipient", this);
  recipientLabel->setBuddy(recipient_);
  form->addRow(recipientLabel, recipientRow);
  form->addRow("Recipient &Fax#", recipientFax_);
  form->addRow("Re&garding", regarding_);
  form->addRow("N&otes", notes_);
  form->addRow("Co&des", codes_);

  auto* flagGroup = new QGroupBox("Importance Flags", this);
  auto* flagLayout = new QVBoxLayout(flagGroup);
  for (int i = 0; i < kCoverFlagCount; ++i) {
    flags_[i] = new QCheckBox(kCoverFlagCaptions[i], flagGroup);
    flags_[i]->setObjectName(kFlagBoxNames[i]);
    flagLayout->addWidget(flags_[i]);
  }
  flagLayout->addStretch(1);

  currentQFileLabel_ = new QLabel(this);
  currentQFileLabel_->setObjectName("CurrentQFileLabel");
  auto* selectTemplate = NewPushButton(this, "&Select Fax Cover Template", "SelectTemplateButton");
  senderInfo_ = NewPushButton(this, "&Change Sender Info", "SenderInfoButton");
  auto* save = NewPushButton(this, "&Save", "OkButton");
  save->setDefault(true);
  auto* cancel = NewPushButton(this, "Cance&l", "CancelButton");
  auto* help = NewPushButton(this, "&Help", "HelpButton");

  auto* details = new QHBoxLayout;
  details->addLayout(form, 1);
  details->addWidget(flagGroup);
  auto* templateRow = new QHBoxLayout;
  templateRow->addWidget(new QLabel("Using Fax Cover Template:", this));
  templateRow->addWidget(currentQFileLabel_, 1);
  templateRow->addWidget(selectTemplate);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(senderInfo_);
  buttons->addStretch(1);
  buttons->addWidget(save);
  buttons->addWidget(cancel);
  buttons->addWidget(help);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(details);
  layout->addWidget(messageLabel);
  layout->addWidget(faxMessage_, 1);
  layout->addLayout(templateRow);
  layout->addLayout(buttons);
  setMinimumSize(fontMetrics().averageCharWidth() * 90, fontMetrics().height() * 30);

  connect(phonebook, &QPushButton::clicked, this,
          [this] { ChooseRecipient(chooser_, this, recipient_, recipientFax_); });
  connect(selectTemplate, &QPushButton::clicked, this, &TCreateEditQuickFax::SelectTemplateButtonClick);
  connect(senderInfo_, &QPushButton::clicked, this, &TCreateEditQuickFax::ChangeSenderInfoButtonClick);
  connect(save, &QPushButton::clicked, this, &TCreateEditQuickFax::OkButtonClick);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(help, &QPushButton::clicked, this, [] { ShowHelp(kHelpCoverEditor); });
}

void TCreateEditQuickFax::SetInformation(const FaxInformation& v) {
  recipient_->setText(v.Recipient);
  recipientFax_->setText(v.FaxNumber);
  regarding_->setText(v.Subject);
  notes_->setText(v.Notes);
  codes_->setText(v.Codes);
}

FaxInformation TCreateEditQuickFax::Information() const {
  return {recipient_->text(), recipientFax_->text(), regarding_->text(), notes_->text(), codes_->text()};
}

void TCreateEditQuickFax::SetCover(const CoverData& cover) {
  templateName_ = cover.TemplateName;
  for (int i = 0; i < kCoverFlagCount; ++i) flags_[i]->setChecked(cover.Flags[i]);
  faxMessage_->setPlainText(cover.Message);
  ShowTemplateName();
}

CoverData TCreateEditQuickFax::Cover() const {
  CoverData cover;
  cover.TemplateName = templateName_;
  for (int i = 0; i < kCoverFlagCount; ++i) cover.Flags[i] = flags_[i]->isChecked();
  cover.Message = faxMessage_->toPlainText();
  return cover;
}

void TCreateEditQuickFax::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  ShowSenderHint();
  ShowTemplateName();
}

void TCreateEditQuickFax::ShowSenderHint() {
  const AppSettings& s = Settings();
  QString hint;
  if (s.Name.empty() && s.Company.empty() && s.Fax.empty() && s.Voice.empty()) {
    hint = "No sender information entered";
  } else {
    hint = QStringList{QString::fromStdString(s.Name), QString::fromStdString(s.Company),
                       QString::fromStdString(s.Fax), QString::fromStdString(s.Voice)}
               .join('\r');
  }
  senderInfo_->setToolTip(DisplayText(hint));
}

void TCreateEditQuickFax::ShowTemplateName() { currentQFileLabel_->setText(templateName_); }

void TCreateEditQuickFax::OkButtonClick() {
  auto refuse = [](const QString& text, QWidget* field) {
    ShowInformation(text);
    field->setFocus();
  };
  if (recipient_->text().trimmed().isEmpty()) {
    refuse("Please enter a recipient", recipient_);
  } else if (recipientFax_->text().trimmed().isEmpty()) {
    refuse("Please enter a recipient fax number", recipientFax_);
  } else if (regarding_->text().trimmed().isEmpty() && faxMessage_->toPlainText().trimmed().isEmpty()) {
    refuse("Please enter text for the \"regarding\" field\rand/or enter a message", regarding_);
  } else {
    accept();
  }
}

void TCreateEditQuickFax::SelectTemplateButtonClick() {
  TPreviewQuickFaxForms chooser(this);
  chooser.SetFolder(CoversFolder(), templateName_);
  if (chooser.exec() != QDialog::Accepted) return;
  templateName_ = chooser.FileName();
  ShowTemplateName();
}

void TCreateEditQuickFax::ChangeSenderInfoButtonClick() {
  if (senderInfoEditor_) senderInfoEditor_(this);
  ShowSenderHint();
}

}  // namespace tv
