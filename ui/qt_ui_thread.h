// The UI-thread interface on Qt: queued functions become events delivered to
// an object living in the GUI thread.
#pragma once

#include <QObject>

#include "platform/ui_thread.h"

namespace tv {

class QtUiThread : public UiThread {
 public:
  QtUiThread();
  ~QtUiThread() override;

  void Post(Function fn) override;
  void ProcessPendingMessages() override;
  bool IsUiThread() const override;

 private:
  QObject receiver_;
};

}  // namespace tv
