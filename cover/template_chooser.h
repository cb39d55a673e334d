// The template chooser: the cover templates of a folder, with the preview
// picture and the description of the one selected.
#pragma once

#include <QDialog>
#include <string>

class QLabel;
class QListWidget;

namespace tv {

class TPreviewQuickFaxForms : public QDialog {
  Q_OBJECT

 public:
  explicit TPreviewQuickFaxForms(QWidget* parent = nullptr);

  // Lists the folder's templates; `current` is selected when shown (letter
  // case ignored), else the first one.
  void SetFolder(const std::string& folder, const QString& current);
  // The chosen template's file name, without folder.
  const QString& FileName() const { return fileName_; }

  void done(int result) override;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void SelectionChange();
  void OkButtonClick();

  std::string folder_;
  QString current_;
  QString fileName_;
  QListWidget* fileList_;
  QLabel* preview_;
  QLabel* description_;
};

}  // namespace tv
