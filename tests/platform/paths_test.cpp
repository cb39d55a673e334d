#include "platform/paths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "platform/work_files.h"
#include "tests/support/temp_dir.h"

namespace tv {
namespace {

TEST(FindNoCase, UsesTheSpellingOnDiskAndKeepsUnknownNames) {
  test::TempDir dir;
  std::filesystem::create_directories(dir.File("Receive/Sub"));
  dir.Write("Receive/Sub/fax00001.apf", "x");
  EXPECT_EQ(FindNoCase(dir.Path(), "RECEIVE\\sub\\FAX00001.APF"), dir.Path() + "Receive/Sub/fax00001.apf");
  EXPECT_EQ(FindNoCase(dir.Path(), "receive/NEW.APF"), dir.Path() + "Receive/NEW.APF");
}

TEST(ForceFolder, MakesEveryMissingParent) {
  test::TempDir dir;
  EXPECT_TRUE(ForceFolder(dir.File("a/b/c") + "/"));
  EXPECT_TRUE(std::filesystem::is_directory(dir.File("a/b/c")));
  EXPECT_TRUE(ForceFolder(dir.File("a/b/c")));  // already there
}

TEST(ProgramFolder, HomeOptionWinsAndIsCreated) {
  test::TempDir dir;
  const std::string& folder = InitProgramFolder(dir.File("home"));
  EXPECT_EQ(folder.back(), '/');
  EXPECT_TRUE(std::filesystem::is_directory(folder));
  MakeWorkFolders();
  EXPECT_TRUE(std::filesystem::is_directory(dir.File("home/SEND")));
  EXPECT_TRUE(std::filesystem::is_directory(dir.File("home/Receive")));
  // A folder that exists under another case is found, not made again.
  std::filesystem::create_directories(dir.File("home/covers"));
  EXPECT_EQ(CoversFolder(), folder + "covers/");
}

// Run from the build, the programs find the data the build stages at its top,
// the same files as in the source tree; what is missing is named.
TEST(SharedDataFolder, IsTheBuildsStagedCopyAndNamesWhatIsMissing) {
  const std::string& folder = SharedDataFolder();
  EXPECT_TRUE(folder.ends_with("/share/tessivane/")) << folder;
  std::ifstream staged(folder + "help/tessivane.html");
  std::ifstream source(std::string(std::getenv("TV_SOURCE_DIR")) + "/data/help/tessivane.html");
  ASSERT_TRUE(staged && source);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(staged), {}),
            std::string(std::istreambuf_iterator<char>(source), {}));
  EXPECT_EQ(MissingSharedData("Covers"), "");
  EXPECT_NE(MissingSharedData("Covers/nothing.fct").find(folder + "Covers/nothing.fct does not exist"),
            std::string::npos);
}

TEST(UniqueFaxFileName, SkipsNamesInUseWhateverTheirCase) {
  test::TempDir dir;
  dir.Write("FAX00000.APF", "");
  dir.Write("fax00001.apf", "");
  dir.Write("FAX00002.APF", "");
  EXPECT_EQ(UniqueFaxFileName(dir.Path(), "FAX"), dir.Path() + "FAX00003.APF");
  EXPECT_EQ(UniqueFaxFileName(dir.Path(), "COV"), dir.Path() + "COV00000.APF");
}

TEST(CopyWholeFile, CopiesAndRefusesEqualNames) {
  test::TempDir dir;
  std::string data(5000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  dir.Write("src", data);
  dir.Write("dst", "old contents that are longer than nothing");
  EXPECT_TRUE(CopyWholeFile(dir.File("src"), dir.File("dst")));
  EXPECT_EQ(dir.Read("dst"), data);
  EXPECT_FALSE(CopyWholeFile(dir.File("src"), dir.File("src")));
  EXPECT_EQ(dir.Read("src"), data);
  EXPECT_FALSE(CopyWholeFile(dir.File("missing"), dir.File("dst2")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("dst2")));
}

}  // namespace
}  // namespace tv
