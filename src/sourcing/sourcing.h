#ifndef INSTALLER_SOURCING_SOURCING_H_
#define INSTALLER_SOURCING_SOURCING_H_

#include <string>

#include "driver/error_report.h"

/// The path of the install agent's "install" script, from an archive
/// shipped beside the executable (unpacked into `workDir`) or else from the
/// per-user cache by way of a download. Empty, after a report, when there is
/// no agent.
std::string sourceInstallAgent(std::string workDir, ErrorCallback report);

/// The shipped default archive: the executable's directory +
/// "/InstallAgent.zip"; empty when that directory is unknown.
std::string getDefaultInstallAgentLocation();

/// The first entry of `resourceDir`, in listing order, named
/// "InstallAgent_*.zip", as a path; empty when there is none.
std::string findAlternativeInstallAgent(const std::string& resourceDir);

/// The per-user cache directory, $HOME (or "/tmp") +
/// ".orvant/app_installer_cache/<release>/<platform>/"; ends in "/".
std::string getInstallAgentCacheDir();

/// The cache agent directory with a trailing "/" when its "install" exists;
/// empty otherwise.
std::string installAgentDirOnDisk();

/// `agentDir` + "/install", the "/" only where missing. Tests nothing.
std::string getInstallAgentExecutable(std::string agentDir);

#endif  // INSTALLER_SOURCING_SOURCING_H_
