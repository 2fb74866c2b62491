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
#include "sourcing/unzip_agent.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <exception>
#include <vector>

#include "platform/location.h"
#include "platform/shell.h"
#include "platform/temp_dir.h"

bool unzipInstallAgent(std::string archive, std::string destination,
                       std::string program, ErrorCallback report) {
  struct stat st;
  if (stat(archive.c_str(), &st) != 0)
    return false;
  std::string cmdline = smart_quote(program) + " -qq -o " + quotePath(archive) + " -d " +
                        quotePath(destination);
  try {
    if (call_system(program, cmdline) == 0)
      return true;
  } catch (const std::exception&) {
    return false;
  }
  report("Failed to unzip the install agent", true);
  return false;
}

namespace {

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

bool unpackAgentIntoCache(std::string archive, std::string agentDir, ErrorCallback report) {
  removeDebrisBeside(agentDir);
  std::string staging = makeUniqueDir(agentDir + ".staging-");
  if (staging.empty()) {
    report("Failed to unzip the install agent", true);
    return false;
  }
  if (!unzipInstallAgent(archive, staging, "unzip", report)) {
    removeTree(staging);
    return false;
  }
  // On disk before it takes the agent's name: after a power cut the name
  // never stands for files the disk did not get.
  if (!syncTree(staging)) {
    removeTree(staging);
    report("Failed to unzip the install agent", true);
    return false;
  }
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
    report("Failed to unzip the install agent", true);
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
