#ifndef INSTALLER_DOWNLOAD_DOWNLOAD_HANDOFF_H_
#define INSTALLER_DOWNLOAD_DOWNLOAD_HANDOFF_H_

#include <string>

#include "driver/error_report.h"

/// The download's destination and URL, set by `downloadInstallAgentFromQZ`
/// for the download window.
extern std::string downloadTo;
extern std::string downloadFrom;

/// The URL of the agent archive: $QZ_INTERNAL_INSTALL_AGENT_URL when set,
/// even empty, else the compiled-in default.
std::string installAgentDownloadUrl();

/// Downloads the agent archive to `destination` and keeps the per-user
/// cache current. True when the agent is to be taken from the cache (or
/// unpacked from `destination`); false when there is none.
bool downloadInstallAgentFromQZ(const char* destination, ErrorCallback report);

#endif  // INSTALLER_DOWNLOAD_DOWNLOAD_HANDOFF_H_
