#include "platform/ini_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/support/temp_dir.h"

namespace tv {
namespace {

TEST(IniFile, ReadsWithoutRegardToCaseAndAppliesTheIntegerRules) {
  test::TempDir dir;
  dir.Write("TV.INI",
            "; settings\r\n[Modem]\r\nComPort=0x10\r\nFaxClass= 2 \r\nMaximumBPS=fast\r\n"
            "[dialing]\r\nTimeout=0x\r\nRetryWait=-5\r\nHuge=99999999999\r\n");
  const IniFile ini(dir.File("TV.INI"));
  EXPECT_EQ(ini.ReadInteger("MODEM", "comport", -1), 16);
  EXPECT_EQ(ini.ReadInteger("Modem", "FaxClass", 0), 2);
  EXPECT_EQ(ini.ReadInteger("Modem", "MaximumBPS", 9600), 9600);  // not a number
  EXPECT_EQ(ini.ReadInteger("Dialing", "Timeout", 60), 60);       // "0x" alone is too short
  EXPECT_EQ(ini.ReadInteger("Dialing", "RetryWait", 60), -5);
  EXPECT_EQ(ini.ReadInteger("Dialing", "Huge", 7), 7);            // out of range
  EXPECT_EQ(ini.ReadInteger("Dialing", "Missing", 3), 3);
  EXPECT_EQ(ini.ReadInteger("Nowhere", "ComPort", -1), -1);
  EXPECT_TRUE(ini.ReadBool("Modem", "FaxClass", false));
}

TEST(ProfileInteger, HexAndDecimalForms) {
  EXPECT_EQ(ParseProfileInteger("0X1f"), 31);
  EXPECT_EQ(ParseProfileInteger("0xFFFFFFFF"), -1);
  EXPECT_EQ(ParseProfileInteger("0x1G"), std::nullopt);
  EXPECT_EQ(ParseProfileInteger("010"), 10);
  EXPECT_EQ(ParseProfileInteger(""), std::nullopt);
  EXPECT_EQ(ParseProfileInteger("12abc"), std::nullopt);
}

TEST(IniFile, StringsKeepAtMost1023Characters) {
  test::TempDir dir;
  const std::string longText(1500, 'x');
  dir.Write("a.ini", "[User]\nName=" + longText + "\nCompany=\"Quoted Ltd\"\nFax=\xC3\xA9" + std::string(1100, 'y') + "\n");
  const IniFile ini(dir.File("a.ini"));
  EXPECT_EQ(ini.ReadString("User", "Name", ""), std::string(1023, 'x'));
  EXPECT_EQ(ini.ReadString("User", "Company", ""), "Quoted Ltd");
  // A two-byte character counts as one and is never split.
  const std::string fax = ini.ReadString("User", "Fax", "");
  EXPECT_EQ(fax, "\xC3\xA9" + std::string(1022, 'y'));
}

TEST(IniFile, SaveKeepsOtherSectionsKeysAndComments) {
  test::TempDir dir;
  const std::string original =
      "; written by hand\n[Ports]\nCOM2=/dev/ttyUSB0\n\n[Modem]\n# the port\ncomport=1\nExtra=keep me\n\n[Other]\nA=1\n";
  dir.Write("TV.INI", original);
  IniFile ini(dir.File("TV.INI"));
  ini.WriteInteger("Modem", "ComPort", 3);
  ini.WriteString("Modem", "InitString", "X4");
  ini.WriteString("User", "Name", "Ann\nInjected=1");
  ini.Save();

  EXPECT_EQ(dir.Read("TV.INI"),
            "; written by hand\n[Ports]\nCOM2=/dev/ttyUSB0\n\n[Modem]\n# the port\ncomport=3\nExtra=keep me\n"
            "InitString=X4\n\n[Other]\nA=1\n\n[User]\nName=Ann Injected=1\n");
  const IniFile again(dir.File("TV.INI"));
  EXPECT_EQ(again.ReadInteger("Modem", "ComPort", -1), 3);
  EXPECT_FALSE(again.Find("User", "Injected"));
}

TEST(IniFile, SaveKeepsWindowsLineEndsAndLeavesNoTemporaryFile) {
  test::TempDir dir;
  dir.Write("TV.INI", "[A]\r\nx=1\r\n");
  IniFile ini(dir.File("TV.INI"));
  ini.WriteInteger("A", "y", 2);
  ini.Save();
  EXPECT_EQ(dir.Read("TV.INI"), "[A]\r\nx=1\r\ny=2\r\n");
  int entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.Path())) ++entries;
  EXPECT_EQ(entries, 1);
}

TEST(IniFile, WriteFailureNamesTheFileAndKeepsTheOldOne) {
  if (geteuid() == 0) {
    // Root writes into read-only folders; use a folder that does not exist instead.
    test::TempDir dir;
    IniFile ini(dir.File("missing/TV.INI"));
    ini.WriteInteger("A", "x", 1);
    try {
      ini.Save();
      FAIL() << "saving into a missing folder succeeded";
    } catch (const IniWriteError& e) {
      EXPECT_NE(std::string(e.what()).find("missing/TV.INI"), std::string::npos);
    }
    return;
  }
  test::TempDir dir;
  dir.Write("TV.INI", "[A]\nx=1\n");
  chmod(dir.Path().c_str(), 0555);
  IniFile ini(dir.File("TV.INI"));
  ini.WriteInteger("A", "x", 2);
  EXPECT_THROW(ini.Save(), IniWriteError);
  chmod(dir.Path().c_str(), 0755);
  EXPECT_EQ(dir.Read("TV.INI"), "[A]\nx=1\n");
}

TEST(IniFile, SaveWritesThroughASymbolicLink) {
  test::TempDir dir;
  dir.Write("real.ini", "[A]\nx=1\n");
  ASSERT_EQ(symlink(dir.File("real.ini").c_str(), dir.File("link.ini").c_str()), 0);
  IniFile ini(dir.File("link.ini"));
  ini.WriteInteger("A", "x", 5);
  ini.Save();
  EXPECT_TRUE(std::filesystem::is_symlink(dir.File("link.ini")));
  EXPECT_EQ(dir.Read("real.ini"), "[A]\nx=5\n");
}

}  // namespace
}  // namespace tv
