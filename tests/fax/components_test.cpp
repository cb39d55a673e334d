// The fax components: port checks and defaults, links, message translation
// and the fax history file.
#include <gtest/gtest.h>

#include <filesystem>

#include "comm/error_codes.h"
#include "comm/errors.h"
#include "comm/qa_exceptions.h"
#include "fax/fax_components.h"
#include "platform/ui_thread.h"
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
  return fax.Session().target->FaxMessage(message, wParam, fax.Session());
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
