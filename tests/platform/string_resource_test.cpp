#include "platform/string_resource.h"

#include <gtest/gtest.h>

#include "platform/qa_exceptions.h"

namespace tv {
namespace {

TEST(StringResource, FindsTextsByIdAndGivesEmptyForMissingIds) {
  TQaStringResource strings("TV_STRING_TABLE");
  EXPECT_EQ(strings.GetString(11874), "Called fax number was busy");
  EXPECT_EQ(strings.GetString(11007), "");
  strings.SetRaiseOnMissing(true);
  try {
    strings.GetString(11007);
    FAIL();
  } catch (const EQaStringResourceError& e) {
    EXPECT_STREQ(e.what(), "String not found: 11007");
  }
}

TEST(StringResource, UnknownResourceAndUnloadedReaderRaise) {
  try {
    TQaStringResource missing("NO_SUCH_RESOURCE");
    FAIL();
  } catch (const EQaStringResourceError& e) {
    EXPECT_STREQ(e.what(), "String resource not found: NO_SUCH_RESOURCE");
  }
  TQaStringResource empty;
  EXPECT_THROW(empty.GetString(1), EQaStringResourceError);
}

TEST(StringResource, CacheDropsOldestEntriesDownTo44BeforeAppending) {
  TQaStringResource strings("TV_STRING_TABLE");
  EXPECT_EQ(strings.CacheCapacity(), 50);
  std::vector<std::uint16_t> ids;
  for (std::uint16_t id = 13801; ids.size() < 51; ++id) {
    if (!strings.GetString(id).empty()) ids.push_back(id);
    if (ids.size() == 50) {
      EXPECT_EQ(strings.CacheCount(), 50u);
    }
  }
  EXPECT_EQ(strings.CacheCount(), 45u);
  // A cached id is answered without growing the cache.
  EXPECT_EQ(strings.GetString(ids.back()), strings.GetString(ids.back()));
  EXPECT_EQ(strings.CacheCount(), 45u);
}

TEST(StringResource, SocketTableHasItsFiftyNineRecords) {
  TQaStringResource sockets("QARNSOCK_ERROR_STRINGS_ENGLISH");
  int found = 0;
  for (int id = 9001; id <= 11004; ++id) found += !sockets.GetString(static_cast<std::uint16_t>(id)).empty();
  EXPECT_EQ(found, 59);
  EXPECT_EQ(sockets.GetString(10061), "Connection refused");
}

}  // namespace
}  // namespace tv
