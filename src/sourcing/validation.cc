// The cache's validation string: the ETag of the download that filled the
// cache, stored as its bytes alone (no newline) in ".validatestring" beside
// the cache agent directory. Only the first line is ever compared, byte for
// byte, so a stored value holding a newline never validates again.
#include "sourcing/validation.h"

#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "driver/constants.h"

namespace {

std::string validationFile(const std::string& dir) {
  return dir + fileSeparator + validationStringFileName;
}

}  // namespace

bool isCacheValid(std::string dir, std::string expected) {
  if (!dir.empty() && expected.empty())
    return false;
  std::string path = validationFile(dir);
  struct stat st;
  if (stat(path.c_str(), &st) != 0)
    return false;
  std::ifstream file(path, std::ios::binary);
  if (!file)
    return false;
  std::string line;
  std::getline(file, line);
  return line == expected;
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
  {
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    file << validationString;
    if (!file.flush())
      return;
  }
  if (rename(temporary.c_str(), path.c_str()) != 0)
    unlink(temporary.c_str());
}

void forgetValidationString(std::string dir) {
  if (!dir.empty())
    unlink(validationFile(dir).c_str());
}
