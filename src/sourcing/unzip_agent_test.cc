#include "sourcing/unzip_agent.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/shell.h"
#include "reports.h"
#include "test_util.h"

namespace {

// An archive holding "install" (with `content`) and "lib/data".
std::string makeAgentArchive(const ScratchDir& scratch, const std::string& content) {
  std::string src = scratch / ("src-" + std::to_string(content.size()));
  mkpath(src + "/lib", 0755);
  writeFile(src + "/install", content);
  writeFile(src + "/lib/data", "data");
  std::string archive = scratch / ("agent archive " + std::to_string(content.size()) + ".zip");
  makeZip(archive, src);
  return archive;
}

}  // namespace

TEST(UnzipInstallAgent, CorruptArchiveIsReportedWithoutFullStop) {
  ScratchDir scratch;
  writeFile(scratch / "bad.zip", "this is not a zip archive");
  mkpath(scratch / "out", 0700);
  int fd = openAgentArchive(scratch / "bad.zip", false);
  ASSERT_NE(-1, fd);
  reported().clear();
  EXPECT_FALSE(unzipInstallAgent(fd, scratch / "out", recordReport));
  close(fd);
  EXPECT_EQ(std::vector<std::string>{"Failed to unzip the install agent"}, reported());
}

TEST(OpenAgentArchive, OnlyARegularFileAndALinkOnlyWhenAskedFor) {
  ScratchDir scratch;
  std::string archive = makeAgentArchive(scratch, "x\n");
  symlink(archive.c_str(), (scratch / "link.zip").c_str());
  mkfifo((scratch / "fifo.zip").c_str(), 0600);
  int fd = openAgentArchive(scratch / "link.zip", true);
  EXPECT_NE(-1, fd);
  close(fd);
  EXPECT_EQ(-1, openAgentArchive(scratch / "link.zip", false));
  EXPECT_EQ(-1, openAgentArchive(scratch / "fifo.zip", true));  // and no wait for a writer
  EXPECT_EQ(-1, openAgentArchive(scratch / "missing.zip", true));
}

// The new agent takes the old one's place whole; the archive is let go
// before the flush, once; nothing is left beside the agent.
TEST(UnpackAgentIntoCache, SwapsTheWholeAgentInAndLetsTheArchiveGoFirst) {
  ScratchDir scratch;
  std::string agentDir = scratch / "installagent";
  mkpath(agentDir, 0700);
  writeFile(agentDir + "/install", "old\n");
  writeFile(agentDir + "/old-only", "old");
  std::string archive = makeAgentArchive(scratch, "new agent\n");
  int fd = openAgentArchive(archive, false);
  int drops = 0;
  EXPECT_TRUE(unpackAgentIntoCache(fd, agentDir, recordReport, [&] {
    ++drops;
    close(fd);
  }));
  EXPECT_EQ(1, drops);
  EXPECT_EQ("new agent\n", readFile(agentDir + "/install"));
  EXPECT_EQ("data", readFile(agentDir + "/lib/data"));
  EXPECT_FALSE(pathExists(agentDir + "/old-only"));
  EXPECT_EQ((std::vector<std::string>{"agent archive 10.zip", "installagent", "src-10"}),
            listDir(scratch.path()));
}

TEST(UnpackAgentIntoCache, RefusedArchiveKeepsTheOldAgentAndLeavesNoStaging) {
  ScratchDir scratch;
  std::string agentDir = scratch / "installagent";
  mkpath(agentDir, 0700);
  writeFile(agentDir + "/install", "old\n");
  writeFile(scratch / "bad.zip", std::string("PK\x03\x04", 4) + "cut short");
  int fd = openAgentArchive(scratch / "bad.zip", false);
  reported().clear();
  EXPECT_FALSE(unpackAgentIntoCache(fd, agentDir, recordReport));
  close(fd);
  EXPECT_EQ(std::vector<std::string>{"Failed to unzip the install agent"}, reported());
  EXPECT_EQ("old\n", readFile(agentDir + "/install"));
  EXPECT_EQ((std::vector<std::string>{"bad.zip", "installagent"}), listDir(scratch.path()));
}
