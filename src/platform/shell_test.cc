#include "platform/shell.h"

#include <errno.h>
#include <gtest/gtest.h>

#include "test_util.h"

// What the launcher reports as "Failed to start": no status, but errno.
TEST(RunCommand, ProgramThatCannotStartGivesMinusOneAndItsErrno) {
  ScratchDir scratch;
  std::string notExecutable = scratch / "script";
  writeFile(notExecutable, "#!/bin/sh\nexit 0\n");
  bool started = false;
  errno = 0;
  EXPECT_EQ(-1, runCommand({scratch / "missing"}, [&] { started = true; }));
  EXPECT_EQ(ENOENT, errno);
  errno = 0;
  EXPECT_EQ(-1, runCommand({notExecutable}, [&] { started = true; }));
  EXPECT_EQ(EACCES, errno);
  EXPECT_FALSE(started);
  EXPECT_EQ(0, exitCodeOfStatus(runCommand({"/bin/sh", notExecutable},
                                           [&] { started = true; })));
  EXPECT_TRUE(started);
}

TEST(Mkpath, CreatesEveryMissingComponentWithTheMode) {
  ScratchDir scratch;
  std::string path = scratch / "a/b//c/";
  EXPECT_EQ(0, mkpath(path, 0700));
  EXPECT_EQ(0700, fileMode(scratch / "a"));
  EXPECT_EQ(0700, fileMode(scratch / "a/b/c"));
  EXPECT_EQ(0, mkpath(path, 0700));  // all there: nothing to do
}

TEST(Mkpath, RootAndEmptyPathSucceed) {
  EXPECT_EQ(0, mkpath("/", 0700));
  EXPECT_EQ(0, mkpath("", 0700));
}

TEST(Mkpath, RegularFileOnTheWayIsNotADirectory) {
  ScratchDir scratch;
  writeFile(scratch / "file", "x");
  errno = 0;
  EXPECT_EQ(-1, mkpath(scratch / "file/below/deeper", 0700));
  EXPECT_EQ(ENOTDIR, errno);
  EXPECT_FALSE(pathExists(scratch / "file/below"));
  EXPECT_EQ(-1, mkpath(scratch / "file", 0700));
}
