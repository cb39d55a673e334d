#include "platform/clock.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/ui_thread.h"

namespace tv {

std::int32_t MilliCount() {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now().time_since_epoch()).count();
  return static_cast<std::int32_t>(ms & 0x7FFFFFFF);
}

std::int32_t TickCount() { return MilliCount() / kMsPerTick; }

EventTimer NewTimer(std::int32_t ticks, std::int32_t nowTick) {
  ticks = std::clamp(ticks, 0, kTickWrap);
  return {nowTick, nowTick + ticks};
}

bool TimerExpired(const EventTimer& timer, std::int32_t nowTick) {
  if (nowTick > timer.endTick) return true;
  return nowTick < timer.startTick && std::int64_t{nowTick} + kTickWrap > timer.endTick;
}

std::int32_t ElapsedTicks(const EventTimer& timer, std::int32_t nowTick) {
  std::int32_t elapsed = nowTick - timer.startTick;
  if (nowTick < timer.startTick) elapsed += kTickWrap;
  return elapsed;
}

std::int32_t RemainingTicks(const EventTimer& timer, std::int32_t nowTick) {
  std::int64_t remaining = std::int64_t{timer.endTick} - nowTick;
  if (nowTick < timer.startTick) remaining -= kTickWrap;
  return static_cast<std::int32_t>(std::max<std::int64_t>(remaining, 0));
}

namespace {
std::atomic<int> pausePercent{100};

std::int32_t Scaled(std::int32_t amount) {
  return static_cast<std::int32_t>(std::int64_t{amount} * pausePercent.load(std::memory_order_relaxed) / 100);
}
}  // namespace

void SetPauseScale(int percent) { pausePercent.store(std::max(percent, 0), std::memory_order_relaxed); }

bool DelayTicks(std::int32_t ticks, bool processMessages) {
  ticks = Scaled(ticks);
  if (ticks <= 0) return true;
  const EventTimer timer = NewTimer(ticks);
  UiThread& ui = UiThread::Current();
  while (!TimerExpired(timer)) {
    if (processMessages) {
      ui.ProcessPendingMessages();
      if (ui.Terminating()) return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(processMessages ? 5 : kMsPerTick / 5));
  }
  return true;
}

void DelayMs(std::int32_t ms) {
  ms = Scaled(ms);
  if (ms <= 0) return;
  UiThread& ui = UiThread::Current();
  if (!ui.IsUiThread()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return;
  }
  // The pauses a modem dialogue needs must not freeze the window.
  using Clock = std::chrono::steady_clock;
  const Clock::time_point until = Clock::now() + std::chrono::milliseconds(ms);
  for (Clock::time_point now = Clock::now(); now < until; now = Clock::now()) {
    ui.ProcessPendingMessages();
    std::this_thread::sleep_for(std::min<Clock::duration>(until - now, std::chrono::milliseconds(5)));
  }
}

}  // namespace tv

