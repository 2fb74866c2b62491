// The entry of the window's module: GTK is loaded only with it, so a run
// without a display (or a machine without GTK) never needs it.
#include <gdk/gdkwayland.h>
#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#include <poll.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wayland-client.h>

#include "download/download_handoff.h"
#include "download/download_loop.h"
#include "download/download_view.h"
#include "driver/constants.h"
#include "driver/error_report.h"
#include "platform/location.h"
#include "platform/temp_dir.h"
#include "platform/translation.h"

namespace {

// The display went away under the window. The toolkit would end the
// process with status 1, which reads as the agent's, leaving the download's
// partial file behind. So the run ends here, the way every other failure
// ends it. The agent starts only after the window is gone, so none has
// started yet.
[[noreturn]] void endRunForLostDisplay() {
  if (!downloadTo.empty()) {
    for (const char* suffix : {".partial", "", ".sig.partial", ".sig"})
      unlink((downloadTo + suffix).c_str());
  }
  removeTempDirsNow();
  report_error_main(tr("The connection to the display was lost."), true);
  report_error_main(tr("Installation failed."), true);
  _exit(255);
}

// The X server: Xlib ends the process as soon as this returns.
int onDisplayLost(Display* /*display*/) { endRunForLostDisplay(); }


// The Wayland compositor: GDK has no hook for its loss. It logs a message
// in its own domain and calls _exit(1) right after, so the message is the
// last moment to act. Whether the connection is gone is asked of the
// connection itself (an error on it, or the peer hung up), not read from
// the message's words: a message that comes with a live connection is
// GDK's ordinary talk and goes where it always went. The known words are a
// second sign, for a loss the socket does not show yet; should GDK change
// them and the socket say nothing, the run ends as GDK ends it, as before.
bool waylandConnectionLost(GdkDisplay* display) {
  struct wl_display* connection = gdk_wayland_display_get_wl_display(display);
  if (connection == nullptr)
    return false;
  if (wl_display_get_error(connection) != 0)
    return true;
  struct pollfd state = {wl_display_get_fd(connection), 0, 0};
  return poll(&state, 1, 0) == 1 && (state.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

bool soundsLikeALostCompositor(const char* message) {
  for (const char* words : {"Error reading events from display", "Error flushing display",
                            "Lost connection to Wayland compositor", "to Wayland display"}) {
    if (message != nullptr && strstr(message, words) != nullptr)
      return true;
  }
  return false;
}

// GDK logs through GLib's structured writer, which no per-domain handler
// sees; everything else goes on to the writer GLib would have used.
GLogWriterOutput writeLog(GLogLevelFlags level, const GLogField* fields, gsize count,
                          gpointer data) {
  const char* domain = nullptr;
  const char* message = nullptr;
  for (gsize i = 0; i < count; ++i) {
    if (fields[i].length >= 0)
      continue;  // not text
    if (strcmp(fields[i].key, "GLIB_DOMAIN") == 0)
      domain = static_cast<const char*>(fields[i].value);
    else if (strcmp(fields[i].key, "MESSAGE") == 0)
      message = static_cast<const char*>(fields[i].value);
  }
  GdkDisplay* display = gdk_display_get_default();
  if (domain != nullptr && strcmp(domain, "Gdk") == 0 && display != nullptr &&
      GDK_IS_WAYLAND_DISPLAY(display) &&
      (waylandConnectionLost(display) || soundsLikeALostCompositor(message)))
    endRunForLostDisplay();
  return g_log_writer_default(level, fields, count, data);
}

// Two vendors' installers must not be grouped as one program: the X11 class
// and the Wayland app id are the vendor's application id. The name is read
// when the display opens; the class after, since GTK's start sets it from
// the name, capitalised.
const char* programName(const char* appId) {
  return appId != nullptr && *appId != '\0' ? appId : "installer";
}

// On X11 the window carries its icon: the vendor's icon.png beside the
// executable, else the theme's installer icon. (A Wayland compositor takes
// icons from the desktop entry named after the app id instead.)
void setWindowIcon() {
  std::string dir = getBundleLocation();
  struct stat st;
  GdkPixbuf* icon = nullptr;
  if (!dir.empty()) {
    std::string path = dir + fileSeparator + "icon.png";
    if (stat(path.c_str(), &st) == 0)
      icon = gdk_pixbuf_new_from_file(path.c_str(), nullptr);
  }
  if (icon != nullptr) {
    gtk_window_set_default_icon(icon);
    g_object_unref(icon);
  } else {
    gtk_window_set_default_icon_name("system-software-install");
  }
}

DownloadView* openWindowView(const char* appId) {
  const char* name = programName(appId);
  g_set_prgname(name);
  if (!gtk_init_check(nullptr, nullptr))
    return nullptr;
  gdk_set_program_class(appId != nullptr && *appId != '\0' ? appId : "Installer");
  setWindowIcon();
  GdkDisplay* display = gdk_display_get_default();
  if (display != nullptr && GDK_IS_X11_DISPLAY(display)) {
    XSetIOErrorHandler(onDisplayLost);
    // Another program may destroy the window outright (xdotool windowclose,
    // xkill -id) while requests that name it are on their way: the server
    // answers them with BadWindow or BadDrawable, which GDK would turn into
    // exit(1), the temporary directory left. The view learns of the
    // destruction and cancels; the errors are only its echo. So X errors
    // are trapped for the window's whole life, never popped: an installer
    // goes its own way to an end rather than stop in the middle.
    gdk_x11_display_error_trap_push(display);
  }
  // GLib takes a writer once per process.
  static bool writing = false;
  if (display != nullptr && GDK_IS_WAYLAND_DISPLAY(display) && !writing) {
    writing = true;
    g_log_set_writer_func(writeLog, nullptr, nullptr);
  }
  return makeWindowView().release();
}

}  // namespace

DownloadView* installerOpenWindowView() { return openWindowView(installerAppId.c_str()); }

DownloadView* installerOpenWindowViewOn(const char* backend, const char* appId) {
  // Only the display that answered may be opened: another one GTK would
  // try first or next has not been asked, and could hold it for ever.
  gdk_set_allowed_backends(backend);
  return openWindowView(appId);
}
