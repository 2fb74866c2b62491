// The agent is started without a command line: "/bin/sh", its script and
// every argument are handed to exec one by one. Nothing is quoted, so every
// argument arrives exactly as the user gave it, and an argument list that
// the kernel accepted for the installer is never made too long for it by
// quoting (a single argument of `sh -c` may not exceed 128 KiB).
#include "driver/launch.h"

#include <exception>

#include "platform/location.h"
#include "platform/shell.h"
#include "platform/translation.h"

namespace {

// A path that starts with "-" (a relative one) must not pass for an option.
std::string operand(const std::string& path) {
  return !path.empty() && path[0] == '-' ? "./" + path : path;
}

}  // namespace

std::vector<std::string> installAgentArguments(const std::string& agentPath,
                                               const std::string& bundleLocation, int argc,
                                               const char* const* argv) {
  std::string bundle = joinPath(bundleLocation, "bundle.zip");
  std::vector<std::string> args = {"/bin/sh", operand(agentPath), "-installbundle",
                                   operand(bundle)};
  for (int i = 1; i < argc; ++i)
    args.push_back(argv[i]);
  return args;
}

bool fireInstallAgentWithArgs(std::string agentPath, std::string bundleLocation, int argc,
                              const char* const* argv, ErrorCallback report,
                              int* agentExitCode, const std::function<void()>& started) {
  try {
    // The terminal's Ctrl-C reaches the agent by itself; the installer waits
    // for the agent to decide what it means.
    int exitCode = exitCodeOfStatus(
        runCommand(installAgentArguments(agentPath, bundleLocation, argc, argv), started));
    if (exitCode == -1) {
      report(tr("Failed to start the instal agent"), true);
      return false;
    }
    *agentExitCode = exitCode;
    if (exitCode != 0)
      report(fill(tr("The install agent exited with status {1}."), {std::to_string(exitCode)}),
             true);
    return true;
  } catch (const std::exception&) {
    report(tr("Failed to start the instal agent"), true);
    return false;
  }
}
