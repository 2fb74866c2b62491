#ifndef INSTALLER_DRIVER_DRIVER_H_
#define INSTALLER_DRIVER_DRIVER_H_

#include <string>

#include "driver/error_report.h"

/// Obtains the install agent and runs it with the bundle and argv[1..].
/// Returns 0 after an agent that succeeded, the agent's exit code after one
/// that failed, and -1 when no agent was started.
int mainFcn(int argc, const char* const* argv, ErrorCallback report);

/// Checks and places the payload of a single-file installer in `directory`
/// (see payload/payload.h): 0 when placed, and for an installer without
/// one; else a failure code, after a line that says what to do.
int extractPayloadToDir(std::string directory, ErrorCallback report);

#endif  // INSTALLER_DRIVER_DRIVER_H_
