#ifndef INSTALLER_PLATFORM_SHELL_H_
#define INSTALLER_PLATFORM_SHELL_H_

#include <cstdint>
#include <string>

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

/// Runs `cmdline` through `/bin/sh` and waits for it; returns a wait status
/// as system(3) does (-1 when no shell could be started). SIGTERM and SIGHUP
/// meanwhile are passed on to the command. `program` names what the line
/// starts, for the reader.
int call_system(std::string program, std::string cmdline);

/// From now on SIGINT, SIGTERM, SIGHUP and SIGQUIT are noted instead of
/// ending the process at once, so that the caller can leave in order and
/// remove what it made. `call_system` notes them too, meanwhile.
void holdInterruptSignals();

/// The last signal noted (see `holdInterruptSignals`, `call_system`), or 0;
/// clears it.
int takeNotedSignal();

/// Turns a wait status from `call_system` into an exit code: the code of a
/// normal exit, 128 + the signal's number for a killed shell, -1 when no
/// shell could be started.
int exitCodeOfStatus(int status);

/// Creates `path` and every missing directory above it with `mode`.
/// Returns 0, or -1 with errno ENOTDIR when a component is not a directory.
/// A directory that cannot be made is not reported here.
int mkpath(std::string path, uint16_t mode);

#endif  // INSTALLER_PLATFORM_SHELL_H_
