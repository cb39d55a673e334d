// The table file: its header, records, end marker, damaged and foreign
// files, and the locks that enforce the open modes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>

#include "store/dbf_table.h"
#include "store/xbase_error.h"
#include "tests/support/temp_dir.h"

namespace tv {
namespace {

using test::TempDir;

std::vector<DbfField> PeopleFields() {
  return {{"name", 'C', 10, 0, 0}, {"BORN", 'D', 8, 0, 0}, {"QTY", 'N', 6, 2, 0}, {"OK", 'L', 1, 0, 0}};
}

std::string Record(const std::string& fields) { return " " + fields; }

int ErrorOf(const std::function<void()>& body) {
  try {
    body();
  } catch (const XbaseError& e) {
    return e.Code();
  }
  return 0;
}

TEST(DbfTable, WritesTheFoxProLayout) {
  TempDir dir;
  const std::string path = dir.File("p.dbf");
  DbfTable::Create(path, PeopleFields(), false);
  {
    auto table = DbfTable::Open(path, OpenMode::Exclusive);
    EXPECT_EQ(table->RecordLength(), 26);
    EXPECT_EQ(table->Fields()[0].name, "NAME");
    EXPECT_EQ(table->Fields()[2].offset, 19);
    EXPECT_EQ(table->Append(Record("Alice     19900115 12.50T").c_str()), 1u);
    EXPECT_EQ(table->Append(Record("Bob       20240229 -3.00F").c_str()), 2u);
    std::string deleted = Record("Bob       20240229 -3.00F");
    deleted[0] = '*';
    table->Write(2, deleted.c_str());
    EXPECT_TRUE(table->IsDeleted(2));
  }
  const std::string bytes = dir.Read("p.dbf");
  ASSERT_EQ(bytes.size(), 32u + 4 * 32 + 1 + 2 * 26 + 1);
  EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0x03);
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  EXPECT_EQ(static_cast<unsigned char>(bytes[1]), local.tm_year);  // years since 1900
  EXPECT_EQ(bytes[2], local.tm_mon + 1);
  EXPECT_EQ(bytes[3], local.tm_mday);
  EXPECT_EQ(bytes[4], 2);                          // record count
  EXPECT_EQ(static_cast<unsigned char>(bytes[8]) | bytes[9] << 8, 161);  // header length
  EXPECT_EQ(bytes[10], 26);                        // record length
  EXPECT_EQ(bytes[28], 0);                         // no structural index yet
  EXPECT_EQ(bytes.substr(32, 5), std::string("NAME\0", 5));
  EXPECT_EQ(bytes[32 + 11], 'C');
  EXPECT_EQ(static_cast<unsigned char>(bytes[32 + 2 * 32 + 16]), 6);
  EXPECT_EQ(bytes[32 + 2 * 32 + 17], 2);
  EXPECT_EQ(bytes[160], 0x0D);
  EXPECT_EQ(bytes.substr(161, 26), " Alice     19900115 12.50T");
  EXPECT_EQ(bytes.substr(187, 26), "*Bob       20240229 -3.00F");
  EXPECT_EQ(bytes.back(), 0x1A);
}

TEST(DbfTable, RefusesFieldsThatDoNotFitTheirType) {
  TempDir dir;
  const auto create = [&](DbfField f) {
    return ErrorOf([&] { DbfTable::Create(dir.File(f.name + ".dbf"), {f}, false); });
  };
  EXPECT_EQ(create({"D1", 'D', 10, 0, 0}), xbBadField);
  EXPECT_EQ(create({"C1", 'C', 0, 0, 0}), xbBadField);
  EXPECT_EQ(create({"N1", 'N', 21, 0, 0}), xbBadField);
  EXPECT_EQ(create({"N2", 'N', 4, 3, 0}), xbBadField);
  EXPECT_EQ(create({"M1", 'M', 10, 0, 0}), xbBadField);
  EXPECT_EQ(create({"TOOLONGNAME1", 'C', 5, 0, 0}), xbBadField);
  EXPECT_EQ(ErrorOf([&] { DbfTable::Create(dir.File("twice.dbf"), {{"A", 'C', 1, 0, 0}, {"a", 'C', 1, 0, 0}}, false); }),
            xbBadTable);
  EXPECT_EQ(create({"OK", 'N', 20, 4, 0}), 0);
}

class DbfRecovery : public ::testing::Test {
 protected:
  void SetUp() override {
    DbfTable::Create(path_, PeopleFields(), false);
    auto table = DbfTable::Open(path_, OpenMode::Exclusive);
    for (int i = 0; i < 5; ++i) table->Append(Record("Name" + std::to_string(i) + "     19900115 12.50T").c_str());
  }
  std::uint32_t Count() { return DbfTable::Open(path_, OpenMode::ReadOnly)->RecordCount(); }
  void SetHeaderCount(unsigned char count) {
    std::string bytes = dir_.Read("p.dbf");
    bytes[4] = static_cast<char>(count);
    dir_.Write("p.dbf", bytes);
  }
  TempDir dir_;
  std::string path_ = dir_.File("p.dbf");
};

// A file that lost its end keeps its whole records readable, and says so: a
// write would hide the cut for good, so none is made until the repair.
TEST_F(DbfRecovery, TableCutShortIsReadButNotWrittenUntilRepaired) {
  std::filesystem::resize_file(path_, 161 + 4 * 26 + 10);
  auto table = DbfTable::Open(path_, OpenMode::Exclusive);
  EXPECT_EQ(table->RecordCount(), 4u);
  char record[26];
  table->Read(4, record);
  EXPECT_EQ(std::string(record + 1, 5), "Name3");
  EXPECT_NE(table->Damage().find("cut short: its header counts 5 records, the file holds 4 and 10 bytes"),
            std::string::npos)
      << table->Damage();
  try {
    table->Append(Record("Again     19900115 12.50T").c_str());
    FAIL() << "appended to a table cut short";
  } catch (const XbaseError& e) {
    EXPECT_EQ(e.Code(), xbBadTable);
  }
  EXPECT_THROW(table->Write(1, record), XbaseError);
  EXPECT_EQ(std::filesystem::file_size(path_), 161u + 4 * 26 + 10);  // untouched

  table->AcceptLength();
  EXPECT_EQ(table->Damage(), "");
  EXPECT_EQ(table->Append(Record("Again     19900115 12.50T").c_str()), 5u);
  table.reset();
  EXPECT_EQ(Count(), 5u);
  EXPECT_EQ(std::filesystem::file_size(path_), 161u + 5 * 26 + 1);
}

TEST_F(DbfRecovery, HeaderCountBeyondTheFileGivesTheCompleteRecords) {
  SetHeaderCount(9);
  EXPECT_EQ(Count(), 5u);
}

TEST_F(DbfRecovery, RecordsWrittenAfterAStaleCountAreKept) {
  SetHeaderCount(3);  // a writer stopped after the record, before the count
  EXPECT_EQ(Count(), 5u);
}

TEST_F(DbfRecovery, NoEndMarkerAndJunkAfterItAreTolerated) {
  std::filesystem::resize_file(path_, 161 + 5 * 26);
  EXPECT_EQ(Count(), 5u);
  std::string bytes = dir_.Read("p.dbf") + "\x1A" + "junk after the end";
  dir_.Write("p.dbf", bytes);
  EXPECT_EQ(Count(), 5u);
}

TEST_F(DbfRecovery, OtherVariantsAndBrokenHeadersAreRefusedWithAReason) {
  const std::string pristine = dir_.Read("p.dbf");
  auto refused = [&](std::size_t offset, char value) {
    std::string bytes = pristine;
    bytes[offset] = value;
    dir_.Write("p.dbf", bytes);
    try {
      DbfTable::Open(path_, OpenMode::ReadOnly);
    } catch (const XbaseError& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  EXPECT_NE(refused(0, static_cast<char>(0xF5)).find("0xF5"), std::string::npos);  // FoxPro with memo
  EXPECT_NE(refused(0, static_cast<char>(0x30)).find("variant"), std::string::npos);  // Visual FoxPro
  EXPECT_NE(refused(10, 27).find("record length"), std::string::npos);
  EXPECT_NE(refused(32 + 11, 'M').find("unsupported type"), std::string::npos);
  EXPECT_NE(refused(160, 0).find("field list"), std::string::npos);
  EXPECT_NE(refused(8, 0).find("header"), std::string::npos);
  // One byte off would shift every record by a byte.
  EXPECT_NE(refused(8, static_cast<char>(162)).find("header length 162 does not fit its 4 fields (161 expected)"),
            std::string::npos);
  dir_.Write("p.dbf", pristine.substr(0, 20));
  EXPECT_EQ(ErrorOf([&] { DbfTable::Open(path_, OpenMode::ReadOnly); }), xbBadTable);
  // A folder or a named pipe under a table's name is refused, not waited on.
  EXPECT_EQ(ErrorOf([&] { DbfTable::Open(dir_.Path(), OpenMode::ReadOnly); }), xbBadTable);
  ASSERT_EQ(mkfifo(dir_.File("pipe.dbf").c_str(), 0600), 0);
  EXPECT_EQ(ErrorOf([&] { DbfTable::Open(dir_.File("pipe.dbf"), OpenMode::ReadOnly); }), xbBadTable);
}

// A table beyond the records a table may hold is refused when it is opened
// (a sparse file stands in for one), and a full one takes no more.
TEST(DbfLimits, TablesBeyondTheMostRecordsAreRefused) {
  TempDir dir;
  const std::string path = dir.File("big.dbf");
  DbfTable::Create(path, PeopleFields(), false);
  const std::uint64_t header = std::filesystem::file_size(path) - 1;
  const auto length = static_cast<std::uint64_t>(DbfTable::Open(path, OpenMode::ReadOnly)->RecordLength());
  auto makeRecords = [&](std::uint32_t count) {
    std::filesystem::resize_file(path, header + count * length);
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(4);
    for (int i = 0; i < 4; ++i) file.put(static_cast<char>(count >> (8 * i) & 0xFF));
  };
  makeRecords(DbfTable::kMaxRecords + 1);
  try {
    DbfTable::Open(path, OpenMode::ReadOnly);
    ADD_FAILURE() << "opened";
  } catch (const XbaseError& e) {
    EXPECT_EQ(e.Code(), xbBadTable);
    EXPECT_NE(std::string(e.what()).find("holds 1000001 records, more than the 1000000 a table may hold"),
              std::string::npos) << e.what();
  }
  makeRecords(DbfTable::kMaxRecords);
  auto full = DbfTable::Open(path, OpenMode::Exclusive);
  const std::string record(static_cast<std::size_t>(length), ' ');
  EXPECT_EQ(ErrorOf([&] { full->Append(record.data()); }), xbBadTable);
  EXPECT_EQ(full->RecordCount(), DbfTable::kMaxRecords);
}

TEST(DbfLocks, ExclusiveOpensShutOutEveryOtherOpen) {
  TempDir dir;
  const std::string path = dir.File("p.dbf");
  DbfTable::Create(path, PeopleFields(), false);
  {
    auto first = DbfTable::Open(path, OpenMode::Exclusive);
    EXPECT_EQ(ErrorOf([&] { DbfTable::Open(path, OpenMode::Shared); }), xbTableInUse);
    EXPECT_EQ(ErrorOf([&] { DbfTable::Open(path, OpenMode::Exclusive); }), xbTableInUse);
    // Another program is refused just the same.
    const pid_t child = fork();
    if (child == 0) {
      const int code = ErrorOf([&] { DbfTable::Open(path, OpenMode::ReadOnly); });
      _exit(code == xbTableInUse ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  auto shared1 = DbfTable::Open(path, OpenMode::Shared);
  auto shared2 = DbfTable::Open(path, OpenMode::Shared);
  EXPECT_EQ(ErrorOf([&] { DbfTable::Open(path, OpenMode::Exclusive); }), xbTableInUse);
}

TEST(DbfLocks, RecordLocksBelongToOneOpen) {
  TempDir dir;
  const std::string path = dir.File("p.dbf");
  DbfTable::Create(path, PeopleFields(), false);
  auto a = DbfTable::Open(path, OpenMode::Shared);
  auto b = DbfTable::Open(path, OpenMode::Shared);
  a->Append(Record("Alice     19900115 12.50T").c_str());
  b->Refresh();
  EXPECT_EQ(b->RecordCount(), 1u);
  EXPECT_TRUE(a->TryLockRecord(1));
  EXPECT_TRUE(a->TryLockRecord(1));
  EXPECT_FALSE(b->TryLockRecord(1));
  EXPECT_TRUE(b->TryLockRecord(2));
  a->UnlockAllRecords();
  EXPECT_TRUE(b->TryLockRecord(1));
  EXPECT_TRUE(a->LockForWrite(0));
  EXPECT_FALSE(b->LockForWrite(0));
  a->UnlockForWrite();
  EXPECT_TRUE(b->LockForWrite(0));
}

}  // namespace
}  // namespace tv
