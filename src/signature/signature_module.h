#ifndef INSTALLER_SIGNATURE_SIGNATURE_MODULE_H_
#define INSTALLER_SIGNATURE_SIGNATURE_MODULE_H_

#include <stddef.h>

extern "C" {

/// Checks `archive` against `signatureFile` with `keys` (base64 public
/// keys, "," between them) for this build's release and platform. 1 when
/// one verifies; else 0 with the reason in `reason` (cut to `reasonSize`).
typedef int (*VerifyAgentFunction)(const char* archive, const char* signatureFile,
                                   const char* keys, char* reason, size_t reasonSize);
int installerVerifyAgent(const char* archive, const char* signatureFile, const char* keys,
                         char* reason, size_t reasonSize);
}

#endif  // INSTALLER_SIGNATURE_SIGNATURE_MODULE_H_
