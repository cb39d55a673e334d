#include "fax/modem_prep.h"

#include <algorithm>
#include <cctype>
#include <thread>

#include "comm/dispatcher.h"
#include "fax/t30.h"
#include "platform/error_codes.h"
#include "platform/text.h"
#include "platform/ui_thread.h"

namespace tv {

namespace {

// A modem that has just answered takes the next command after a short
// pause; the tenth of a second once given each one cost the call half a
// second before it dialled.
constexpr int kCommandPauseMs = 20;
constexpr int kClass1PauseMs = 40;
constexpr int kDtrPauseMs = 500;
constexpr std::int32_t kFurtherLineTicks = 36;
constexpr std::size_t kLineKeep = 129;
constexpr std::uint32_t kPrepareBaud = 19200;

bool Contains(std::string_view line, std::string_view part) { return line.find(part) != std::string_view::npos; }

int WriteCommand(FaxSession& session, std::string_view command, int pauseMs) {
  DelayMs(pauseMs);
  std::string text(command);
  if (text.empty() || text.back() != '\r') text += '\r';
  const int rc = PutString(session.common.port, text);
  session.modem.response.clear();
  return rc < 0 ? rc : 0;
}

// Dispatch off for the port while a synchronous exchange polls it.
class DispatchPause {
 public:
  explicit DispatchPause(int port) : port_(port), previous_(SetDispatching(port, false)) {}
  ~DispatchPause() { SetDispatching(port_, previous_ == 1); }

 private:
  int port_;
  int previous_;
};

// Reads one line, pumping UI messages, until the reply tick timer expires.
bool AwaitLine(FaxSession& session, std::string& line) {
  UiThread& ui = UiThread::Current();
  while (!ReadResponseLine(session, line)) {
    if (TimerExpired(session.modem.replyTicks) || ui.Terminating()) return false;
    ui.ProcessPendingMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void DrainInput(int port) {
  while (CharReady(port) > 0) GetChar(port);
}

bool SendInitStrings(FaxSession& session) {
  FaxModemData& m = session.modem;
  if (m.initSent) return true;
  if (!m.userInit.empty() && !ModemCommandOk(session, m.userInit)) return false;
  if (!ModemCommandOk(session, m.defaultInit)) return false;
  m.initSent = true;
  return true;
}

}  // namespace

int SendModemCommand(FaxSession& session, std::string_view command) {
  const int rc = WriteCommand(session, command, kCommandPauseMs);
  ArmReplyTimer(session, session.modem.replyTimeout);
  return rc;
}

int SendClass1Command(FaxSession& session, std::string_view command) {
  const int rc = WriteClass1Command(session, command);
  ArmReplyTimer(session, session.modem.replyTimeout);
  return rc;
}

int WriteClass1Command(FaxSession& session, std::string_view command) {
  return WriteCommand(session, command, kClass1PauseMs);
}

void ModemSetUp::Start(FaxSession& session, const std::vector<std::string>& class2,
                       const std::vector<std::string>& last) {
  const FaxCommonData& c = session.common;
  // The modem holds us back by XON and XOFF when the port obeys them.
  const bool softwareFlow = (c.options & foSoftwareFlow) != 0;
  const std::string flow = softwareFlow ? "AT+FLO=1" : "AT+FLO=2";
  if (c.faxClass == TFaxClass::fcClass1) {
    commands_ = {"AT+FCLASS=1"};
    if (softwareFlow) commands_.push_back(flow);
  } else {
    commands_ = {"AT+F" + session.modem.commands.selectClass};
    commands_.insert(commands_.end(), class2.begin(), class2.end());
    if (c.faxClass == TFaxClass::fcClass2_0) commands_.insert(commands_.end(), {flow, "AT+FNR=1,1,1,0"});
  }
  commands_.insert(commands_.end(), last.begin(), last.end());
  SendModemCommand(session, commands_.front());
}

ModemSetUp::Result ModemSetUp::Answer(FaxSession& session, std::string_view line) {
  if (!IsOk(line)) return Result::kRefused;
  if (commands_.front().rfind("AT+FCLASS", 0) == 0) UseNormalBaud(session, true);
  commands_.pop_front();
  if (commands_.empty()) return Result::kDone;
  SendModemCommand(session, commands_.front());
  return Result::kWaiting;
}

int SendFrameCommand(FaxSession& session) { return SendClass1Command(session, "AT+FTH=3"); }

int AnswerWithFrameCommand(FaxSession& session) {
  const int rc = WriteCommand(session, "AT+FTH=3", std::max(kClass1PauseMs, kT30SilenceMs));
  ArmReplyTimer(session, session.modem.replyTimeout);
  return rc;
}

int ListenForFrame(FaxSession& session) { return SendClass1Command(session, "AT+FRH=3"); }

int ListenForFrameAgain(FaxSession& session) { return WriteClass1Command(session, "AT+FRH=3"); }

bool ReadResponseLine(FaxSession& session, std::string& line) {
  std::string& buffer = session.modem.response;
  const int port = session.common.port;
  while (CharReady(port) > 0) {
    const int c = GetChar(port);
    if (c < 0) break;
    if (c == '\r') {
      if (buffer.empty()) continue;
      line = buffer;
      buffer.clear();
      return true;
    }
    if (c < 32) continue;
    buffer += static_cast<char>(c);
    if (buffer.size() > kLineKeep) buffer.erase(0, buffer.size() - kLineKeep);
  }
  return false;
}

bool ModemCommandOk(FaxSession& session, std::string_view command) {
  const int port = session.common.port;
  DispatchPause pause(port);
  bool ok = false;
  if (SendModemCommand(session, command) == 0) {
    std::string line;
    std::string information;
    while (AwaitLine(session, line)) {
      if (line == command) continue;  // the modem's echo
      if (IsError(line)) break;
      if (IsOk(line)) {
        ok = true;
        break;
      }
      // An information answer; the OK that follows completes it.
      information = line;
      ok = AwaitLine(session, line);
      break;
    }
    if (!information.empty()) session.modem.response = information;
  }
  DrainInput(port);
  return ok;
}

void ResetModemByDTR(FaxSession& session) {
  const int port = session.common.port;
  FlushInput(port);
  FlushOutput(port);
  SetDtrRts(port, false, false);
  DelayMs(kDtrPauseMs);
  SetDtrRts(port, true, true);
  DelayMs(kDtrPauseMs);
}

FaxClasses ParseFaxClasses(std::string_view answer) {
  FaxClasses classes;
  classes.class1 = Contains(answer, "1");
  if (Contains(answer, "2.0")) {
    classes.class2_0 = true;
    classes.class2 = Contains(answer, "2,");
  } else {
    classes.class2 = Contains(answer, "2");
  }
  return classes;
}

bool DetectFaxClasses(FaxSession& session, bool resetFirst, FaxClasses& classes) {
  DispatchPause pause(session.common.port);
  if (resetFirst) {
    bool initialised = false;
    for (int attempt = 0; attempt < 2 && !initialised; ++attempt) {
      ResetModemByDTR(session);
      initialised = ModemCommandOk(session, session.modem.defaultInit);
    }
    if (!initialised) return false;
  }
  if (!ModemCommandOk(session, "AT+FCLASS=?")) return false;
  classes = ParseFaxClasses(StripResponsePrefix(session.modem.response));
  return true;
}

bool DetectFaxClass(FaxSession& session) {
  FaxClasses classes;
  if (!DetectFaxClasses(session, true, classes)) {
    session.common.faxClass = TFaxClass::fcUnknown;
    return false;
  }
  session.common.faxClass = classes.class2_0 ? TFaxClass::fcClass2_0
                            : classes.class2 ? TFaxClass::fcClass2
                            : classes.class1 ? TFaxClass::fcClass1
                                             : TFaxClass::fcUnknown;
  return session.common.faxClass != TFaxClass::fcUnknown;
}

RateSet ParseClass1Rates(std::string_view list) {
  RateSet rates = RateSet::Basic();
  if (!Contains(list, ",")) return rates;
  // A rate is usable when its training code is in the list: "97" is V.17
  // at 9600, which a V.29-only modem lacks though it has "96".
  for (std::size_t start = 0; start <= list.size();) {
    const std::size_t end = std::min(list.find(',', start), list.size());
    const std::string code = TrimWhite(list.substr(start, end - start));
    for (int index = kMinRateIndex; index <= kMaxRateIndex; ++index) {
      if (code == RateAt(index).modulation) rates.Add(index);
    }
    start = end + 1;
  }
  return rates;
}

void QueryClass1Rates(FaxSession& session, bool transmit) {
  if (!ModemCommandOk(session, "AT+FCLASS=1")) return;
  FaxModemData& m = session.modem;
  m.params.local = RateSet::Basic();
  DispatchPause pause(session.common.port);
  if (SendModemCommand(session, transmit ? "AT+FTM=?" : "AT+FRM=?") != 0) return;
  std::string line;
  while (AwaitLine(session, line)) {
    if (Contains(line, ",")) m.params.local = ParseClass1Rates(line);
    m.replyTicks = NewTimer(kFurtherLineTicks);
    if (IsOk(line) || IsError(line)) break;
  }
  DrainInput(session.common.port);
}

int Class2MaxBitRate(std::string_view ranges) {
  // The second of the parenthesised value lists holds the bit-rate codes.
  std::size_t at = 0;
  for (int group = 0; group < 2; ++group) {
    at = ranges.find('(', at);
    if (at == std::string_view::npos) return 0;
    ++at;
  }
  const std::size_t end = ranges.find(')', at);
  if (end == std::string_view::npos) return 0;
  int best = -1;
  for (char c : ranges.substr(at, end - at)) {
    if (c >= '0' && c <= '5') best = std::max(best, c - '0');
  }
  static constexpr int kBps[] = {2400, 4800, 7200, 9600, 12000, 14400};
  return best < 0 ? 0 : kBps[best];
}

void QueryClass2Rates(FaxSession& session) {
  FaxModemData& m = session.modem;
  if (!ModemCommandOk(session, "AT+F" + m.commands.selectClass)) return;
  m.response.clear();
  if (!ModemCommandOk(session, "AT+F" + m.commands.sessionParams + "=?")) return;
  if (const int bps = Class2MaxBitRate(StripResponsePrefix(m.response)); bps > 0) {
    m.params.desiredBps = std::min(m.params.desiredBps, bps);
  }
}

void PrepareSender(FaxSession& session) {
  FaxCommonData& c = session.common;
  FaxModemData& m = session.modem;
  m.calling = true;
  session.state = 1;
  SetFaxStatus(session, fsInitializing);
  ReportFaxStatus(session, true, false);
  c.lastError = 0;
  c.currentPage = 1;
  c.pageBytesDone = c.pageLength = c.filePages = c.coverPages = 0;
  c.dialAttempt = 0;
  c.remoteId.clear();
  c.faxFile.clear();
  c.coverFile.clear();
  c.phoneNumber.clear();

  SetBaud(c.port, kPrepareBaud);
  SetDtrRts(c.port, true, true);
  if (c.faxClass == TFaxClass::fcUnknown) c.faxClass = TFaxClass::fcDetect;
  if (c.faxClass == TFaxClass::fcDetect && !DetectFaxClass(session)) {
    ReportFaxError(session, ecFaxBadModemResult);
    return;
  }
  if (!SendInitStrings(session)) {
    ReportFaxError(session, ecFaxBadModemResult);
    return;
  }
  if (c.faxClass == TFaxClass::fcClass2 || c.faxClass == TFaxClass::fcClass2_0) {
    m.commands = Class2CommandsFor(c.faxClass);
  }
  UseNormalBaud(session, true);
  if (c.faxClass == TFaxClass::fcClass1) {
    QueryClass1Rates(session, true);
  } else {
    QueryClass2Rates(session);
  }
  c.prepared = true;
}

void PrepareReceiver(FaxSession& session) {
  FaxCommonData& c = session.common;
  FaxModemData& m = session.modem;
  m.calling = false;
  session.state = 1;
  c.status = fsNone;
  c.lastError = 0;
  if ((c.faxClass == TFaxClass::fcUnknown || c.faxClass == TFaxClass::fcDetect) && !DetectFaxClass(session)) {
    ReportFaxError(session, ecFaxBadModemResult);
    return;
  }
  m.commands = Class2CommandsFor(c.faxClass);
  DispatchPause pause(c.port);
  if (!SendInitStrings(session)) return;  // the machine still starts

  bool classReady = false;
  if (c.faxClass == TFaxClass::fcClass1) {
    classReady = ModemCommandOk(session, "AT+FCLASS=1");
    UseNormalBaud(session, true);
  } else {
    classReady = ModemCommandOk(session, "AT+F" + m.commands.selectClass);
    UseNormalBaud(session, true);
    classReady = classReady && ModemCommandOk(session, "AT+FCR=1") &&
                 ModemCommandOk(session, "AT+F" + m.commands.localId + "=\"" + c.stationId + "\"") &&
                 ModemCommandOk(session, std::string("AT+FAA=") + m.faxAndDataChar);
  }
  if (classReady) {
    if (c.faxClass == TFaxClass::fcClass1) {
      QueryClass1Rates(session, false);
      SessionParameters& p = m.params;
      int index = kMaxRateIndex;
      while (index > kMinRateIndex && (!p.local.Has(index) || RateAt(index).bps > p.desiredBps)) --index;
      p.SetRate(index);
    }
    c.prepared = true;
  }
  DrainInput(c.port);
}

int FaxClassBits(const FaxClasses& classes) {
  return (classes.class1 ? 4 : 0) | (classes.class2 ? 8 : 0) | (classes.class2_0 ? 16 : 0);
}

std::string DefaultInitString(bool blindDial, bool detectBusy) {
  const char x = blindDial ? (detectBusy ? '3' : '1') : (detectBusy ? '4' : '2');
  return std::string("ATE0Q0V1X") + x + "S0=0S2=43";
}

std::string UserInitString(std::string_view init) {
  std::string text = UpperAscii(init.substr(0, 40));
  if (!text.empty() && text[0] != 'A') text = "AT" + text;
  return text;
}

bool IsOk(std::string_view line) { return Contains(line, "OK"); }
bool IsConnect(std::string_view line) { return Contains(line, "CONNECT"); }
bool IsNoCarrier(std::string_view line) { return Contains(line, "RRIER"); }
// +FCERROR is no failure: the modem heard another carrier than the one asked for.
bool IsError(std::string_view line) { return Contains(line, "ERROR") && !IsCarrierError(line); }
bool IsCarrierError(std::string_view line) { return Contains(line, "+FCERROR"); }

bool IsHangupReport(const FaxSession& session, std::string_view line) {
  const std::string& word = session.modem.commands.hangup;
  return !word.empty() && Contains(line, word);
}

int HangupCode(std::string_view line) {
  const auto colon = line.find(':');
  if (colon == std::string_view::npos) return 0;
  const std::string digits = TrimWhite(line.substr(colon + 1, 3));
  int code = 0;
  for (char c : digits) {
    if (!std::isdigit(static_cast<unsigned char>(c))) break;
    code = code * 10 + (c - '0');
  }
  return code;
}

std::string StripResponsePrefix(std::string_view line) {
  auto trim = [](std::string_view s) {
    while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
    while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
    return s;
  };
  std::string_view text = trim(line);
  auto cut = text.find(':');
  if (cut == std::string_view::npos) cut = text.find('=');
  if (cut != std::string_view::npos) text.remove_prefix(cut + 1);
  return std::string(trim(text));
}

std::string CleanRemoteID(std::string_view text) {
  std::string id = TrimWhite(text);
  if (!id.empty() && id.front() == '"') id.front() = ' ';
  while (!id.empty() && !std::isalnum(static_cast<unsigned char>(id.back()))) id.pop_back();
  return TrimWhite(id);
}

}  // namespace tv
