// The templates shipped with the program: made from their descriptions, and
// installed into a program folder without touching the user's own.
#include <QImage>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "cover/shipped_templates.h"
#include "tests/support/temp_dir.h"

namespace tv {
namespace {

namespace fs = std::filesystem;

std::string SourceDir() { return std::getenv("TV_SOURCE_DIR"); }

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<fs::path> ShippedFiles() {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(SourceDir() + "/data/Covers")) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

TEST(ShippedTemplates, AreMadeFromTheirDescriptions) {
  test::TempDir out;
  std::string command = std::string(MAKE_COVER_TEMPLATES) + " " + out.Path();
  int descriptions = 0;
  for (const auto& entry : fs::directory_iterator(SourceDir() + "/tools/cover_templates")) {
    if (entry.path().extension() != ".cover") continue;
    command += " " + entry.path().string();
    ++descriptions;
  }
  ASSERT_EQ(std::system((command + " 2>/dev/null").c_str()), 0);
  // Three files from each description, the same as those shipped: the
  // template and description byte for byte, the preview at its size.
  EXPECT_EQ(static_cast<int>(ShippedFiles().size()), 3 * descriptions);
  for (const fs::path& shipped : ShippedFiles()) {
    SCOPED_TRACE(shipped.string());
    const fs::path made = out.File(shipped.filename().string());
    ASSERT_TRUE(fs::exists(made));
    if (shipped.extension() == ".bmp") {
      const QImage preview(QString::fromStdString(shipped.string()));
      EXPECT_EQ(preview.size(), QImage(QString::fromStdString(made.string())).size());
      EXPECT_EQ(preview.width(), 324);
    } else {
      EXPECT_EQ(ReadAll(made), ReadAll(shipped));
    }
  }
}

TEST(ShippedTemplates, InstallIntoAFolderWithoutTemplatesOnly) {
  test::TempDir home;
  const std::string covers = home.File("Covers") + "/";
  EXPECT_EQ(InstallCoverTemplates(covers), static_cast<int>(ShippedFiles().size()));
  for (const fs::path& shipped : ShippedFiles()) {
    EXPECT_EQ(ReadAll(covers + shipped.filename().string()), ReadAll(shipped));
  }
  // The copies can be changed and removed like the user's own files.
  EXPECT_TRUE(std::ofstream(covers + "tv0001.des", std::ios::app) << "edited");
  EXPECT_EQ(InstallCoverTemplates(covers), 0);

  // A folder holding the user's own template (any letter case) is left alone.
  test::TempDir own;
  own.Write("Mine.FCT", "mine");
  EXPECT_EQ(InstallCoverTemplates(own.Path()), 0);
  EXPECT_EQ(std::distance(fs::directory_iterator(own.Path()), fs::directory_iterator()), 1);

  // A folder without templates is filled, keeping what is there.
  test::TempDir partial;
  partial.Write("TV0001.BMP", "my picture");
  EXPECT_EQ(InstallCoverTemplates(partial.Path()), static_cast<int>(ShippedFiles().size()) - 1);
  EXPECT_EQ(partial.Read("TV0001.BMP"), "my picture");
  EXPECT_FALSE(fs::exists(partial.File("tv0001.bmp")));
}

}  // namespace
}  // namespace tv
