// Built once per executable: INSTALLER_TEST_HOLDS is 1 only in the builds
// that the tests run, so the shipped installer reads no such variable.
#include "platform/test_hold.h"

#if INSTALLER_TEST_HOLDS
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "platform/shell.h"

namespace {

void writeFile(const std::string& path, const std::string& content) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd == -1)
    return;
  ssize_t written = write(fd, content.data(), content.size());
  (void)written;
  close(fd);
}

}  // namespace

void holdForTests(const char* point, int count) {
  const char* wanted = getenv("INSTALLER_TEST_HOLD");
  const char* pidFile = getenv("INSTALLER_TEST_HOLD_PID");
  if (wanted == nullptr || pidFile == nullptr)
    return;
  std::string here = point;
  if (here == "entries")
    here += ":" + std::to_string(count);
  bool mark = strcmp(wanted, "start") == 0 && here == "before";
  if (here != wanted && !mark)
    return;
  writeFile(pidFile, std::to_string(getpid()) + "\n");
  if (mark)
    return;
  std::string holding = std::string(pidFile) + ".holding";
  writeFile(holding, "");
  // Held until killed, or released by the test removing the file; a noted
  // signal lets the run go on to leave in order.
  for (int i = 0; i < 6000 && !signalNoted() && access(holding.c_str(), F_OK) == 0; ++i)
    usleep(10000);
}
#else
void holdForTests(const char*, int) {}
#endif
