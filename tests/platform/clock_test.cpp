#include "platform/clock.h"

#include <gtest/gtest.h>

namespace tv {
namespace {

TEST(Ticks, SecondsAndTicksConvertWithIntegerArithmetic) {
  EXPECT_EQ(SecsToTicks(60), 1092);
  EXPECT_EQ(SecsToTicks(10), 182);
  EXPECT_EQ(SecsToTicks(30), 546);
  EXPECT_EQ(TicksToSecs(1092), 60);
  EXPECT_EQ(TicksToSecs(0), 0);
  EXPECT_EQ(TicksToSecs(18), 1);
  EXPECT_GE(TickCount(), 0);
  EXPECT_LE(TickCount(), kTickWrap);
}

TEST(EventTimer, ExpiresAfterItsEnd) {
  const EventTimer t = NewTimer(10, 1000);
  EXPECT_FALSE(TimerExpired(t, 1000));
  EXPECT_FALSE(TimerExpired(t, 1010));
  EXPECT_TRUE(TimerExpired(t, 1011));
  EXPECT_EQ(ElapsedTicks(t, 1004), 4);
  EXPECT_EQ(RemainingTicks(t, 1004), 6);
  EXPECT_EQ(RemainingTicks(t, 2000), 0);
}

TEST(EventTimer, HandlesTheWrapOfTheTickCount) {
  // Started 5 ticks before the wrap, 20 ticks long: ends 15 ticks after it.
  const EventTimer t = NewTimer(20, kTickWrap - 5);
  EXPECT_FALSE(TimerExpired(t, kTickWrap - 1));
  EXPECT_FALSE(TimerExpired(t, 10));  // wrapped, 15 ticks in
  EXPECT_EQ(ElapsedTicks(t, 10), 15);
  EXPECT_EQ(RemainingTicks(t, 10), 5);
  EXPECT_FALSE(TimerExpired(t, 15));
  EXPECT_TRUE(TimerExpired(t, 16));
}

TEST(EventTimer, DurationIsCappedAndNeverNegative) {
  EXPECT_EQ(NewTimer(kTickWrap + 100, 0).endTick, kTickWrap);
  EXPECT_EQ(NewTimer(-5, 50).endTick, 50);
}

TEST(Delay, WaitsAtLeastTheTicksAsked) {
  const std::int32_t start = MilliCount();
  EXPECT_TRUE(DelayTicks(2, false));
  EXPECT_GE(MilliCount() - start, kMsPerTick);
}

TEST(Delay, PauseScaleShortensBothKindsOfPause) {
  SetPauseScale(25);
  std::int32_t start = MilliCount();
  DelayMs(800);
  const std::int32_t quarter = MilliCount() - start;
  start = MilliCount();
  EXPECT_TRUE(DelayTicks(16, false));  // 880 ms at full length
  const std::int32_t ticksQuarter = MilliCount() - start;
  SetPauseScale(0);
  start = MilliCount();
  DelayMs(5000);
  EXPECT_TRUE(DelayTicks(100, true));
  const std::int32_t none = MilliCount() - start;
  SetPauseScale(100);
  EXPECT_GE(quarter, 200);
  EXPECT_LT(quarter, 600);
  EXPECT_GE(ticksQuarter, 3 * kMsPerTick);
  EXPECT_LT(ticksQuarter, 600);
  EXPECT_LT(none, 100);
}

}  // namespace
}  // namespace tv
