// The viewer's page model over real fax files, good and damaged.
#include "view/fax_pages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "image/apf_file.h"
#include "platform/error_codes.h"
#include "tests/support/temp_dir.h"
#include "tests/view/view_test_util.h"

namespace tv {
namespace {

using test::Block;
using test::TempDir;

// Page n has a block n x 10 pixels wide, so pages tell themselves apart.
std::vector<MonoBitmap> NumberedPages(int count, int width = 1728) {
  std::vector<MonoBitmap> pages;
  for (int n = 1; n <= count; ++n) pages.push_back(test::PageWithBlocks(width, 40, {{100, 10, n * 10, 8}}));
  return pages;
}

int BlockWidth(const MonoBitmap& page) {
  int black = 0;
  for (int x = 0; x < page.Width(); ++x) black += page.IsBlack(x, 12) ? 1 : 0;
  return black;
}

TEST(FaxPages, OpensOnlyFaxFilesAndKeepsTheOpenFaxOnFailure) {
  TempDir dir;
  ASSERT_EQ(test::WriteFax(dir.File("good.apf"), NumberedPages(2)), ecOK);
  dir.Write("empty.apf", "");
  dir.Write("text.apf", "Dear Sir, this is not a fax at all, but it is long enough to have a header.....");
  std::filesystem::create_directory(dir.File("folder.apf"));
  // A header that promises no pages.
  std::string header = dir.Read("good.apf").substr(0, 64);
  header[offsetof(TApfFileHeader, pageCount)] = 0;
  dir.Write("nopages.apf", header);

  FaxPages pages;
  EXPECT_EQ(pages.Open(""), ecFileNotFound);
  EXPECT_EQ(pages.Open(dir.File("missing.apf")), ecFileNotFound);
  EXPECT_EQ(pages.Open(dir.File("folder.apf")), ecFileNotFound);
  ASSERT_EQ(pages.Open(dir.File("good.apf")), ecOK);
  EXPECT_EQ(pages.PageCount(), 2);
  for (const char* bad : {"empty.apf", "text.apf", "nopages.apf"}) {
    EXPECT_EQ(pages.Open(dir.File(bad)), ecFaxBadFormat) << bad;
    EXPECT_EQ(pages.FileName(), dir.File("good.apf"));
  }
  const MonoBitmap* page = nullptr;
  ASSERT_EQ(pages.Page(2, page), ecOK);
  EXPECT_EQ(BlockWidth(*page), 20);
  EXPECT_EQ(pages.Page(3, page), ecBadArgument);
  EXPECT_EQ(page, nullptr);
}

TEST(FaxPages, UnpacksOnDemandAndKeepsOnlyTheLastFew) {
  TempDir dir;
  ASSERT_EQ(test::WriteFax(dir.File("long.apf"), NumberedPages(12)), ecOK);
  FaxPages pages;
  ASSERT_EQ(pages.Open(dir.File("long.apf")), ecOK);
  for (int n = 1; n <= 12; ++n) EXPECT_FALSE(pages.IsKept(n));
  pages.SetKeep(3);
  const MonoBitmap* page = nullptr;
  for (int n : {5, 6, 7, 5, 8}) {
    ASSERT_EQ(pages.Page(n, page), ecOK);
    EXPECT_EQ(BlockWidth(*page), n * 10);
  }
  // 6 was used longest ago and made room for 8.
  EXPECT_TRUE(pages.IsKept(5));
  EXPECT_TRUE(pages.IsKept(7));
  EXPECT_TRUE(pages.IsKept(8));
  EXPECT_FALSE(pages.IsKept(6));
  pages.SetKeep(1);
  EXPECT_TRUE(pages.IsKept(8));
  EXPECT_FALSE(pages.IsKept(5));
  // A change of unpacking rules drops what was unpacked under the old ones.
  pages.SetAutoScale(kUnpackHalfWidth);
  EXPECT_FALSE(pages.IsKept(8));
  EXPECT_EQ(pages.SetWhitespace(2, 5), ecBadArgument);
}

TEST(FaxPages, DamagedPagesFailAloneAndMixedWidthsKeepTheirOwn) {
  TempDir dir;
  std::vector<MonoBitmap> mixed = NumberedPages(3);
  mixed[1] = test::PageWithBlocks(2048, 40, {{2000, 10, 40, 8}});
  ASSERT_EQ(test::WriteFax(dir.File("mixed.apf"), mixed), ecOK);
  const std::string whole = dir.Read("mixed.apf");

  FaxPages pages;
  const MonoBitmap* page = nullptr;
  ASSERT_EQ(pages.Open(dir.File("mixed.apf")), ecOK);
  ASSERT_EQ(pages.Page(2, page), ecOK);
  EXPECT_EQ(page->Width(), 2048);
  ASSERT_EQ(pages.Page(1, page), ecOK);
  EXPECT_LT(page->Width(), 1728);  // trimmed to its ink
  std::uint16_t flags = 0;
  ASSERT_EQ(pages.PageFlags(2, flags), ecOK);
  EXPECT_TRUE(flags & kApfWide);

  // Page 2's length points past the end of the file: its own line blocks
  // still end where they should, but the page behind it cannot be found.
  TApfPageHeader second;
  const std::size_t firstLength = reinterpret_cast<const TApfPageHeader*>(whole.data() + 64)->dataLength;
  const std::size_t secondAt = 64 + sizeof(TApfPageHeader) + firstLength;
  std::memcpy(&second, whole.data() + secondAt, sizeof second);
  second.dataLength = 1u << 30;
  std::string broken = whole;
  std::memcpy(broken.data() + secondAt, &second, sizeof second);
  dir.Write("broken.apf", broken);
  ASSERT_EQ(pages.Open(dir.File("broken.apf")), ecOK);
  EXPECT_EQ(pages.Page(3, page), ecFaxBadFormat);
  EXPECT_EQ(pages.Page(2, page), ecOK);
  ASSERT_EQ(pages.Page(1, page), ecOK);
  EXPECT_EQ(BlockWidth(*page), 10);

  // Cut in the middle of page 3: pages 1 and 2 are whole, page 3 fails.
  dir.Write("cut.apf", whole.substr(0, whole.size() - 30));
  ASSERT_EQ(pages.Open(dir.File("cut.apf")), ecOK);
  EXPECT_EQ(pages.Page(3, page), ecFaxBadFormat);
  EXPECT_EQ(pages.Page(2, page), ecOK);
}

}  // namespace
}  // namespace tv
