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

/// Where the X library connects for a DISPLAY value.
struct X11Address {
  /// A name or address reached over TCP (brackets kept off an IPv6
  /// literal); empty for a local socket.
  std::string host;
  int display = 0;       ///< N: socket /tmp/.X11-unix/XN, or TCP port 6000 + N
  std::string socket;    ///< a socket named by its path ("/path" or "unix//path")
  bool tcpFallback = false;  ///< ":N": TCP on localhost when the socket is not there
  bool refused = false;  ///< a protocol the X library does not connect with: fails at once
};

/// Reads a DISPLAY value as the X library does: "[protocol/]host:N[.S]",
/// where host may be empty, "unix", a name, an address, "[v6]" or a bare
/// IPv6 address, and protocol "tcp", "inet", "inet6" or "unix"; or the path
/// of a socket, optionally followed by ".S". False for any other form.
bool parseX11Display(const std::string& value, X11Address* address);

/// Sends the X server of `display` an unauthorised connection set-up and
/// waits at most `timeoutMs` for the head of its reply, whatever it says.
/// Unreachable for a value `parseX11Display` does not read.
DisplayAnswer probeX11Display(const std::string& display, int timeoutMs);

/// Connects to the Wayland compositor at `socketPath`, asks for a sync and
/// waits at most `timeoutMs` for the first reply.
DisplayAnswer probeWaylandSocket(const std::string& socketPath, int timeoutMs);

/// What to do about a window, after asking the displays that the toolkit
/// would open, in its order.
struct DisplayChoice {
  enum Verdict {
    Window,       ///< `backend` answered: open it, and only it
    NoWindow,     ///< none is there: the toolkit would fail at once
    Silent,       ///< `display` took the connection and said nothing
    Unjudged,     ///< `display` is one the probe cannot ask: never opened blind
    Interrupted,  ///< a signal was noted while waiting
  };
  Verdict verdict = NoWindow;
  std::string backend;  ///< Window: "wayland" or "x11"
  std::string display;  ///< Silent, Unjudged: the display as the environment names it
};

/// Follows GDK_BACKEND (a comma list of "wayland", "x11" and "*"; unset
/// is "*", Wayland before X), WAYLAND_DISPLAY (a name under
/// XDG_RUNTIME_DIR, "wayland-0" when unset, or an absolute path) and
/// DISPLAY, asking each display the toolkit would try, within `timeoutMs`
/// in all. A display that refuses or is not there is passed to the next,
/// as the toolkit does; the first that answers is chosen.
DisplayChoice chooseDisplay(int timeoutMs);

#endif  // INSTALLER_PLATFORM_DISPLAY_PROBE_H_
