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

#endif  // INSTALLER_SOURCING_UNZIP_AGENT_H_
