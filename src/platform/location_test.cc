#include "platform/location.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>

TEST(DirectoryOf, DropsTheLastComponent) {
  EXPECT_EQ("/opt/setup/bin", directoryOf("/opt/setup/bin/installer"));
}

// An installer copied to "/" (a container image) lives in a directory too.
TEST(DirectoryOf, OnlySeparatorFirstGivesTheRoot) {
  EXPECT_EQ("/", directoryOf("/installer"));
  EXPECT_EQ("/InstallAgent.zip", joinPath(directoryOf("/installer"), "InstallAgent.zip"));
}

TEST(JoinPath, OneSeparatorBetween) {
  EXPECT_EQ("/a/b", joinPath("/a", "b"));
  EXPECT_EQ("/a/b", joinPath("/a/", "b"));
  EXPECT_EQ("b", joinPath("", "b"));
}

TEST(DirectoryOf, NoSeparatorGivesThePathWhole) {
  EXPECT_EQ("installer", directoryOf("installer"));
  EXPECT_EQ("", directoryOf(""));
}

TEST(DirectoryOf, BackslashCountsLikeSlash) {
  EXPECT_EQ("C:\\setup\\bin", directoryOf("C:\\setup\\bin\\installer"));
  EXPECT_EQ("/a/b\\c", directoryOf("/a/b\\c/d"));
}

TEST(DirectoryOf, DoubledSeparatorLeavesOneBehind) { EXPECT_EQ("/a/", directoryOf("/a//b")); }

TEST(Location, ExecutableIsThisProcess) {
  char real[PATH_MAX];
  ASSERT_NE(nullptr, realpath("/proc/self/exe", real));
  EXPECT_EQ(real, getPathToExecutable());
  EXPECT_EQ(directoryOf(real), getDirectoryOfExecutable());
  EXPECT_EQ(getDirectoryOfExecutable(), getBundleLocation());
}
