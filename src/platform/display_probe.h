#ifndef INSTALLER_PLATFORM_DISPLAY_PROBE_H_
#define INSTALLER_PLATFORM_DISPLAY_PROBE_H_

#include <string>

/// What a display server did when asked for a connection.
enum class DisplayAnswer {
  Answered,     ///< it replied: opening a window there will not hang
  Silent,       ///< no reply in time: opening a window there would hang
  Unreachable,  ///< nothing listens, or it hung up: the toolkit fails fast there
  Interrupted,  ///< a signal was noted while waiting
};

/// Where the X server of a DISPLAY value listens.
struct X11Address {
  std::string host;  ///< a name or address reached over TCP; empty for the local socket
  int display = 0;   ///< N: socket /tmp/.X11-unix/XN, or TCP port 6000 + N
};

/// Reads a DISPLAY value: ":N", "unix:N", "host:N", "[::1]:N" or "::1:N",
/// each with an optional ".S". False for any other form.
bool parseX11Display(const std::string& value, X11Address* address);

/// Sends the X server of `display` an unauthorised connection set-up and
/// waits at most `timeoutMs` for the head of its reply, whatever it says.
/// Unreachable for a value `parseX11Display` does not read.
DisplayAnswer probeX11Display(const std::string& display, int timeoutMs);

/// Connects to the Wayland compositor at `socketPath`, asks for a sync and
/// waits at most `timeoutMs` for the first reply.
DisplayAnswer probeWaylandSocket(const std::string& socketPath, int timeoutMs);

/// Asks the display that the toolkit would open (WAYLAND_DISPLAY first, then
/// DISPLAY), within `timeoutMs` in all. False when a window must not be
/// tried: `silent` then names the display that did not answer, or is empty
/// when a signal was noted.
bool displayMayOpenWindow(int timeoutMs, std::string* silent);

#endif  // INSTALLER_PLATFORM_DISPLAY_PROBE_H_
