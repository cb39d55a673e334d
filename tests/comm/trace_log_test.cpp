// Trace and dispatch-log recorders, and their dump files byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "comm/trace_log.h"
#include "platform/error_codes.h"
#include "tests/comm/comm_test_support.h"
#include "tests/support/temp_dir.h"

namespace tv::test {
namespace {

std::string Expected(const std::string& name) {
  const char* root = std::getenv("TV_SOURCE_DIR");
  std::ifstream in(std::string(root ? root : ".") + "/tests/comm/data/" + name, std::ios::binary);
  EXPECT_TRUE(in.good()) << name;
  return {std::istreambuf_iterator<char>(in), {}};
}

void RecordAll(TraceRecorder& trace, char kind, const std::string& bytes) {
  for (char c : bytes) trace.Record(kind, static_cast<std::uint8_t>(c));
}

TEST(TraceDump, AWrappedTraceKeepsTheNewestEntries) {
  TempDir dir;
  TraceRecorder trace;
  ASSERT_EQ(trace.Start(4), 0);
  RecordAll(trace, 'T', "ABC");
  RecordAll(trace, 'R', "xyz");
  ASSERT_EQ(trace.Dump(dir.File("t.trc"), false, true), 0);
  EXPECT_EQ(dir.Read("t.trc"), Expected("trace_wrapped.txt"));
  EXPECT_FALSE(trace.HasBuffer());  // a dump ends the trace
}

TEST(TraceDump, UnprintableBytesInHexAndDecimal) {
  TempDir dir;
  const std::string bytes = std::string("AT Z\r\n\xC8", 7) + std::string(1, '\0') + "~";
  for (bool hex : {true, false}) {
    TraceRecorder trace;
    ASSERT_EQ(trace.Start(100), 0);
    RecordAll(trace, 'T', bytes);
    ASSERT_EQ(trace.Dump(dir.File("t.trc"), false, hex), 0);
    EXPECT_EQ(dir.Read("t.trc"), Expected(hex ? "trace_hex.txt" : "trace_decimal.txt"));
  }
}

TEST(TraceDump, LinesFoldAfterSeventyEightColumnsAndKindsGetHeadings) {
  TempDir dir;
  TraceRecorder trace;
  ASSERT_EQ(trace.Start(1000), 0);
  RecordAll(trace, 'T', std::string(77, 'a') + "\r" + std::string(80, 'a'));
  RecordAll(trace, 'R', std::string(80, 'b'));
  trace.Record('X', '!');
  ASSERT_EQ(trace.Dump(dir.File("t.trc"), false, true), 0);
  const std::string dump = dir.Read("t.trc");
  EXPECT_EQ(dump, Expected("trace_folded.txt"));
}

TEST(TraceDump, AppendingEmptyAndUnwritableDumps) {
  TempDir dir;
  TraceRecorder trace;
  ASSERT_EQ(trace.Start(10), 0);
  ASSERT_EQ(trace.Dump(dir.File("none.trc"), false, true), 0);
  EXPECT_FALSE(std::filesystem::exists(dir.File("none.trc")));  // nothing recorded: no file

  dir.Write("a.trc", "before\n");
  ASSERT_EQ(trace.Start(10), 0);
  RecordAll(trace, 'R', "OK");
  EXPECT_EQ(trace.Dump(dir.File("missing/a.trc"), false, true), ecPathNotFound);
  EXPECT_TRUE(trace.HasBuffer());  // kept for another attempt
  ASSERT_EQ(trace.Dump(dir.File("a.trc"), true, true), 0);
  EXPECT_EQ(dir.Read("a.trc"), "before\nReceive: OK\n");

  EXPECT_EQ(trace.Start(kMaxTraceEntries + 1), ecBadArgument);
  ASSERT_EQ(trace.Start(2), 0);
  trace.Pause();
  RecordAll(trace, 'T', "paused");
  trace.Resume();
  RecordAll(trace, 'T', "k");
  ASSERT_EQ(trace.Dump(dir.File("b.trc"), false, true), 0);
  EXPECT_EQ(dir.Read("b.trc"), "Transmit: k\n");
}

TEST(LogDump, EntriesWithDataFoldingAndModemBits) {
  TempDir dir;
  DispatchLog log;
  ASSERT_EQ(log.Start(10000), 0);
  const std::uint8_t ok[] = {'O', 'K', '\r'};
  log.Record(kLogDispatch, kLogReadCom, 5, 3, ok, 3);
  log.Record(kLogTrigger, kLogAvail, 17, 3);
  const std::string fifty(50, 'x');
  log.Record(kLogDispatch, kLogWriteCom, 1234, 50, reinterpret_cast<const std::uint8_t*>(fifty.data()), 50);
  const std::uint8_t one[] = {1};
  log.Record(kLogTrigger, kLogModemStatus, 65536, 0xB1, one, 1);
  log.Record(kLogTrigger, kLogTimer, 70000, 2);
  ASSERT_EQ(log.Dump(dir.File("q.log"), false, true), 0);
  EXPECT_EQ(dir.Read("q.log"), Expected("log_dump.txt"));
  EXPECT_FALSE(log.HasBuffer());
}

TEST(LogDump, OldestWholeEntriesMakeRoomAndOversizedDataIsCut) {
  TempDir dir;
  DispatchLog log;
  ASSERT_EQ(log.Start(40), 0);
  for (std::uint16_t i = 1; i <= 4; ++i) log.Record(kLogTrigger, kLogTimer, i, i);
  ASSERT_EQ(log.Dump(dir.File("w.log"), false, true), 0);
  const std::string heading =
      "Time      Type      SubType       Data  OtherData\n----      ----      -------       ----  ---------\n";
  EXPECT_EQ(dir.Read("w.log"), heading +
                                   "00000002  trigger   timer         0002  \n"
                                   "00000003  trigger   timer         0003  \n"
                                   "00000004  trigger   timer         0004  \n");

  ASSERT_EQ(log.Start(20), 0);
  const std::string big = "0123456789ABCDEF";
  log.Record(kLogDispatch, kLogReadCom, 9, 16, reinterpret_cast<const std::uint8_t*>(big.data()), 16);
  ASSERT_EQ(log.Dump(dir.File("c.log"), false, false), 0);
  EXPECT_EQ(dir.Read("c.log"), heading + "00000009  dispatch  readcom       0010  0123456\n");

  ASSERT_EQ(log.Start(100), 0);
  ASSERT_EQ(log.Dump(dir.File("e.log"), false, true), 0);
  EXPECT_FALSE(std::filesystem::exists(dir.File("e.log")));
  ASSERT_EQ(log.Start(100), 0);
  log.Record(kLogTrigger, kLogData, 1, 5);
  EXPECT_EQ(log.Dump(dir.File("nope/e.log"), false, true), ecPathNotFound);
  EXPECT_TRUE(log.Enabled());  // logging stays on
  EXPECT_EQ(log.Start(kMaxLogBytes + 1), 0);  // a buffer exists: only emptied
  EXPECT_EQ(log.UsedBytes(), 0);
}

using PortTraceTest = SimPortTest;

TEST_F(PortTraceTest, PortRecordsWhatIsWrittenAndReadAndWhatItDelivered) {
  TempDir dir;
  ASSERT_EQ(StartTrace(port_, 100), 0);
  ASSERT_EQ(StartLog(port_, 2000), 0);
  EventRecorder rec;
  ASSERT_EQ(RegisterTriggerHandler(port_, nullptr, EventRecorder::Procedure, &rec, true), 0);
  ASSERT_EQ(SetAvailLevel(port_, 4), 0);
  ASSERT_EQ(PutString(port_, "AT\r"), 0);
  ASSERT_TRUE(modem_->WaitForWritten(3, 1000));
  modem_->Receive("OK\r\n");
  ASSERT_TRUE(WaitUntil([&] { return rec.Count(kMsgTriggerAvail) == 1; }));
  EXPECT_EQ(ReadAll(), "OK\r\n");
  ASSERT_EQ(DumpTrace(port_, dir.File("p.trc"), false, true), 0);
  EXPECT_EQ(dir.Read("p.trc"), "Transmit: AT[0D]\n\nReceive: OK[0D][0A]\n");

  ASSERT_EQ(DumpLog(port_, dir.File("p.log"), false, true), 0);
  std::ifstream in(dir.File("p.log"));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line.substr(10));  // without the time
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[2], "dispatch  writecom      0003  AT[0D]");
  EXPECT_EQ(lines[3], "dispatch  readcom       0004  OK[0D][0A]");
  EXPECT_EQ(lines[4], "trigger   avail         0004  ");
  EXPECT_EQ(StopTrace(0), ecBadHandle);
}

}  // namespace
}  // namespace tv::test
