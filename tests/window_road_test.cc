// The download road in window mode: the real installer binary on the X
// display that the tests run on, against the test server.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include "driver/constants.h"
#include "platform/shell.h"
#include "installer_test.h"
#include "test_server.h"

namespace fs = std::filesystem;

namespace {

class WindowRoad : public InstallerTest {
 protected:
  // Starts the installer and waits until the server has begun to answer.
  std::unique_ptr<Child> startInstaller(const TestServer& server) {
    auto child = std::make_unique<Child>(std::vector<std::string>{dir_ + "/installer"},
                                         environment(server.url(), true));
    for (int i = 0; i < 1000 && server.stats().requests == 0; ++i)
      usleep(10000);
    return child;
  }

  std::string archive_ = makeAgentArchive("agent.zip", 1 << 20);
};

}  // namespace

TEST_F(WindowRoad, DownloadsStartsTheAgentOnceThenUsesTheCache) {
  TestServer server(archive_, {"--etag", "\"w1\""});
  RunResult first = runProgram({dir_ + "/installer", "-x"}, environment(server.url(), true));
  ASSERT_EQ(0, first.exitCode) << first.err;
  EXPECT_EQ(std::vector<std::string>({"-installbundle", dir_ + "/bundle.zip", "-x"}),
            agentArgv());
  EXPECT_EQ("recording agent ran\n", first.out);  // once
  EXPECT_EQ("", first.err);                       // the window showed the progress

  // A server that would hold the body back: the cache hit must not wait.
  TestServer stalling(archive_, {"--etag", "\"w1\"", "--stall", "30"});
  fs::remove(record_ + "/argv");
  RunResult second = runProgram({dir_ + "/installer"}, environment(stalling.url(), true));
  ASSERT_EQ(0, second.exitCode) << second.err;
  EXPECT_TRUE(agentRan());
  EXPECT_EQ(0, stalling.stats().bodyBytesSent);
  EXPECT_TRUE(listDir(tmp_).empty());
}

TEST_F(WindowRoad, FailureStaysOnScreenUntilTheUserLeaves) {
  TestServer server(archive_, {"--status", "404"});
  std::unique_ptr<Child> child = startInstaller(server);
  usleep(1500 * 1000);
  ASSERT_EQ(0, kill(child->pid(), 0)) << "the window did not stay: " << child->errSoFar();
  kill(child->pid(), SIGTERM);
  RunResult r = child->wait(20);
  EXPECT_EQ(255, r.exitCode);
  EXPECT_EQ("Installation failed.", lines(r.err).back()) << r.err;
  EXPECT_FALSE(agentRan());
  EXPECT_TRUE(listDir(tmp_).empty());
}

TEST_F(WindowRoad, InterruptMidTransferCancels) {
  TestServer server(archive_, {"--rate", "100000"});
  std::unique_ptr<Child> child = startInstaller(server);
  for (int i = 0; i < 1000 && server.stats().bodyBytesSent == 0; ++i)
    usleep(10000);
  kill(child->pid(), SIGINT);
  RunResult r = child->wait(20);
  EXPECT_EQ(255, r.exitCode);
  EXPECT_FALSE(agentRan());
  EXPECT_FALSE(pathExists(cachedScript()));
  EXPECT_TRUE(listDir(tmp_).empty());
}
