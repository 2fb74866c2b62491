#ifndef INSTALLER_PLATFORM_SHELL_H_
#define INSTALLER_PLATFORM_SHELL_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

/// Renders one word for a `/bin/sh` command line so that the shell yields
/// exactly `text`. Words of only literal characters come back bare, words
/// whose only special characters are blanks or tabs come back in double
/// quotes, anything else in single quotes. The empty text comes back empty.
std::string smart_quote(std::string text);

/// `smart_quote` for a path that a command takes as an operand: one that
/// starts with "-" (a relative one) gets "./" first, so that it is never
/// read as an option.
std::string quotePath(const std::string& path);

/// Joins argv[1..argc-1] into a command-line tail, each argument rendered
/// like `smart_quote` (an empty one as `""`) and followed by one blank.
std::string argv2cmdline(int argc, const char* const* argv);

/// Runs `cmdline` through `/bin/sh -c` and waits for it, in a process
/// group of its own that stays in the background, with the signal
/// dispositions the process started with. Returns the wait status, -1 when
/// no shell could be started. SIGINT, SIGQUIT, SIGTERM and SIGHUP meanwhile
/// are noted and passed on to the whole group. `program` names what the
/// line starts, for the reader.
int call_system(std::string program, std::string cmdline);

/// Runs the program at the path args[0] with `args` and waits, without a
/// shell. In `ownGroup`, as `call_system` does; otherwise as system(3)
/// does, in this process's group and so in the user's job: SIGINT and
/// SIGQUIT are only noted (the terminal sends them to the whole job),
/// SIGTERM and SIGHUP are passed on to it. Returns the wait status, or -1
/// with errno set when the program could not be started. `started`, when
/// given, runs once the program has started, while it runs.
int runCommand(const std::vector<std::string>& args, bool ownGroup,
               const std::function<void()>& started = nullptr);

/// From now on SIGINT, SIGQUIT, SIGTERM and SIGHUP are noted instead of
/// ending the process, so that the caller can leave in order and remove
/// what it made; those ignored when the process started stay ignored, and
/// SIGPIPE is ignored. Call it first thing.
void holdInterruptSignals();

/// A descriptor that becomes readable when a signal is noted (drain it
/// before waiting again); -1 before `holdInterruptSignals`.
int interruptSignalFd();

/// The last signal noted (see `holdInterruptSignals`), or 0; clears it.
int takeNotedSignal();

/// True when a signal has been noted and not yet taken: for a wait that
/// must give way to the user leaving.
bool signalNoted();

/// True while `runCommand` waits for a program. Async-signal-safe.
bool commandIsRunning();

/// Turns a wait status from `call_system` into an exit code: the code of a
/// normal exit, 128 + the signal's number for a killed shell, -1 when no
/// shell could be started.
int exitCodeOfStatus(int status);

/// Creates `path` and every missing directory above it with `mode`.
/// Returns 0, or -1 with errno ENOTDIR when a component is not a directory.
/// A directory that cannot be made is not reported here.
int mkpath(std::string path, uint16_t mode);

#endif  // INSTALLER_PLATFORM_SHELL_H_
