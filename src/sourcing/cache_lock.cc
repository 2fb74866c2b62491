#include "sourcing/cache_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/translation.h"

namespace {

// The descriptor that holds the lock, for the rest of the process's life:
// the kernel drops the lock with it, however the process ends.
int heldLock = -1;

}  // namespace

CacheLock::State RealCacheLock::tryLock(std::string* error) {
  if (heldLock != -1)
    return State::Acquired;
  std::string path = cacheDir_ + ".lock";
  // Read access is all that flock needs: a lock file that a run under a
  // umask such as 0277 left read-only still locks. A FIFO at the name must
  // not block the opening for read.
  int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
  if (fd == -1) {
    *error = fill(tr("Cannot use the install agent cache: {1}: {2}"), {path, strerror(errno)});
    return State::Failed;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int reason = errno;
    close(fd);
    if (reason == EWOULDBLOCK)
      return State::Busy;
    *error = fill(tr("Cannot lock the install agent cache: {1}: {2}"), {path, strerror(reason)});
    return State::Failed;
  }
  heldLock = fd;
  return State::Acquired;
}
