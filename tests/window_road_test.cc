// The download road in window mode: the real installer binary on the X
// display that the tests run on, against the test server.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "driver/constants.h"
#include "platform/shell.h"
#include "test_server.h"
#include "test_util.h"

namespace fs = std::filesystem;

namespace {

class WindowRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const std::string& dir : {record_, tmp_, home_, dir_, scratch_ / "agent"})
      ASSERT_EQ(0, mkpath(dir, 0700));
    fs::copy_file(INSTALLER_BINARY, dir_ + "/installer");
    fs::copy_file(SAMPLE_BUNDLE_ZIP, dir_ + "/bundle.zip");
    fs::copy_file(TEST_FIXTURES_DIR "/recording_agent/install", scratch_ / "agent/install");
    // Incompressible, so the body takes a while at a limited rate.
    std::mt19937 rng(7);
    std::string padding(1 << 20, '\0');
    for (char& c : padding)
      c = static_cast<char>(rng());
    writeFile(scratch_ / "agent/padding.bin", padding);
    makeZip(archive_, scratch_ / "agent");
  }

  EnvChanges environment(const std::string& url) {
    return {{"TMPDIR", tmp_},
            {"HOME", home_},
            {"AGENT_RECORD_DIR", record_},
            {"ARGV_ECHO", ARGV_ECHO_BINARY},
            {"QZ_INTERNAL_INSTALL_AGENT_URL", url},
            {"NO_AT_BRIDGE", "1"},
            {"__QZ_BOOTSTRAP_INSTALLER_UNITTEST__", std::nullopt}};
  }

  // Starts the installer and waits until the server has begun to answer.
  std::unique_ptr<Child> startInstaller(const TestServer& server) {
    auto child = std::make_unique<Child>(std::vector<std::string>{dir_ + "/installer"},
                                         environment(server.url()));
    for (int i = 0; i < 1000 && server.stats().requests == 0; ++i)
      usleep(10000);
    return child;
  }

  bool agentRan() { return pathExists(record_ + "/argv"); }

  ScratchDir scratch_;
  std::string record_ = scratch_ / "record";
  std::string tmp_ = scratch_ / "tmp";
  std::string home_ = scratch_ / "home";
  std::string dir_ = scratch_ / "installer dir";
  std::string archive_ = scratch_ / "agent.zip";
};

}  // namespace

TEST_F(WindowRoad, DownloadsStartsTheAgentOnceThenUsesTheCache) {
  TestServer server(archive_, {"--etag", "\"w1\""});
  RunResult first = runProgram({dir_ + "/installer", "-x"}, environment(server.url()));
  ASSERT_EQ(0, first.exitCode) << first.err;
  EXPECT_EQ(std::vector<std::string>({"-installbundle", dir_ + "/bundle.zip", "-x"}),
            splitNul(readFile(record_ + "/argv")));
  EXPECT_EQ("recording agent ran\n", first.out);  // once
  EXPECT_EQ("", first.err);                       // the window showed the progress

  // A server that would hold the body back: the cache hit must not wait.
  TestServer stalling(archive_, {"--etag", "\"w1\"", "--stall", "30"});
  fs::remove(record_ + "/argv");
  RunResult second = runProgram({dir_ + "/installer"}, environment(stalling.url()));
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
  EXPECT_FALSE(pathExists(home_ + "/" + installAgentCacheRelPath + "installagent/install"));
  EXPECT_TRUE(listDir(tmp_).empty());
}
