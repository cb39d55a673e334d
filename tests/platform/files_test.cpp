#include "platform/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/work_files.h"
#include "tests/support/temp_dir.h"

namespace tv {
namespace {

TEST(FileNames, PlainNamesStayInTheirFolder) {
  for (const char* name : {"FAX00001.APF", "Müller €.apf", "a..b", ".hidden"})
    EXPECT_TRUE(IsPlainFileName(name)) << name;
  for (const char* name : {"", ".", "..", "../TVOUT.DBF", "sub/x.apf", "..\\TVOUT.DBF", "/etc/passwd", "a\nb"})
    EXPECT_FALSE(IsPlainFileName(name)) << name;
  EXPECT_EQ(ChangeExtension("dir.d/TVOUT.DBF", ".CDX"), "dir.d/TVOUT.CDX");
  EXPECT_EQ(ChangeExtension("dir.d/noext", ".fcd"), "dir.d/noext.fcd");
  EXPECT_EQ(ChangeExtension("COV00001.APF", ""), "COV00001");
  EXPECT_EQ(Extension("dir.d/noext"), "");
}

TEST(OpenRegularFile, RefusesPipesAndFoldersAtOnce) {
  test::TempDir dir;
  ASSERT_EQ(mkfifo(dir.File("pipe").c_str(), 0600), 0);
  EXPECT_EQ(OpenRegularFile(dir.File("pipe"), O_RDONLY), -1);  // would block for a writer without the check
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(OpenRegularFile(dir.Path(), O_RDONLY), -1);
  dir.Write("file", "x");
  const int fd = OpenRegularFile(dir.File("file"), O_RDONLY);
  EXPECT_GE(fd, 0);
  close(fd);
  EXPECT_TRUE(IsRegularFile(dir.File("file")));
  EXPECT_FALSE(IsRegularFile(dir.File("pipe")));
  EXPECT_TRUE(FileExists(dir.File("pipe")));
}

// Every way of writing a file refuses a link, a named pipe and a device under
// its name, and writes nothing to what a link leads to.
TEST(FileWriters, RefuseLinksPipesAndDevices) {
  test::TempDir dir;
  dir.Write("real", "kept");
  dir.Write("source", "new");
  ASSERT_EQ(symlink(dir.File("real").c_str(), dir.File("link").c_str()), 0);
  ASSERT_EQ(mkfifo(dir.File("pipe").c_str(), 0600), 0);
  for (const std::string& path : {dir.File("link"), dir.File("pipe"), std::string("/dev/null")}) {
    EXPECT_EQ(OpenRegularFile(path, O_RDWR), -1) << path;
    EXPECT_EQ(errno, EINVAL) << path;
    EXPECT_EQ(OpenRegularFile(path, O_WRONLY | O_CREAT | O_TRUNC), -1) << path;
    EXPECT_EQ(ReplaceFileContents(path, "new"), EINVAL) << path;
    EXPECT_FALSE(CopyWholeFile(dir.File("source"), path)) << path;
  }
  EXPECT_EQ(ReplaceFileContents(dir.File("pipe"), "new", LinkTarget::Follow), EINVAL);
  EXPECT_EQ(dir.Read("real"), "kept");
  EXPECT_TRUE(std::filesystem::is_symlink(dir.File("link")));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 4);  // no work file left
  // Reading through a link stays possible; settings files follow theirs on purpose.
  const int fd = OpenRegularFile(dir.File("link"), O_RDONLY);
  EXPECT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(ReplaceFileContents(dir.File("link"), "followed", LinkTarget::Follow), 0);
  EXPECT_EQ(dir.Read("real"), "followed");
}

TEST(FileReplacement, TargetIsOldOrNewNeverAPart) {
  test::TempDir dir;
  dir.Write("target", "old contents");
  chmod(dir.File("target").c_str(), 0640);
  {
    FileReplacement abandoned;
    ASSERT_EQ(abandoned.Begin(dir.File("target")), 0);
    ASSERT_EQ(write(abandoned.Descriptor(), "new", 3), 3);
  }  // never committed
  EXPECT_EQ(dir.Read("target"), "old contents");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);  // no temporary left

  ASSERT_EQ(ReplaceFileContents(dir.File("target"), "new"), 0);
  EXPECT_EQ(dir.Read("target"), "new");
  struct stat info {};
  stat(dir.File("target").c_str(), &info);
  EXPECT_EQ(info.st_mode & 0777, 0640u);  // the target keeps its permissions

  // A copy over itself, under any spelling, is refused and changes nothing.
  EXPECT_FALSE(CopyWholeFile(dir.File("target"), dir.Path() + "./target"));
  EXPECT_EQ(dir.Read("target"), "new");
  EXPECT_FALSE(CopyWholeFile(dir.File("missing"), dir.File("target")));
  EXPECT_EQ(dir.Read("target"), "new");
}

}  // namespace
}  // namespace tv
