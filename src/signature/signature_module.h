#ifndef INSTALLER_SIGNATURE_SIGNATURE_MODULE_H_
#define INSTALLER_SIGNATURE_SIGNATURE_MODULE_H_

#include <stddef.h>

extern "C" {

/// Checks the archive open at `archiveFd` (named `archive` in reasons)
/// against `signatureFile` with `keys` (base64 public keys, "," between
/// them) for this build's release and platform, copying it to `copyFd` as
/// it is read unless that is -1. 1 when one verifies; else 0 with the
/// reason in `reason` (cut to `reasonSize`), or -1 when the copy failed.
typedef int (*VerifyAgentFunction)(int archiveFd, int copyFd, const char* archive,
                                   const char* signatureFile, const char* keys, char* reason,
                                   size_t reasonSize);
int installerVerifyAgent(int archiveFd, int copyFd, const char* archive,
                         const char* signatureFile, const char* keys, char* reason,
                         size_t reasonSize);
}

#endif  // INSTALLER_SIGNATURE_SIGNATURE_MODULE_H_
