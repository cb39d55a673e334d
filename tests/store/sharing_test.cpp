// Programs sharing a table, and the failures a disk or a rebuild bring:
// concurrent writers never take each other's work for a crash, a replaced
// index is noticed, a failed write leaves the record as it was, and a
// rebuild's progress report cannot change the table it works on.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <fstream>
#include <thread>

#include "store/fax_tables.h"
#include "store/xb_engine.h"
#include "tests/store/store_test_support.h"
#include "tests/support/temp_dir.h"

namespace tv {
namespace {

using test::TempDir;

// Two programs adding to the same table at once, 150 times each: every add
// that succeeded is there afterwards, and no open took the other writer's
// change under way for a crash and rebuilt the index.
TEST(SharingTest, ConcurrentWritersNeverRebuildAHealthyIndex) {
  TempDir dir;
  const std::string tvfax = TVFAX_PATH;
  ASSERT_EQ(std::system((tvfax + " db init " + dir.Path() + " >/dev/null").c_str()), 0);
  auto loop = [&](const std::string& who) {
    return "for i in $(seq 1 150); do if " + tvfax + " db add " + dir.Path() + " TVPB NAME=" + who +
           "$i >/dev/null 2>>" + dir.File(who + ".err") + "; then echo ok; fi; done > " + dir.File(who + ".ok");
  };
  std::thread first([&] { std::system(loop("a").c_str()); });
  std::thread second([&] { std::system(loop("b").c_str()); });
  first.join();
  second.join();
  const auto lines = [&](const std::string& name) {
    std::ifstream in(dir.File(name));
    int n = 0;
    for (std::string line; std::getline(in, line);) ++n;
    return n;
  };
  const int added = lines("a.ok") + lines("b.ok");
  EXPECT_EQ(dir.Read("a.err") + dir.Read("b.err"), "");  // no rebuild, no failure
  EXPECT_EQ(added, 300);
  const std::string listed = test::RunCommand(tvfax + " db list " + dir.Path() + " TVPB --tag NAME");
  EXPECT_EQ(static_cast<int>(std::count(listed.begin(), listed.end(), '\n')), added);
  TXbaseEnv env;
  TXbase table;
  std::string problem;
  ASSERT_TRUE(OpenPhoneTable(table, dir.Path(), true, &problem));
  EXPECT_EQ(problem, "");
  LayerEnd();
}

class SharedTableTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(OpenPhoneTable(a_, dir_.Path(), false)); }
  void TearDown() override {
    InjectWriteFault({});
    LayerEnd();
  }
  std::uint32_t Add(TXbase& table, const std::string& name) {
    table.NewRecord();
    table.SetField("NAME", name);
    return table.Append();
  }
  std::vector<std::string> Names(TXbase& table) {
    std::vector<std::string> names;
    for (int r = table.First(); r == xbOK; r = table.Next())
      names.push_back(std::get<std::string>(*table.Field("NAME")));
    return names;
  }

  TempDir dir_;
  TXbaseEnv env_;
  TXbase a_;
};

// One program builds the index anew while another has the table open: the
// other notices the new file and keeps it up to date, not the old one.
TEST_F(SharedTableTest, AWriterWhoseIndexWasReplacedReadsTheNewOne) {
  TXbase b;
  ASSERT_TRUE(OpenPhoneTable(b, dir_.Path(), false));
  Add(a_, "m");
  b.BuildIndex(RequiredTags(PhoneTableLayout()));
  b.SelectOrder(b.TagOrder("NAME"));
  Add(a_, "c");  // into the index b made
  Add(b, "x");
  EXPECT_EQ(Names(b), (std::vector<std::string>{"c", "m", "x"}));
  EXPECT_EQ(Names(a_), (std::vector<std::string>{"c", "m", "x"}));
  a_.Close();
  b.Close();
  TXbase again;
  std::string problem;
  ASSERT_TRUE(OpenPhoneTable(again, dir_.Path(), true, &problem));
  EXPECT_EQ(problem, "");
  EXPECT_EQ(Names(again), (std::vector<std::string>{"c", "m", "x"}));
}

// A disk that refuses a write: the change reaches the caller as an error,
// and the record on disk is as it was.
TEST_F(SharedTableTest, AFailedWriteIsReportedAndChangesNothing) {
  Add(a_, "kept");
  const std::string before = dir_.Read("TVPB.DBF");
  InjectWriteFault([](const std::string& path) { return path.ends_with("TVPB.DBF") ? ENOSPC : 0; });
  ASSERT_EQ(a_.First(), xbOK);
  a_.SetField("NAME", "changed");
  try {
    a_.Modify();
    FAIL() << "the failed write was not reported";
  } catch (const XbaseError& e) {
    EXPECT_EQ(e.Code(), xbFileError);
    EXPECT_NE(std::string(e.what()).find("No space left"), std::string::npos) << e.what();
  }
  EXPECT_THROW(a_.Delete(), XbaseError);
  EXPECT_THROW(Add(a_, "new"), XbaseError);
  InjectWriteFault({});
  EXPECT_EQ(dir_.Read("TVPB.DBF"), before);
  EXPECT_EQ(Names(a_), (std::vector<std::string>{"kept"}));
}

// While a tag is being built its progress report may run other work (a
// window processing events): that work cannot change or close the table, so
// the tag holds every record.
TEST_F(SharedTableTest, ARebuildsProgressReportCannotChangeItsTable) {
  for (int i = 0; i < 50; ++i) Add(a_, "n" + std::to_string(i));
  a_.Close();
  TXbase table;
  ASSERT_TRUE(OpenPhoneTable(table, dir_.Path(), true));
  int refused = 0;
  table.SetProgressHook([&](int) {
    for (auto change :
         {std::function<void()>([&] { Add(table, "late"); }), std::function<void()>([&] { table.Close(); })}) {
      try {
        change();
      } catch (const XbaseError& e) {
        refused += e.Code() == xbTableBusy;
      }
    }
  });
  table.BuildIndex(RequiredTags(PhoneTableLayout()));
  table.SetProgressHook({});
  EXPECT_GT(refused, 0);
  ASSERT_TRUE(table.Active());
  EXPECT_EQ(table.RecordCount(), 50u);
  table.SelectOrder(table.TagOrder("NAME"));
  EXPECT_EQ(Names(table).size(), 50u);
}

}  // namespace
}  // namespace tv
