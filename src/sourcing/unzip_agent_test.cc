#include "sourcing/unzip_agent.h"

#include <gtest/gtest.h>

#include "platform/shell.h"
#include "reports.h"
#include "test_util.h"

namespace {

// An archive holding "install" (with `content`) and "lib/data".
std::string makeAgentArchive(const ScratchDir& scratch, const std::string& content) {
  std::string src = scratch / "src";
  mkpath(src + "/lib", 0755);
  writeFile(src + "/install", content);
  writeFile(src + "/lib/data", "data");
  std::string archive = scratch / "agent archive.zip";
  makeZip(archive, src);
  return archive;
}

}  // namespace

TEST(UnzipInstallAgent, MissingArchiveFailsSilently) {
  ScratchDir scratch;
  reported().clear();
  EXPECT_FALSE(unzipInstallAgent(scratch / "none.zip", scratch / "out", "unzip", recordReport));
  EXPECT_TRUE(reported().empty());
  EXPECT_FALSE(pathExists(scratch / "out"));
}

TEST(UnzipInstallAgent, PathsWithBlanksAndAMissingDestination) {
  ScratchDir scratch;
  std::string archive = makeAgentArchive(scratch, "echo one\n");
  std::string dest = scratch / "new dir";  // the tool makes the last level
  EXPECT_TRUE(unzipInstallAgent(archive, dest, "unzip", recordReport));
  EXPECT_EQ("echo one\n", readFile(dest + "/install"));
  EXPECT_EQ("data", readFile(dest + "/lib/data"));
}

TEST(UnzipInstallAgent, SecondUnpackingOverwritesTheFirst) {
  ScratchDir scratch;
  std::string dest = scratch / "agent";
  ASSERT_TRUE(unzipInstallAgent(makeAgentArchive(scratch, "first\n"), dest, "unzip",
                                recordReport));
  ASSERT_TRUE(unzipInstallAgent(makeAgentArchive(scratch, "second\n"), dest, "unzip",
                                recordReport));
  EXPECT_EQ("second\n", readFile(dest + "/install"));
}

TEST(UnzipInstallAgent, CorruptArchiveIsReportedWithoutFullStop) {
  ScratchDir scratch;
  writeFile(scratch / "bad.zip", "this is not a zip archive");
  reported().clear();
  EXPECT_FALSE(unzipInstallAgent(scratch / "bad.zip", scratch / "out", "unzip", recordReport));
  EXPECT_EQ(std::vector<std::string>{"Failed to unzip the install agent"}, reported());
}

TEST(UnzipInstallAgent, MissingToolIsAFailure) {
  ScratchDir scratch;
  std::string archive = makeAgentArchive(scratch, "x\n");
  reported().clear();
  EXPECT_FALSE(unzipInstallAgent(archive, scratch / "out", "no-such-unzip-tool", recordReport));
  EXPECT_EQ(std::vector<std::string>{"Failed to unzip the install agent"}, reported());
}
