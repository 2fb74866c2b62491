// Where the install agent comes from, in order of preference:
//   1. "InstallAgent.zip" beside the executable, or else the first
//      "InstallAgent_*.zip" there, unpacked into the run's working directory
//      on every run;
//   2. the per-user cache, $HOME/.orvant/app_installer_cache/<release>/
//      <platform>/installagent/, which the download road fills and keeps
//      current. Its ".validatestring" lies one level up, beside it.
#include "sourcing/sourcing.h"

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "download/download_handoff.h"
#include "driver/constants.h"
#include "platform/location.h"
#include "platform/shell.h"
#include "sourcing/unzip_agent.h"

namespace {

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// An agent's script is a file; a directory of that name would run nothing
// and pass for success.
bool isScript(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool hasPrefixAndSuffix(const std::string& name, const std::string& prefix,
                        const std::string& suffix) {
  return name.size() >= prefix.size() + suffix.size() &&
         name.compare(0, prefix.size(), prefix) == 0 &&
         name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

std::string getDefaultInstallAgentLocation() {
  std::string resourceDir = getDirectoryOfExecutable();
  if (resourceDir.empty())
    return "";
  return resourceDir + fileSeparator + installAgentZipName;
}

std::string findAlternativeInstallAgent(const std::string& resourceDir) {
  DIR* listing = opendir(resourceDir.c_str());
  if (listing == nullptr)
    return "";
  std::string found;
  while (struct dirent* entry = readdir(listing)) {
    if (hasPrefixAndSuffix(entry->d_name, "InstallAgent_", ".zip")) {
      found = resourceDir + fileSeparator + entry->d_name;
      break;
    }
  }
  closedir(listing);
  return found;
}

std::string getInstallAgentCacheDir() {
  const char* home = getenv("HOME");
  std::string dir = (home == nullptr || *home == '\0') ? "/tmp" : home;
  if (dir.size() >= 2 && dir.back() != '/')
    dir += '/';
  return dir + installAgentCacheRelPath;
}

std::string installAgentDirOnDisk() {
  std::string dir = getInstallAgentCacheDir() + installAgentDirName + fileSeparator;
  return isScript(getInstallAgentExecutable(dir)) ? dir : "";
}

std::string getInstallAgentExecutable(std::string agentDir) {
  if (!agentDir.empty() && agentDir.back() != '/')
    agentDir += '/';
  return agentDir + "install";
}

std::string sourceInstallAgent(std::string workDir, ErrorCallback report) {
  // 1. A shipped archive wins; the default name before any other.
  std::string archive = getDefaultInstallAgentLocation();
  if (!exists(archive))
    archive = findAlternativeInstallAgent(directoryOf(archive));

  bool shipped = !archive.empty();
  std::string target = workDir;
  if (!shipped) {
    // 2. Otherwise the cache, kept current by the download road.
    target = getInstallAgentCacheDir() + installAgentDirName;
    mkpath(target, 0700);
    archive = workDir + fileSeparator + installAgentZipName;
    bool downloaded = downloadInstallAgentFromQZ(archive.c_str(), report);
    std::string cached = downloaded ? installAgentDirOnDisk() : "";
    if (!downloaded || !cached.empty()) {
      // The cache holds what counts. Beside the installer (test mode, or no
      // temporary directory) a downloaded archive left behind would pass
      // for a shipped agent on every later run.
      unlink(archive.c_str());
      return downloaded ? getInstallAgentExecutable(cached) : "";
    }
  }

  // 3. Unpack (into the cache as a whole or not at all), and make sure the
  //    archive really was an agent: a script that is not there would only
  //    fail later, and less clearly, in the shell.
  bool unpacked = shipped ? unzipInstallAgent(archive, target, "unzip", report)
                          : unpackAgentIntoCache(archive, target, report);
  if (!shipped)
    unlink(archive.c_str());
  if (!unpacked) {
    report("Failed to initialize the install agent.", true);
    return "";
  }
  std::string executable = getInstallAgentExecutable(target);
  if (!isScript(executable)) {
    report("The install agent archive has no install script at its top.", true);
    report("Failed to initialize the install agent.", true);
    return "";
  }
  return executable;
}
