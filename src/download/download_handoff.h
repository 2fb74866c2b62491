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

/// Downloads the agent archive to `destination` in the download window (or
/// the terminal view without a display), keeping the per-user cache
/// current. True when the agent is to be taken from the cache (the road
/// unpacks a download there itself); false when the road failed or was
/// cancelled. The
/// window reports its own failures; `report` is not called.
bool downloadInstallAgentFromQZ(const char* destination, ErrorCallback report);

/// Runs the download road's loop on `downloadTo` and `downloadFrom` until
/// the controller ends it; returns the loop's result, 0 when the loop could
/// not run. The arguments are ignored.
int callApplicationMain(int argc, char** argv);

#endif  // INSTALLER_DOWNLOAD_DOWNLOAD_HANDOFF_H_
