// Independent readers and writers: python3-dbfread reads the tables this
// engine writes, Perl's XBase::Index walks its index tags, and tables made
// by python3-dbf and shapelib open here and get correct tags.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <cstring>
#include <sstream>

#include "store/fax_tables.h"
#include "store/field_codec.h"
#include "store/xb_engine.h"
#include "store/xbase_date.h"
#include "tests/store/store_test_support.h"
#include "tests/support/temp_dir.h"

namespace tv {
namespace {

using test::RunCommand;
using test::TempDir;

constexpr const char* kDbfreadScript = R"(
import sys, dbfread
table = dbfread.DBF(sys.argv[1], load=True, char_decode_errors='replace')
def show(v):
    if v is None: return ''
    if isinstance(v, bool): return 'T' if v else 'F'
    if hasattr(v, 'strftime'): return v.strftime('%Y%m%d')
    if isinstance(v, float): return '%.2f' % v
    return str(v).rstrip()
for kind, records in (('L', table.records), ('D', table.deleted)):
    for r in records:
        print('\t'.join([kind] + [show(v) for v in r.values()]))
)";

constexpr const char* kPerlWalkScript = R"(
use strict; use XBase::Index;
my ($file, $tag, $type) = @ARGV;
my $index = XBase::Index->new($file, 'tag' => $tag, 'type' => $type) or die XBase::Index->errstr;
$index->prepare_select;
while (my ($key, $recno) = $index->fetch) { $key =~ s/\s+$// if $type eq 'C'; print "$recno\t$key\n"; }
)";

std::string Script(const TempDir& dir, const std::string& name, const char* text) {
  dir.Write(name, text);
  return dir.File(name);
}

// Our own view of a table, formatted as the dbfread script prints it.
std::string EngineView(WorkArea& area) {
  std::ostringstream live, deleted;
  const auto& fields = area.Table().Fields();
  area.SetOrder(0);
  for (std::uint32_t r = 1; r <= area.RecCount(); ++r) {
    area.Go(r);
    const char* record = area.Record().data();
    std::ostringstream& out = area.Deleted() ? deleted : live;
    out << (area.Deleted() ? "D" : "L");
    for (const DbfField& f : fields) {
      const std::string stored = StoredText(f, record);
      out << "\t";
      if (stored.empty()) continue;
      if (f.type == 'N') {
        char text[64];
        std::snprintf(text, sizeof text, "%.2f", FieldValue(f, record).number);
        out << (f.decimals ? text : std::to_string(static_cast<long>(FieldValue(f, record).number)));
      } else {
        out << stored;
      }
    }
    out << "\n";
  }
  return live.str() + deleted.str();
}

std::string RandomWord(std::mt19937& random, int maxLength) {
  static const std::string kLetters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ   0123456789";
  std::string word;
  for (int i = 0, n = 1 + static_cast<int>(random() % static_cast<unsigned>(maxLength)); i < n; ++i)
    word += kLetters[random() % kLetters.size()];
  while (!word.empty() && word.back() == ' ') word.pop_back();
  return word.empty() ? "x" : word;
}

class InteropTest : public ::testing::Test {
 protected:
  void TearDown() override { LayerEnd(); }

  // Walks every tag with Perl and compares record numbers and keys with the
  // engine's own walk; returns how many tags needed interior pages.
  void ExpectPerlWalksLikeTheEngine(const std::string& dbf) {
    const std::string perl = Script(dir_, "walk.pl", kPerlWalkScript);
    const XbaseSettings settings;
    auto area = WorkArea::Open(dbf, OpenMode::ReadOnly, settings);
    const std::string cdx = area->IndexPath();
    for (std::size_t t = 0; t < area->Tags().size(); ++t) {
      const XbTag& tag = area->Tags()[t];
      const XType type = tag.key->Type();
      const char* perlType = type == XType::Numeric ? "N" : type == XType::Date ? "D" : "C";
      int status = 0;
      const std::string out =
          RunCommand("perl " + perl + " " + cdx + " " + tag.name + " " + perlType + " 2>&1", &status);
      ASSERT_EQ(status, 0) << out;
      std::vector<std::uint32_t> recnos = test::Walk(*area, static_cast<int>(t) + 1);
      if (tag.descending) std::reverse(recnos.begin(), recnos.end());  // Perl reads the stored (ascending) order
      std::ostringstream expected;
      for (std::uint32_t r : recnos) {
        area->Go(r);
        std::string key;
        if (type == XType::Character || type == XType::Logical) {
          key = EncodeKey(tag.key->Evaluate(XRecord{area->Record().data(), r, &settings.expression}), tag.keyLength);
          key.erase(key.find_last_not_of(" \t\n") + 1);
        } else {
          const XValue v = tag.key->Evaluate(XRecord{area->Record().data(), r, &settings.expression});
          if (type == XType::Date) {
            key = v.date ? DtosFromJulian(v.date) : "";
          } else {
            std::ostringstream number;
            number << v.number;
            key = number.str();
          }
        }
        expected << r << "\t" << key << "\n";
      }
      if (type == XType::Character || type == XType::Logical) {
        EXPECT_EQ(out, expected.str()) << "tag " << tag.name;
      } else {
        // Perl prints numbers and dates in its own notation: compare the order.
        std::vector<std::uint32_t> perlOrder;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) perlOrder.push_back(static_cast<std::uint32_t>(std::stoul(line)));
        EXPECT_EQ(perlOrder, recnos) << "tag " << tag.name;
      }
    }
  }

  TempDir dir_;
};

TEST_F(InteropTest, DbfreadAndPerlReadWhatTheEngineWrites) {
  TXbaseEnv env;
  TXbase out;
  ASSERT_TRUE(OpenOutgoingTable(out, dir_.Path()));
  std::mt19937 random(5);
  for (int i = 0; i < 700; ++i) {
    out.NewRecord();
    out.SetField("SUBJECT", "Subject " + RandomWord(random, 40));
    if (i % 7 != 0) out.SetField("DATESENT", CivilDate{1995 + i % 30, 1 + i % 12, 1 + i % 28});
    out.SetField("TIMESENT", std::to_string(10 + i % 14) + ":" + std::to_string(10 + i % 50));
    out.SetField("RECIPIENT", RandomWord(random, 30));
    out.SetField("PHONE", std::to_string(random() % 1000000));
    out.SetField("CODES", i % 3 ? RandomWord(random, 3) : std::string());
    out.SetField("ARCHIVED", i % 5 == 0);
    out.Append();
  }
  out.SetFilter("");
  for (std::uint32_t r = 3; r <= 700; r += 9) {
    out.GoToRecord(r);
    out.Delete();
  }
  out.Close();

  TXbase rec;
  ASSERT_TRUE(OpenRecFaxDBF(rec, dir_.Path()));
  for (int i = 0; i < 300; ++i) {
    rec.NewRecord();
    rec.SetField("FROM", RandomWord(random, 20));
    rec.SetField("PAGES", i % 100);
    rec.SetField("DATEREC", CivilDate{2020, 1 + i % 12, 1 + i % 28});
    rec.Append();
  }
  rec.Close();

  const std::string script = Script(dir_, "read.py", kDbfreadScript);
  for (const char* table : {"TVOUT.DBF", "TVREC.DBF"}) {
    int status = 0;
    const std::string dbfread = RunCommand("/usr/bin/python3 " + script + " " + dir_.File(table) + " 2>&1", &status);
    ASSERT_EQ(status, 0) << dbfread;
    const XbaseSettings settings;
    auto area = WorkArea::Open(dir_.File(table), OpenMode::ReadOnly, settings);
    EXPECT_EQ(dbfread, EngineView(*area)) << table;
    area.reset();
    ExpectPerlWalksLikeTheEngine(dir_.File(table));
  }
  // The subject tag is deep enough to need interior pages: its root page
  // (found through its tag header) is an interior root (attribute 1).
  const std::string cdx = dir_.Read("TVOUT.CDX");
  auto cdxFile = CdxFile::Open(dir_.File("TVOUT.CDX"), true);
  const std::uint32_t header = cdxFile->Tags()[1].headerOffset;
  ASSERT_EQ(cdxFile->Tags()[1].name, "SUBJECT");
  std::uint32_t root = 0;
  std::memcpy(&root, cdx.data() + header, 4);
  EXPECT_EQ(cdx[root], 1);
}

TEST_F(InteropTest, PerlWalksTheFixtureTagsLikeTheEngine) {
  for (const char* table : {"people", "many"}) ExpectPerlWalksLikeTheEngine(test::CopyFixture(table, dir_.Path()));
}

TEST_F(InteropTest, EveryFixtureRecordReadsBackAsDbfreadReadsIt) {
  const std::string script = Script(dir_, "read.py", kDbfreadScript);
  for (const char* table : {"people", "prefix", "many"}) {
    const std::string path = test::CopyFixture(table, dir_.Path());
    int status = 0;
    const std::string dbfread = RunCommand("/usr/bin/python3 " + script + " " + path + " 2>&1", &status);
    ASSERT_EQ(status, 0) << dbfread;
    const XbaseSettings settings;
    auto area = WorkArea::Open(path, OpenMode::ReadOnly, settings);
    EXPECT_EQ(dbfread, EngineView(*area)) << table;
  }
}

// The prefix fixture's writer let duplicate counts reach into trailing
// blanks, which Perl decodes as 0x00 bytes; the same keys written by this
// engine decode identically in both readers.
TEST_F(InteropTest, RebuiltPrefixKeysDecodeTheSameInPerl) {
  const std::string dbf = test::CopyFixture("prefix", dir_.Path());
  const std::string perl = Script(dir_, "walk.pl", kPerlWalkScript);
  const std::string command = "perl " + perl + " " + dir_.File("prefix.cdx") + " NAME C 2>&1";
  EXPECT_NE(RunCommand(command).find(std::string("A\0B", 3)), std::string::npos);
  {
    const XbaseSettings settings;
    WorkArea::Open(dbf, OpenMode::Exclusive, settings)->Reindex();
  }
  EXPECT_EQ(RunCommand(command), "3\tA\n5\tA B\n4\tA B C\n1\tBob\n2\tBob Jr\n");
  ExpectPerlWalksLikeTheEngine(dbf);
}

TEST_F(InteropTest, TablesOfOtherToolsOpenAndGetCorrectTags) {
  int status = 0;
  const std::string made = RunCommand(
      "cd " + dir_.Path() +
          " && /usr/bin/python3 -c \"import dbf, datetime\n"
          "t = dbf.Table('p3.dbf', 'name C(10); born D; qty N(6,2); ok L', dbf_type='db3')\n"
          "t.open(dbf.READ_WRITE)\n"
          "t.append(('Zed', datetime.date(2001, 2, 3), 1.5, True))\n"
          "t.append(('amy', datetime.date(1999, 12, 31), -2, False))\n"
          "t.append(('Bob', datetime.date(2001, 2, 3), 0, True))\n"
          "t.close()\" && dbfcreate sh.dbf -s NAME 10 -n QTY 6 2 && dbfadd sh.dbf Bob 3.5 && dbfadd sh.dbf Al -1 "
          "&& dbfadd sh.dbf Cy 12 2>&1",
      &status);
  ASSERT_EQ(status, 0) << made;
  const XbaseSettings settings;
  {
    auto area = WorkArea::Open(dir_.File("p3.dbf"), OpenMode::Exclusive, settings);
    ASSERT_EQ(area->RecCount(), 3u);
    area->Go(2);
    EXPECT_EQ(area->Evaluate("DTOS(BORN) + TRIM(NAME)").text, "19991231amy");
    area->CreateTag("BORN", "BORN", "", false, false);
    area->CreateTag("UNAME", "UPPER(NAME)", "", true, false);
    area->CreateTag("QTY", "QTY", "qty >= 0", false, false);
    EXPECT_EQ(test::Walk(*area, 1), (std::vector<std::uint32_t>{2, 1, 3}));
    EXPECT_EQ(test::Walk(*area, 2), (std::vector<std::uint32_t>{1, 3, 2}));
    EXPECT_EQ(test::Walk(*area, 3), (std::vector<std::uint32_t>{3, 1}));
  }
  {
    auto area = WorkArea::Open(dir_.File("sh.dbf"), OpenMode::Exclusive, settings);
    ASSERT_EQ(area->RecCount(), 3u);
    area->CreateTag("QTY", "QTY", "", false, false);
    area->CreateTag("NAME", "NAME", "", false, false);
    EXPECT_EQ(test::Walk(*area, 1), (std::vector<std::uint32_t>{2, 1, 3}));
    EXPECT_EQ(test::Walk(*area, 2), (std::vector<std::uint32_t>{2, 1, 3}));
  }
  ExpectPerlWalksLikeTheEngine(dir_.File("p3.dbf"));
  ExpectPerlWalksLikeTheEngine(dir_.File("sh.dbf"));
  // And dbfread still reads them, now with the structural index flag.
  const std::string script = Script(dir_, "read.py", kDbfreadScript);
  EXPECT_EQ(RunCommand("/usr/bin/python3 " + script + " " + dir_.File("sh.dbf") + " 2>&1"),
            "L\tBob\t3.50\nL\tAl\t-1.00\nL\tCy\t12.00\n");
}

}  // namespace
}  // namespace tv
