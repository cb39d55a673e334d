// The com port component over simulated modems, mapped to COM1 and COM2
// through the [Ports] section of a TV.INI in a temporary program folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "comm/modem_commands.h"
#include "comm/qa_port.h"
#include "platform/errors.h"
#include "platform/paths.h"
#include "tests/comm/comm_test_support.h"
#include "tests/support/temp_dir.h"

namespace tv::test {
namespace {

class ComPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UiThread::Install(&ui_);
    const std::string base = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    com1_ = std::make_unique<SimModem>("com1-" + base);
    com2_ = std::make_unique<SimModem>("com2-" + base);
    home_.Write("TV.INI", "[Ports]\nCOM1=" + com1_->DeviceName() + "\nCOM2=" + com2_->DeviceName() + "\n");
    InitProgramFolder(home_.Path());
    SetOtherDeviceLayerProvider([] { return SimDeviceLayer(); });
    // As the program's forms set up their ports.
    port_.SetDeviceLayer(dlOther);
    port_.SetComNumber(1);
    port_.SetInSize(8192);
    port_.SetOutSize(8192);
    port_.SetAutoOpen(false);
    port_.SetHWFlowOptions(hwfUseRTS | hwfRequireCTS);
    port_.SetTapiMode(tmOff);
    port_.SetTraceName(home_.File("TV.TRC"));
    port_.SetLogName(home_.File("TV.LOG"));
  }
  void TearDown() override {
    port_.SetOpen(false);
    SetOtherDeviceLayerProvider(nullptr);
    InstallDeviceLayer(nullptr);
    UiThread::Install(nullptr);
  }

  // Answers every command line with a reply.
  void Answer(SimModem& modem, const std::string& reply) {
    modem.OnWrite([&modem, reply](std::string_view bytes) {
      if (bytes.find('\r') != std::string_view::npos) modem.Receive(reply);
    });
  }

  HeadlessUiThread ui_;
  TempDir home_;
  std::unique_ptr<SimModem> com1_, com2_;
  TQaComPort port_;
};

TEST(ComPortDefaults, PropertiesStartAtTheirStoredDefaults) {
  TQaComPort p;
  EXPECT_EQ(p.DeviceLayer(), dlNative);
  EXPECT_EQ(p.ComNumber(), 0);
  EXPECT_EQ(p.Baud(), 19200);
  EXPECT_EQ(p.Parity(), pNone);
  EXPECT_EQ(p.DataBits(), 8);
  EXPECT_EQ(p.StopBits(), 1);
  EXPECT_EQ(p.InSize(), 4096);
  EXPECT_EQ(p.OutSize(), 4096);
  EXPECT_TRUE(p.AutoOpen());
  EXPECT_EQ(p.DispatcherMode(), dWin32);
  EXPECT_FALSE(p.Open());
  EXPECT_TRUE(p.DTR());
  EXPECT_TRUE(p.RTS());
  EXPECT_EQ(p.HWFlowOptions(), 0);
  EXPECT_EQ(p.SWFlowOptions(), swfNone);
  EXPECT_EQ(p.XOnChar(), 17);
  EXPECT_EQ(p.XOffChar(), 19);
  EXPECT_EQ(p.BufferFull(), 0);
  EXPECT_EQ(p.BufferResume(), 0);
  EXPECT_EQ(p.Tracing(), tlOff);
  EXPECT_EQ(p.TraceSize(), 10000);
  EXPECT_EQ(p.TraceName(), "QARN.TRC");
  EXPECT_TRUE(p.TraceHex());
  EXPECT_EQ(p.Logging(), tlOff);
  EXPECT_EQ(p.LogSize(), 10000);
  EXPECT_EQ(p.LogName(), "QARN.LOG");
  EXPECT_TRUE(p.LogHex());
  EXPECT_TRUE(p.UseMSRShadow());
  EXPECT_TRUE(p.UseEventWord());
  EXPECT_EQ(p.TriggerLength(), 1);
  EXPECT_EQ(p.CommNotificationLevel(), 10);
  EXPECT_EQ(p.TapiMode(), tmAuto);
}

TEST(ComPortDefaults, FlowLevelsAndRecorderSizesAreClamped) {
  TQaComPort p;
  p.SetInSize(8192);
  p.SetHWFlowOptions(hwfUseRTS | hwfRequireCTS);
  EXPECT_EQ(p.BufferFull(), 7372);
  EXPECT_EQ(p.BufferResume(), 819);
  p.SetBufferResume(8000);  // above BufferFull: a tenth of it
  EXPECT_EQ(p.BufferResume(), 737);
  p.SetBufferFull(9000);  // above InSize: nine tenths of InSize, which the line accepts
  EXPECT_EQ(p.BufferFull(), 7372);

  TQaComPort s;
  s.SetInSize(1000);
  s.SetSWFlowOptions(swfBoth);
  EXPECT_EQ(s.BufferFull(), 750);
  EXPECT_EQ(s.BufferResume(), 250);

  p.SetTraceSize(40000);
  EXPECT_EQ(p.TraceSize(), 32760);
  p.SetLogSize(65535);
  EXPECT_EQ(p.LogSize(), 65520);
  p.SetDeviceLayer(dlWinsock);  // not accepted
  EXPECT_EQ(p.DeviceLayer(), dlNative);
  p.SetDispatcherMode(dAuto);
  EXPECT_EQ(p.DispatcherMode(), dWin32);
  p.SetTracing(tlDump);  // a command while closed stores off
  EXPECT_EQ(p.Tracing(), tlOff);
  p.SetTracing(tlOn);
  EXPECT_EQ(p.Tracing(), tlOn);
}

TEST_F(ComPortTest, OpeningFailuresRaiseTheirExceptions) {
  TQaComPort none;
  EXPECT_THROW(none.SetOpen(true), ENoPortSelected);

  TQaComPort nullLayer;
  nullLayer.SetComNumber(1);
  nullLayer.SetDeviceLayer(dlNone);
  EXPECT_THROW(nullLayer.SetOpen(true), ENullApi);

  TQaComPort missing;
  missing.SetDeviceLayer(dlOther);
  missing.SetComNumber(3);  // no mapping and no simulated /dev/ttyS2
  try {
    missing.SetOpen(true);
    FAIL() << "opened a missing port";
  } catch (const EBadId& e) {
    EXPECT_STREQ(e.what(), "ie_BadId - Specified comport doesn't exist");
  }

  port_.SetOpen(true);
  TQaComPort second;
  second.SetDeviceLayer(dlOther);
  second.SetComNumber(1);
  try {
    second.SetOpen(true);
    FAIL() << "opened a port in use";
  } catch (const EAlreadyOpen& e) {
    EXPECT_STREQ(e.what(), "ie_Open - device already open");
  }
  EXPECT_FALSE(second.Open());

  com2_->FailOpen(kOsPermissionDenied);
  second.SetComNumber(2);
  try {
    second.SetOpen(true);
    FAIL() << "opened a port without permission";
  } catch (const EInOutError& e) {
    const std::string text = e.what();
    EXPECT_NE(text.find(com2_->DeviceName()), std::string::npos) << text;
    EXPECT_NE(text.find("dialout"), std::string::npos) << text;
  }
}

TEST_F(ComPortTest, SettingsAreAppliedAtOpenAndBySettersWhileOpen) {
  port_.SetBaud(9600);
  port_.SetDTR(false);
  port_.SetTriggerLength(4);
  port_.SetOpen(true);
  ASSERT_TRUE(port_.Open());
  const int h = port_.PortHandle();
  ASSERT_GT(h, 0);
  SerialState state = com1_->State();
  EXPECT_EQ(state.baud, 9600u);
  EXPECT_TRUE(state.outxCtsFlow);
  EXPECT_EQ(state.rtsControl, LineControl::kHandshake);
  EXPECT_EQ(state.xoffLim, 8192 - 7372);
  EXPECT_EQ(state.xonLim, 819);
  EXPECT_FALSE(com1_->Dtr());
  EXPECT_TRUE(com1_->Rts());
  EXPECT_EQ(OptionsOf(h) & doPeekOff, 0);  // handlers share bytes through peek mode
  EXPECT_EQ(OptionsOf(h) & (doUseMsrShadow | doUseEventWord), doUseMsrShadow | doUseEventWord);
  SavedTriggers triggers;
  ASSERT_EQ(SaveTriggers(h, triggers), 0);
  EXPECT_EQ(triggers.availLevel, 4);

  port_.SetParity(pEven);
  port_.SetDataBits(7);
  EXPECT_EQ(com1_->State().parity, 2);
  EXPECT_EQ(com1_->State().byteSize, 7);
  port_.SetDTR(true);
  EXPECT_TRUE(com1_->Dtr());
  port_.SetXOnChar(1);
  EXPECT_EQ(com1_->State().xonChar, 1);
  port_.SetHWFlowOptions(0);
  EXPECT_FALSE(com1_->State().outxCtsFlow);
  port_.SetUseEventWord(false);
  EXPECT_EQ(OptionsOf(h) & doUseEventWord, 0);
  port_.SetDeviceLayer(dlNative);  // ignored while open
  EXPECT_EQ(port_.DeviceLayer(), dlOther);
  EXPECT_THROW(port_.SetDataBits(4), ENotSupported);  // the line refuses it
}

// Sees, from the hook that applies UseMSRShadow, which settings the open has
// applied before it and which after.
class OrderProbe : public TQaComPort {
 public:
  int optionsThen = -1;
  SavedTriggers triggersThen;
  bool dtrThen = true;
  SimModem* modem = nullptr;

 protected:
  void ApplyUseMSRShadow() override {
    const int h = PortHandle();
    optionsThen = OptionsOf(h);
    SaveTriggers(h, triggersThen);
    dtrThen = modem->Dtr();
    TQaComPort::ApplyUseMSRShadow();
  }
};

TEST_F(ComPortTest, SettingsApplyInTheirFixedOrderAtOpen) {
  OrderProbe probe;
  probe.modem = com1_.get();
  probe.SetDeviceLayer(dlOther);
  probe.SetComNumber(1);
  probe.SetAutoOpen(false);
  probe.SetTriggerLength(9);
  probe.SetDTR(false);
  probe.SetUseEventWord(false);
  probe.SetOpen(true);
  EXPECT_EQ(probe.triggersThen.availLevel, 9);  // before: trigger length
  EXPECT_FALSE(probe.dtrThen);                  // and DTR
  EXPECT_NE(probe.optionsThen & doPeekOff, 0);  // after: peek mode
  const int h = probe.PortHandle();
  EXPECT_EQ(OptionsOf(h) & doPeekOff, 0);
  EXPECT_EQ(OptionsOf(h) & doUseEventWord, 0);
  probe.SetOpen(false);
}

TEST_F(ComPortTest, TriggerEventsArriveOnTheUiThread) {
  std::vector<std::string> seen;
  port_.OnTrigger = [&](TQaCustomComPort&, std::uint16_t msg, std::uint16_t handle, std::uint16_t data) {
    seen.push_back("trigger " + std::to_string(msg - 0x7E00) + " " + std::to_string(handle) + " " +
                   std::to_string(data));
  };
  port_.OnTriggerAvail = [&](TQaCustomComPort& cp, std::uint16_t count) {
    EXPECT_TRUE(UiThread::Current().IsUiThread());
    std::string text;
    for (int i = 0; i < count; ++i) text += cp.ReadChar();
    seen.push_back("avail " + text);
  };
  port_.OnTriggerStatus = [&](TQaCustomComPort&, std::uint16_t handle) {
    seen.push_back("status " + std::to_string(handle));
  };
  port_.OnTriggerLineError = [&](TQaCustomComPort&, std::uint16_t error, bool lineBreak) {
    seen.push_back("line error " + std::to_string(error) + (lineBreak ? " break" : ""));
  };
  port_.OnTriggerModemStatus = [&](TQaCustomComPort&) { seen.push_back("modem status"); };
  port_.OnTriggerTimer = [&](TQaCustomComPort&, std::uint16_t handle) {
    seen.push_back("timer " + std::to_string(handle));
  };
  port_.SetOpen(true);
  const int h = port_.PortHandle();

  com1_->Receive("RING");
  ASSERT_TRUE(WaitUntil([&] { return seen.size() >= 2; }, 3000, &ui_));
  EXPECT_EQ(seen[0], "trigger 1 4 4");
  EXPECT_EQ(seen[1], "avail RING");

  seen.clear();
  const int errors = AddStatusTrigger(h, stLineError);
  ASSERT_EQ(SetStatusTrigger(h, errors, 1 | 2 | 4 | 8, true), 0);
  com1_->InjectLineError(kErrParity | kErrBreak);
  ASSERT_TRUE(WaitUntil([&] { return seen.size() >= 3; }, 3000, &ui_));
  EXPECT_EQ(seen[0], "trigger 4 " + std::to_string(errors) + " 0");
  EXPECT_EQ(seen[1], "status " + std::to_string(errors));
  EXPECT_EQ(seen[2], "line error 3 break");

  seen.clear();
  const int carrier = AddStatusTrigger(h, stModemStatus);
  ASSERT_EQ(SetStatusTrigger(h, carrier, kLineDcd, true), 0);
  com1_->SetLine(kLineDcd, true);
  ASSERT_TRUE(WaitUntil([&] { return seen.size() >= 3; }, 3000, &ui_));
  EXPECT_EQ(seen[2], "modem status");

  seen.clear();
  const int timer = AddTimerTrigger(h);
  ASSERT_EQ(SetTimerTrigger(h, timer, 1, true), 0);
  ASSERT_TRUE(WaitUntil([&] { return seen.size() >= 2; }, 3000, &ui_));
  EXPECT_EQ(seen[1], "timer " + std::to_string(timer));
}

TEST_F(ComPortTest, AnEventHandlerThatThrowsGoesToTheExceptionHandler) {
  std::vector<std::string> reported;
  TQaCustomComPort::SetExceptionHandler([&](const std::exception& e) { reported.push_back(e.what()); });
  int calls = 0;
  port_.OnTriggerAvail = [&](TQaCustomComPort& cp, std::uint16_t) {
    ++calls;
    while (cp.CharAvailable()) cp.ReadChar();
    cp.ReadChar();  // nothing left: raises
  };
  port_.SetOpen(true);
  com1_->Receive("a");
  ASSERT_TRUE(WaitUntil([&] { return !reported.empty(); }, 3000, &ui_));
  EXPECT_EQ(reported[0], "Buffer is empty");
  com1_->Receive("b");
  ASSERT_TRUE(WaitUntil([&] { return calls == 2; }, 3000, &ui_));
  TQaCustomComPort::SetExceptionHandler(nullptr);
}

TEST_F(ComPortTest, ClosingFromAnEventHandlerIsSafe) {
  port_.OnTriggerAvail = [&](TQaCustomComPort& cp, std::uint16_t) { cp.SetOpen(false); };
  port_.SetOpen(true);
  com1_->Receive("NO CARRIER\r\n");
  ASSERT_TRUE(WaitUntil([&] { return !port_.Open(); }, 3000, &ui_));
  EXPECT_TRUE(WaitUntil([&] { return !com1_->IsOpen(); }));
  port_.SetOpen(true);  // and it opens again
  EXPECT_TRUE(port_.Open());
}

TEST_F(ComPortTest, WaitForTextRestartsTheMatchAndTimesOut) {
  port_.SetOpen(true);
  std::string waited;
  port_.OnWaitChar = [&](TQaCustomComPort&, char c) { waited += c; };
  com1_->Receive("\r\nOOK\r\n");
  EXPECT_TRUE(port_.WaitForText("OK", 36, false, false));
  EXPECT_EQ(waited, "\r\nOOK");
  EXPECT_TRUE(port_.WaitForText("", 0, false, false));
  com1_->Receive("Ok");
  EXPECT_FALSE(port_.WaitForText("OK", 2, false, false));  // case matters unless ignored

  // Bytes arriving during a wait raise no trigger, even while messages are
  // processed; afterwards delivery is back on.
  port_.SetOpen(false);  // no avail event left over from the waits above
  port_.SetOpen(true);
  int avails = 0;
  port_.OnTriggerAvail = [&](TQaCustomComPort&, std::uint16_t) { ++avails; };
  std::thread feeder([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    com1_->Receive("zz\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    com1_->Receive("ok");
  });
  EXPECT_TRUE(port_.WaitForText("\nOK", 36, true, true));
  feeder.join();
  EXPECT_EQ(avails, 0);
  com1_->Receive("x");
  ASSERT_TRUE(WaitUntil([&] { return avails >= 1; }, 3000, &ui_));
}

TEST_F(ComPortTest, ChangingComNumberKeepsTriggersAndRecorderStates) {
  port_.SetTracing(tlOn);
  port_.SetOpen(true);
  port_.SetLogging(tlOn);
  port_.PauseLog();
  const int timer = AddTimerTrigger(port_.PortHandle());
  ASSERT_GT(timer, 0);
  port_.SendText("AT\r");
  ASSERT_TRUE(com1_->WaitForWritten(3, 1000));
  port_.SetComNumber(2);
  EXPECT_TRUE(port_.Open());
  EXPECT_FALSE(com1_->IsOpen());
  EXPECT_TRUE(com2_->IsOpen());
  EXPECT_EQ(port_.Tracing(), tlOn);
  EXPECT_EQ(port_.Logging(), tlPause);
  EXPECT_EQ(SetTimerTrigger(port_.PortHandle(), timer, 1, false), 0);
  // The first port's trace was written at its close.
  EXPECT_EQ(home_.Read("TV.TRC"), "Transmit: AT[0D]\n");
}

TEST_F(ComPortTest, ClosingDumpsRunningRecordersAndTriggersComeBackAtReopen) {
  port_.SetTracing(tlOn);
  port_.SetLogging(tlOn);
  port_.SetOpen(true);
  const int timer = AddTimerTrigger(port_.PortHandle());
  Answer(*com1_, "\r\nOK\r\n");
  EXPECT_TRUE(SendModemCommand(port_, "E0"));
  port_.SetTracing(tlClear);
  EXPECT_EQ(port_.Tracing(), tlOn);
  EXPECT_TRUE(SendModemCommand(port_, "ATI0"));
  port_.SetOpen(false);
  EXPECT_EQ(port_.Tracing(), tlOff);
  EXPECT_EQ(port_.Logging(), tlOff);
  EXPECT_EQ(home_.Read("TV.TRC"), "Transmit: ATI0[0D]\n\nReceive: [0D][0A][0D][0A]OK\n");
  const std::string log = home_.Read("TV.LOG");
  EXPECT_EQ(log.rfind("Time      Type", 0), 0u);
  EXPECT_NE(log.find("writecom      0005  ATE0[0D]"), std::string::npos) << log;

  port_.SetOpen(true);
  EXPECT_EQ(SetTimerTrigger(port_.PortHandle(), timer, 1, false), 0);
  port_.SetTracing(tlDump);  // off: nothing to do
  EXPECT_EQ(port_.Tracing(), tlOff);
}

TEST_F(ComPortTest, AFailedDumpKeepsTheTraceAndStillCloses) {
  port_.SetTraceName(home_.File("no-such-folder/x.trc"));
  port_.SetTracing(tlOn);
  port_.SetOpen(true);
  port_.SendText("AT\r");
  EXPECT_THROW(port_.DumpTrace(), EInOutError);
  EXPECT_EQ(port_.Tracing(), tlOn);
  port_.SetTraceName(home_.File("x.trc"));
  port_.AppendTrace();
  EXPECT_EQ(home_.Read("x.trc"), "Transmit: AT[0D]\n");
  port_.SetTraceName(home_.File("no-such-folder/x.trc"));
  port_.StartTrace(100);
  port_.SendText("ATZ\r");
  EXPECT_THROW(port_.SetOpen(false), EInOutError);
  EXPECT_FALSE(port_.Open());
  EXPECT_FALSE(com1_->IsOpen());
}

TEST_F(ComPortTest, ResizingARunningTraceStartsItAgain) {
  port_.SetOpen(true);
  port_.StartTrace(50);
  EXPECT_EQ(port_.TraceSize(), 50);
  port_.SendText("lost");
  port_.SetTraceSize(60);
  port_.SendText("kept");
  port_.PauseTrace();
  port_.SetTraceSize(70);  // a paused trace comes back paused
  EXPECT_EQ(port_.Tracing(), tlPause);
  port_.ResumeTrace();
  port_.SendText("!");
  port_.DumpTrace();
  EXPECT_EQ(port_.Tracing(), tlOff);
  EXPECT_EQ(home_.Read("TV.TRC"), "Transmit: !\n");
}

TEST_F(ComPortTest, AssignCopiesSettingsEventsAndTriggers) {
  port_.SetBaud(2400);
  port_.SetTraceSize(32000);
  int calls = 0;
  port_.OnTriggerAvail = [&](TQaCustomComPort&, std::uint16_t) { ++calls; };
  port_.SetOpen(true);
  const int timer = AddTimerTrigger(port_.PortHandle());

  TQaComPort copy;
  copy.Assign(port_);
  EXPECT_FALSE(copy.Open());
  EXPECT_EQ(copy.Baud(), 2400);
  EXPECT_EQ(copy.TraceSize(), 32000);
  EXPECT_EQ(copy.HWFlowOptions(), hwfUseRTS | hwfRequireCTS);
  EXPECT_EQ(copy.DeviceLayer(), dlOther);
  port_.SetOpen(false);
  copy.SetOpen(true);
  EXPECT_EQ(SetTimerTrigger(copy.PortHandle(), timer, 1, false), 0);
  com1_->Receive("x");
  ASSERT_TRUE(WaitUntil([&] { return calls == 1; }, 3000, &ui_));
  copy.SetOpen(false);
}

TEST_F(ComPortTest, LoadingPostponesOpeningAndAutoOpenOpensOnFirstUse) {
  port_.BeginLoading();
  port_.SetOpen(true);
  EXPECT_FALSE(port_.Open());
  port_.Loaded();
  EXPECT_TRUE(port_.Open());
  port_.SetOpen(false);

  port_.SetAutoOpen(true);
  port_.SendText("AT\r");
  EXPECT_TRUE(port_.Open());
  EXPECT_TRUE(com1_->WaitForWritten(3, 1000));
}

TEST_F(ComPortTest, ModemCommandsAndFactoryReset) {
  port_.SetOpen(true);
  Answer(*com1_, "\r\nok\r\n");
  EXPECT_TRUE(SendModemCommand(port_, "S0=0"));
  EXPECT_TRUE(SendModemCommand(port_, "atz"));
  EXPECT_TRUE(ModemFactoryReset(port_));
  EXPECT_TRUE(com1_->WaitForWritten(16, 1000));
  EXPECT_EQ(com1_->TakeWritten(), "ATS0=0\ratz\rAT&F\r");
  Answer(*com1_, "\r\nERROR\r\n");
  EXPECT_FALSE(SendModemCommand(port_, "+FCLASS=9"));
  TQaComPort closed;
  EXPECT_FALSE(SendModemCommand(closed, "Z"));  // no port chosen: false, not an exception
}

TEST_F(ComPortTest, OpenComPortCheckedExplainsFailures) {
  std::string message = "stale";
  EXPECT_TRUE(OpenComPortChecked(port_, message));
  EXPECT_EQ(message, "");

  TQaComPort second;
  second.SetDeviceLayer(dlOther);
  second.SetComNumber(1);
  EXPECT_FALSE(OpenComPortChecked(second, message));
  EXPECT_EQ(message.rfind("The communications port is in use ( Com 1 )\r\rPlease make sure that all communication "
                          "programs (internet, AOL, etc) are closed, and then try again.",
                          0),
            0u)
      << message;

  second.SetComNumber(5);
  EXPECT_FALSE(OpenComPortChecked(second, message));
  EXPECT_EQ(message, "Unable to open the specified communications port ( Com5 )");

  second.SetComNumber(0);
  EXPECT_FALSE(OpenComPortChecked(second, message));
  EXPECT_EQ(message, "Unable to open the specified communications port ( Com0 )\rError message: " +
                         ErrorMessageText(ecNoPortSelected));

  com2_->FailOpen(kOsPermissionDenied);
  second.SetComNumber(2);
  EXPECT_FALSE(OpenComPortChecked(second, message));
  EXPECT_EQ(message, "Unable to open the specified communications port ( Com2 )\rError message: " +
                         PermissionDeniedMessage(com2_->DeviceName()));
}

TEST_F(ComPortTest, AtDialoguePrintsReplyLinesUntilTheFinalResult) {
  port_.SetOpen(true);
  com1_->OnWrite([this](std::string_view bytes) {
    const std::string command(bytes.substr(0, bytes.find('\r')));
    if (command == "ATI") {
      com1_->Receive(command + "\r\r\nModel 1\r\n\r\nOK\r\n");
    } else if (command == "ATX9") {
      com1_->Receive("\r\nERROR\r\n");
    } else if (command != "ATQ1") {
      com1_->Receive("\r\nOK\r\n");
    }
  });
  std::ostringstream out, err;
  EXPECT_TRUE(RunAtCommands(port_, {"ATZ", "ATI"}, 2, out, err));
  EXPECT_EQ(out.str(), "OK\nATI\nModel 1\nOK\n");
  EXPECT_EQ(err.str(), "");

  out.str("");
  EXPECT_FALSE(RunAtCommands(port_, {"ATX9", "ATE0"}, 2, out, err));
  EXPECT_EQ(out.str(), "ERROR\nOK\n");  // an ERROR does not stop the list

  out.str("");
  EXPECT_FALSE(RunAtCommands(port_, {"ATQ1", "ATE0"}, 1, out, err));
  EXPECT_EQ(out.str(), "");  // a silent modem stops it
  EXPECT_EQ(err.str(), "no OK or ERROR for ATQ1 within 1 s\n");
  EXPECT_EQ(com1_->TakeWritten(), "ATZ\rATI\rATX9\rATE0\rATQ1\r");
}

}  // namespace
}  // namespace tv::test
