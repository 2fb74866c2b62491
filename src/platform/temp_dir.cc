#include "platform/temp_dir.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

std::string userTemporaryDirectory() {
  const char* tmpdir = getenv("TMPDIR");
  if (tmpdir == nullptr || *tmpdir == '\0')
    return "/tmp";
  return tmpdir;
}

namespace {

// The directories of the live TempDirs, for removeTempDirsNow.
std::vector<std::string>& liveTempDirs() {
  static std::vector<std::string> dirs;
  return dirs;
}

// Whether a directory made in `base` stays ours: `base` must be a
// directory of this user or of root, which others may write only where its
// sticky bit keeps them from renaming or removing what is not theirs.
// Otherwise another user could move the fresh directory away and put one
// of theirs, or a link, in its place.
bool safeParent(const std::string& base) {
  struct stat st;
  if (stat(base.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return false;
  if (st.st_uid != geteuid() && st.st_uid != 0)
    return false;
  return (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (st.st_mode & S_ISVTX) != 0;
}

// A fresh "qzXXXXXX" in `base`, readable and writable by this user alone
// whatever the umask; empty when it cannot be made there safely.
std::string makeTempDirIn(std::string base) {
  if (base.size() > 1 && base.back() == '/')
    base.pop_back();
  if (!safeParent(base))
    return "";
  std::string templ = (base == "/" ? "" : base) + "/qzXXXXXX";
  std::vector<char> buffer(templ.begin(), templ.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr)
    return "";
  std::string dir = buffer.data();
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st;
  bool ours = fd != -1 && fstat(fd, &st) == 0 && st.st_uid == geteuid() && fchmod(fd, 0700) == 0;
  if (fd != -1)
    close(fd);
  if (!ours) {
    rmdir(dir.c_str());
    return "";
  }
  return dir;
}

}  // namespace

void removeTempDirsNow() {
  for (const std::string& dir : liveTempDirs()) removeTree(dir);
}

TempDir::TempDir(std::string /*name*/) {
  // A TMPDIR that is stale, not ours or open to others must not send the
  // run elsewhere (the installer's own directory, say): /tmp is there on
  // every system.
  dir_ = makeTempDirIn(userTemporaryDirectory());
  if (dir_.empty())
    dir_ = makeTempDirIn("/tmp");
  if (!dir_.empty())
    liveTempDirs().push_back(dir_);
}

TempDir::~TempDir() {
  if (dir_.empty())
    return;
  removeTree(dir_);
  std::vector<std::string>& live = liveTempDirs();
  for (auto it = live.begin(); it != live.end(); ++it) {
    if (*it == dir_) {
      live.erase(it);
      break;
    }
  }
}

// Removal has to cope with what agents ship: directories without write (or
// even read and search) permission for their owner, which a non-root user
// can only empty after giving the permission back. Links are removed, never
// followed: every directory is opened with O_NOFOLLOW and its mode changed
// through that descriptor. Only one that cannot even be opened is changed by
// name, once lstat has shown it to be a directory of ours.

namespace {

// Opens directory `path` for listing, giving its owner rwx first where it
// lacks them. -1 when it is not a directory (a link included) or stays
// closed to us.
int openForEmptying(const std::string& path) {
  const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  int fd = open(path.c_str(), flags);
  if (fd == -1 && errno == EACCES) {
    // Not even readable: the mode can only be changed by name. Do so only
    // while the name is still this directory and no link.
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid())
      return -1;
    if (chmod(path.c_str(), (st.st_mode & 07777) | S_IRWXU) != 0)
      return -1;
    fd = open(path.c_str(), flags);
  }
  if (fd == -1)
    return -1;
  struct stat st;
  if (fstat(fd, &st) == 0 && (st.st_mode & S_IRWXU) != S_IRWXU)
    fchmod(fd, (st.st_mode & 07777) | S_IRWXU);
  return fd;
}

void removeEntry(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0)
    return;
  if (!S_ISDIR(st.st_mode)) {
    unlink(path.c_str());
    return;
  }
  int fd = openForEmptying(path);
  if (fd == -1)
    return;
  DIR* listing = fdopendir(fd);
  if (listing == nullptr) {
    close(fd);
    return;
  }
  // Listed first and closed before descending, so a deep tree holds one
  // descriptor at a time.
  std::vector<std::string> names;
  while (struct dirent* entry = readdir(listing)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..")
      names.push_back(name);
  }
  closedir(listing);
  for (const std::string& name : names) removeEntry(path + "/" + name);
  rmdir(path.c_str());  // what cannot go is seen by the caller's final lstat
}

}  // namespace

bool removeTree(const std::string& path) {
  removeEntry(path);
  struct stat st;
  return lstat(path.c_str(), &st) != 0;
}

bool writeAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      if (n == 0)
        errno = EIO;
      return false;
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool syncPath(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return errno == ELOOP;  // a link: its target is none of ours
  bool synced = fsync(fd) == 0 || errno == EINVAL || errno == EROFS;
  close(fd);
  return synced;
}
