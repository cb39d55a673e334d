#include "fax/modem_prep.h"

#include <gtest/gtest.h>

#include "comm/dispatcher.h"
#include "platform/error_codes.h"
#include "platform/ui_thread.h"
#include "tests/fax/scripted_modem.h"

namespace tv {
namespace {

class RecordingTarget : public FaxSessionTarget {
 public:
  int FaxMessage(tv::FaxMessage message, int wParam, FaxSession&) override {
    messages.emplace_back(message, wParam);
    return 1;
  }
  std::vector<std::pair<int, int>> messages;
};

class ModemPrep : public ::testing::Test {
 protected:
  void SetUp() override {
    UiThread::Install(&ui_);
    InstallDeviceLayer(SimDeviceLayer());
  }
  void TearDown() override {
    if (session_.common.port > 0) PortClose(session_.common.port);
    InstallDeviceLayer(nullptr);
    UiThread::Install(nullptr);
  }

  void Open(test::ScriptedModem& modem) {
    session_.common.port = PortOpen(modem.Name(), kDispatcherThreads, 8192, 8192, 19200, 0, 8, 1);
    ASSERT_GT(session_.common.port, 0);
    session_.target = &target_;
  }

  static void AnswerOk(test::ScriptedModem& modem, const std::string& prefix) { modem.Answer(prefix, "\r\nOK\r\n"); }

  HeadlessUiThread ui_;
  RecordingTarget target_;
  FaxSession session_;
};

TEST_F(ModemPrep, SenderDetectsTheBestClassAndSendsTheInitStringsOnce) {
  test::ScriptedModem modem("prep-class-detect");
  AnswerOk(modem, "ATE0");
  AnswerOk(modem, "AT&F");
  modem.Answer("AT+FCLASS=?", "\r\n+FCLASS: 0,1,2,2.0\r\n\r\nOK\r\n");
  AnswerOk(modem, "AT+FCLASS=2.0");
  // The modem sends at 9600 at most: the session is held to that.
  modem.Answer("AT+FIS=?", "\r\n(0,1),(0-3),(0-2),(0-2),(0-3),(0-2),(0),(0-7)\r\nOK\r\n");
  Open(modem);
  session_.modem.userInit = UserInitString("&f");
  session_.modem.params.desiredBps = 14400;
  PrepareSender(session_);
  EXPECT_EQ(session_.common.lastError, 0);
  EXPECT_EQ(session_.common.faxClass, TFaxClass::fcClass2_0);
  EXPECT_EQ(session_.modem.params.desiredBps, 9600);
  EXPECT_TRUE(session_.common.prepared);
  EXPECT_EQ(session_.modem.commands.hangup, "FHS");
  const auto commands = modem.Commands();
  EXPECT_EQ(commands, (std::vector<std::string>{"ATE0Q0V1X4S0=0S2=43", "AT+FCLASS=?", "AT&F", "ATE0Q0V1X4S0=0S2=43",
                                                "AT+FCLASS=2.0", "AT+FIS=?"}));
  ASSERT_FALSE(target_.messages.empty());
  EXPECT_EQ(target_.messages.front(), std::make_pair(int(FaxMsgStatus), 1));
}

TEST_F(ModemPrep, EchoingModemStillInitialises) {
  test::ScriptedModem modem("prep-echo");
  modem.SetEcho(true);
  AnswerOk(modem, "ATE0");
  modem.Answer("AT+FCLASS=?", "\r\n0,1\r\nOK\r\n");
  modem.Answer("AT+FCLASS=1", "\r\nOK\r\n");
  modem.Answer("AT+FTM=?", "\r\n24,48,72,96\r\nOK\r\n");
  Open(modem);
  PrepareSender(session_);
  EXPECT_EQ(session_.common.lastError, 0);
  EXPECT_EQ(session_.common.faxClass, TFaxClass::fcClass1);
  EXPECT_TRUE(session_.modem.params.local.Has(kV29_9600));
  EXPECT_FALSE(session_.modem.params.local.Has(kV17_12000));
}

TEST_F(ModemPrep, SilentModemFailsWithBadResponse) {
  test::ScriptedModem modem("prep-silent");
  modem.Answer("AT", "");  // never answers
  Open(modem);
  session_.modem.replyTimeout = 4;  // keep the test short
  PrepareSender(session_);
  EXPECT_EQ(session_.common.lastError, ecFaxBadModemResult);
  EXPECT_FALSE(session_.common.prepared);
  EXPECT_NE(std::find(target_.messages.begin(), target_.messages.end(),
                      std::make_pair(int(FaxMsgError), int(ecFaxBadModemResult))),
            target_.messages.end());
}

TEST_F(ModemPrep, ReceiverSetsUpClass2WithItsStationId) {
  test::ScriptedModem modem("prep-receiver");
  AnswerOk(modem, "ATE0");
  AnswerOk(modem, "AT+FCLASS=2");
  AnswerOk(modem, "AT+FCR=1");
  AnswerOk(modem, "AT+FLID=");
  AnswerOk(modem, "AT+FAA=0");
  Open(modem);
  session_.common.faxClass = TFaxClass::fcClass2;
  session_.common.stationId = "+1 555 0100";
  PrepareReceiver(session_);
  EXPECT_TRUE(session_.common.prepared);
  const auto commands = modem.Commands();
  EXPECT_NE(std::find(commands.begin(), commands.end(), "AT+FLID=\"+1 555 0100\""), commands.end());
}

TEST(ResponseTexts, ClassesRatesPrefixesAndIds) {
  auto classes = ParseFaxClasses(StripResponsePrefix("+FCLASS: 0,1,2,2.0"));
  EXPECT_TRUE(classes.class1 && classes.class2 && classes.class2_0);
  classes = ParseFaxClasses("0,1,2.0");
  EXPECT_TRUE(classes.class1 && classes.class2_0);
  EXPECT_FALSE(classes.class2);
  classes = ParseFaxClasses("0,1");
  EXPECT_TRUE(classes.class1);
  EXPECT_FALSE(classes.class2 || classes.class2_0);
  EXPECT_EQ(FaxClassBits(ParseFaxClasses("0,1,2")), 12);

  const RateSet v29 = ParseClass1Rates("24,48,72,96");
  EXPECT_TRUE(v29.Has(kV29_9600));
  EXPECT_FALSE(v29.Has(kV17_9600));
  EXPECT_FALSE(ParseClass1Rates("24 48 72 96").Has(kV29_7200));  // no list without a comma
  const RateSet v17 = ParseClass1Rates("24,48,72,73,74,96,97,98,121,122,145,146");
  for (int index : {kV17_7200, kV17_9600, kV17_12000, kV17_14400}) EXPECT_TRUE(v17.Has(index)) << index;
  EXPECT_EQ(Class2MaxBitRate("+FDIS: (0,1),(0-5),(0-2),(0-2),(0-3),(0-2),(0),(0-7)"), 14400);
  EXPECT_EQ(Class2MaxBitRate("(0,1),(0,1,2,3),(0-2)"), 9600);
  EXPECT_EQ(Class2MaxBitRate("0,1"), 0);
  // +FCERROR says another carrier came, not that a command failed.
  EXPECT_TRUE(IsError("ERROR"));
  EXPECT_FALSE(IsError("+FCERROR"));
  EXPECT_TRUE(IsCarrierError("+FCERROR"));

  EXPECT_EQ(StripResponsePrefix("  +FCON: 1,5 \r"), "1,5");
  EXPECT_EQ(StripResponsePrefix("+FDCS=1,3"), "1,3");
  EXPECT_EQ(HangupCode("+FHNG: 0"), 0);
  EXPECT_EQ(HangupCode("+FHS:51"), 51);
  EXPECT_EQ(HangupCode("FHNG"), 0);
  EXPECT_EQ(CleanRemoteID(" \"ACME FAX 1\" "), "ACME FAX 1");
  EXPECT_EQ(UserInitString("&f"), "AT&F");
  EXPECT_EQ(UserInitString("at&f1"), "AT&F1");
  EXPECT_EQ(DefaultInitString(false, false), "ATE0Q0V1X2S0=0S2=43");
  EXPECT_EQ(DefaultInitString(true, true), "ATE0Q0V1X3S0=0S2=43");
}

}  // namespace
}  // namespace tv
