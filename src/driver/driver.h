#ifndef INSTALLER_DRIVER_DRIVER_H_
#define INSTALLER_DRIVER_DRIVER_H_

#include <string>

#include "driver/error_report.h"

/// Obtains the install agent and runs it with the bundle and argv[1..].
/// Returns 0 after an agent that succeeded, the agent's exit code after one
/// that failed, and -1 when no agent was started.
int mainFcn(int argc, const char* const* argv, ErrorCallback report);

/// Unpacks a payload carried inside the installer into `directory`. This
/// installer carries none: returns 0.
int extractPayloadToDir(std::string directory, ErrorCallback report);

#endif  // INSTALLER_DRIVER_DRIVER_H_
