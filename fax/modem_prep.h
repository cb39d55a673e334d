// The AT dialogue under both state machines: sending commands, collecting
// response lines, the synchronous exchanges of the preparation (reset,
// initialisation strings, class detection, Class 1 rate query) and the
// response tests.
#pragma once

#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "fax/fax_session.h"

namespace tv {

// Waits 100 ms, writes the command and CR, clears the response buffer and
// arms the reply timer. Returns 0 or the port's error code.
int SendModemCommand(FaxSession& session, std::string_view command);
// The same with a 40 ms pause, for AT+FTH=3, AT+FRH=3, AT+FTM= and AT+FRM=.
int SendClass1Command(FaxSession& session, std::string_view command);
// The same without arming the reply timer: a command repeated while the
// time a state allows runs on.
int WriteClass1Command(FaxSession& session, std::string_view command);
// Class 1: the modem is to send a frame (AT+FTH=3), or to listen for one
// (AT+FRH=3), the reply timer armed. Listening again leaves the timer as it
// runs: the frame is asked for again within the time allowed for it.
int SendFrameCommand(FaxSession& session);
// AT+FTH=3 after a signal received: T.30's silence first, of which the
// command's own pause is a part.
int AnswerWithFrameCommand(FaxSession& session);
int ListenForFrame(FaxSession& session);
int ListenForFrameAgain(FaxSession& session);

// The commands that set the modem up for a call, one after the other, each
// once the modem said OK to the one before: the class, then in Class 2 and
// 2.0 the class's own commands, Class 2.0's flow control and reporting, and
// last the caller's own. Once the class is set the modem talks at the
// normal rate.
class ModemSetUp {
 public:
  enum class Result { kWaiting, kDone, kRefused };
  void Start(FaxSession& session, const std::vector<std::string>& class2, const std::vector<std::string>& last = {});
  // The modem's answer to the command last sent: the next one goes out.
  Result Answer(FaxSession& session, std::string_view line);

 private:
  std::deque<std::string> commands_;
};

// Takes every waiting character into the response buffer: CR ends a
// non-empty line, control characters are dropped, the last 129 characters
// are kept. True with the line in `line` when one is complete.
bool ReadResponseLine(FaxSession& session, std::string& line);

// Sends a command and waits (pumping UI messages) for its answer: false on
// "ERROR" or no answer within the reply time. An echo of the command is
// skipped; an information line is kept in modem.response and the OK after
// it awaited.
bool ModemCommandOk(FaxSession& session, std::string_view command);

void ResetModemByDTR(FaxSession& session);

struct FaxClasses {
  bool class1 = false;
  bool class2 = false;
  bool class2_0 = false;
};
// Asks the modem which classes it offers (after a DTR reset and the default
// initialisation when resetFirst). False when it did not answer.
bool DetectFaxClasses(FaxSession& session, bool resetFirst, FaxClasses& classes);
// Stores the best class offered (2.0, 2, 1) or fcUnknown; false on no answer.
bool DetectFaxClass(FaxSession& session);
// Reads a +FCLASS=? answer (prefix stripped) into the three flags.
FaxClasses ParseFaxClasses(std::string_view answer);
// Fills the local Class 1 rate table from AT+FTM=? or AT+FRM=?.
void QueryClass1Rates(FaxSession& session, bool transmit);
// Holds DesiredBPS to the fastest rate a Class 2 or 2.0 modem offers (the
// answer to AT+FDIS=? or AT+FIS=?); a modem that does not say keeps it.
void QueryClass2Rates(FaxSession& session);
// The fastest rate of such an answer, "(0,1),(0-5),(0-2),..."; 0 without one.
int Class2MaxBitRate(std::string_view ranges);
// The Class 1 rates of a capability list ("24,48,72,73,74,96,97,98"); 2400
// and 4800 always.
RateSet ParseClass1Rates(std::string_view list);

// Preparation before the sender or receiver machine runs.
void PrepareSender(FaxSession& session);
void PrepareReceiver(FaxSession& session);

// Class bits of FaxCapabilities: 4 Class 1, 8 Class 2, 16 Class 2.0.
int FaxClassBits(const FaxClasses& classes);

// The default initialisation string for the dial options.
std::string DefaultInitString(bool blindDial, bool detectBusy);
// The user's string upper-cased, with "AT" in front when it does not start with "A".
std::string UserInitString(std::string_view init);

// Tests on a response line ("contains", case as received).
bool IsOk(std::string_view line);
bool IsConnect(std::string_view line);
bool IsNoCarrier(std::string_view line);
bool IsError(std::string_view line);
// +FCERROR: AT+FRM heard a frame carrier (V.21) where it waited for page data.
bool IsCarrierError(std::string_view line);
bool IsHangupReport(const FaxSession& session, std::string_view line);
// The number after the first ":" (up to three characters), 0 without one.
int HangupCode(std::string_view line);
// Trims, drops everything through the first ":" (or "="), trims again.
std::string StripResponsePrefix(std::string_view line);
// A remote ID as reported in quotes: trimmed, a leading quote blanked,
// trailing characters that are not letters or digits dropped.
std::string CleanRemoteID(std::string_view text);

}  // namespace tv
