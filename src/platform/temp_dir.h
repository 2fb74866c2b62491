#ifndef INSTALLER_PLATFORM_TEMP_DIR_H_
#define INSTALLER_PLATFORM_TEMP_DIR_H_

#include <stddef.h>

#include <string>

/// The per-user temporary directory: $TMPDIR when set and not empty, else
/// "/tmp".
std::string userTemporaryDirectory();

/// A fresh directory "qzXXXXXX", mode 0700, in the per-user temporary
/// directory (in /tmp when that one is unusable: missing, not a directory,
/// owned by another user than this one or root, or writable by others
/// without the sticky bit), owned by this object and removed with
/// everything in it when the object dies.
class TempDir {
 public:
  /// Creates the directory at once; `name` does not enter its path.
  explicit TempDir(std::string name);
  /// Removes the directory and its contents; never throws.
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  /// The directory's absolute path without a trailing "/"; empty when it
  /// could not be created.
  std::string getDir() const { return dir_; }

 private:
  std::string dir_;
};

/// Removes the directory of every live TempDir now, for a run that must end
/// at once without leaving its destructors to do it.
void removeTempDirsNow();

/// Removes `path` and, for a directory, everything beneath it, never
/// following a symbolic link; directories of ours that lack write, read or
/// search permission get it first. Returns true when nothing is left.
bool removeTree(const std::string& path);

/// Writes all `length` bytes at `data` to `fd`, going on after interrupted
/// or short writes. False, with errno set (EIO for a write that took
/// nothing), when it could not.
bool writeAll(int fd, const char* data, size_t length);

/// Waits until `path`, a file or a directory's entries, is on disk. False
/// when the disk said it failed; a file system that cannot sync counts as
/// done.
bool syncPath(const std::string& path);

#endif  // INSTALLER_PLATFORM_TEMP_DIR_H_
