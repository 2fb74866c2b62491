// The entry of the window's module: GTK is loaded only with it, so a run
// without a display (or a machine without GTK) never needs it.
#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include "download/download_handoff.h"
#include "download/download_loop.h"
#include "download/download_view.h"
#include "driver/error_report.h"
#include "platform/temp_dir.h"

namespace {

// The X server went away under the window. Xlib ends the process as soon as
// this returns, and GDK's own handler would end it with status 1, which
// reads as the agent's, leaving the download's partial file behind. So the
// run ends here, the way every other failure ends it. The agent starts only
// after the window is gone, so none has started yet.
int onDisplayLost(Display* /*display*/) {
  if (!downloadTo.empty()) {
    unlink((downloadTo + ".partial").c_str());
    unlink(downloadTo.c_str());
  }
  removeTempDirsNow();
  report_error_main("The connection to the display was lost.", true);
  report_error_main("Installation failed.", true);
  _exit(255);
}

}  // namespace

DownloadView* installerOpenWindowView() {
  if (!gtk_init_check(nullptr, nullptr))
    return nullptr;
  GdkDisplay* display = gdk_display_get_default();
  if (display != nullptr && GDK_IS_X11_DISPLAY(display))
    XSetIOErrorHandler(onDisplayLost);
  return makeWindowView().release();
}

DownloadView* installerOpenWindowViewOn(const char* backend) {
  // Only the display that answered may be opened: another one GTK would
  // try first or next has not been asked, and could hold it for ever.
  gdk_set_allowed_backends(backend);
  return installerOpenWindowView();
}
