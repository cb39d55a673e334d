// The fax components: port checks and defaults, links, message translation
// and the fax history file.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "comm/sim_modem.h"
#include "fax/fax_components.h"
#include "image/apf_file.h"
#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/qa_exceptions.h"
#include "platform/ui_thread.h"
#include "tests/fax/scripted_modem.h"
#include "tests/support/temp_dir.h"

namespace tv {
namespace {

class RecordingDisplay : public TQaAbstractFaxStatus {
 public:
  void UpdateDisplay(bool first, bool last) override { updates.emplace_back(first, last); }
  std::vector<std::pair<bool, bool>> updates;

 protected:
  std::unique_ptr<TFaxStatusForm> CreateDisplay() override { return nullptr; }
};

int Deliver(TQaAbstractFax& fax, FaxMessage message, int wParam) {
  return fax.Session().target.load()->FaxMessage(message, wParam, fax.Session());
}

TEST(FaxComponents, PortChecksRaiseTheirExceptionsAndLinkingSetsThePortUp) {
  TQaReceiveFax fax;
  EXPECT_THROW(fax.BeginReceiving(), EPortNotAssigned);
  EXPECT_THROW(fax.FaxCapabilities(), EPortNotAssigned);

  TQaComPort port;
  port.SetBaud(2400);
  port.SetParity(pEven);
  fax.SetComPort(&port);
  EXPECT_EQ(port.Baud(), 19200);
  EXPECT_EQ(port.Parity(), pNone);
  EXPECT_EQ(port.DataBits(), 8);
  EXPECT_EQ(port.StopBits(), 1);
  EXPECT_EQ(port.InSize(), 8192);
  EXPECT_EQ(port.OutSize(), 8192);
  EXPECT_EQ(port.HWFlowOptions(), hwfUseRTS | hwfRequireCTS);

  port.SetOutSize(4096);
  EXPECT_THROW(fax.BeginReceiving(), EOutputBufferTooSmall);
}

TEST(FaxComponents, DefaultsAndPropertiesReadBackAsSet) {
  TQaReceiveFax fax;
  EXPECT_EQ(fax.FaxClass(), TFaxClass::fcDetect);
  EXPECT_EQ(fax.AnswerOnRing(), 1);
  EXPECT_EQ(fax.StatusInterval(), 1);
  EXPECT_EQ(fax.DesiredBPS(), 9600);
  EXPECT_EQ(fax.FaxFileExt(), "APF");
  EXPECT_EQ(fax.ReceiveNameMode(), 1);
  EXPECT_FALSE(fax.OneFax() || fax.ConstantStatus() || fax.FaxAndData() || fax.ExitOnError());

  fax.SetModemInit("&f");
  EXPECT_EQ(fax.ModemInit(), "AT&F");
  fax.SetStationID("123456789012345678901234");
  EXPECT_EQ(fax.StationID(), "12345678901234567890");
  fax.SetExitOnError(true);
  fax.SetSoftwareFlow(true);
  EXPECT_EQ(fax.Session().common.options, foExitOnError | foSoftwareFlow);
  fax.SetFaxAndData(true);
  EXPECT_EQ(fax.Session().modem.faxAndDataChar, '1');
  fax.SetDesiredECM(true);
  EXPECT_EQ(fax.Session().modem.ecmChar, '1');
}

TEST(FaxComponents, LinksGoBothWaysAndAreClearedWhenAPartGoes) {
  TQaReceiveFax fax;
  {
    RecordingDisplay display;
    TQaFaxLog log;
    fax.SetStatusDisplay(&display);
    EXPECT_EQ(display.Fax(), &fax);
    log.SetFax(&fax);
    EXPECT_EQ(fax.FaxLog(), &log);

    Deliver(fax, FaxMsgStatus, 1);
    Deliver(fax, FaxMsgStatus, 0);
    Deliver(fax, FaxMsgStatus, 2);
    EXPECT_EQ(display.updates, (std::vector<std::pair<bool, bool>>{{true, false}, {false, false}, {false, true}}));
  }
  EXPECT_EQ(fax.StatusDisplay(), nullptr);
  EXPECT_EQ(fax.FaxLog(), nullptr);
  Deliver(fax, FaxMsgStatus, 0);  // nothing left to reach
}

TEST(FaxComponents, ReceiverMessagesBecomeEventsAndNames) {
  test::TempDir dir;
  TQaReceiveFax fax;
  fax.SetDestinationDir(dir.Path());
  std::vector<int> errors;
  fax.OnFaxError = [&](TQaAbstractFax&, int code) { errors.push_back(code); };

  // Without a handler: by count, skipping names that exist in any case.
  dir.Write("fax0001.apf", "");
  Deliver(fax, FaxMsgName, 0);
  EXPECT_EQ(fax.FaxFile(), dir.Path() + "FAX0002.APF");
  fax.SetReceiveNameMode(7);
  Deliver(fax, FaxMsgName, 0);
  EXPECT_EQ(fax.FaxFile(), "noname.apf");
  fax.OnFaxName = [](TQaReceiveFax&, std::string& name) { name = "mine.apf"; };
  Deliver(fax, FaxMsgName, 0);
  EXPECT_EQ(fax.FaxFile(), "mine.apf");

  // A finished, skipped or failed reception forgets its file name.
  Deliver(fax, FaxMsgLog, static_cast<int>(TFaxLogCode::lfaxReceiveStart));
  EXPECT_EQ(fax.FaxFile(), "mine.apf");
  Deliver(fax, FaxMsgLog, static_cast<int>(TFaxLogCode::lfaxReceiveFail));
  EXPECT_EQ(fax.FaxFile(), "");

  EXPECT_EQ(Deliver(fax, FaxMsgAccept, 0), 1);
  fax.OnFaxAccept = [](TQaReceiveFax& f, bool& accept) { accept = f.RemoteID() == "FRIEND"; };
  EXPECT_EQ(Deliver(fax, FaxMsgAccept, 0), 0);
  fax.Session().common.remoteId = "FRIEND";
  EXPECT_EQ(Deliver(fax, FaxMsgAccept, 0), 1);

  Deliver(fax, FaxMsgError, ecTimeout);
  EXPECT_EQ(errors, std::vector<int>{ecTimeout});
}

TEST(FaxComponents, HistoryEntriesAreExactlyAsTheLogCodesSay) {
  TQaReceiveFax fax;
  FaxCommonData& c = fax.Session().common;
  c.faxFile = "FAX0003.APF";
  c.remoteId = "SENDER 9";
  c.lastError = ecTimeout;
  const std::string now = "12/07/2026 10:15:00";
  EXPECT_EQ(TQaFaxLog::LogEntry(fax, TFaxLogCode::lfaxReceiveStart, now),
            "Receive FAX0003.APF from SENDER 9 started at 12/07/2026 10:15:00\r\n");
  EXPECT_EQ(TQaFaxLog::LogEntry(fax, TFaxLogCode::lfaxReceiveOk, now),
            "Receive finished OK at 12/07/2026 10:15:00\r\n\r\n");
  EXPECT_EQ(TQaFaxLog::LogEntry(fax, TFaxLogCode::lfaxReceiveSkip, now),
            "Receive skipped at 12/07/2026 10:15:00\r\n\r\n");
  EXPECT_EQ(TQaFaxLog::LogEntry(fax, TFaxLogCode::lfaxReceiveFail, now),
            "Receive failed at 12/07/2026 10:15:00\r\n  (Fatal time out)\r\n\r\n");
  // A sender's codes mean nothing for a receiver.
  EXPECT_EQ(TQaFaxLog::LogEntry(fax, TFaxLogCode::lfaxTransmitStart, now), "");
}

TEST(FaxComponents, HistoryFileIsAppendedOnlyWhenNamedAndAFailureRaises) {
  test::TempDir dir;
  TQaReceiveFax fax;
  TQaFaxLog log;
  EXPECT_EQ(log.FaxHistoryName(), "QARNFAX.HIS");
  fax.SetFaxLog(&log);
  fax.Session().common.faxFile = "FAX0001.APF";
  fax.Session().common.remoteId = "R";

  log.SetFaxHistoryName("");
  Deliver(fax, FaxMsgLog, static_cast<int>(TFaxLogCode::lfaxReceiveStart));
  EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));

  log.SetFaxHistoryName(dir.File("fax.his"));
  Deliver(fax, FaxMsgLog, static_cast<int>(TFaxLogCode::lfaxReceiveStart));
  Deliver(fax, FaxMsgLog, static_cast<int>(TFaxLogCode::lfaxReceiveOk));
  const std::string text = dir.Read("fax.his");
  EXPECT_EQ(text.rfind("Receive FAX0001.APF from R started at ", 0), 0u);
  EXPECT_NE(text.find("\r\nReceive finished OK at "), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 4), "\r\n\r\n");

  log.SetFaxHistoryName(dir.File("missing-folder/fax.his"));
  EXPECT_THROW(log.UpdateLog(TFaxLogCode::lfaxReceiveOk), EInOutError);
  // Through the message the failure goes to the exception handler instead
  // of unwinding into the session.
  std::string reported;
  TQaAbstractFax::SetExceptionHandler([&](const std::exception& e) { reported = e.what(); });
  Deliver(fax, FaxMsgLog, static_cast<int>(TFaxLogCode::lfaxReceiveOk));
  TQaAbstractFax::SetExceptionHandler(nullptr);
  EXPECT_FALSE(reported.empty());
}

}  // namespace
}  // namespace tv

namespace tv {
namespace {

TEST(FaxComponents, SenderWithoutNextFaxHandlerGivesExactlyOneFax) {
  TQaSendFax fax;
  EXPECT_EQ(fax.FaxClass(), TFaxClass::fcUnknown);
  fax.SetPhoneNumber("5551234");
  fax.SetFaxFile("/data/Letter.apf");
  fax.SetCoverFile("/data/cover.txt");
  EXPECT_EQ(Deliver(fax, FaxMsgNextFax, 0), 1);
  const FaxCommonData& c = fax.Session().common;
  EXPECT_EQ(c.phoneNumber, "5551234");
  EXPECT_EQ(c.faxFile, "/data/Letter.apf");  // letter case is part of a path here
  EXPECT_EQ(c.coverFile, "/data/cover.txt");
  EXPECT_EQ(Deliver(fax, FaxMsgNextFax, 0), 0);
  EXPECT_EQ(Deliver(fax, FaxMsgNextFax, 0), 0);
  EXPECT_EQ(fax.FaxFile(), "/data/Letter.apf");  // the property stays for the next start
}

TEST(FaxComponents, SenderNextFaxHandlerFillsTheFaxUntilItGivesNoNumber) {
  TQaSendFax fax;
  int calls = 0;
  fax.OnFaxNext = [&](TQaSendFax&, std::string& phone, std::string& file, std::string& cover) {
    EXPECT_TRUE(phone.empty() && file.empty() && cover.empty());
    if (++calls <= 2) {
      phone = "100" + std::to_string(calls);
      file = "fax" + std::to_string(calls) + ".apf";
    }
  };
  EXPECT_EQ(Deliver(fax, FaxMsgNextFax, 0), 1);
  EXPECT_EQ(Deliver(fax, FaxMsgNextFax, 0), 1);
  EXPECT_EQ(fax.Session().common.phoneNumber, "1002");
  EXPECT_EQ(fax.PhoneNumber(), "1002");
  EXPECT_EQ(fax.FaxFile(), "fax2.apf");
  EXPECT_EQ(Deliver(fax, FaxMsgNextFax, 0), 0);
  EXPECT_EQ(calls, 3);
}

TEST(FaxComponents, SenderPropertiesRoundTripThroughTicksAndPickTheInitString) {
  TQaSendFax fax;
  EXPECT_EQ(fax.DialWait(), 60);
  EXPECT_EQ(fax.DialRetryWait(), 60);
  EXPECT_EQ(fax.DialAttempts(), 3);
  EXPECT_EQ(fax.MaxSendCount(), 50);
  EXPECT_EQ(fax.BufferMinimum(), 1000);
  EXPECT_TRUE(fax.SafeMode() && fax.ToneDial() && fax.DetectBusy() && !fax.BlindDial());
  fax.SetDialWait(60);
  EXPECT_EQ(fax.Session().modem.dialTimeout, 1092);
  EXPECT_EQ(fax.DialWait(), 60);
  for (int seconds : {1, 10, 30, 45, 90, 255}) {
    fax.SetDialRetryWait(seconds);
    EXPECT_EQ(fax.DialRetryWait(), seconds);
  }
  EXPECT_EQ(fax.Session().modem.defaultInit, "ATE0Q0V1X4S0=0S2=43");
  fax.SetBlindDial(true);
  EXPECT_EQ(fax.Session().modem.defaultInit, "ATE0Q0V1X3S0=0S2=43");
  fax.SetDetectBusy(false);
  EXPECT_EQ(fax.Session().modem.defaultInit, "ATE0Q0V1X1S0=0S2=43");
  fax.SetBlindDial(false);
  EXPECT_EQ(fax.Session().modem.defaultInit, "ATE0Q0V1X2S0=0S2=43");
  EXPECT_EQ(fax.DialAttempt(), 1);
}

TEST(FaxComponents, SenderHistoryEntriesAreExactlyAsTheLogCodesSay) {
  TQaSendFax fax;
  FaxCommonData& c = fax.Session().common;
  c.faxFile = "/send/FAX1.APF";
  c.phoneNumber = "5551234";
  c.remoteId = "FAR END";
  c.lastError = ecFaxBusy;
  fax.Session().modem.hangupCode = 12;
  const std::string now = "12/07/2026 10:15:00";
  EXPECT_EQ(TQaFaxLog::LogEntry(fax, TFaxLogCode::lfaxTransmitStart, now),
            "Transmit /send/FAX1.APF to 5551234 started at 12/07/2026 10:15:00\r\n");
  EXPECT_EQ(TQaFaxLog::LogEntry(fax, TFaxLogCode::lfaxTransmitOk, now),
            "Transmit to FAR END finished OK at 12/07/2026 10:15:00 12\r\n\r\n");
  EXPECT_EQ(TQaFaxLog::LogEntry(fax, TFaxLogCode::lfaxTransmitFail, now),
            "Transmit failed at 12/07/2026 10:15:00\r\n  (Called fax number was busy) 12\r\n\r\n");
  EXPECT_EQ(TQaFaxLog::LogEntry(fax, TFaxLogCode::lfaxReceiveOk, now), "");
}

}  // namespace
}  // namespace tv

namespace tv {
namespace {

TEST(FaxComponents, SenderWithoutNextFaxHandlerStopsAfterOneFailedFax) {
  HeadlessUiThread ui;
  UiThread::Install(&ui);
  SetOtherDeviceLayerProvider([] { return SimDeviceLayer(); });
  test::TempDir dir;
  {
    ApfWriter writer;
    const std::uint8_t eol[] = {0x00, 0x80, 0xB2, 0x59, 0x01};
    ASSERT_EQ(writer.Create(dir.File("one.apf")), 0);
    ASSERT_EQ(writer.BeginPage(false, false), 0);
    ASSERT_EQ(writer.WriteLine(eol, sizeof eol), 0);
    ASSERT_EQ(writer.EndPage(), 0);
    ASSERT_EQ(writer.Close("ME"), 0);
  }
  test::ScriptedModem modem("send-one-busy");
  for (const char* command : {"ATE0", "AT+FCLASS=2", "AT+FLID=", "AT+FDIS=", "ATS7=", "ATH"}) {
    modem.Answer(command, "\r\nOK\r\n");
  }
  modem.Answer("ATD", "\r\nBUSY\r\n");
  TQaComPort port;
  port.SetDeviceLayer(dlOther);
  port.SetComNumber(1);
  port.SetDevicePath(modem.Name());
  {
    TQaSendFax fax;
    fax.SetComPort(&port);
    fax.SetFaxClass(TFaxClass::fcClass2);
    fax.SetDialAttempts(1);
    fax.SetPhoneNumber("5551234");
    fax.SetFaxFile(dir.File("one.apf"));
    std::vector<TFaxLogCode> logs;
    bool finished = false;
    int finishCode = 0;
    fax.OnFaxLog = [&](TQaAbstractFax&, TFaxLogCode code) { logs.push_back(code); };
    fax.OnFaxFinish = [&](TQaAbstractFax&, int code) {
      finishCode = code;
      finished = true;
    };
    ASSERT_EQ(fax.BeginSending(), 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!finished && std::chrono::steady_clock::now() < deadline) ui.WaitForMessages(20);
    ASSERT_TRUE(finished);
    EXPECT_EQ(finishCode, ecFaxBusy);
    EXPECT_EQ(logs, (std::vector{TFaxLogCode::lfaxTransmitStart, TFaxLogCode::lfaxTransmitFail}));
    const auto commands = modem.Commands();
    EXPECT_EQ(std::count_if(commands.begin(), commands.end(), [](const std::string& c) { return c.rfind("ATD", 0) == 0; }),
              1);
  }
  port.SetOpen(false);
  SetOtherDeviceLayerProvider(nullptr);
  UiThread::Install(nullptr);
}

// A window busy past the answer time: each question takes its default
// instead of the silence counting as "no".
TEST(FaxComponents, AWindowTooBusyToAnswerNeitherRefusesACallNorStopsSending) {
  // Drops the first `busy` messages as a frozen window would; answers the
  // rest at once.
  class BusyWindow : public UiThread {
   public:
    explicit BusyWindow(int busy) : busy_(busy) {}
    void Post(Function fn) override {
      if (busy_-- <= 0) fn();
    }
    void ProcessPendingMessages() override {}
    bool IsUiThread() const override { return false; }

   private:
    int busy_;
  };
  class Window : public FaxSessionTarget {
   public:
    int FaxMessage(tv::FaxMessage, int, FaxSession&) override {
      ++answers;
      return 0;  // "no" to everything
    }
    int answers = 0;
  };
  test::TempDir dir;
  Window window;
  FaxSession session;
  session.target = &window;
  session.common.destinationDir = dir.Path();
  BusyWindow busy(3);
  UiThread::Install(&busy);
  session.common.faxFile.clear();
  AskFaxName(session);
  EXPECT_EQ(session.common.faxFile, dir.Path() + "FAX0001.APF");
  EXPECT_TRUE(AskAccept(session));
  EXPECT_EQ(window.answers, 0);
  EXPECT_FALSE(AskNextFax(session));  // asked again, and this time answered
  EXPECT_EQ(window.answers, 1);
  UiThread::Install(nullptr);
}

}  // namespace
}  // namespace tv
