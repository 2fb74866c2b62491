// Signals and commands.
//
// The agent runs the way system(3) runs a command: in this process's group,
// so that it belongs to the user's job. Ctrl-Z stops the whole job and `fg`
// resumes it, Ctrl-C reaches the agent, and an agent of a background job
// that reads the terminal is stopped and resumed by the shell like any
// other. While it runs, SIGINT and SIGQUIT (which the terminal sends to the
// whole job) are only noted; SIGTERM and SIGHUP, which may be sent to this
// process alone, are passed on to it, so that it ends first and this
// process can still clean up after it.
//
// Outside commands the four are noted for the caller, and a pipe turns each
// into something a main loop can watch.
//
// Signals that were ignored when the process started (nohup, trap '' HUP)
// stay ignored, here and in every command. SIGPIPE is ignored here, so that
// output that goes away is a failed write rather than a sudden death;
// commands get it back as they would have had it.
//
// SIGCHLD is the exception: a launcher that ignores it (some daemons do)
// makes the kernel reap every child at once, and each wait then fails with
// ECHILD, here and in the agent's own shell. So it is set back to its
// default at the start and every command gets it at its default. A mask
// inherited with the signals above blocked would leave a cancel unseen;
// they are unblocked at the start too.
#include "platform/shell.h"

#include "platform/last_resort.h"
#include "platform/time_zone.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

namespace {

const int kInterruptSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};
const int kInterruptSignalCount = sizeof kInterruptSignals / sizeof kInterruptSignals[0];

volatile sig_atomic_t notedSignal = 0;
volatile sig_atomic_t commandPid = 0;  // the running command; 0 when none
int wakePipe[2] = {-1, -1};

bool startRecorded = false;
sigset_t ignoredAtStart;

// What the process was given, before anything here changes it.
void recordStartingDispositions() {
  if (startRecorded)
    return;
  startRecorded = true;
  sigemptyset(&ignoredAtStart);
  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction current;
    if (sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
      sigaddset(&ignoredAtStart, sig);
  }
  if (sigismember(&ignoredAtStart, SIGCHLD)) {
    sigdelset(&ignoredAtStart, SIGCHLD);
    signal(SIGCHLD, SIG_DFL);
  }
}

// The signals this process handles must reach it, whatever mask it was
// started with.
void unblockHandledSignals() {
  sigset_t handled;
  sigemptyset(&handled);
  for (int sig : kInterruptSignals)
    sigaddset(&handled, sig);
  sigaddset(&handled, SIGCHLD);
  sigprocmask(SIG_UNBLOCK, &handled, nullptr);
}

void onInterrupt(int sig) {
  int savedErrno = errno;
  notedSignal = sig;
  // The main thread may be stuck where it cannot see the note (a display
  // that stopped answering): the last resort ends the run if it has not
  // ended by itself in a few seconds.
  startLastResortTimer();
  pid_t command = commandPid;
  if (command > 0 && (sig == SIGTERM || sig == SIGHUP))
    kill(command, sig);
  if (wakePipe[1] >= 0) {
    char byte = static_cast<char>(sig);
    ssize_t ignored = write(wakePipe[1], &byte, 1);  // a full pipe is awake already
    (void)ignored;
  }
  errno = savedErrno;
}

void noteInterrupts() {
  struct sigaction note = {};
  note.sa_handler = onInterrupt;
  note.sa_flags = SA_RESTART;
  sigemptyset(&note.sa_mask);
  for (int sig : kInterruptSignals) {
    if (!sigismember(&ignoredAtStart, sig))
      sigaction(sig, &note, nullptr);
  }
}

}  // namespace

int runCommand(const std::vector<std::string>& args, const std::function<void()>& started) {
  recordStartingDispositions();
  std::vector<char*> argv;
  for (const std::string& arg : args)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  if (args.empty())
    return -1;

  // The child starts with the dispositions the process started with and
  // nothing blocked. It is started without copying this process (the
  // parent waits until it has run the program or failed to), which on a
  // large process is the difference between a fork's page tables and none.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t toDefault, none;
  sigfillset(&toDefault);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sigismember(&ignoredAtStart, sig))
      sigdelset(&toDefault, sig);
  }
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &toDefault);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  sigset_t held, previousMask;
  sigemptyset(&held);
  for (int sig : kInterruptSignals)
    sigaddset(&held, sig);
  sigprocmask(SIG_BLOCK, &held, &previousMask);
  struct sigaction saved[kInterruptSignalCount];
  for (int i = 0; i < kInterruptSignalCount; ++i)
    sigaction(kInterruptSignals[i], nullptr, &saved[i]);
  noteInterrupts();

  int status = -1;
  pid_t pid = -1;
  int startError = posix_spawn(&pid, argv[0], nullptr, &attr, argv.data(),
                               environmentForCommands());
  posix_spawnattr_destroy(&attr);
  if (startError == 0) {
    commandPid = pid;
    sigprocmask(SIG_SETMASK, &previousMask, nullptr);
    if (started)
      started();
    while (waitpid(pid, &status, 0) == -1 && errno == EINTR) {
    }
    sigprocmask(SIG_BLOCK, &held, nullptr);
    commandPid = 0;
  }
  for (int i = 0; i < kInterruptSignalCount; ++i)
    sigaction(kInterruptSignals[i], &saved[i], nullptr);
  sigprocmask(SIG_SETMASK, &previousMask, nullptr);
  if (startError != 0) {
    errno = startError;
    return -1;
  }
  return status;
}

void holdInterruptSignals() {
  if (!startRecorded) {
    recordStartingDispositions();
    signal(SIGPIPE, SIG_IGN);
  }
  unblockHandledSignals();
  if (wakePipe[0] == -1 && pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
    wakePipe[0] = wakePipe[1] = -1;
  noteInterrupts();
}

int interruptSignalFd() { return wakePipe[0]; }

int takeNotedSignal() {
  int sig = notedSignal;
  notedSignal = 0;
  return sig;
}

bool signalNoted() { return notedSignal != 0; }

bool commandIsRunning() { return commandPid != 0; }

int exitCodeOfStatus(int status) {
  if (status == -1)
    return -1;
  if (WIFEXITED(status))
    return WEXITSTATUS(status);
  if (WIFSIGNALED(status))
    return 128 + WTERMSIG(status);
  return -1;
}

namespace {

// Creates `prefix` when missing; -1 with ENOTDIR when it is something else.
int ensureDirectory(const std::string& prefix, uint16_t mode) {
  struct stat st;
  if (stat(prefix.c_str(), &st) != 0) {
    mkdir(prefix.c_str(), mode);  // failures surface when the path is used
    return 0;
  }
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return -1;
  }
  return 0;
}

}  // namespace

int mkpath(std::string path, uint16_t mode) {
  for (size_t slash = path.find('/'); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    if (slash == 0 || path[slash - 1] == '/')
      continue;  // the root, or the empty component of a doubled "/"
    if (ensureDirectory(path.substr(0, slash), mode) != 0)
      return -1;
  }
  if (path.empty())
    return 0;
  return ensureDirectory(path, mode);
}
