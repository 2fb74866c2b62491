// The cache's validation string: the ETag of the download that filled the
// cache, stored as its bytes alone (no newline) in ".validatestring" beside
// the cache agent directory. Only the first line is ever compared, byte for
// byte, so a stored value holding a newline never validates again.
#include "sourcing/validation.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/constants.h"
#include "platform/temp_dir.h"

namespace {

// No ETag that the transfer accepts (its header lines are bounded by 100
// KiB) is longer; a first line longer than this is no validation string.
const size_t kMaxValidationLine = 100 * 1024;

// Servers refuse request header lines longer than about 8 KiB; no ETag a
// server means to be sent back comes near this.
const size_t kMaxSentValidationString = 4096;

bool isBlankByte(unsigned char c) {
  return c == ' ' || c == '\t';
}

std::string validationFile(const std::string& dir) {
  return dir + fileSeparator + validationStringFileName;
}

}  // namespace

std::string readValidationString(std::string dir) {
  // The file may be anything that someone left at its name: a FIFO must not
  // block the run, a link must not lead to /dev/zero or another user's file.
  int fd = open(validationFile(dir).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd == -1)
    return "";
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return "";
  }
  // One byte past the bound tells a first line that is too long.
  std::string content;
  size_t newline = std::string::npos;
  char buffer[16384];
  while (content.size() <= kMaxValidationLine && newline == std::string::npos) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    content.append(buffer, static_cast<size_t>(n));
    newline = content.find('\n', content.size() - static_cast<size_t>(n));
  }
  close(fd);
  std::string line = content.substr(0, newline);
  return line.size() <= kMaxValidationLine ? line : "";
}

std::string sendableValidationString(std::string dir) {
  std::string stored = readValidationString(dir);
  if (stored.empty() || stored.size() > kMaxSentValidationString ||
      isBlankByte(static_cast<unsigned char>(stored.front())) ||
      isBlankByte(static_cast<unsigned char>(stored.back())))
    return "";
  for (char c : stored) {
    auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && byte != '\t') || byte == 0x7f)
      return "";
  }
  return stored;
}

bool isCacheValid(std::string dir, std::string expected) {
  if (!dir.empty() && expected.empty())
    return false;
  return readValidationString(dir) == expected;
}

void writeValidationString(std::string dir, std::string validationString) {
  if (dir.empty() || validationString.empty())
    return;
  // Written beside and renamed into place: whatever stood at the name (a
  // symbolic link, say) is replaced, never written through, and a reader
  // sees the old string or the new one, never part of it.
  std::string path = validationFile(dir);
  std::string temporary = path + ".new";
  unlink(temporary.c_str());
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0)
    return;
  // On disk before its name is: after a power cut the name never stands
  // for an empty or torn file.
  bool whole = writeAll(fd, validationString.data(), validationString.size()) && fsync(fd) == 0;
  if (close(fd) != 0 || !whole || rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return;
  }
  syncPath(dir);
}

void forgetValidationString(std::string dir) {
  if (!dir.empty())
    unlink(validationFile(dir).c_str());
}
