#include "driver/launch.h"

#include <exception>

#include "driver/constants.h"
#include "platform/shell.h"

std::string installAgentCommandLine(std::string command,
                                    const std::string& bundleLocation,
                                    int argc, const char* const* argv) {
  std::string suffix = " -installbundle ";
  suffix += quotePath(bundleLocation + fileSeparator + "bundle.zip");
  if (argc >= 2)
    suffix += " " + argv2cmdline(argc, argv);
  return command + suffix;
}

bool fireInstallAgentWithArgs(std::string agentPath, std::string command,
                              std::string bundleLocation, int argc,
                              const char* const* argv, ErrorCallback report,
                              int* agentExitCode) {
  try {
    std::string line = installAgentCommandLine(command, bundleLocation, argc, argv);
    // "exec": the shell becomes the agent, so a signal at the terminal
    // reaches the agent alone, and its status is the agent's own.
    int exitCode = exitCodeOfStatus(call_system(agentPath, "exec " + line));
    if (exitCode == -1) {
      report("Failed to start the instal agent", true);
      return false;
    }
    *agentExitCode = exitCode;
    if (exitCode != 0)
      report("The install agent exited with status " + std::to_string(exitCode) + ".",
             true);
    return true;
  } catch (const std::exception&) {
    report("Failed to start the instal agent", true);
    return false;
  }
}
