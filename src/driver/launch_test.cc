#include "driver/launch.h"

#include <gtest/gtest.h>

#include "reports.h"
#include "test_util.h"

TEST(InstallAgentArguments, ShellScriptBundleThenTheUserArgumentsOneEach) {
  const char* argv[] = {"installer", "-a", "b c", ""};
  std::vector<std::string> expected = {"/bin/sh", "/w/install", "-installbundle",
                                       "/opt/my app/bundle.zip", "-a", "b c", ""};
  EXPECT_EQ(expected, installAgentArguments("/w/install", "/opt/my app", 4, argv));
}

TEST(InstallAgentArguments, RootAndRelativeDashPaths) {
  const char* argv[] = {"installer"};
  std::vector<std::string> expected = {"/bin/sh", "./-t/install", "-installbundle",
                                       "/bundle.zip"};
  EXPECT_EQ(expected, installAgentArguments("-t/install", "/", 1, argv));
}

TEST(FireInstallAgentWithArgs, AgentStatusComesBackAndFailureIsReported) {
  ScratchDir scratch;
  writeFile(scratch / "install", "exit \"$3\"\n");
  const char* argv[] = {"installer", "5"};
  reported().clear();
  int code = -1;
  EXPECT_TRUE(fireInstallAgentWithArgs(scratch / "install", scratch.path(), 2, argv,
                                       recordReport, &code));
  EXPECT_EQ(5, code);
  EXPECT_EQ(std::vector<std::string>{"The install agent exited with status 5."}, reported());
  const char* ok[] = {"installer", "0"};
  reported().clear();
  EXPECT_TRUE(fireInstallAgentWithArgs(scratch / "install", scratch.path(), 2, ok,
                                       recordReport, &code));
  EXPECT_EQ(0, code);
  EXPECT_TRUE(reported().empty());
}

// More user arguments than one `sh -c` line may hold (128 KiB): each reaches
// the agent as given, none is lost to quoting.
TEST(FireInstallAgentWithArgs, ArgumentsBeyondOneShellLineArriveWhole) {
  ScratchDir scratch;
  writeFile(scratch / "install", "shift 2\nARGV_ECHO_OUT=\"$OUT\" exec " ARGV_ECHO_BINARY " \"$@\"\n");
  setenv("OUT", (scratch / "argv").c_str(), 1);
  std::string quotes(40000, '\'');
  std::vector<std::string> words = {quotes};
  for (int i = 0; i < 25000; ++i)
    words.push_back("file-" + std::to_string(i) + ".dat");
  std::vector<const char*> argv = {"installer"};
  for (const std::string& w : words)
    argv.push_back(w.c_str());
  int code = -1;
  reported().clear();
  EXPECT_TRUE(fireInstallAgentWithArgs(scratch / "install", scratch.path(),
                                       static_cast<int>(argv.size()), argv.data(),
                                       recordReport, &code));
  unsetenv("OUT");
  EXPECT_EQ(0, code) << (reported().empty() ? "" : reported()[0]);
  EXPECT_EQ(words, splitNul(readFile(scratch / "argv")));
}

// One argument longer than the kernel takes (128 KiB): the shell cannot be
// started, which is no status of the agent's. Reported once.
TEST(FireInstallAgentWithArgs, AShellThatCannotStartIsAFailureToStart) {
  std::string huge(200 << 10, 'x');
  const char* argv[] = {"installer", huge.c_str()};
  int code = 0;
  reported().clear();
  EXPECT_FALSE(fireInstallAgentWithArgs("/w/install", "/x", 2, argv, recordReport, &code));
  EXPECT_EQ(std::vector<std::string>{"Failed to start the instal agent"}, reported());
}
