#include "platform/ui_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace tv {
namespace {

using namespace std::chrono_literals;

TEST(HeadlessUiThread, PostedFunctionsRunInOrderWhenPumped) {
  HeadlessUiThread ui;
  std::vector<int> order;
  ui.Post([&] { order.push_back(1); });
  ui.Post([&] { order.push_back(2); });
  EXPECT_TRUE(order.empty());
  ui.ProcessPendingMessages();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(HeadlessUiThread, SendFromTheUiThreadRunsAtOnce) {
  HeadlessUiThread ui;
  bool ran = false;
  EXPECT_TRUE(ui.Send([&] { ran = true; }, 0));
  EXPECT_TRUE(ran);
}

TEST(HeadlessUiThread, SendFromAWorkerWaitsForThePump) {
  HeadlessUiThread ui;
  std::atomic<bool> ran{false};
  std::atomic<bool> sent{false};
  std::thread worker([&] { sent = ui.Send([&] { ran = true; }, 5000); });
  while (!sent) ui.WaitForMessages(10);
  worker.join();
  EXPECT_TRUE(ran);
}

TEST(HeadlessUiThread, TimedOutSendNeverRunsItsFunctionLater) {
  HeadlessUiThread ui;
  std::atomic<int> runs{0};
  bool result = true;
  {
    // The function captures state that dies with this block.
    auto state = std::make_unique<int>(7);
    std::thread worker([&] { result = ui.Send([&, p = state.get()] { runs += *p; }, 50); });
    worker.join();  // nobody pumped: the call timed out
    state.reset();
  }
  EXPECT_FALSE(result);
  ui.ProcessPendingMessages();
  ui.ProcessPendingMessages();
  EXPECT_EQ(runs, 0);
}

TEST(HeadlessUiThread, SendWaitsForAFunctionThatHasStarted) {
  HeadlessUiThread ui;
  std::atomic<bool> finished{false};
  std::atomic<bool> done{false};
  bool result = false;
  std::thread worker([&] {
    result = ui.Send(
        [&] {
          std::this_thread::sleep_for(150ms);  // longer than the time-out
          finished = true;
        },
        20);
    done = true;
  });
  while (!done) ui.WaitForMessages(5);
  worker.join();
  EXPECT_TRUE(result);
  EXPECT_TRUE(finished);
}

TEST(UiThread, TerminatingFlag) {
  HeadlessUiThread ui;
  EXPECT_FALSE(ui.Terminating());
  ui.SetTerminating(true);
  EXPECT_TRUE(ui.Terminating());
}

}  // namespace
}  // namespace tv
