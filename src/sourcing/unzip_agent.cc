#include "sourcing/unzip_agent.h"

#include <sys/stat.h>

#include <exception>

#include "platform/shell.h"

bool unzipInstallAgent(std::string archive, std::string destination,
                       std::string program, ErrorCallback report) {
  struct stat st;
  if (stat(archive.c_str(), &st) != 0)
    return false;
  std::string cmdline = smart_quote(program) + " -qq -o " + smart_quote(archive) +
                        " -d " + smart_quote(destination);
  try {
    if (call_system(program, cmdline) == 0)
      return true;
  } catch (const std::exception&) {
    return false;
  }
  report("Failed to unzip the install agent", true);
  return false;
}
