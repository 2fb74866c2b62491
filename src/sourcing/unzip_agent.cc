// Unpacking agent archives.
//
// The cache agent directory must never hold part of an agent: a run killed
// mid-unpacking would otherwise leave an "install" that the next run trusts.
// So an archive is unpacked into a fresh "installagent.staging-XXXXXX"
// beside it, then exchanged with "installagent" in one rename, and the old
// contents deleted afterwards. A fresh directory also means that no symbolic
// link left by an earlier agent can steer a write outside the cache.
// Whatever "installagent.*" lies beside the agent is debris of a killed run
// (runs that use the cache hold its lock), and goes.
//
// The staged tree reaches the disk with one syncfs before the exchange: a
// name that stands for files the disk never got would be trusted after a
// power cut, but one flush of the file system costs far less than one per
// file, and the downloaded archive, unlinked and closed first, is dropped
// from it rather than written.
#include "sourcing/unzip_agent.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "platform/location.h"
#include "platform/shell.h"
#include "platform/system_log.h"
#include "platform/temp_dir.h"
#include "platform/test_hold.h"
#include "platform/translation.h"
#include "sourcing/zip_extract.h"

namespace {

const char kUnzipFailed[] = N_("Failed to unzip the install agent");

ExtractHooks runHooks() {
  ExtractHooks hooks;
  // A user who leaves does not wait for a large agent to be written.
  hooks.stop = [] { return signalNoted(); };
  hooks.entryWritten = [](int count) { holdForTests("entries", count); };
  return hooks;
}

bool unpackInto(int archiveFd, int dirFd, const std::string& where, ErrorCallback report) {
  std::string why = extractZip(archiveFd, dirFd, runHooks());
  if (why.empty())
    return true;
  RealSystemLog().write("Cannot unpack the install agent into " + where + ": " + why);
  report(tr(kUnzipFailed), true);
  return false;
}

// A new empty directory named `prefix` + six random characters; empty on
// failure.
std::string makeUniqueDir(const std::string& prefix) {
  std::vector<char> name(prefix.begin(), prefix.end());
  for (char x : std::string("XXXXXX"))
    name.push_back(x);
  name.push_back('\0');
  return mkdtemp(name.data()) != nullptr ? std::string(name.data()) : "";
}

void removeDebrisBeside(const std::string& agentDir) {
  std::string parent = directoryOf(agentDir);
  std::string stem = agentDir.substr(parent.size() + 1) + ".";
  DIR* listing = opendir(parent.c_str());
  if (listing == nullptr)
    return;
  std::vector<std::string> debris;
  while (struct dirent* entry = readdir(listing)) {
    std::string name = entry->d_name;
    if (name.compare(0, stem.size(), stem) == 0)
      debris.push_back(joinPath(parent, name));
  }
  closedir(listing);
  for (const std::string& path : debris)
    removeTree(path);
}

}  // namespace

int openAgentArchive(const std::string& path, bool followLinks) {
  int fd = open(path.c_str(),
                O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW));
  struct stat st;
  if (fd != -1 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    close(fd);
    return -1;
  }
  return fd;
}

bool unzipInstallAgent(int archiveFd, const std::string& destination, ErrorCallback report) {
  int dirFd = open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd == -1) {
    RealSystemLog().write("Cannot open " + destination + " to unpack the install agent");
    report(tr(kUnzipFailed), true);
    return false;
  }
  bool unpacked = unpackInto(archiveFd, dirFd, destination, report);
  close(dirFd);
  return unpacked;
}

std::string unpackAgentArchive(ZipSource* source, const std::string& destination) {
  int dirFd = open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd == -1)
    return "Cannot open " + destination + " to unpack the install agent";
  std::string why = extractZip(source, dirFd, runHooks());
  close(dirFd);
  return why.empty() ? "" : "Cannot unpack the install agent into " + destination + ": " + why;
}

void reportUnzipFailed(const std::string& why, ErrorCallback report) {
  RealSystemLog().write(why);
  report(tr(kUnzipFailed), true);
}

bool unpackAgentIntoCache(int archiveFd, std::string agentDir, ErrorCallback report,
                          const std::function<void()>& dropArchive) {
  auto drop = [&dropArchive] {
    if (dropArchive)
      dropArchive();
  };
  removeDebrisBeside(agentDir);
  std::string staging = makeUniqueDir(agentDir + ".staging-");
  int stagingFd = staging.empty() ? -1
                                  : open(staging.c_str(),
                                         O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (stagingFd == -1) {
    drop();
    if (!staging.empty())
      removeTree(staging);
    report(tr(kUnzipFailed), true);
    return false;
  }
  holdForTests("before");
  bool unpacked = unpackInto(archiveFd, stagingFd, staging, report);
  drop();
  // On disk before it takes the agent's name: after a power cut the name
  // never stands for files the disk did not get.
  if (unpacked && syncfs(stagingFd) != 0) {
    RealSystemLog().write("Cannot flush the unpacked install agent to disk: " + staging);
    report(tr(kUnzipFailed), true);
    unpacked = false;
  }
  close(stagingFd);
  if (!unpacked) {
    removeTree(staging);
    return false;
  }
  holdForTests("unpacked");
  // Swap the whole new agent in; the old one, if any, ends up at `staging`.
  // Where the file system cannot exchange, the old agent goes first: for a
  // moment there is no agent, but never part of one.
  struct stat st;
  int swapped = -1;
  if (lstat(agentDir.c_str(), &st) != 0) {
    swapped = rename(staging.c_str(), agentDir.c_str());
  } else {
    swapped = renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, agentDir.c_str(), RENAME_EXCHANGE);
    if (swapped != 0) {
      discardAgentDir(agentDir);
      swapped = rename(staging.c_str(), agentDir.c_str());
    }
  }
  if (swapped != 0) {
    removeTree(staging);
    report(tr(kUnzipFailed), true);
    return false;
  }
  removeTree(staging);
  syncPath(directoryOf(agentDir));
  return true;
}

void discardAgentDir(const std::string& dir) {
  std::string agentDir = dir;
  while (agentDir.size() > 1 && agentDir.back() == '/')
    agentDir.pop_back();
  std::string aside = makeUniqueDir(agentDir + ".discard-");
  if (!aside.empty() && rename(agentDir.c_str(), aside.c_str()) == 0) {
    removeTree(aside);
    return;
  }
  removeTree(aside);
  removeTree(agentDir);
}
