#include "ui/qt_ui_thread.h"

#include <QCoreApplication>
#include <QThread>

namespace tv {

QtUiThread::QtUiThread() = default;

QtUiThread::~QtUiThread() = default;

void QtUiThread::Post(Function fn) {
  QMetaObject::invokeMethod(&receiver_, std::move(fn), Qt::QueuedConnection);
}

void QtUiThread::ProcessPendingMessages() { QCoreApplication::processEvents(); }

bool QtUiThread::IsUiThread() const { return QThread::currentThread() == receiver_.thread(); }

}  // namespace tv
