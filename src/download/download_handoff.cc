#include "download/download_handoff.h"

#include <stdlib.h>

#include "driver/constants.h"

std::string downloadTo;
std::string downloadFrom;

std::string installAgentDownloadUrl() {
  const char* url = getenv("QZ_INTERNAL_INSTALL_AGENT_URL");
  return url != nullptr ? url : installAgentUrl;
}

bool downloadInstallAgentFromQZ(const char* destination, ErrorCallback /*report*/) {
  downloadFrom = installAgentDownloadUrl();
  downloadTo = destination;
  return callApplicationMain(0, nullptr) != 0;
}
