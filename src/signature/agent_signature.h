#ifndef INSTALLER_SIGNATURE_AGENT_SIGNATURE_H_
#define INSTALLER_SIGNATURE_AGENT_SIGNATURE_H_

#include <string>
#include <vector>

/// The bytes an agent signature covers: "installer-agent-signature-v1", a NUL, the
/// release tag, a NUL, the platform tag, a NUL, then the archive's SHA-256 (32 raw
/// bytes). The prefix keeps a signature made with the same key for anything else
/// from passing for an agent's; the tags, one made for another release or platform.
std::string agentSignedMessage(const std::string& release, const std::string& platform,
                               const std::string& sha256);

/// The SHA-256 of the file at `path` (32 raw bytes), read in pieces so that memory
/// stays flat whatever its size. Only a regular file (or a link to one) is read.
/// False with a one-line reason.
bool sha256OfFile(const std::string& path, std::string* digest, std::string* reason);

/// `sha256OfFile` of the file open at `fd`, read from its start without
/// moving its offset; each piece read is also written to `copyFd` unless it
/// is -1, so that a copy and its digest come from one read. `name` names
/// the file in the reason; `copyFailed`, when given, is set when the copy
/// is what failed.
bool sha256OfDescriptor(int fd, int copyFd, const std::string& name, std::string* digest,
                        std::string* reason, bool* copyFailed = nullptr);

/// The text of a .sig file for a 64-byte signature:
/// "installer-agent-signature 1\n" "ed25519 <base64 of the 64 bytes>\n".
std::string formatAgentSignature(const std::string& signature);

/// The signature in a .sig file's text: exactly the form above (that version, that
/// algorithm, canonical base64 of exactly 64 bytes, "\n" line ends, nothing before,
/// between or after); false with a one-line reason otherwise.
bool parseAgentSignature(const std::string& text, std::string* signature, std::string* reason);

/// Standard base64 with padding; decoding refuses anything that is not the
/// canonical encoding (wrong length, characters, padding, non-zero spare bits).
std::string encodeBase64(const std::string& bytes);
bool decodeBase64(const std::string& text, std::string* bytes);

/// Checks the archive at `archive` against the signature file `signatureFile` with
/// `publicKeys` (each the base64 of a raw 32-byte Ed25519 public key; any one
/// verifying is enough) for `release` and `platform`. Returns "" when one verifies,
/// otherwise a one-line reason for the system log, e.g. "no signature file
/// <path>: No such file or directory", "malformed signature file <path>: ...",
/// "no configured key verifies the signature of <archive>". The signature file is
/// opened without following a link and read only when it is a regular file of at
/// most 4 KiB (a FIFO or /dev/zero planted at its name must neither block nor
/// exhaust memory).
std::string verifyAgentArchive(const std::string& archive, const std::string& signatureFile,
                               const std::vector<std::string>& publicKeys,
                               const std::string& release, const std::string& platform);

/// `verifyAgentArchive` of the archive open at `archiveFd` (named `archive`
/// in reasons), hashing it while it is copied to `copyFd` (-1: no copy), so
/// that the bytes the caller goes on to use are the bytes checked.
/// `copyFailed`, when given, tells a failed copy from a failed check.
std::string verifyAgentArchiveFd(int archiveFd, int copyFd, const std::string& archive,
                                 const std::string& signatureFile,
                                 const std::vector<std::string>& publicKeys,
                                 const std::string& release, const std::string& platform,
                                 bool* copyFailed = nullptr);

#endif  // INSTALLER_SIGNATURE_AGENT_SIGNATURE_H_
