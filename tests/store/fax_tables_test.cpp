// The three fax tables: their layout and tags, opening and creating them,
// the orders and filters the windows use, and the rebuild.
#include "store/fax_tables.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <span>

#include "store/xb_engine.h"
#include "tests/store/store_test_support.h"
#include "tests/support/temp_dir.h"

namespace tv {
namespace {

using test::TempDir;

class FaxTablesTest : public ::testing::Test {
 protected:
  FaxTablesTest() { env_.SetDeleted(true); }
  void TearDown() override { LayerEnd(); }

  std::uint32_t AddFax(TXbase& table, const std::string& subject, std::optional<CivilDate> sent, const std::string& time,
                       bool archived = false) {
    table.NewRecord();
    table.SetField("SUBJECT", subject);
    if (sent) table.SetField("DATESENT", *sent);
    table.SetField("TIMESENT", time);
    table.SetField("ARCHIVED", archived);
    return table.Append();
  }

  std::vector<std::string> Column(TXbase& table, const std::string& field) {
    std::vector<std::string> values;
    for (int r = table.First(); r == xbOK; r = table.Next()) {
      const auto v = table.Field(field);
      values.push_back(v ? std::get<std::string>(*v) : "");
    }
    return values;
  }

  TempDir dir_;
  TXbaseEnv env_;
};

TEST_F(FaxTablesTest, OpeningCreatesTheTablesWithTheirFieldsAndTags) {
  TXbase out, rec, phone;
  ASSERT_TRUE(OpenOutgoingTable(out, dir_.Path()));
  ASSERT_TRUE(OpenRecFaxDBF(rec, dir_.Path()));
  ASSERT_TRUE(OpenPhoneTable(phone, dir_.Path(), false));
  for (const char* file : {"TVOUT.DBF", "TVOUT.CDX", "TVREC.DBF", "TVREC.CDX", "TVPB.DBF", "TVPB.CDX"})
    EXPECT_TRUE(std::filesystem::exists(dir_.File(file))) << file;

  struct Expect {
    TXbase* table;
    const FaxTableLayout* layout;
    const char* filter;
  };
  for (const Expect& e : {Expect{&out, &OutgoingTableLayout(), kArchiveFilter},
                          Expect{&rec, &ReceivedTableLayout(), kNotDeletedFilter},
                          Expect{&phone, &PhoneTableLayout(), kNotDeletedFilter}}) {
    const auto& fields = CursorFields(e.table->Cursor());
    ASSERT_EQ(fields.size(), e.layout->fields.size());
    for (std::size_t i = 0; i < fields.size(); ++i) {
      EXPECT_EQ(fields[i].name, e.layout->fields[i].name);
      EXPECT_EQ(fields[i].width, e.layout->fields[i].width);
    }
    xb_Select(e.table->Cursor());
    const WorkArea& area = *xb_CurrentArea();
    ASSERT_EQ(area.Tags().size(), e.layout->tags.size());
    for (std::size_t i = 0; i < area.Tags().size(); ++i) {
      EXPECT_EQ(area.Tags()[i].name, e.layout->tags[i].name);
      EXPECT_EQ(area.Tags()[i].key->Text(), e.layout->tags[i].key);
      EXPECT_EQ(area.Tags()[i].descending, e.layout->tags[i].descending);
      ASSERT_TRUE(area.Tags()[i].condition);
      EXPECT_EQ(area.Tags()[i].condition->Text(), ".not. deleted()");
    }
    EXPECT_EQ(e.table->Filter(), e.filter);
    EXPECT_EQ(e.table->CurrentOrder(), 1);
  }
  EXPECT_EQ(out.TagOrder("DATESENT"), 1);
  EXPECT_EQ(rec.TagOrder("DATETIME"), 1);
  EXPECT_EQ(phone.IndexName(), "NAME");
  // The outgoing and received tables are held exclusively.
  TXbase second;
  EXPECT_FALSE(OpenOutgoingTable(second, dir_.Path()));
}

TEST_F(FaxTablesTest, SentFaxesListNewestFirstAndUnsentLast) {
  TXbase out;
  ASSERT_TRUE(OpenOutgoingTable(out, dir_.Path()));
  AddFax(out, "unsent", std::nullopt, "");
  AddFax(out, "old", CivilDate{2023, 5, 1}, "09:00");
  AddFax(out, "new", CivilDate{2024, 1, 2}, "08:00");
  AddFax(out, "newer", CivilDate{2024, 1, 2}, "17:30");
  AddFax(out, "archived", CivilDate{2024, 6, 1}, "10:00", true);
  EXPECT_EQ(Column(out, "SUBJECT"), (std::vector<std::string>{"newer", "new", "old", "unsent"}));
  out.SetFilter("");  // "Show Archived Faxes" on
  EXPECT_EQ(Column(out, "SUBJECT"), (std::vector<std::string>{"archived", "newer", "new", "old", "unsent"}));
  out.SetFilter(kArchiveFilterAgain);
  EXPECT_EQ(Column(out, "SUBJECT"), (std::vector<std::string>{"newer", "new", "old", "unsent"}));
  out.SelectOrder(out.TagOrder("SUBJECT"));
  EXPECT_EQ(Column(out, "SUBJECT"), (std::vector<std::string>{"new", "newer", "old", "unsent"}));
  EXPECT_EQ(out.RowCount(), 4u);
  ASSERT_TRUE(out.GoToRow(2));
  EXPECT_EQ(std::get<std::string>(*out.Field("SUBJECT")), "old");
  ASSERT_TRUE(out.GoToRow(0));
  EXPECT_EQ(std::get<std::string>(*out.Field("SUBJECT")), "new");
  EXPECT_FALSE(out.GoToRow(4));
}

// The grids read rows by position in any order; every position gives the
// record a plain walk reaches there.
TEST_F(FaxTablesTest, RowsByPositionMatchTheWalk) {
  TXbase out;
  ASSERT_TRUE(OpenOutgoingTable(out, dir_.Path()));
  for (int i = 0; i < 300; ++i)
    AddFax(out, "fax " + std::to_string(i * 37 % 300), CivilDate{2020 + i % 5, 1 + i % 12, 1 + i % 28}, "10:00",
           i % 7 == 0);
  out.SelectOrder(out.TagOrder("DATESENT"));
  std::vector<std::uint32_t> walked;
  for (int r = out.First(); r == xbOK; r = out.Next()) walked.push_back(out.RecordNumber());
  ASSERT_EQ(out.RowCount(), walked.size());
  for (std::uint32_t row : {0u, 1u, 2u, 250u, 249u, 10u, 11u, 200u, 5u, 256u, 100u, 101u, 99u}) {
    ASSERT_TRUE(out.GoToRow(row)) << row;
    EXPECT_EQ(out.RecordNumber(), walked[row]) << row;
  }
  EXPECT_FALSE(out.GoToRow(static_cast<std::uint32_t>(walked.size())));
  ASSERT_TRUE(out.GoToRow(3));
  EXPECT_EQ(out.RecordNumber(), walked[3]);
}

TEST_F(FaxTablesTest, ReceivedFaxesByFromRunFromZToA) {
  TXbase rec;
  ASSERT_TRUE(OpenRecFaxDBF(rec, dir_.Path()));
  for (const char* from : {"mike", "Anna", "zed", "Bob"}) {
    rec.NewRecord();
    rec.SetField("FROM", std::string(from));
    rec.SetField("PAGES", 3);
    rec.Append();
  }
  rec.SelectOrder(rec.TagOrder("FROM"));
  EXPECT_EQ(Column(rec, "FROM"), (std::vector<std::string>{"zed", "mike", "Bob", "Anna"}));
}

TEST_F(FaxTablesTest, MissingOrDamagedIndexIsBuiltAgain) {
  {
    TXbase out;
    ASSERT_TRUE(OpenOutgoingTable(out, dir_.Path()));
    AddFax(out, "b", CivilDate{2024, 1, 1}, "10:00");
    AddFax(out, "a", CivilDate{2024, 1, 2}, "10:00");
  }
  std::filesystem::remove(dir_.File("TVOUT.CDX"));
  {
    TXbase out;
    std::string problem;
    ASSERT_TRUE(OpenOutgoingTable(out, dir_.Path(), &problem));
    EXPECT_EQ(problem, "");
    xb_Select(out.Cursor());
    EXPECT_EQ(xb_CurrentArea()->Tags().size(), 5u);
    EXPECT_EQ(Column(out, "SUBJECT"), (std::vector<std::string>{"a", "b"}));
  }
  // Left half-written by a writer that stopped, then cut short.
  std::string cdx = dir_.Read("TVOUT.CDX");
  cdx[28] = 1;
  dir_.Write("TVOUT.CDX", cdx);
  for (const char* fault : {"half-updated", "damaged"}) {
    TXbase out;
    std::string problem;
    ASSERT_TRUE(OpenOutgoingTable(out, dir_.Path(), &problem));
    EXPECT_NE(problem.find(fault), std::string::npos) << problem;
    EXPECT_NE(problem.find("rebuild"), std::string::npos) << problem;
    EXPECT_EQ(Column(out, "SUBJECT"), (std::vector<std::string>{"a", "b"}));
    out.Close();
    std::filesystem::resize_file(dir_.File("TVOUT.CDX"), 1536);
  }
}

// An index holding only some of the table's tags (its writer was stopped
// while creating them), or built when UPPER() folded ASCII letters only, is
// built again whole at the next open.
TEST_F(FaxTablesTest, IndexWithoutEveryTagOrWithTheOldLetterCaseIsBuiltAgain) {
  {
    TXbase out;
    ASSERT_TRUE(OpenOutgoingTable(out, dir_.Path()));
    AddFax(out,
           "\xE9"
           "clair",
           std::nullopt, "");  // éclair in the tables' code page
    AddFax(out, "Zebra", std::nullopt, "");
  }
  std::filesystem::remove(dir_.File("TVOUT.CDX"));
  {
    const XbaseSettings settings;
    auto area = WorkArea::Open(dir_.File("TVOUT.DBF"), OpenMode::Exclusive, settings);
    for (const FaxTagLayout& tag : std::span(OutgoingTableLayout().tags).first(2))
      area->CreateTag(tag.name, tag.key, kNotDeletedCondition, tag.descending, false);
  }
  auto reopen = [&] {
    TXbase out;
    std::string problem;
    EXPECT_TRUE(OpenOutgoingTable(out, dir_.Path(), &problem));
    out.SelectOrder(out.TagOrder("SUBJECT"));
    out.SetFilter("");
    EXPECT_EQ(Column(out, "SUBJECT"), (std::vector<std::string>{"Zebra",
                                                                "\xE9"
                                                                "clair"}));
    EXPECT_TRUE(
        out.Area().Seek(XValue::Char("\xC9"
                                     "CLAIR")));  // the key holds É, not é
    EXPECT_EQ(out.Area().Tags().size(), 5u);
    return problem;
  };
  EXPECT_NE(reopen().find("lacks the tag RECIPIENT"), std::string::npos);
  EXPECT_EQ(reopen(), "");
  std::string cdx = dir_.Read("TVOUT.CDX");
  cdx[36] = 0;  // the letter-case rule of earlier versions
  dir_.Write("TVOUT.CDX", cdx);
  EXPECT_NE(reopen().find("older letter-case rule"), std::string::npos);
  EXPECT_EQ(reopen(), "");
}

TEST_F(FaxTablesTest, ReopeningKeepsFilterOrderAndRecord) {
  TXbase out;
  ASSERT_TRUE(OpenOutgoingTable(out, dir_.Path()));
  AddFax(out, "one", CivilDate{2024, 1, 1}, "10:00");
  const std::uint32_t two = AddFax(out, "two", CivilDate{2024, 1, 3}, "10:00");
  AddFax(out, "three", std::nullopt, "");
  out.SelectOrder(out.TagOrder("SUBJECT"));
  out.GoToRecord(two);
  ASSERT_TRUE(FaxTableCloseAndOpen(out, dir_.Path()));
  EXPECT_EQ(out.RecordNumber(), two);
  EXPECT_EQ(out.IndexName(), "SUBJECT");
  EXPECT_EQ(out.Filter(), kArchiveFilter);
  EXPECT_EQ(Column(out, "SUBJECT"), (std::vector<std::string>{"one", "three", "two"}));
}

TEST_F(FaxTablesTest, RebuildPacksEveryTableAndKeepsTheOrders) {
  TXbase out, rec, phone;
  ASSERT_TRUE(OpenOutgoingTable(out, dir_.Path()));
  ASSERT_TRUE(OpenRecFaxDBF(rec, dir_.Path()));
  {
    TXbase book;
    ASSERT_TRUE(OpenPhoneTable(book, dir_.Path(), false));
    for (const char* name : {"Zoe", "Al"}) {
      book.NewRecord();
      book.SetField("NAME", std::string(name));
      book.Append();
    }
    book.First();
    book.Delete();
  }
  for (const char* s : {"keep1", "drop", "keep2"}) AddFax(out, s, CivilDate{2024, 1, 1}, "10:00");
  out.GoToRecord(2);
  out.Delete();
  rec.NewRecord();
  rec.SetField("FROM", std::string("x"));
  rec.Append();
  out.SelectOrder(out.TagOrder("SUBJECT"));
  rec.SelectOrder(rec.TagOrder("FROM"));

  std::vector<std::string> statuses;
  int gaugeMax = 0;
  RebuildIndexes(out, rec, phone, dir_.Path(), [&](const std::string& status, int percent) {
    if (statuses.empty() || statuses.back() != status) statuses.push_back(status);
    gaugeMax = std::max(gaugeMax, percent);
  });
  EXPECT_EQ(statuses, (std::vector<std::string>{"", "Removing FAX file records marked for deletion",
                                                "Rebuilding FAX file indexes",
                                                "Removing RECEIVE file records marked for deletion",
                                                "Rebuilding RECEIVE file indexes",
                                                "Removing PHONE file records marked for deletion",
                                                "Rebuilding PHONE file indexes"}));
  EXPECT_EQ(gaugeMax, 100);
  EXPECT_EQ(out.RecordCount(), 2u);
  EXPECT_EQ(out.IndexName(), "SUBJECT");
  EXPECT_EQ(rec.IndexName(), "FROM");
  EXPECT_EQ(Column(out, "SUBJECT"), (std::vector<std::string>{"keep1", "keep2"}));
  EXPECT_FALSE(phone.Active());
  TXbase book;
  ASSERT_TRUE(OpenPhoneTable(book, dir_.Path(), true));
  EXPECT_EQ(book.RecordCount(), 1u);
  EXPECT_EQ(Column(book, "NAME"), (std::vector<std::string>{"Zoe"}));  // "Al" came first and was deleted
}

}  // namespace
}  // namespace tv
