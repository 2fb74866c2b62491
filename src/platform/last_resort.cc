// Everything the timer's handler touches is set down before it can run:
// C strings in memory that is never freed while armed, and a flag. The
// handler uses only calls that are async-signal-safe (unlinkat, openat,
// getdents64 through syscall, close, write, alarm, _exit); getdents64 and
// syscall are not in POSIX's list, but on Linux both are a bare system call
// with no lock or allocation. A run that is busy in a command of its own
// (the signal was passed on to it, and it ends) is given another second
// rather than having its files taken from under it.
#include "platform/last_resort.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/shell.h"
#include "platform/translation.h"

namespace {

// Long enough for any ordinary cancel, which ends well within a second;
// short enough that the user sees the signal obeyed.
const unsigned kGraceSeconds = 3;
const int kMaxFiles = 8;
const int kMaxDepth = 32;

volatile sig_atomic_t armed = 0;
volatile sig_atomic_t timerStarted = 0;
// Owned copies; replaced only while disarmed.
char* directoryPath = nullptr;
char* filePaths[kMaxFiles] = {};
int fileCount = 0;
struct sigaction savedAlarmAction;

char* copyOf(const std::string& text) {
  char* copy = new char[text.size() + 1];
  memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

void forgetFiles() {
  for (int i = 0; i < fileCount; ++i) {
    delete[] filePaths[i];
    filePaths[i] = nullptr;
  }
  fileCount = 0;
}

struct LinuxDirent64 {
  uint64_t ino;
  int64_t off;
  unsigned short reclen;
  unsigned char type;
  char name[1];  // as long as the record says
};

// True when `name` is gone.
bool removeAt(int parentFd, const char* name, int depth) {
  if (unlinkat(parentFd, name, 0) == 0 || errno == ENOENT)
    return true;
  if (depth >= kMaxDepth)
    return false;
  int fd = openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0)
    return false;
  // Entries go while the directory is read, so it is read again from the
  // start until a pass removes nothing more.
  alignas(8) char buffer[2048];
  for (bool removed = true; removed;) {
    removed = false;
    lseek(fd, 0, SEEK_SET);
    for (;;) {
      long n = syscall(SYS_getdents64, fd, buffer, sizeof buffer);
      if (n <= 0)
        break;
      for (long at = 0; at < n;) {
        const auto* entry = reinterpret_cast<const LinuxDirent64*>(buffer + at);
        const char* entryName = buffer + at + offsetof(LinuxDirent64, name);
        at += entry->reclen;
        if (strcmp(entryName, ".") != 0 && strcmp(entryName, "..") != 0 &&
            removeAt(fd, entryName, depth + 1))
          removed = true;
      }
    }
  }
  close(fd);
  return unlinkat(parentFd, name, AT_REMOVEDIR) == 0;
}

void onTimer(int) {
  // An alarm of someone else's (one inherited across exec) is no signal to
  // leave.
  if (!armed || !timerStarted)
    return;
  if (commandIsRunning()) {
    alarm(1);
    return;
  }
  for (int i = 0; i < fileCount; ++i) unlink(filePaths[i]);
  if (directoryPath != nullptr)
    removeTreeFromSignalHandler(directoryPath);
  // A noted signal is the user's cancel. The lookup of the texts reads
  // only memory that was set before any signal: safe here.
  for (const char* text : {tr("Cancelled."), "\n", tr("Installation failed."), "\n"}) {
    ssize_t ignored = write(STDERR_FILENO, text, strlen(text));
    (void)ignored;
  }
  _exit(255);
}

}  // namespace

void removeTreeFromSignalHandler(const char* path) { removeAt(AT_FDCWD, path, 0); }

void setLastResortDirectory(const std::string& directory) {
  disarmLastResort();
  delete[] directoryPath;
  directoryPath = directory.empty() ? nullptr : copyOf(directory);
}

void armLastResort(const std::vector<std::string>& files) {
  disarmLastResort();
  forgetFiles();
  for (const std::string& file : files) {
    if (fileCount < kMaxFiles && !file.empty())
      filePaths[fileCount++] = copyOf(file);
  }
  struct sigaction onAlarm = {};
  onAlarm.sa_handler = onTimer;
  sigemptyset(&onAlarm.sa_mask);
  sigaction(SIGALRM, &onAlarm, &savedAlarmAction);
  sigset_t alarmOnly;
  sigemptyset(&alarmOnly);
  sigaddset(&alarmOnly, SIGALRM);
  sigprocmask(SIG_UNBLOCK, &alarmOnly, nullptr);
  timerStarted = 0;
  armed = 1;
}

void disarmLastResort() {
  if (!armed)
    return;
  armed = 0;
  alarm(0);
  sigaction(SIGALRM, &savedAlarmAction, nullptr);
  timerStarted = 0;
}

void startLastResortTimer() {
  if (!armed || timerStarted)
    return;
  timerStarted = 1;
  alarm(kGraceSeconds);
}
