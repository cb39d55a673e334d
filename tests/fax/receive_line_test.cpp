// The receiver end to end: the virtual fax line's spandsp far end calls and
// sends a TIFF through the native serial layer; the APF file received must
// hold the same pages row for row.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

#include "comm/device_layer.h"
#include "comm/native_layer.h"
#include "fax/fax_components.h"
#include "image/fax_converter.h"
#include "image/fax_unpacker.h"
#include "platform/ui_thread.h"
#include "tests/support/virtual_line.h"
#include "tests/support/fax_pages.h"
#include "tests/support/temp_dir.h"

namespace tv {
namespace {

using test::PageRows;
using test::Rows;
using test::WriteTiff;

class ReceiveThroughVirtualLine : public ::testing::Test {
 protected:
  void SetUp() override {
    UiThread::Install(&ui_);
    InstallDeviceLayer(NativeDeviceLayer());
  }
  void TearDown() override {
    InstallDeviceLayer(nullptr);
    UiThread::Install(nullptr);
  }

  // Two pages of text, made by the converter and sent as a TIFF, each at
  // fine resolution where `fine` says so.
  void MakeSource(const std::vector<bool>& fine) {
    {
      std::ofstream text(dir_.File("letter.txt"));
      for (int i = 1; i <= 10; ++i) text << "Line " << i << " of the fax the far end sends.\n";
    }
    FaxConverter converter(MakeTextInput(), "TXT");
    converter.SetLinesPerPage(5);
    ASSERT_EQ(converter.Convert(dir_.File("letter.txt"), dir_.File("source.apf")), 0);
    source_ = {PageRows(dir_.File("source.apf"), 1), PageRows(dir_.File("source.apf"), 2)};
    WriteTiff(dir_.File("call.tif"), source_, fine);
  }

  // The far end calls with the source; the receiver answers at up to 14400.
  // Returns how the session finished and the line's result line.
  std::pair<int, std::string> Receive(std::vector<std::string> lineOptions, int seconds,
                                      const std::vector<bool>& fine = {}) {
    MakeSource(fine);
    std::vector<std::string> args = {"--call", dir_.File("call.tif"), "--ident", "FAR END 14", "--timeout", "120"};
    args.insert(args.end(), lineOptions.begin(), lineOptions.end());
    test::VirtualLine line(dir_.File("modem"), args);
    EXPECT_TRUE(line.WaitReady());

    TQaComPort port;
    TQaReceiveFax fax;
    fax.SetComPort(&port);
    port.SetComNumber(1);
    port.SetDevicePath(dir_.File("modem"));
    fax.SetFaxClass(TFaxClass::fcClass1);
    fax.SetDesiredBPS(14400);
    fax.SetStationID("TESS RX");
    fax.SetDestinationDir(dir_.Path());
    fax.SetOneFax(true);
    fax.SetExitOnError(true);
    bool finished = false;
    int finishCode = -1;
    std::string received;
    fax.OnFaxLog = [&](TQaAbstractFax& f, TFaxLogCode code) {
      if (code == TFaxLogCode::lfaxReceiveOk) received = f.FaxFile();
    };
    fax.OnFaxFinish = [&](TQaAbstractFax&, int code) {
      finishCode = code;
      finished = true;
    };
    EXPECT_EQ(fax.BeginReceiving(), 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!finished && std::chrono::steady_clock::now() < deadline) ui_.WaitForMessages(50);
    port.SetOpen(false);
    EXPECT_TRUE(finished) << "the session did not finish";
    bitRate_ = fax.BitRate();
    remoteId_ = fax.RemoteID();
    received_ = received;
    return {finished ? finishCode : 1, line.ReadLine()};
  }

  // Both pages must arrive row for row at the expected rate, in one file,
  // each at the resolution it was sent with.
  void ReceiveAt(int expectedBps, std::vector<std::string> lineOptions, const std::vector<bool>& fine = {}) {
    const auto [finishCode, result] = Receive(std::move(lineOptions), 100, fine);
    EXPECT_EQ(finishCode, 0) << result;
    EXPECT_EQ(bitRate_, expectedBps);
    EXPECT_EQ(remoteId_, "FAR END 14");
    ASSERT_EQ(received_, dir_.Path() + "FAX0001.APF");
    const std::string received = received_;

    TApfFileHeader header;
    ASSERT_EQ(ApfReadFileHeader(received, header), 0);
    ASSERT_EQ(header.pageCount, 2);
    for (int page = 1; page <= 2; ++page) {
      const auto index = static_cast<std::size_t>(page - 1);
      EXPECT_TRUE(PageRows(received, page) == source_[index]) << "page " << page;
      TApfPageHeader pageHeader;
      ASSERT_EQ(ApfReadPageHeader(received, page, pageHeader), 0);
      EXPECT_EQ(pageHeader.Fine(), index < fine.size() && fine[index]) << "page " << page;
    }
  }

  HeadlessUiThread ui_;
  test::TempDir dir_;
  std::vector<Rows> source_;
  int bitRate_ = 0;
  std::string remoteId_;
  std::string received_;
};

TEST_F(ReceiveThroughVirtualLine, CalledFaxArrivesRowForRowAt14400) { ReceiveAt(14400, {"--speed", "2"}); }

// The caller's first training fails: it falls back to V.17's 12000, whose
// DCS the receiver reads as such, and the pages come at that rate.
TEST_F(ReceiveThroughVirtualLine, CallerThatFallsBackIsFollowed) {
  ReceiveAt(12000, {"--spoil-trainings", "1", "--speed", "2"});
}

// A far end whose pages differ in resolution sends EOM between them and
// negotiates the second document anew: both pages arrive in the one file.
TEST_F(ReceiveThroughVirtualLine, DocumentsOfDifferentResolutionArriveInOneFile) {
  ReceiveAt(14400, {"--speed", "2"}, {false, true});
}

// White noise at -50 dBm0 on both directions, the most two spandsp
// terminals take: the pages still arrive unchanged.
TEST_F(ReceiveThroughVirtualLine, NoisyLineAtTheLimitStillCarriesThePages) { ReceiveAt(14400, {"--noise", "-50"}); }

// Past that the call fails cleanly within a minute, with a DCN to the caller.
TEST_F(ReceiveThroughVirtualLine, LineTooNoisyFailsCleanlyWithinAMinute) {
  const auto [finishCode, result] = Receive({"--noise", "-45"}, 60);
  EXPECT_LT(finishCode, 0);
  EXPECT_NE(result.find(" dcn 1 "), std::string::npos) << result;
}

}  // namespace
}  // namespace tv
