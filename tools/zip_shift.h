#ifndef INSTALLER_TOOLS_ZIP_SHIFT_H_
#define INSTALLER_TOOLS_ZIP_SHIFT_H_

#include <stdint.h>

#include <string>

/// A zip archive's tail as it must read once `shift` bytes stand in front
/// of the archive: its central directory and end records, every offset in
/// them moved by `shift`, as `zip -A` moves them. Readers (Info-ZIP unzip,
/// Python's zipfile, libarchive) then take the longer file for the archive
/// without a warning. The entries' own bytes need no change.
struct ShiftedZipTail {
  uint64_t directoryOffset = 0;  ///< where the tail starts in the archive
  std::string bytes;             ///< the tail, from there to the archive's end
};

/// Reads the tail of the zip archive open at `fd` (`size` bytes long) and
/// moves its offsets by `shift`; false with a one-line reason when it is no
/// zip archive, spans disks, counts bytes that are not there, or would need
/// an offset that its 32-bit fields cannot hold.
bool shiftZipTail(int fd, uint64_t size, uint64_t shift, ShiftedZipTail* tail,
                  std::string* reason);

#endif  // INSTALLER_TOOLS_ZIP_SHIFT_H_
