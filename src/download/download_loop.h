#ifndef INSTALLER_DOWNLOAD_DOWNLOAD_LOOP_H_
#define INSTALLER_DOWNLOAD_DOWNLOAD_LOOP_H_

struct DownloadView;

extern "C" {

/// Opens the download window; null when there is no display to show it on.
typedef DownloadView* (*OpenWindowViewFunction)();

/// Runs the download road's loop on `downloadTo` and `downloadFrom` until
/// the controller ends it, in the window that `openWindowView` opens (the
/// terminal view when it gives none, or when it is null). Returns the loop's
/// result: non-zero when the agent is to be taken from the cache.
int installerDownloadLoop(OpenWindowViewFunction openWindowView);

/// Initialises GTK and opens the window; null without a display.
DownloadView* installerOpenWindowView();

/// `installerOpenWindowView` with GTK held to `backend` ("x11",
/// "wayland"), the display that was found to answer.
DownloadView* installerOpenWindowViewOn(const char* backend);
}

#endif  // INSTALLER_DOWNLOAD_DOWNLOAD_LOOP_H_
