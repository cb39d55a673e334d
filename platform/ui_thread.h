// The user-interface thread as seen from worker threads.
//
// Worker threads never touch windows directly: they post or send functions to
// the one thread that owns the windows. The window program implements this
// interface with Qt events; command-line tools and tests use HeadlessUiThread,
// which runs queued functions whenever its owner pumps it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace tv {

class UiThread {
 public:
  using Function = std::function<void()>;

  virtual ~UiThread() = default;

  // Queues fn to run on the UI thread and returns at once.
  virtual void Post(Function fn) = 0;

  // Runs fn on the UI thread and waits at most timeoutMs for it to finish.
  // Returns true when fn ran. Called on the UI thread itself, fn runs at once.
  // When the time-out passes while fn is still queued, the call is abandoned
  // and fn never runs; when fn has already started, Send waits for it to end,
  // so fn can never run against state the caller has since freed.
  bool Send(Function fn, int timeoutMs);

  // Runs every function queued so far (the message pump of the waits that
  // "process messages"). Must be called on the UI thread.
  virtual void ProcessPendingMessages() = 0;

  // True on the thread that runs the queued functions.
  virtual bool IsUiThread() const = 0;

  // Set while the application shuts down; long waits end early when set.
  bool Terminating() const { return terminating_.load(); }
  void SetTerminating(bool on) { terminating_.store(on); }

  // The process-wide instance; a HeadlessUiThread owned by the main thread
  // until a program installs its own.
  static UiThread& Current();
  static void Install(UiThread* uiThread);

 private:
  std::atomic<bool> terminating_{false};
};

// UI thread for programs without windows: the thread that created it is the
// UI thread, and queued functions run inside ProcessPendingMessages or
// WaitForMessages.
class HeadlessUiThread : public UiThread {
 public:
  HeadlessUiThread();

  void Post(Function fn) override;
  void ProcessPendingMessages() override;
  bool IsUiThread() const override;

  // Waits up to timeoutMs for at least one queued function, then runs every
  // queued function. Returns the number run.
  int WaitForMessages(int timeoutMs);

 private:
  int RunQueued();

  std::thread::id owner_;
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<Function> queue_;
};

}  // namespace tv
