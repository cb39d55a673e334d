// The ready-made status display of the fax components: a small window that
// shows the progress of the current fax and offers "Cancel". It appears on a
// session's first status report, is refreshed by every report and hides
// itself on the last.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QPointer>

#include "fax/fax_components.h"

class QLabel;
class QProgressBar;

namespace tv {

class TStandardFaxDisplay : public QDialog {
  Q_OBJECT

 public:
  explicit TStandardFaxDisplay(QWidget* parent = nullptr);

  void SetFax(TQaAbstractFax* fax) { fax_ = fax; }
  void UpdateValues(TQaAbstractFax& fax);

 protected:
  // The window closes only through the session; closing it by hand cancels.
  void reject() override;

 private:
  void CancelClick();
  void UpdateTimers(int status, int dialRetryWait);

  TQaAbstractFax* fax_ = nullptr;
  QElapsedTimer elapsed_;
  QElapsedTimer redialWait_;
  int redialSeconds_ = 0;

  QLabel* fsPhoneNumber_;
  QLabel* fsFaxFileName_;
  QLabel* fsCoverFileName_;
  QLabel* fsTotalPages_;
  QLabel* fsDialAttempt_;
  QLabel* fsRemoteID_;
  QLabel* fsConnectBPS_;
  QLabel* fsResolution_;
  QLabel* fsWidth_;
  QLabel* fsCoding_;
  QLabel* fsErrorControl_;
  QLabel* fsCurrentPage_;
  QLabel* fsPageLength_;
  QLabel* fsBytesTransferred_;
  QLabel* fsElapsedTime_;
  QLabel* fsStatusMsg_;
  QLabel* fsLabel19_;
  QProgressBar* meter_;
};

// The status component: links a fax component to a TStandardFaxDisplay
// owned by the given window (so the display takes input while that window
// is modal).
class TQaFaxStatus : public TQaAbstractFaxStatus {
 public:
  explicit TQaFaxStatus(QWidget* owner = nullptr) : owner_(owner) {}

  void UpdateDisplay(bool first, bool last) override;

  // The display window while it exists (for tests and the owner).
  TStandardFaxDisplay* DisplayWindow() const { return display_; }

 protected:
  std::unique_ptr<TFaxStatusForm> CreateDisplay() override;

 private:
  TStandardFaxDisplay* Display();

  QWidget* owner_;
  QPointer<TStandardFaxDisplay> display_;
};

// Texts the display shows, kept apart so they can be checked alone.
// A file name without its folders, cut to 20 characters and "..." when longer.
QString ShortFileName(const QString& path);
// Minutes, ":" and two-digit seconds, right-aligned in six characters.
QString MinutesSeconds(qint64 seconds);

}  // namespace tv
