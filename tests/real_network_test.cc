// The download road as networks and servers really behave: servers that
// send the body at once, answer If-None-Match and Range or not, fail for a
// while, or cut a body short; and the user leaving during the wait to retry.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/inotify.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "driver/constants.h"
#include "installer_test.h"
#include "test_server.h"

namespace fs = std::filesystem;

namespace {

const std::string kPtyRun = TEST_FIXTURES_DIR "/reliability/pty_run.py";

// Names made in a directory (created or moved in) while this watches it.
class CreationWatch {
 public:
  explicit CreationWatch(const std::string& dir) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    inotify_add_watch(fd_, dir.c_str(), IN_CREATE | IN_MOVED_TO);
  }
  ~CreationWatch() { close(fd_); }
  std::vector<std::string> names() {
    std::vector<std::string> found;
    alignas(struct inotify_event) char buffer[64 * 1024];
    ssize_t n;
    while ((n = read(fd_, buffer, sizeof buffer)) > 0) {
      for (char* at = buffer; at < buffer + n;) {
        auto* event = reinterpret_cast<struct inotify_event*>(at);
        if (event->len > 0)
          found.push_back(event->name);
        at += sizeof *event + event->len;
      }
    }
    return found;
  }

 private:
  int fd_;
};

double secondsSince(const struct timespec& start) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec - start.tv_sec) +
         static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

class RealNetwork : public InstallerTest {
 protected:
  // In test mode the download is written beside the installer, where a
  // watch sees every file the run makes.
  RunResult runHere(const std::string& url, const std::string& binary = "installer") {
    return run(url, {}, {{"__QZ_BOOTSTRAP_INSTALLER_UNITTEST__", "1"}}, binary);
  }
};

}  // namespace

// Against servers that send headers and body at once, a run that finds its
// agent current writes no byte of the body: with If-None-Match answered
// (304, with or without an ETag) the server sends none either.
TEST_F(RealNetwork, CacheHitWritesNoBodyAndAConditionalServerSendsNone) {
  std::string agent = makeAgentArchive("agent.zip", 8 << 20);
  std::string served = scratch_ / "served";
  fs::create_directories(served);
  fs::copy_file(agent, served + "/agent.zip");
  TestServer plain(TestServer::Plain{served});
  TestServer ignoring(agent, {"--etag", "\"e1\""});
  TestServer conditional(agent, {"--etag", "\"e1\"", "--conditional"});
  TestServer bare304(agent, {"--etag", "\"e1\"", "--conditional", "--not-modified-without-etag"});
  struct Case {
    const char* what;
    const TestServer* server;
    std::string url;
  };
  for (const Case& c : std::vector<Case>{{"plain", &plain, plain.url("/agent.zip")},
                                         {"ignores If-None-Match", &ignoring, ignoring.url()},
                                         {"304", &conditional, conditional.url()},
                                         {"304 without ETag", &bare304, bare304.url()}}) {
    SCOPED_TRACE(c.what);
    fs::remove_all(home_);
    ASSERT_EQ(0, runHere(c.url).exitCode);  // fills the cache
    long sentBefore = c.server->stats().bodyBytesSent;
    fs::remove(record_ + "/argv");
    CreationWatch watch(dir_);
    RunResult hit = runHere(c.url);
    ASSERT_EQ(0, hit.exitCode) << hit.err;
    EXPECT_EQ("", hit.err);
    EXPECT_EQ(cachedScript(), agentScript());
    EXPECT_EQ(std::vector<std::string>{}, watch.names());
    long sent = c.server->stats().bodyBytesSent - sentBefore;
    printf("[network] cache hit, %s: the server sent %ld body bytes\n", c.what, sent);
    if (c.server == &conditional || c.server == &bare304) {
      EXPECT_EQ(0, sent);
    }
  }
}

// A body cut at half is resumed: every byte is sent once.
TEST_F(RealNetwork, CutBodyIsResumedAndEachByteSentOnce) {
  std::string agent = makeAgentArchive("agent.zip", 4 << 20);
  TestServer server(agent, {"--etag", "\"r\"", "--ranges", "--plan", "cut:50%"});
  RunResult r = run(server.url());
  ASSERT_EQ(0, r.exitCode) << r.err;
  EXPECT_TRUE(agentRan());
  EXPECT_EQ(static_cast<long>(fs::file_size(agent)), server.stats().bodyBytesSent);
  EXPECT_NE(std::string::npos, r.err.find("Connection lost. Retrying in 1 s (attempt 2 of 5)\n"))
      << r.err;
  EXPECT_TRUE(listDir(tmp_).empty());
}

// The shipped build's own waits: about 1 s, then 2 s, each ±25 %.
TEST_F(RealNetwork, BusyServerIsRetriedOnTheShippedScheduleAndPermanentFailuresAreNot) {
  fs::copy_file(INSTALLER_SHIPPED_BINARY, dir_ + "/installer_shipped");
  std::string agent = makeAgentArchive("agent.zip");
  {
    TestServer busy(agent, {"--etag", "\"b\"", "--plan", "503,503"});
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    RunResult r = run(busy.url(), {}, {}, "installer_shipped");
    double took = secondsSince(start);
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_TRUE(agentRan());
    EXPECT_EQ(3, busy.stats().requests);
    EXPECT_GE(took, 0.75 + 1.5);
    std::set<int> attempts;
    for (const std::string& line : lines(r.err)) {
      int seconds = 0, attempt = 0, end = 0;
      if (sscanf(line.c_str(),
                 "The server answered HTTP status 503. Retrying in %d s (attempt %d of 5)%n",
                 &seconds, &attempt, &end) == 2 &&
          static_cast<size_t>(end) == line.size() && seconds >= 1 && seconds <= 3)
        attempts.insert(attempt);
    }
    EXPECT_EQ((std::set<int>{2, 3}), attempts) << r.err;
  }
  TestServer gone(agent, {"--status", "410"});
  RunResult r = run(gone.url(), {}, {}, "installer_shipped");
  EXPECT_EQ(255, r.exitCode);
  EXPECT_EQ(std::string(kDownloadFailedText) + "The server answered HTTP status 410 for " +
                gone.url() + "\nInstallation failed.\n",
            r.err);
  EXPECT_EQ(1, gone.stats().requests);
}

// Ctrl-C during the wait to retry ends the run at once; the body kept for
// resuming goes with it.
TEST_F(RealNetwork, InterruptDuringTheWaitToRetryCancels) {
  std::string agent = makeAgentArchive("agent.zip", 1 << 20);
  TestServer server(agent, {"--etag", "\"w\"", "--ranges", "--plan", "cut:50%,503",
                            "--retry-after", "30"});
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  RunResult r = runProgram({"python3", kPtyRun, "--when-output", "Retrying in 30 s", "--send",
                            "\\x03", "--timeout", "40", "--", dir_ + "/installer"},
                           environment(server.url()));
  EXPECT_LT(secondsSince(start), 20);
  EXPECT_EQ(255, r.exitCode) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("Installation failed.")) << r.out;
  EXPECT_FALSE(agentRan());
  EXPECT_TRUE(listDir(tmp_).empty());
  EXPECT_EQ(2, server.stats().requests);
}

// On a terminal the line gives the percentage, sizes, speed and time left.
TEST_F(RealNetwork, TerminalLineShowsSizesSpeedAndTimeLeft) {
  std::string agent = makeAgentArchive("agent.zip", 2 << 20);
  TestServer server(agent, {"--etag", "\"t\"", "--rate", "1000000"});
  RunResult r = runProgram({"python3", kPtyRun, "--timeout", "30", "--", dir_ + "/installer"},
                           environment(server.url()));
  ASSERT_EQ(0, r.exitCode) << r.out;
  // One redraw of the line, after the bar: "Downloading  42%  0.8 MiB of
  // 2.0 MiB  1000.0 KiB/s  2 s left".
  bool shown = false;
  for (size_t at = r.out.find("Downloading"); at != std::string::npos && !shown;
       at = r.out.find("Downloading", at + 1)) {
    std::string line = r.out.substr(at, r.out.find_first_of("\r\n", at) - at);
    int percent = 0, left = 0, end = 0;
    double received = 0, speed = 0;
    char unit[8] = "", speedUnit[8] = "";
    shown = sscanf(line.c_str(), "Downloading %d%%  %lf %3s of 2.0 MiB  %lf %5s  %d s left%n",
                   &percent, &received, unit, &speed, speedUnit, &left, &end) == 6 &&
            static_cast<size_t>(end) == line.size() && line.find("%  ") != std::string::npos &&
            (std::string(speedUnit) == "KiB/s" || std::string(speedUnit) == "MiB/s");
  }
  EXPECT_TRUE(shown) << r.out;
}
