// tvfax db at the process level: what it prints, its exit status, and that
// a refused command changes nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/store/store_test_support.h"
#include "tests/support/temp_dir.h"

namespace tv {
namespace {

using test::TempDir;

class DbCommandTest : public ::testing::Test {
 protected:
  // Runs tvfax db with the arguments; returns stdout, sets the exit status.
  std::string Db(const std::string& args, int* exitStatus = nullptr) {
    int status = 0;
    const std::string out = test::RunCommand(std::string(TVFAX_PATH) + " db " + args + " 2>" + dir_.File("err.txt"), &status);
    if (exitStatus) *exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
  }
  std::string Errors() { return dir_.Read("err.txt"); }
  std::string D() { return dir_.Path() + "tables "; }

  void SetUp() override {
    std::filesystem::create_directory(dir_.File("tables"));
    int status = 0;
    EXPECT_EQ(Db("init " + D(), &status), "created TVOUT.DBF\ncreated TVREC.DBF\ncreated TVPB.DBF\n");
    EXPECT_EQ(status, 0);
  }

  TempDir dir_;
};

TEST_F(DbCommandTest, AddListSetDeletePack) {
  EXPECT_EQ(Db("init " + D()), "");  // nothing missing any more
  EXPECT_EQ(Db("add " + D() + "TVOUT SUBJECT=Zebra DATESENT=20240102 TIMESENT=10:00 ARCHIVED=F"), "1\n");
  EXPECT_EQ(Db("add " + D() + "tvout subject=apple DATESENT=2024-01-03 PHONE=555 ARCHIVED=T"), "2\n");
  EXPECT_EQ(Db("add " + D() + "TVOUT SUBJECT=Mango"), "3\n");
  EXPECT_EQ(Db("list " + D() + "TVOUT"),
            "1\tZebra\t20240102\t10:00\t\t\t\t\t\t\t\tF\n"
            "2\tapple\t20240103\t\t\t555\t\t\t\t\t\tT\n"
            "3\tMango\t\t\t\t\t\t\t\t\t\t\n");
  EXPECT_EQ(Db("list " + D() + "TVOUT --tag SUBJECT") .substr(0, 8), "2\tapple\t");
  EXPECT_EQ(Db("list " + D() + "TVOUT --tag datesent --filter \".not. archived\""),
            "1\tZebra\t20240102\t10:00\t\t\t\t\t\t\t\tF\n"
            "3\tMango\t\t\t\t\t\t\t\t\t\t\n");
  int status = 0;
  Db("set " + D() + "TVOUT 3 NOTES=hello CODES=x1", &status);
  EXPECT_EQ(status, 0);
  Db("delete " + D() + "TVOUT 1", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Db("list " + D() + "TVOUT --tag SUBJECT"),
            "2\tapple\t20240103\t\t\t555\t\t\t\t\t\tT\n"
            "3\tMango\t\t\t\t\t\t\t\thello\tx1\t\n");
  EXPECT_EQ(Db("list " + D() + "TVOUT --all --filter \"RECNO() < 3\""),
            "1\tZebra\t20240102\t10:00\t\t\t\t\t\t\t\tF\t*\n"
            "2\tapple\t20240103\t\t\t555\t\t\t\t\t\tT\t\n");
  Db("pack " + D() + "TVOUT", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Db("list " + D() + "TVOUT --all --tag SUBJECT"),
            "1\tapple\t20240103\t\t\t555\t\t\t\t\t\tT\t\n"
            "2\tMango\t\t\t\t\t\t\t\thello\tx1\t\t\n");
  Db("reindex " + D() + "TVOUT", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Db("add " + D() + "TVREC FROM=station PAGES=12 DATEREC=20240229"), "1\n");
  EXPECT_EQ(Db("list " + D() + "TVREC --tag FROM"), "1\t20240229\t\tstation\t12\t\t\t\n");
}

TEST_F(DbCommandTest, RefusedCommandsSayWhyAndChangeNothing) {
  EXPECT_EQ(Db("add " + D() + "TVPB NAME=Ann PHONE=123"), "1\n");
  const std::string before = dir_.Read("tables/TVPB.DBF") + dir_.Read("tables/TVPB.CDX");
  struct Case {
    std::string args;
    std::string message;
    int status;
  };
  for (const Case& c : {Case{"add " + D() + "TVPB NAME=Bob NOPE=1", "no field NOPE", 1},
                        Case{"add " + D() + "TVPB NAME=" + std::string(40, 'x'), "not a valid value for NAME", 1},
                        Case{"set " + D() + "TVPB 2 NAME=x", "no record 2", 1},
                        Case{"set " + D() + "TVPB x1 NAME=x", "not a record number", 1},
                        Case{"delete " + D() + "TVPB 0", "not a record number", 1},
                        Case{"set " + D() + "TVPB 1 NAME", "FIELD=VALUE", 1},
                        Case{"list " + D() + "TVXX", "unknown table", 1},
                        Case{"list " + D() + "TVPB --tag NOPE", "no tag NOPE", 1},
                        Case{"list " + D() + "TVPB --filter \"NAME +\"", "position", 1},
                        Case{"frobnicate " + D() + "TVPB", "usage", 2},
                        Case{"pack " + D() + "TVPB extra", "usage", 2}}) {
    int status = 0;
    Db(c.args, &status);
    EXPECT_EQ(status, c.status) << c.args;
    EXPECT_NE(Errors().find(c.message), std::string::npos) << c.args << ": " << Errors();
  }
  EXPECT_EQ(dir_.Read("tables/TVPB.DBF") + dir_.Read("tables/TVPB.CDX"), before);
  int status = 0;
  Db("list " + dir_.Path() + "nowhere TVOUT", &status);
  EXPECT_EQ(status, 1);
  EXPECT_NE(Errors().find("does not exist"), std::string::npos);
  EXPECT_EQ(Db("add " + D() + "TVREC PAGES=x", &status), "");
  EXPECT_EQ(status, 1);
}

// Text goes in and out as UTF-8 and is stored in the tables' code page, so
// that an independent reader decoding Windows-1252 reads the same text.
TEST_F(DbCommandTest, TextIsStoredInTheTablesCodePage) {
  EXPECT_EQ(Db("add " + D() + "TVPB \"NAME=Müller € Œuvre\" PHONE=1"), "1\n");
  EXPECT_EQ(Db("list " + D() + "TVPB"), "1\tMüller € Œuvre\t1\n");
  const std::string stored = dir_.Read("tables/TVPB.DBF");
  EXPECT_NE(stored.find("M\xFCller \x80 \x8Cuvre"), std::string::npos);
  dir_.Write("read.py",
             "import sys, dbfread\n"
             "for r in dbfread.DBF(sys.argv[1], encoding='cp1252'): print(r['NAME'])\n");
  int status = 0;
  EXPECT_EQ(test::RunCommand("/usr/bin/python3 " + dir_.File("read.py") + " " + dir_.File("tables/TVPB.DBF"), &status),
            "Müller € Œuvre\n");
  EXPECT_EQ(status, 0);
  // UPPER() folds the code page's letters: the index finds it in capitals.
  EXPECT_EQ(Db("list " + D() + "TVPB --filter \"UPPER(NAME) = 'MÜLLER € ŒUVRE'\"").substr(0, 2), "1\t");
  // What the code page cannot hold is refused, not stored as '?'.
  Db("add " + D() + "TVPB NAME=Ωmega", &status);
  EXPECT_EQ(status, 1);
  EXPECT_NE(Errors().find("holds 'Ω', which the table's code page (Windows-1252) cannot store"), std::string::npos)
      << Errors();
  // A byte that is no UTF-8 character is said to be one, not taken for a character.
  Db("add " + D() + "TVPB \"NAME=M\xFCller\"", &status);
  EXPECT_EQ(status, 1);
  EXPECT_NE(Errors().find("the value for NAME is not valid UTF-8 text (byte 2 is 0xFC)"), std::string::npos)
      << Errors();
  EXPECT_EQ(Errors().find('\xFC'), std::string::npos) << Errors();
}

// Names of fax files stay plain names in their folder; a table file that is
// a named pipe is refused at once instead of hanging the command.
TEST_F(DbCommandTest, HostileNamesAndFilesAreRefused) {
  int status = 0;
  for (const char* name : {"../TVOUT.DBF", "sub/FAX00001.APF", "..", "..\\TVOUT.DBF"}) {
    Db(std::string("add ") + D() + "TVOUT \"FAXDOC=" + name + "\"", &status);
    EXPECT_EQ(status, 1) << name;
    EXPECT_NE(Errors().find("names a file in the table's folder, not a path"), std::string::npos) << Errors();
  }
  EXPECT_EQ(Db("add " + D() + "TVOUT FAXDOC=FAX00001.APF FAXCOVER=COV00001.APF"), "1\n");
  Db("set " + D() + "TVOUT 1 FAXCOVER=/etc/passwd", &status);
  EXPECT_EQ(status, 1);
  Db("add " + D() + "TVREC FAXFILE=../../x", &status);
  EXPECT_EQ(status, 1);

  std::filesystem::remove(dir_.File("tables/TVPB.DBF"));
  ASSERT_EQ(mkfifo(dir_.File("tables/TVPB.DBF").c_str(), 0600), 0);
  const std::string out =
      test::RunCommand("timeout 10 " + std::string(TVFAX_PATH) + " db list " + D() + "TVPB 2>&1", &status);
  EXPECT_EQ(WEXITSTATUS(status), 1) << out;  // not 124: it did not hang
  EXPECT_NE(out.find("not a regular file"), std::string::npos) << out;
}

// Links and special files under a table's or an index's name are refused by
// name and left as they are: nothing is written to what they lead to.
TEST_F(DbCommandTest, LinksAndPipesUnderTableNamesAreLeftAlone) {
  dir_.Write("other.txt", "someone else's file");
  int status = 0;
  for (const char* name : {"TVOUT.CDX", "TVOUT.DBF"}) {
    const std::string path = dir_.File(std::string("tables/") + name);
    const std::string saved = dir_.Read(std::string("tables/") + name);
    std::filesystem::remove(path);
    for (const bool pipe : {false, true}) {
      ASSERT_EQ(pipe ? mkfifo(path.c_str(), 0600) : symlink(dir_.File("other.txt").c_str(), path.c_str()), 0);
      Db("add " + D() + "TVOUT SUBJECT=x", &status);
      EXPECT_EQ(status, 1) << name << pipe;
      EXPECT_NE(Errors().find(path + " is not a regular file"), std::string::npos) << Errors();
      EXPECT_TRUE(std::filesystem::is_fifo(path) || std::filesystem::is_symlink(path)) << name;
      std::filesystem::remove(path);
    }
    dir_.Write(std::string("tables/") + name, saved);
  }
  EXPECT_EQ(dir_.Read("other.txt"), "someone else's file");
  EXPECT_EQ(Db("add " + D() + "TVOUT SUBJECT=x"), "1\n");
}

// A table cut short is not written to; the repair keeps copies of the
// damaged files first and then takes the whole records.
TEST_F(DbCommandTest, TableCutShortIsRefusedUntilTheRepair) {
  EXPECT_EQ(Db("add " + D() + "TVPB NAME=Ann PHONE=1"), "1\n");
  EXPECT_EQ(Db("add " + D() + "TVPB NAME=Bob PHONE=2"), "2\n");
  const std::string whole = dir_.Read("tables/TVPB.DBF");
  const std::string cut = whole.substr(0, whole.size() - 30);  // Bob's record loses its end
  dir_.Write("tables/TVPB.DBF", cut);
  const std::string index = dir_.Read("tables/TVPB.CDX");
  int status = 0;
  for (const std::string& write : {"add " + D() + "TVPB NAME=Cy", "set " + D() + "TVPB 1 NAME=Al",
                                   "delete " + D() + "TVPB 1", "pack " + D() + "TVPB"}) {
    Db(write, &status);
    EXPECT_EQ(status, 1) << write;
    EXPECT_NE(Errors().find("is cut short: its header counts 2 records, the file holds 1"), std::string::npos)
        << Errors();
    EXPECT_NE(Errors().find("tvfax db reindex repairs it"), std::string::npos) << Errors();
  }
  EXPECT_EQ(dir_.Read("tables/TVPB.DBF"), cut);
  EXPECT_EQ(dir_.Read("tables/TVPB.CDX"), index);  // not rebuilt for the shorter table either
  EXPECT_EQ(Db("list " + D() + "TVPB", &status), "");  // so reading still reports the damage
  EXPECT_EQ(status, 1);
  EXPECT_NE(Errors().find("is cut short"), std::string::npos) << Errors();

  const std::string report = Db("reindex " + D() + "TVPB", &status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(report.find("repaired TVPB.DBF"), std::string::npos) << report;
  int copies = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.File("tables"))) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with("TVPB.DBF.damaged-")) {
      EXPECT_EQ(dir_.Read("tables/" + name), cut);
      ++copies;
    }
    copies += name.starts_with("TVPB.CDX.damaged-");
  }
  EXPECT_EQ(copies, 2);
  EXPECT_EQ(Db("add " + D() + "TVPB NAME=Cy PHONE=3"), "2\n");
  EXPECT_EQ(Db("list " + D() + "TVPB --tag NAME"), "1\tAnn\t1\n2\tCy\t3\n");
  EXPECT_EQ(Db("reindex " + D() + "TVPB"), "");  // nothing wrong any more
}

}  // namespace
}  // namespace tv
