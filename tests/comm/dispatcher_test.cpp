// The dispatcher driven through the simulated modem.
#include <gtest/gtest.h>

#include "platform/error_codes.h"
#include "tests/comm/comm_test_support.h"
#include "tests/support/temp_dir.h"

namespace tv::test {
namespace {

using DispatcherTest = SimPortTest;

TEST_F(DispatcherTest, HandlesOutsideTheTableOrClosedAreRefused) {
  EXPECT_EQ(PortDispatcherKind(port_), kDispatcherThreads);
  EXPECT_EQ(BytesAvailable(0), ecBadHandle);
  EXPECT_EQ(BytesAvailable(51), ecBadHandle);
  EXPECT_EQ(PortClose(port_), 0);
  EXPECT_EQ(GetChar(port_), ecBadHandle);
  EXPECT_EQ(PortClose(port_), ecBadHandle);
  EXPECT_EQ(PortDispatcherKind(port_), 0);
  EXPECT_FALSE(modem_->IsOpen());
}

TEST_F(DispatcherTest, TriggerTablesHaveTheirLimitsAndCodes) {
  std::vector<int> timers;
  for (int i = 0; i < kTimerTriggerSlots; ++i) timers.push_back(AddTimerTrigger(port_));
  for (int t : timers) EXPECT_GE(t, 2);
  EXPECT_EQ(AddTimerTrigger(port_), ecNoMoreTriggers);

  std::vector<int> status;
  for (int i = 0; i < kStatusTriggerSlots; ++i) status.push_back(AddStatusTrigger(port_, stOutSent));
  EXPECT_EQ(AddStatusTrigger(port_, stOutSent), ecNoMoreTriggers);
  EXPECT_EQ(AddStatusTrigger(port_, 6), ecBadArgument);

  EXPECT_EQ(AddDataTrigger(port_, std::string(23, 'x'), false), ecTriggerTooLong);
  EXPECT_EQ(AddDataTrigger(port_, "", false), ecBadArgument);
  for (int i = 0; i < kDataTriggerSlots; ++i) EXPECT_GE(AddDataTrigger(port_, std::string(22, 'a'), false), 2);
  EXPECT_EQ(AddDataTrigger(port_, "OK", false), ecNoMoreTriggers);

  // A status handle is no timer, and a freed handle is given out again.
  EXPECT_EQ(SetTimerTrigger(port_, status[0], 5, true), ecBadTriggerHandle);
  EXPECT_EQ(SetStatusTrigger(port_, timers[0], 0, true), ecBadTriggerHandle);
  EXPECT_EQ(SetTimerTrigger(port_, 42, 5, true), ecBadTriggerHandle);
  EXPECT_EQ(StatusTriggerTypeOf(port_, status[3]), stOutSent);
  EXPECT_EQ(RemoveTrigger(port_, timers[4]), 0);
  EXPECT_EQ(SetTimerTrigger(port_, timers[4], 5, true), ecBadTriggerHandle);
  EXPECT_EQ(AddTimerTrigger(port_), timers[4]);
}

TEST_F(DispatcherTest, BytesBeforeADataMatchComeFirstAsAvail) {
  EventRecorder rec;
  rec.Action = [&](const TriggerEvent& e) {
    if (e.msg == kMsgTriggerAvail) {
      for (std::uint32_t i = 0; i < e.handleArg; ++i) GetChar(port_);
    }
  };
  ASSERT_EQ(RegisterTriggerHandler(port_, nullptr, EventRecorder::Procedure, &rec, true), 0);
  const int ok = AddDataTrigger(port_, "ok", true);
  ASSERT_GE(ok, 2);
  ASSERT_EQ(SetAvailLevel(port_, 1), 0);
  modem_->Receive("xyOK\r\n");
  ASSERT_TRUE(WaitUntil([&] { return rec.Events().size() >= 3; }));
  const auto events = rec.Events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].msg, kMsgTriggerAvail);
  EXPECT_EQ(events[0].handleArg, 2u);  // "xy"
  EXPECT_EQ(events[1].msg, kMsgTriggerData);
  EXPECT_EQ(events[1].handleArg, static_cast<std::uint32_t>(ok));
  EXPECT_EQ(events[1].data, 2u);  // the trigger's length
  EXPECT_EQ(events[2].msg, kMsgTriggerAvail);
  EXPECT_EQ(events[2].handleArg, 4u);  // "OK\r\n"
  EXPECT_EQ(BytesAvailable(port_), 0);
  EXPECT_EQ(rec.LastPort(), port_);
}

TEST_F(DispatcherTest, DataTriggerMatchesAcrossBlocksAndOverlaps) {
  EventRecorder rec;
  ASSERT_EQ(RegisterTriggerHandler(port_, nullptr, EventRecorder::Procedure, &rec, true), 0);
  const int connect = AddDataTrigger(port_, "CONNECT", false);
  const int aab = AddDataTrigger(port_, "aab", false);
  modem_->Receive("CONN");
  modem_->Receive("ECT aaab conNECT");
  ASSERT_TRUE(WaitUntil([&] { return rec.Count(kMsgTriggerData) >= 2; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto events = rec.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].handleArg, static_cast<std::uint32_t>(connect));
  EXPECT_EQ(events[1].handleArg, static_cast<std::uint32_t>(aab));  // "aaab": the match restarts at the second a
  EXPECT_EQ(ReadAll(), "CONNECT aaab conNECT");
}

TEST_F(DispatcherTest, TwoHandlersShareOneAvailEventThroughPeekMode) {
  ASSERT_EQ(ClearOptions(port_, doPeekOff), 0);
  std::string first, second;
  EventRecorder a, b;
  a.Action = [&](const TriggerEvent&) {
    for (int i = 0; i < 3; ++i) first += static_cast<char>(GetChar(port_));
  };
  b.Action = [&](const TriggerEvent&) {
    for (int i = 0; i < 3; ++i) second += static_cast<char>(GetChar(port_));
  };
  ASSERT_EQ(RegisterTriggerHandler(port_, nullptr, EventRecorder::Procedure, &a, true), 0);
  ASSERT_EQ(RegisterTriggerHandler(port_, nullptr, EventRecorder::Procedure, &b, true), 0);
  ASSERT_EQ(SetAvailLevel(port_, 1), 0);
  modem_->Receive("12345");
  ASSERT_TRUE(WaitUntil([&] { return a.Count(kMsgTriggerAvail) == 1 && b.Count(kMsgTriggerAvail) == 1; }));
  EXPECT_EQ(first, "123");
  EXPECT_EQ(second, "123");  // both saw the same bytes
  EXPECT_EQ(BytesAvailable(port_), 2);
  // Not offered again until more bytes come.
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(a.Count(kMsgTriggerAvail), 1u);
  modem_->Receive("6");
  ASSERT_TRUE(WaitUntil([&] { return a.Count(kMsgTriggerAvail) == 2; }));
  EXPECT_EQ(a.Events()[1].handleArg, 3u);
  EXPECT_EQ(first, "123456");
}

TEST_F(DispatcherTest, GetBlockTakesWhatGetCharWouldAcrossTheRingEnd) {
  TempDir dir;
  ASSERT_EQ(ClearOptions(port_, doPeekOff), 0);
  std::string byBlock, byChar;
  EventRecorder blocks, chars;
  blocks.Action = [&](const TriggerEvent& e) {
    std::string bytes(e.handleArg, '\0');
    ASSERT_EQ(GetBlock(port_, reinterpret_cast<std::uint8_t*>(bytes.data()), static_cast<int>(e.handleArg) + 1),
              ecGetBlockFail);  // more than there is: nothing taken
    ASSERT_EQ(GetBlock(port_, reinterpret_cast<std::uint8_t*>(bytes.data()), static_cast<int>(e.handleArg)),
              static_cast<int>(e.handleArg));
    byBlock += bytes;
  };
  chars.Action = [&](const TriggerEvent& e) {
    for (std::uint32_t i = 0; i < e.handleArg; ++i) byChar += static_cast<char>(GetChar(port_));
  };
  ASSERT_EQ(RegisterTriggerHandler(port_, nullptr, EventRecorder::Procedure, &chars, true), 0);
  ASSERT_EQ(RegisterTriggerHandler(port_, nullptr, EventRecorder::Procedure, &blocks, true), 0);
  ASSERT_EQ(SetAvailLevel(port_, 1), 0);
  // The first bytes leave the ring's tail just short of its end, so the next
  // ones are read and taken in two pieces.
  const std::string filler(kInputBufferSize - 3, '.');
  modem_->Receive(filler);
  ASSERT_TRUE(WaitUntil([&] { return byChar.size() == filler.size(); }));
  ASSERT_EQ(StartTrace(port_, 100), 0);
  modem_->Receive("wrapped");
  ASSERT_TRUE(WaitUntil([&] { return byChar.size() == filler.size() + 7; }));
  EXPECT_EQ(byBlock, byChar);  // both handlers saw every byte in peek mode
  EXPECT_EQ(byChar.substr(filler.size()), "wrapped");
  EXPECT_EQ(BytesAvailable(port_), 0);
  ASSERT_EQ(DumpTrace(port_, dir.File("p.trc"), false, true), 0);
  EXPECT_EQ(dir.Read("p.trc"), "Receive: wrappedwrapped\n");  // each handler's reads, byte by byte
}

TEST_F(DispatcherTest, HandlerWithoutPassOnKeepsTheEventAndRemovalWaitsForTheDelivery) {
  EventRecorder older, newer;
  ASSERT_EQ(RegisterTriggerHandler(port_, nullptr, EventRecorder::Procedure, &older, true), 0);
  ASSERT_EQ(RegisterTriggerHandler(port_, nullptr, EventRecorder::Procedure, &newer, false), 0);
  newer.Action = [&](const TriggerEvent&) {
    // Removing itself inside its own delivery is safe.
    EXPECT_EQ(DeregisterTriggerHandler(port_, nullptr, EventRecorder::Procedure), 0);
    ReadAll();
  };
  ASSERT_EQ(SetAvailLevel(port_, 1), 0);
  modem_->Receive("a");
  ASSERT_TRUE(WaitUntil([&] { return newer.Count(kMsgTriggerAvail) == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  EXPECT_EQ(older.Count(kMsgTriggerAvail), 0u);
  modem_->Receive("b");
  ASSERT_TRUE(WaitUntil([&] { return older.Count(kMsgTriggerAvail) == 1; }));
  EXPECT_EQ(newer.Count(kMsgTriggerAvail), 1u);
}

// Taking a procedure handler off from another thread while it runs waits
// for it to return: what it works on may be freed as soon as the call is
// back, and it is never called again.
TEST_F(DispatcherTest, DeregisteringWaitsForARunningProcedureHandler) {
  EventRecorder rec;
  std::atomic<bool> started{false};
  std::atomic<bool> returned{false};
  rec.Action = [&](const TriggerEvent&) {
    started = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ReadAll();
    returned = true;
  };
  ASSERT_EQ(RegisterTriggerHandler(port_, nullptr, EventRecorder::Procedure, &rec, false), 0);
  ASSERT_EQ(SetAvailLevel(port_, 1), 0);
  modem_->Receive("a");
  ASSERT_TRUE(WaitUntil([&] { return started.load(); }));
  EXPECT_EQ(DeregisterTriggerHandler(port_, nullptr, EventRecorder::Procedure, &rec), 0);
  EXPECT_TRUE(returned);
  modem_->Receive("b");
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(rec.Count(kMsgTriggerAvail), 1u);
  // Another handler's argument matches nothing.
  EXPECT_EQ(DeregisterTriggerHandler(port_, nullptr, EventRecorder::Procedure, &started), ecRegisterHandlerFailed);
}

TEST_F(DispatcherTest, AThrowingProcedureHandlerDoesNotStopTheDispatcher) {
  EventRecorder rec;
  std::atomic<int> calls{0};
  rec.Action = [&](const TriggerEvent&) {
    if (++calls == 1) throw std::runtime_error("handler failed");
  };
  ASSERT_EQ(RegisterTriggerHandler(port_, nullptr, EventRecorder::Procedure, &rec, false), 0);
  const int timer = AddTimerTrigger(port_);
  ASSERT_EQ(SetTimerTrigger(port_, timer, 1, true), 0);
  ASSERT_TRUE(WaitUntil([&] { return calls == 1; }));
  ASSERT_EQ(SetTimerTrigger(port_, timer, 1, true), 0);
  ASSERT_TRUE(WaitUntil([&] { return rec.Count(kMsgTriggerTimer) == 1; }));
}

TEST_F(DispatcherTest, StatusTriggersFireOnceUntilArmedAgain) {
  EventRecorder rec;
  ASSERT_EQ(RegisterTriggerHandler(port_, nullptr, EventRecorder::Procedure, &rec, true), 0);
  const int drained = AddStatusTrigger(port_, stOutBuffUsed);
  const int sent = AddStatusTrigger(port_, stOutSent);
  ASSERT_EQ(SetStatusTrigger(port_, drained, 0, true), 0);
  ASSERT_EQ(SetStatusTrigger(port_, sent, 0, true), 0);
  ASSERT_EQ(PutString(port_, "ATZ\r"), 0);
  ASSERT_TRUE(WaitUntil([&] { return rec.Count(kMsgTriggerStatus) == 2; }));
  EXPECT_TRUE(modem_->WaitForWritten(4, 1000));
  EXPECT_EQ(modem_->TakeWritten(), "ATZ\r");
  ASSERT_EQ(PutString(port_, "AT\r"), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(rec.Count(kMsgTriggerStatus), 2u);
  ASSERT_EQ(SetStatusTrigger(port_, drained, 0, true), 0);
  ASSERT_TRUE(WaitUntil([&] { return rec.Count(kMsgTriggerStatus) == 3; }));
  EXPECT_EQ(rec.Events()[2].handleArg, static_cast<std::uint32_t>(drained));
  EXPECT_EQ(rec.Events()[2].data, 0u);  // bytes still waiting
}

TEST_F(DispatcherTest, ModemLinesAndLineErrorsReachStatusTriggers) {
  EventRecorder rec;
  ASSERT_EQ(RegisterTriggerHandler(port_, nullptr, EventRecorder::Procedure, &rec, true), 0);
  const int carrier = AddStatusTrigger(port_, stModemStatus);
  const int errors = AddStatusTrigger(port_, stLineError);
  ASSERT_EQ(SetStatusTrigger(port_, carrier, kLineDcd, true), 0);
  ASSERT_EQ(SetStatusTrigger(port_, errors, 4 /* framing */, true), 0);

  modem_->SetLine(kLineDsr, false);  // not watched
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(rec.Count(kMsgTriggerStatus), 0u);
  modem_->SetLine(kLineDcd, true);
  ASSERT_TRUE(WaitUntil([&] { return rec.Count(kMsgTriggerStatus) == 1; }));
  EXPECT_EQ(rec.Events()[0].handleArg, static_cast<std::uint32_t>(carrier));
  const int msr = ModemStatus(port_, 0xF0);
  EXPECT_EQ(msr & 0xF0, kLineCts | kLineDcd);
  EXPECT_EQ(msr & 0x0F, 0x0A);  // DSR and DCD changed
  EXPECT_EQ(ModemStatus(port_, 0xFF) & 0x0F, 0);  // the keep mask dropped the deltas
  EXPECT_EQ(CarrierDetect(port_), 1);

  modem_->InjectLineError(kErrParity);  // not watched
  modem_->InjectLineError(kErrFraming | kErrBreak);
  ASSERT_TRUE(WaitUntil([&] { return rec.Count(kMsgTriggerStatus) == 2; }));
  EXPECT_EQ(rec.Events()[1].handleArg, static_cast<std::uint32_t>(errors));
  EXPECT_EQ(LineError(port_), leParity);  // the first error in order wins
  EXPECT_EQ(LineError(port_), leBreak);   // the four error bits were cleared
  EXPECT_EQ(LineBreak(port_), 1);
  EXPECT_EQ(LineBreak(port_), 0);
  EXPECT_EQ(LineError(port_), leNone);
}

TEST_F(DispatcherTest, TimerTriggersExpireAndReuseTheirDuration) {
  EventRecorder rec;
  ASSERT_EQ(RegisterTriggerHandler(port_, nullptr, EventRecorder::Procedure, &rec, true), 0);
  const int timer = AddTimerTrigger(port_);
  ASSERT_EQ(SetTimerTrigger(port_, timer, 2, true), 0);
  ASSERT_TRUE(WaitUntil([&] { return rec.Count(kMsgTriggerTimer) == 1; }));
  EXPECT_EQ(rec.Events()[0].handleArg, static_cast<std::uint32_t>(timer));
  ASSERT_EQ(SetTimerTrigger(port_, timer, 0, true), 0);  // same two ticks again
  ASSERT_TRUE(WaitUntil([&] { return rec.Count(kMsgTriggerTimer) == 2; }));
  ASSERT_EQ(SetTimerTrigger(port_, timer, 1, true), 0);
  ASSERT_EQ(SetTimerTrigger(port_, timer, 0, false), 0);  // disarmed before it ran out
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  EXPECT_EQ(rec.Count(kMsgTriggerTimer), 2u);
}

TEST_F(DispatcherTest, ClosingFromInsideAHandlerWaitsForTheHandlerToReturn) {
  EventRecorder rec;
  std::atomic<int> afterClose{-1};
  rec.Action = [&](const TriggerEvent&) {
    EXPECT_EQ(PortClose(port_), 0);
    afterClose = BytesAvailable(port_);  // the record is still there
  };
  ASSERT_EQ(RegisterTriggerHandler(port_, nullptr, EventRecorder::Procedure, &rec, true), 0);
  ASSERT_EQ(SetAvailLevel(port_, 1), 0);
  modem_->Receive("RING\r\n");
  ASSERT_TRUE(WaitUntil([&] { return !PortIsOpen(port_); }));
  EXPECT_EQ(afterClose.load(), 6);
  EXPECT_EQ(rec.Count(kMsgTriggerAvail), 1u);
  EXPECT_TRUE(WaitUntil([&] { return !modem_->IsOpen(); }));
}

class RecordingWindow : public TriggerWindow {
 public:
  void TriggerMessage(std::uint16_t msg, std::uint32_t wParam, std::uint32_t lParam) override {
    onUiThread = UiThread::Current().IsUiThread();
    messages.push_back({msg, wParam, static_cast<std::uint16_t>(lParam >> 16)});
  }
  std::vector<TriggerEvent> messages;  // data holds the port from lParam
  bool onUiThread = false;
};

TEST_F(DispatcherTest, WindowHandlersRunOnTheUiThreadAndAreSkippedWhenItIsBusy) {
  RecordingWindow window;
  EventRecorder behind;
  ASSERT_EQ(RegisterTriggerHandler(port_, nullptr, EventRecorder::Procedure, &behind, true), 0);
  ASSERT_EQ(RegisterTriggerHandler(port_, &window, nullptr, nullptr, true), 0);
  const int timer = AddTimerTrigger(port_);
  ASSERT_EQ(SetTimerTrigger(port_, timer, 1, true), 0);
  ASSERT_TRUE(WaitUntil([&] { return !window.messages.empty(); }, 3000, &ui_));
  EXPECT_TRUE(window.onUiThread);
  EXPECT_EQ(window.messages[0].msg, kMsgTriggerTimer);
  EXPECT_EQ(window.messages[0].handleArg, static_cast<std::uint32_t>(timer));
  EXPECT_EQ(window.messages[0].data, port_);
  ASSERT_TRUE(WaitUntil([&] { return behind.Count(kMsgTriggerTimer) == 1; }));

  // The UI thread does not answer for longer than the limit: the window is
  // skipped for that event, the next handler still gets it, and the message
  // never arrives late.
  ASSERT_EQ(SetTimerTrigger(port_, timer, 1, true), 0);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitUntil([&] { return behind.Count(kMsgTriggerTimer) == 2; }, 4000));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  ui_.WaitForMessages(50);
  EXPECT_EQ(window.messages.size(), 1u);
}

TEST_F(DispatcherTest, ClosingOnTheUiThreadDoesNotWaitForTheUiThread) {
  RecordingWindow window;
  ASSERT_EQ(RegisterTriggerHandler(port_, &window, nullptr, nullptr, true), 0);
  ASSERT_EQ(SetAvailLevel(port_, 1), 0);
  modem_->Receive("RING\r\n");
  // The delivery now waits for the UI thread, which is busy closing the port.
  ASSERT_TRUE(WaitUntil([&] { return BytesAvailable(port_) == 6; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(PortClose(port_), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_FALSE(modem_->IsOpen());  // closed at once, so it can be opened again
  EXPECT_FALSE(PortIsOpen(port_));
  EXPECT_EQ(window.messages.size(), 1u);  // the waiting message was handed over, not lost
}

TEST_F(DispatcherTest, OutputRingRefusesOversizedBlocksAndFlushAbandonsPendingOutput) {
  modem_->HoldOutput(true);
  const std::string block(4000, 'x');
  ASSERT_EQ(PutString(port_, block), 0);
  EXPECT_EQ(OutBytesWaiting(port_), 4000);
  EXPECT_EQ(OutFreeSpace(port_), 96);
  EXPECT_EQ(PutString(port_, std::string(97, 'y')), ecOutputBufferTooSmall);
  ASSERT_EQ(PutString(port_, std::string(96, 'y')), 0);  // exactly fills it
  EXPECT_EQ(OutFreeSpace(port_), 0);
  EXPECT_EQ(FlushOutput(port_), 0);
  EXPECT_EQ(OutBytesWaiting(port_), 0);
  modem_->HoldOutput(false);
  ASSERT_EQ(PutString(port_, "AT\r"), 0);
  ASSERT_TRUE(modem_->WaitForWritten(3, 2000));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(modem_->TakeWritten(), "AT\r");
}

// A flush that meets the output thread in the middle of a block, with more
// output queued behind it, drops the queue; nothing queued before it is ever
// sent again afterwards.
TEST_F(DispatcherTest, FlushWhileWritingNeverSendsOutputAgain) {
  modem_->SetLineRate(19200);  // 100 bytes take about 50 ms
  modem_->SetWriteChunk(7);
  std::size_t put = 0;
  for (int i = 0; i < 300; ++i) {
    ASSERT_EQ(PutString(port_, std::string(100, 'o')), 0);
    std::this_thread::sleep_for(std::chrono::microseconds(500 * (i % 8)));
    ASSERT_EQ(PutString(port_, std::string(10, 'n')), 0);
    put += 110;
    ASSERT_EQ(FlushOutput(port_), 0);
  }
  ASSERT_EQ(PutString(port_, "END"), 0);
  put += 3;
  ASSERT_TRUE(modem_->WaitForWritten(3, 2000));
  ASSERT_TRUE(WaitUntil([&] { return OutBytesWaiting(port_) == 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const std::string written = modem_->TakeWritten();
  EXPECT_LE(written.size(), put);
  ASSERT_GE(written.size(), 3u);
  EXPECT_EQ(written.substr(written.size() - 3), "END");
}

TEST_F(DispatcherTest, ABlockCrossingTheRingEndIsSentInTwoStretches) {
  std::mutex mutex;
  std::vector<std::size_t> pieces;
  modem_->OnWrite([&](std::string_view bytes) {
    std::lock_guard lock(mutex);
    pieces.push_back(bytes.size());
  });
  ASSERT_EQ(PutString(port_, std::string(4000, 'a')), 0);  // the ring holds 4096
  ASSERT_TRUE(modem_->WaitForWritten(4000, 2000));
  ASSERT_TRUE(WaitUntil([&] { return OutBytesWaiting(port_) == 0; }));
  modem_->TakeWritten();
  modem_->HoldOutput(true);
  ASSERT_EQ(PutString(port_, std::string(200, 'b')), 0);
  {
    std::lock_guard lock(mutex);
    pieces.clear();
  }
  modem_->HoldOutput(false);
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard lock(mutex);
    return pieces.size() == 2;
  }));
  EXPECT_EQ(modem_->TakeWritten(), std::string(200, 'b'));
  std::lock_guard lock(mutex);
  EXPECT_EQ(pieces, (std::vector<std::size_t>{96, 104}));
}

TEST_F(DispatcherTest, APacedLineDrainsTheOutputRingAtItsRate) {
  EventRecorder rec;
  ASSERT_EQ(RegisterTriggerHandler(port_, nullptr, EventRecorder::Procedure, &rec, true), 0);
  modem_->SetLineRate(19200);  // 1920 bytes a second
  modem_->SetWriteChunk(7);
  const int drained = AddStatusTrigger(port_, stOutBuffUsed);
  ASSERT_EQ(SetStatusTrigger(port_, drained, 0, true), 0);
  const std::string page(480, 'p');
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(PutString(port_, page), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_GT(OutBytesWaiting(port_), 0);  // still on its way
  ASSERT_TRUE(WaitUntil([&] { return rec.Count(kMsgTriggerStatus) == 1; }));
  // 480 bytes at 1920 a second, less the FIFO the last bytes sit in.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(230));
  EXPECT_EQ(modem_->TakeWritten(), page);
}

TEST_F(DispatcherTest, CtsFlowHoldsOutputUntilTheModemRaisesCts) {
  modem_->SetLine(kLineCts, false);
  ASSERT_EQ(HwFlowOn(port_, 7372, 819, 2 | 8), 0);
  EXPECT_TRUE(modem_->State().outxCtsFlow);
  ASSERT_EQ(PutString(port_, "ATA\r"), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(OutBytesWaiting(port_), 4);
  modem_->SetLine(kLineCts, true);
  ASSERT_TRUE(modem_->WaitForWritten(4, 2000));
  EXPECT_EQ(modem_->TakeWritten(), "ATA\r");
}

TEST_F(DispatcherTest, FullInputRingLeavesTheRestInTheDevice) {
  modem_->Receive(std::string(10000, 'r'));
  ASSERT_TRUE(WaitUntil([&] { return BytesAvailable(port_) == kInputBufferSize; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(modem_->ReceiveQueued(), 10000u - kInputBufferSize);
  for (int i = 0; i < 5000; ++i) ASSERT_EQ(GetChar(port_), 'r');
  ASSERT_TRUE(WaitUntil([&] { return modem_->ReceiveQueued() == 0; }));
  EXPECT_EQ(BytesAvailable(port_), 5000);
  EXPECT_EQ(FlushInput(port_), 0);
  EXPECT_EQ(BytesAvailable(port_), 0);
  EXPECT_EQ(GetChar(port_), ecBufferIsEmpty);
}

TEST_F(DispatcherTest, LineSettingsFollowTheNoChangeValuesAndFlowLevels) {
  ASSERT_EQ(SetLine(port_, 9600, 2, 7, 2), 0);
  LineSettings line;
  ASSERT_EQ(GetLine(port_, line), 0);
  EXPECT_EQ(line.baud, 9600u);
  EXPECT_EQ(line.parity, 2);
  EXPECT_EQ(line.dataBits, 7);
  EXPECT_EQ(line.stopBits, 2);
  ASSERT_EQ(SetLine(port_, 0, 5, 5, 3), 0);  // only the data bits change
  EXPECT_EQ(modem_->State().baud, 9600u);
  EXPECT_EQ(modem_->State().stopBits, 1);  // five data bits: one and a half
  ASSERT_EQ(SetBaud(port_, 19200), 0);
  EXPECT_EQ(modem_->State().byteSize, 5);

  const SerialState before = modem_->State();
  EXPECT_EQ(HwFlowOn(port_, 9000, 100, 2), ecBadArgument);  // above the input size
  EXPECT_EQ(HwFlowOn(port_, 100, 200, 2), ecBadArgument);   // below the resume level
  EXPECT_EQ(SwFlowOn(port_, 100, 200, 3), ecBadArgument);
  EXPECT_EQ(modem_->State(), before);

  ASSERT_EQ(SetDtr(port_, false), 0);
  EXPECT_FALSE(modem_->Dtr());
  ASSERT_EQ(HwFlowOn(port_, 7372, 819, 2 | 8), 0);
  EXPECT_FALSE(modem_->Dtr());  // a dropped DTR stays dropped through state writes
  ASSERT_EQ(SetDtrRts(port_, true, true), 0);
  ASSERT_EQ(SetBaud(port_, 38400), 0);
  EXPECT_TRUE(modem_->Dtr());  // and a raised one stays raised though flow does not use it
  ASSERT_EQ(SwFlowOn(port_, 6000, 2000, 2), 0);
  EXPECT_TRUE(modem_->State().inX);
  EXPECT_FALSE(modem_->State().outX);
  EXPECT_EQ(modem_->State().xoffLim, 8192 - 6000);
  ASSERT_EQ(SwFlowOff(port_), 0);
  EXPECT_FALSE(modem_->State().inX);

  EXPECT_EQ(SendBreak(port_), 0);
  EXPECT_TRUE(modem_->BreakOn());
  EXPECT_EQ(ClearBreak(port_), 0);
  EXPECT_FALSE(modem_->BreakOn());
}

TEST_F(DispatcherTest, TriggersSurviveSaveAndRestoreAndUserDataHasTenSlots) {
  const int timer = AddTimerTrigger(port_);
  const int data = AddDataTrigger(port_, "NO CARRIER", false);
  ASSERT_EQ(SetAvailLevel(port_, 3), 0);
  SavedTriggers saved;
  ASSERT_EQ(SaveTriggers(port_, saved), 0);
  ASSERT_EQ(RemoveTrigger(port_, timer), 0);
  ASSERT_EQ(RemoveTrigger(port_, data), 0);
  ASSERT_EQ(RemoveTrigger(port_, kAvailTriggerHandle), 0);
  EXPECT_EQ(SetTimerTrigger(port_, timer, 1, false), ecBadTriggerHandle);
  ASSERT_EQ(RestoreTriggers(port_, saved), 0);
  EXPECT_EQ(SetTimerTrigger(port_, timer, 1, false), 0);
  SavedTriggers again;
  ASSERT_EQ(SaveTriggers(port_, again), 0);
  EXPECT_EQ(again.availLevel, 3);

  int value = 7;
  void* got = nullptr;
  EXPECT_EQ(SetUserData(port_, 0, &value), ecBadArgument);
  EXPECT_EQ(SetUserData(port_, 11, &value), ecBadArgument);
  ASSERT_EQ(SetUserData(port_, 2, &value), 0);
  ASSERT_EQ(GetUserData(port_, 2, got), 0);
  EXPECT_EQ(got, &value);
  std::int32_t session = -1;
  ASSERT_EQ(SetFaxSession(port_, 1), 0);
  ASSERT_EQ(FaxSessionOf(port_, session), 0);
  EXPECT_EQ(session, 1);
  EXPECT_EQ(SetDispatching(port_, true), 0);
  EXPECT_EQ(SetDispatching(port_, false), 1);
}

TEST_F(DispatcherTest, NoTriggerIsDeliveredWhileDispatchingIsOff) {
  EventRecorder rec;
  ASSERT_EQ(RegisterTriggerHandler(port_, nullptr, EventRecorder::Procedure, &rec, true), 0);
  ASSERT_EQ(SetAvailLevel(port_, 1), 0);
  SetDispatching(port_, true);
  modem_->Receive("OK");
  ASSERT_TRUE(WaitUntil([&] { return BytesAvailable(port_) == 2; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(rec.Events().size(), 0u);
  EXPECT_EQ(PeekChar(port_, 2), 'K');
  EXPECT_EQ(PeekChar(port_, 3), ecBufferIsEmpty);
  EXPECT_EQ(ReadAll(), "OK");
  SetDispatching(port_, false);
}

TEST(DispatcherOpen, FailuresFreeTheSlotAndReportTheDeviceError) {
  InstallDeviceLayer(SimDeviceLayer());
  EXPECT_EQ(PortOpen("no-such-modem", kDispatcherThreads, 8192, 8192, 19200, 0, 8, 1), kOsFileNotFound);
  SimModem modem("sim-open-failures");
  const int first = PortOpen("sim-open-failures", kDispatcherThreads, 8192, 8192, 19200, 0, 8, 1);
  ASSERT_GT(first, 0);
  EXPECT_EQ(PortOpen("sim-open-failures", kDispatcherThreads, 8192, 8192, 19200, 0, 8, 1), kOsAccessDenied);
  EXPECT_EQ(PortOpen("sim-open-failures", 0, 8192, 8192, 19200, 0, 8, 1), ecBadArgument);
  EXPECT_EQ(PortClose(first), 0);
  modem.FailOpen(ecOutOfMemory);
  EXPECT_EQ(PortOpen("sim-open-failures", kDispatcherThreads, 8192, 8192, 19200, 0, 8, 1), ecOutOfMemory);
  modem.FailOpen(0);
  const int again = PortOpen("sim-open-failures", kDispatcherThreads, 8192, 8192, 19200, 0, 8, 1);
  EXPECT_EQ(again, first);  // the freed slot is the first free one again
  EXPECT_EQ(PortClose(again), 0);

  InstallDeviceLayer(nullptr);
  EXPECT_EQ(PortOpen("sim-open-failures", kDispatcherThreads, 8192, 8192, 19200, 0, 8, 1), ecNullApi);
}

TEST(DispatcherOpen, BaudFieldsOfTheOldRateConstantsTranslate) {
  EXPECT_EQ(TranslateBaudField(0xFEFF), 115200u);
  EXPECT_EQ(TranslateBaudField(0xFF10), 110u);
  EXPECT_EQ(TranslateBaudField(0xFF18), 19200u);
  EXPECT_EQ(TranslateBaudField(0xFF1B), 38400u);
  EXPECT_EQ(TranslateBaudField(0xFF1F), 56000u);
  EXPECT_EQ(TranslateBaudField(0xFF27), 256000u);
  EXPECT_EQ(TranslateBaudField(0xFF19), 0xFF19u);  // no rate at that index
  EXPECT_EQ(TranslateBaudField(0xFF0F), 0xFF0Fu);
  EXPECT_EQ(TranslateBaudField(0xFF28), 0xFF28u);
  EXPECT_EQ(TranslateBaudField(9600), 9600u);
}

}  // namespace
}  // namespace tv::test
