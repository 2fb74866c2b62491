#include "platform/location.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <vector>

namespace {

std::string resourceDirectory;  // set by a single-file installer's payload

// The link's whole target: a path cut short would name an ancestor of the
// real directory, and with it another installer's agent and bundle.
std::string readWholeLink(const char* link) {
  std::vector<char> buffer(256);
  for (;;) {
    ssize_t length = readlink(link, buffer.data(), buffer.size());
    if (length == -1)
      return "";
    if (static_cast<size_t>(length) < buffer.size())
      return std::string(buffer.data(), static_cast<size_t>(length));
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace

std::string getPathToExecutable() {
  std::string path = readWholeLink("/proc/self/exe");
  if (!path.empty())
    return path;
  // Chroots and build sandboxes often have no /proc. The kernel hands every
  // program the name it was started by; resolved against the working
  // directory, which nothing has changed yet, it is the same file.
  const char* name = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
  if (name == nullptr)
    return "";
  char* resolved = realpath(name, nullptr);
  if (resolved == nullptr)
    return "";
  path = resolved;
  free(resolved);
  return path;
}

std::string directoryOf(const std::string& path) {
  size_t separator = path.find_last_of("/\\");
  if (separator == std::string::npos)
    return path;
  if (separator == 0)
    return path.substr(0, 1);  // the root is a directory like any other
  return path.substr(0, separator);
}

std::string joinPath(const std::string& dir, const std::string& name) {
  if (dir.empty() || dir.back() == '/')
    return dir + name;
  return dir + "/" + name;
}

std::string getDirectoryOfExecutable() { return directoryOf(getPathToExecutable()); }

std::string getBundleLocation() {
  return resourceDirectory.empty() ? getDirectoryOfExecutable() : resourceDirectory;
}

void setResourceDirectory(const std::string& dir) { resourceDirectory = dir; }

bool resourcesArePrivate() { return !resourceDirectory.empty(); }
