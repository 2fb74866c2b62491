#ifndef INSTALLER_PLATFORM_LAST_RESORT_H_
#define INSTALLER_PLATFORM_LAST_RESORT_H_

#include <string>
#include <vector>

/// The way out when the main thread cannot take the ordinary one: blocked
/// in a write or a round trip to a display that has stopped answering (an
/// X server stopped with SIGSTOP, a frozen compositor), it never sees a
/// noted signal. While the last resort is armed, a noted SIGINT, SIGQUIT,
/// SIGTERM or SIGHUP starts a timer; if the run has not ended when it runs
/// out, its handler removes `files` and the tree at `directory`, says
/// "Cancelled." and "Installation failed." and ends the process with 255, all with
/// async-signal-safe calls on paths set down here in advance.

/// The run's working directory, removed with everything in it; set once it
/// exists, before anything arms the last resort.
void setLastResortDirectory(const std::string& directory);

/// Arms it for the working directory and the `files` that a download may
/// have made (outside it too, as in test mode).
void armLastResort(const std::vector<std::string>& files);

/// Disarms it: the run can end by itself again. Stops a running timer.
void disarmLastResort();

/// From the signal handler: starts the timer when armed and not started
/// yet. Async-signal-safe.
void startLastResortTimer();

/// Removes the tree at `path` (its directories, files and links, never
/// following a link) with async-signal-safe calls only. For tests.
void removeTreeFromSignalHandler(const char* path);

#endif  // INSTALLER_PLATFORM_LAST_RESORT_H_
