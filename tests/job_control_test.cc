// The installer in a user's job: an interactive bash on a real
// pseudo-terminal, output that goes away, signals ignored from the start,
// and a process limit. The agent of these tests (fixtures/jobs/agent) holds,
// asks on the terminal, or ends quietly with a status, as told by its first
// user argument.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>

#include "installer_test.h"
#include "test_server.h"

namespace fs = std::filesystem;

namespace {

const std::string kJobs = TEST_FIXTURES_DIR "/jobs";

class JobControl : public InstallerTest {
 protected:
  void SetUp() override {
    InstallerTest::SetUp();
    std::string src = scratch_ / "job-agent";
    fs::create_directories(src);
    fs::copy_file(kJobs + "/agent/install", src + "/install");
    makeZip(agentZip_, src);
  }

  void shipAgent() { fs::copy_file(agentZip_, dir_ + "/InstallAgent.zip"); }

  // Types `steps` into `bash -i` in the installer directory; PS1 is spelt
  // so that its echo never matches the prompt itself.
  RunResult shell(std::vector<std::string> steps) {
    std::vector<std::string> argv = {"python3", kJobs + "/pty_shell.py", "--timeout", "15",
                                     "send:PS1='RE''ADY> '; set -b; cd '" + dir_ + "'\\n",
                                     "expect:READY> "};
    argv.insert(argv.end(), steps.begin(), steps.end());
    return runProgram(argv, environment("http://127.0.0.1:1/none"), "", 60);
  }

  std::string agentZip_ = scratch_ / "job-agent.zip";
};

// Ctrl-Z stops the whole job and gives the prompt back; fg resumes it; Ctrl-C
// then reaches the agent, whose status the installer passes on.
TEST_F(JobControl, CtrlZStopsTheJobFgResumesItCtrlCReachesTheAgent) {
  shipAgent();
  RunResult r = shell({"send:./installer hold\\n", "expect:AGENT UP", "send:\\x1a",
                       "expect:Stopped", "expect:READY> ", "send:fg\\n", "expect:installer hold",
                       "pause:1", "send:\\x03", "expect:exited with status 130\\.", "expect:READY> ",
                       "send:echo STATUS=$?\\n", "expect:STATUS=130"});
  EXPECT_EQ(0, r.exitCode) << r.err << r.out;
  EXPECT_TRUE(listDir(tmp_).empty());
}

// An agent that asks on the terminal, as sudo does, in a background job:
// the job stops like any other, and fg lets the user answer.
TEST_F(JobControl, BackgroundJobThatAsksOnTheTerminalStopsAndResumes) {
  shipAgent();
  RunResult r = shell({"send:./installer ask &\\n", "expect:Stopped", "send:fg\\n",
                       "expect:installer ask", "pause:1", "send:yes\\n", "expect:ANSWER=yes",
                       "expect:READY> ", "send:echo STATUS=$?\\n", "expect:STATUS=0"});
  EXPECT_EQ(0, r.exitCode) << r.err << r.out;
}

// Standard input elsewhere does not take the job off the terminal.
TEST_F(JobControl, AgentAsksOnTheTerminalWhenStandardInputIsNot) {
  shipAgent();
  RunResult r = shell({"send:./installer ask < /dev/null\\n", "expect:ASK\\?", "send:sure\\n",
                       "expect:ANSWER=sure", "expect:READY> ", "send:echo STATUS=$?\\n",
                       "expect:STATUS=0"});
  EXPECT_EQ(0, r.exitCode) << r.err << r.out;
}

// `nohup` and `trap '' HUP`: a hang-up is ignored by the installer and by
// its agent, which runs to its end; SIGTERM still ends the agent. SIGPIPE,
// which the installer ignores for itself, is the agent's as it would be.
TEST_F(JobControl, SignalsIgnoredAtTheStartStayIgnoredForTheAgentToo) {
  shipAgent();
  Child child({"sh", "-c", "trap '' HUP; exec ./installer hold"}, environment("x"), dir_);
  // The agent: the installer's child started with -installbundle.
  pid_t agent = 0;
  for (int i = 0; i < 1000 && agent == 0; ++i) {
    std::ifstream children("/proc/" + std::to_string(child.pid()) + "/task/" +
                           std::to_string(child.pid()) + "/children");
    for (pid_t pid; children >> pid;) {
      std::string cmdline = readFile("/proc/" + std::to_string(pid) + "/cmdline");
      if (cmdline.find(std::string("\0-installbundle\0", 16)) != std::string::npos)
        agent = pid;
    }
    usleep(10 * 1000);
  }
  ASSERT_NE(0, agent);
  unsigned long long ignored = 0;
  for (const std::string& line : lines(readFile("/proc/" + std::to_string(agent) + "/status"))) {
    if (line.compare(0, 7, "SigIgn:") == 0)
      ignored = std::stoull(line.substr(7), nullptr, 16);
  }
  EXPECT_NE(0u, ignored & (1ull << (SIGHUP - 1))) << std::hex << ignored;
  EXPECT_EQ(0u, ignored & (1ull << (SIGPIPE - 1))) << std::hex << ignored;
  kill(child.pid(), SIGHUP);
  kill(agent, SIGHUP);
  usleep(300 * 1000);
  EXPECT_EQ(0, kill(child.pid(), 0)) << "the installer ended on an ignored SIGHUP";
  EXPECT_EQ(0, kill(agent, 0)) << "the agent ended on an ignored SIGHUP";
  kill(child.pid(), SIGTERM);
  RunResult r = child.wait(10);
  EXPECT_EQ(128 + SIGTERM, r.exitCode) << r.err;
  EXPECT_TRUE(listDir(tmp_).empty());
}

// A launcher's signal state: SIGCHLD ignored (the kernel then reaps every
// child at once and a wait fails) or SIGINT, SIGTERM and SIGHUP blocked (a
// cancel would go unseen). The installer takes the state it needs, on the
// shipped road and the download road, and the agent gets SIGCHLD at its
// default, other ignored signals as they were, and nothing blocked.
TEST_F(JobControl, InheritedSignalStatesAreSetRightAtTheStart) {
  // Starts argv with SIGCHLD ignored, or the three signals blocked; SIGPIPE
  // at its default, as a shell would leave it.
  auto launched = [](bool ignoreChld, std::vector<std::string> argv) {
    std::vector<std::string> launcher = {
        "python3", "-c",
        "import os, signal, sys\n"
        "signal.signal(signal.SIGPIPE, signal.SIG_DFL)\n"
        "signal.signal(signal.SIGQUIT, signal.SIG_IGN)\n"
        "if sys.argv[1] == 'ignore':\n"
        "    signal.signal(signal.SIGCHLD, signal.SIG_IGN)\n"
        "else:\n"
        "    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM, signal.SIGHUP})\n"
        "os.execv(sys.argv[2], sys.argv[2:])\n",
        ignoreChld ? "ignore" : "block"};
    launcher.insert(launcher.end(), argv.begin(), argv.end());
    return launcher;
  };
  auto mask = [](const std::string& out, const std::string& field) {
    for (const std::string& line : lines(out)) {
      if (line.compare(0, field.size(), field) == 0)
        return std::stoull(line.substr(field.size()), nullptr, 16);
    }
    return ~0ull;
  };
  auto bit = [](int sig) { return 1ull << (sig - 1); };

  // SIGCHLD ignored: the agent's status comes back, on both roads, and the
  // agent gets SIGCHLD back while SIGQUIT stays ignored.
  shipAgent();
  RunResult shipped = runProgram(launched(true, {dir_ + "/installer", "quiet", "3"}),
                                 environment("x"), dir_);
  EXPECT_EQ(3, shipped.exitCode) << shipped.err;
  EXPECT_EQ("The install agent exited with status 3.\n", shipped.err);
  RunResult seen = runProgram(launched(true, {dir_ + "/installer", "signals"}), environment("x"),
                              dir_);
  EXPECT_EQ(0, seen.exitCode) << seen.err;
  EXPECT_EQ(0u, mask(seen.out, "SigIgn:") & bit(SIGCHLD)) << seen.out;
  EXPECT_NE(0u, mask(seen.out, "SigIgn:") & bit(SIGQUIT)) << seen.out;
  fs::remove(dir_ + "/InstallAgent.zip");
  TestServer server(agentZip_, {"--etag", "\"c\""});
  for (const char* road : {"download", "cache hit"}) {
    RunResult r = runProgram(launched(true, {dir_ + "/installer", "quiet", "0"}),
                             environment(server.url()), dir_);
    EXPECT_EQ(0, r.exitCode) << road << ": " << r.err;
    EXPECT_EQ(std::string::npos, r.err.find("Failed")) << road << ": " << r.err;
  }
  EXPECT_TRUE(listDir(tmp_).empty());

  // The three blocked: SIGTERM still cancels a download, and the agent
  // starts with nothing blocked.
  RunResult unblocked = runProgram(launched(false, {dir_ + "/installer", "signals"}),
                                   environment(server.url()), dir_);
  EXPECT_EQ(0, unblocked.exitCode) << unblocked.err;
  EXPECT_EQ(0u, mask(unblocked.out, "SigBlk:")) << unblocked.out;
  fs::remove_all(cacheDir());
  TestServer slow(agentZip_, {"--rate", "1", "--etag", "\"s\""});
  Child child(launched(false, {dir_ + "/installer", "quiet", "0"}), environment(slow.url()), dir_);
  for (int i = 0; i < 1000 && slow.stats().requests == 0; ++i)
    usleep(10 * 1000);
  usleep(200 * 1000);
  kill(child.pid(), SIGTERM);
  RunResult cancelled = child.wait(10);
  EXPECT_EQ(255, cancelled.exitCode) << cancelled.err;
  EXPECT_FALSE(pathExists(cachedScript()));
  EXPECT_TRUE(listDir(tmp_).empty());
}

// Output that goes away: writes fail, the run goes on, ends with its own
// status and leaves nothing. Before, SIGPIPE ended it with 141.
TEST_F(JobControl, OutputThatGoesAwayChangesNeitherStatusNorCleanUp) {
  shipAgent();
  RunResult shipped =
      runProgram({"bash", "-c", "./installer quiet 3 2>&1 | true; echo ${PIPESTATUS[0]}"},
                 environment("x"), dir_);
  EXPECT_EQ("3\n", shipped.out) << shipped.err;
  EXPECT_TRUE(listDir(tmp_).empty());

  fs::remove(dir_ + "/InstallAgent.zip");
  std::string padded = scratch_ / "padded";
  fs::create_directories(padded);
  fs::copy_file(kJobs + "/agent/install", padded + "/install");
  std::string noise(600 << 10, '\0');
  std::mt19937 rng(7);
  for (char& c : noise)
    c = static_cast<char>(rng());
  writeFile(padded + "/padding", noise);
  makeZip(scratch_ / "padded.zip", padded);
  TestServer server(scratch_ / "padded.zip", {"--rate", "2000000", "--etag", "\"p\""});
  RunResult downloaded =
      runProgram({"bash", "-c", "./installer quiet 0 2>&1 | head -1; echo ${PIPESTATUS[0]}"},
                 environment(server.url()), dir_);
  EXPECT_EQ("0", lines(downloaded.out).back()) << downloaded.out << downloaded.err;
  EXPECT_TRUE(listDir(tmp_).empty());
  EXPECT_TRUE(pathExists(cachedScript()));
}

// At a process limit as another user (root has none): one clear failure,
// 255, nothing left; never a crash.
TEST_F(JobControl, ProcessLimitIsOneClearFailure) {
  const std::string uid = "64917";  // a user of its own: the limit counts its processes
  chmod(scratch_.path().c_str(), 0755);
  for (const std::string& dir : {tmp_, home_})
    ASSERT_EQ(0, chown(dir.c_str(), 64917, 64917));
  TestServer server(agentZip_, {"--etag", "\"n\""});
  auto runLimited = [&](const std::string& nproc) {
    std::vector<std::string> argv = {"setpriv", "--reuid=" + uid, "--regid=" + uid,
                                     "--clear-groups", "prlimit", "--nproc=" + nproc,
                                     dir_ + "/installer", "quiet", "0"};
    EnvChanges env = environment(server.url());
    // The leak checker of a sanitizer build needs a process of its own.
    if (const char* asan = getenv("ASAN_OPTIONS"))
      env["ASAN_OPTIONS"] = std::string(asan) + ":detect_leaks=0";
    return runProgram(argv, env, dir_, 30);
  };
  // The download is unpacked without a process of its own, but the agent
  // cannot be started; nor, from the cache, the next time.
  for (int run = 0; run < 2; ++run) {
    RunResult limited = runLimited("1");
    EXPECT_EQ(255, limited.exitCode) << limited.err;
    const std::string tail = "Failed to start the instal agent\nInstallation failed.\n";
    EXPECT_EQ(tail, limited.err.substr(limited.err.size() - std::min(limited.err.size(), tail.size())))
        << limited.err;
    EXPECT_TRUE(pathExists(cachedScript()));
  }
  EXPECT_TRUE(listDir(tmp_).empty());
}

}  // namespace
