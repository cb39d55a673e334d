// The cover data file: what the editor saves reads back, and files written
// by other versions or damaged read as well as they can.
#include <gtest/gtest.h>

#include "cover/cover_data.h"
#include "tests/support/temp_dir.h"

namespace tv {
namespace {

TEST(CoverData, WhatIsWrittenReadsBack) {
  test::TempDir dir;
  const std::string path = dir.File("COV00003.fcd");
  for (const QString& message :
       {QString(), QString("One line"), QString::fromUtf8("Grüße, Ωμέγα €\n\nthird line\n"), QString("\n")}) {
    CoverData data;
    data.TemplateName = "tv0002.fct";
    data.Flags = {false, true, false, false, true};
    data.Message = message;
    ASSERT_TRUE(WriteCoverData(path, data));
    EXPECT_EQ(ReadCoverData(path), data) << message.toStdString();
  }
  CoverData plain;
  plain.Flags[kPleaseReply] = true;
  plain.Message = "Hello\nthere";
  ASSERT_TRUE(WriteCoverData(path, plain));
  EXPECT_EQ(dir.Read("COV00003.fcd"), "tv0001.fct\n   X \nHello\nthere\n");
}

TEST(CoverData, OtherFilesReadAsWellAsTheyCan) {
  test::TempDir dir;
  // Windows line ends, 8-bit text in the 1252 code page, a template named
  // with its folder.
  dir.Write("win.fcd", "C:\\TV\\Covers\\TV0003.FCT\r\nX  X \r\nPrice: 5 \x80\r\nBye\r\n");
  const auto win = ReadCoverData(dir.File("win.fcd"));
  ASSERT_TRUE(win);
  EXPECT_EQ(win->TemplateName, "TV0003.FCT");
  EXPECT_EQ(win->Flags, (std::array<bool, kCoverFlagCount>{true, false, false, true, false}));
  EXPECT_EQ(win->Message, QString::fromUtf8("Price: 5 €\nBye"));

  // A flags line of another length sets none; a file of one line has the
  // template only.
  dir.Write("short.fcd", "tv0004.fct\nXXX\nText");
  const auto shortFlags = ReadCoverData(dir.File("short.fcd"));
  ASSERT_TRUE(shortFlags);
  EXPECT_EQ(shortFlags->Flags, (std::array<bool, kCoverFlagCount>{}));
  EXPECT_EQ(shortFlags->Message, "Text");
  dir.Write("one.fcd", "tv0004.fct");
  EXPECT_EQ(ReadCoverData(dir.File("one.fcd"))->TemplateName, "tv0004.fct");

  EXPECT_FALSE(ReadCoverData(dir.File("missing.fcd")));
  // A folder that cannot hold the file: nothing is written.
  dir.Write("file", "x");
  EXPECT_FALSE(WriteCoverData(dir.File("file/COV00000.fcd"), CoverData{}));
}

TEST(CoverData, LivesBesideItsCover) {
  test::TempDir dir;
  EXPECT_EQ(CoverDataPath(dir.File("COV00007.APF")), dir.File("COV00007.fcd"));
  dir.Write("COV00008.FCD", "");
  EXPECT_EQ(CoverDataPath(dir.File("COV00008.APF")), dir.File("COV00008.FCD"));
}

}  // namespace
}  // namespace tv
