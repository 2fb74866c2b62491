#ifndef INSTALLER_SOURCING_UNZIP_AGENT_H_
#define INSTALLER_SOURCING_UNZIP_AGENT_H_

#include <functional>
#include <string>

#include "driver/error_report.h"
#include "sourcing/zip_extract.h"

/// Opens the agent archive at `path` for reading, never blocking on a FIFO;
/// through a link only when `followLinks`. -1 (nothing reported) when it
/// cannot be opened or is not a regular file.
int openAgentArchive(const std::string& path, bool followLinks);

/// Unpacks the archive open at `archiveFd` into the existing directory
/// `destination`, in this process and through descriptors (see
/// zip_extract.h). False after "Failed to unzip the install agent", the
/// reason in the system log.
bool unzipInstallAgent(int archiveFd, const std::string& destination, ErrorCallback report);

/// Unpacks the archive in `source` into the existing directory
/// `destination` as `unzipInstallAgent` does, reporting nothing: "" when
/// done, else why not, for the system log (see `reportUnzipFailed`).
std::string unpackAgentArchive(ZipSource* source, const std::string& destination);

/// "Failed to unzip the install agent", with `why` in the system log.
void reportUnzipFailed(const std::string& why, ErrorCallback report);

/// Unpacks the archive open at `archiveFd` into the cache agent directory
/// `agentDir` (no trailing "/") as a whole or not at all: into a fresh
/// staging directory beside it, flushed to disk once, then swapped into
/// place. `dropArchive`, when given, runs once the archive has been read,
/// before the flush: the caller's moment to unlink and close it, so that
/// its pages are dropped rather than written. Reports and returns false
/// like `unzipInstallAgent`; a failure leaves `agentDir` as it was.
bool unpackAgentIntoCache(int archiveFd, std::string agentDir, ErrorCallback report,
                          const std::function<void()>& dropArchive = nullptr);

/// Removes the cache agent directory `agentDir` so that it vanishes at once:
/// renamed aside first, then deleted.
void discardAgentDir(const std::string& agentDir);

#endif  // INSTALLER_SOURCING_UNZIP_AGENT_H_
