#ifndef INSTALLER_SOURCING_UNZIP_AGENT_H_
#define INSTALLER_SOURCING_UNZIP_AGENT_H_

#include <string>

#include "driver/error_report.h"

/// Unpacks `archive` into `destination` by running `program` (the unzip
/// tool) with "-qq -o <archive> -d <destination>". False without a report
/// when the archive does not exist; false after "Failed to unzip the install
/// agent" when the tool fails.
bool unzipInstallAgent(std::string archive, std::string destination,
                       std::string program, ErrorCallback report);

/// Unpacks `archive` into the cache agent directory `agentDir` (no trailing
/// "/") as a whole or not at all: into a fresh staging directory beside it,
/// then swapped into place. Reports and returns false like
/// `unzipInstallAgent`; a failure leaves `agentDir` as it was.
bool unpackAgentIntoCache(std::string archive, std::string agentDir, ErrorCallback report);

/// Removes the cache agent directory `agentDir` so that it vanishes at once:
/// renamed aside first, then deleted.
void discardAgentDir(const std::string& agentDir);

#endif  // INSTALLER_SOURCING_UNZIP_AGENT_H_
