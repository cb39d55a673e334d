// The sender machine end to end: through the native serial layer into the
// virtual fax line, whose spandsp far end stores what it receives.
#include <gtest/gtest.h>

#include <fstream>

#include "comm/device_layer.h"
#include "comm/dispatcher.h"
#include "comm/native_layer.h"
#include "fax/fax_sender.h"
#include "fax/modem_prep.h"
#include "image/apf_file.h"
#include "image/fax_converter.h"
#include "image/fax_unpacker.h"
#include "line/fax_tiff.h"
#include "platform/ui_thread.h"
#include "tests/support/virtual_line.h"
#include "tests/image/picture_writers.h"
#include "tests/support/temp_dir.h"

namespace tv {
namespace {

// Answers one next-fax query with the given fax, then none.
class OneFaxTarget : public FaxSessionTarget {
 public:
  OneFaxTarget(std::string number, std::string file, std::string cover = {})
      : number_(std::move(number)), file_(std::move(file)), cover_(std::move(cover)) {}

  int FaxMessage(tv::FaxMessage message, int wParam, FaxSession& session) override {
    switch (message) {
      case FaxMsgNextFax:
        if (given_) return 0;
        given_ = true;
        session.common.phoneNumber = number_;
        session.common.faxFile = file_;
        session.common.coverFile = cover_;
        return 1;
      case FaxMsgError:
        errors.push_back(wParam);
        return 0;
      case FaxMsgLog:
        logs.push_back(wParam);
        return 0;
      case FaxMsgFinish:
        finished = true;
        finishCode = wParam;
        return 0;
      default:
        return 0;
    }
  }

  bool finished = false;
  int finishCode = 0;
  std::vector<int> errors;
  std::vector<int> logs;

 private:
  std::string number_;
  std::string file_;
  std::string cover_;
  bool given_ = false;
};

std::string MakeTextFax(const test::TempDir& dir, bool fine, int lines) {
  std::ofstream text(dir.File("letter.txt"));
  for (int i = 1; i <= lines; ++i) text << "Line " << i << " of the test fax: the quick brown fox jumps over the lazy dog.\n";
  text.close();
  FaxConverter converter(MakeTextInput(), "TXT");
  converter.SetFine(fine);
  converter.SetLinesPerPage(6);
  EXPECT_EQ(converter.Convert(dir.File("letter.txt"), dir.File("letter.apf")), 0);
  return dir.File("letter.apf");
}

// Two text pages and a picture page after them.
std::string MakeTextAndPictureFax(const test::TempDir& dir, bool fine) {
  const std::string apf = MakeTextFax(dir, fine, 12);
  const auto pcx = test::PcxBytes(test::Picture::Pattern(400, 150));
  std::ofstream(dir.File("picture.pcx"), std::ios::binary).write(reinterpret_cast<const char*>(pcx.data()),
                                                                 static_cast<std::streamsize>(pcx.size()));
  FaxConverter converter(MakePcxInput(), "PCX");
  converter.SetFine(fine);
  EXPECT_EQ(converter.Convert(dir.File("picture.pcx"), dir.File("picture.apf")), 0);
  EXPECT_EQ(ApfAppendFile(apf, dir.File("picture.apf")), 0);
  return apf;
}

std::string MakeTextCover(const test::TempDir& dir) {
  std::ofstream(dir.File("cover.txt")) << "FAX COVER\nTo: the far end\nPages: $N\n";
  return dir.File("cover.txt");
}

// One byte per pixel, 1 = black, of a row of packed pixels.
std::vector<std::uint8_t> Pixels(const std::uint8_t* packed, int bytes) {
  std::vector<std::uint8_t> row(static_cast<std::size_t>(bytes) * 8);
  for (int i = 0; i < bytes * 8; ++i) row[static_cast<std::size_t>(i)] = (packed[i / 8] >> (7 - i % 8)) & 1;
  return row;
}

// The page's rows as decoded.
std::vector<std::vector<std::uint8_t>> ApfRows(const std::string& file, int page) {
  std::vector<std::vector<std::uint8_t>> rows;
  FaxUnpacker unpacker;
  unpacker.SetOptions(0);
  unpacker.SetLineCallback([&](FaxUnpacker&, int flags, const std::uint8_t* line, int bytes, int) {
    if (flags == 0) rows.push_back(Pixels(line, bytes));
    return 0;
  });
  EXPECT_EQ(unpacker.UnpackPage(file, page), 0);
  return rows;
}

// The far end's pages, as ApfRows gives a page.
std::vector<std::vector<std::vector<std::uint8_t>>> TiffPages(const std::string& file) {
  std::vector<std::vector<std::vector<std::uint8_t>>> pages;
  for (const TiffFaxPage& page : ReadFaxTiff(file)) {
    auto& rows = pages.emplace_back();
    for (const auto& packed : page.rows) rows.push_back(Pixels(packed.data(), static_cast<int>(packed.size())));
  }
  return pages;
}

// Black pixels of a page, counted from a row on.
long Black(const std::vector<std::vector<std::uint8_t>>& rows, std::size_t from) {
  long black = 0;
  for (std::size_t y = from; y < rows.size(); ++y) {
    for (auto p : rows[y]) black += p;
  }
  return black;
}

class SendThroughVirtualLine : public ::testing::TestWithParam<std::tuple<int, bool>> {
 protected:
  void SetUp() override {
    UiThread::Install(&ui_);
    InstallDeviceLayer(NativeDeviceLayer());
  }
  void TearDown() override {
    InstallDeviceLayer(nullptr);
    UiThread::Install(nullptr);
  }

  // Sends the fax through the line's modem at the given rate and waits for
  // the session's end (a test failure if it does not end in time).
  void Send(const std::string& modem, OneFaxTarget& target, int bps, int timeoutSeconds) {
    FaxSession session;
    session.target = &target;
    session.common.port = PortOpen(modem, kDispatcherThreads, 8192, 8192, 19200, 0, 8, 1);
    ASSERT_GT(session.common.port, 0);
    session.common.faxClass = TFaxClass::fcClass1;
    session.common.stationId = "tessivane test";
    session.common.headerLine = "$D $T  From $I  Page $P of $N";
    session.modem.params.desiredBps = bps;
    TFaxSenderMachine sender(session);
    ASSERT_EQ(StartFaxSession(session, PrepareSender, sender.Machine()), 0);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    while (!target.finished && std::chrono::steady_clock::now() < deadline) ui_.WaitForMessages(50);
    PortClose(session.common.port);
    ASSERT_TRUE(target.finished) << "the session did not finish";
    remoteId_ = session.common.remoteId;
  }

  HeadlessUiThread ui_;
  std::string remoteId_;
};

// A text cover page, two text pages and a picture page, at 9600 in standard
// resolution and at 14400 in fine.
TEST_P(SendThroughVirtualLine, PagesArriveAsTheySource) {
  const auto [bps, fine] = GetParam();
  test::TempDir dir;
  const std::string apf = MakeTextAndPictureFax(dir, fine);
  test::VirtualLine line(dir.File("modem"),
                         {"--answer", dir.File("out.tif"), "--ident", "FAR END", "--speed", "2", "--timeout", "150"});
  ASSERT_TRUE(line.WaitReady());
  OneFaxTarget target("5550100", apf, MakeTextCover(dir));
  ASSERT_NO_FATAL_FAILURE(Send(dir.File("modem"), target, bps, 150));
  EXPECT_EQ(target.finishCode, 0);
  EXPECT_TRUE(target.errors.empty()) << target.errors.front();
  EXPECT_EQ(target.logs, (std::vector<int>{1, 2}));

  const std::string result = line.ReadLine();
  EXPECT_EQ(result.rfind("result 0 pages 4 rate " + std::to_string(bps), 0), 0u) << result;
  EXPECT_NE(result.find("remote \"TESSIVANE TEST"), std::string::npos) << result;
  EXPECT_EQ(remoteId_, "FAR END");

  const auto received = TiffPages(dir.File("out.tif"));
  ASSERT_EQ(received.size(), 4u);
  const std::size_t coverHeaderRows = received[1].size() - ApfRows(apf, 1).size();
  EXPECT_GT(Black(received[0], coverHeaderRows), 0) << "the cover text is missing";
  for (int page = 1; page <= 3; ++page) {
    const auto sent = ApfRows(apf, page);
    const auto& got = received[static_cast<std::size_t>(page)];
    // The received page starts with the header line; below it every row is the source's.
    ASSERT_GE(got.size(), sent.size());
    const std::size_t headerRows = got.size() - sent.size();
    EXPECT_EQ(headerRows, coverHeaderRows);
    EXPECT_GT(Black(got, 0) - Black(got, headerRows), 0) << "no header line drawn";
    for (std::size_t y = 0; y < sent.size(); ++y) {
      ASSERT_EQ(got[headerRows + y], sent[y]) << "page " << page << " row " << y;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Rates, SendThroughVirtualLine,
                         ::testing::Values(std::tuple{9600, false}, std::tuple{14400, true}));

// A far end whose first four trainings fail: the engine steps down from
// 14400 through every V.17 rate and V.29's 9600 (the far end reads each
// DCS right), and the page goes at V.17's 7200.
TEST_F(SendThroughVirtualLine, FarEndThatFailsTrainingsGetsEachLowerRate) {
  test::TempDir dir;
  const std::string apf = MakeTextFax(dir, false, 5);
  test::VirtualLine line(dir.File("modem"), {"--answer", dir.File("out.tif"), "--spoil-trainings", "4", "--speed",
                                             "2", "--timeout", "120"});
  ASSERT_TRUE(line.WaitReady());
  OneFaxTarget target("5550100", apf);
  ASSERT_NO_FATAL_FAILURE(Send(dir.File("modem"), target, 14400, 120));
  EXPECT_EQ(target.finishCode, 0);
  const std::string result = line.ReadLine();
  EXPECT_EQ(result.rfind("result 0 pages 1 rate 7200", 0), 0u) << result;
  EXPECT_EQ(TiffPages(dir.File("out.tif")).size(), 1u);
}

// Two spandsp terminals connected directly carry a page up to -50 dBm0 of
// white noise each way and break down from -48; the engine works at -50 ...
TEST_F(SendThroughVirtualLine, NoisyLineAtTheLimitCarriesThePage) {
  test::TempDir dir;
  const std::string apf = MakeTextFax(dir, false, 5);
  test::VirtualLine line(dir.File("modem"), {"--answer", dir.File("out.tif"), "--noise", "-50", "--timeout", "120"});
  ASSERT_TRUE(line.WaitReady());
  OneFaxTarget target("5550100", apf);
  ASSERT_NO_FATAL_FAILURE(Send(dir.File("modem"), target, 14400, 120));
  EXPECT_EQ(target.finishCode, 0);
  EXPECT_EQ(target.logs, (std::vector<int>{1, 2}));
  EXPECT_EQ(TiffPages(dir.File("out.tif")).size(), 1u);
}

// ... and past the limit it fails cleanly: trainings without an answer go
// on at lower rates until one side gives up, and the call ends with a
// failure code, a failure log line and an error report, nothing hanging.
TEST_F(SendThroughVirtualLine, LineTooNoisyFailsCleanlyAfterTryingLowerRates) {
  test::TempDir dir;
  const std::string apf = MakeTextFax(dir, false, 5);
  test::VirtualLine line(dir.File("modem"), {"--answer", dir.File("out.tif"), "--noise", "-45", "--timeout", "150"});
  ASSERT_TRUE(line.WaitReady());
  OneFaxTarget target("5550100", apf);
  ASSERT_NO_FATAL_FAILURE(Send(dir.File("modem"), target, 14400, 140));
  EXPECT_LT(target.finishCode, 0);
  EXPECT_EQ(target.logs, (std::vector<int>{1, 3}));
  EXPECT_FALSE(target.errors.empty());
  // The far end's last DCS named a rate below the first.
  const std::string result = line.ReadLine();
  const auto rate = result.find(" rate ");
  ASSERT_NE(rate, std::string::npos) << result;
  EXPECT_LT(std::stoi(result.substr(rate + 6)), 14400) << result;
}

// The modem disappears while the far end is rung (its device closes under
// the port): the call ends at once as the modem gone, well inside the dial
// wait of 60 s, and the gone device is not dialled again.
TEST_F(SendThroughVirtualLine, ModemGoneWhileDiallingEndsTheCallAtOnce) {
  test::TempDir dir;
  const std::string apf = MakeTextFax(dir, false, 5);
  test::VirtualLine line(dir.File("modem"), {"--answer", dir.File("out.tif"), "--vanish-on-dial", "--no-answer"});
  ASSERT_TRUE(line.WaitReady());
  OneFaxTarget target("5550100", apf);
  ASSERT_NO_FATAL_FAILURE(Send(dir.File("modem"), target, 14400, 15));
  EXPECT_EQ(line.ReadLine(), "vanished");
  EXPECT_EQ(target.finishCode, ecDeviceGone);
  EXPECT_EQ(target.errors, std::vector<int>{ecDeviceGone});
  EXPECT_EQ(target.logs, (std::vector<int>{1, 3}));
}

}  // namespace
}  // namespace tv
