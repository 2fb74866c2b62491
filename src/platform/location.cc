#include "platform/location.h"

#include <unistd.h>

std::string getPathToExecutable() {
  char buffer[1024] = {};
  ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length == -1)
    return "";
  return std::string(buffer, static_cast<size_t>(length));
}

std::string directoryOf(const std::string& path) {
  size_t separator = path.find_last_of("/\\");
  if (separator == std::string::npos)
    return path;
  return path.substr(0, separator);
}

std::string getDirectoryOfExecutable() {
  return directoryOf(getPathToExecutable());
}

std::string getBundleLocation() { return getDirectoryOfExecutable(); }
