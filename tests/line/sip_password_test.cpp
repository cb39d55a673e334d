// Where a SIP account's password comes from: the source the program
// installs first, then a file only its owner may read.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "line/sip_password.h"
#include "platform/paths.h"
#include "tests/support/temp_dir.h"

namespace tv {
namespace {

TEST(SipPasswordTest, TheInstalledSourceFirstThenAFileOnlyItsOwnerReads) {
  test::TempDir home;
  InitProgramFolder(home.Path());
  SetSipPasswordSource([](const std::string& section) -> std::optional<std::string> {
    if (section == "SIP") return "from the keyring";
    return std::nullopt;
  });
  std::string problem;
  EXPECT_EQ(SipPassword("SIP", problem), "from the keyring");

  const std::string file = SipPasswordFile("SIP:office");
  EXPECT_EQ(file, home.Path() + "SIP-office.PWD");
  EXPECT_EQ(SipPassword("SIP:office", problem), "");
  EXPECT_NE(problem.find("no password for [SIP:office]: put it in " + file), std::string::npos) << problem;

  home.Write("SIP-office.PWD", "from the file\r\nnot this line\n");
  chmod(file.c_str(), 0640);
  problem.clear();
  EXPECT_EQ(SipPassword("SIP:office", problem), "");
  EXPECT_NE(problem.find("may be read by others"), std::string::npos) << problem;
  chmod(file.c_str(), 0600);
  problem.clear();
  EXPECT_EQ(SipPassword("SIP:office", problem), "from the file");
  EXPECT_EQ(problem, "");
  SetSipPasswordSource(nullptr);
}

}  // namespace
}  // namespace tv
