#ifndef INSTALLER_SOURCING_ZIP_EXTRACT_H_
#define INSTALLER_SOURCING_ZIP_EXTRACT_H_

#include <stdint.h>

#include <functional>
#include <string>

/// What an extraction asks of its caller while it writes.
struct ExtractHooks {
  /// True when the extraction should stop now (the user is leaving).
  std::function<bool()> stop;
  /// Called after each entry written, with how many have been.
  std::function<void(int)> entryWritten;
};

/// Unpacks the zip archive open at `archiveFd` (a regular file, read from
/// its start with seeks; its offset is not used) into the directory open at
/// `dirFd`. Every entry is created below `dirFd` one component at a time,
/// never through a symbolic link and never over an existing name; files and
/// directories get the archive's permission bits under the umask, without
/// setuid, setgid or sticky bits; links are made as links. An archive with
/// an absolute name or "..", an encrypted entry, a name given twice, a file
/// where a directory must stand, an entry that is not a file, directory or
/// link, or more declared bytes than the file system has free is refused
/// before anything is written. Returns "" when all was unpacked, else one
/// line saying why not (naming the entry), with what was written left for
/// the caller to remove. Never reads the terminal.
std::string extractZip(int archiveFd, int dirFd, const ExtractHooks& hooks = {});

/// Where a zip archive lies: `size` bytes of the file open at `fd` from
/// `offset` (an archive carried inside another file).
struct ZipSource {
  int fd = -1;
  uint64_t offset = 0;
  uint64_t size = 0;
  /// When set, gets the archive's bytes once each, in order, as the
  /// unpacking's reads pass over them (`folded` says how far it got), so
  /// that a check of the whole archive costs no read of its own beyond
  /// the bytes from `folded` on, which they skipped.
  std::function<void(const char* bytes, size_t size)> fold;
  uint64_t folded = 0;
};

/// `extractZip` of the archive in `source`.
std::string extractZip(ZipSource* source, int dirFd, const ExtractHooks& hooks = {});

#endif  // INSTALLER_SOURCING_ZIP_EXTRACT_H_
