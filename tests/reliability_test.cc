// Reliability: the real installer attacked the way the world attacks it.
// Runs killed at every point of the download road, two runs at once,
// archives that climb out of their directory, hostile paths and a full disk,
// a server that lies, stalls or redirects, and signals in every phase. Each
// case ends in the failure texts and 255, or in a whole agent, and leaves
// nothing half-written that a later run could trust.
//
// The fixtures live in tests/fixtures/reliability: a checking agent that
// verifies every file of itself against a manifest, an archive maker and a
// pseudo-terminal runner. The installer builds of the tests can be held at
// points of the unpacking (src/platform/test_hold.h), where a test kills
// them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "driver/constants.h"
#include "installer_test.h"
#include "platform/shell.h"
#include "test_server.h"
#include "test_util.h"

namespace fs = std::filesystem;

namespace {

const std::string kFixtures = TEST_FIXTURES_DIR "/reliability";
const char kShippedUnzipFailed[] =
    "Failed to unzip the install agent\nFailed to initialize the install agent.\n"
    "Installation failed.\n";
const char kDownloadedUnzipFailed[] =
    "Failed to unzip the install agent\nFailed to unzip the installer.\nInstallation failed.\n";
const char kNoInstallScript[] =
    "The install agent archive has no install script at its top.\n"
    "Failed to initialize the install agent.\nInstallation failed.\n";
const char kWaiting[] = "Waiting for another installation to finish";

// What the tests did, for docs/RELIABILITY.md: printed after the run.
struct Tally {
  int faults = 0;     // failures injected: kills, signals, server faults, full disks
  int badInputs = 0;  // hostile archives, URLs, ETags, paths and cache entries
  int killed = 0;     // installer runs ended with SIGKILL
  int lost = 0;       // checks that found a file lost, half-written or misplaced
};

Tally& tally() {
  static Tally counts;
  return counts;
}

class TallyReport : public ::testing::Environment {
 public:
  void TearDown() override {
    const Tally& t = tally();
    if (t.faults + t.badInputs + t.killed + t.lost == 0)
      return;
    printf(
        "[reliability] faults injected: %d, bad inputs tried: %d, runs killed: %d, "
        "files lost or half-written: %d\n",
        t.faults, t.badInputs, t.killed, t.lost);
  }
};

[[maybe_unused]] ::testing::Environment* const kTallyReport =
    ::testing::AddGlobalTestEnvironment(new TallyReport);

// A check of what a run left on disk; a failure counts as a file lost,
// half-written or misplaced.
#define EXPECT_KEPT(condition)                                                   \
  for (bool kept_ = (condition); !kept_ && (++tally().lost, true); kept_ = true) \
  ADD_FAILURE() << "lost, half-written or misplaced: " #condition " "

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

int count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++n;
  return n;
}

void sleepMs(int ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&pause, nullptr);
}

// Polls `condition` every 10 ms for at most `ms`; true once it holds.
bool waitFor(const std::function<bool()>& condition, int ms = 20000) {
  for (int waited = 0; waited <= ms; waited += 10) {
    if (condition())
      return true;
    sleepMs(10);
  }
  return false;
}

// Gone, or a zombie nobody has reaped yet.
bool processGone(pid_t pid) {
  if (kill(pid, 0) != 0)
    return true;
  std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  size_t paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'Z';
}

// Ends the process group of `pid`: what a SIGKILLed installer leaves
// running, since its commands have groups of their own. Never this
// process's own group.
void killGroupOf(pid_t pid) {
  pid_t group = getpgid(pid);
  if (group > 1 && group != getpgrp())
    kill(-group, SIGKILL);
  kill(pid, SIGKILL);
  waitFor([pid] { return processGone(pid); }, 5000);
}

// True once `file` holds a whole line: what a process outside this one
// writes may be seen half done.
bool waitForLine(const std::string& file, int ms = 5000) {
  return waitFor(
      [&] {
        std::string text = readFile(file);
        return !text.empty() && text.back() == '\n';
      },
      ms);
}

// Regular files and links below `dir`, as paths relative to it.
std::set<std::string> filesUnder(const std::string& dir) {
  std::set<std::string> files;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(dir, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (!it->is_directory(error) || it->is_symlink(error))
      files.insert(fs::relative(it->path(), dir).string());
  }
  return files;
}

// Everything named "evil*" below `dir`: what a hostile archive tried to
// plant.
std::vector<std::string> evilUnder(const std::string& dir) {
  std::vector<std::string> found;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(dir, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (it->path().filename().string().compare(0, 4, "evil") == 0)
      found.push_back(it->path().string());
  }
  return found;
}

std::set<std::string> membersOf(const std::string& archive) {
  RunResult listing = runProgram({"unzip", "-Z1", archive});
  std::set<std::string> members;
  for (const std::string& name : lines(listing.out)) {
    if (!name.empty() && name.back() != '/')
      members.insert(name);
  }
  return members;
}

// A file system mounted for one test, gone with it.
class Mount {
 public:
  Mount(const std::string& source, const std::string& target, const char* type, unsigned long flags,
        const std::string& options)
      : target_(target) {
    mkpath(target, 0755);
    mounted_ = mount(source.c_str(), target.c_str(), type, flags,
                     options.empty() ? nullptr : options.c_str()) == 0;
  }
  ~Mount() {
    if (mounted_)
      umount2(target_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  bool remountReadOnly() {
    return mount(nullptr, target_.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
  }

 private:
  std::string target_;
  bool mounted_ = false;
};

class Reliability : public InstallerTest {
 protected:
  void SetUp() override {
    InstallerTest::SetUp();
    fs::copy_file(INSTALLER_SHORT_IDLE_BINARY, dir_ + "/installer_short_idle");
  }

  // The checking agent, version `version`, zipped once per test.
  std::string agentArchive(const std::string& version, int files = 200, int big = 64 << 10,
                           bool compressible = false) {
    std::string archive = scratch_ / ("agent-" + version + ".zip");
    if (!pathExists(archive)) {
      std::vector<std::string> argv = {"python3",
                                       kFixtures + "/make_archive.py",
                                       "agent",
                                       archive,
                                       version,
                                       "--files",
                                       std::to_string(files),
                                       "--big",
                                       std::to_string(big)};
      if (compressible)
        argv.push_back("--compressible");
      RunResult made = runProgram(argv);
      EXPECT_EQ(0, made.exitCode) << made.err;
    }
    return archive;
  }

  std::string hostileArchive(const std::string& kind, const std::string& outside, int n = 0) {
    std::string archive = scratch_ / ("hostile-" + kind + ".zip");
    RunResult made = runProgram({"python3", kFixtures + "/make_archive.py", "hostile", kind,
                                 archive, outside, "--count", std::to_string(n)});
    EXPECT_EQ(0, made.exitCode) << made.err;
    ++tally().badInputs;
    return archive;
  }

  EnvChanges env(const std::string& url, const EnvChanges& extra = {}) const {
    EnvChanges all = environment(url);
    for (const auto& [name, value] : extra)
      all[name] = value;
    return all;
  }

  // The run held at `point` of its unpacking, its pid in `pidFile`.
  EnvChanges holdAt(const std::string& point, const std::string& pidFile) const {
    return {{"INSTALLER_TEST_HOLD", point}, {"INSTALLER_TEST_HOLD_PID", pidFile}};
  }

  std::unique_ptr<Child> start(const std::string& url, const EnvChanges& extra = {},
                               const std::string& binary = "installer",
                               const std::string& cwd = "") const {
    return std::make_unique<Child>(std::vector<std::string>{dir_ + "/" + binary}, env(url, extra),
                                   cwd);
  }

  std::string agentDir() const { return cacheDir() + installAgentDirName; }
  std::vector<std::string> runs() const { return lines(readFile(record_ + "/runs")); }
  std::string lastRun() const {
    std::vector<std::string> all = runs();
    return all.empty() ? "" : all.back();
  }
  // The cache holds nothing but its lock, its validation string and an agent
  // directory: no staging or discarded agent survives a run that unpacked.
  bool cacheIsTidy() const {
    for (const std::string& name : listDir(cacheDir())) {
      if (name != ".lock" && name != validationStringFileName && name != installAgentDirName)
        return false;
    }
    return true;
  }
  // The cache's agent is either absent or exactly one of `archives`.
  bool cachedAgentIsWholeOrAbsent(const std::vector<std::string>& archives) const {
    if (!pathExists(cachedScript()))
      return true;
    std::set<std::string> cached = filesUnder(agentDir());
    for (const std::string& archive : archives) {
      if (cached == membersOf(archive))
        return true;
    }
    return false;
  }

  // A run that must fail: `tail` closes its messages, 255, no agent started.
  // The download's failure text and its reason, which starts with `reason`.
  void expectDownloadFailure(const RunResult& r, const std::string& reason,
                             const std::string& what) {
    std::string shown = downloadFailureReason(r.err);
    EXPECT_TRUE(!shown.empty() && shown.find(reason) == 0) << what << ": " << r.err;
    expectFailure(r, "Installation failed.\n", what);
  }
  void expectFailure(const RunResult& r, const std::string& tail, const std::string& what) {
    EXPECT_EQ(255, r.exitCode) << what << ": " << r.err;
    EXPECT_TRUE(endsWith(r.err, tail)) << what << ": " << r.err;
    EXPECT_FALSE(pathExists(record_ + "/runs")) << what;
    EXPECT_FALSE(pathExists(record_ + "/hostile")) << what;
  }

  std::mt19937 rng_{20261207};
};

// ---------------------------------------------------------------------------
// A whole agent or none: SIGKILL at every point of the download road.

class ReliabilityKill : public Reliability {
 protected:
  enum class Point { Transfer, BeforeUnpacking, PartlyUnpacked, Unpacking, Unpacked, AgentRuns };

  // Kills a run at `point` `rounds` times, alternating between two servers
  // with different agents and ETags, so that every killed run has a stale
  // cache to replace. After each kill the cache must hold a whole agent or
  // none, and a normal run must start a whole agent, the current one.
  void killRounds(Point point, int rounds) {
    const std::vector<std::string> archives = {agentArchive("A", 200, 48 << 10),
                                               agentArchive("B", 200, 48 << 10)};
    const std::vector<std::string> versions = {"A", "B"};
    const std::vector<std::string> etags = {"\"a\"", "\"b\""};
    std::vector<std::unique_ptr<TestServer>> servers;
    for (int i = 0; i < 2; ++i) {
      std::vector<std::string> args = {"--etag", etags[i]};
      if (point == Point::Transfer)
        args.insert(args.end(), {"--rate", "250000"});
      servers.push_back(std::make_unique<TestServer>(archives[i], args));
    }
    // Entries written before the hold: the archive holds 206.
    const std::vector<int> parts = {1, 2, 20, 150, 205};
    int cacheHits = 0;
    for (int round = 0; round < rounds; ++round) {
      const int which = round % 2;
      const TestServer& server = *servers[which];
      std::string pidFile = scratch_ / ("held-" + std::to_string(round) + ".pid");
      std::string started = scratch_ / ("started-" + std::to_string(round));

      EnvChanges extra;
      switch (point) {
        case Point::Transfer:
          break;
        case Point::BeforeUnpacking:
          extra = holdAt("before", pidFile);
          break;
        case Point::PartlyUnpacked:
          extra = holdAt("entries:" + std::to_string(parts[round % parts.size()]), pidFile);
          break;
        case Point::Unpacking:
          extra = holdAt("start", pidFile);  // marked, not held
          break;
        case Point::Unpacked:
          extra = holdAt("unpacked", pidFile);
          break;
        case Point::AgentRuns:
          extra = {{"AGENT_HOLD", "30"}, {"AGENT_STARTED", started}};
          break;
      }
      long sentBefore = server.stats().bodyBytesSent;
      std::unique_ptr<Child> victim = start(server.url(), extra);

      // Wait for the point, then a little more, never the same.
      bool reached = false;
      int jitter = 0;
      long threshold = 0;
      switch (point) {
        case Point::Transfer: {
          long size = static_cast<long>(fs::file_size(archives[which]));
          threshold =
              sentBefore + std::uniform_int_distribution<long>(size / 20, size * 9 / 10)(rng_);
          reached = waitFor([&] { return server.stats().bodyBytesSent >= threshold; });
          break;
        }
        case Point::Unpacking:
          reached = waitFor([&] { return pathExists(pidFile); });
          jitter = std::uniform_int_distribution<int>(0, 30)(rng_);
          break;
        case Point::AgentRuns:
          reached = waitFor([&] { return pathExists(started); });
          break;
        default:
          reached = waitFor([&] { return pathExists(pidFile + ".holding"); });
          jitter = std::uniform_int_distribution<int>(0, 60)(rng_);
          break;
      }
      ASSERT_TRUE(reached) << "round " << round << ": " << victim->errSoFar();
      sleepMs(jitter);
      ASSERT_EQ(0, kill(victim->pid(), SIGKILL));
      RunResult killed = victim->wait(10);
      if (point == Point::Unpacking && killed.exitCode == 0) {
        // The unpacking was faster than the jitter: the run had finished.
        printf("[reliability] round %d finished before the kill\n", round);
      } else {
        EXPECT_EQ(128 + SIGKILL, killed.exitCode) << killed.err;
        ++tally().killed;
        ++tally().faults;
      }
      if (point == Point::AgentRuns) {
        std::vector<std::string> log = lines(readFile(record_ + "/log"));
        ASSERT_FALSE(log.empty());
        ASSERT_EQ(0, log.back().compare(0, 6, "start ")) << log.back();
        killGroupOf(static_cast<pid_t>(atol(log.back().c_str() + 6)));
      }
      // The point is what it claims to be; and no string vouches for an
      // agent that is not whole on disk yet.
      if (point == Point::BeforeUnpacking) {
        EXPECT_FALSE(pathExists(cacheDir() + validationStringFileName));
        EXPECT_FALSE(pathExists(cachedScript()));
      }
      const std::string where = "round " + std::to_string(round) + " (bytes " +
                                std::to_string(threshold) + ", jitter " + std::to_string(jitter) +
                                " ms)";
      EXPECT_KEPT(cachedAgentIsWholeOrAbsent(archives)) << where;

      struct stat before = {};
      bool hadAgent = pathExists(cachedScript()) && stat(agentDir().c_str(), &before) == 0;
      RunResult next = run(server.url());
      ASSERT_EQ(0, next.exitCode) << where << ": " << next.err;
      EXPECT_KEPT(lastRun().find(" " + versions[which] + " whole whole") != std::string::npos)
          << where << ": " << lastRun();
      EXPECT_KEPT(filesUnder(agentDir()) == membersOf(archives[which])) << where;
      EXPECT_KEPT(cacheIsTidy()) << where;
      EXPECT_EQ(etags[which], readFile(cacheDir() + validationStringFileName)) << where;
      struct stat after = {};
      if (hadAgent && stat(agentDir().c_str(), &after) == 0 && after.st_ino == before.st_ino)
        ++cacheHits;
    }
    printf("[reliability] after %d kills: %d runs started the cached agent, %d downloaded again\n",
           rounds, cacheHits, rounds - cacheHits);
  }
};

TEST_F(ReliabilityKill, MidTransfer) { killRounds(Point::Transfer, 5); }

TEST_F(ReliabilityKill, BeforeUnpackingNoValidationStringStands) {
  killRounds(Point::BeforeUnpacking, 4);
}

TEST_F(ReliabilityKill, WithTheAgentPartlyUnpacked) { killRounds(Point::PartlyUnpacked, 5); }

TEST_F(ReliabilityKill, WhileTheRealUnzipWrites) { killRounds(Point::Unpacking, 5); }

TEST_F(ReliabilityKill, UnpackedButNotYetInPlace) { killRounds(Point::Unpacked, 4); }

TEST_F(ReliabilityKill, WhileTheAgentRunsTheNextRunUsesTheCache) {
  killRounds(Point::AgentRuns, 3);
}

// ---------------------------------------------------------------------------
// One installation at a time.

class ReliabilityLock : public Reliability {
 protected:
  struct Span {
    long long start = 0, end = 0;
  };
  // The agents' runs from their log: pid -> start and end.
  std::map<std::string, Span> agentSpans() const {
    std::map<std::string, Span> spans;
    for (const std::string& line : lines(readFile(record_ + "/log"))) {
      std::vector<std::string> words;
      size_t from = 0;
      for (size_t blank; (blank = line.find(' ', from)) != std::string::npos; from = blank + 1)
        words.push_back(line.substr(from, blank - from));
      words.push_back(line.substr(from));
      if (words.size() != 3)
        continue;
      (words[0] == "start" ? spans[words[1]].start : spans[words[1]].end) = atoll(words[2].c_str());
    }
    return spans;
  }

  // Starts two runs at once, with one HOME and their own TMPDIRs; returns
  // the index of the one that waited.
  int twoAtOnce(const TestServer& first, const TestServer& second) {
    std::string tmpA = scratch_ / "tmp a", tmpB = scratch_ / "tmp b";
    mkpath(tmpA, 0700);
    mkpath(tmpB, 0700);
    // Each agent looks at its files again after a pause: the other run must
    // not have replaced them meanwhile.
    std::unique_ptr<Child> a = start(first.url(), {{"TMPDIR", tmpA}, {"AGENT_HOLD", "0.7"}});
    std::unique_ptr<Child> b = start(second.url(), {{"TMPDIR", tmpB}, {"AGENT_HOLD", "0.7"}});
    RunResult ra = a->wait(60), rb = b->wait(60);
    EXPECT_EQ(0, ra.exitCode) << ra.err;
    EXPECT_EQ(0, rb.exitCode) << rb.err;
    EXPECT_EQ(1, count(ra.err, kWaiting) + count(rb.err, kWaiting)) << ra.err << "--\n" << rb.err;
    std::vector<std::string> all = runs();
    EXPECT_EQ(2u, all.size());
    for (const std::string& line : all)
      EXPECT_KEPT(line.find(" whole whole") != std::string::npos) << line;
    std::map<std::string, Span> spans = agentSpans();
    EXPECT_EQ(2u, spans.size());
    if (spans.size() == 2) {
      Span one = spans.begin()->second, two = std::next(spans.begin())->second;
      EXPECT_TRUE(one.end < two.start || two.end < one.start) << "the agents overlapped";
    }
    EXPECT_KEPT(listDir(tmpA).empty());
    EXPECT_KEPT(listDir(tmpB).empty());
    return count(ra.err, kWaiting) > 0 ? 0 : 1;
  }
};

TEST_F(ReliabilityLock, TwoRunsAtOnceTheSecondWaitsThenUsesTheCache) {
  TestServer server(agentArchive("A", 100, 200 << 10), {"--etag", "\"same\"", "--rate", "300000"});
  twoAtOnce(server, server);
  ++tally().faults;
  EXPECT_EQ(1, server.stats().completedBodies);  // the waiting run found the agent current
  EXPECT_KEPT(filesUnder(agentDir()) == membersOf(agentArchive("A")));
}

TEST_F(ReliabilityLock, TwoRunsAtOnceWithDifferentAgentsNeitherLosesItsAgent) {
  TestServer a(agentArchive("A", 100, 200 << 10), {"--etag", "\"a\"", "--rate", "300000"});
  TestServer b(agentArchive("B", 100, 200 << 10), {"--etag", "\"b\"", "--rate", "300000"});
  int waiter = twoAtOnce(a, b);
  ++tally().faults;
  // The run that waited replaced the agent only after the other had ended.
  std::string last = waiter == 0 ? "A" : "B";
  EXPECT_KEPT(filesUnder(agentDir()) == membersOf(agentArchive(last)));
  EXPECT_NE(std::string::npos, lastRun().find(" " + last + " whole whole")) << lastRun();
}

TEST_F(ReliabilityLock, TheWaitingRunCanBeCancelledBySignals) {
  // The holder's transfer stalls long enough for three runs to queue behind
  // it and be cancelled one by one; then it completes.
  TestServer holderServer(agentArchive("A"),
                          {"--etag", "\"h\"", "--stall-after", "1000", "--stall", "4"});
  std::unique_ptr<Child> holder = start(holderServer.url());
  ASSERT_TRUE(waitFor([&] { return holderServer.stats().requests >= 1; }));
  TestServer other(agentArchive("B"), {"--etag", "\"o\""});
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    std::string tmpW = scratch_ / ("tmp waiting " + std::to_string(sig));
    mkpath(tmpW, 0700);
    std::unique_ptr<Child> waiting = start(other.url(), {{"TMPDIR", tmpW}});
    ASSERT_TRUE(waitFor([&] { return waiting->errSoFar().find(kWaiting) != std::string::npos; }))
        << waiting->errSoFar();
    ASSERT_EQ(0, kill(waiting->pid(), sig));
    RunResult r = waiting->wait(10);
    ++tally().faults;
    EXPECT_EQ(255, r.exitCode) << sig << ": " << r.err;
    EXPECT_TRUE(endsWith(r.err, "Installation failed.\n")) << r.err;
    EXPECT_KEPT(listDir(tmpW).empty()) << sig;
  }
  EXPECT_EQ(0, other.stats().requests);  // none of them asked the server
  RunResult held = holder->wait(30);
  EXPECT_EQ(0, held.exitCode) << held.err;
  EXPECT_NE(std::string::npos, lastRun().find(" A whole whole"));
  EXPECT_EQ(1u, runs().size());
}

TEST_F(ReliabilityLock, ALockLeftByAKilledRunBlocksNobody) {
  TestServer good(agentArchive("A"), {"--etag", "\"g\""});
  {
    // Killed mid-transfer, holding the lock.
    TestServer stalling(agentArchive("B"), {"--stall-after", "1000", "--stall", "30"});
    std::unique_ptr<Child> victim = start(stalling.url());
    ASSERT_TRUE(waitFor([&] { return stalling.stats().requests > 0; }));
    kill(victim->pid(), SIGKILL);
    victim->wait(10);
    ++tally().killed;
    ++tally().faults;
    RunResult next = run(good.url());
    EXPECT_EQ(0, next.exitCode) << next.err;
    EXPECT_EQ(std::string::npos, next.err.find(kWaiting)) << next.err;
  }
  {
    // Killed while it unpacks, holding the lock and the staging directory.
    TestServer changed(agentArchive("B"), {"--etag", "\"c\""});
    std::string pidFile = scratch_ / "held.pid";
    std::unique_ptr<Child> victim = start(changed.url(), holdAt("entries:3", pidFile));
    ASSERT_TRUE(waitFor([&] { return pathExists(pidFile + ".holding"); })) << victim->errSoFar();
    kill(victim->pid(), SIGKILL);
    victim->wait(10);
    ++tally().killed;
    ++tally().faults;
    RunResult next = run(changed.url());
    EXPECT_EQ(0, next.exitCode) << next.err;
    EXPECT_EQ(std::string::npos, next.err.find(kWaiting)) << next.err;
    EXPECT_NE(std::string::npos, lastRun().find(" B whole whole"));
    EXPECT_KEPT(cacheIsTidy());
  }
}

// ---------------------------------------------------------------------------
// Hostile archives, shipped and downloaded.

class ReliabilityHostileArchive : public Reliability {
 protected:
  enum class Road { Shipped, Downloaded };

  void SetUp() override {
    Reliability::SetUp();
    // TMPDIR deep in a jail, with a canary beside the run's directory and
    // one more above it; HOME in the jail too, with a canary in the cache.
    for (const std::string& d : {outside_, jail_ + "/a/b/tmp/canary", jail_ + "/home"})
      ASSERT_EQ(0, mkpath(d, 0700));
    tmp_ = jail_ + "/a/b/tmp";
    home_ = jail_ + "/home";
  }

  // Runs the installer on `archive` by `road`; checks that nothing landed
  // outside the target, whatever the outcome.
  RunResult runOn(const std::string& archive, Road road) {
    fs::remove(dir_ + "/InstallAgent.zip");
    fs::remove_all(cacheDir());
    fs::remove_all(record_);
    mkpath(record_, 0700);
    RunResult r;
    if (road == Road::Shipped) {
      fs::copy_file(archive, dir_ + "/InstallAgent.zip");
      r = run("http://127.0.0.1:1/none");
    } else {
      mkpath(cacheDir() + "canary", 0700);
      TestServer server(archive, {"--etag", "\"hostile\""});
      r = run(server.url());
    }
    const char* roadName = road == Road::Shipped ? "shipped" : "downloaded";
    for (const std::string& evil : evilUnder(scratch_.path())) {
      bool inside =
          road == Road::Downloaded && evil.compare(0, agentDir().size() + 1, agentDir() + "/") == 0;
      EXPECT_KEPT(inside) << roadName << ": " << evil;
    }
    EXPECT_KEPT(listDir(outside_).empty()) << roadName;
    EXPECT_KEPT(listDir(tmp_ + "/canary").empty()) << roadName;
    EXPECT_KEPT(listDir(tmp_) == std::vector<std::string>{"canary"}) << roadName;
    EXPECT_KEPT(listDir(jail_ + "/a/b") == std::vector<std::string>{"tmp"}) << roadName;
    EXPECT_KEPT(listDir(jail_ + "/a") == std::vector<std::string>{"b"}) << roadName;
    if (road == Road::Downloaded) {
      EXPECT_KEPT(listDir(cacheDir() + "canary").empty());
      fs::remove(cacheDir() + "canary");
      EXPECT_KEPT(cacheIsTidy()) << listDir(cacheDir()).size();
    }
    return r;
  }

  std::string jail_ = scratch_ / "jail";
  std::string outside_ = scratch_ / "jail/outside";
};

// Names that climb out or are absolute, and links that an entry would be
// written through, are refused before anything is written: no agent starts.
TEST_F(ReliabilityHostileArchive, DotDotAbsolutePathsAndLinksOutAreRefused) {
  for (const char* kind : {"dotdot", "absolute", "symlink-absolute", "symlink-relative"}) {
    std::string archive = hostileArchive(kind, outside_);
    expectFailure(runOn(archive, Road::Shipped), kShippedUnzipFailed, kind);
    expectFailure(runOn(archive, Road::Downloaded), kDownloadedUnzipFailed, kind);
    EXPECT_FALSE(pathExists(cachedScript())) << kind;
  }
}

// 200 central-directory records share one entry's data: refused before a
// byte is written.
TEST_F(ReliabilityHostileArchive, OverlappingEntriesAreRefused) {
  std::string archive = hostileArchive("overlap", outside_, 200);
  expectFailure(runOn(archive, Road::Shipped), kShippedUnzipFailed, "overlap");
  expectFailure(runOn(archive, Road::Downloaded), kDownloadedUnzipFailed, "overlap");
  EXPECT_KEPT(!pathExists(cachedScript()));
  EXPECT_KEPT(filesUnder(agentDir()).empty());
}

TEST_F(ReliabilityHostileArchive, TruncatedAndCorruptArchivesAreRefused) {
  for (const char* kind : {"truncated", "badcrc"}) {
    std::string archive = hostileArchive(kind, outside_);
    expectFailure(runOn(archive, Road::Shipped), kShippedUnzipFailed, kind);
    expectFailure(runOn(archive, Road::Downloaded), kDownloadedUnzipFailed, kind);
    EXPECT_KEPT(filesUnder(agentDir()).empty()) << kind;
  }
}

TEST_F(ReliabilityHostileArchive, ArchiveWithoutAnInstallScriptIsRefused) {
  std::string archive = hostileArchive("no-install", outside_);
  expectFailure(runOn(archive, Road::Shipped), kNoInstallScript, "shipped");
  expectFailure(runOn(archive, Road::Downloaded), kNoInstallScript, "downloaded");
}

// Fault: an "install" that is a directory passes for the agent's script;
// sh reads nothing from it and exits 0, so the run "succeeds" with no agent
// started. On the download road the cache keeps it as a valid agent. The
// checks are stat() calls that accept any kind of file (sourcing.cc exists(),
// used by sourceInstallAgent and installAgentDirOnDisk).
TEST_F(ReliabilityHostileArchive, InstallThatIsADirectoryIsNoAgent) {
  std::string archive = hostileArchive("install-dir", outside_);
  RunResult shipped = runOn(archive, Road::Shipped);
  EXPECT_EQ(255, shipped.exitCode);
  EXPECT_EQ(kNoInstallScript, shipped.err);
  RunResult downloaded = runOn(archive, Road::Downloaded);
  EXPECT_EQ(255, downloaded.exitCode);
  EXPECT_TRUE(endsWith(downloaded.err, kNoInstallScript)) << downloaded.err;
}

// 20000 entries take tens of seconds on a busy disk; here 5000 take the
// same road. RELIABILITY_ENTRIES sets another number, for the figures in
// docs/RELIABILITY.md.
TEST_F(ReliabilityHostileArchive, ThousandsOfEntries) {
  const char* wanted = getenv("RELIABILITY_ENTRIES");
  const int entries = wanted != nullptr && atoi(wanted) > 0 ? atoi(wanted) : 5000;
  std::string archive = hostileArchive("many", outside_, entries);
  for (Road road : {Road::Shipped, Road::Downloaded}) {
    auto begin = std::chrono::steady_clock::now();
    RunResult r = runOn(archive, road);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    printf("[reliability] %d entries, %s road: %.1f s\n", entries,
           road == Road::Shipped ? "shipped" : "download", seconds);
    EXPECT_EQ(0, r.exitCode) << r.err;
  }
  EXPECT_EQ(static_cast<size_t>(entries) + 1, filesUnder(agentDir()).size());
}

// ---------------------------------------------------------------------------
// A hostile environment.

class ReliabilityHostileEnvironment : public Reliability {};

TEST_F(ReliabilityHostileEnvironment, EveryKindOfCharacterInEveryPath) {
  // Blanks, both quotes, $, backquote, backslash, a newline, bytes that are
  // not UTF-8, and a component that starts with "-".
  const std::string hostile = "h a\"b'c$d`e\\f\ng \xff\xfe";
  home_ = scratch_ / ("-home x/" + hostile);
  tmp_ = scratch_ / ("-tmp x/" + hostile);
  ASSERT_EQ(0, mkpath(home_, 0700));
  ASSERT_EQ(0, mkpath(tmp_, 0700));
  useInstallerDir(scratch_ / ("-inst x/" + hostile));
  tally().badInputs += 3;
  std::string archive = agentArchive("A");
  TestServer server(archive, {"--etag", "\"x\""});
  // The second would hold the body back: only a cache hit gets past it.
  TestServer stalling(archive, {"--etag", "\"x\"", "--stall", "30"});
  const std::vector<std::string> args = {"-destination", hostile};
  const std::vector<std::string> expectedArgv = {"-installbundle", dir_ + "/bundle.zip",
                                                 "-destination", hostile};
  for (const TestServer* s : {&server, &stalling}) {  // a download, then the cache
    RunResult r = run(s->url(), args);
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ(expectedArgv, agentArgv());
    EXPECT_EQ(cachedScript(), agentScript());
    EXPECT_KEPT(listDir(tmp_).empty());
  }
  EXPECT_EQ(0, stalling.stats().bodyBytesSent);
  EXPECT_EQ("\"x\"", readFile(cacheDir() + validationStringFileName));

  fs::copy_file(archive, dir_ + "/InstallAgent.zip");
  RunResult shipped = run(server.url(), args);
  ASSERT_EQ(0, shipped.exitCode) << shipped.err;
  EXPECT_EQ(expectedArgv, agentArgv());
  EXPECT_EQ(tmp_ + "/qz", agentScript().substr(0, tmp_.size() + 3));
  EXPECT_EQ(3u, runs().size());
  EXPECT_KEPT(listDir(tmp_).empty());
}

// Fault (mended): a relative TMPDIR or HOME whose first component starts
// with "-" put a path starting with "-" where sh read it as options
// ("sh -tmp/qz.../install": "Illegal option -t"). No agent started, yet the
// run reported "The install agent exited with status 2." and exited 2. Such
// a path needs "./" in front of it.
TEST_F(ReliabilityHostileEnvironment, RelativePathsThatStartWithADash) {
  std::string cwd = scratch_ / "cwd";
  ASSERT_EQ(0, mkpath(cwd + "/-tmp", 0700));
  ASSERT_EQ(0, mkpath(cwd + "/-home", 0700));
  tally().badInputs += 2;
  std::string archive = agentArchive("A");
  fs::copy_file(archive, dir_ + "/InstallAgent.zip");
  std::unique_ptr<Child> shipped =
      start("http://127.0.0.1:1/none", {{"TMPDIR", "-tmp"}}, "installer", cwd);
  RunResult r = shipped->wait(30);
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_EQ(1u, runs().size());
  EXPECT_TRUE(listDir(cwd + "/-tmp").empty());

  fs::remove(dir_ + "/InstallAgent.zip");
  TestServer server(archive, {"--etag", "\"d\""});
  std::unique_ptr<Child> downloaded = start(server.url(), {{"HOME", "-home"}}, "installer", cwd);
  r = downloaded->wait(30);
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_EQ(2u, runs().size());
}

TEST_F(ReliabilityHostileEnvironment, UnusableHomeFailsWithAClearMessage) {
  TestServer server(agentArchive("A"), {"--etag", "\"u\""});
  std::string file = scratch_ / "a file";
  writeFile(file, "not a directory\n");
  // A HOME below a regular file, in /proc, and caches with a regular file
  // where a directory belongs, or a lock that cannot be opened.
  std::vector<std::pair<std::string, std::function<void(const std::string&)>>> homes = {
      {file + "/home", nullptr},
      {"/proc", nullptr},
      {scratch_ / "home orvant", [](const std::string& h) { writeFile(h + "/.orvant", "x"); }},
      {scratch_ / "home platform",
       [](const std::string& h) {
         mkpath(h + "/.orvant/app_installer_cache/" + releaseTag, 0700);
         writeFile(h + "/.orvant/app_installer_cache/" + releaseTag + "/" + platformTag, "x");
       }},
      {scratch_ / "home lock dir",
       [](const std::string& h) { mkpath(h + "/" + installAgentCacheRelPath + ".lock", 0700); }},
      {scratch_ / "home lock link",
       [&](const std::string& h) {
         mkpath(h + "/" + installAgentCacheRelPath, 0700);
         EXPECT_EQ(0,
                   symlink(file.c_str(), (h + "/" + installAgentCacheRelPath + ".lock").c_str()));
       }},
  };
  for (const auto& [home, prepare] : homes) {
    if (prepare) {
      mkpath(home, 0700);
      prepare(home);
    }
    ++tally().badInputs;
    RunResult r = run(server.url(), {}, {{"HOME", home}});
    expectFailure(r, "Installation failed.\n", home);
    EXPECT_NE(std::string::npos, r.err.find("Cannot use the install agent cache: ")) << r.err;
    EXPECT_KEPT(listDir(tmp_).empty()) << home;
  }
  EXPECT_EQ("not a directory\n", readFile(file));
  EXPECT_EQ(0, server.stats().requests);
}

TEST_F(ReliabilityHostileEnvironment, CacheEntriesOfTheWrongKindAreReplaced) {
  std::string outside = scratch_ / "outside";
  ASSERT_EQ(0, mkpath(outside, 0700));
  writeFile(outside + "/install", "echo this must not run; exit 7\n");
  TestServer a(agentArchive("A"), {"--etag", "\"a\""});
  TestServer b(agentArchive("B"), {"--etag", "\"b\""});
  mkpath(cacheDir(), 0700);

  // The agent directory as a regular file, then as a link to a directory
  // elsewhere that holds an "install" of its own.
  writeFile(agentDir(), "junk");
  ++tally().badInputs;
  RunResult r = run(a.url());
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_NE(std::string::npos, lastRun().find(" A whole whole"));

  fs::remove_all(agentDir());
  fs::create_directory_symlink(outside, agentDir());
  ++tally().badInputs;
  r = run(b.url());
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_NE(std::string::npos, lastRun().find(" B whole whole"));
  EXPECT_KEPT((listDir(outside) == std::vector<std::string>{"install"}));
  EXPECT_EQ("echo this must not run; exit 7\n", readFile(outside + "/install"));
  EXPECT_FALSE(fs::is_symlink(agentDir()));

  // The validation string as a directory: never a cache hit, always works.
  fs::remove_all(cacheDir() + validationStringFileName);
  fs::create_directory(cacheDir() + validationStringFileName);
  ++tally().badInputs;
  for (int i = 0; i < 2; ++i) {
    r = run(a.url());
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, lastRun().find(" A whole whole"));
  }
  EXPECT_EQ(3, a.stats().completedBodies);
  EXPECT_KEPT(listDir(tmp_).empty());
}

// Fault: the validation string is written through a symbolic link that
// stands in its place, replacing a file outside the cache.
// validation.cc writeValidationString opens the path with std::ofstream;
// writing a new file beside it and renaming it into place would replace the
// link instead.
TEST_F(ReliabilityHostileEnvironment, ValidationStringThatIsALinkIsNotFollowed) {
  std::string canary = scratch_ / "canary.txt";
  writeFile(canary, "canary\n");
  mkpath(cacheDir(), 0700);
  ASSERT_EQ(0, symlink(canary.c_str(), (cacheDir() + validationStringFileName).c_str()));
  ++tally().badInputs;
  TestServer server(agentArchive("A"), {"--etag", "\"l\""});
  RunResult r = run(server.url());
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_KEPT(readFile(canary) == "canary\n") << readFile(canary);
}

// Fault (mended): a run without a usable TMPDIR worked in the installer's
// directory, and its download stayed there as InstallAgent.zip: the next
// run took it for a shipped agent, and never asked the server again. Such a
// run now works in /tmp, and a download never bears a shipped agent's name.
TEST_F(ReliabilityHostileEnvironment, DownloadWithoutATemporaryDirectoryLeavesNothing) {
  TestServer a(agentArchive("A"), {"--etag", "\"a\""});
  TestServer b(agentArchive("B"), {"--etag", "\"b\""});
  std::string file = scratch_ / "a file";
  writeFile(file, "x");
  for (const std::string& tmpdir : {scratch_ / "missing", file, std::string("/proc")}) {
    ++tally().badInputs;
    RunResult r = run(a.url(), {}, {{"TMPDIR", tmpdir}});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_KEPT(!pathExists(dir_ + "/InstallAgent.zip")) << tmpdir;
    // The server has a new agent now: the next run must get it.
    r = run(b.url());
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, lastRun().find(" B whole whole")) << tmpdir;
    fs::remove(dir_ + "/InstallAgent.zip");
    fs::remove_all(cacheDir());
  }
  // Killed mid-transfer: part of an archive beside the installer, which the
  // next run, with a TMPDIR, must not take for an agent.
  TestServer slow(agentArchive("B"), {"--etag", "\"b\"", "--rate", "100000"});
  std::unique_ptr<Child> victim = start(slow.url(), {{"TMPDIR", scratch_ / "missing"}});
  ASSERT_TRUE(waitFor([&] { return slow.stats().bodyBytesSent > 10000; }));
  // Its working directory in /tmp, known by the download it holds open: the
  // killed run cannot remove it, so the test does.
  std::string leftInTmp;
  std::error_code error;
  for (const auto& fd :
       fs::directory_iterator("/proc/" + std::to_string(victim->pid()) + "/fd", error)) {
    std::string target = fs::read_symlink(fd.path(), error).string();
    if (target.compare(0, 7, "/tmp/qz") == 0)
      leftInTmp = target.substr(0, target.find('/', 5));
  }
  kill(victim->pid(), SIGKILL);
  victim->wait(10);
  EXPECT_FALSE(leftInTmp.empty());
  if (!leftInTmp.empty())
    fs::remove_all(leftInTmp, error);
  ++tally().killed;
  ++tally().faults;
  RunResult r = run(b.url());
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_KEPT(!pathExists(dir_ + "/InstallAgent.zip"));
}

TEST_F(ReliabilityHostileEnvironment, NoTemporaryDirectoryAndAReadOnlyInstallerDirectory) {
  Mount bind(dir_, dir_, nullptr, MS_BIND, "");
  if (!bind.mounted() || !bind.remountReadOnly())
    GTEST_SKIP() << "cannot bind-mount the installer directory read-only here";
  ++tally().faults;
  TestServer server(agentArchive("A"), {"--etag", "\"r\""});
  RunResult r = run(server.url(), {}, {{"TMPDIR", scratch_ / "missing"}});
  EXPECT_EQ(0, r.exitCode) << r.err;  // /tmp serves instead
  EXPECT_TRUE(pathExists(cachedScript()));
}

// The download support is loaded from a copy in memory that counts against
// the file size limit, and the executable holds it: a limit above the
// executable's size lets the run get that far.
long fileSizeLimitAboveTheExecutable() {
  return static_cast<long>(fs::file_size(INSTALLER_BINARY)) + (256 << 10);
}

TEST_F(ReliabilityHostileEnvironment, FileSizeLimitBelowTheArchiveFailsTheDownload) {
  long limit = fileSizeLimitAboveTheExecutable();
  std::string archive = agentArchive("A", 50, static_cast<int>(limit / 2 + (256 << 10)));
  ASSERT_GT(static_cast<long>(fs::file_size(archive)), limit);
  TestServer server(archive, {"--etag", "\"f\""});
  // In test mode the archive would be written beside the installer.
  RunResult r = runProgram({"prlimit", "--fsize=" + std::to_string(limit), dir_ + "/installer"},
                           env(server.url(), {{"__QZ_BOOTSTRAP_INSTALLER_UNITTEST__", "1"}}));
  ++tally().faults;
  expectDownloadFailure(r, "", "file size limit");
  EXPECT_KEPT(!pathExists(dir_ + "/InstallAgent.download.zip"));
  EXPECT_FALSE(pathExists(cachedScript()));
  EXPECT_FALSE(pathExists(cacheDir() + validationStringFileName));

  RunResult again = run(server.url());
  EXPECT_EQ(0, again.exitCode) << again.err;
  EXPECT_NE(std::string::npos, lastRun().find(" A whole whole"));
}

TEST_F(ReliabilityHostileEnvironment, FileSizeLimitBelowAnUnpackedFileFailsTheUnpacking) {
  // Files that pack small: the download fits, the unpacking does not.
  long limit = fileSizeLimitAboveTheExecutable();
  std::string archive = agentArchive("C", 10, static_cast<int>(limit + (256 << 10)), true);
  TestServer server(archive, {"--etag", "\"z\""});
  RunResult r = runProgram({"prlimit", "--fsize=" + std::to_string(limit), dir_ + "/installer"},
                           env(server.url()));
  ++tally().faults;
  expectFailure(r, kDownloadedUnzipFailed, "file size limit");
  EXPECT_KEPT(!pathExists(cachedScript()));
  EXPECT_KEPT(cacheIsTidy());
  EXPECT_KEPT(listDir(tmp_).empty());

  RunResult again = run(server.url());
  EXPECT_EQ(0, again.exitCode) << again.err;
  EXPECT_NE(std::string::npos, lastRun().find(" C whole whole"));
  EXPECT_EQ(2, server.stats().completedBodies);  // the failed one was not trusted
}

// Fault: with a file size limit below the size of the download support
// (about 1 MB), the installer dies of SIGXFSZ while it copies that support
// into memory (modules.cc loadEmbeddedModule writes it to a memfd, which
// counts against the limit, before SIGXFSZ is ignored): exit 153, no word,
// and $TMPDIR/qzXXXXXX stays behind.
TEST_F(ReliabilityHostileEnvironment, SmallFileSizeLimitFailsWithAMessage) {
  TestServer server(agentArchive("A"), {"--etag", "\"small\""});
  RunResult r = runProgram({"prlimit", "--fsize=100000", dir_ + "/installer"}, env(server.url()));
  ++tally().faults;
  expectFailure(r, "Installation failed.\n", "100 KB file size limit");
  EXPECT_KEPT(listDir(tmp_).empty());
}

TEST_F(ReliabilityHostileEnvironment, FullDiskWhileDownloadingAndWhileUnpacking) {
  std::string smallTmp = scratch_ / "small tmp";
  Mount tmpfs("tmpfs", smallTmp, "tmpfs", 0, "size=256k");
  if (!tmpfs.mounted())
    GTEST_SKIP() << "cannot mount a tmpfs here";
  std::string big = agentArchive("A", 50, 200 << 10);  // larger than 256 KiB
  TestServer server(big, {"--etag", "\"full\""});
  RunResult r = run(server.url(), {}, {{"TMPDIR", smallTmp}});
  ++tally().faults;
  expectDownloadFailure(r, "The disk is full: ", "full temporary directory");
  EXPECT_KEPT(listDir(smallTmp).empty());

  std::string smallHome = scratch_ / "small home";
  Mount homefs("tmpfs", smallHome, "tmpfs", 0, "size=600k");
  ASSERT_TRUE(homefs.mounted());
  TestServer packed(agentArchive("C", 10, 1 << 20, true), {"--etag", "\"packed\""});
  for (int i = 0; i < 2; ++i) {  // the second run must not trust the first
    // Nothing may ask whether to go on after a failed write.
    r = runProgram({"sh", "-c", "exec \"$0\" < /dev/null", dir_ + "/installer"},
                   env(packed.url(), {{"HOME", smallHome}}));
    ++tally().faults;
    expectFailure(r, kDownloadedUnzipFailed, "full home");
    home_ = smallHome;
    EXPECT_KEPT(!pathExists(cachedScript()));
    EXPECT_KEPT(cacheIsTidy());
    home_ = scratch_ / "home";
  }
  EXPECT_EQ(2, packed.stats().completedBodies);
}

// Fault (mended): a download wrote until the file system was full. With an
// announced length larger than the free space it failed only when a write
// did; without a length it took the last bytes of the temporary directory,
// and went on when they were just enough. It now fails at once in the first
// case, and in the second stops where less than 1 % of a small file system
// (64 MiB of a large one) would be left.
TEST_F(ReliabilityHostileEnvironment, DownloadsLeaveTheFileSystemRoom) {
  if (runProgram({"unshare", "-m", "true"}).exitCode != 0)
    GTEST_SKIP() << "no mount namespace of its own here";
  std::string archive = agentArchive("R", 10, 4 << 20);
  auto size = static_cast<long>(fs::file_size(archive));
  std::string smallTmp = scratch_ / "small tmp";
  ASSERT_EQ(0, mkpath(smallTmp, 0755));
  // A run with TMPDIR on a tmpfs of `bytes`, in a mount namespace of its
  // own, so that the file system goes with it; what the run left there
  // comes out on stdout.
  auto runOnTmpfs = [&](long bytes, const std::string& url) {
    return runProgram({"unshare", "-m", "sh", "-c",
                       "mount -t tmpfs -o size=$1 none \"$2\" || exit 99; \"$3\"; s=$?; "
                       "ls -A \"$2\"; exit $s",
                       "sh", std::to_string(bytes), smallTmp, dir_ + "/installer"},
                      env(url, {{"TMPDIR", smallTmp}}));
  };
  TestServer server(archive, {"--etag", "\"room\"", "--rate", "1000000"});
  RunResult r = runOnTmpfs(size / 2, server.url());
  ++tally().faults;
  expectDownloadFailure(r, "The disk is full: ", "announced length larger than the free space");
  EXPECT_KEPT(r.out.empty()) << r.out;
  EXPECT_LT(server.stats().bodyBytesSent, size / 4);  // not waited for

  // Room for the body and a little more, less than 1 % of the whole.
  long tight = size + size / 400 + (8 << 10);
  TestServer unannounced(archive, {"--etag", "\"room\"", "--no-length"});
  r = runOnTmpfs(tight, unannounced.url());
  ++tally().faults;
  expectDownloadFailure(r, "", "no length, into the last 1 %");
  EXPECT_KEPT(r.out.empty()) << r.out;
  // Announced, the same body fits.
  TestServer announced(archive, {"--etag", "\"room\""});
  RunResult fits = runOnTmpfs(tight, announced.url());
  EXPECT_EQ(0, fits.exitCode) << fits.err;
  EXPECT_TRUE(agentRan());
}

// ---------------------------------------------------------------------------
// Network faults. Test mode puts the download beside the installer, where a
// leftover would show.

class ReliabilityNetwork : public Reliability {
 protected:
  RunResult runTestMode(const std::string& url, const EnvChanges& extra = {},
                        const std::string& binary = "installer") {
    EnvChanges all = extra;
    all["__QZ_BOOTSTRAP_INSTALLER_UNITTEST__"] = "1";
    return run(url, {}, all, binary);
  }
  void expectCleanDownloadFailure(const RunResult& r, const std::string& what) {
    expectDownloadFailure(r, "", what);
    EXPECT_KEPT(!pathExists(dir_ + "/InstallAgent.download.zip")) << what;
    EXPECT_KEPT(!pathExists(cachedScript())) << what;
  }
};

TEST_F(ReliabilityNetwork, BodiesCutShortOrLongerThanAnnounced) {
  std::string archive = agentArchive("A", 50, 200 << 10);
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"closed mid-body", {"--cut-after", "5000"}},
      {"reset mid-body", {"--cut-after", "5000", "--cut-rst"}},
      {"closed right after the headers", {"--cut-after", "0"}},
      {"length larger than the body", {"--length", std::to_string(fs::file_size(archive) + 1000)}},
  };
  for (const auto& [what, args] : cases) {
    TestServer server(archive, args);
    ++tally().faults;
    expectCleanDownloadFailure(runTestMode(server.url()), what);
  }
}

// A body shorter than the archive but as long as announced, or no body at
// all, downloads "fine": the unpacking is what refuses it.
TEST_F(ReliabilityNetwork, ShortButCompleteBodiesAreRefusedByTheUnpacking) {
  std::string archive = agentArchive("A", 50, 200 << 10);
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"length smaller than the body",
       {"--etag", "\"s\"", "--length", std::to_string(fs::file_size(archive) / 2)}},
      {"204 No Content", {"--etag", "\"s\"", "--status", "204"}},
  };
  for (const auto& [what, args] : cases) {
    TestServer server(archive, args);
    ++tally().faults;
    expectFailure(run(server.url()), kDownloadedUnzipFailed, what);
    EXPECT_KEPT(listDir(tmp_).empty()) << what;
    EXPECT_KEPT(!pathExists(cachedScript())) << what;
    EXPECT_KEPT(cacheIsTidy()) << what;
  }
  // The ETag was stored with the unusable body, but no agent: the next run
  // downloads again.
  TestServer good(archive, {"--etag", "\"s\""});
  RunResult r = run(good.url());
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_EQ(1, good.stats().completedBodies);
  EXPECT_NE(std::string::npos, lastRun().find(" A whole whole"));
}

// Fault: in test mode (and in every run without a usable TMPDIR, see
// ReliabilityHostileEnvironment) a download that completed but could not be
// unpacked stays beside the installer as InstallAgent.zip; every later run
// takes it for a shipped agent and fails to unzip it.
TEST_F(ReliabilityNetwork, ShortButCompleteBodyLeavesNothingBesideTheInstaller) {
  std::string archive = agentArchive("A", 50, 200 << 10);
  TestServer server(archive, {"--length", std::to_string(fs::file_size(archive) / 2)});
  ++tally().faults;
  expectFailure(runTestMode(server.url()), kDownloadedUnzipFailed, "short body");
  EXPECT_KEPT(!pathExists(dir_ + "/InstallAgent.download.zip"));
}

TEST_F(ReliabilityNetwork, StallsInTheHeadersAndInTheBodyHitTheIdleTimeout) {
  std::string archive = agentArchive("A", 50, 200 << 10);
  TestServer headers(archive, {"--stall-headers", "30"});
  TestServer body(archive, {"--stall-after", "20000", "--stall", "30"});
  // Both at once, in their own test-mode directories: the time-outs overlap.
  std::string otherDir = scratch_ / "other installer";
  mkpath(otherDir, 0755);
  fs::copy_file(INSTALLER_SHORT_IDLE_BINARY, otherDir + "/installer_short_idle");
  EnvChanges testMode = {{"__QZ_BOOTSTRAP_INSTALLER_UNITTEST__", "1"}};
  Child first({dir_ + "/installer_short_idle"}, env(headers.url(), testMode));
  Child second({otherDir + "/installer_short_idle"}, env(body.url(), testMode));
  RunResult inHeaders = first.wait(30), inBody = second.wait(30);
  tally().faults += 2;
  expectCleanDownloadFailure(inHeaders, "stall in the headers");
  expectCleanDownloadFailure(inBody, "stall in the body");
  EXPECT_KEPT(!pathExists(otherDir + "/InstallAgent.download.zip"));
  EXPECT_GT(body.stats().bodyBytesSent, 0);
}

TEST_F(ReliabilityNetwork, RedirectLoopsAndDowngradesToHttp) {
  std::string archive = agentArchive("A");
  TestServer loop(archive, {"--redirect-loop"});
  tally().faults += 2;
  expectCleanDownloadFailure(runTestMode(loop.url()), "redirect loop");
  EXPECT_LE(loop.stats().requests, 12);

  std::string certs = makeTestCertificates(scratch_ / "certs");
  TestServer plain(archive, {"--etag", "\"plain\""});
  TestServer secure(archive, {"--tls-cert", certs + "/server.pem", "--tls-key",
                              certs + "/server.key", "--redirect-to", plain.url("/final")});
  expectCleanDownloadFailure(runTestMode(secure.url(), {{"SSL_CERT_FILE", certs + "/ca.pem"}}),
                             "https to http");
  EXPECT_EQ(1, secure.stats().requests);
  EXPECT_EQ(0, plain.stats().requests);
}

TEST_F(ReliabilityNetwork, UrlsThatAreNotHttp) {
  std::string archive = agentArchive("A");
  const std::vector<std::string> urls = {
      "",        "file://" + archive, "ftp://127.0.0.1:1/x", "not a url",
      "http://", "https://[::1",      "//127.0.0.1/x",       "HTTP ://127.0.0.1/x"};
  for (const std::string& url : urls) {
    ++tally().badInputs;
    expectCleanDownloadFailure(runTestMode(url), "URL \"" + url + "\"");
  }
}

TEST_F(ReliabilityNetwork, CertificatesThatMustNotBeTrusted) {
  std::string certs = makeTestCertificates(scratch_ / "certs");
  std::string archive = agentArchive("A");
  EnvChanges trustTheTestAuthority = {{"SSL_CERT_FILE", certs + "/ca.pem"}};
  for (const char* name : {"selfsigned", "expired", "wronghost"}) {
    TestServer server(archive, {"--tls-cert", certs + "/" + name + ".pem", "--tls-key",
                                certs + "/" + name + ".key"});
    ++tally().faults;
    expectCleanDownloadFailure(runTestMode(server.url(), trustTheTestAuthority), name);
    EXPECT_EQ(0, server.stats().requests) << name;
  }
  // The same authority does let a good certificate through.
  TestServer good(archive,
                  {"--tls-cert", certs + "/server.pem", "--tls-key", certs + "/server.key"});
  RunResult r = run(good.url(), {}, trustTheTestAuthority);
  EXPECT_EQ(0, r.exitCode) << r.err;
}

TEST_F(ReliabilityNetwork, ETagsRoundTripByteForByteAndHitTheCache) {
  std::string archive = agentArchive("A");
  std::string hundredKB = "\"" + std::string(100000 - 2, 'e') + "\"";
  for (const std::string& etag : {std::string("W/\"v 1;'x' \\\"y\\\"\""), hundredKB}) {
    ++tally().badInputs;
    std::string etagFile = scratch_ / "etag";
    writeFile(etagFile, etag);
    {
      TestServer server(archive, {"--etag-file", etagFile});
      RunResult r = run(server.url());
      ASSERT_EQ(0, r.exitCode) << r.err;
    }
    EXPECT_KEPT(readFile(cacheDir() + validationStringFileName) == etag) << etag.size();
    // A server that would hold the body back: a hit must not wait for it.
    TestServer stalling(archive, {"--etag-file", etagFile, "--stall", "30"});
    RunResult hit = run(stalling.url());
    EXPECT_EQ(0, hit.exitCode) << hit.err;
    EXPECT_EQ(0, stalling.stats().bodyBytesSent) << etag.size();
    EXPECT_NE(std::string::npos, lastRun().find(" A whole whole"));
  }
  EXPECT_KEPT(listDir(tmp_).empty());
}

// An ETag too long for the transfer library's header limit: refused, not
// cut.
TEST_F(ReliabilityNetwork, OversizedETagFailsCleanly) {
  std::string etagFile = scratch_ / "etag";
  writeFile(etagFile, "\"" + std::string(200000, 'e') + "\"");
  ++tally().badInputs;
  TestServer server(agentArchive("A"), {"--etag-file", etagFile});
  expectCleanDownloadFailure(runTestMode(server.url()), "200 KB ETag");
  EXPECT_FALSE(pathExists(cacheDir() + validationStringFileName));
}

// Fault: a download without an ETag leaves the previous download's
// .validatestring in place (writeValidationString does nothing for an empty
// value, and download.cc didFinish keeps the old file), so the cache goes on
// claiming the old ETag for the new agent: when the server answers with the
// old ETag again, the wrong agent starts without a download.
TEST_F(ReliabilityNetwork, DownloadWithoutAnETagForgetsTheOldOne) {
  std::string a = agentArchive("A"), b = agentArchive("B");
  {
    TestServer first(a, {"--etag", "\"v1\""});
    ASSERT_EQ(0, run(first.url()).exitCode);
  }
  {
    TestServer untagged(b);
    ASSERT_EQ(0, run(untagged.url()).exitCode);
    EXPECT_NE(std::string::npos, lastRun().find(" B whole whole"));
  }
  ++tally().badInputs;
  TestServer again(a, {"--etag", "\"v1\""});
  RunResult r = run(again.url());
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_KEPT(lastRun().find(" A whole whole") != std::string::npos) << lastRun();
}

// ---------------------------------------------------------------------------
// Signals in every phase.

class ReliabilitySignals : public Reliability {
 protected:
  // The run ended by `sig` before any agent: 255, its last word, no temp dir.
  void expectCancelled(const RunResult& r, int sig, const std::string& what) {
    ++tally().faults;
    EXPECT_EQ(255, r.exitCode) << what << " " << sig << ": " << r.err;
    EXPECT_TRUE(endsWith(r.err, "Installation failed.\n")) << what << " " << sig << ": " << r.err;
    EXPECT_FALSE(pathExists(record_ + "/runs")) << what;
    EXPECT_KEPT(listDir(tmp_).empty()) << what << " " << sig;
    EXPECT_KEPT(!pathExists(cachedScript())) << what << " " << sig;
  }
};

TEST_F(ReliabilitySignals, BeforeTheServerAnswers) {
  TestServer server(agentArchive("A"), {"--stall-headers", "30"});
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    long before = server.stats().requests;
    std::unique_ptr<Child> child = start(server.url());
    ASSERT_TRUE(waitFor([&] { return server.stats().requests > before; }));
    kill(child->pid(), sig);
    expectCancelled(child->wait(10), sig, "before the answer");
  }
}

TEST_F(ReliabilitySignals, MidTransferNothingIsLeftBesideTheInstaller) {
  std::string archive = agentArchive("A", 50, 300 << 10);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    TestServer server(archive, {"--rate", "200000"});
    std::unique_ptr<Child> child =
        start(server.url(), {{"__QZ_BOOTSTRAP_INSTALLER_UNITTEST__", "1"}});
    ASSERT_TRUE(waitFor([&] { return server.stats().bodyBytesSent > 20000; }));
    // Until it is whole the body has a name of its own.
    ASSERT_TRUE(
        waitFor([&] { return pathExists(dir_ + "/InstallAgent.download.zip.partial"); }));
    EXPECT_FALSE(pathExists(dir_ + "/InstallAgent.download.zip"));
    kill(child->pid(), sig);
    expectCancelled(child->wait(10), sig, "mid-transfer");
    EXPECT_KEPT(!pathExists(dir_ + "/InstallAgent.download.zip")) << sig;
    EXPECT_KEPT(!pathExists(dir_ + "/InstallAgent.download.zip.partial")) << sig;
  }
}

// A signal stops the unpacking between two pieces of data, and what was
// written goes with the staging or temporary directory.
TEST_F(ReliabilitySignals, WhileUnpackingTheRunStopsAndLeavesNothing) {
  TestServer server(agentArchive("A"), {"--etag", "\"u\""});
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    std::string pidFile = scratch_ / ("held-" + std::to_string(sig) + ".pid");
    std::unique_ptr<Child> child = start(server.url(), holdAt("entries:3", pidFile));
    ASSERT_TRUE(waitFor([&] { return pathExists(pidFile + ".holding"); })) << child->errSoFar();
    kill(child->pid(), sig);
    RunResult r = child->wait(10);
    expectCancelled(r, sig, "while unpacking");
    EXPECT_NE(std::string::npos, r.err.find("Failed to unzip the install agent\n")) << r.err;
    EXPECT_KEPT(cacheIsTidy()) << sig;
  }
  // The shipped road unpacks into the temporary directory.
  fs::copy_file(agentArchive("A"), dir_ + "/InstallAgent.zip");
  std::string pidFile = scratch_ / "shipped-held.pid";
  std::unique_ptr<Child> child = start("http://127.0.0.1:1/none", holdAt("entries:3", pidFile));
  ASSERT_TRUE(waitFor([&] { return pathExists(pidFile + ".holding"); })) << child->errSoFar();
  kill(child->pid(), SIGTERM);
  expectCancelled(child->wait(10), SIGTERM, "while unpacking a shipped agent");
}

TEST_F(ReliabilitySignals, WhileTheAgentRunsTheSignalReachesIt) {
  std::string archive = agentArchive("A");
  fs::copy_file(archive, dir_ + "/InstallAgent.zip");
  std::string started = scratch_ / "started";
  const std::vector<std::pair<int, std::string>> signals = {{SIGTERM, "TERM"}, {SIGHUP, "HUP"}};
  for (const auto& [sig, name] : signals) {
    fs::remove(started);
    fs::remove(record_ + "/signals");
    std::unique_ptr<Child> child =
        start("http://127.0.0.1:1/none", {{"AGENT_HOLD", "30"}, {"AGENT_STARTED", started}});
    ASSERT_TRUE(waitFor([&] { return pathExists(started); })) << child->errSoFar();
    kill(child->pid(), sig);
    RunResult r = child->wait(10);
    ++tally().faults;
    EXPECT_EQ(128 + sig, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("The install agent exited with status " +
                                            std::to_string(128 + sig) + ".\n"))
        << r.err;
    EXPECT_TRUE(waitForLine(record_ + "/signals"));
    EXPECT_EQ(0, readFile(record_ + "/signals").compare(0, name.size() + 1, name + " "))
        << readFile(record_ + "/signals");
    EXPECT_KEPT(listDir(tmp_).empty()) << name;
  }

  // SIGINT to the installer alone is no one's Ctrl-C: as under system(3),
  // the installer waits on and the agent is not disturbed.
  fs::remove(started);
  fs::remove(record_ + "/signals");
  {
    std::unique_ptr<Child> child =
        start("http://127.0.0.1:1/none", {{"AGENT_HOLD", "30"}, {"AGENT_STARTED", started}});
    ASSERT_TRUE(waitFor([&] { return pathExists(started); })) << child->errSoFar();
    kill(child->pid(), SIGINT);
    usleep(500 * 1000);
    EXPECT_FALSE(pathExists(record_ + "/signals"));
    EXPECT_EQ(0, kill(child->pid(), 0)) << "the installer ended on SIGINT";
    kill(child->pid(), SIGTERM);
    EXPECT_EQ(128 + SIGTERM, child->wait(10).exitCode);
  }

  // The download road: the agent runs from the cache, which stays whole,
  // and the lock goes with the run.
  fs::remove(dir_ + "/InstallAgent.zip");
  fs::remove(started);
  TestServer server(archive, {"--etag", "\"t\""});
  std::unique_ptr<Child> child =
      start(server.url(), {{"AGENT_HOLD", "30"}, {"AGENT_STARTED", started}});
  ASSERT_TRUE(waitFor([&] { return pathExists(started); })) << child->errSoFar();
  kill(child->pid(), SIGTERM);
  RunResult r = child->wait(10);
  ++tally().faults;
  EXPECT_EQ(128 + SIGTERM, r.exitCode) << r.err;
  EXPECT_KEPT(listDir(tmp_).empty());
  EXPECT_KEPT(filesUnder(agentDir()) == membersOf(archive));
  RunResult next = run(server.url());
  EXPECT_EQ(0, next.exitCode) << next.err;
  EXPECT_EQ(std::string::npos, next.err.find(kWaiting));
}

TEST_F(ReliabilitySignals, InterruptFromTheTerminalReachesTheAgent) {
  fs::copy_file(agentArchive("A"), dir_ + "/InstallAgent.zip");
  std::string started = scratch_ / "started";
  RunResult r = runProgram(
      {"python3", kFixtures + "/pty_run.py", "--when-file", started, "--send", "\\x03", "--timeout",
       "30", "--", dir_ + "/installer"},
      env("http://127.0.0.1:1/none", {{"AGENT_HOLD", "30"}, {"AGENT_STARTED", started}}));
  ++tally().faults;
  EXPECT_EQ(128 + SIGINT, r.exitCode) << r.out << r.err;
  EXPECT_NE(std::string::npos, r.out.find("The install agent exited with status 130.")) << r.out;
  EXPECT_TRUE(waitForLine(record_ + "/signals"));
  EXPECT_EQ(0, readFile(record_ + "/signals").compare(0, 4, "INT "));
  EXPECT_KEPT(listDir(tmp_).empty());
}

// Fault (mended): the agent was started as `sh -c "sh <agent>/install ..."`,
// and the outer shell (dash does not exec the last command of -c) ended at
// once on a signal: the installer removed the temporary directory and
// exited while the agent was still cleaning up in its trap, without its
// files, and whatever status it returned was lost. The agent is now the
// process the installer waits for.
TEST_F(ReliabilitySignals, TheAgentCleansUpWithItsFilesAndDecidesTheStatus) {
  fs::copy_file(agentArchive("A"), dir_ + "/InstallAgent.zip");
  std::string started = scratch_ / "started";
  EnvChanges agent = {{"AGENT_HOLD", "30"},
                      {"AGENT_STARTED", started},
                      {"AGENT_TRAP_PAUSE", "0.5"},
                      {"AGENT_SIGNAL_EXIT", "77"}};
  std::unique_ptr<Child> child = start("http://127.0.0.1:1/none", agent);
  ASSERT_TRUE(waitFor([&] { return pathExists(started); })) << child->errSoFar();
  kill(child->pid(), SIGTERM);
  RunResult r = child->wait(10);
  ++tally().faults;
  EXPECT_EQ(77, r.exitCode) << r.err;
  EXPECT_TRUE(waitForLine(record_ + "/signals"));
  EXPECT_KEPT(readFile(record_ + "/signals") == "TERM whole\n") << readFile(record_ + "/signals");

  fs::remove(started);
  fs::remove(record_ + "/signals");
  agent["AGENT_SIGNAL_EXIT"] = "42";
  r = runProgram({"python3", kFixtures + "/pty_run.py", "--when-file", started, "--send", "\\x03",
                  "--timeout", "30", "--", dir_ + "/installer"},
                 env("http://127.0.0.1:1/none", agent));
  ++tally().faults;
  EXPECT_EQ(42, r.exitCode) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("The install agent exited with status 42.")) << r.out;
  EXPECT_TRUE(waitForLine(record_ + "/signals"));
  EXPECT_KEPT(readFile(record_ + "/signals") == "INT whole\n") << readFile(record_ + "/signals");
}

TEST_F(ReliabilitySignals, InterruptFromTheTerminalWhileDownloadingCancels) {
  TestServer server(agentArchive("A", 50, 300 << 10), {"--rate", "200000"});
  RunResult r = runProgram({"python3", kFixtures + "/pty_run.py", "--when-output", "Downloading",
                            "--send", "\\x03", "--timeout", "30", "--", dir_ + "/installer"},
                           env(server.url()));
  ++tally().faults;
  EXPECT_EQ(255, r.exitCode) << r.out << r.err;
  EXPECT_TRUE(endsWith(r.out, "Installation failed.\r\n")) << r.out;
  EXPECT_KEPT(listDir(tmp_).empty());
  EXPECT_KEPT(!pathExists(cachedScript()));
}

// Fault (mended): a signal that arrived after the temporary directory was
// made but before the download loop had installed its handlers ended the
// installer by the default action, and $TMPDIR/qzXXXXXX stayed behind. The
// directory's creation is watched with inotify, so the signal lands in that
// gap every time.
TEST_F(ReliabilitySignals, SignalJustAfterTheTemporaryDirectoryIsMade) {
  TestServer server(agentArchive("A"), {"--stall-headers", "30"});
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    for (int attempt = 0; attempt < 3; ++attempt) {
      int watch = inotify_init1(IN_CLOEXEC);
      ASSERT_GE(watch, 0);
      ASSERT_GE(inotify_add_watch(watch, tmp_.c_str(), IN_CREATE), 0);
      std::unique_ptr<Child> child = start(server.url());
      struct pollfd ready = {watch, POLLIN, 0};
      ASSERT_EQ(1, poll(&ready, 1, 10000));
      kill(child->pid(), sig);
      close(watch);
      RunResult r = child->wait(10);
      ++tally().faults;
      EXPECT_EQ(255, r.exitCode) << sig << " attempt " << attempt;
      EXPECT_KEPT(listDir(tmp_).empty()) << sig << " attempt " << attempt;
      for (const std::string& left : listDir(tmp_))
        fs::remove_all(tmp_ + "/" + left);
    }
  }
}

}  // namespace
