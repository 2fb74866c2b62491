// The entry of the window's module: GTK is loaded only with it, so a run
// without a display (or a machine without GTK) never needs it.
#include <gtk/gtk.h>

#include "download/download_loop.h"
#include "download/download_view.h"

DownloadView* installerOpenWindowView() {
  if (!gtk_init_check(nullptr, nullptr))
    return nullptr;
  return makeWindowView().release();
}
