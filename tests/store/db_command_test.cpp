// tvfax db at the process level: what it prints, its exit status, and that
// a refused command changes nothing.
#include <gtest/gtest.h>
#include <sys/wait.h>

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

}  // namespace
}  // namespace tv
