#include "signature/verification.h"

const char kSignatureNotValidText[] = "The install agent's signature is not valid.";

bool agentSignaturesRequired() { return agentPublicKeys()[0] != '\0'; }

std::string verifyAgentSignatureWith(VerifyAgentFunction verify, const std::string& archive,
                                     const std::string& signatureFile) {
  char reason[2048] = "";
  return verify(archive.c_str(), signatureFile.c_str(), agentPublicKeys(), reason, sizeof reason)
             ? ""
             : reason;
}
