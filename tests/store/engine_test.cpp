// The engine operations, the cursor layer and the two table components:
// work areas and aliases, open modes, record locks, filters, the deleted
// setting, outcome codes, field reading and writing, and indexes kept in
// step with every change.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

#include "store/table_cursor.h"
#include "store/txbase.h"
#include "store/xb_engine.h"
#include "tests/store/store_test_support.h"
#include "tests/support/temp_dir.h"

namespace tv {
namespace {

using test::TempDir;

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override { LayerStart(); }
  void TearDown() override { LayerEnd(); }

  // A table like the received faxes: DATEREC D, FROM C20, PAGES N2, COST N8.2, ARCHIVED L.
  std::string MakeTable(const std::string& name, const std::string& folder = {}) {
    const std::string path = (folder.empty() ? dir_.Path() : folder) + name;
    TXbase maker;
    EXPECT_TRUE(maker.CreateTable(path, kDriverCdx, 5));
    maker.AddField("DATEREC", 'D', 0, 8);
    maker.AddField("FROM", 'C', 0, 20);
    maker.AddField("PAGES", 'N', 0, 2);
    maker.AddField("COST", 'N', 2, 8);
    maker.AddField("ARCHIVED", 'L', 0, 1);
    EXPECT_TRUE(maker.FinishCreate());
    return path;
  }

  std::uint32_t AddRow(TXbase& table, const std::string& from, bool archived = false) {
    table.NewRecord();
    table.SetField("FROM", from);
    table.SetField("ARCHIVED", archived);
    return table.Append();
  }

  std::vector<std::string> Froms(TXbase& table) {
    std::vector<std::string> names;
    for (int r = table.First(); r == xbOK; r = table.Next()) {
      const auto v = table.Field("FROM");
      names.push_back(v ? std::get<std::string>(*v) : "<null>");
    }
    return names;
  }

  TempDir dir_;
  TXbaseEnv env_;
};

TEST_F(EngineTest, AliasesFollowTheFileNameWithNumberedDuplicates) {
  std::filesystem::create_directory(dir_.File("other"));
  const std::string a = MakeTable("TVOUT.DBF");
  const std::string b = MakeTable("TVOUT.DBF", dir_.File("other") + "/");
  const std::string c = MakeTable("my-fax~1.DBF");
  TXbase first, second, third;
  first.Open(a, false);
  second.Open(b, false);
  third.Open(c, false);
  EXPECT_EQ(xb_WorkArea("TVOUT"), first.Cursor());
  EXPECT_EQ(xb_WorkArea("tvout_1"), second.Cursor());
  EXPECT_EQ(xb_WorkArea("MY_FAX_1"), third.Cursor());
  EXPECT_NE(first.Cursor(), second.Cursor());
  EXPECT_EQ(xb_SysProp(spAreaInUse, second.Cursor()), 1);
  second.Close();
  EXPECT_EQ(xb_SysProp(spAreaInUse, second.Cursor()), 0);
  EXPECT_EQ(AliasForTable(b), "TVOUT_1");
}

TEST_F(EngineTest, OnlyTheCdxDriverIsAccepted) {
  const std::string path = MakeTable("T.DBF");
  EXPECT_EQ(xb_Use(path, "T", kOpenShared, 1), 0);
  EXPECT_NE(xb_LastErrorText().find("driver 1"), std::string::npos);
  CursorOpenRequest request;
  request.path = path;
  request.tableType = "XBNTX";
  int cursor = 0;
  EXPECT_EQ(CursorOpen(request, cursor), xbOpenFailed);
  EXPECT_EQ(cursor, 0);
  EXPECT_FALSE(TXbase().CreateTable(dir_.File("N.DBF"), 3, 1));
  TXbase table;
  table.Open(path, false);
  try {
    table.OpenIndexFile("EXTRA.NTX");
    FAIL();
  } catch (const XbaseError& e) {
    EXPECT_EQ(e.Code(), xbNotSupported);
  }
  try {
    CursorNotSupported("SetPassword");
    FAIL();
  } catch (const XbaseError& e) {
    EXPECT_STREQ(e.what(), "This function not supported in the table layer : SetPassword");
  }
}

TEST_F(EngineTest, RecordNumberIsCountPlusOneWithoutACurrentRecord) {
  TXbase table;
  table.Open(MakeTable("T.DBF"), true);
  EXPECT_EQ(table.RecordCount(), 0u);
  EXPECT_EQ(table.RecordNumber(), 1u);
  AddRow(table, "a");
  AddRow(table, "b");
  EXPECT_EQ(table.RecordNumber(), 2u);
  table.GoToRecord(1);
  EXPECT_EQ(table.RecordNumber(), 1u);
  EXPECT_EQ(table.Next(), xbOK);
  EXPECT_EQ(table.Next(), xbEndOfFile);
  EXPECT_EQ(table.RecordNumber(), 3u);
  table.GoToRecord(99);
  EXPECT_TRUE(table.Eof());
  EXPECT_EQ(table.RecordNumber(), 3u);
  EXPECT_EQ(table.RecordSize(), 1 + 8 + 20 + 2 + 8 + 1);
}

TEST_F(EngineTest, FieldsReadAndWriteByTheirLogicalTypes) {
  TXbase table;
  table.Open(MakeTable("T.DBF"), true);
  const auto& fields = CursorFields(table.Cursor());
  ASSERT_EQ(fields.size(), 5u);
  EXPECT_EQ(fields[0].kind, FieldKind::Date);
  EXPECT_EQ(fields[1].kind, FieldKind::String);
  EXPECT_EQ(fields[1].length, 21);
  EXPECT_EQ(fields[2].kind, FieldKind::SmallInt);
  EXPECT_EQ(fields[3].kind, FieldKind::Float);
  EXPECT_EQ(fields[4].kind, FieldKind::Boolean);

  table.NewRecord();
  EXPECT_FALSE(table.Field("FROM").has_value());  // blanks read as null, not as ""
  EXPECT_FALSE(table.Field("DATEREC").has_value());
  table.SetField("from", std::string("a sender whose name is much too long"));
  table.SetField("DATEREC", CivilDate{2024, 2, 29});
  table.SetField("PAGES", 7);
  table.SetField("COST", 1234.567);
  table.SetField("ARCHIVED", true);
  const std::uint32_t recno = table.Append();
  table.GoToRecord(recno);
  EXPECT_EQ(std::get<std::string>(*table.Field("FROM")), "a sender whose name");  // cut to 20, blank trimmed
  const CivilDate date = std::get<CivilDate>(*table.Field("DATEREC"));
  EXPECT_EQ(date.year * 10000 + date.month * 100 + date.day, 20240229);
  EXPECT_EQ(std::get<int>(*table.Field("PAGES")), 7);
  EXPECT_DOUBLE_EQ(std::get<double>(*table.Field("COST")), 1234.57);
  EXPECT_TRUE(std::get<bool>(*table.Field("ARCHIVED")));
  EXPECT_EQ(std::string(table.Record().data() + 31, 8), " 1234.57");

  table.SetField("COST", 123456.789);  // fewer decimals make it fit
  EXPECT_EQ(std::string(table.Record().data() + 31, 8), "123456.8");
  EXPECT_THROW(table.SetField("COST", 123456789.0), XbaseError);
  EXPECT_THROW(table.SetField("PAGES", 123), XbaseError);
  EXPECT_THROW(table.SetField("NOSUCH", 1), XbaseError);
  EXPECT_THROW(table.SetField("DATEREC", CivilDate{2023, 2, 29}), XbaseError);

  EXPECT_EQ(xb_Select(table.Cursor()), xb_WorkArea());
  EXPECT_EQ(xb_Replace("DATEREC", rtDateText, "12/31/99", 0, false), 0);
  EXPECT_EQ(xb_GetDateString("DATEREC"), "19991231");
  EXPECT_EQ(xb_Replace("FROM", rtText, "x", 0, false), 0);
  EXPECT_EQ(xb_GetTrimString("FROM"), "x");
  EXPECT_EQ(xb_Replace("COST", rtDouble, "", -3, false), 0);
  EXPECT_EQ(xb_GetString("COST"), "   -3.00");
  EXPECT_NE(xb_Replace("DATEREC", rtDateText, "13/45/99", 0, false), 0);
}

TEST_F(EngineTest, CursorOutcomes) {
  const std::string path = MakeTable("T.DBF");
  TXbase table;
  table.Open(path, false);
  std::vector<char> buffer(static_cast<std::size_t>(table.RecordSize()));
  EXPECT_EQ(CursorNext(table.Cursor(), buffer.data(), false), xbEndOfFile);
  EXPECT_EQ(CursorNext(300, buffer.data(), false), xbInvalidCursor);
  EXPECT_EQ(CursorNext(200, buffer.data(), false), xbInvalidCursor);
  AddRow(table, "first");
  AddRow(table, "second");
  table.First();
  EXPECT_EQ(CursorPrior(table.Cursor(), buffer.data(), false), xbBeginOfFile);
  EXPECT_EQ(CursorCurrent(table.Cursor(), buffer.data(), false), xbOK);
  EXPECT_EQ(std::string(buffer.data() + 9, 5), "first");

  // A second open of the same table (as another program would) holds record 2.
  TXbase other;
  other.Open(path, false);
  other.GoToRecord(2);
  EXPECT_EQ(other.Current(true), xbOK);
  table.First();
  EXPECT_EQ(CursorNext(table.Cursor(), buffer.data(), true), xbRecordLocked);
  EXPECT_EQ(CursorReleaseLocks(other.Cursor(), true), xbOK);
  table.First();
  EXPECT_EQ(CursorNext(table.Cursor(), buffer.data(), true), xbOK);
  EXPECT_EQ(CursorModify(table.Cursor(), buffer.data()), xbOK);  // and unlocks
  EXPECT_EQ(other.Current(true), xbOK);
  EXPECT_EQ(CursorSynchronise(table.Cursor(), other.Cursor()), xbOK);
  EXPECT_EQ(table.RecordNumber(), 2u);
  EXPECT_EQ(CursorRecordCount(table.Cursor()), 2u);
}

TEST_F(EngineTest, RecordChangedOutOfTheFilterIsNoLongerVisible) {
  TXbase table;
  table.Open(MakeTable("T.DBF"), true);
  for (const char* name : {"a", "b", "c"}) AddRow(table, name);
  table.SetFilter(".not. archived");
  EXPECT_EQ(table.First(), xbOK);
  EXPECT_EQ(table.Next(), xbOK);
  EXPECT_EQ(table.RecordNumber(), 2u);
  table.SetField("ARCHIVED", true);
  EXPECT_NO_THROW(table.Modify());
  EXPECT_EQ(table.Current(), xbRecordNotVisible);
  EXPECT_EQ(table.RecordNumber(), 3u);  // moved on
  EXPECT_EQ(table.Current(), xbOK);
  EXPECT_EQ(Froms(table), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(table.QueryCount(), 2u);
  table.SetFilter("");
  EXPECT_EQ(Froms(table), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_THROW(table.SetFilter("archived +"), XbaseError);
  EXPECT_THROW(table.SetFilter("FROM"), XbaseError);
}

TEST_F(EngineTest, DeletedSettingHidesDeletedRecordsEverywhere) {
  TXbase table;
  table.Open(MakeTable("T.DBF"), true);
  for (const char* name : {"a", "b", "c"}) AddRow(table, name);
  table.CreateTag("", "FROM", "UPPER(FROM)", 0, true, "");
  table.GoToRecord(2);
  EXPECT_NO_THROW(table.Delete());
  EXPECT_EQ(Froms(table), (std::vector<std::string>{"c", "b", "a"}));
  env_.SetDeleted(true);
  EXPECT_EQ(Froms(table), (std::vector<std::string>{"c", "a"}));
  EXPECT_EQ(table.QueryCount(), 2u);
  EXPECT_EQ(table.RowCount(), 2u);
  table.SelectOrder(0);
  EXPECT_EQ(Froms(table), (std::vector<std::string>{"a", "c"}));
  table.Last();
  EXPECT_EQ(table.Prior(), xbOK);
  EXPECT_EQ(table.RecordNumber(), 1u);
  EXPECT_EQ(table.RecordCount(), 3u);
  EXPECT_TRUE(table.GoToRow(1));
  EXPECT_EQ(table.RecordNumber(), 3u);
  EXPECT_FALSE(table.GoToRow(2));
}

// Random appends, changes, deletions and recalls through the engine; after
// each round every tag walks exactly as the records say it should, and the
// files reopen clean.
TEST_F(EngineTest, TagsFollowEveryChange) {
  const std::string path = MakeTable("T.DBF");
  std::map<std::uint32_t, std::pair<std::string, bool>> model;  // FROM, deleted
  std::mt19937 random(11);
  auto randomName = [&] {
    std::string name;
    for (int i = 0, n = 1 + static_cast<int>(random() % 12); i < n; ++i) name += static_cast<char>("aAbBzZ 0~"[random() % 9]);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    return name;
  };
  for (int round = 0; round < 3; ++round) {
    {
      TXbase table;
      table.Open(path, round % 2 == 0);
      if (round == 0) {
        table.CreateTag("", "UFROM", "UPPER(FROM)", 0, false, ".not. deleted()");
        table.CreateTag("", "DFROM", "FROM", 0, true, "");
        table.CreateTag("", "UNIQ", "FROM", 1, false, "");
      }
      table.SelectOrder(0);
      for (int i = 0; i < 400; ++i) {
        const int action = static_cast<int>(random() % 4);
        if (action == 0 || model.empty()) {
          const std::string name = randomName();
          model[AddRow(table, name)] = {name, false};
          continue;
        }
        const auto recno = static_cast<std::uint32_t>(random() % model.size() + 1);
        table.GoToRecord(recno);
        if (action == 1) {
          const std::string name = randomName();
          table.SetField("FROM", name);
          ASSERT_NO_THROW(table.Modify());
          model[recno].first = name;
        } else if (action == 2) {
          ASSERT_NO_THROW(table.Delete());
          model[recno].second = true;
        } else {
          xb_Select(table.Cursor());
          ASSERT_EQ(xb_Recall(), 0);
          model[recno].second = false;
        }
      }
    }
    WorkArea* area = nullptr;
    TXbase table;
    table.Open(path, false, true);  // read-only: reopening checks every tag
    xb_Select(table.Cursor());
    area = xb_CurrentArea();
    auto expected = [&](bool upper, bool skipDeleted, bool unique) {
      std::vector<std::pair<std::string, std::uint32_t>> keys;
      for (const auto& [recno, row] : model) {
        if (skipDeleted && row.second) continue;
        std::string key = row.first;
        if (upper) std::transform(key.begin(), key.end(), key.begin(), ::toupper);
        key.resize(20, ' ');
        keys.emplace_back(key, recno);
      }
      std::sort(keys.begin(), keys.end());
      if (unique)
        keys.erase(std::unique(keys.begin(), keys.end(), [](auto& a, auto& b) { return a.first == b.first; }), keys.end());
      std::vector<std::uint32_t> recnos;
      for (const auto& k : keys) recnos.push_back(k.second);
      return recnos;
    };
    EXPECT_EQ(test::Walk(*area, 1), expected(true, true, false)) << "round " << round;
    std::vector<std::uint32_t> descending = expected(false, false, false);
    std::reverse(descending.begin(), descending.end());
    EXPECT_EQ(test::Walk(*area, 2), descending) << "round " << round;
    // Unique keys keep the first record of each value at the time it was indexed;
    // after changes only a subset remains, always in key order without repeats.
    const std::vector<std::uint32_t> unique = test::Walk(*area, 3);
    std::set<std::string> seen;
    for (std::uint32_t r : unique) EXPECT_TRUE(seen.insert(model[r].first).second);
  }
}

TEST_F(EngineTest, SeekFindsKeysAndLeadingParts) {
  TXbase table;
  table.Open(MakeTable("T.DBF"), true);
  for (const char* name : {"Miller", "Adams", "Mills", "Zorn"}) AddRow(table, name);
  table.CreateTag("", "FROM", "UPPER(FROM)", 0, false, "");
  xb_Select(table.Cursor());
  EXPECT_TRUE(xb_Seek("MILL"));
  EXPECT_EQ(xb_GetTrimString("FROM"), "Miller");
  EXPECT_TRUE(xb_Seek("MILLS"));
  EXPECT_EQ(xb_RecNo(), 3u);
  EXPECT_FALSE(xb_Seek("N"));
  EXPECT_TRUE(xb_Eof());
  env_.SetSoftSeek(true);
  EXPECT_FALSE(xb_Seek("N"));
  EXPECT_EQ(xb_GetTrimString("FROM"), "Zorn");
  env_.SetExact(true);
  EXPECT_FALSE(xb_Seek("MILL"));  // whole keys only; the soft seek stops on the next one
  EXPECT_FALSE(xb_EvalLogical("FROM = 'Mill'"));
  EXPECT_TRUE(xb_EvalLogical("FROM = 'Miller'"));
  EXPECT_EQ(xb_EvalString("UPPER(FROM)"), "MILLER              ");
  EXPECT_FALSE(xb_EvalTest("FROM +"));
}

// After a pack every tag holds exactly what building it afresh gives,
// whether its keys were carried over in order or built again.
TEST_F(EngineTest, PackedTagsEqualFreshlyBuiltOnes) {
  // Plain tags are carried over in order; a unique tag, or one whose key or
  // condition uses RECNO(), makes the pack build every tag again.
  for (const bool carried : {true, false}) {
    TXbase table;
    table.Open(MakeTable(carried ? "C.DBF" : "R.DBF"), true);
    std::mt19937 random(3);
    for (int i = 0; i < 3000; ++i) AddRow(table, "n" + std::to_string(random() % 700), i % 3 == 0);
    table.CreateTag("", "FROM", "FROM", 0, false, "");
    table.CreateTag("", "LIVE", "UPPER(FROM)", 0, true, ".not. deleted()");
    table.CreateTag("", "ARCH", "ARCHIVED", 0, false, carried ? "" : "RECNO() % 2 = 0");
    if (!carried) {
      table.CreateTag("", "BYNUMBER", "STR(RECNO(), 6) + FROM", 0, false, "");
      table.CreateTag("", "FIRSTS", "FROM", 1, false, "");
    }
    for (std::uint32_t r = 1; r <= 3000; r += 1 + random() % 5) {
      table.GoToRecord(r);
      table.Delete();
    }
    table.Pack();
    xb_Select(table.Cursor());
    WorkArea& area = *xb_CurrentArea();
    const int tags = static_cast<int>(area.Tags().size());
    std::vector<std::vector<std::uint32_t>> packed;
    for (int order = 1; order <= tags; ++order) packed.push_back(test::Walk(area, order));
    EXPECT_LT(packed[0].size(), 3000u);
    area.Reindex();
    for (int order = 1; order <= tags; ++order)
      EXPECT_EQ(test::Walk(area, order), packed[static_cast<std::size_t>(order - 1)]) << order << " " << carried;
  }
}

TEST_F(EngineTest, KeyRangesLimitTheOrderInBothDirections) {
  TXbase table;
  table.Open(MakeTable("T.DBF"), true);
  for (const char* name : {"Miller", "Adams", "Mills", "Zorn", "Baker", "Mona", "Nash"}) AddRow(table, name);
  table.CreateTag("", "FROM", "UPPER(FROM)", 0, false, "");
  table.CreateTag("", "FROMD", "UPPER(FROM)", 0, true, "");
  for (const char* tag : {"FROM", "FROMD"}) {
    table.SelectOrder(table.TagOrder(tag));
    xb_Select(table.Cursor());
    ASSERT_EQ(xb_SetScope("MI", "MO"), 0);
    std::vector<std::string> names = Froms(table);
    if (std::string(tag) == "FROMD") std::reverse(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Miller", "Mills", "Mona"})) << tag;
    table.Last();
    EXPECT_EQ(xb_KeyData(), std::string(tag) == "FROM" ? "MONA                " : "MILLER              ");
    EXPECT_EQ(table.Prior(), xbOK);
    EXPECT_EQ(table.Prior(), xbOK);
    EXPECT_EQ(table.Prior(), xbBeginOfFile);
    ASSERT_EQ(xb_SetScope("N", ""), 0);
    names = Froms(table);
    EXPECT_EQ(names.size(), 2u) << tag;
    ASSERT_EQ(xb_SetScope("", ""), 0);
    EXPECT_EQ(Froms(table).size(), 7u);
  }
  table.SelectOrder(0);
  xb_Select(table.Cursor());
  EXPECT_NE(xb_SetScope("A", "B"), 0);
  EXPECT_EQ(xb_KeyData(), "");
}

TEST_F(EngineTest, SharedOpensSeeEachOthersChanges) {
  const std::string path = MakeTable("T.DBF");
  TXbase a, b;
  a.Open(path, false);
  a.CreateTag("", "FROM", "FROM", 0, false, "");
  b.Open(path, false);
  b.SelectOrder(b.TagOrder("FROM"));
  AddRow(a, "m");
  AddRow(a, "c");
  EXPECT_EQ(Froms(b), (std::vector<std::string>{"c", "m"}));
  AddRow(b, "a");
  EXPECT_EQ(Froms(b), (std::vector<std::string>{"a", "c", "m"}));
  a.SelectOrder(1);
  EXPECT_EQ(Froms(a), (std::vector<std::string>{"a", "c", "m"}));
  // Packing needs the table to itself.
  EXPECT_THROW(a.Pack(), XbaseError);
}

// A reader walks a tag over and over while another program appends to the
// shared table: every walk is complete and in order, never half-updated.
TEST_F(EngineTest, ReadersNeverSeeAWriterHalfWay) {
  const std::string path = MakeTable("T.DBF");
  {
    TXbase table;
    table.Open(path, false);
    table.CreateTag("", "FROM", "FROM", 0, false, "");
  }
  LayerEnd();
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  const pid_t child = fork();
  if (child == 0) {
    int code = 0;
    char start = 0;
    try {
      TXbase table;
      table.Open(path, false);
      if (read(go[0], &start, 1) != 1) _exit(2);
      for (int i = 0; i < 2000; ++i) AddRow(table, "name" + std::to_string((i * 7919) % 1000));
    } catch (...) {
      code = 1;
    }
    _exit(code);
  }
  TXbase reader;
  reader.Open(path, false, true);
  reader.SelectOrder(1);
  ASSERT_EQ(write(go[1], "!", 1), 1);
  std::size_t last = 0;
  int walks = 0;
  int status = 0;
  for (; waitpid(child, &status, WNOHANG) == 0; ++walks) {
    const std::vector<std::string> names = Froms(reader);
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
    EXPECT_GE(names.size(), last);
    last = names.size();
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(Froms(reader).size(), 2000u);
  EXPECT_GT(walks, 1);
}

TEST_F(EngineTest, PackRemovesDeletedRecordsAndRebuildsTags) {
  TXbase table;
  table.Open(MakeTable("T.DBF"), true);
  for (const char* name : {"d", "b", "c", "a"}) AddRow(table, name);
  table.CreateTag("", "FROM", "FROM", 0, false, "");
  table.GoToRecord(2);
  table.Delete();
  std::vector<int> progress;
  table.SetProgressHook([&](int percent) { progress.push_back(percent); });
  table.Pack();
  EXPECT_EQ(table.RecordCount(), 3u);
  EXPECT_EQ(table.CurrentOrder(), 1);
  EXPECT_EQ(Froms(table), (std::vector<std::string>{"a", "c", "d"}));
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), 100);
}

}  // namespace
}  // namespace tv
