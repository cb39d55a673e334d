#include "app/ocr_queue.h"

#include <QMetaObject>
#include <QThread>

#include "export/fax_ocr.h"

namespace tv {

OcrQueue::OcrQueue(QObject* parent) : QObject(parent) {
  pool_.setMaxThreadCount(1);
  pool_.setThreadPriority(QThread::LowestPriority);
}

OcrQueue::~OcrQueue() {
  stop_ = true;
  pool_.waitForDone();
}

void OcrQueue::Add(const std::string& fax, const std::string& languages) {
  pool_.start([this, fax, languages] {
    std::vector<OcrPage> pages;
    if (RecogniseFax(fax, languages, pages, &stop_) != 0 || SaveOcr(OcrFilePath(fax), pages) != 0) return;
    const QString done = QString::fromStdString(fax);
    QMetaObject::invokeMethod(this, [this, done] { emit Recognised(done); }, Qt::QueuedConnection);
  });
}

}  // namespace tv
