#ifndef INSTALLER_PAYLOAD_PAYLOAD_H_
#define INSTALLER_PAYLOAD_PAYLOAD_H_

#include <string>

#include "driver/error_report.h"

/// Why a single-file installer cannot start: the code that "Internal error:
/// Failed to initialize application installer (N)" shows.
enum PayloadFailure {
  kPayloadUnreadable = 1,   ///< the installer's own file cannot be opened or read
  kPayloadIncomplete = 2,   ///< it is not as long as it was packed: cut short
  kPayloadBadIndex = 3,     ///< its index does not match what the executable recorded
  kPayloadBadPart = 4,      ///< the agent, its signature, the splash or the icon changed
  kPayloadBadBundle = 5,    ///< the bundle's central directory changed
  kPayloadCannotPlace = 6,  ///< the parts cannot be written into the working directory
  kPayloadReplaced = 7,     ///< the installer file was removed or replaced after it started
};

/// "Internal error: Failed to initialize application installer (N)".
std::string initializationFailureText(int code);

/// Checks the payload of a single-file installer and places it in
/// `workDir`/payload: the agent archive (and its signature), the splash and
/// the icon as files of their own, and "bundle.zip" as a link to the
/// installer file, which zip readers take for the vendor's bundle. That
/// directory then is where the installer's resources are found. 0 for an
/// executable without a payload (nothing happens) and for a placed one;
/// else a `PayloadFailure` after one line that tells the user what to do.
int unpackPayload(const std::string& workDir, ErrorCallback report);

/// True when the placed payload holds an agent left inside the installer
/// file for `unpackPayloadAgent`: a build that wants no signature checks
/// the agent's digest as it unpacks it, so a large agent is read once and
/// never copied. A build with keys gets it copied, as a shipped archive.
bool payloadAgentToUnpack();

/// Unpacks the payload's agent into the existing directory `dir`, its
/// digest taken by the unpacking's own reads. 0 when unpacked and whole;
/// -1 after "Failed to unzip the install agent"; a `PayloadFailure` after
/// the line that tells the user what to do, when the agent is not the
/// one the file was packed with (whatever was unpacked is never run).
int unpackPayloadAgent(const std::string& dir, ErrorCallback report);

#endif  // INSTALLER_PAYLOAD_PAYLOAD_H_
