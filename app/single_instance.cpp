#include "app/single_instance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QWidget>

namespace tv {

namespace {

constexpr char kRaiseRequest[] = "raise\n";
constexpr int kAnswerTimeoutMs = 2000;

QString InstanceName(const QString& programFolder) {
  const QByteArray hash = QCryptographicHash::hash(QDir::cleanPath(programFolder).toUtf8(), QCryptographicHash::Sha1);
  return "tessivane-" + QString::fromLatin1(hash.toHex().left(16));
}

QString LockFolder() {
  QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (folder.isEmpty()) folder = QDir::tempPath();
  QDir().mkpath(folder);
  return folder;
}

}  // namespace

TJustOne::TJustOne(const QString& programFolder, QObject* parent)
    : QObject(parent), socketName_(InstanceName(programFolder)) {
  lock_ = std::make_unique<QLockFile>(LockFolder() + "/" + socketName_ + ".lock");
  lock_->setStaleLockTime(0);  // only a lock of a dead process is stale
  if (!lock_->tryLock(0)) {
    // A failure other than "held by a live process" counts as no previous copy.
    previous_ = lock_->error() == QLockFile::LockFailedError;
    lock_.reset();
    if (previous_) return;
  }
  QLocalServer::removeServer(socketName_);  // left behind by a copy that crashed
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  server_.listen(socketName_);
  connect(&server_, &QLocalServer::newConnection, this, &TJustOne::OnConnection);
}

bool TJustOne::ActivatePrevious() const {
  QLocalSocket socket;
  socket.connectToServer(socketName_);
  if (!socket.waitForConnected(kAnswerTimeoutMs)) return false;
  socket.write(kRaiseRequest);
  socket.waitForBytesWritten(kAnswerTimeoutMs);
  const bool answered = socket.waitForReadyRead(kAnswerTimeoutMs);
  socket.disconnectFromServer();
  return answered;
}

void TJustOne::OnConnection() {
  while (QLocalSocket* client = server_.nextPendingConnection()) {
    connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
    connect(client, &QLocalSocket::readyRead, this, [this, client] {
      if (!client->readAll().contains("raise")) return;
      if (window_) {
        if (window_->isMinimized()) {
          window_->showNormal();
        } else {
          window_->show();
        }
        window_->raise();
        window_->activateWindow();
      }
      client->write("ok\n");
      client->flush();
    });
  }
}

}  // namespace tv
