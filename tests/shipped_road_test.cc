// The shipped road, end to end: the real installer binary in a temporary
// installer directory, with a real sh, started the way a user starts it.
#include <gtest/gtest.h>

#include <filesystem>

#include "driver/constants.h"
#include "platform/shell.h"
#include "installer_test.h"
#include "test_server.h"

namespace fs = std::filesystem;

namespace {

class ShippedRoad : public InstallerTest {
 protected:
  // Zips an agent directory holding `script` as "install" into `name`.
  void shipAgent(const std::string& name, const std::string& script) {
    std::string src = scratch_ / ("agent-src-" + std::to_string(agents_++));
    ASSERT_EQ(0, mkpath(src, 0755));
    writeFile(src + "/install", script);
    makeZip(dir_ + "/" + name, src);
  }
  void shipRecordingAgent(const std::string& name = "InstallAgent.zip") {
    shipAgent(name, readFile(TEST_FIXTURES_DIR "/recording_agent/install"));
  }

  // Should a run reach the download road: nothing listens on port 1 of the
  // loopback interface, and no window opens.
  RunResult run(std::vector<std::string> args = {}, EnvChanges env = {}) {
    return InstallerTest::run("http://127.0.0.1:1/agent", std::move(args), env);
  }

  int agents_ = 0;
};

}  // namespace

TEST_F(ShippedRoad, AgentGetsTheBundleAndExactlyTheUserArguments) {
  shipRecordingAgent();
  std::vector<std::string> args = {"-destination", "/opt/a b", "", "$HOME", "it's \"x\"",
                                   "a\nb", "*", "~", "-x;rm -rf /", "\xc3\xbc\\`"};
  RunResult r = run(args);
  ASSERT_EQ(0, r.exitCode) << r.err;
  EXPECT_EQ("", r.err);
  EXPECT_EQ("recording agent ran\n", r.out);
  std::vector<std::string> expected = {"-installbundle", dir_ + "/bundle.zip"};
  expected.insert(expected.end(), args.begin(), args.end());
  EXPECT_EQ(expected, agentArgv());
}

TEST_F(ShippedRoad, AgentRunsInsideTheTemporaryDirectoryWhichIsGoneAfterwards) {
  shipRecordingAgent();
  RunResult r = run();
  ASSERT_EQ(0, r.exitCode) << r.err;
  EXPECT_EQ(std::vector<std::string>({"-installbundle", dir_ + "/bundle.zip"}), agentArgv());
  std::string script = agentScript();
  EXPECT_EQ(tmp_ + "/qz", script.substr(0, tmp_.size() + 3));
  EXPECT_EQ("/install", script.substr(tmp_.size() + 9));
  EXPECT_EQ("present\n", readFile(record_ + "/agent_dir"));  // it existed while running
  EXPECT_TRUE(listDir(tmp_).empty());
  EXPECT_FALSE(pathExists(home_ + "/.orvant"));  // the cache is not touched
}

TEST_F(ShippedRoad, FailingAgentsStatusBecomesTheExitStatus) {
  shipRecordingAgent();
  RunResult r = run({}, {{"AGENT_ACTION", "exit3"}});
  EXPECT_EQ(3, r.exitCode);
  EXPECT_EQ("The install agent exited with status 3.\n", r.err);
  EXPECT_TRUE(listDir(tmp_).empty());
}

TEST_F(ShippedRoad, AgentKilledBySignalGives128PlusSignal) {
  shipRecordingAgent();
  RunResult r = run({}, {{"AGENT_ACTION", "kill"}});
  EXPECT_EQ(128 + 9, r.exitCode);
  // The shell may say "Killed" first; our line closes the output.
  ASSERT_FALSE(lines(r.err).empty());
  EXPECT_EQ("The install agent exited with status 137.", lines(r.err).back());
  EXPECT_TRUE(listDir(tmp_).empty());
}

TEST_F(ShippedRoad, DefaultArchiveIsPreferredOverAlternatives) {
  shipRecordingAgent("InstallAgent.zip");
  shipAgent("InstallAgent_other.zip", "echo wrong agent; exit 9\n");
  RunResult r = run();
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_EQ("recording agent ran\n", r.out);
}

TEST_F(ShippedRoad, AlternativeArchiveIsUsedWithoutTheDefault) {
  shipRecordingAgent("InstallAgent_.zip");
  RunResult r = run({"-v"});
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_EQ(std::vector<std::string>({"-installbundle", dir_ + "/bundle.zip", "-v"}),
            agentArgv());
}

TEST_F(ShippedRoad, NoArchiveTakesTheDownloadRoadAndPreparesTheCache) {
  shipRecordingAgent("installagent_x.zip");
  shipRecordingAgent("XInstallAgent_x.zip");
  shipRecordingAgent("InstallAgent_x.zip.bak");
  RunResult r = run();
  EXPECT_EQ(255, r.exitCode);
  // A refused connection is tried five times, and said so, before it fails.
  EXPECT_EQ(0u, r.err.find("Connection lost. Retrying in 1 s (attempt 2 of 5)\n")) << r.err;
  EXPECT_EQ("No connection could be made to 127.0.0.1:1: it was refused, or the server cannot be "
            "reached.",
            downloadFailureReason(r.err))
      << r.err;
  EXPECT_FALSE(pathExists(record_ + "/argv"));
  EXPECT_EQ(0700, fileMode(cacheDir() + installAgentDirName));
  EXPECT_EQ(0700, fileMode(home_ + "/.orvant"));
  EXPECT_TRUE(listDir(tmp_).empty());
}

TEST_F(ShippedRoad, HomeWithTrailingSlashGivesTheSameCache) {
  RunResult r = run({}, {{"HOME", home_ + "/"}});
  EXPECT_EQ(255, r.exitCode);
  EXPECT_EQ(0700, fileMode(cacheDir() + installAgentDirName));
}

TEST_F(ShippedRoad, CorruptArchiveFailsWithThreeMessagesInOrder) {
  writeFile(dir_ + "/InstallAgent.zip", "PK\x03\x04 truncated nonsense");
  RunResult r = run();
  EXPECT_EQ(255, r.exitCode);
  // Ours close the output, in order.
  std::vector<std::string> all = lines(r.err);
  ASSERT_GE(all.size(), 3u) << r.err;
  std::vector<std::string> ours(all.end() - 3, all.end());
  EXPECT_EQ(std::vector<std::string>({"Failed to unzip the install agent",
                                      "Failed to initialize the install agent.",
                                      "Installation failed."}),
            ours)
      << r.err;
  EXPECT_TRUE(listDir(tmp_).empty());
}

TEST_F(ShippedRoad, ArchiveWithoutInstallAtItsTopIsRefused) {
  std::string src = scratch_ / "nested";
  ASSERT_EQ(0, mkpath(src + "/agent", 0755));
  writeFile(src + "/agent/install", "echo nested\n");
  makeZip(dir_ + "/InstallAgent.zip", src);
  RunResult r = run();
  EXPECT_EQ(255, r.exitCode);
  EXPECT_EQ(
      "The install agent archive has no install script at its top.\n"
      "Failed to initialize the install agent.\n"
      "Installation failed.\n",
      r.err);
  EXPECT_EQ("", r.out);
}

// Never into the installer's directory: unpacking there would meet the
// vendor's files.
TEST_F(ShippedRoad, UnusableTmpdirFallsBackToTmp) {
  shipRecordingAgent();
  const std::vector<std::string> before = listDir(dir_);
  for (std::string tmpdir : {scratch_ / "missing", dir_ + "/bundle.zip"}) {
    RunResult r = run({}, {{"TMPDIR", tmpdir}});
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("/tmp/qz", agentScript().substr(0, 7));
    EXPECT_FALSE(pathExists(agentScript()));  // removed with its directory
    EXPECT_EQ(before, listDir(dir_));
  }
}

TEST_F(ShippedRoad, TestModeWorksBesideTheExecutableEvenWhenEmpty) {
  shipRecordingAgent();
  RunResult r = run({}, {{"__QZ_BOOTSTRAP_INSTALLER_UNITTEST__", ""}});
  ASSERT_EQ(0, r.exitCode) << r.err;
  EXPECT_EQ(dir_ + "/install", agentScript());
  EXPECT_TRUE(listDir(tmp_).empty());  // made and removed all the same
}

TEST_F(ShippedRoad, HostilePathsForTheInstallerAndTmpdirStillWork) {
  const std::string hostile = "a b\t$x `id` 'q' \"d\" \\ ;&|<>()~#*?[ab] \xc3\xbc\nend";
  useInstallerDir(scratch_ / ("inst " + hostile));
  shipRecordingAgent();
  tmp_ = scratch_ / ("tmp " + hostile);
  ASSERT_EQ(0, mkpath(tmp_, 0700));
  RunResult r = run({"x y"});
  ASSERT_EQ(0, r.exitCode) << r.err;
  EXPECT_EQ(std::vector<std::string>({"-installbundle", dir_ + "/bundle.zip", "x y"}),
            agentArgv());
  EXPECT_EQ(tmp_ + "/qz", agentScript().substr(0, tmp_.size() + 3));
  EXPECT_TRUE(listDir(tmp_).empty());
}

TEST_F(ShippedRoad, SampleAgentInstallsTheSampleProduct) {
  fs::copy_file(SAMPLE_AGENT_ZIP, dir_ + "/InstallAgent.zip");
  std::string dest = scratch_ / "product dest";
  RunResult r = run({"-destination", dest});
  ASSERT_EQ(0, r.exitCode) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("[2] " + dir_ + "/bundle.zip")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("[4] " + dest)) << r.out;
  RunResult hello = runProgram({dest + "/bin/sample-hello"});
  EXPECT_EQ("Hello from the sample product.\n", hello.out);
}

// Minimal servers and containers have no unzip: neither road needs one, on
// any PATH.
TEST_F(ShippedRoad, NoUnzipProgramIsNeededOnEitherRoad) {
  shipRecordingAgent();
  const std::string script =
      "for p in /usr/bin/unzip /bin/unzip; do [ -e \"$p\" ] && mount --bind /dev/null \"$p\"; "
      "done; unzip -v >/dev/null 2>&1 && exit 99; exec \"$@\"";
  const std::vector<std::string> withoutUnzip = {"unshare", "-m", "sh", "-c", script, "sh",
                                                 dir_ + "/installer"};
  RunResult shipped = runProgram(withoutUnzip, environment("http://127.0.0.1:1/agent"));
  if (shipped.exitCode == 99 || shipped.err.find("unshare") != std::string::npos)
    GTEST_SKIP() << "cannot hide unzip here: " << shipped.err;
  EXPECT_EQ(0, shipped.exitCode) << shipped.err;
  EXPECT_TRUE(agentRan());

  fs::remove(dir_ + "/InstallAgent.zip");
  fs::remove(record_ + "/argv");
  TestServer server(makeAgentArchive("served.zip"), {"--etag", "\"no-unzip\""});
  RunResult downloaded = runProgram(withoutUnzip, environment(server.url()));
  EXPECT_EQ(0, downloaded.exitCode) << downloaded.err;
  EXPECT_TRUE(agentRan());
  EXPECT_TRUE(pathExists(cachedScript()));
}

// An encrypted entry asks for a password nowhere: on a real terminal the
// run ends at once with the unpacking's texts.
TEST_F(ShippedRoad, EncryptedArchiveEndsAtOnceOnATerminal) {
  std::string src = scratch_ / "secret-src";
  ASSERT_EQ(0, mkpath(src, 0755));
  writeFile(src + "/install", "echo secret\n");
  ASSERT_EQ(0, runProgram({"sh", "-c", "cd \"$1\" && zip -q -P secret \"$2\" install", "sh", src,
                           dir_ + "/InstallAgent.zip"})
                   .exitCode);
  RunResult r = runProgram({"python3", TEST_FIXTURES_DIR "/reliability/pty_run.py", "--timeout",
                            "10", "--", dir_ + "/installer"},
                           environment("http://127.0.0.1:1/agent"));
  EXPECT_EQ(255, r.exitCode) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("Failed to unzip the install agent\r\n"
                                          "Failed to initialize the install agent.\r\n"
                                          "Installation failed."))
      << r.out;
  EXPECT_EQ(std::string::npos, r.out.find("password")) << r.out;
  EXPECT_TRUE(listDir(tmp_).empty());
}

// The installer reads the zone file once for all the times it unpacks; the
// agent gets the user's environment as it was, TZ set or not.
TEST_F(ShippedRoad, AgentGetsTheUsersTimeZoneSettingAsItWas) {
  shipRecordingAgent();
  EnvChanges env = {{"TZ", std::nullopt}};
  ASSERT_EQ(0, run({}, env).exitCode);
  EXPECT_EQ("unset", readFile(record_ + "/tz"));
  env["TZ"] = "Europe/Berlin";
  ASSERT_EQ(0, run({}, env).exitCode);
  EXPECT_EQ("Europe/Berlin", readFile(record_ + "/tz"));
}
