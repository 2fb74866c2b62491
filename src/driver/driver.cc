#include "driver/driver.h"

#include <stdlib.h>

#include "driver/launch.h"
#include "platform/location.h"
#include "platform/shell.h"
#include "platform/temp_dir.h"
#include "sourcing/sourcing.h"

int extractPayloadToDir(std::string /*directory*/, ErrorCallback /*report*/) {
  return 0;
}

int mainFcn(int argc, const char* const* argv, ErrorCallback report) {
  // 1. A scoped working directory: whatever the run unpacks or downloads
  //    goes with it, on every way out. A signal must not end the process
  //    before the directory can go, so signals are noted from here on.
  holdInterruptSignals();
  TempDir tempDir("tmp_install_dir");

  // 2. Tests work beside the executable; so does a run that got no
  //    temporary directory.
  std::string workDir = tempDir.getDir();
  if (workDir.empty() || getenv("__QZ_BOOTSTRAP_INSTALLER_UNITTEST__") != nullptr)
    workDir = getDirectoryOfExecutable();

  // 3. A payload carried inside the installer would be unpacked first.
  int payload = extractPayloadToDir(workDir, report);
  if (payload != 0) {
    report("Internal error: Failed to initialize application installer (" +
               std::to_string(payload) + ")",
           true);
    return -1;
  }

  // 4. Sourcing reports its own reasons when there is no agent.
  std::string agentPath = sourceInstallAgent(workDir, report);
  if (agentPath.empty())
    return -1;
  if (takeNotedSignal() != 0)
    return -1;  // the user left before the agent could start

  // 5. Start the agent through the shell and wait until it ends, so the
  //    working directory outlives it.
  std::string command = "sh " + quotePath(agentPath);
  int agentExitCode = 0;
  if (!fireInstallAgentWithArgs(agentPath, command, getBundleLocation(), argc, argv,
                                report, &agentExitCode)) {
    report("Failed to start the instal agent", true);
    return -1;
  }
  return agentExitCode;
}
