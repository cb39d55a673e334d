// The sender machine behind a TQaSendFax component, against scripted Class 1,
// Class 2 and Class 2.0 modems on the simulated device layer: what goes out
// on the wire, and how each failure of the modem or the far end ends a call.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "comm/dispatcher.h"
#include "fax/class1_frames.h"
#include "fax/fax_components.h"
#include "fax/hdlc.h"
#include "fax/post_page.h"
#include "fax/session_parameters.h"
#include "image/apf_file.h"
#include "image/fax_converter.h"
#include "image/t4_2d_coding.h"
#include "image/t4_coding.h"
#include "platform/error_codes.h"
#include "tests/fax/apf_pages.h"
#include "tests/fax/scripted_fax_test.h"

namespace tv {
namespace {

using test::DecodedRows;
using test::DleDoubled;
using test::DleUndone;
using test::Frame;
using test::kConnect;
using test::kDataEnd;
using test::kError;
using test::kOk;
using test::Rows;
using test::StoredRows;
using test::WriteStreamApf;

const std::string kLineStart("\0\0\0\0\0\x80", 6);  // EOL, least significant bit first

// The type of a frame we wrote; every frame of ours carries the caller's X bit.
std::uint8_t FrameFcf(const std::string& frame) {
  EXPECT_TRUE(static_cast<std::uint8_t>(frame[2]) & kFcfXBit);
  return FrameType(static_cast<std::uint8_t>(frame[2]));
}
bool IsFrame(const std::string& command) { return command.size() > 2 && command[0] == '\xFF'; }

// The far end's DIS: up to 9600 (V.29 and V.27 ter), wide, fine unless
// told otherwise, and the minimum scan-line time of 10 ms at standard
// resolution.
std::string DisInfo(bool fine = true, bool errorCorrection = false) {
  SessionParameters p;
  p.SetRate(kV29_9600);
  p.allowErrorCorrection = errorCorrection;
  p.codingLimit = errorCorrection ? T4Coding::kMmr : T4Coding::kMh;
  auto octets = CapabilityOctets(true, p);
  if (!fine) octets[1] = static_cast<std::uint8_t>(octets[1] & ~0x40);
  octets[2] = static_cast<std::uint8_t>((octets[2] & ~0x70) | 0x20);
  return std::string(octets.begin(), octets.end());
}
constexpr int kDisScanCode = 3;  // 10 ms standard, as DisInfo says

// The bit rate a DCS we wrote names.
int DcsBps(const std::string& frame) {
  SessionParameters p;
  ParseCapabilities(p, false, FrameCapabilities(ReadFrame(frame)), false, false);
  return p.bitRate;
}

std::vector<std::string> Starting(const std::vector<std::string>& commands, const std::string& prefix) {
  std::vector<std::string> found;
  std::copy_if(commands.begin(), commands.end(), std::back_inserter(found),
               [&](const std::string& c) { return c.rfind(prefix, 0) == 0; });
  return found;
}

// The control fields of the final frames we wrote (DCS, MPS, EOP, DCN), in order.
std::vector<std::uint8_t> FinalFrames(const std::vector<std::string>& commands) {
  std::vector<std::uint8_t> fcfs;
  for (const std::string& c : commands) {
    if (IsFrame(c) && c[1] == '\x13') fcfs.push_back(FrameFcf(c));
  }
  return fcfs;
}

// A page block written after CONNECT: the line start (and any header line)
// ahead of the page data, then the end. Checks the page data and the end,
// and returns what came ahead of the page.
std::string PageLead(const std::string& block, const std::string& page, const std::string& end) {
  const std::string tail = page + end;
  if (block.size() < tail.size() || block.compare(block.size() - tail.size(), tail.size(), tail) != 0) {
    ADD_FAILURE() << "the block does not end with the page data (" << block.size() << " bytes, page " << page.size()
                  << ")";
    return {};
  }
  return block.substr(0, block.size() - tail.size());
}

// Pages in stream form with bytes that need care on the wire: DLE, CR, XON,
// and values that read differently bit-reversed.
std::string StreamPage(int page) {
  std::string bytes("\x00\x80\x10\x01\x0D\x11\x13\xF0", 8);
  bytes += "page " + std::to_string(page);
  bytes += std::string(3000, static_cast<char>(0x30 + page));
  bytes += "\x10\x10\x01";
  return bytes;
}


// In a list of far-end answers: no frame comes, the modem says ERROR.
constexpr std::uint8_t kModemError = 0;

// The far end of a Class 1 call: its answer to each training (CFR or FTT)
// and to each post-page message (MCF, RTN, DCN ...), in turn; CFR and MCF
// once the lists run out.
struct Class1FarEnd {
  std::vector<std::uint8_t> trainingAnswers;
  std::vector<std::uint8_t> pageAnswers;  // and to PPS with error correction
  bool fine = true;  // the DIS offers fine resolution
  bool errorCorrection = false;  // the DIS offers error correction and MMR
  std::vector<std::string> pprMaps = {};  // the maps of its PPRs, in turn
};

class Sending : public test::ScriptedFaxTest<TQaSendFax> {
 protected:
  void SetUp() override {
    ScriptedFaxTest::SetUp();
    Address();
  }

  // A fresh component for a further call in the same test.
  void NewFax() {
    ScriptedFaxTest::NewFax();
    Address();
  }

  void Address() {
    fax_->SetStationID("tess tx 1");
    fax_->SetPhoneNumber("5551234");
  }

  void Start(test::ScriptedModem& modem, TFaxClass faxClass, const std::string& file) {
    Attach(modem, faxClass);
    fax_->SetFaxFile(file);
    ASSERT_EQ(fax_->BeginSending(), 0);
  }

  bool RunToFinish(int seconds = 20) { return ScriptedFaxTest::RunToFinish(seconds); }

  // Two pages of text in line-block form, as the converter makes them.
  std::string TextFax(bool fine = false) {
    std::ofstream text(dir_.File("letter.txt"));
    for (int i = 1; i <= 10; ++i) text << "Line " << i << " of the letter to the far end.\n";
    text.close();
    FaxConverter converter(MakeTextInput(), "TXT");
    converter.SetLinesPerPage(5);
    converter.SetFine(fine);
    EXPECT_EQ(converter.Convert(dir_.File("letter.txt"), dir_.File("letter.apf")), 0);
    TApfFileHeader header;
    EXPECT_EQ(ApfReadFileHeader(dir_.File("letter.apf"), header), 0);
    EXPECT_EQ(header.pageCount, 2);
    return dir_.File("letter.apf");
  }

  std::string StreamFax(int pages, std::uint16_t flags = 0) {
    return StreamFax(std::vector<std::uint16_t>(static_cast<std::size_t>(pages), flags));
  }
  // One page for each of the flags given.
  std::string StreamFax(const std::vector<std::uint16_t>& flags) {
    std::vector<std::string> data;
    for (std::size_t page = 1; page <= flags.size(); ++page) data.push_back(StreamPage(static_cast<int>(page)));
    WriteStreamApf(dir_.File("stream.apf"), data, flags);
    return dir_.File("stream.apf");
  }

  // A Class 1 modem: preparation and set-up, the dial answered with the far
  // end's CSI and (at the next AT+FRH=3) its DIS, and then the far end's
  // answers after each DCS and training and after each post-page message;
  // after EOM its DIS follows the answer.
  static void Class1Modem(test::ScriptedModem& modem, const Class1FarEnd& farEnd) {
    modem.Answer("ATE0", kOk);
    modem.Answer("AT+FCLASS=1", kOk);
    modem.AnswerExactly("AT+FTM=?", "\r\n24,48,72,96\r\n" + kOk);
    modem.Answer("ATH", kOk);
    modem.Answer("ATS7=", kOk);
    modem.Answer("ATD", kConnect + Frame(kFcfCSI, EncodeStationId("FAR END 9"), false) + kOk);
    const std::string dis = kConnect + Frame(kFcfDIS, DisInfo(farEnd.fine, farEnd.errorCorrection), true) + kOk;
    // The answers to the next receptions; the last one stays.
    auto next = std::make_shared<std::deque<std::string>>(1, dis);
    auto trainings = std::make_shared<std::size_t>(0);
    auto postPages = std::make_shared<std::size_t>(0);
    auto pprs = std::make_shared<std::size_t>(0);
    modem.Answer("AT+FRH=3", [next](const std::string&) {
      const std::string answer = next->front();
      if (next->size() > 1) next->pop_front();
      return answer;
    });
    modem.Answer("AT+FTH=3", kConnect);
    // After a frame with more to follow (our TSI) the modem is ready for the
    // next one; after the final frame of a block it is done.
    modem.Answer("\xFF\x03", kConnect);
    modem.Answer("\xFF\x13", [=](const std::string& frame) {
      auto answer = [&](const std::vector<std::uint8_t>& list, std::size_t& count, std::uint8_t otherwise) {
        const std::uint8_t fcf = count < list.size() ? list[count] : otherwise;
        ++count;
        const std::string info = fcf == kFcfPPR ? farEnd.pprMaps.at((*pprs)++) : "";
        return fcf == kModemError ? kError : kConnect + Frame(fcf, info, true) + kOk;
      };
      const std::uint8_t fcf = FrameFcf(frame);
      if (fcf == kFcfDCS) *next = {answer(farEnd.trainingAnswers, *trainings, kFcfCFR)};
      if (AfterPageOf(fcf) || fcf == kFcfPPS) *next = {answer(farEnd.pageAnswers, *postPages, kFcfMCF)};
      if (fcf == kFcfEOM) next->push_back(dis);
      return kOk;
    });
    modem.Answer("AT+FTM=", kConnect);
    modem.AnswerData("AT+FTM=", "\x03", kOk);
  }

  // A Class 2 or 2.0 modem up to the dial.
  static void Class2Modem(test::ScriptedModem& modem) {
    for (const char* command :
         {"ATE0", "AT+FCLASS=", "AT+FLI", "AT+FLO=", "AT+FNR=", "AT+FDIS=", "AT+FIS=", "ATS7=", "ATH"}) {
      modem.Answer(command, kOk);
    }
  }
};

const std::vector<TFaxLogCode> kSent = {TFaxLogCode::lfaxTransmitStart, TFaxLogCode::lfaxTransmitOk};
const std::vector<TFaxLogCode> kFailed = {TFaxLogCode::lfaxTransmitStart, TFaxLogCode::lfaxTransmitFail};

// --- Class 1 -------------------------------------------------------------------

TEST_F(Sending, Class1TwoPagesGoOutWithOurIdentityAndEachPageAsStored) {
  test::ScriptedModem modem("tx-class1");
  Class1Modem(modem, {});
  const std::string file = TextFax();
  Start(modem, TFaxClass::fcClass1, file);
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, 0);
  EXPECT_TRUE(errors_.empty());
  EXPECT_EQ(logs_, kSent);
  EXPECT_EQ(fax_->RemoteID(), "FAR END 9");
  EXPECT_EQ(fax_->BitRate(), 9600);
  EXPECT_FALSE(fax_->PagesReduced());

  const auto commands = modem.Commands();
  EXPECT_EQ(Starting(commands, "ATD"), std::vector<std::string>{"ATDT5551234"});
  // Our station ID goes out upper-cased in the TSI, ahead of the DCS.
  const auto tsi =
      std::find(commands.begin(), commands.end(), Frame(kFcfTSI | kFcfXBit, EncodeStationId("TESS TX 1"), false));
  const auto dcs = std::find_if(commands.begin(), commands.end(),
                                [](const std::string& c) { return IsFrame(c) && FrameFcf(c) == kFcfDCS; });
  ASSERT_NE(tsi, commands.end());
  ASSERT_NE(dcs, commands.end());
  EXPECT_LT(tsi, dcs);
  EXPECT_EQ(DcsBps(*dcs), 9600);
  EXPECT_EQ(FinalFrames(commands), (std::vector<std::uint8_t>{kFcfDCS, kFcfMPS, kFcfEOP, kFcfDCN}));
  EXPECT_EQ(Starting(commands, "AT+FTM=9"), (std::vector<std::string>{"AT+FTM=96", "AT+FTM=96", "AT+FTM=96"}));
  EXPECT_EQ(commands.back(), "ATH");

  // Training of zeros, then each page: the line start, the stored lines
  // (each lasting at least the 10 ms the far end asks for, which the page's
  // own tests check), DLE ETX.
  const auto blocks = modem.DataBlocks();
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_EQ(blocks[0].find_first_not_of('\0'), blocks[0].size() - 2);
  EXPECT_EQ(blocks[0].substr(blocks[0].size() - 2), kDataEnd);
  ASSERT_EQ(MinBytesPerLine(kDisScanCode, false, 9600), 12);
  for (int page = 1; page <= 2; ++page) {
    const std::string& block = blocks[static_cast<std::size_t>(page)];
    EXPECT_EQ(block.substr(0, kLineStart.size()), kLineStart) << "page " << page;
    EXPECT_EQ(block.substr(block.size() - 2), kDataEnd) << "page " << page;
    const std::string sent = DleUndone(block.substr(kLineStart.size(), block.size() - kLineStart.size() - 2));
    EXPECT_TRUE(DecodedRows(sent) == StoredRows(file, page)) << "page " << page;
  }
}

TEST_F(Sending, Class1HeaderLineIsDrawnBetweenTheLineStartAndThePage) {
  test::ScriptedModem modem("tx-class1-header");
  // Line noise before the CONNECT of the dial is passed over.
  modem.Answer("ATD", "\r\n#!~ line noise\r\n\r\nRINGING\r\n" + kConnect +
                          Frame(kFcfCSI, EncodeStationId("FAR END 9"), false) + kOk);
  Class1Modem(modem, {});
  const std::string file = StreamFax(1);
  fax_->SetHeaderLine("FROM $I PAGE $P OF $N");
  Start(modem, TFaxClass::fcClass1, file);
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, 0);
  EXPECT_EQ(FinalFrames(modem.Commands()), (std::vector<std::uint8_t>{kFcfDCS, kFcfEOP, kFcfDCN}));
  const auto blocks = modem.DataBlocks();
  ASSERT_EQ(blocks.size(), 2u);
  // A stream page goes out exactly as stored, only DLE-doubled.
  const std::string lead = PageLead(blocks[1], DleDoubled(StreamPage(1)), kDataEnd);
  EXPECT_EQ(lead.substr(0, kLineStart.size()), kLineStart);
  // The header rows are coded lines with black in them, each padded to the minimum.
  EXPECT_GT(lead.size(), 100u);
  EXPECT_NE(lead.find_first_not_of(std::string("\0\x80", 2), kLineStart.size()), std::string::npos);
}

// A text cover page goes first, as a page of its own that ends with the
// end-of-page code; then the pages of the fax file.
TEST_F(Sending, Class1TextCoverGoesAheadOfThePages) {
  test::ScriptedModem modem("tx-class1-cover");
  Class1Modem(modem, {});
  std::ofstream(dir_.File("cover.txt")) << "FAX COVER\nTo: the far end\nPages: $N\n";
  fax_->SetCoverFile(dir_.File("cover.txt"));
  Start(modem, TFaxClass::fcClass1, StreamFax(1));
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, 0);
  EXPECT_EQ(logs_, kSent);
  EXPECT_EQ(FinalFrames(modem.Commands()), (std::vector<std::uint8_t>{kFcfDCS, kFcfMPS, kFcfEOP, kFcfDCN}));
  const auto blocks = modem.DataBlocks();
  ASSERT_EQ(blocks.size(), 3u);
  const std::string rtc(kEndOfPageCodes.begin(), kEndOfPageCodes.end());
  const std::string cover = blocks[1];
  EXPECT_EQ(cover.substr(0, kLineStart.size()), kLineStart);
  EXPECT_GT(cover.size(), 3u * 16 * 12);  // three lines of 16 rows, each of at least 12 bytes
  // The end-of-page code closes the page, followed by no more than padding.
  const auto end = cover.rfind(rtc);
  ASSERT_NE(end, std::string::npos);
  EXPECT_EQ(cover.find_first_not_of('\0', end + rtc.size()), cover.size() - 2);
  EXPECT_EQ(cover.substr(cover.size() - 2), kDataEnd);
  PageLead(blocks[2], DleDoubled(StreamPage(1)), kDataEnd);
}

TEST_F(Sending, Class1FailedTrainingStepsTheRateDownAndTrainsAgain) {
  test::ScriptedModem modem("tx-class1-ftt");
  Class1Modem(modem, {{kFcfFTT, kFcfCFR}, {}});
  const std::string file = StreamFax(1);
  Start(modem, TFaxClass::fcClass1, file);
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, 0);
  EXPECT_EQ(fax_->BitRate(), 7200);
  const auto commands = modem.Commands();
  std::vector<int> dcsRates;
  for (const std::string& c : commands) {
    if (IsFrame(c) && FrameFcf(c) == kFcfDCS) dcsRates.push_back(DcsBps(c));
  }
  EXPECT_EQ(dcsRates, (std::vector<int>{9600, 7200}));
  // Two trainings and the page, the page at the rate trained last.
  EXPECT_EQ(Starting(commands, "AT+FTM="),
            (std::vector<std::string>{"AT+FTM=?", "AT+FTM=96", "AT+FTM=72", "AT+FTM=72"}));
  const auto blocks = modem.DataBlocks();
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_EQ(blocks[1].size(), 7200u / 100 * 18 + 2);  // 1.5 s of zeros at the new rate
  PageLead(blocks[2], DleDoubled(StreamPage(1)), kDataEnd);
}

TEST_F(Sending, Class1TrainingThatFailsAtTheLowestRateEndsWithTrainingFailed) {
  test::ScriptedModem modem("tx-class1-ftt-all");
  Class1Modem(modem, {{kFcfFTT, kFcfFTT, kFcfFTT, kFcfFTT}, {}});
  Start(modem, TFaxClass::fcClass1, StreamFax(1));
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, ecFaxTrainError);
  EXPECT_EQ(errors_, std::vector<int>{ecFaxTrainError});
  EXPECT_EQ(logs_, kFailed);
  const auto commands = modem.Commands();
  EXPECT_EQ(Starting(commands, "AT+FTM=")[4], "AT+FTM=24");
  EXPECT_EQ(Starting(commands, "AT+FTM=").size(), 5u);  // the query and four trainings, no page
  EXPECT_EQ(commands.back(), "ATH");
}

// RTN: the page was not good enough. The sender steps the rate down, sends
// DCS and trains again, and sends the same page once more.
TEST_F(Sending, Class1RtnAfterAPageRetrainsLowerAndSendsThePageAgain) {
  test::ScriptedModem modem("tx-class1-rtn");
  Class1Modem(modem, {{}, {kFcfMCF, kFcfRTN, kFcfMCF}});
  const std::string file = StreamFax(2);
  Start(modem, TFaxClass::fcClass1, file);
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, 0);
  EXPECT_EQ(logs_, kSent);
  const auto commands = modem.Commands();
  EXPECT_EQ(FinalFrames(commands), (std::vector<std::uint8_t>{kFcfDCS, kFcfMPS, kFcfEOP, kFcfDCS, kFcfEOP, kFcfDCN}));
  const auto blocks = modem.DataBlocks();
  // Training, page 1, page 2, training at 7200, page 2 again.
  ASSERT_EQ(blocks.size(), 5u);
  PageLead(blocks[1], DleDoubled(StreamPage(1)), kDataEnd);
  PageLead(blocks[2], DleDoubled(StreamPage(2)), kDataEnd);
  EXPECT_EQ(blocks[3].size(), 7200u / 100 * 18 + 2);
  EXPECT_EQ(PageLead(blocks[4], DleDoubled(StreamPage(2)), kDataEnd).substr(0, kLineStart.size()), kLineStart);
  EXPECT_EQ(fax_->BitRate(), 7200);
}

// The far end's DCN ends the call as the far end's doing, in the phase it came.
TEST_F(Sending, Class1DcnFromTheFarEndEndsTheCallAsTheFarEndsDoing) {
  test::ScriptedModem modem("tx-class1-dcn");
  Class1Modem(modem, {{}, {kFcfDCN}});
  Start(modem, TFaxClass::fcClass1, StreamFax(2));
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, ecFaxRemoteEndedAfterPage);
  EXPECT_EQ(errors_, std::vector<int>{ecFaxRemoteEndedAfterPage});
  EXPECT_EQ(logs_, kFailed);
  const auto commands = modem.Commands();
  EXPECT_EQ(FinalFrames(commands), (std::vector<std::uint8_t>{kFcfDCS, kFcfMPS}));
  EXPECT_EQ(commands.back(), "ATH");

  NewFax();
  test::ScriptedModem early("tx-class1-dcn-training");
  Class1Modem(early, {{kFcfDCN}, {}});
  Start(early, TFaxClass::fcClass1, StreamFax(2));
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, ecFaxRemoteEndedSetUp);
  EXPECT_EQ(FinalFrames(early.Commands()), (std::vector<std::uint8_t>{kFcfDCS}));
}

// Pages of another resolution than the one negotiated start a new document:
// EOM after the page before them, the far end's DIS again, and a DCS for
// their resolution.
TEST_F(Sending, Class1PagesOfAnotherResolutionGoAsANewDocumentAfterEom) {
  test::ScriptedModem modem("tx-class1-eom");
  Class1Modem(modem, {});
  Start(modem, TFaxClass::fcClass1, StreamFax({0, kApfFine, kApfFine}));
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, 0);
  EXPECT_TRUE(errors_.empty());
  EXPECT_EQ(logs_, kSent);
  const auto commands = modem.Commands();
  EXPECT_EQ(FinalFrames(commands),
            (std::vector<std::uint8_t>{kFcfDCS, kFcfEOM, kFcfDCS, kFcfMPS, kFcfEOP, kFcfDCN}));
  std::vector<bool> fine;
  for (const std::string& c : commands) {
    if (IsFrame(c) && FrameFcf(c) == kFcfDCS) fine.push_back(FrameCapabilities(ReadFrame(c)).Has(t30bit::kFine));
  }
  EXPECT_EQ(fine, (std::vector<bool>{false, true}));
  const auto blocks = modem.DataBlocks();
  ASSERT_EQ(blocks.size(), 5u);  // training, page 1, training, pages 2 and 3
  for (const std::size_t page : {1u, 3u, 4u}) {
    PageLead(blocks[page], DleDoubled(StreamPage(page == 1 ? 1 : static_cast<int>(page) - 1)), kDataEnd);
  }
}

// ERROR instead of the far end's answer to MPS: the post-page message goes
// again, three times at most, and then the call ends with the time-out and
// a DCN to the far end.
TEST_F(Sending, Class1ErrorForThePostPageAnswerRepeatsThePostPageMessage) {
  test::ScriptedModem again("tx-class1-ppm-again");
  Class1Modem(again, {{}, {kModemError, kModemError, kFcfMCF}});
  Start(again, TFaxClass::fcClass1, StreamFax(2));
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, 0);
  EXPECT_EQ(FinalFrames(again.Commands()),
            (std::vector<std::uint8_t>{kFcfDCS, kFcfMPS, kFcfMPS, kFcfMPS, kFcfEOP, kFcfDCN}));
  EXPECT_EQ(again.DataBlocks().size(), 3u);  // each page once

  NewFax();
  test::ScriptedModem never("tx-class1-ppm-never");
  Class1Modem(never, {{}, {kModemError, kModemError, kModemError, kModemError}});
  Start(never, TFaxClass::fcClass1, StreamFax(2));
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, ecTimeout);
  EXPECT_EQ(logs_, kFailed);
  EXPECT_EQ(FinalFrames(never.Commands()),
            (std::vector<std::uint8_t>{kFcfDCS, kFcfMPS, kFcfMPS, kFcfMPS, kFcfDCN}));
}

// A frame whose check sequence was wrong (the modem says ERROR after it) is
// asked for again and never acted on: not a DIS, not a DCN, not an MCF.
TEST_F(Sending, Class1DamagedFramesAreAskedForAgainAndNeverActedOn) {
  test::ScriptedModem modem("tx-class1-damaged");
  auto damaged = [](std::uint8_t fcf, const std::string& info = {}) {
    return kConnect + Frame(fcf, info, true) + kError;
  };
  auto good = [](std::uint8_t fcf, const std::string& info = {}) { return kConnect + Frame(fcf, info, true) + kOk; };
  modem.AnswerInTurn("AT+FRH=3", {damaged(kFcfDIS, DisInfo()), good(kFcfDIS, DisInfo()), damaged(kFcfDCN),
                                  good(kFcfCFR), damaged(kFcfMCF), good(kFcfMCF)});
  Class1Modem(modem, {});  // its frame receptions are the ones above
  Start(modem, TFaxClass::fcClass1, StreamFax(1));
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, 0);
  EXPECT_EQ(logs_, kSent);
  const auto commands = modem.Commands();
  EXPECT_EQ(FinalFrames(commands), (std::vector<std::uint8_t>{kFcfDCS, kFcfEOP, kFcfDCN}));
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "AT+FRH=3"), 6);
  EXPECT_EQ(modem.DataBlocks().size(), 2u);
}

// No answer to DCS and training within T4 (3 s, not the 10 s of a modem
// command): DCS and training go again, and the CFR to that is taken.
TEST_F(Sending, Class1NoAnswerToTheTrainingWithinT4SendsDcsAgain) {
  test::ScriptedModem modem("tx-class1-t4");
  modem.AnswerBareCr(kOk);  // the modem's answer to the reception given up
  const std::string dis = kConnect + Frame(kFcfDIS, DisInfo(), true) + kOk;
  const std::string cfr = kConnect + Frame(kFcfCFR, "", true) + kOk;
  const std::string mcf = kConnect + Frame(kFcfMCF, "", true) + kOk;
  modem.AnswerInTurn("AT+FRH=3", {dis, "", cfr, mcf});
  Class1Modem(modem, {});  // its frame receptions are the ones above
  Start(modem, TFaxClass::fcClass1, StreamFax(1));
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, 0);
  const auto commands = modem.Commands();
  EXPECT_EQ(FinalFrames(commands), (std::vector<std::uint8_t>{kFcfDCS, kFcfDCS, kFcfEOP, kFcfDCN}));
  EXPECT_EQ(modem.DataBlocks().size(), 3u);  // two trainings and the page
}

// After a page: CRP asks for the post-page message again; PIN is a page to
// send again after a new training, PIP a good one (no operator here).
TEST_F(Sending, Class1CrpPinAndPipAfterAPage) {
  test::ScriptedModem modem("tx-class1-crp");
  Class1Modem(modem, {{}, {kFcfCRP, kFcfMCF, kFcfPIN, kFcfPIP, kFcfMCF}});
  Start(modem, TFaxClass::fcClass1, StreamFax(3));
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, 0);
  EXPECT_EQ(FinalFrames(modem.Commands()),
            (std::vector<std::uint8_t>{kFcfDCS, kFcfMPS, kFcfMPS, kFcfMPS, kFcfDCS, kFcfMPS, kFcfEOP, kFcfDCN}));
  const auto blocks = modem.DataBlocks();
  // Training, page 1, page 2, training at 7200, page 2 again, page 3.
  ASSERT_EQ(blocks.size(), 6u);
  PageLead(blocks[2], DleDoubled(StreamPage(2)), kDataEnd);
  PageLead(blocks[4], DleDoubled(StreamPage(2)), kDataEnd);
  PageLead(blocks[5], DleDoubled(StreamPage(3)), kDataEnd);
  EXPECT_EQ(fax_->BitRate(), 7200);
}

// With error correction a page goes as MMR in HDLC frames after AT+FTM; a
// PPR gets again only the frames it names, and a PPR that names none (a far
// end that has lost its way) ends the call with DCN.
TEST_F(Sending, Class1ErrorCorrectionResendsWhatPprNamesAndStopsAtNonsense) {
  test::ScriptedModem modem("tx-class1-ecm");
  Class1FarEnd farEnd{{}, {kFcfPPR, kFcfMCF, kFcfPPR}};
  farEnd.errorCorrection = true;
  farEnd.pprMaps = {std::string("\x02") + std::string(31, '\0'), std::string(32, '\0')};
  Class1Modem(modem, farEnd);
  fax_->SetDesiredECM(true);
  fax_->SetDesiredCoding(T4Coding::kMmr);
  const std::string file = TextFax();
  Start(modem, TFaxClass::fcClass1, file);
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, ecFaxEcmProtocol);
  EXPECT_EQ(FinalFrames(modem.Commands()),
            (std::vector<std::uint8_t>{kFcfDCS, kFcfPPS, kFcfPPS, kFcfPPS, kFcfDCN}));

  // Training, the first page's frames, frame 1 again, the second page's frames.
  const auto blocks = modem.DataBlocks();
  ASSERT_EQ(blocks.size(), 4u);
  auto frames = [](const std::string& block) {
    std::vector<std::string> found;
    HdlcDecoder decoder([&](std::span<const std::uint8_t> octets, bool good) {
      EXPECT_TRUE(good);
      found.emplace_back(octets.begin(), octets.end());
    });
    const std::string bits = DleUndone(block);
    decoder.Put(std::span(reinterpret_cast<const std::uint8_t*>(bits.data()), bits.size()));
    return found;
  };
  const auto first = frames(blocks[1]);
  ASSERT_GT(first.size(), 4u);  // FCD frames and three RCPs
  std::string data;
  for (std::size_t i = 0; i + 3 < first.size(); ++i) {
    ASSERT_EQ(static_cast<std::uint8_t>(first[i][2]), kFcfFCD);
    ASSERT_EQ(static_cast<std::uint8_t>(first[i][3]), i);
    data += first[i].substr(4);
  }
  EXPECT_EQ(static_cast<std::uint8_t>(first.back()[2]), kFcfRCP);
  const auto again = frames(blocks[2]);
  ASSERT_EQ(again.size(), 4u);
  EXPECT_EQ(again[0], first[1]);
  const auto rows = T4DecodeRows(T4Coding::kMmr, kStandardWidth,
                                 std::span(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()));
  EXPECT_EQ(rows, StoredRows(file, 1));
}

// With SoftwareFlow the port obeys the modem's XOFF while training and page
// data go out, and the modem is told to send XON/XOFF (AT+FLO=1).
TEST_F(Sending, SoftwareFlowHoldsOnXoffWhileDataGoesAndTellsTheModem) {
  for (const TFaxClass faxClass : {TFaxClass::fcClass1, TFaxClass::fcClass2_0}) {
    SCOPED_TRACE(faxClass == TFaxClass::fcClass1 ? "Class 1" : "Class 2.0");
    NewFax();
    test::ScriptedModem modem(faxClass == TFaxClass::fcClass1 ? "tx-class1-xon" : "tx-class20-xon");
    if (faxClass == TFaxClass::fcClass1) {
      modem.Answer("AT+FLO=", kOk);
      Class1Modem(modem, {});
    } else {
      Class2Modem(modem);
      modem.Answer("ATD", "\r\n+FCO\r\n+FCI: \"FAR END 20\"\r\n" + kOk);
      modem.Answer("AT+FDT", kConnect);
      modem.AnswerData("AT+FDT", ".", "\r\n+FPS:1\r\n+FHS:00\r\n" + kOk);
    }
    fax_->SetSoftwareFlow(true);
    Start(modem, faxClass, StreamFax(1));
    ASSERT_TRUE(RunToFinish());
    EXPECT_EQ(finishCode_, 0);
    // Class 1: the training and the page; Class 2.0: the page.
    EXPECT_EQ(modem.DataBlockSoftwareFlow(), std::vector<bool>(faxClass == TFaxClass::fcClass1 ? 2 : 1, true));
    EXPECT_FALSE(modem.Modem().State().outX);  // off again after the page
    EXPECT_EQ(Starting(modem.Commands(), "AT+FLO="), std::vector<std::string>{"AT+FLO=1"});
  }
}

// Class 2 and 2.0: the last page went, but the modem reports an abnormal
// hang-up: the fax failed, with its own message.
TEST_F(Sending, Class2AbnormalHangupCodeAfterTheLastPageIsAFailure) {
  for (const TFaxClass faxClass : {TFaxClass::fcClass2, TFaxClass::fcClass2_0}) {
    SCOPED_TRACE(faxClass == TFaxClass::fcClass2 ? "Class 2" : "Class 2.0");
    NewFax();
    test::ScriptedModem modem(faxClass == TFaxClass::fcClass2 ? "tx-class2-fhng" : "tx-class20-fhs");
    Class2Modem(modem);
    if (faxClass == TFaxClass::fcClass2) {
      modem.Answer("ATD", "\r\n+FCON\r\n+FCSI: \"FAR END 2\"\r\n" + kOk);
      modem.Answer("AT+FDT", kConnect + "\x11");
      modem.AnswerData("AT+FDT", "\x03", kOk);
      modem.Answer("AT+FET=2", "\r\n+FPTS:1\r\n+FHNG:54\r\n" + kOk);
    } else {
      modem.Answer("ATD", "\r\n+FCO\r\n+FCI: \"FAR END 20\"\r\n" + kOk);
      modem.Answer("AT+FDT", kConnect);
      modem.AnswerData("AT+FDT", ".", "\r\n+FPS:1\r\n+FHS:54\r\n" + kOk);
    }
    Start(modem, faxClass, StreamFax(1));
    ASSERT_TRUE(RunToFinish());
    EXPECT_EQ(finishCode_, ecFaxAbnormalHangup);
    EXPECT_EQ(fax_->HangupCode(), 54);
    EXPECT_EQ(logs_, kFailed);
  }
}

// A number that does not answer is dialled again like a busy one, and the
// modem waits for an answer as long as the user said (S7).
TEST_F(Sending, NoAnswerIsRedialledAndTheModemWaitsTheDialWait) {
  test::ScriptedModem modem("tx-no-answer");
  Class1Modem(modem, {});
  modem.AnswerExactly("ATDT5551234", "\r\nNO ANSWER\r\n");
  std::vector<int> statuses;
  fax_->OnFaxStatus = [&](TQaAbstractFax& f, bool, bool) { statuses.push_back(f.Status()); };
  fax_->SetDialAttempts(2);
  fax_->SetDialRetryWait(0);
  fax_->SetDialWait(45);
  Start(modem, TFaxClass::fcClass1, StreamFax(1));
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, ecFaxNoAnswer);
  EXPECT_EQ(logs_, kFailed);
  const auto commands = modem.Commands();
  EXPECT_EQ(Starting(commands, "ATD").size(), 2u);
  EXPECT_EQ(Starting(commands, "ATS7="), std::vector<std::string>{"ATS7=45"});
  EXPECT_NE(std::find(statuses.begin(), statuses.end(), fsNoAnswerWaiting), statuses.end());
}

// A fine fax to a far end that takes standard resolution only: every two
// lines go out as one, a pixel black in either staying black; the DCS (or
// the Class 2 session parameters) say standard, and the status says so.
TEST_F(Sending, FinePagesToAStandardOnlyFarEndGoOutReduced) {
  for (const TFaxClass faxClass : {TFaxClass::fcClass1, TFaxClass::fcClass2}) {
    SCOPED_TRACE(faxClass == TFaxClass::fcClass1 ? "Class 1" : "Class 2");
    NewFax();
    test::ScriptedModem modem(faxClass == TFaxClass::fcClass1 ? "tx-class1-no-fine" : "tx-class2-no-fine");
    if (faxClass == TFaxClass::fcClass1) {
      Class1Modem(modem, {{}, {}, false});
    } else {
      Class2Modem(modem);
      modem.Answer("ATD", "\r\n+FCON\r\n+FCSI: \"FAR END 2\"\r\n+FDIS: 0,3,0,2,0,0,0,0\r\n" + kOk);
      modem.Answer("AT+FDT", "\r\n+FDCS: 0,3,0,2,0,0,0,0\r\n" + kConnect + "\x11");
      modem.AnswerData("AT+FDT", "\x03", kOk);
      modem.Answer("AT+FET=", "\r\n+FPTS:1\r\n" + kOk);
    }
    std::vector<int> statuses;
    fax_->OnFaxStatus = [&](TQaAbstractFax& f, bool, bool) { statuses.push_back(f.Status()); };
    const std::string file = TextFax(true);
    Start(modem, faxClass, file);
    ASSERT_TRUE(RunToFinish());
    EXPECT_EQ(finishCode_, 0);
    EXPECT_EQ(logs_, kSent);
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), fsReducingResolution), statuses.end());
    EXPECT_TRUE(fax_->PagesReduced());  // what the result line says

    const auto commands = modem.Commands();
    std::vector<std::string> pages = modem.DataBlocks();
    if (faxClass == TFaxClass::fcClass1) {
      const auto dcs = std::find_if(commands.begin(), commands.end(),
                                    [](const std::string& c) { return IsFrame(c) && FrameFcf(c) == kFcfDCS; });
      ASSERT_NE(dcs, commands.end());
      EXPECT_FALSE(FrameCapabilities(ReadFrame(*dcs)).Has(t30bit::kFine));
      pages.erase(pages.begin());  // the training
    } else {
      EXPECT_EQ(Starting(commands, "AT+FDIS="), (std::vector<std::string>{"AT+FDIS=?", "AT+FDIS=1,3,0,2,0,0,0,0",
                                                                        "AT+FDIS=0,3,0,2,0,0,0,0"}));
    }
    ASSERT_EQ(pages.size(), 2u);
    for (int page = 1; page <= 2; ++page) {
      const Rows fine = StoredRows(file, page);
      Rows expected;
      for (std::size_t y = 0; y < fine.size(); y += 2) {
        Rows::value_type row = fine[y];
        if (y + 1 < fine.size()) {
          for (std::size_t x = 0; x < row.size(); ++x) row[x] |= fine[y + 1][x];
        }
        expected.push_back(row);
      }
      ASSERT_GT(expected.size(), 10u);
      const std::string& sent = pages[static_cast<std::size_t>(page - 1)];
      EXPECT_TRUE(DecodedRows(DleUndone(sent.substr(0, sent.size() - 2))) == expected) << "page " << page;
    }
  }
}

TEST_F(Sending, Class1ErrorAnsweringACommandEndsWithBadResponse) {
  test::ScriptedModem modem("tx-class1-error");
  modem.AnswerExactly("AT+FTH=3", kError);  // refuses to send our TSI
  Class1Modem(modem, {});
  Start(modem, TFaxClass::fcClass1, StreamFax(1));
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, ecFaxBadModemResult);
  EXPECT_EQ(logs_, kFailed);
  EXPECT_TRUE(modem.DataBlocks().empty());
}

// The far end says nothing after our training: the modem gives up its
// frame reception with NO CARRIER. DCS and training go again once at each
// rate the far end offers and three times at the lowest; then the call ends
// as training failed, with a DCN.
TEST_F(Sending, Class1SilenceAfterTrainingStepsDownToTheLowestRateThenEnds) {
  test::ScriptedModem modem("tx-class1-silent");
  auto frh = std::make_shared<int>(0);
  modem.Answer("AT+FRH=3", [frh](const std::string&) {
    return ++*frh == 1 ? kConnect + Frame(kFcfDIS, DisInfo(), true) + kOk : "\r\nNO CARRIER\r\n";
  });
  Class1Modem(modem, {});
  Start(modem, TFaxClass::fcClass1, StreamFax(1));
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, ecFaxTrainError);
  EXPECT_EQ(logs_, kFailed);
  std::vector<int> rates;
  for (const std::string& c : modem.Commands()) {
    if (IsFrame(c) && FrameFcf(c) == kFcfDCS) rates.push_back(DcsBps(c));
  }
  EXPECT_EQ(rates, (std::vector<int>{9600, 9600, 7200, 7200, 4800, 4800, 2400, 2400, 2400}));
  EXPECT_EQ(FinalFrames(modem.Commands()).back(), kFcfDCN);
  EXPECT_EQ(modem.DataBlocks().size(), 9u);  // the trainings only
}

// The line drops in the middle of the second page: the modem takes no more
// data and says NO CARRIER. The call fails at once, the session lets go of
// the port, and nothing more is written to it.
TEST_F(Sending, Class1LineDropInAPageFailsTheCallAndReleasesThePort) {
  test::ScriptedModem modem("tx-class1-drop");
  Class1Modem(modem, {});
  const std::string file = StreamFax(2);
  const std::size_t training = 9600 / 100 * 18 + 2;
  modem.DropLineAfterData(training + DleDoubled(StreamPage(1)).size() + 2000);
  Start(modem, TFaxClass::fcClass1, file);
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, ecFaxSessionError);
  EXPECT_EQ(logs_, kFailed);
  EXPECT_EQ(FinalFrames(modem.Commands()), (std::vector<std::uint8_t>{kFcfDCS, kFcfMPS}));
  EXPECT_EQ(modem.DataBlocks().size(), 2u);  // training and page 1 complete

  // What the modem says now stays on the port for its next user.
  modem.Modem().Receive(kConnect + kOk);
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  while (std::chrono::steady_clock::now() < until) ui_.WaitForMessages(20);
  EXPECT_EQ(BytesAvailable(port_.PortHandle()), static_cast<int>((kConnect + kOk).size()));
}

// The modem disappears in the middle of a page (a USB modem unplugged):
// the call ends at once, long before the page-data time (60 s) would end
// it, and the port can be closed.
TEST_F(Sending, ModemGoneInAPageEndsTheCallAtOnce) {
  test::ScriptedModem modem("tx-class1-gone");
  Class1Modem(modem, {});
  modem.VanishAfterData(9600 / 100 * 18 + 2 + 1500);
  Start(modem, TFaxClass::fcClass1, StreamFax(2));
  ASSERT_TRUE(RunToFinish(20));
  EXPECT_EQ(finishCode_, ecDeviceGone);
  EXPECT_EQ(errors_, std::vector<int>{ecDeviceGone});
  EXPECT_EQ(logs_, kFailed);
  port_.SetOpen(false);
  EXPECT_FALSE(port_.Open());
}

// The modem disappears while the far end is rung: nothing is written to it,
// but the call ends at once (not after the dial wait of 30 s), as the device
// gone, and a device that has gone is never dialled again.
TEST_F(Sending, ModemGoneWhileDiallingEndsTheCallAndIsNotRedialled) {
  test::ScriptedModem modem("tx-class1-gone-dialling");
  modem.AnswerExactly("ATDT5551234", "");
  Class1Modem(modem, {});
  fax_->SetDialWait(30);
  fax_->SetDialAttempts(3);
  fax_->SetDialRetryWait(0);
  Start(modem, TFaxClass::fcClass1, StreamFax(1));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (fax_->Status() != fsDialing && std::chrono::steady_clock::now() < deadline) ui_.WaitForMessages(20);
  ASSERT_EQ(fax_->Status(), fsDialing);
  modem.Modem().Vanish();
  ASSERT_TRUE(RunToFinish(5));
  EXPECT_EQ(finishCode_, ecDeviceGone);
  EXPECT_EQ(errors_, std::vector<int>{ecDeviceGone});
  EXPECT_EQ(Starting(modem.Commands(), "ATD").size(), 1u);
}

// A component destroyed while its session sends: the machine is taken off
// the port (a run in progress finishes first) and nothing reads the port
// for it any more.
TEST_F(Sending, ComponentDestroyedInAPageLeavesThePortToItsNextUser) {
  test::ScriptedModem modem("tx-class1-destroyed");
  Class1Modem(modem, {});
  modem.StallAfterData(9600 / 100 * 18 + 2 + 1000);
  Start(modem, TFaxClass::fcClass1, StreamFax(2));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (fax_->Status() != fsSendingPage && std::chrono::steady_clock::now() < deadline) ui_.WaitForMessages(20);
  ASSERT_EQ(fax_->Status(), fsSendingPage);
  fax_.reset();
  EXPECT_FALSE(finished_);  // no finish message reaches a component that is gone
  const std::size_t written = modem.Commands().size();
  modem.Modem().Receive(kOk);
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  while (std::chrono::steady_clock::now() < until) ui_.WaitForMessages(20);
  EXPECT_EQ(BytesAvailable(port_.PortHandle()), static_cast<int>(kOk.size()));
  EXPECT_EQ(modem.Commands().size(), written);
}

// --- Dialling ------------------------------------------------------------------

TEST_F(Sending, BusyLineIsRedialledUpToDialAttemptsAndEndsBusy) {
  test::ScriptedModem modem("tx-busy");
  Class1Modem(modem, {});
  modem.AnswerExactly("ATDT5551234", "\r\nBUSY\r\n");
  std::vector<int> attemptsWhileWaiting;
  fax_->OnFaxStatus = [&](TQaAbstractFax& f, bool, bool) {
    if (f.Status() == fsBusyWaiting) attemptsWhileWaiting.push_back(fax_->DialAttempt());
  };
  fax_->SetDialAttempts(3);
  fax_->SetDialRetryWait(1);
  Start(modem, TFaxClass::fcClass1, StreamFax(1));
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, ecFaxBusy);
  EXPECT_EQ(errors_, std::vector<int>{ecFaxBusy});
  EXPECT_EQ(logs_, kFailed);
  EXPECT_EQ(Starting(modem.Commands(), "ATD").size(), 3u);
  attemptsWhileWaiting.erase(std::unique(attemptsWhileWaiting.begin(), attemptsWhileWaiting.end()),
                             attemptsWhileWaiting.end());
  EXPECT_EQ(attemptsWhileWaiting, (std::vector<int>{2, 3}));
}

// No wait between attempts means redialling at once, not after the dial
// time-out.
TEST_F(Sending, BusyLineWithNoRetryWaitIsRedialledAtOnce) {
  test::ScriptedModem modem("tx-busy-no-wait");
  Class1Modem(modem, {});
  modem.AnswerExactly("ATDT5551234", "\r\nBUSY\r\n");
  fax_->SetDialAttempts(2);
  fax_->SetDialRetryWait(0);
  fax_->SetDialWait(30);
  Start(modem, TFaxClass::fcClass1, StreamFax(1));
  ASSERT_TRUE(RunToFinish(10));
  EXPECT_EQ(finishCode_, ecFaxBusy);
  EXPECT_EQ(Starting(modem.Commands(), "ATD").size(), 2u);
}

// With one dial attempt, each result ends the call with its own code; no
// answer at all is the far end not answering.
TEST_F(Sending, DialResultsEachEndTheCallWithTheirOwnCode) {
  const std::pair<std::string, int> cases[] = {{"NO DIALTONE", ecFaxNoDialTone},
                                               {"VOICE", ecFaxVoiceCall},
                                               {"NO CARRIER", ecFaxNoCarrier},
                                               {"NO ANSWER", ecFaxNoAnswer},
                                               {"", ecFaxNoAnswer}};
  int n = 0;
  for (const auto& [answer, code] : cases) {
    SCOPED_TRACE(answer.empty() ? "no answer" : answer);
    for (const TFaxClass faxClass : {TFaxClass::fcClass1, TFaxClass::fcClass2}) {
      SCOPED_TRACE(faxClass == TFaxClass::fcClass1 ? "Class 1" : "Class 2");
      test::ScriptedModem modem("tx-dial-" + std::to_string(++n));
      modem.AnswerExactly("ATDT5551234", answer.empty() ? "" : "\r\n" + answer + "\r\n");
      Class1Modem(modem, {});
      Class2Modem(modem);
      fax_->SetDialWait(1);
      fax_->SetDialAttempts(1);
      Start(modem, faxClass, StreamFax(1));
      ASSERT_TRUE(RunToFinish());
      EXPECT_EQ(finishCode_, code);
      EXPECT_EQ(errors_, std::vector<int>{code});
      EXPECT_EQ(logs_, kFailed);
      EXPECT_EQ(Starting(modem.Commands(), "ATD").size(), 1u);
      NewFax();  // while this modem is still there to close on
    }
  }
}

// --- Class 2 and 2.0 -------------------------------------------------------------

TEST_F(Sending, Class2PagesGoOutAsStoredAfterXonWithThePageStatusOfEach) {
  test::ScriptedModem modem("tx-class2");
  Class2Modem(modem);
  modem.Answer("ATD", "\r\n+FCON\r\n+FCSI: \"  FAR END 2  \"\r\n+FDIS: 1,5,1,2,0,0,0,0\r\n" + kOk);
  modem.Answer("AT+FDT", "\r\n+FDCS: 0,4,0,2,0,0,0,0\r\n" + kConnect + "\x11");
  modem.AnswerData("AT+FDT", "\x03", kOk);
  modem.Answer("AT+FET=0", "\r\n+FPTS:1\r\n" + kOk);
  modem.Answer("AT+FET=2", "\r\n+FPTS:1\r\n+FHNG:0\r\n" + kOk);
  Start(modem, TFaxClass::fcClass2, StreamFax(2));
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, 0);
  EXPECT_TRUE(errors_.empty());
  EXPECT_EQ(logs_, kSent);
  EXPECT_EQ(fax_->RemoteID(), "FAR END 2");
  EXPECT_EQ(fax_->BitRate(), 12000);
  EXPECT_EQ(fax_->HangupCode(), 0);
  const auto commands = modem.Commands();
  EXPECT_EQ(Starting(commands, "AT+FLID="), std::vector<std::string>{"AT+FLID=\"TESS TX 1\""});
  // The modem is asked its rates first; it does not say, so 9600 it is.
  EXPECT_EQ(Starting(commands, "AT+FDIS="), (std::vector<std::string>{"AT+FDIS=?", "AT+FDIS=0,3,0,2,0,0,0,0"}));
  EXPECT_EQ(Starting(commands, "AT+FDT").size(), 2u);
  EXPECT_EQ(Starting(commands, "AT+FET="), (std::vector<std::string>{"AT+FET=0", "AT+FET=2"}));
  // Class 2 page data goes out in the bit order of the file (no reversal).
  const auto blocks = modem.DataBlocks();
  ASSERT_EQ(blocks.size(), 2u);
  for (int page = 1; page <= 2; ++page) {
    const std::string lead =
        PageLead(blocks[static_cast<std::size_t>(page - 1)], DleDoubled(StreamPage(page)), kDataEnd);
    EXPECT_EQ(lead, kLineStart) << "page " << page;
  }
}

TEST_F(Sending, Class2PageRefusedIsSentAgainAndThirdRefusalEndsTheCall) {
  test::ScriptedModem modem("tx-class2-pts2");
  Class2Modem(modem);
  modem.Answer("ATD", "\r\n+FCON\r\n+FCSI: \"FAR END 2\"\r\n+FDIS: 1,3,0,2,0,0,0,0\r\n" + kOk);
  modem.Answer("AT+FDT", "\r\n+FDCS: 0,3,0,2,0,0,0,0\r\n" + kConnect + "\x11");
  modem.AnswerData("AT+FDT", "\x03", kOk);
  // Page 1 is refused once, page 2 every time.
  auto fets = std::make_shared<int>(0);
  modem.Answer("AT+FET=", [fets](const std::string&) {
    return ++*fets == 1 ? "\r\n+FPTS:2\r\n" + kOk : *fets == 2 ? "\r\n+FPTS:1\r\n" + kOk : "\r\n+FPTS:2\r\n" + kOk;
  });
  modem.Answer("AT+FKS", kOk);
  Start(modem, TFaxClass::fcClass2, StreamFax(2));
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, ecFaxSessionError);
  EXPECT_EQ(logs_, kFailed);
  const auto commands = modem.Commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "AT+FKS"), 1);
  // Page 1 twice, page 2 twice: the third refusal in the fax ends it.
  const auto blocks = modem.DataBlocks();
  ASSERT_EQ(blocks.size(), 4u);
  const std::string page1 = DleDoubled(StreamPage(1));
  const std::string page2 = DleDoubled(StreamPage(2));
  PageLead(blocks[0], page1, kDataEnd);
  EXPECT_EQ(blocks[1], blocks[0]);
  PageLead(blocks[2], page2, kDataEnd);
  EXPECT_EQ(blocks[3], blocks[2]);
}

// The page results other than good and bad: RTP (3) and PIP (5) accept the
// page, PIN (4) refuses it, and it goes again (this program has no operator).
TEST_F(Sending, Class2PageResultsRetrainAndOperatorRequestsAcceptOrRepeatThePage) {
  test::ScriptedModem modem("tx-class2-pts345");
  Class2Modem(modem);
  modem.Answer("ATD", "\r\n+FCON\r\n+FCSI: \"FAR END 2\"\r\n+FDIS: 1,3,0,2,0,0,0,0\r\n" + kOk);
  modem.Answer("AT+FDT", "\r\n+FDCS: 0,3,0,2,0,0,0,0\r\n" + kConnect + "\x11");
  modem.AnswerData("AT+FDT", "\x03", kOk);
  modem.AnswerInTurn("AT+FET=", {"\r\n+FPTS:3\r\n" + kOk, "\r\n+FPTS:4\r\n" + kOk, "\r\n+FPTS:5\r\n" + kOk});
  Start(modem, TFaxClass::fcClass2, StreamFax(2));
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, 0);
  EXPECT_EQ(logs_, kSent);
  EXPECT_EQ(Starting(modem.Commands(), "AT+FET="), (std::vector<std::string>{"AT+FET=0", "AT+FET=2", "AT+FET=2"}));
  const auto blocks = modem.DataBlocks();
  ASSERT_EQ(blocks.size(), 3u);
  PageLead(blocks[0], DleDoubled(StreamPage(1)), kDataEnd);
  EXPECT_EQ(blocks[2], blocks[1]);
  PageLead(blocks[2], DleDoubled(StreamPage(2)), kDataEnd);
}

// Pages of another resolution go as a new document: EOM after the page
// before them (AT+FET=1, or DLE ; in Class 2.0), and the modem is given
// their session parameters before AT+FDT.
TEST_F(Sending, Class2PagesOfAnotherResolutionGoAsANewDocument) {
  for (const TFaxClass faxClass : {TFaxClass::fcClass2, TFaxClass::fcClass2_0}) {
    const bool class2 = faxClass == TFaxClass::fcClass2;
    SCOPED_TRACE(class2 ? "Class 2" : "Class 2.0");
    test::ScriptedModem modem(class2 ? "tx-class2-eom" : "tx-class20-eom");
    Class2Modem(modem);
    modem.Answer("ATD", class2 ? "\r\n+FCON\r\n+FDIS: 1,3,0,2,0,0,0,0\r\n" + kOk
                               : "\r\n+FCO\r\n+FIS: 1,3,0,2,0,0,0,0\r\n" + kOk);
    modem.Answer("AT+FDT", kConnect + (class2 ? "\x11" : ""));
    if (class2) {
      modem.AnswerData("AT+FDT", "\x03", kOk);
      modem.Answer("AT+FET=", "\r\n+FPTS:1\r\n" + kOk);
    } else {
      modem.AnswerData("AT+FDT", ",;.", "\r\n+FPS:1\r\n" + kOk);
    }
    Start(modem, faxClass, StreamFax({0, kApfFine, kApfFine}));
    ASSERT_TRUE(RunToFinish());
    EXPECT_EQ(finishCode_, 0);
    const std::string params = class2 ? "AT+FDIS=" : "AT+FIS=";
    const auto commands = modem.Commands();
    EXPECT_EQ(Starting(commands, params),
              (std::vector<std::string>{params + "?", params + "0,3,0,2,0,0,0,0", params + "1,3,0,2,0,0,0,0"}));
    const auto blocks = modem.DataBlocks();
    ASSERT_EQ(blocks.size(), 3u);
    if (class2) {
      EXPECT_EQ(Starting(commands, "AT+FET="), (std::vector<std::string>{"AT+FET=1", "AT+FET=0", "AT+FET=2"}));
    } else {
      EXPECT_EQ(blocks[0].substr(blocks[0].size() - 2), "\x10;");
      EXPECT_EQ(blocks[1].substr(blocks[1].size() - 2), "\x10,");
      EXPECT_EQ(blocks[2].substr(blocks[2].size() - 2), "\x10.");
    }
    // The new parameters go to the modem after the first page and before the second.
    const auto fine = std::find(commands.begin(), commands.end(), params + "1,3,0,2,0,0,0,0");
    EXPECT_EQ(std::count(commands.begin(), fine, "AT+FDT"), 1);
    NewFax();
  }
}

// This modem never sends XON after CONNECT: the page goes out after a
// second all the same. The modem then refuses the page.
TEST_F(Sending, Class2ErrorAfterAPageEndsWithBadResponse) {
  test::ScriptedModem modem("tx-class2-error");
  Class2Modem(modem);
  modem.Answer("ATD", "\r\n+FCON\r\n+FCSI: \"FAR END 2\"\r\n" + kOk);
  modem.Answer("AT+FDT", kConnect);
  modem.AnswerData("AT+FDT", "\x03", kError);
  Start(modem, TFaxClass::fcClass2, StreamFax(2));
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, ecFaxBadModemResult);
  EXPECT_EQ(logs_, kFailed);
  const auto blocks = modem.DataBlocks();
  ASSERT_EQ(blocks.size(), 1u);
  PageLead(blocks[0], DleDoubled(StreamPage(1)), kDataEnd);
  EXPECT_TRUE(Starting(modem.Commands(), "AT+FET").empty());
}

TEST_F(Sending, AbortInTheMiddleOfAPageEndsTheCallAsCancelled) {
  test::ScriptedModem modem("tx-class1-abort");
  Class1Modem(modem, {});
  // The line stalls in the middle of page 1.
  modem.StallAfterData(9600 / 100 * 18 + 2 + 1000);
  Start(modem, TFaxClass::fcClass1, StreamFax(2));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (fax_->Status() != fsSendingPage && std::chrono::steady_clock::now() < deadline) ui_.WaitForMessages(20);
  ASSERT_EQ(fax_->Status(), fsSendingPage);
  fax_->AbortFax();
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, ecCancelRequested);
  EXPECT_EQ(fax_->Status(), fsUserAbort);
  EXPECT_EQ(logs_, kFailed);
  EXPECT_EQ(modem.DataBlocks().size(), 1u);  // the training; the page never ended
}

TEST_F(Sending, Class2HangupReportInMidSessionEndsTheCallAndKeepsItsCode) {
  test::ScriptedModem modem("tx-class2-fhng");
  Class2Modem(modem);
  modem.Answer("ATD", "\r\n+FCON\r\n+FCSI: \"FAR END 2\"\r\n" + kOk);
  modem.Answer("AT+FDT", "\r\n+FHNG:25\r\n" + kOk);
  Start(modem, TFaxClass::fcClass2, StreamFax(1));
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, ecFaxBadModemResult);
  EXPECT_EQ(fax_->HangupCode(), 25);
  EXPECT_EQ(fax_->RemoteID(), "FAR END 2");
  EXPECT_EQ(logs_, kFailed);
  EXPECT_TRUE(modem.DataBlocks().empty());
}

TEST_F(Sending, Class2_0PagesEndWithTheirPageMarkAndThePageStatusIsTaken) {
  test::ScriptedModem modem("tx-class20");
  Class2Modem(modem);
  modem.Answer("ATD", "\r\n+FCO\r\n+FCI: \"FAR END 20\"\r\n+FIS: 1,5,0,2,0,0,0,0\r\n" + kOk);
  modem.Answer("AT+FDT", "\r\n+FCS: 0,5,0,2,0,0,0,0\r\n" + kConnect);
  auto pages = std::make_shared<int>(0);
  modem.AnswerData("AT+FDT", ",.", [pages](const std::string&) {
    return ++*pages == 1 ? "\r\n+FPS:1\r\n" + kOk : "\r\n+FPS:1\r\n+FHS:00\r\n" + kOk;
  });
  Start(modem, TFaxClass::fcClass2_0, StreamFax(2));
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, 0);
  EXPECT_TRUE(errors_.empty());
  EXPECT_EQ(logs_, kSent);
  EXPECT_EQ(fax_->RemoteID(), "FAR END 20");
  EXPECT_EQ(fax_->BitRate(), 14400);
  const auto commands = modem.Commands();
  EXPECT_EQ(Starting(commands, "AT+FLI="), std::vector<std::string>{"AT+FLI=\"TESS TX 1\""});
  EXPECT_EQ(Starting(commands, "AT+FLO=2").size(), 1u);
  EXPECT_EQ(Starting(commands, "AT+FNR=1,1,1,0").size(), 1u);
  EXPECT_EQ(Starting(commands, "AT+FIS="), (std::vector<std::string>{"AT+FIS=?", "AT+FIS=0,3,0,2,0,0,0,0"}));
  EXPECT_TRUE(Starting(commands, "AT+FET").empty());
  const auto blocks = modem.DataBlocks();
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(PageLead(blocks[0], DleDoubled(StreamPage(1)), "\x10,"), kLineStart);
  EXPECT_EQ(PageLead(blocks[1], DleDoubled(StreamPage(2)), "\x10."), kLineStart);
}

TEST_F(Sending, Class2_0PageEndAnsweredByErrorEndsWithBadResponse) {
  test::ScriptedModem modem("tx-class20-error");
  Class2Modem(modem);
  modem.Answer("ATD", "\r\n+FCO\r\n+FCI: \"FAR END 20\"\r\n" + kOk);
  modem.Answer("AT+FDT", kConnect);
  modem.AnswerData("AT+FDT", ",.", kError);
  Start(modem, TFaxClass::fcClass2_0, StreamFax(2));
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, ecFaxBadModemResult);
  EXPECT_EQ(logs_, kFailed);
  EXPECT_EQ(modem.DataBlocks().size(), 1u);
}

TEST_F(Sending, Class2_0HangupReportWhileNegotiatingEndsTheCallAndKeepsItsCode) {
  test::ScriptedModem modem("tx-class20-fhs");
  Class2Modem(modem);
  modem.Answer("ATD", "\r\n+FCO\r\n+FHS:23\r\n" + kOk);
  Start(modem, TFaxClass::fcClass2_0, StreamFax(1));
  ASSERT_TRUE(RunToFinish());
  EXPECT_EQ(finishCode_, ecFaxBadModemResult);
  EXPECT_EQ(fax_->HangupCode(), 23);
  EXPECT_EQ(logs_, kFailed);
}

}  // namespace
}  // namespace tv
