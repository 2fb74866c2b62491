// The agent archive comes from the network: whatever its bytes, unpacking
// must stay inside its directory. Each input is unpacked as a zip archive
// into a fresh directory that lies beside an empty "outside" one; afterwards
// nothing may have appeared outside, and nothing below the target may be
// anything but a file, a directory or a link. Any breach aborts.
#include <dirent.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/temp_dir.h"
#include "sourcing/zip_extract.h"

namespace {

// One directory for the whole run: "archive", "outside/" and a fresh
// "target/" for each input.
const std::string& scratchDir() {
  static const std::string* dir = [] {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                          "/fuzz-unzip.XXXXXX";
    char* made = mkdtemp(&pattern[0]);
    if (made == nullptr)
      abort();
    std::string* path = new std::string(made);
    mkdir((*path + "/outside").c_str(), 0700);
    atexit([] { removeTree(scratchDir()); });
    return path;
  }();
  return *dir;
}

size_t entriesIn(const std::string& dir) {
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr)
    abort();
  size_t count = 0;
  while (struct dirent* entry = readdir(listing)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..")
      ++count;
  }
  closedir(listing);
  return count;
}

// Everything below `dir` is a file, a directory or a link.
void checkKinds(const std::string& dir) {
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr)
    return;  // a directory the archive made unreadable
  while (struct dirent* entry = readdir(listing)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..")
      continue;
    std::string path = dir + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
      abort();
    if ((st.st_mode & (S_ISUID | S_ISGID)) != 0) {
      fprintf(stderr, "setuid or setgid bit on %s\n", path.c_str());
      abort();
    }
    if (S_ISDIR(st.st_mode))
      checkKinds(path);
    else if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
      abort();
  }
  closedir(listing);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& scratch = scratchDir();
  std::string archive = scratch + "/archive";
  std::string target = scratch + "/target";
  int fd = open(archive.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd == -1 || write(fd, data, size) != static_cast<ssize_t>(size))
    abort();
  if (mkdir(target.c_str(), 0700) != 0)
    abort();
  int dirFd = open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::string why = extractZip(fd, dirFd);
  close(dirFd);
  close(fd);
  if (entriesIn(scratch) != 3 || entriesIn(scratch + "/outside") != 0) {
    fprintf(stderr, "an entry got out of its directory (%s)\n", why.c_str());
    abort();
  }
  checkKinds(target);
  if (!removeTree(target))
    abort();
  return 0;
}
