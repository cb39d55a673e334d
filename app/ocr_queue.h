// Recognising the text of received faxes: one fax after another on a
// thread of its own at the lowest priority, so that receive mode never
// waits for it. Each fax's words go beside it (FAX0001.ocr), where the
// search box and "Save as PDF" find them.
#pragma once

#include <QObject>
#include <QThreadPool>
#include <atomic>
#include <string>

namespace tv {

class OcrQueue : public QObject {
  Q_OBJECT

 public:
  explicit OcrQueue(QObject* parent = nullptr);
  // Stops after the page in work; a fax not finished keeps no words.
  ~OcrQueue() override;

  void Add(const std::string& fax, const std::string& languages);
  // Waits until every fax added is done (for tests and the benchmark).
  void WaitForDone() { pool_.waitForDone(); }

 signals:
  // On the window's thread, once a fax is done: its words kept, or none
  // (not recognised; its pages could not be read).
  void Done(const QString& fax);

 private:
  QThreadPool pool_;
  std::atomic<bool> stop_{false};
};

}  // namespace tv
