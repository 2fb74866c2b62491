#include "driver/driver.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/launch.h"
#include "platform/last_resort.h"
#include "platform/location.h"
#include "platform/shell.h"
#include "platform/temp_dir.h"
#include "platform/time_zone.h"
#include "platform/translation.h"
#include "payload/payload.h"
#include "sourcing/sourcing.h"

int extractPayloadToDir(std::string directory, ErrorCallback report) {
  return unpackPayload(directory, report);
}

namespace {

// A umask that takes the user's own permissions away (0277 takes write)
// would make every directory the run creates one it cannot fill, and a
// cache that no later run can use: the run keeps only what the umask asks
// of other users. The agent gets the user's umask back.
mode_t keepOwnPermissions() {
  mode_t user = umask(0);
  umask(user & 077);
  return user;
}

}  // namespace

int mainFcn(int argc, const char* const* argv, ErrorCallback report) {
  // The texts' language and the numbers' form, once for the whole run: a
  // toolkit that sets the locale again later finds it as it is.
  useUserLocale();
  mode_t userUmask = keepOwnPermissions();
  pinTimeZone();  // while no thread can read the environment
  // 1. A scoped working directory: whatever the run unpacks or downloads
  //    goes with it, on every way out. A signal must not end the process
  //    before the directory can go, so signals are noted from here on.
  holdInterruptSignals();
  TempDir tempDir("tmp_install_dir");
  setLastResortDirectory(tempDir.getDir());

  // 2. Tests work beside the executable. Nothing else ever does: unpacking
  //    there would overwrite the vendor's files, and a download left there
  //    would change what later runs do. Without the executable's directory
  //    there is no bundle to hand over, and no way to tell which agent was
  //    shipped with it.
  std::string installerDir = getDirectoryOfExecutable();
  if (installerDir.empty()) {
    report(tr("Cannot find the directory of the installer's executable."), true);
    return -1;
  }
  std::string workDir = tempDir.getDir();
  if (getenv("__QZ_BOOTSTRAP_INSTALLER_UNITTEST__") != nullptr) {
    workDir = installerDir;
  } else if (workDir.empty()) {
    std::string tried = userTemporaryDirectory();
    report(tried == "/tmp" ? std::string(tr("No temporary directory could be made in /tmp."))
                           : fill(tr("No temporary directory could be made in {1} or /tmp."),
                                  {tried}),
           true);
    return -1;
  }

  // 3. A single-file installer places what it carries first, always in
  //    the run's own directory: beside the executable, which may be
  //    read-only or shared, it would be left behind.
  int payload = extractPayloadToDir(tempDir.getDir(), report);
  if (payload != 0) {
    report(initializationFailureText(payload), true);
    return -1;
  }

  // 4. Sourcing reports its own reasons when there is no agent.
  std::string agentPath = sourceInstallAgent(workDir, report);
  if (agentPath.empty())
    return -1;
  if (takeNotedSignal() != 0) {
    report(tr("Cancelled."), true);  // the user left before the agent could start
    return -1;
  }

  // 5. Start the agent through the shell and wait until it ends, so the
  //    working directory outlives it. The launcher has said why it failed.
  int agentExitCode = 0;
  umask(userUmask);
  bool started = fireInstallAgentWithArgs(agentPath, getBundleLocation(), argc, argv, report,
                                          &agentExitCode);
  if (!started)
    return -1;
  return agentExitCode;
}
