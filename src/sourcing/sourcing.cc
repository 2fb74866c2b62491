// Where the install agent comes from, in order of preference:
//   1. "InstallAgent.zip" beside the executable, or else the first
//      "InstallAgent_*.zip" there, unpacked into the run's working directory
//      on every run;
//   2. the per-user cache, $HOME/.orvant/app_installer_cache/<release>/
//      <platform>/installagent/, which the download road fills and keeps
//      current. Its ".validatestring" lies one level up, beside it.
//
// The cache is trusted with what the installer runs, so on a shared machine
// none of it may be another user's: without HOME the home directory is the
// password database's (never a shared place such as /tmp), and every
// directory from ".orvant" down must be a directory of this user that no
// one else may write, looked at without following links. The script itself
// must be a regular file, not a link to somewhere an agent never put it.
// Those directories are also the user's alone to read (0700): made so
// whatever the umask, and mended so when an earlier run, an older version
// or the user left them readable by others (or, under a umask such as
// 0277, without the user's own write permission).
//
// A build with keys also wants the vendor's signature of every archive
// before unpacking it: beside a shipped one here, and on the download road
// in the download controller. Either way the bytes unpacked are the bytes
// checked: a descriptor of a file that only this run can write.
#include "sourcing/sourcing.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "download/download_handoff.h"
#include "payload/payload.h"
#include "platform/system_log.h"
#include "driver/constants.h"
#include "platform/location.h"
#include "platform/shell.h"
#include "platform/test_hold.h"
#include "platform/translation.h"
#include "signature/verification.h"
#include "sourcing/unzip_agent.h"

namespace {

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// Where a download is stored until it is unpacked. Not the shipped name,
// nor one like it: a download left beside the installer (test mode works
// there) must never pass for a shipped agent on a later run.
const char kDownloadName[] = "InstallAgent.download.zip";

const char kNoScript[] = N_("The install agent archive has no install script at its top.");

// Why `path` cannot be the agent's script, or "" when it can. A directory
// would run nothing and pass for success; a link may lead anywhere.
std::string scriptProblem(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0)
    return tr(kNoScript);
  if (S_ISLNK(st.st_mode))
    return fill(tr("The install agent's install script is a symbolic link; it is not run: {1}"),
                {path});
  if (!S_ISREG(st.st_mode))
    return tr(kNoScript);
  return "";
}

// Why the directory `path` cannot be trusted, or "" when it can: it must be
// a directory of this user (not a link to one) that no one else may write.
std::string untrustedDirReason(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0)
    return strerror(errno);
  if (S_ISLNK(st.st_mode))
    return tr("it is a symbolic link");
  if (!S_ISDIR(st.st_mode))
    return tr("it is not a directory");
  if (st.st_uid != geteuid())
    return tr("it belongs to another user");
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
    return tr("other users may write to it");
  return "";
}

// Makes the cache directory `path`, already found trustworthy, 0700; "" or
// why it cannot be used. A directory only readable by others works as it
// is where the file system refuses the change; one the user may not write
// into does not.
std::string makePrivate(const std::string& path, mode_t mode) {
  if ((mode & 07777) == 0700)
    return "";
  if (fchmodat(AT_FDCWD, path.c_str(), 0700, AT_SYMLINK_NOFOLLOW) == 0)
    return "";
  if ((mode & S_IRWXU) == S_IRWXU)
    return "";
  return fill(tr("cannot make it writable for its owner: {1}"), {strerror(errno)});
}

bool hasPrefixAndSuffix(const std::string& name, const std::string& prefix,
                        const std::string& suffix) {
  return name.size() >= prefix.size() + suffix.size() &&
         name.compare(0, prefix.size(), prefix) == 0 &&
         name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

void reportUnpackingFailed(const std::string& why, ErrorCallback report) {
  RealSystemLog().write(why);
  report(tr("Failed to unzip the install agent"), true);
  report(tr("Failed to initialize the install agent."), true);
}

// An unnamed file in `dir`, gone with its last descriptor; -1 on failure.
int openUnnamedFile(const std::string& dir) {
  int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd != -1 || (errno != EOPNOTSUPP && errno != EISDIR))
    return fd;
  // A file system without O_TMPFILE: a fresh name, unlinked at once.
  std::string name = joinPath(dir, "agent-copy-XXXXXX");
  std::vector<char> path(name.begin(), name.end());
  path.push_back('\0');
  fd = mkostemp(path.data(), O_CLOEXEC);
  if (fd != -1)
    unlink(path.data());
  return fd;
}

// The shipped archive, open for unpacking; -1 after a report. A build with
// keys starts only an archive that its vendor signed (the signature lies
// beside it, as `archive`.sig). The archive lies where others may be able
// to write, so it is copied into the working directory, which is ours
// alone, as it is hashed, and the copy is what is unpacked: rewritten
// meanwhile, the vendor's file changes nothing that starts. A single-file
// installer's agent already is such a copy.
int openShippedArchive(const std::string& archive, const std::string& workDir,
                       ErrorCallback report) {
  int fd = openAgentArchive(archive, true);
  if (fd == -1) {
    reportUnpackingFailed("Cannot open the install agent archive " + archive + ": " +
                              strerror(errno),
                          report);
    return -1;
  }
  if (!agentSignaturesRequired())
    return fd;
  bool ownCopy = resourcesArePrivate();
  int copy = ownCopy ? -1 : openUnnamedFile(workDir);
  if (!ownCopy && copy == -1) {
    std::string why = "Cannot copy the install agent archive into " + workDir + ": " +
                      strerror(errno);
    close(fd);
    reportUnpackingFailed(why, report);
    return -1;
  }
  bool copyFailed = false;
  std::string problem = verifyAgentSignature(fd, copy, archive, archive + ".sig", &copyFailed);
  if (!ownCopy) {
    close(fd);
    fd = copy;
  }
  if (problem.empty()) {
    holdForTests("checked");
    return fd;
  }
  close(fd);
  if (copyFailed) {
    reportUnpackingFailed(problem, report);
    return -1;
  }
  RealSystemLog().write(problem);
  report(tr(kSignatureNotValidText), true);
  report(tr("Failed to initialize the install agent."), true);
  return -1;
}

}  // namespace

std::string getDefaultInstallAgentLocation() {
  std::string resourceDir = getBundleLocation();
  if (resourceDir.empty())
    return "";
  return joinPath(resourceDir, installAgentZipName);
}

std::string findAlternativeInstallAgent(const std::string& resourceDir) {
  DIR* listing = opendir(resourceDir.c_str());
  if (listing == nullptr)
    return "";
  std::string found;
  while (struct dirent* entry = readdir(listing)) {
    if (hasPrefixAndSuffix(entry->d_name, "InstallAgent_", ".zip")) {
      found = joinPath(resourceDir, entry->d_name);
      break;
    }
  }
  closedir(listing);
  return found;
}

std::string getInstallAgentCacheDir() {
  const char* home = getenv("HOME");
  std::string dir = home != nullptr ? home : "";
  if (dir.empty()) {
    // cron, services and `env -i` give no HOME. A shared directory in its
    // place would let any local user plant the agent that this run starts.
    struct passwd* entry = getpwuid(geteuid());
    if (entry == nullptr || entry->pw_dir == nullptr || *entry->pw_dir == '\0')
      return "";
    dir = entry->pw_dir;
  }
  if (dir.back() != '/')
    dir += '/';
  return dir + installAgentCacheRelPath;
}

bool prepareInstallAgentCache(std::string* error) {
  std::string cacheDir = getInstallAgentCacheDir();
  if (cacheDir.empty()) {
    *error = fill(tr("Cannot use the install agent cache: no home directory for user {1}"),
                  {std::to_string(geteuid())});
    return false;
  }
  std::string home = cacheDir.substr(0, cacheDir.size() - installAgentCacheRelPath.size());
  mkpath(home, 0700);  // a missing home is made, as it always was
  std::string rel = installAgentCacheRelPath + installAgentDirName;
  for (size_t end = rel.find('/');; end = rel.find('/', end + 1)) {
    std::string dir = home + rel.substr(0, end);
    bool isAgentDir = end == std::string::npos;
    struct stat st;
    // What keeps a directory from being made is the reason to give, not
    // the "No such file or directory" that looking at it again would say.
    if (lstat(dir.c_str(), &st) != 0 && errno == ENOENT && mkdir(dir.c_str(), 0700) != 0 &&
        errno != EEXIST) {
      *error = fill(tr("Cannot use the install agent cache: {1}: {2}"), {dir, strerror(errno)});
      return false;
    }
    // Whatever else stands at the agent directory's name, in a directory
    // that only this user may write, is no agent: it is never trusted
    // (installAgentDirOnDisk) and the next unpacking replaces it.
    bool found = lstat(dir.c_str(), &st) == 0;
    bool replaceable = isAgentDir && found && !S_ISDIR(st.st_mode);
    std::string reason = replaceable ? "" : untrustedDirReason(dir);
    if (reason.empty() && !replaceable)
      reason = makePrivate(dir, st.st_mode);
    if (!reason.empty()) {
      *error = fill(tr("Cannot use the install agent cache: {1}: {2}"), {dir, reason});
      return false;
    }
    if (isAgentDir)
      return true;
  }
}

std::string installAgentDirOnDisk() {
  std::string dir = getInstallAgentCacheDir();
  if (dir.empty())
    return "";
  dir += installAgentDirName;
  if (!untrustedDirReason(dir).empty() || !scriptProblem(getInstallAgentExecutable(dir)).empty())
    return "";
  return dir + fileSeparator;
}

std::string downloadedAgentArchive(const std::string& workDir) {
  return joinPath(workDir, kDownloadName);
}

std::string getInstallAgentExecutable(std::string agentDir) {
  if (!agentDir.empty() && agentDir.back() != '/')
    agentDir += '/';
  return agentDir + "install";
}

std::string sourceInstallAgent(std::string workDir, ErrorCallback report) {
  // 1. A shipped archive wins; the default name before any other. A
  //    single file's agent, left inside it, is one.
  bool packed = payloadAgentToUnpack();
  std::string archive = getDefaultInstallAgentLocation();
  if (!packed && !exists(archive))
    archive = findAlternativeInstallAgent(directoryOf(archive));

  if (!packed && archive.empty()) {
    // 2. Otherwise the cache, kept current by the download road; only once
    //    it is certain that nobody else controls it. The road unpacks what
    //    it downloads into the cache itself.
    std::string error;
    if (!prepareInstallAgentCache(&error)) {
      report(error, true);
      return "";
    }
    std::string download = downloadedAgentArchive(workDir);
    bool downloaded = downloadInstallAgentFromQZ(download.c_str(), report);
    unlink(download.c_str());
    if (!downloaded)
      return "";
    std::string cached = installAgentDirOnDisk();
    if (cached.empty()) {
      // Unpacked, yet no agent that may run: say why, where it can be said.
      std::string script =
          getInstallAgentExecutable(getInstallAgentCacheDir() + installAgentDirName);
      std::string problem = scriptProblem(script);
      if (!problem.empty())
        report(problem, true);
      report(tr("Failed to initialize the install agent."), true);
      return "";
    }
    return getInstallAgentExecutable(cached);
  }

  // 3. Unpack the shipped archive into the working directory, and make sure
  //    it really was an agent: a script that is not there would only fail
  //    later, and less clearly, in the shell.
  bool unpacked = false;
  if (packed) {
    int result = unpackPayloadAgent(workDir, report);
    if (result > 0) {
      report(initializationFailureText(result), true);
      return "";
    }
    unpacked = result == 0;
  } else {
    int fd = openShippedArchive(archive, workDir, report);
    if (fd == -1)
      return "";
    unpacked = unzipInstallAgent(fd, workDir, report);
    close(fd);
  }
  if (!unpacked) {
    report(tr("Failed to initialize the install agent."), true);
    return "";
  }
  std::string executable = getInstallAgentExecutable(workDir);
  std::string problem = scriptProblem(executable);
  if (!problem.empty()) {
    report(problem, true);
    report(tr("Failed to initialize the install agent."), true);
    return "";
  }
  return executable;
}
