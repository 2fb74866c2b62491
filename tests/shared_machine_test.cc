// The installer on a machine it shares: another local user who plants a
// cache first, files that are not what their names say, agents with
// read-only directories run by a user whom permissions bind, a TMPDIR that
// is gone, and installers in odd places (a very long path, no /proc).
//
// A second user is `nobody` (uid 65534), by way of setpriv; private mount
// namespaces (unshare -m) stand in for /root, /tmp and /proc where a test
// must not touch the real ones.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "driver/constants.h"
#include "installer_test.h"
#include "platform/location.h"
#include "platform/shell.h"
#include "test_server.h"
#include "test_util.h"

namespace fs = std::filesystem;

namespace {

const uid_t kNobody = 65534;
const std::vector<std::string> kAsNobody = {"setpriv", "--reuid=65534", "--regid=65534",
                                            "--clear-groups", "--inh-caps=-all"};
const char kRefused[] = "Installation failed.\n";

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class SharedMachine : public InstallerTest {
 protected:
  void SetUp() override {
    InstallerTest::SetUp();
    // The scratch directory is root's and 0700: open it up far enough for
    // the second user, who gets a HOME, a TMPDIR and a record of its own.
    ASSERT_EQ(0, chmod(scratch_.path().c_str(), 0755));
  }

  // `argv` run as the second user.
  static std::vector<std::string> asNobody(const std::vector<std::string>& argv) {
    std::vector<std::string> all = kAsNobody;
    all.insert(all.end(), argv.begin(), argv.end());
    return all;
  }

  // A script that leaves `marker` behind if anything ever runs it.
  std::string plantedScript(const std::string& marker) const {
    return "echo planted > '" + marker + "'\n";
  }

  // The recording agent, plus a directory "ro" of mode 0555 holding a file
  // (and, when `bundleMember`, a member named bundle.zip), zipped as `name`.
  std::string agentWithReadOnlyDir(const std::string& name, bool bundleMember = false) {
    std::string src = scratch_ / (name + "-src");
    mkpath(src + "/ro/deeper", 0755);
    fs::copy_file(TEST_FIXTURES_DIR "/recording_agent/install", src + "/install");
    writeFile(src + "/ro/deeper/file", name);
    if (bundleMember)
      writeFile(src + "/bundle.zip", "not the vendor's bundle");
    chmod((src + "/ro/deeper").c_str(), 0555);
    chmod((src + "/ro").c_str(), 0555);
    std::string archive = scratch_ / name;
    makeZip(archive, src);
    return archive;
  }

  // An archive whose "install" is a symbolic link to `target`.
  std::string agentThatIsALink(const std::string& target) {
    std::string src = scratch_ / "link-src";
    mkpath(src, 0755);
    symlink(target.c_str(), (src + "/install").c_str());
    std::string archive = scratch_ / "link.zip";
    runProgram({"zip", "-q", "-y", "-X", "-r", archive, "."}, {}, src);
    return archive;
  }

  // A run of the installer by the second user, in this world.
  RunResult runAsNobody(const std::string& url) const {
    return runProgram(asNobody({dir_ + "/installer"}), environment(url));
  }

  // `script` run by sh in a mount namespace of its own, with `args` as $1...
  RunResult inOwnMountNamespace(const std::string& script, const std::vector<std::string>& args,
                                const EnvChanges& env) const {
    std::vector<std::string> argv = {"unshare", "-m", "sh", "-c", script, "sh"};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv, env);
  }
};

}  // namespace

// Fault (mended): without HOME the cache lay under /tmp/.orvant, where any
// local user could plant an agent and the server's ETag first; the next run
// as root started it. Root's /root and /tmp are stood in for by scratch
// directories in a mount namespace.
TEST_F(SharedMachine, ACacheThatAnotherUserPlantedIsNeverRun) {
  TestServer server(makeAgentArchive("agent.zip"), {"--etag", "\"v1\""});
  // A user whom the password database does not know has no cache at all.
  EnvChanges noHome = environment(server.url());
  noHome["HOME"] = std::nullopt;
  RunResult unknown = runProgram({"setpriv", "--reuid=12345", "--regid=12345", "--clear-groups",
                                  "--inh-caps=-all", dir_ + "/installer"},
                                 noHome);
  EXPECT_EQ(255, unknown.exitCode);
  EXPECT_EQ(std::string("Cannot use the install agent cache: no home directory for user 12345\n") +
                kRefused,
            unknown.err);

  std::string rootHome = scratch_ / "root home", sharedTmp = scratch_ / "shared tmp";
  ASSERT_EQ(0, mkpath(rootHome + "/record", 0700));
  ASSERT_EQ(0, mkpath(sharedTmp, 0700));
  ASSERT_EQ(0, chmod(sharedTmp.c_str(), 01777));
  useInstallerDir(rootHome + "/inst");
  std::string planted = installAgentCacheRelPath + installAgentDirName;
  RunResult plant =
      runProgram(asNobody({"sh", "-c",
                           "mkdir -p \"$1/$2\" && printf '%s' \"$3\" > \"$1/$2/install\" && "
                           "printf '%s' '\"v1\"' > \"$1/$2/../.validatestring\"",
                           "sh", sharedTmp, planted, plantedScript("/tmp/planted ran")}));
  ASSERT_EQ(0, plant.exitCode) << plant.err;

  // As from cron: no HOME, hardly anything else.
  RunResult r = inOwnMountNamespace(
      "mount --bind \"$1\" /root && mount --bind \"$2\" /tmp && "
      "exec env -i PATH=/usr/bin:/bin AGENT_RECORD_DIR=/root/record ARGV_ECHO=\"$3\" "
      "QZ_INTERNAL_INSTALL_AGENT_URL=\"$4\" /root/inst/installer",
      {rootHome, sharedTmp, ARGV_ECHO_BINARY, server.url()}, {});
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_FALSE(pathExists(sharedTmp + "/planted ran"));
  EXPECT_EQ("/root/" + planted + "/install", readFile(rootHome + "/record/script"));
  EXPECT_EQ(0700, fileMode(rootHome + "/.orvant"));

  // A HOME of one's own, with a cache directory that someone else made or
  // may write: refused before anything is asked of the server.
  std::string foreign = scratch_ / "foreign home", writable = scratch_ / "writable home";
  for (const std::string& home : {foreign, writable}) {
    ASSERT_EQ(0, mkpath(home + "/" + planted, 0700));
    writeFile(home + "/" + planted + "/install", plantedScript(scratch_ / "planted ran"));
    writeFile(home + "/" + installAgentCacheRelPath + validationStringFileName, "\"v1\"");
  }
  ASSERT_EQ(0, chown((foreign + "/.orvant").c_str(), kNobody, kNobody));
  ASSERT_EQ(0, chmod((writable + "/" + planted).c_str(), 0777));
  const std::vector<std::pair<std::string, std::string>> refusals = {
      {foreign, foreign + "/.orvant: it belongs to another user"},
      {writable, writable + "/" + planted + ": other users may write to it"}};
  for (const auto& [home, reason] : refusals) {
    RunResult refused = run(server.url(), {}, {{"HOME", home}});
    EXPECT_EQ(255, refused.exitCode) << refused.err;
    EXPECT_EQ("Cannot use the install agent cache: " + reason + "\n" + kRefused, refused.err);
  }
  EXPECT_FALSE(pathExists(scratch_ / "planted ran"));
  EXPECT_EQ(1, server.stats().requests);
}

// Fault (mended): a .validatestring that was a FIFO blocked the run for
// good, one that linked to /dev/zero was read without end, and an "install"
// that was a link to a file elsewhere was run on both roads.
TEST_F(SharedMachine, FilesThatAreNotWhatTheySeem) {
  TestServer server(makeAgentArchive("agent.zip"), {"--etag", "\"v1\""});
  RunResult first = run(server.url());
  ASSERT_EQ(0, first.exitCode) << first.err;
  std::string validation = cacheDir() + validationStringFileName;
  for (int kind = 0; kind < 2; ++kind) {
    unlink(validation.c_str());
    if (kind == 0)
      ASSERT_EQ(0, mkfifo(validation.c_str(), 0600));
    else
      ASSERT_EQ(0, symlink("/dev/zero", validation.c_str()));
    // Bounded: a run that blocks is killed, and fails the test.
    std::vector<std::string> argv = {dir_ + "/installer"};
    RunResult r = runProgram(argv, environment(server.url()), "", 20);
    EXPECT_EQ(0, r.exitCode) << (kind == 0 ? "FIFO: " : "link: ") << r.err;
  }
  EXPECT_EQ(3, server.stats().completedBodies);  // neither one passed for the ETag

  // A cached "install" that links elsewhere is no agent, however current.
  std::string outside = scratch_ / "outside.sh";
  writeFile(outside, plantedScript(scratch_ / "planted ran"));
  unlink(cachedScript().c_str());
  ASSERT_EQ(0, symlink(outside.c_str(), cachedScript().c_str()));
  RunResult cached = run(server.url());
  EXPECT_EQ(0, cached.exitCode) << cached.err;
  EXPECT_EQ(cachedScript(), agentScript());
  EXPECT_EQ(4, server.stats().completedBodies);

  // Archives whose "install" is such a link, shipped and downloaded.
  std::string linked = agentThatIsALink(outside);
  const std::string refusal =
      "The install agent's install script is a symbolic link; it is not run: ";
  fs::copy_file(linked, dir_ + "/InstallAgent.zip");
  RunResult shipped = run(server.url());
  EXPECT_EQ(255, shipped.exitCode);
  EXPECT_EQ(0u, shipped.err.find(refusal)) << shipped.err;
  EXPECT_TRUE(
      endsWith(shipped.err, "Failed to initialize the install agent.\nInstallation failed.\n"))
      << shipped.err;
  fs::remove(dir_ + "/InstallAgent.zip");
  TestServer linkServer(linked, {"--etag", "\"link\""});
  RunResult downloaded = run(linkServer.url());
  EXPECT_EQ(255, downloaded.exitCode);
  EXPECT_NE(std::string::npos, downloaded.err.find(refusal + cachedScript())) << downloaded.err;
  EXPECT_FALSE(pathExists(scratch_ / "planted ran"));

  // A FIFO at the lock's name locks as a file does, without waiting.
  std::string lock = cacheDir() + ".lock";
  unlink(lock.c_str());
  ASSERT_EQ(0, mkfifo(lock.c_str(), 0600));
  RunResult locked = runProgram({dir_ + "/installer"}, environment(server.url()), "", 20);
  EXPECT_EQ(0, locked.exitCode) << locked.err;
}

// Fault (mended): directories of mode 0555 in an agent could not be emptied
// by a user whom permissions bind, so every shipped run left its qzXXXXXX
// behind and every update of the cache an installagent.discard-*.
TEST_F(SharedMachine, ReadOnlyDirectoriesInAnAgentLeaveNothingBehind) {
  for (const std::string& dir : {home_, tmp_, record_})
    ASSERT_EQ(0, chown(dir.c_str(), kNobody, kNobody));
  fs::copy_file(agentWithReadOnlyDir("shipped.zip"), dir_ + "/InstallAgent.zip");
  RunResult shipped = runAsNobody("http://127.0.0.1:1/none");
  ASSERT_EQ(0, shipped.exitCode) << shipped.err;
  EXPECT_EQ(tmp_ + "/qz", agentScript().substr(0, tmp_.size() + 3));
  EXPECT_TRUE(listDir(tmp_).empty());
  fs::remove(dir_ + "/InstallAgent.zip");

  TestServer a(agentWithReadOnlyDir("a.zip"), {"--etag", "\"a\""});
  TestServer b(agentWithReadOnlyDir("b.zip"), {"--etag", "\"b\""});
  for (const TestServer* server : {&a, &b, &a}) {  // a download and two updates
    RunResult r = runAsNobody(server->url());
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ(cachedScript(), agentScript());
  }
  EXPECT_EQ("a.zip", readFile(cacheDir() + installAgentDirName + "/ro/deeper/file"));
  EXPECT_EQ((std::vector<std::string>{".lock", validationStringFileName, installAgentDirName}),
            listDir(cacheDir()));
  EXPECT_TRUE(listDir(tmp_).empty());
}

// Fault (mended): one run under umask 0277 left ".orvant" at 0500, and
// every later run failed with ".../app_installer_cache: No such file or
// directory"; a lock file left read-only would have failed them as well,
// and cache directories found at 0755 stayed readable by everyone.
TEST_F(SharedMachine, AHostileUmaskLeavesACacheThatLaterRunsUse) {
  for (const std::string& dir : {home_, tmp_, record_})
    ASSERT_EQ(0, chown(dir.c_str(), kNobody, kNobody));
  auto runUnder = [this](const std::string& mask, const std::string& url) {
    return runProgram(asNobody({"sh", "-c", "umask " + mask + " && exec \"$0\"",
                                dir_ + "/installer"}),
                      environment(url));
  };
  auto cacheDirs = [this] {
    std::vector<std::string> dirs;
    std::string dir = home_;
    for (const std::string& part :
         {std::string(".orvant"), std::string("app_installer_cache"), releaseTag, platformTag,
          installAgentDirName}) {
      dir += "/" + part;
      dirs.push_back(dir);
    }
    return dirs;
  };
  TestServer v1(makeAgentArchive("v1.zip"), {"--etag", "\"v1\""});
  RunResult hostile = runUnder("0277", v1.url());
  ASSERT_EQ(0, hostile.exitCode) << hostile.err;
  EXPECT_EQ(cachedScript(), agentScript());
  EXPECT_EQ("0277\n", readFile(record_ + "/umask"));  // the user's, for the agent
  for (const std::string& dir : cacheDirs())
    EXPECT_EQ(0700, fileMode(dir)) << dir;

  // What an older version left: ".orvant" at 0500, directories readable
  // by all, a read-only lock file.
  std::vector<std::string> dirs = cacheDirs();
  ASSERT_EQ(0, chmod(dirs[1].c_str(), 0755));
  ASSERT_EQ(0, chmod(dirs[4].c_str(), 0755));
  ASSERT_EQ(0, chmod(dirs[0].c_str(), 0500));
  ASSERT_EQ(0, chmod((cacheDir() + ".lock").c_str(), 0400));
  TestServer v2(makeAgentArchive("v2.zip", 100), {"--etag", "\"v2\"", "--conditional"});
  for (int i = 0; i < 2; ++i) {  // an update, then a cache hit
    fs::remove(record_ + "/script");
    fs::remove(record_ + "/umask");
    RunResult later = runUnder("022", v2.url());
    ASSERT_EQ(0, later.exitCode) << later.err;
    EXPECT_EQ(cachedScript(), agentScript());
  }
  EXPECT_EQ(1, v2.stats().completedBodies);
  for (const std::string& dir : cacheDirs())
    EXPECT_EQ(0700, fileMode(dir)) << dir;

  // Where no cache can be made, the reason why.
  fs::remove_all(dirs[0]);
  ASSERT_EQ(0, chown(home_.c_str(), 0, 0));
  RunResult refused = runUnder("022", v2.url());
  EXPECT_EQ(255, refused.exitCode);
  EXPECT_EQ("Cannot use the install agent cache: " + dirs[0] + ": Permission denied\n" + kRefused,
            refused.err);
}

// Fault (mended): without a usable TMPDIR the shipped agent was unpacked
// into the installer's own directory, where unzip -o overwrote the vendor's
// bundle.zip with an agent's member of that name.
TEST_F(SharedMachine, UnusableTmpdirNeverTouchesTheInstallerDirectory) {
  fs::copy_file(agentWithReadOnlyDir("agent.zip", true), dir_ + "/InstallAgent.zip");
  const std::string bundle = readFile(dir_ + "/bundle.zip");
  const std::vector<std::string> before = listDir(dir_);
  std::string missing = scratch_ / "missing";
  RunResult r = run("http://127.0.0.1:1/none", {}, {{"TMPDIR", missing}});
  ASSERT_EQ(0, r.exitCode) << r.err;
  EXPECT_EQ("/tmp/qz", agentScript().substr(0, 7));
  EXPECT_EQ(dir_ + "/bundle.zip", agentArgv().at(1));
  EXPECT_EQ(bundle, readFile(dir_ + "/bundle.zip"));
  EXPECT_EQ(before, listDir(dir_));
  EXPECT_FALSE(pathExists(directoryOf(agentScript())));

  // /tmp read-only as well: a clear failure, and still nothing beside the
  // installer.
  fs::remove(record_ + "/script");
  EnvChanges env = environment("http://127.0.0.1:1/none");
  env["TMPDIR"] = missing;
  RunResult none =
      inOwnMountNamespace("mount --bind /tmp /tmp && mount -o remount,bind,ro /tmp && exec \"$1\"",
                          {dir_ + "/installer"}, env);
  EXPECT_EQ(255, none.exitCode) << none.err;
  EXPECT_EQ("No temporary directory could be made in " + missing + " or /tmp.\n" + kRefused,
            none.err);
  EXPECT_FALSE(pathExists(record_ + "/script"));
  EXPECT_EQ(bundle, readFile(dir_ + "/bundle.zip"));
  EXPECT_EQ(before, listDir(dir_));
}

// Fault (mended): the executable's path was read into 1,024 bytes, so an
// installer deeper than that took an ancestor for its directory (and that
// ancestor's agent and bundle); without /proc the shipped road failed; an
// installer in "/" ignored its agent.
TEST_F(SharedMachine, WhereTheInstallerLives) {
  std::string deep = scratch_.path();
  while (deep.size() < 1300) deep += "/" + std::string(200, 'd');
  // The directory that a path cut at 1,023 bytes would name, with a decoy.
  std::string ancestor = directoryOf((deep + "/installer").substr(0, 1023));
  useInstallerDir(deep);
  std::string agent = makeAgentArchive("agent.zip");
  fs::copy_file(agent, deep + "/InstallAgent.zip");
  writeFile(ancestor + "/bundle.zip", "decoy");
  ASSERT_EQ(0, mkpath(scratch_ / "decoy", 0755));
  writeFile(scratch_ / "decoy/install", "echo decoy; exit 9\n");
  makeZip(ancestor + "/InstallAgent.zip", scratch_ / "decoy");

  RunResult r = run("http://127.0.0.1:1/none");
  ASSERT_EQ(0, r.exitCode) << r.err;
  EXPECT_EQ(deep + "/bundle.zip", agentArgv().at(1));

  // A sanitizer's runtime reads /proc itself, so only a plain build can run
  // without it.
  if (getenv("ASAN_OPTIONS") == nullptr) {
    fs::remove(record_ + "/argv");
    RunResult noProc =
        inOwnMountNamespace("mount -t tmpfs none /proc && exec \"$1\"", {deep + "/installer"},
                            environment("http://127.0.0.1:1/none"));
    ASSERT_EQ(0, noProc.exitCode) << noProc.err;
    EXPECT_EQ(deep + "/bundle.zip", agentArgv().at(1));
  }

  // "COPY installer /" in a container image: a root of its own, sharing the
  // system's files, this world and the recording agent's helper.
  std::string root = scratch_ / "root";
  useInstallerDir(root);
  fs::copy_file(agent, root + "/InstallAgent.zip");
  for (const char* dir : {"usr", "etc", "dev", "proc", "tmp"})
    ASSERT_EQ(0, mkpath(root + "/" + dir, 0755));
  for (const char* link : {"bin", "lib", "lib64", "sbin"})
    fs::create_directory_symlink(std::string("usr/") + link, root + "/" + link);
  fs::remove(record_ + "/argv");
  RunResult inRoot = inOwnMountNamespace(
      "r=$1; shift; for d in tmp usr etc dev proc; do mount --rbind /$d \"$r/$d\" || exit 99; "
      "done; "
      "for d; do mkdir -p \"$r$d\" && mount --bind \"$d\" \"$r$d\" || exit 99; done; "
      "exec chroot \"$r\" /installer",
      {root, scratch_.path(), directoryOf(ARGV_ECHO_BINARY)},
      environment("http://127.0.0.1:1/none"));
  ASSERT_EQ(0, inRoot.exitCode) << inRoot.err;
  EXPECT_EQ("/bundle.zip", agentArgv().at(1));
}
