#include "platform/last_resort.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "test_util.h"

namespace fs = std::filesystem;

// The removal the last resort does from its signal handler: a tree with
// more entries than one read of the directory returns, nested directories,
// and a link that must be removed, never followed.
TEST(LastResort, RemovesATreeWithoutFollowingLinks) {
  ScratchDir scratch;
  std::string tree = scratch / "qzTREE";
  std::string outside = scratch / "outside";
  fs::create_directories(tree + "/a/b/c");
  fs::create_directories(outside);
  writeFile(outside + "/keep", "kept");
  for (int i = 0; i < 300; ++i)
    writeFile(tree + "/a/file-with-a-long-name-" + std::to_string(i), "x");
  writeFile(tree + "/a/b/c/deep", "x");
  fs::create_directory_symlink(outside, tree + "/a/link");
  writeFile(tree + "/InstallAgent.download.zip.partial", "part");

  removeTreeFromSignalHandler(tree.c_str());
  EXPECT_FALSE(pathExists(tree));
  EXPECT_EQ("kept", readFile(outside + "/keep"));
  removeTreeFromSignalHandler((scratch / "missing").c_str());  // nothing there: nothing done
  EXPECT_TRUE(pathExists(outside + "/keep"));
}
