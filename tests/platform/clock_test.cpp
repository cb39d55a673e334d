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

}  // namespace
}  // namespace tv
