#ifndef INSTALLER_SOURCING_SOURCING_H_
#define INSTALLER_SOURCING_SOURCING_H_

#include <string>

#include "driver/error_report.h"

/// The path of the install agent's "install" script, from an archive
/// shipped beside the executable (unpacked into `workDir`) or else from the
/// per-user cache by way of a download. Empty, after a report, when there is
/// no agent, when the script is not a regular file, or when the cache is not
/// this user's alone.
std::string sourceInstallAgent(std::string workDir, ErrorCallback report);

/// The shipped default archive: the executable's directory +
/// "/InstallAgent.zip"; empty when that directory is unknown.
std::string getDefaultInstallAgentLocation();

/// The first entry of `resourceDir`, in listing order, named
/// "InstallAgent_*.zip", as a path; empty when there is none.
std::string findAlternativeInstallAgent(const std::string& resourceDir);

/// The per-user cache directory: the home directory ($HOME, or the password
/// database's when HOME is unset or empty) + "/" where missing +
/// ".orvant/app_installer_cache/<release>/<platform>/"; ends in "/". Empty
/// when there is no home directory.
std::string getInstallAgentCacheDir();

/// Makes the cache agent directory and the cache directories above it, from
/// ".orvant" down, with mode 0700 where missing, and checks that each is a
/// directory (not a link) of this user that no one else may write; only a
/// non-directory at the agent directory's name passes, to be replaced.
/// False, with a one-line reason naming the directory in `error`, otherwise.
bool prepareInstallAgentCache(std::string* error);

/// The cache agent directory with a trailing "/" when it is a directory of
/// this user that no one else may write and its "install" is a regular file
/// (not a link); empty otherwise.
std::string installAgentDirOnDisk();

/// Where the download road stores the agent archive in `workDir`, until it
/// is unpacked into the cache.
std::string downloadedAgentArchive(const std::string& workDir);

/// `agentDir` + "/install", the "/" only where missing. Tests nothing.
std::string getInstallAgentExecutable(std::string agentDir);

#endif  // INSTALLER_SOURCING_SOURCING_H_
