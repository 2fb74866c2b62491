// Quoting for /bin/sh.
//
// Every command line this program builds goes through the shell, so every
// path and every user argument must come out of the shell exactly as it went
// in. Three renderings keep ordinary command lines as they have always been
// and make the rest exact:
//   - a word of only literal characters (letters, digits, `_-./,:+=@%`) is
//     left bare;
//   - a word whose only other characters are blanks or tabs is wrapped in
//     double quotes; nothing inside needs escaping then;
//   - any other word is wrapped in single quotes, the one quoting in which
//     the shell interprets nothing, with each single quote written as '\''.
// Bytes of 0x80 and above are not literal: single quotes keep them away from
// a shell that reads them as part of a multibyte character.
#include "platform/shell.h"

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool isLiteral(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
    return true;
  switch (c) {
    case '_': case '-': case '.': case '/': case ',': case ':':
    case '+': case '=': case '@': case '%':
      return true;
    default:
      return false;
  }
}

bool isBlank(unsigned char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::string smart_quote(std::string text) {
  bool hasBlank = false;
  bool hasSpecial = false;
  for (unsigned char c : text) {
    if (isBlank(c))
      hasBlank = true;
    else if (!isLiteral(c))
      hasSpecial = true;
  }
  if (!hasSpecial)
    return hasBlank ? "\"" + text + "\"" : text;

  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  quoted += '\'';
  return quoted;
}

std::string quotePath(const std::string& path) {
  return smart_quote(!path.empty() && path[0] == '-' ? "./" + path : path);
}

std::string argv2cmdline(int argc, const char* const* argv) {
  std::string line;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    line += arg.empty() ? "\"\"" : smart_quote(arg);
    line += ' ';
  }
  return line;
}

// A command runs in a process group of its own, which takes over the
// terminal while it runs, as a shell's job would: a Ctrl-C or a prompt of
// the agent's reaches the agent and not this process. SIGTERM and SIGHUP
// sent to this process alone are passed on to the whole group, so that the
// command (not only its outer shell) ends first and this process can still
// clean up after it. Signals that arrive meanwhile are noted for the caller.
namespace {

volatile sig_atomic_t runningGroup = 0;
volatile sig_atomic_t notedSignal = 0;

void onSignalDuringCommand(int sig) {
  notedSignal = sig;
  if (runningGroup > 0)
    kill(-static_cast<pid_t>(runningGroup), sig);
}

const int kCommandSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};
const int kCommandSignalCount = 4;

// In the child: its own group, in front on the terminal when this process
// was, then the shell with every signal at its default.
[[noreturn]] void execInOwnGroup(const std::string& cmdline, bool takeTerminal) {
  setpgid(0, 0);
  if (takeTerminal) {
    // A background group may not take the terminal unless SIGTTOU is held.
    signal(SIGTTOU, SIG_IGN);
    tcsetpgrp(0, getpgrp());
  }
  for (int sig = 1; sig < NSIG; ++sig)
    signal(sig, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execl("/bin/sh", "sh", "-c", cmdline.c_str(), static_cast<char*>(nullptr));
  _exit(127);
}

}  // namespace

int call_system(std::string /*program*/, std::string cmdline) {
  sigset_t held, previousMask;
  sigemptyset(&held);
  for (int sig : kCommandSignals)
    sigaddset(&held, sig);
  sigprocmask(SIG_BLOCK, &held, &previousMask);

  struct sigaction passOn = {};
  passOn.sa_handler = onSignalDuringCommand;
  sigemptyset(&passOn.sa_mask);
  struct sigaction saved[kCommandSignalCount];
  for (int i = 0; i < kCommandSignalCount; ++i)
    sigaction(kCommandSignals[i], &passOn, &saved[i]);

  bool foreground = isatty(0) && tcgetpgrp(0) == getpgrp();
  int status = -1;
  pid_t pid = fork();
  if (pid == 0)
    execInOwnGroup(cmdline, foreground);
  if (pid > 0) {
    setpgid(pid, pid);  // also here, so the group exists before any signal
    runningGroup = pid;
    sigprocmask(SIG_SETMASK, &previousMask, nullptr);
    while (waitpid(pid, &status, 0) == -1 && errno == EINTR) {
    }
    sigprocmask(SIG_BLOCK, &held, nullptr);
    runningGroup = 0;
    if (foreground) {
      struct sigaction ignore = {}, savedTtou;
      ignore.sa_handler = SIG_IGN;
      sigaction(SIGTTOU, &ignore, &savedTtou);
      tcsetpgrp(0, getpgrp());
      sigaction(SIGTTOU, &savedTtou, nullptr);
    }
  }
  for (int i = 0; i < kCommandSignalCount; ++i)
    sigaction(kCommandSignals[i], &saved[i], nullptr);
  sigprocmask(SIG_SETMASK, &previousMask, nullptr);
  return status;
}

void holdInterruptSignals() {
  struct sigaction note = {};
  note.sa_handler = onSignalDuringCommand;
  sigemptyset(&note.sa_mask);
  for (int sig : kCommandSignals)
    sigaction(sig, &note, nullptr);
}

int takeNotedSignal() {
  int sig = notedSignal;
  notedSignal = 0;
  return sig;
}

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
