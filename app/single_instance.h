// One running copy per program folder.
//
// The first copy holds a lock file and listens on a local socket, both named
// after the program folder. A second copy finds the lock taken, asks the
// first over the socket to restore and raise its window, and exits before
// opening any table or writing any file.
#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QPointer>
#include <QString>
#include <memory>

class QWidget;

namespace tv {

class TJustOne : public QObject {
  Q_OBJECT

 public:
  explicit TJustOne(const QString& programFolder, QObject* parent = nullptr);

  // True when another copy runs on the same program folder.
  bool PreviousInstancePresent() const { return previous_; }

  // Asks the other copy to bring its window forward; true when it answered.
  bool ActivatePrevious() const;

  // The window to bring forward when a later copy asks.
  void SetWindow(QWidget* window) { window_ = window; }

 private:
  void OnConnection();

  QString socketName_;
  std::unique_ptr<QLockFile> lock_;
  QLocalServer server_;
  QPointer<QWidget> window_;
  bool previous_ = false;
};

}  // namespace tv
