// Clocks and tick timers shared by the dispatcher, the com port, the fax
// engine and the modem tools.
//
// The millisecond clock is the monotonic clock masked to 31 bits. A tick is
// 55 ms of it (about 18.2 per second), so the tick count wraps at
// kTickWrap = 2^31 / 55 ticks; every timer handles that wrap.
#pragma once

#include <cstdint>

namespace tv {

inline constexpr std::int32_t kMsPerTick = 55;
inline constexpr std::int32_t kTickWrap = 39045157;  // 0x7FFFFFFF / 55, also the longest timer

// Milliseconds of the monotonic clock, masked to 31 bits.
std::int32_t MilliCount();
// MilliCount() / 55.
std::int32_t TickCount();

// Seconds to ticks and back, in the integer arithmetic every caller relies on
// (60 s is 1092 ticks, 10 s is 182).
constexpr std::int32_t SecsToTicks(std::int32_t secs) { return static_cast<std::int32_t>(std::int64_t{secs} * 1675 / 92); }
constexpr std::int32_t TicksToSecs(std::int32_t ticks) {
  return static_cast<std::int32_t>((std::int64_t{ticks} + 9) * 92 / 1675);
}

// A start and end tick. Durations are capped at kTickWrap.
struct EventTimer {
  std::int32_t startTick = 0;
  std::int32_t endTick = 0;
};

EventTimer NewTimer(std::int32_t ticks, std::int32_t nowTick);
inline EventTimer NewTimer(std::int32_t ticks) { return NewTimer(ticks, TickCount()); }

// Expired when now is past the end, or when the count wrapped since the start
// (now < start) and now + kTickWrap is past the end.
bool TimerExpired(const EventTimer& timer, std::int32_t nowTick);
inline bool TimerExpired(const EventTimer& timer) { return TimerExpired(timer, TickCount()); }

std::int32_t ElapsedTicks(const EventTimer& timer, std::int32_t nowTick);
inline std::int32_t ElapsedTicks(const EventTimer& timer) { return ElapsedTicks(timer, TickCount()); }

// Never below 0.
std::int32_t RemainingTicks(const EventTimer& timer, std::int32_t nowTick);
inline std::int32_t RemainingTicks(const EventTimer& timer) { return RemainingTicks(timer, TickCount()); }

// Waits the given number of ticks. With processMessages the UI thread's queue
// is pumped meanwhile, and the wait ends early when the application is
// terminating. Returns false when it ended early.
bool DelayTicks(std::int32_t ticks, bool processMessages);

// Busy-free wait of a number of milliseconds on the millisecond clock. On
// the UI thread its messages are pumped meanwhile, so the window stays alive.
void DelayMs(std::int32_t ms);

// The share of their time, in percent, that DelayTicks and DelayMs wait
// (100 unless set). Tests and fuzzing lower it to run modem dialogues
// through simulated modems, which need no pauses, quickly.
void SetPauseScale(int percent);

}  // namespace tv
