// Drives modal windows from a test: modal dialogs run their own event loop,
// so the test schedules what to do with the next one before opening it.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <functional>

namespace tv::test {

// Waits (pumping events) for a modal widget of type T to appear, then runs
// action on it. Gives up silently after timeoutMs (the test's own checks fail then).
template <class T>
void WhenModal(std::function<void(T*)> action, int timeoutMs = 5000) {
  auto* timer = new QTimer;
  auto* clock = new QElapsedTimer;
  clock->start();
  QObject::connect(timer, &QTimer::timeout, [timer, clock, action, timeoutMs] {
    if (auto* w = qobject_cast<T*>(QApplication::activeModalWidget()); w && w->isVisible()) {
      timer->stop();
      timer->deleteLater();
      delete clock;
      action(w);
      return;
    }
    if (clock->elapsed() > timeoutMs) {
      timer->stop();
      timer->deleteLater();
      delete clock;
    }
  });
  timer->start(20);
}

// Answers the next message box with the given button and records its text.
inline void AnswerMessageBox(QMessageBox::StandardButton button, QString* text = nullptr, QString* title = nullptr) {
  WhenModal<QMessageBox>([button, text, title](QMessageBox* box) {
    if (text) *text = box->text();
    if (title) *title = box->windowTitle();
    box->button(button)->click();
  });
}

}  // namespace tv::test
