// The demo line end to end: a port opens "demo:fast" by name, and the fax
// components send to and receive from its spandsp far end as through a modem.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "comm/qa_port.h"
#include "fax/fax_components.h"
#include "image/fax_converter.h"
#include "line/demo_line.h"
#include "platform/error_codes.h"
#include "platform/ini_file.h"
#include "platform/paths.h"
#include "platform/ui_thread.h"
#include "tests/support/fax_pages.h"
#include "tests/support/temp_dir.h"

namespace tv {
namespace {

using test::PageRows;
using test::Rows;

class DemoLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UiThread::Install(&ui_);
    InitProgramFolder(home_.Path());
    InstallDemoLine();
    port_.SetComNumber(1);
    port_.SetDevicePath(kDemoFastDevice);
  }
  void TearDown() override {
    port_.SetOpen(false);
    UiThread::Install(nullptr);
  }

  // Runs the UI thread until the flag is set or the time is up.
  bool WaitFor(const bool& flag, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!flag && std::chrono::steady_clock::now() < deadline) ui_.WaitForMessages(20);
    return flag;
  }

  // The APF files the far end kept.
  std::vector<std::string> DemoFaxes() const {
    std::vector<std::string> files;
    if (!std::filesystem::exists(DemoFolder())) return files;
    for (const auto& entry : std::filesystem::directory_iterator(DemoFolder())) {
      if (entry.path().extension() == ".APF") files.push_back(entry.path().string());
    }
    return files;
  }

  // Sends the file through the line as the fax engine does; how it finished.
  // The call's finish code; kNoFinish when it did not end within 90 s.
  static constexpr int kNoFinish = 1;
  int Send(TQaSendFax& fax, const std::string& file, int bps = 14400) {
    fax.SetComPort(&port_);
    fax.SetFaxClass(TFaxClass::fcClass1);
    fax.SetDesiredBPS(bps);
    fax.SetStationID("TESS DEMO TEST");
    fax.SetHeaderLine("$D $T  From $I  Page $P of $N");
    fax.SetPhoneNumber("5550100");
    fax.SetFaxFile(file);
    bool finished = false;
    int finishCode = -1;
    fax.OnFaxFinish = [&](TQaAbstractFax&, int code) {
      finishCode = code;
      finished = true;
    };
    if (const int rc = fax.BeginSending(); rc != 0) return rc;
    return WaitFor(finished, 90) ? finishCode : kNoFinish;
  }

  bool Command(const std::string& command, const std::string& answer) {
    port_.SendText(command + "\r");
    return port_.WaitForText(answer, 91, false, false);
  }

  HeadlessUiThread ui_;
  test::TempDir home_;
  TQaComPort port_;
};

TEST_F(DemoLineTest, AnswersLikeAClass1ModemAndRefusesUnknownOptions) {
  port_.SetOpen(true);
  EXPECT_TRUE(Command("AT", "OK"));
  EXPECT_TRUE(Command("AT+FCLASS=?", "0,1"));
  EXPECT_TRUE(Command("AT+FCLASS=1", "OK"));
  EXPECT_TRUE(Command("AT+FTM=?", "146"));  // up to V.17 at 14400
  port_.SetOpen(false);

  TQaComPort wrong;
  wrong.SetComNumber(1);
  wrong.SetDevicePath("demo:foo");
  try {
    wrong.SetOpen(true);
    ADD_FAILURE() << "demo:foo opened";
  } catch (const std::exception& error) {
    EXPECT_NE(std::string(error.what()).find("\"demo\" or \"demo:fast\""), std::string::npos) << error.what();
  }
}

// Two fine text pages at 14400: the far end keeps them in Demo/ as an APF
// file, header line on top and every row below it as sent.
TEST_F(DemoLineTest, SentFaxIsKeptInTheDemoFolderRowForRow) {
  {
    std::ofstream text(home_.File("letter.txt"));
    for (int i = 1; i <= 12; ++i) text << "Line " << i << " of the fax to the demo line.\n";
  }
  FaxConverter converter(MakeTextInput(), "TXT");
  converter.SetFine(true);
  converter.SetLinesPerPage(6);
  ASSERT_EQ(converter.Convert(home_.File("letter.txt"), home_.File("letter.apf")), 0);

  TQaSendFax fax;
  EXPECT_EQ(Send(fax, home_.File("letter.apf")), 0);
  EXPECT_EQ(fax.RemoteID(), kDemoFarEndIdent);
  EXPECT_EQ(fax.BitRate(), 14400);
  port_.SetOpen(false);

  // The far end stores the fax once the call has ended on its side.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (DemoFaxes().empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const auto kept = DemoFaxes();
  ASSERT_EQ(kept.size(), 1u);
  TApfFileHeader header;
  ASSERT_EQ(ApfReadFileHeader(kept[0], header), 0);
  ASSERT_EQ(header.pageCount, 2);
  EXPECT_EQ(ApfStationId(header), "TESS DEMO TEST");
  for (int page = 1; page <= 2; ++page) {
    TApfPageHeader pageHeader;
    ASSERT_EQ(ApfReadPageHeader(kept[0], page, pageHeader), 0);
    EXPECT_TRUE(pageHeader.Fine());
    const Rows sent = PageRows(home_.File("letter.apf"), page);
    const Rows got = PageRows(kept[0], page);
    ASSERT_GT(got.size(), sent.size()) << "no header line on page " << page;
    EXPECT_TRUE(test::BelowHeader(got, sent.size()) == sent) << "page " << page;
  }
  EXPECT_FALSE(std::filesystem::exists(DemoFolder() + "receiving.tif"));
}

// A receiver waiting on the demo line gets the welcome fax within seconds,
// both pages as the welcome text makes them.
TEST_F(DemoLineTest, WaitingReceiverGetsTheWelcomeFax) {
  // A folder that cannot be made comes back as the program's own code.
  std::ofstream(home_.File("plain-file")) << "x";
  EXPECT_EQ(MakeWelcomeFax(home_.File("plain-file/welcome.apf")), ecPathNotFound);
  ASSERT_EQ(MakeWelcomeFax(home_.File("welcome.apf")), 0);
  TQaReceiveFax fax;
  fax.SetComPort(&port_);
  fax.SetFaxClass(TFaxClass::fcClass1);
  fax.SetDesiredBPS(14400);
  fax.SetDestinationDir(home_.File("in"));
  std::filesystem::create_directory(home_.File("in"));
  fax.SetOneFax(true);
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
  ASSERT_EQ(fax.BeginReceiving(), 0);
  ASSERT_TRUE(WaitFor(finished, 90));
  EXPECT_EQ(finishCode, 0);
  EXPECT_EQ(fax.RemoteID(), kDemoFarEndIdent);
  ASSERT_FALSE(received.empty());
  TApfFileHeader header;
  ASSERT_EQ(ApfReadFileHeader(received, header), 0);
  ASSERT_EQ(header.pageCount, 2);
  for (int page = 1; page <= 2; ++page) {
    EXPECT_TRUE(PageRows(received, page) == PageRows(home_.File("welcome.apf"), page)) << "page " << page;
  }
}

// [Demo] Line=busy: every call the program dials finds the line busy.
TEST_F(DemoLineTest, BusyLineAsTheSettingsAsk) {
  {
    IniFile ini(SettingsFilePath());
    ini.WriteString("Demo", "Line", "busy");
    ini.Save();
  }
  port_.SetOpen(true);
  ASSERT_TRUE(Command("AT+FCLASS=1", "OK"));
  EXPECT_TRUE(Command("ATD5550100", "BUSY"));
  port_.SetOpen(false);
}

// The far end cannot store what it receives (Demo is no folder here): the
// call fails with its error, and nothing is written anywhere else.
TEST_F(DemoLineTest, FarEndThatCannotStoreEndsTheCallWithAnError) {
  home_.Write("Demo", "not a folder");
  home_.Write("page.txt", "One line.\n");
  FaxConverter converter(MakeTextInput(), "TXT");
  ASSERT_EQ(converter.Convert(home_.File("page.txt"), home_.File("page.apf")), 0);
  const auto before = std::distance(std::filesystem::directory_iterator(home_.Path()), {});
  TQaSendFax fax;
  // A far end that cannot take the page gives no answer to the training: at
  // the lowest rate alone the sender gives up after three tries.
  EXPECT_LT(Send(fax, home_.File("page.apf"), 2400), 0);
  port_.SetOpen(false);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home_.Path()), {}), before);
  EXPECT_EQ(home_.Read("Demo"), "not a folder");
}

// The program lets go in the middle of a call: the far end ends the call on
// its own, keeps nothing half-made, and the line serves the next opening.
TEST_F(DemoLineTest, ClosingThePortInACallEndsTheFarEndCleanly) {
  port_.SetOpen(true);
  ASSERT_TRUE(Command("AT+FCLASS=1", "OK"));
  ASSERT_TRUE(Command("ATD5550100", "CONNECT"));  // the far end's DIS follows
  port_.SetOpen(false);

  port_.SetOpen(true);
  EXPECT_TRUE(Command("AT", "OK"));
  port_.SetOpen(false);
  EXPECT_TRUE(DemoFaxes().empty());
  EXPECT_FALSE(std::filesystem::exists(DemoFolder() + "receiving.tif"));
}

}  // namespace
}  // namespace tv
