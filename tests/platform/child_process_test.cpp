#include "platform/child_process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>

namespace tv {
namespace {

// Everything the child reads from its standard output, through Read.
std::string ReadAll(ChildProcess& child) {
  std::string text;
  char chunk[256];
  for (std::size_t got = 1; got > 0;) {
    const int error = child.Read(chunk, sizeof chunk, 5000, got);
    if (error != 0) {
      ADD_FAILURE() << "Read failed: " << error;
      break;
    }
    text.append(chunk, got);
  }
  return text;
}

TEST(ChildProcess, ReportsFailuresAsErrnoValues) {
  ChildProcess child;
  EXPECT_EQ(child.Start({"/nonexistent/program"}), ENOENT);
  EXPECT_EQ(child.Start({}), EINVAL);
  int status = -1;
  EXPECT_EQ(ChildProcess::Run({"tv-no-such-program"}, status), ENOENT);

  // A child that says nothing for a while: a time-out, then its words and end.
  ASSERT_EQ(child.Start({"sh", "-c", "sleep 0.3; echo late; echo said >&2; exit 3"}), 0);
  char byte = 0;
  std::size_t got = 99;
  EXPECT_EQ(child.Read(&byte, 1, 10, got), ETIMEDOUT);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(ReadAll(child), "late\n");
  EXPECT_EQ(child.Wait(), 3);
  EXPECT_EQ(child.ErrorOutput(), "said\n");

  std::string output;
  ASSERT_EQ(ChildProcess::Run({"sh", "-c", "echo out; echo err >&2; exit 4"}, status, &output), 0);
  EXPECT_EQ(status, 4);
  EXPECT_EQ(output, "out\nerr\n");
}

TEST(ChildProcess, GetsOnlyTheEnvironmentGiven) {
  setenv("TV_CHILD_TEST_SECRET", "inherited", 1);
  ChildProcess inherits;
  ASSERT_EQ(inherits.Start({"/usr/bin/env"}), 0);
  EXPECT_NE(ReadAll(inherits).find("TV_CHILD_TEST_SECRET=inherited\n"), std::string::npos);
  EXPECT_EQ(inherits.Wait(), 0);

  ChildProcess own;
  own.SetEnvironment({"TMPDIR=/private", "A=1"});
  ASSERT_EQ(own.Start({"/usr/bin/env"}), 0);
  EXPECT_EQ(ReadAll(own), "TMPDIR=/private\nA=1\n");
  EXPECT_EQ(own.Wait(), 0);
  unsetenv("TV_CHILD_TEST_SECRET");
}

}  // namespace
}  // namespace tv
