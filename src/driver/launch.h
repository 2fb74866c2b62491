#ifndef INSTALLER_DRIVER_LAUNCH_H_
#define INSTALLER_DRIVER_LAUNCH_H_

#include <string>

#include "driver/error_report.h"

/// Completes `command` ("sh <agent>") with " -installbundle <bundle.zip>" and
/// the user's arguments argv[1..], runs it through the shell and waits.
/// Returns false, after reporting "Failed to start the instal agent", when
/// no shell could run it. Otherwise true, with the agent's exit code in
/// `*agentExitCode` (128 + the signal's number when a signal ended it); a
/// code other than 0 is reported.
bool fireInstallAgentWithArgs(std::string agentPath, std::string command,
                              std::string bundleLocation, int argc,
                              const char* const* argv, ErrorCallback report,
                              int* agentExitCode);

/// The whole command line that starts the agent, as the shell receives it.
std::string installAgentCommandLine(std::string command,
                                    const std::string& bundleLocation,
                                    int argc, const char* const* argv);

#endif  // INSTALLER_DRIVER_LAUNCH_H_
