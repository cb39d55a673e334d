#include "platform/ui_thread.h"

#include <chrono>
#include <memory>

namespace tv {

namespace {

// Shared between a sender and the function it queued, so whichever side
// comes second sees what the first did.
struct SentCall {
  enum class State { kQueued, kRunning, kDone, kAbandoned };
  std::mutex mutex;
  std::condition_variable changed;
  State state = State::kQueued;
};

UiThread* installed = nullptr;

}  // namespace

bool UiThread::Send(Function fn, int timeoutMs) {
  if (IsUiThread()) {
    fn();
    return true;
  }
  auto call = std::make_shared<SentCall>();
  Post([call, fn = std::move(fn)] {
    {
      std::lock_guard lock(call->mutex);
      if (call->state == SentCall::State::kAbandoned) return;
      call->state = SentCall::State::kRunning;
    }
    fn();
    std::lock_guard lock(call->mutex);
    call->state = SentCall::State::kDone;
    call->changed.notify_all();
  });

  std::unique_lock lock(call->mutex);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  if (call->changed.wait_until(lock, deadline, [&] { return call->state != SentCall::State::kQueued; })) {
    call->changed.wait(lock, [&] { return call->state == SentCall::State::kDone; });
    return true;
  }
  call->state = SentCall::State::kAbandoned;
  return false;
}

UiThread& UiThread::Current() {
  static HeadlessUiThread fallback;
  return installed ? *installed : fallback;
}

void UiThread::Install(UiThread* uiThread) { installed = uiThread; }

HeadlessUiThread::HeadlessUiThread() : owner_(std::this_thread::get_id()) {}

void HeadlessUiThread::Post(Function fn) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(fn));
  }
  arrived_.notify_all();
}

bool HeadlessUiThread::IsUiThread() const { return std::this_thread::get_id() == owner_; }

void HeadlessUiThread::ProcessPendingMessages() { RunQueued(); }

int HeadlessUiThread::WaitForMessages(int timeoutMs) {
  {
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !queue_.empty(); });
  }
  return RunQueued();
}

int HeadlessUiThread::RunQueued() {
  std::deque<Function> batch;
  {
    std::lock_guard lock(mutex_);
    batch.swap(queue_);
  }
  for (auto& fn : batch) fn();
  return static_cast<int>(batch.size());
}

}  // namespace tv
