// Test programs link the download road, the window and the signature check
// directly instead of loading them as modules of the executable.
#include "download/download_handoff.h"
#include "download/download_loop.h"
#include "signature/verification.h"

int callApplicationMain(int /*argc*/, char** /*argv*/) {
  return installerDownloadLoop(installerOpenWindowView);
}

std::string verifyAgentSignature(const std::string& archive, const std::string& signatureFile) {
  return verifyAgentSignatureWith(installerVerifyAgent, archive, signatureFile);
}
