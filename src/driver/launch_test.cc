#include "driver/launch.h"

#include <gtest/gtest.h>

#include "reports.h"
#include "test_util.h"

TEST(InstallAgentCommandLine, NoUserArgumentsEndsWithTheBundle) {
  const char* argv[] = {"installer"};
  EXPECT_EQ("sh /w/install -installbundle /opt/app/bundle.zip",
            installAgentCommandLine("sh /w/install", "/opt/app", 1, argv));
}

TEST(InstallAgentCommandLine, OneBlankBeforeAndAfterEachArgument) {
  const char* argv[] = {"installer", "-a", "b"};
  EXPECT_EQ("sh /w/install -installbundle /opt/app/bundle.zip -a b ",
            installAgentCommandLine("sh /w/install", "/opt/app", 3, argv));
}

TEST(InstallAgentCommandLine, BundleWithBlankIsQuotedWhole) {
  const char* argv[] = {"installer"};
  EXPECT_EQ("sh x -installbundle \"/opt/my app/bundle.zip\"",
            installAgentCommandLine("sh x", "/opt/my app", 1, argv));
  EXPECT_EQ("sh x -installbundle /bundle.zip", installAgentCommandLine("sh x", "", 1, argv));
}

TEST(FireInstallAgentWithArgs, AgentStatusComesBackAndFailureIsReported) {
  ScratchDir scratch;
  writeFile(scratch / "install", "exit \"$3\"\n");
  const char* argv[] = {"installer", "5"};
  reported().clear();
  int code = -1;
  EXPECT_TRUE(fireInstallAgentWithArgs(scratch / "install", "sh " + scratch / "install",
                                       scratch.path(), 2, argv, recordReport, &code));
  EXPECT_EQ(5, code);
  EXPECT_EQ(std::vector<std::string>{"The install agent exited with status 5."}, reported());

  const char* ok[] = {"installer", "0"};
  reported().clear();
  EXPECT_TRUE(fireInstallAgentWithArgs(scratch / "install", "sh " + scratch / "install",
                                       scratch.path(), 2, ok, recordReport, &code));
  EXPECT_EQ(0, code);
  EXPECT_TRUE(reported().empty());
}
