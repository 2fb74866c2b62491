// Every word a user or a path can hold must come out of /bin/sh exactly as
// it went into smart_quote and argv2cmdline. The input is split at NUL bytes
// into words (an argument can never hold NUL); each command line built from
// them is run by the real /bin/sh, whose printf writes every argument back
// NUL-terminated, and the bytes must match. Any difference aborts.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/shell.h"

namespace {

// A fixed first argument: printf with no argument would still print its
// format once, and that must not look like one empty word.
const char kMarker[] = "m";
const std::string kPrefix = std::string("printf '%s\\0' ") + kMarker + " ";

// More output than any bounded input can yield through a correct line means
// the shell is expanding something it should not; stop reading there.
const size_t kOutputLimit = 1 << 20;

[[noreturn]] void fail(const char* what, const std::string& line, const std::string& expected,
                       const std::string& got) {
  fprintf(stderr, "%s\ncommand line (%zu bytes): ", what, line.size());
  fwrite(line.data(), 1, line.size(), stderr);
  fprintf(stderr, "\nexpected %zu bytes, got %zu bytes\n", expected.size(), got.size());
  for (size_t i = 0; i < expected.size() || i < got.size(); ++i) {
    if (i >= expected.size() || i >= got.size() || expected[i] != got[i]) {
      fprintf(stderr, "first difference at byte %zu\n", i);
      break;
    }
  }
  abort();
}

// Runs `line` with /bin/sh -c and returns its standard output; aborts when
// the shell cannot be run or does not end with status 0.
std::string runShell(const std::string& line) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    perror("pipe2");
    abort();
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  const char* argv[] = {"sh", "-c", line.c_str(), nullptr};
  pid_t pid;
  // printf is built into the shell; with no PATH, a quoting fault cannot
  // reach any other program the fuzzer's words might name.
  const char* envp[] = {"PATH=/nonexistent", nullptr};
  int err = posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char* const*>(argv),
                        const_cast<char* const*>(envp));
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (err != 0) {
    fprintf(stderr, "cannot start /bin/sh: %d\n", err);
    abort();
  }
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t n = read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    out.append(buf, static_cast<size_t>(n));
    if (out.size() > kOutputLimit) {
      kill(pid, SIGKILL);
      break;
    }
  }
  close(fds[0]);
  int status;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      perror("waitpid");
      abort();
    }
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    fail("the shell did not succeed", line, "", out);
  return out;
}

void expectWords(const std::string& line, const std::vector<std::string>& words) {
  std::string expected = std::string(kMarker) + '\0';
  for (const std::string& w : words) {
    expected += w;
    expected += '\0';
  }
  std::string got = runShell(line);
  if (got != expected)
    fail("the shell's words differ from the quoted ones", line, expected, got);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> words;
  std::string word;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == '\0') {
      words.push_back(word);
      word.clear();
    } else {
      word += static_cast<char>(data[i]);
    }
  }
  words.push_back(word);

  // argv2cmdline: every word, the empty ones too, after a program name.
  std::vector<const char*> argv = {"installer"};
  for (const std::string& w : words)
    argv.push_back(w.c_str());
  expectWords(kPrefix + argv2cmdline(static_cast<int>(argv.size()), argv.data()), words);

  // smart_quote alone: the empty word is documented to vanish, so only the
  // others are sent, one blank apart as a caller would join them.
  std::vector<std::string> nonEmpty;
  std::string line = kPrefix;
  for (const std::string& w : words) {
    if (w.empty())
      continue;
    nonEmpty.push_back(w);
    line += smart_quote(w);
    line += ' ';
  }
  expectWords(line, nonEmpty);
  return 0;
}
