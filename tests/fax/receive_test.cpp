// The receiver machine behind a TQaReceiveFax component, against scripted
// Class 1, Class 2 and Class 2.0 modems on the simulated device layer.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>

#include "fax/class1_frames.h"
#include "fax/ecm_frames.h"
#include "fax/fax_components.h"
#include "fax/hdlc.h"
#include "fax/session_parameters.h"
#include "image/apf_file.h"
#include "image/file_io.h"
#include "image/t4_2d_coding.h"
#include "platform/error_codes.h"
#include "tests/fax/apf_pages.h"
#include "tests/fax/scripted_fax_test.h"

namespace tv {
namespace {

using test::DleDoubled;
using test::Frame;
using test::kConnect;
using test::kDataEnd;
using test::kNoCarrier;
using test::kOk;

std::string DcsInfo(int rateIndex, bool fine) {
  SessionParameters p;
  p.fine = fine;
  p.SetRate(rateIndex);
  const auto octets = CapabilityOctets(false, p);
  return std::string(octets.begin(), octets.end());
}

// Page data with the byte values that need care: DLE, and bits to reverse.
std::string PageBytes(int page) {
  std::string bytes("\x00\x10\x01\x80page-", 9);
  bytes += std::to_string(page);
  bytes += std::string(5000, static_cast<char>(0x20 + page));
  bytes += "\x10\x10 end";
  return bytes;
}

std::vector<std::string> Starting(const std::vector<std::string>& commands, const std::string& prefix) {
  std::vector<std::string> found;
  for (const std::string& c : commands) {
    if (c.rfind(prefix, 0) == 0) found.push_back(c);
  }
  return found;
}

std::string Reversed(const std::string& bytes) {
  std::string out;
  for (char c : bytes) {
    auto b = static_cast<std::uint8_t>(c);
    std::uint8_t r = 0;
    for (int i = 0; i < 8; ++i) r = static_cast<std::uint8_t>(r | (((b >> i) & 1) << (7 - i)));
    out += static_cast<char>(r);
  }
  return out;
}

struct StoredFax {
  TApfFileHeader header{};
  std::vector<TApfPageHeader> pageHeaders;
  std::vector<std::string> pages;
};

StoredFax ReadFax(const std::string& name) {
  StoredFax fax;
  FaxFile file;
  if (file.OpenRead(name) != 0) return fax;
  std::vector<ApfPageLocation> pages;
  if (ApfReadPageTable(file, fax.header, pages) != 0) return fax;
  for (const ApfPageLocation& page : pages) {
    std::string data(page.header.dataLength, '\0');
    file.Seek(page.headerOffset + 16);
    file.ReadExact(data.data(), data.size());
    fax.pageHeaders.push_back(page.header);
    fax.pages.push_back(data);
  }
  return fax;
}

// How many frames of a type we wrote.
int FramesSent(const test::ScriptedModem& modem, std::uint8_t type) {
  const auto commands = modem.Commands();
  return static_cast<int>(std::count_if(commands.begin(), commands.end(), [type](const std::string& c) {
    return c.size() > 2 && c[0] == '\xFF' && static_cast<std::uint8_t>(c[2]) == type;
  }));
}

// A caller's frame block as the modem passes it on after AT+FRH=3, and one
// whose check sequence was wrong.
std::string CallerFrame(std::uint8_t type, const std::string& info = {}, bool final = true) {
  return kConnect + Frame(type | kFcfXBit, info, final) + kOk;
}
std::string DamagedFrame(std::uint8_t type, const std::string& info = {}) {
  return kConnect + Frame(type | kFcfXBit, info, true) + "\r\nERROR\r\n";
}
const std::string kCallerTsi = CallerFrame(kFcfTSI, EncodeStationId("CALLER 7"), false);
const std::string kCallerDcs = CallerFrame(kFcfDCS, DcsInfo(kV29_9600, false));
const std::string kTraining = kConnect + std::string(1800, '\0') + kDataEnd + kNoCarrier;
const std::string kFramesInstead = "\r\n+FCERROR\r\n";  // AT+FRM heard V.21, not the page carrier

std::string PageSignal(const std::string& page) { return kConnect + DleDoubled(page) + kDataEnd + kNoCarrier; }

class Receiving : public test::ScriptedFaxTest<TQaReceiveFax> {
 protected:
  void SetUp() override {
    ScriptedFaxTest::SetUp();
    fax_->SetStationID("TESS RX");
    fax_->SetDestinationDir(dir_.Path());
  }

  // Starts receiving one fax in the class given; a failed call ends the session.
  void Start(test::ScriptedModem& modem, TFaxClass faxClass) {
    Attach(modem, faxClass);
    fax_->SetOneFax(true);
    fax_->SetExitOnError(true);
    ASSERT_EQ(fax_->BeginReceiving(), 0);
  }

  bool RunToFinish(int seconds = 30) { return ScriptedFaxTest::RunToFinish(seconds); }

  // The modem part every Class 1 test shares: preparation, set-up with one
  // RING after it, and ATA.
  static void Class1SetUp(test::ScriptedModem& modem, const std::string& ataAnswer = kConnect) {
    modem.Answer("ATE0", kOk);
    modem.Answer("AT+FRM=?", "\r\n24,48,72,96\r\n" + kOk);
    auto classCommands = std::make_shared<int>(0);
    // Two in the preparation, the third sets up for the call, which rings
    // already while the modem answers it.
    modem.Answer("AT+FCLASS=1", [classCommands](const std::string&) {
      return ++*classCommands == 3 ? "\r\nRING\r\n" + kOk + "\r\nRING\r\n" : kOk;
    });
    modem.Answer("ATA", ataAnswer);
    // After a frame with more to follow (our CSI) the modem is ready for the
    // next one; after the final frame of a block it is done.
    modem.Answer("\xFF\x03", kConnect);
    modem.Answer("\xFF\x13", kOk);
    modem.Answer("ATH", kOk);
    modem.AnswerExactly("AT", kOk);
  }

  // A Class 1 caller: TSI and DCS, training, the pages with MPS/EOP, DCN.
  // The first `unheard` receptions after our DIS hear nothing.
  static void Class1Caller(test::ScriptedModem& modem, std::vector<std::string> pages,
                           std::string training = std::string(1800, '\0'), std::uint8_t lastPostPage = kFcfEOP,
                           int unheard = 0) {
    auto frh = std::make_shared<int>(0);
    auto frm = std::make_shared<int>(0);
    const int pageCount = static_cast<int>(pages.size());
    modem.Answer("AT+FRH=3", [frh, pageCount, lastPostPage, unheard](const std::string&) {
      const int n = ++*frh - unheard;
      if (n <= 0) return std::string();
      if (n == 1) return kConnect + Frame(kFcfTSI, EncodeStationId("CALLER 7"), false) + kOk;
      if (n == 2) return kConnect + Frame(kFcfDCS, DcsInfo(kV29_9600, false), true) + kOk;
      const int page = n - 2;
      if (page < pageCount) return kConnect + Frame(kFcfMPS, "", true) + kOk;
      if (page == pageCount) return kConnect + Frame(lastPostPage, "", true) + kOk;
      return kConnect + Frame(kFcfDCN, "", true) + kOk;
    });
    modem.Answer("AT+FRM=96", [frm, pages, training](const std::string&) {
      const int n = ++*frm;
      if (n == 1) return kConnect + DleDoubled(training) + kDataEnd + kNoCarrier;
      if (n - 1 <= static_cast<int>(pages.size())) {
        return kConnect + DleDoubled(pages[static_cast<std::size_t>(n - 2)]) + kDataEnd + kNoCarrier;
      }
      return std::string();
    });
    modem.Answer("AT+FTH=3", kConnect);
  }
};

TEST_F(Receiving, Class1CallerPagesArriveInOneApfFileWithTheCallersId) {
  test::ScriptedModem modem("rx-class1");
  Class1SetUp(modem);
  const std::vector<std::string> pages = {PageBytes(1), PageBytes(2)};
  Class1Caller(modem, pages);
  std::vector<int> statuses;
  fax_->OnFaxStatus = [&](TQaAbstractFax& f, bool, bool) { statuses.push_back(f.Status()); };
  Start(modem, TFaxClass::fcClass1);
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, 0);
  EXPECT_TRUE(errors_.empty());
  EXPECT_EQ(logs_, (std::vector{TFaxLogCode::lfaxReceiveStart, TFaxLogCode::lfaxReceiveOk}));
  EXPECT_EQ(fileName_, dir_.Path() + "FAX0001.APF");
  EXPECT_EQ(fax_->RemoteID(), "CALLER 7");
  // The caller's ID is the transmitting station's.
  EXPECT_NE(std::find(statuses.begin(), statuses.end(), fsGotTransmittingId), statuses.end());
  EXPECT_EQ(std::find(statuses.begin(), statuses.end(), fsGotRemoteId), statuses.end());
  const StoredFax stored = ReadFax(fileName_);
  EXPECT_EQ(stored.header.pageCount, 2);
  EXPECT_EQ(ApfStationId(stored.header), "CALLER 7");  // without the blanks that filled the TSI
  EXPECT_TRUE(stored.pages == pages);  // DLE pairs undone, nothing else changed
  ASSERT_EQ(stored.pageHeaders.size(), 2u);
  EXPECT_EQ(stored.pageHeaders[0].pageFlags, 0);

  // Our identity and capabilities went out as CSI and DIS; MCF after each page.
  const auto commands = modem.Commands();
  const auto frames = std::count_if(commands.begin(), commands.end(), [](const std::string& c) {
    return c.size() > 2 && static_cast<std::uint8_t>(c[2]) == kFcfMCF;
  });
  EXPECT_EQ(frames, 2);
  EXPECT_NE(std::find(commands.begin(), commands.end(),
                      Frame(kFcfCSI, EncodeStationId("TESS RX"), false)),
            commands.end());
}

// No frame comes after our DIS: the receiver gives up the reception after
// about 3 s, sends CSI and DIS again, and then takes the call.
TEST_F(Receiving, Class1CallerNotHeardGetsOurIdentityAgain) {
  test::ScriptedModem modem("rx-class1-repeat");
  Class1SetUp(modem);
  const std::vector<std::string> pages = {PageBytes(1)};
  Class1Caller(modem, pages, std::string(1800, '\0'), kFcfEOP, 1);
  Start(modem, TFaxClass::fcClass1);
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, 0);
  EXPECT_TRUE(ReadFax(fileName_).pages == pages);
  const auto commands = modem.Commands();
  const auto dis = std::count_if(commands.begin(), commands.end(), [](const std::string& c) {
    return c.size() > 2 && static_cast<std::uint8_t>(c[2]) == kFcfDIS;
  });
  EXPECT_EQ(dis, 2);
  EXPECT_NE(std::find(commands.begin(), commands.end(), "AT"), commands.end());
}

// A caller that missed our CFR repeats its DCS (the modem hears V.21 where
// the page should start and says +FCERROR), one that missed our MCF repeats
// its MPS or EOP: each gets the same answer again, and the fax arrives whole.
TEST_F(Receiving, Class1CommandsRepeatedByACallerThatMissedOurAnswerGetItAgain) {
  test::ScriptedModem modem("rx-class1-repeats");
  Class1SetUp(modem);
  const std::vector<std::string> pages = {PageBytes(1), PageBytes(2)};
  modem.AnswerInTurn("AT+FRH=3", {kCallerTsi, kCallerDcs, kCallerDcs, CallerFrame(kFcfMPS), CallerFrame(kFcfMPS),
                                  CallerFrame(kFcfEOP), CallerFrame(kFcfEOP), CallerFrame(kFcfDCN)});
  modem.AnswerInTurn("AT+FRM=96", {kTraining, kFramesInstead, kTraining, PageSignal(pages[0]), kFramesInstead,
                                   PageSignal(pages[1])});
  modem.Answer("AT+FTH=3", kConnect);
  Start(modem, TFaxClass::fcClass1);
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, 0);
  EXPECT_TRUE(errors_.empty());
  EXPECT_EQ(logs_, (std::vector{TFaxLogCode::lfaxReceiveStart, TFaxLogCode::lfaxReceiveOk}));
  EXPECT_TRUE(ReadFax(fileName_).pages == pages);
  EXPECT_EQ(FramesSent(modem, kFcfCFR), 2);
  EXPECT_EQ(FramesSent(modem, kFcfMCF), 4);
  EXPECT_EQ(modem.Commands().back(), "ATH");
}

// EOM: a new document follows in the same fax. The receiver negotiates
// again (CSI and DIS, the caller's new DCS, training) and keeps every page
// in the one file, at the resolution each came with.
TEST_F(Receiving, Class1NewDocumentAfterEomIsNegotiatedAgainAndStaysInTheSameFile) {
  test::ScriptedModem modem("rx-class1-eom");
  Class1SetUp(modem);
  const std::vector<std::string> pages = {PageBytes(1), PageBytes(2), PageBytes(3)};
  modem.AnswerInTurn("AT+FRH=3", {kCallerTsi, kCallerDcs, CallerFrame(kFcfEOM), kCallerTsi,
                                  CallerFrame(kFcfDCS, DcsInfo(kV29_9600, true)), CallerFrame(kFcfMPS),
                                  CallerFrame(kFcfEOP), CallerFrame(kFcfDCN)});
  modem.AnswerInTurn("AT+FRM=96", {kTraining, PageSignal(pages[0]), kTraining, PageSignal(pages[1]),
                                   PageSignal(pages[2])});
  modem.Answer("AT+FTH=3", kConnect);
  Start(modem, TFaxClass::fcClass1);
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, 0);
  EXPECT_TRUE(errors_.empty());
  EXPECT_EQ(logs_, (std::vector{TFaxLogCode::lfaxReceiveStart, TFaxLogCode::lfaxReceiveOk}));
  const StoredFax stored = ReadFax(fileName_);
  EXPECT_TRUE(stored.pages == pages);
  ASSERT_EQ(stored.pageHeaders.size(), 3u);
  EXPECT_EQ(stored.pageHeaders[0].pageFlags, 0);
  EXPECT_EQ(stored.pageHeaders[1].pageFlags, kApfFine);
  EXPECT_EQ(stored.pageHeaders[2].pageFlags, kApfFine);
  EXPECT_EQ(FramesSent(modem, kFcfDIS), 2);
  EXPECT_EQ(FramesSent(modem, kFcfCSI), 2);
  EXPECT_EQ(FramesSent(modem, kFcfCFR), 2);
  EXPECT_EQ(FramesSent(modem, kFcfMCF), 3);
}

// A command that keeps coming, each time with frames where the training
// should be (+FCERROR), is answered three times; then DCN ends the call.
TEST_F(Receiving, Class1CommandRepeatedWithoutEndIsAnsweredThreeTimesThenDcn) {
  test::ScriptedModem modem("rx-class1-fcerror");
  Class1SetUp(modem);
  auto frh = std::make_shared<int>(0);
  modem.Answer("AT+FRH=3", [frh](const std::string&) { return ++*frh == 1 ? kCallerTsi : kCallerDcs; });
  modem.Answer("AT+FRM=96", kFramesInstead);
  modem.Answer("AT+FTH=3", kConnect);
  Start(modem, TFaxClass::fcClass1);
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, ecFaxCommandRepeated);
  EXPECT_EQ(errors_, std::vector<int>{ecFaxCommandRepeated});
  const auto commands = modem.Commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "AT+FRM=96"), 3);
  EXPECT_EQ(FramesSent(modem, kFcfDCN), 1);
}

// A frame whose check sequence was wrong (the modem says ERROR after it)
// is asked for again and never acted on, not even a DCN.
TEST_F(Receiving, Class1DamagedFramesAreAskedForAgainAndNeverActedOn) {
  test::ScriptedModem modem("rx-class1-damaged");
  Class1SetUp(modem);
  const std::vector<std::string> pages = {PageBytes(1)};
  modem.AnswerInTurn("AT+FRH=3", {kCallerTsi, DamagedFrame(kFcfDCS, DcsInfo(kV17_14400, true)), kCallerDcs,
                                  DamagedFrame(kFcfDCN), CallerFrame(kFcfEOP), CallerFrame(kFcfDCN)});
  modem.AnswerInTurn("AT+FRM=96", {kTraining, PageSignal(pages[0])});
  modem.Answer("AT+FTH=3", kConnect);
  Start(modem, TFaxClass::fcClass1);
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, 0);
  EXPECT_TRUE(ReadFax(fileName_).pages == pages);
  EXPECT_EQ(fax_->BitRate(), 9600);
  const auto commands = modem.Commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "AT+FRH=3"), 6);
}

// Rows that do not decode (the line spoiled them) are counted for their
// page and said in the history; a whole page has none.
TEST_F(Receiving, Class1DamagedRowsAreCountedForTheirPage) {
  test::ScriptedModem modem("rx-class1-rows");
  Class1SetUp(modem);
  T4PageEncoder encoder(T4Coding::kMh, kStandardWidth);
  std::vector<std::uint8_t> row(kStandardWidth / 8);
  for (int r = 0; r < 120; ++r) {
    for (std::size_t i = 0; i < row.size(); ++i) row[i] = static_cast<std::uint8_t>((r + 1) * (i % 7) * 37);
    encoder.AddLine(row.data());
  }
  const std::vector<std::uint8_t> coded = encoder.Finish();
  const std::string whole(coded.begin(), coded.end());
  std::string spoiled = whole;
  for (std::size_t at = spoiled.size() / 3; at < spoiled.size() / 3 + 8; ++at) spoiled[at] ^= 0x5A;
  Class1Caller(modem, {whole, spoiled});
  Start(modem, TFaxClass::fcClass1);
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, 0);
  const std::vector<PageDamage>& damage = fax_->Session().common.damagedPages;
  ASSERT_EQ(damage.size(), 1u);
  EXPECT_EQ(damage[0].page, 2);
  EXPECT_GT(damage[0].rows, 0);
  EXPECT_NE(TQaFaxLog::LogEntry(*fax_, TFaxLogCode::lfaxReceiveOk, "now").find("  (" + DamageNote(damage) + ")\r\n"),
            std::string::npos);
}

// DLE SUB in page data stands for two DLEs (a modem with double escaping on).
// --- Error correction -------------------------------------------------------------

const std::string kEcmCallerDcs = [] {
  SessionParameters p;
  p.errorCorrection = true;
  p.coding = T4Coding::kMmr;
  p.SetRate(kV29_9600);
  const auto octets = CapabilityOctets(false, p);
  return CallerFrame(kFcfDCS, std::string(octets.begin(), octets.end()));
}();

// A burst of a page's frames as the page carrier brings it.
std::string EcmBurstSignal(const EcmOutgoingPage& page, const std::vector<int>& frames) {
  HdlcEncoder hdlc;
  hdlc.Flags(8);
  for (int frame : frames) {
    std::vector<std::uint8_t> octets{0xFF, 0x03};
    const auto body = page.FrameBody(frame);
    octets.insert(octets.end(), body.begin(), body.end());
    hdlc.Frame(octets);
  }
  for (int i = 0; i < 3; ++i) hdlc.Frame(std::vector<std::uint8_t>{0xFF, 0x03, kFcfRCP});
  const auto bits = hdlc.Take();
  return PageSignal(std::string(bits.begin(), bits.end()));
}

std::string Pps(std::uint8_t command, int frames) {
  return CallerFrame(kFcfPPS, {static_cast<char>(command | kFcfXBit), 0, 0, static_cast<char>(frames - 1)});
}

// A page in MMR frames: a frame lost on the line is asked for by PPR, and
// the page, whole, is stored one-dimensional.
TEST_F(Receiving, Class1ErrorCorrectionAsksForLostFramesAndStoresThePageOneDimensional) {
  test::Rows rows(150, std::vector<std::uint8_t>(kStandardWidth / 8));
  for (std::size_t r = 0; r < rows.size(); ++r) {
    for (std::size_t b = r % 7; b < rows[r].size(); b += 3 + r % 5) rows[r][b] = static_cast<std::uint8_t>(0x3C ^ r);
  }
  const EcmOutgoingPage page(T4EncodeRows(T4Coding::kMmr, kStandardWidth, 1, rows), 256);
  ASSERT_GE(page.FramesInBlock(), 3);
  std::vector<int> allButOne = page.Burst();
  allButOne.erase(allButOne.begin() + 1);

  test::ScriptedModem modem("rx-class1-ecm");
  Class1SetUp(modem);
  modem.AnswerInTurn("AT+FRH=3", {kCallerTsi, kEcmCallerDcs, Pps(kFcfEOP, page.FramesInBlock()), Pps(kFcfEOP, 1),
                                  CallerFrame(kFcfDCN)});
  modem.AnswerInTurn("AT+FRM=96", {kTraining, EcmBurstSignal(page, allButOne), EcmBurstSignal(page, {1})});
  modem.Answer("AT+FTH=3", kConnect);
  Start(modem, TFaxClass::fcClass1);
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, 0);
  EXPECT_EQ(logs_, (std::vector{TFaxLogCode::lfaxReceiveStart, TFaxLogCode::lfaxReceiveOk}));
  const auto commands = modem.Commands();
  const auto ppr = std::find_if(commands.begin(), commands.end(), [](const std::string& c) {
    return c.size() > 3 && static_cast<std::uint8_t>(c[2]) == kFcfPPR;
  });
  ASSERT_NE(ppr, commands.end());
  EXPECT_EQ((*ppr)[3], '\x02');  // frame 1 only
  EXPECT_EQ(FramesSent(modem, kFcfMCF), 1);
  EXPECT_EQ(test::StoredRows(fileName_, 1), rows);
}

// A PPS too short to read, or one whose frames never come however often
// they are asked for: the call ends with DCN and says why.
TEST_F(Receiving, Class1ErrorCorrectionNonsenseEndsTheCall) {
  const std::string noFrames = PageSignal(std::string(40, '\x7E'));
  for (const std::string& pps : {CallerFrame(kFcfPPS, "\x2F"), Pps(kFcfEOP, 3)}) {
    NewFax();
    test::ScriptedModem modem("rx-class1-ecm-bad");
    Class1SetUp(modem);
    auto frh = std::make_shared<int>(0);
    modem.Answer("AT+FRH=3", [frh, pps](const std::string&) {
      return ++*frh == 1 ? kCallerTsi : *frh == 2 ? kEcmCallerDcs : pps;
    });
    auto frm = std::make_shared<int>(0);
    modem.Answer("AT+FRM=96", [frm, noFrames](const std::string&) { return ++*frm == 1 ? kTraining : noFrames; });
    modem.Answer("AT+FTH=3", kConnect);
    Start(modem, TFaxClass::fcClass1);
    ASSERT_TRUE(RunToFinish());
    EXPECT_EQ(finishCode_, ecFaxEcmProtocol);
    EXPECT_EQ(FramesSent(modem, kFcfDCN), 1);
  }
}

TEST_F(Receiving, Class1DleSubInPageDataIsTwoDles) {
  test::ScriptedModem modem("rx-class1-dle-sub");
  Class1SetUp(modem);
  modem.AnswerInTurn("AT+FRH=3", {kCallerTsi, kCallerDcs, CallerFrame(kFcfEOP), CallerFrame(kFcfDCN)});
  modem.AnswerInTurn("AT+FRM=96", {kTraining, kConnect + "ab\x10\x1A" + "cd\x10\x10" + kDataEnd + kNoCarrier});
  modem.Answer("AT+FTH=3", kConnect);
  Start(modem, TFaxClass::fcClass1);
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, 0);
  EXPECT_TRUE(ReadFax(fileName_).pages == std::vector<std::string>{"ab\x10\x10" "cd\x10"});
}

// A training that fails at 2400 leaves no lower rate: FTT, then DCN, and
// the call ends as training failed.
TEST_F(Receiving, Class1BadTrainingAtTheLowestRateEndsWithTrainingFailed) {
  test::ScriptedModem modem("rx-class1-ftt");
  Class1SetUp(modem);
  modem.Answer("AT+FRH=3", CallerFrame(kFcfDCS, DcsInfo(kV27ter2400, false)));
  modem.Answer("AT+FRM=24", kConnect + std::string(300, '\x55') + kDataEnd + kNoCarrier);
  modem.Answer("AT+FTH=3", kConnect);
  Start(modem, TFaxClass::fcClass1);
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, ecFaxTrainError);
  EXPECT_EQ(FramesSent(modem, kFcfFTT), 1);
  EXPECT_EQ(FramesSent(modem, kFcfDCN), 1);
  EXPECT_TRUE(logs_.empty());  // no call was accepted, no file made
}

// A caller ends the call: after a page it keeps the complete page; either
// way the call ends as the caller's doing, in the phase it came.
TEST_F(Receiving, Class1DcnFromTheCallerEndsTheCallAsItsDoingAndKeepsTheCompletePage) {
  test::ScriptedModem early("rx-class1-dcn-early");
  Class1SetUp(early);
  early.AnswerInTurn("AT+FRH=3", {kCallerTsi, CallerFrame(kFcfDCN)});
  early.Answer("AT+FTH=3", kConnect);
  Start(early, TFaxClass::fcClass1);
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, ecFaxRemoteEndedSetUp);
  EXPECT_EQ(FramesSent(early, kFcfDCN), 0);

  NewFax();
  fax_->SetDestinationDir(dir_.Path());
  test::ScriptedModem modem("rx-class1-dcn");
  Class1SetUp(modem);
  const std::vector<std::string> pages = {PageBytes(1)};
  Class1Caller(modem, pages, std::string(1800, '\0'), kFcfDCN);
  Start(modem, TFaxClass::fcClass1);
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, ecFaxRemoteEndedAfterPage);
  EXPECT_EQ(logs_, (std::vector{TFaxLogCode::lfaxReceiveStart, TFaxLogCode::lfaxReceiveFail}));
  const StoredFax stored = ReadFax(fileName_);
  EXPECT_EQ(stored.header.pageCount, 1);
  EXPECT_TRUE(stored.pages == pages);
}

TEST_F(Receiving, Class1LineDropInTheMiddleOfAPageKeepsOnlyTheCompletePages) {
  test::ScriptedModem modem("rx-class1-drop");
  Class1SetUp(modem);
  const std::vector<std::string> pages = {PageBytes(1), PageBytes(2)};
  // The second page stops half way and the line goes quiet.
  auto frm = std::make_shared<int>(0);
  modem.Answer("AT+FRM=9", [frm, pages](const std::string&) {
    const int n = ++*frm;
    if (n == 1) return kConnect + std::string(1800, '\0') + kDataEnd + kNoCarrier;
    if (n == 2) return kConnect + DleDoubled(pages[0]) + kDataEnd + kNoCarrier;
    return kConnect + DleDoubled(pages[1].substr(0, 2000));
  });
  Class1Caller(modem, pages);
  Start(modem, TFaxClass::fcClass1);
  ASSERT_TRUE(RunToFinish(40));
  EXPECT_EQ(finishCode_, ecTimeout);
  EXPECT_EQ(logs_.back(), TFaxLogCode::lfaxReceiveFail);
  const StoredFax stored = ReadFax(fileName_);
  EXPECT_EQ(stored.header.pageCount, 1);
  ASSERT_EQ(stored.pages.size(), 1u);
  EXPECT_TRUE(stored.pages[0] == pages[0]);
  EXPECT_EQ(std::filesystem::file_size(fileName_), 64u + 16u + pages[0].size());
}

TEST_F(Receiving, Class1GarbageBeforeConnectIsSkippedAndARefusedCallIsLogged) {
  test::ScriptedModem modem("rx-class1-refuse");
  Class1SetUp(modem, "\r\n#!~ line noise\r\n\r\n" + kConnect);
  Class1Caller(modem, {PageBytes(1)});
  bool asked = false;
  fax_->OnFaxAccept = [&](TQaReceiveFax& f, bool& accept) {
    asked = f.RemoteID() == "CALLER 7";
    accept = false;
  };
  Start(modem, TFaxClass::fcClass1);
  ASSERT_TRUE(RunToFinish());
  EXPECT_TRUE(asked);
  EXPECT_EQ(finishCode_, ecFileRejected);
  EXPECT_EQ(logs_, (std::vector{TFaxLogCode::lfaxReceiveSkip}));
  EXPECT_TRUE(std::filesystem::is_empty(dir_.Path()));
  // The refusal is our answer to the training: DCN where CFR would go.
  EXPECT_EQ(FramesSent(modem, kFcfDCN), 1);
  EXPECT_EQ(FramesSent(modem, kFcfCFR), 0);
}

TEST_F(Receiving, SetUpRefusedByTheModemEndsWithBadResponse) {
  test::ScriptedModem modem("rx-setup-error");
  modem.Answer("ATE0", kOk);
  modem.Answer("AT+FRM=?", "\r\n24,48\r\n" + kOk);
  auto count = std::make_shared<int>(0);
  modem.Answer("AT+FCLASS=1", [count](const std::string&) { return ++*count < 3 ? kOk : "\r\nERROR\r\n"; });
  Start(modem, TFaxClass::fcClass1);
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, ecFaxBadModemResult);
  EXPECT_TRUE(logs_.empty());
}

// The Class 2 / 2.0 modem part: preparation, set-up, one RING.
void Class2SetUp(test::ScriptedModem& modem, const std::string& selectClass) {
  modem.Answer("ATE0", kOk);
  // The set-up ends with the capabilities (Class 2) or AT+FNR (Class 2.0).
  const std::string last = selectClass == "2" ? "AT+FDCC=" : "AT+FNR=";
  modem.Answer(last, kOk + "\r\nRING\r\n");
  for (const std::string command : {"AT+FCLASS=", "AT+FCR=1", "AT+FLI", "AT+FAA=0", "AT+FCC=", "AT+FLO=2"}) {
    modem.Answer(command, kOk);
  }
  modem.Answer("ATH", kOk);
}

TEST_F(Receiving, Class2PagesAreBitReversedAndARetrainedPageIsCutOff) {
  test::ScriptedModem modem("rx-class2");
  Class2SetUp(modem, "2");
  modem.Answer("ATA", "\r\n+FCON\r\n+FTSI: \"  CALLER 2\"\r\n+FDCS: 1,3,0,2,0,0,0,0\r\n" + kOk);
  const std::string first = PageBytes(1);
  const std::string again = PageBytes(2);
  auto dc2 = std::make_shared<int>(0);
  modem.Answer("\x12", [=](const std::string&) {
    // The first try fails its quality check (+FPTS:2); the page comes again.
    if (++*dc2 == 1) return DleDoubled(first) + kDataEnd + "\r\n+FPTS:2\r\n+FET:0\r\n" + kOk;
    return DleDoubled(again) + kDataEnd + "\r\n+FPTS:1\r\n+FET:2\r\n" + kOk;
  });
  auto fdr = std::make_shared<int>(0);
  modem.Answer("AT+FDR", [fdr](const std::string&) { return ++*fdr <= 2 ? kConnect : "\r\n+FHNG:0\r\n" + kOk; });
  Start(modem, TFaxClass::fcClass2);
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, 0);
  EXPECT_EQ(fax_->RemoteID(), "CALLER 2");
  const StoredFax stored = ReadFax(fileName_);
  ASSERT_EQ(stored.header.pageCount, 1);
  EXPECT_TRUE(stored.pages[0] == Reversed(again));
  EXPECT_EQ(stored.pageHeaders[0].pageFlags, kApfFine);
  EXPECT_EQ(std::filesystem::file_size(fileName_), 64u + 16u + again.size());
}

TEST_F(Receiving, Class2_0PagesAreStoredAsReceived) {
  test::ScriptedModem modem("rx-class20");
  Class2SetUp(modem, "2.0");
  modem.Answer("ATA", "\r\n+FCO\r\n+FTI: \"CALLER 20\"\r\n+FCS: 0,5,0,2,0,0,0,0\r\n" + kOk);
  const std::string page = PageBytes(3);
  modem.Answer("\x12", DleDoubled(page) + kDataEnd + "\r\n+FPS:1\r\n+FET:2\r\n" + kOk);
  auto fdr = std::make_shared<int>(0);
  modem.Answer("AT+FDR", [fdr](const std::string&) { return ++*fdr == 1 ? kConnect : "\r\n+FHS:00\r\n" + kOk; });
  Start(modem, TFaxClass::fcClass2_0);
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, 0);
  EXPECT_EQ(fax_->BitRate(), 14400);
  const StoredFax stored = ReadFax(fileName_);
  ASSERT_EQ(stored.header.pageCount, 1);
  EXPECT_TRUE(stored.pages[0] == page);
}

// Every page arrived, but the modem reports an abnormal end of the call: the
// pages are kept and the call is a failure with its own message.
TEST_F(Receiving, Class2AbnormalHangupCodeAfterTheLastPageIsAFailure) {
  test::ScriptedModem modem("rx-class2-fhng-end");
  Class2SetUp(modem, "2");
  modem.Answer("ATA", "\r\n+FCON\r\n+FTSI: \"CALLER 2\"\r\n+FDCS: 0,3,0,2,0,0,0,0\r\n" + kOk);
  const std::string page = PageBytes(1);
  modem.Answer("\x12", DleDoubled(page) + kDataEnd + "\r\n+FPTS:1\r\n+FET:2\r\n" + kOk);
  modem.AnswerInTurn("AT+FDR", {kConnect, "\r\n+FHNG:54\r\n" + kOk});
  Start(modem, TFaxClass::fcClass2);
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, ecFaxAbnormalHangup);
  EXPECT_EQ(fax_->HangupCode(), 54);
  EXPECT_EQ(logs_, (std::vector{TFaxLogCode::lfaxReceiveStart, TFaxLogCode::lfaxReceiveFail}));
  EXPECT_TRUE(ReadFax(fileName_).pages == std::vector<std::string>{Reversed(page)});
}

TEST_F(Receiving, Class2HangupReportInMidSessionFailsAndKeepsNothingEmpty) {
  test::ScriptedModem modem("rx-class2-fhng");
  Class2SetUp(modem, "2");
  modem.Answer("ATA", "\r\n+FCON\r\n+FTSI: \"CALLER 2\"\r\n+FDCS: 0,3,0,2,0,0,0,0\r\n" + kOk);
  modem.Answer("AT+FDR", "\r\n+FHNG:50\r\n" + kOk);
  Start(modem, TFaxClass::fcClass2);
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, ecFaxSessionError);
  EXPECT_EQ(fax_->HangupCode(), 50);
  EXPECT_EQ(logs_, (std::vector{TFaxLogCode::lfaxReceiveStart, TFaxLogCode::lfaxReceiveFail}));
  // The call broke off before any page: no empty fax file is left behind.
  EXPECT_FALSE(std::filesystem::exists(fileName_));
}

}  // namespace
}  // namespace tv

namespace tv {
namespace {

TEST_F(Receiving, AnswersOnTheRingAskedForAndNoCarrierBetweenRingsOnlyShowsStatus) {
  test::ScriptedModem modem("rx-rings");
  Class2SetUp(modem, "2");
  modem.Answer("ATA", "\r\n+FCON\r\n+FTSI: \"R3\"\r\n+FDCS: 0,3,0,2,0,0,0,0\r\n" + kOk);
  modem.Answer("\x12", DleDoubled(PageBytes(1)) + kDataEnd + "\r\n+FPTS:1\r\n+FET:2\r\n" + kOk);
  auto fdr = std::make_shared<int>(0);
  modem.Answer("AT+FDR", [fdr](const std::string&) { return ++*fdr == 1 ? kConnect : "\r\n+FHNG:0\r\n" + kOk; });
  std::vector<int> statuses;
  fax_->OnFaxStatus = [&](TQaAbstractFax& f, bool, bool) { statuses.push_back(f.Status()); };
  fax_->SetAnswerOnRing(3);
  Start(modem, TFaxClass::fcClass2);
  // The set-up answer brought the first RING; two more follow, a NO CARRIER between them.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  while (std::chrono::steady_clock::now() < until) ui_.WaitForMessages(20);
  EXPECT_EQ(fax_->Session().state, TFaxReceiverMachine::kWaitForRing);  // still waiting: one ring so far
  modem.Modem().Receive("\r\nNO CARRIER\r\n");
  const auto until2 = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  while (std::chrono::steady_clock::now() < until2) ui_.WaitForMessages(20);
  EXPECT_NE(std::find(statuses.begin(), statuses.end(), fsNoConnect), statuses.end());
  modem.Modem().Receive("\r\nRING\r\n");
  const auto until3 = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  while (std::chrono::steady_clock::now() < until3) ui_.WaitForMessages(20);
  EXPECT_EQ(fax_->Session().state, TFaxReceiverMachine::kWaitForRing);
  modem.Modem().Receive("\r\nRING\r\n");
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, 0);
  const auto commands = modem.Commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "ATA"), 1);
}

// A caller that gave up after one ring must not make the next call answer
// on its first: after a pause longer than a ring cycle the count starts again.
TEST_F(Receiving, RingCountStartsAgainForEachCall) {
  test::ScriptedModem modem("rx-ring-restart");
  Class2SetUp(modem, "2");
  modem.Answer("ATA", "\r\n+FCON\r\n+FTSI: \"R2\"\r\n+FDCS: 0,3,0,2,0,0,0,0\r\n" + kOk);
  modem.Answer("\x12", DleDoubled(PageBytes(1)) + kDataEnd + "\r\n+FPTS:1\r\n+FET:2\r\n" + kOk);
  modem.AnswerInTurn("AT+FDR", {kConnect, "\r\n+FHNG:0\r\n" + kOk});
  fax_->SetAnswerOnRing(2);
  fax_->Session().receiver.ringGapTicks = 9;  // half a second
  Start(modem, TFaxClass::fcClass2);
  // The set-up answer brought the first call's one ring. The next call rings twice.
  auto wait = [&](int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) ui_.WaitForMessages(20);
  };
  wait(1200);
  modem.Modem().Receive("\r\nRING\r\n");
  wait(200);
  EXPECT_EQ(Starting(modem.Commands(), "ATA").size(), 0u);
  modem.Modem().Receive("\r\nRING\r\n");
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, 0);
  EXPECT_EQ(Starting(modem.Commands(), "ATA").size(), 1u);
}

// The modem disappears while calls are awaited: the session ends as the
// device gone, although nothing was written to it and no time runs.
TEST_F(Receiving, ModemGoneWhileWaitingForCallsEndsTheSession) {
  test::ScriptedModem modem("rx-gone");
  modem.Answer("ATE0", kOk);
  modem.Answer("AT+FRM=?", "\r\n24,48\r\n" + kOk);
  modem.Answer("AT+FCLASS=1", kOk);
  Start(modem, TFaxClass::fcClass1);
  fax_->SetExitOnError(false);  // a device that has gone ends the session all the same
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
  while (std::chrono::steady_clock::now() < until) ui_.WaitForMessages(20);
  ASSERT_EQ(fax_->Status(), fsWaitingForCall);
  modem.Modem().Vanish();
  ASSERT_TRUE(RunToFinish(5));
  EXPECT_EQ(finishCode_, ecDeviceGone);
  EXPECT_EQ(errors_, std::vector<int>{ecDeviceGone});
}

TEST_F(Receiving, AbortWhileWaitingForCallsEndsTheSessionAsUserAbort) {
  test::ScriptedModem modem("rx-abort");
  modem.Answer("ATE0", kOk);
  modem.Answer("AT+FRM=?", "\r\n24,48\r\n" + kOk);
  modem.Answer("AT+FCLASS=1", kOk);
  std::vector<bool> lasts;
  fax_->OnFaxStatus = [&](TQaAbstractFax&, bool, bool last) { lasts.push_back(last); };
  Start(modem, TFaxClass::fcClass1);
  fax_->SetExitOnError(false);  // only the abort ends this session
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
  while (std::chrono::steady_clock::now() < until) ui_.WaitForMessages(20);
  fax_->AbortFax();
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, ecCancelRequested);
  EXPECT_EQ(fax_->Status(), fsUserAbort);
  ASSERT_FALSE(lasts.empty());
  EXPECT_TRUE(lasts.back());  // the display gets its last report
}

}  // namespace
}  // namespace tv

namespace tv {
namespace {

// A new document of the same fax (+FET:1, EOM) goes into the same file,
// at the resolution the modem reports for it.
TEST_F(Receiving, Class2NewDocumentInTheSameCallStaysInTheSameFile) {
  test::ScriptedModem modem("rx-class2-eom");
  Class2SetUp(modem, "2");
  modem.Answer("ATA", "\r\n+FCON\r\n+FTSI: \"TWO DOCS\"\r\n+FDCS: 0,3,0,2,0,0,0,0\r\n" + kOk);
  auto dc2 = std::make_shared<int>(0);
  modem.Answer("\x12", [dc2](const std::string&) {
    const int n = ++*dc2;
    return DleDoubled(PageBytes(n)) + kDataEnd + "\r\n+FPTS:1\r\n+FET:" + (n == 1 ? "1" : "2") + "\r\n" + kOk;
  });
  modem.AnswerInTurn("AT+FDR", {kConnect, "\r\n+FDCS: 1,3,0,2,0,0,0,0\r\n" + kConnect, "\r\n+FHNG:0\r\n" + kOk});
  Start(modem, TFaxClass::fcClass2);
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, 0);
  EXPECT_EQ(logs_, (std::vector{TFaxLogCode::lfaxReceiveStart, TFaxLogCode::lfaxReceiveOk}));
  const StoredFax stored = ReadFax(fileName_);
  EXPECT_TRUE(stored.pages == (std::vector<std::string>{Reversed(PageBytes(1)), Reversed(PageBytes(2))}));
  ASSERT_EQ(stored.pageHeaders.size(), 2u);
  EXPECT_EQ(stored.pageHeaders[0].pageFlags, 0);
  EXPECT_EQ(stored.pageHeaders[1].pageFlags, kApfFine);
}

// The modem's answer to each page: MCF, RTP and PIP keep it; RTN and PIN
// drop it, and the caller sends it again.
TEST_F(Receiving, Class2PageResultsKeepOrDropThePage) {
  test::ScriptedModem modem("rx-class2-pts");
  Class2SetUp(modem, "2");
  modem.Answer("ATA", "\r\n+FCON\r\n+FTSI: \"CALLER 2\"\r\n+FDCS: 0,3,0,2,0,0,0,0\r\n" + kOk);
  const std::string results[] = {"3", "4", "5", "2", "1"};
  auto dc2 = std::make_shared<int>(0);
  modem.Answer("\x12", [dc2, results](const std::string&) {
    const int n = ++*dc2;
    return DleDoubled(PageBytes(n)) + kDataEnd + "\r\n+FPTS:" + results[n - 1] + "\r\n+FET:" + (n == 5 ? "2" : "0") +
           "\r\n" + kOk;
  });
  auto fdr = std::make_shared<int>(0);
  modem.Answer("AT+FDR", [fdr](const std::string&) { return ++*fdr <= 5 ? kConnect : "\r\n+FHNG:0\r\n" + kOk; });
  Start(modem, TFaxClass::fcClass2);
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, 0);
  EXPECT_TRUE(ReadFax(fileName_).pages ==
              (std::vector<std::string>{Reversed(PageBytes(1)), Reversed(PageBytes(3)), Reversed(PageBytes(5))}));
}

}  // namespace
}  // namespace tv
