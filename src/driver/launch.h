#ifndef INSTALLER_DRIVER_LAUNCH_H_
#define INSTALLER_DRIVER_LAUNCH_H_

#include <functional>
#include <string>
#include <vector>

#include "driver/error_report.h"

/// Starts the agent as `/bin/sh <agentPath> -installbundle <bundle.zip>
/// argv[1..]`, one argument each, and waits for it. Returns false, after
/// reporting "Failed to start the instal agent", when it could not be
/// started. Otherwise true, with the agent's exit code in `*agentExitCode`
/// (128 + the signal's number when a signal ended it); a code other than 0
/// is reported. `started`, when given, runs once the agent has started.
bool fireInstallAgentWithArgs(std::string agentPath, std::string bundleLocation, int argc,
                              const char* const* argv, ErrorCallback report,
                              int* agentExitCode,
                              const std::function<void()>& started = nullptr);

/// The agent's command as the shell receives it, one element per argument.
std::vector<std::string> installAgentArguments(const std::string& agentPath,
                                               const std::string& bundleLocation, int argc,
                                               const char* const* argv);

#endif  // INSTALLER_DRIVER_LAUNCH_H_
