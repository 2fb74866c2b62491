#ifndef INSTALLER_PLATFORM_SHELL_H_
#define INSTALLER_PLATFORM_SHELL_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

/// Runs the program at the path args[0] with `args` and waits, without a
/// shell, as system(3) does: in this process's group and so in the user's
/// job, SIGINT and SIGQUIT only noted (the terminal sends them to the whole
/// job), SIGTERM and SIGHUP passed on to it. Returns the wait status, or -1
/// with errno set when the program could not be started. `started`, when
/// given, runs once the program has started, while it runs.
int runCommand(const std::vector<std::string>& args,
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

/// Turns a wait status from `runCommand` into an exit code: the code of a
/// normal exit, 128 + the signal's number for a killed shell, -1 when no
/// shell could be started.
int exitCodeOfStatus(int status);

/// Creates `path` and every missing directory above it with `mode`.
/// Returns 0, or -1 with errno ENOTDIR when a component is not a directory.
/// A directory that cannot be made is not reported here.
int mkpath(std::string path, uint16_t mode);

#endif  // INSTALLER_PLATFORM_SHELL_H_
