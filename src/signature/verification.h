#ifndef INSTALLER_SIGNATURE_VERIFICATION_H_
#define INSTALLER_SIGNATURE_VERIFICATION_H_

#include <cstdint>
#include <string>

#include "signature/signature_module.h"

/// What the user is told when an agent archive's signature is missing,
/// malformed or wrong; the reason goes to the system log.
extern const char kSignatureNotValidText[];

/// The longest signature file there is; its transfer stops past it.
inline constexpr int64_t kMaxAgentSignatureFileSize = 4096;

/// The Ed25519 public keys this executable trusts, each the base64 of a raw
/// 32-byte key, "," between them; empty when it requires no signature.
/// Compiled into each executable (agent_keys.cc), as the vendor configured.
const char* agentPublicKeys();

/// True when an agent starts only with a signature that one of the keys
/// verifies.
bool agentSignaturesRequired();

/// Checks the archive open at `archiveFd` (named `archive` in reasons)
/// against the signature file `signatureFile` for this build's release and
/// platform, copying it to `copyFd` as it is hashed unless that is -1: ""
/// when one of the keys verifies it, else why not, in one line for the
/// system log. `copyFailed`, when given, says whether the copy failed.
std::string verifyAgentSignature(int archiveFd, int copyFd, const std::string& archive,
                                 const std::string& signatureFile, bool* copyFailed = nullptr);

/// `verifyAgentSignature` through `verify`, the signature check however it
/// was reached (a loaded module, or linked in).
std::string verifyAgentSignatureWith(VerifyAgentFunction verify, int archiveFd, int copyFd,
                                     const std::string& archive, const std::string& signatureFile,
                                     bool* copyFailed = nullptr);

#endif  // INSTALLER_SIGNATURE_VERIFICATION_H_
