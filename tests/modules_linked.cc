// Test programs link the download road, the window and the signature check
// directly instead of loading them as modules of the executable.
#include "download/download_handoff.h"
#include "download/download_loop.h"
#include "signature/verification.h"

int callApplicationMain(int /*argc*/, char** /*argv*/) {
  return installerDownloadLoop(installerOpenWindowView);
}

std::string verifyAgentSignature(int archiveFd, int copyFd, const std::string& archive,
                                 const std::string& signatureFile, bool* copyFailed) {
  return verifyAgentSignatureWith(installerVerifyAgent, archiveFd, copyFd, archive, signatureFile,
                                  copyFailed);
}
