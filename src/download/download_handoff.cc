#include "download/download_handoff.h"

#include <stdlib.h>

#include "driver/constants.h"

std::string downloadTo;
std::string downloadFrom;

std::string installAgentDownloadUrl() {
  const char* url = getenv("QZ_INTERNAL_INSTALL_AGENT_URL");
  return url != nullptr ? url : installAgentUrl;
}

// INTERIM: the download window is not part of this build yet. This body
// records where the archive would come from and go to, then declines, so
// that a run without a shipped agent fails clearly instead of hanging.
bool downloadInstallAgentFromQZ(const char* destination, ErrorCallback report) {
  downloadTo = destination;
  downloadFrom = installAgentDownloadUrl();
  report("Downloading the install agent is not available in this build.", true);
  return false;
}
