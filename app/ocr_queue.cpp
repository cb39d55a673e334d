#include "app/ocr_queue.h"

#include <QMetaObject>
#include <QThread>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "export/fax_ocr.h"

namespace tv {

namespace {

constexpr int kOcrNice = 19;  // the lowest

}  // namespace

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
    // Qt's priorities mean nothing to Linux's ordinary scheduling; a nice
    // value does, and the engine's own threads, started from this one,
    // inherit it: the fax engine always comes first.
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), kOcrNice);
    std::vector<OcrPage> pages;
    if (RecogniseFax(fax, languages, pages, &stop_) == 0) SaveOcr(OcrFilePath(fax), pages);
    if (stop_) return;
    const QString done = QString::fromStdString(fax);
    QMetaObject::invokeMethod(this, [this, done] { emit Done(done); }, Qt::QueuedConnection);
  });
}

}  // namespace tv
