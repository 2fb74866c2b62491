#include "signature/verification.h"

#include "platform/translation.h"

const char kSignatureNotValidText[] = N_("The install agent's signature is not valid.");

bool agentSignaturesRequired() { return agentPublicKeys()[0] != '\0'; }

std::string verifyAgentSignatureWith(VerifyAgentFunction verify, int archiveFd, int copyFd,
                                     const std::string& archive, const std::string& signatureFile,
                                     bool* copyFailed) {
  char reason[2048] = "";
  int verified = verify(archiveFd, copyFd, archive.c_str(), signatureFile.c_str(),
                        agentPublicKeys(), reason, sizeof reason);
  if (copyFailed != nullptr)
    *copyFailed = verified == -1;
  return verified == 1 ? "" : reason;
}
