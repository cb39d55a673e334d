// Shared helpers of the serial tests: a headless UI thread, a port opened on
// a simulated modem, and a procedure handler that records what it is given.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comm/dispatcher.h"
#include "comm/sim_modem.h"
#include "platform/ui_thread.h"

namespace tv::test {

// Polls pred (pumping the UI thread when given) until it holds or timeoutMs pass.
template <class Pred>
bool WaitUntil(Pred pred, int timeoutMs = 3000, HeadlessUiThread* ui = nullptr) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (ui) {
      ui->WaitForMessages(2);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  return true;
}

struct TriggerEvent {
  std::uint16_t msg;
  std::uint32_t handleArg;
  std::uint16_t data;
};

// A procedure handler recording every event; Action runs inside the handler.
class EventRecorder {
 public:
  std::function<void(const TriggerEvent&)> Action;

  static void Procedure(void* arg, std::uint32_t msg, std::uint32_t handleArg, std::uint32_t dataArg) {
    auto* self = static_cast<EventRecorder*>(arg);
    const TriggerEvent event{static_cast<std::uint16_t>(msg & 0xFFFF), handleArg,
                             static_cast<std::uint16_t>(dataArg & 0xFFFF)};
    self->port_.store(static_cast<int>(msg >> 16));
    if (self->Action) self->Action(event);
    std::lock_guard lock(self->mutex_);
    self->events_.push_back(event);
  }

  std::vector<TriggerEvent> Events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::size_t Count(std::uint16_t msg) const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& e : events_) n += e.msg == msg;
    return n;
  }
  int LastPort() const { return port_.load(); }

 private:
  mutable std::mutex mutex_;
  std::vector<TriggerEvent> events_;
  std::atomic<int> port_{0};
};

// A port on a fresh simulated modem, with a headless UI thread installed.
class SimPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UiThread::Install(&ui_);
    InstallDeviceLayer(SimDeviceLayer());
    modem_ = std::make_unique<SimModem>("sim-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    port_ = PortOpen(modem_->DeviceName(), kDispatcherThreads, 8192, 4096, 19200, 0, 8, 1);
    ASSERT_GT(port_, 0);
  }
  void TearDown() override {
    if (PortIsOpen(port_)) PortClose(port_);
    InstallDeviceLayer(nullptr);
    UiThread::Install(nullptr);
  }

  std::string ReadAll() {
    std::string text;
    for (int c = GetChar(port_); c >= 0; c = GetChar(port_)) text += static_cast<char>(c);
    return text;
  }

  HeadlessUiThread ui_;
  std::unique_ptr<SimModem> modem_;
  int port_ = 0;
};

}  // namespace tv::test
