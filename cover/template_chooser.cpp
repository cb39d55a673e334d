#include "cover/template_chooser.h"

#include <QDir>
#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

#include "cover/eight_bit_text.h"
#include "platform/paths.h"
#include "ui/help.h"
#include "ui/widgets.h"
#include "ui/window_helpers.h"

namespace tv {

namespace {

// A template's companion file: the same name with another extension, in
// whichever letter case it was saved.
QString Companion(const std::string& folder, const QString& templateName, const char* extension) {
  const QString base = templateName.left(templateName.lastIndexOf('.'));
  return QString::fromStdString(FindNoCase(folder, (base + extension).toStdString()));
}

}  // namespace

TPreviewQuickFaxForms::TPreviewQuickFaxForms(QWidget* parent) : QDialog(parent) {
  setObjectName("TPreviewQuickFaxForms");
  setWindowTitle("Select  Fax Cover Template");

  fileList_ = new QListWidget(this);
  fileList_->setObjectName("FileListBox");
  auto* listLabel = new QLabel("Fax Cover &Templates", this);
  listLabel->setBuddy(fileList_);
  preview_ = new QLabel(this);
  preview_->setObjectName("Preview");
  preview_->setAlignment(Qt::AlignCenter);
  preview_->setFrameShape(QFrame::StyledPanel);
  // A page's shape at a size that shows the layout.
  preview_->setFixedSize(324, 404);
  description_ = new QLabel(this);
  description_->setObjectName("DescriptionPanel");
  description_->setFrameShape(QFrame::StyledPanel);
  description_->setWordWrap(true);
  description_->setMinimumHeight(description_->fontMetrics().height() * 2 + 8);

  auto* ok = NewPushButton(this, "Ok", "OkButton");
  ok->setDefault(true);
  auto* cancel = NewPushButton(this, "Cancel", "CancelButton");
  auto* help = NewPushButton(this, "Help", "HelpButton");

  auto* list = new QVBoxLayout;
  list->addWidget(listLabel);
  list->addWidget(fileList_, 1);
  auto* picture = new QVBoxLayout;
  picture->addWidget(new QLabel("Preview", this));
  picture->addWidget(preview_);
  auto* top = new QHBoxLayout;
  top->addLayout(list, 1);
  top->addLayout(picture);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  buttons->addWidget(help);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top, 1);
  layout->addWidget(description_);
  layout->addLayout(buttons);

  connect(fileList_, &QListWidget::currentRowChanged, this, &TPreviewQuickFaxForms::SelectionChange);
  connect(fileList_, &QListWidget::itemDoubleClicked, this, &TPreviewQuickFaxForms::OkButtonClick);
  connect(ok, &QPushButton::clicked, this, &TPreviewQuickFaxForms::OkButtonClick);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(help, &QPushButton::clicked, this, [] { ShowHelp(kHelpCoverTemplates); });
  RestoreFormPlacement(this);
}

void TPreviewQuickFaxForms::SetFolder(const std::string& folder, const QString& current) {
  folder_ = folder;
  current_ = current;
  const QSignalBlocker quiet(fileList_);
  fileList_->clear();
  QDir dir(QString::fromStdString(folder));
  dir.setNameFilters({"*.FCT"});  // letter case is ignored
  fileList_->addItems(dir.entryList(QDir::Files, QDir::Name | QDir::IgnoreCase));
}

void TPreviewQuickFaxForms::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (fileList_->count() == 0) return;
  const auto same = fileList_->findItems(current_, Qt::MatchFixedString);  // MatchFixedString ignores case
  const int row = same.isEmpty() ? 0 : fileList_->row(same.first());
  if (fileList_->currentRow() == row) {
    SelectionChange();
  } else {
    fileList_->setCurrentRow(row);
  }
}

void TPreviewQuickFaxForms::SelectionChange() {
  const QListWidgetItem* item = fileList_->currentItem();
  if (!item) return;
  fileName_ = item->text();
  // A template without a picture or description shows none, rather than
  // those of the one selected before.
  description_->clear();
  QFile description(Companion(folder_, fileName_, ".des"));
  if (description.open(QIODevice::ReadOnly)) {
    description_->setText(EightBitText(description.readLine(4096)).trimmed());
  }
  const QPixmap picture(Companion(folder_, fileName_, ".bmp"));
  if (picture.isNull()) {
    preview_->clear();
    ShowInformation("Image not available");
    return;
  }
  preview_->setPixmap(picture.scaled(preview_->contentsRect().size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
}

void TPreviewQuickFaxForms::OkButtonClick() {
  const auto selected = fileList_->selectedItems();
  if (selected.isEmpty()) {
    Beep();
    return;
  }
  fileName_ = selected.first()->text();
  accept();
}

void TPreviewQuickFaxForms::done(int result) {
  SaveFormPlacement(this);
  QDialog::done(result);
}

}  // namespace tv
