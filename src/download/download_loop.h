#ifndef INSTALLER_DOWNLOAD_DOWNLOAD_LOOP_H_
#define INSTALLER_DOWNLOAD_DOWNLOAD_LOOP_H_

struct DownloadView;

extern "C" {

/// Opens the download window; null when there is no display to show it on.
typedef DownloadView* (*OpenWindowViewFunction)();

/// Runs the download road's loop on `downloadTo` and `downloadFrom` until
/// the controller ends it, in the window that `openWindowView` opens (the
/// terminal view when it gives none, or when it is null). The request goes
/// out first: the window is opened only once there is something to show,
/// or after a second, and a prompt cache hit opens none. Returns the loop's
/// result: non-zero when the agent is to be taken from the cache.
int installerDownloadLoop(OpenWindowViewFunction openWindowView);

/// Initialises GTK and opens the window; null without a display. The
/// window's class and app id are the build's application id.
DownloadView* installerOpenWindowView();

/// `installerOpenWindowView` with GTK held to `backend` ("x11",
/// "wayland"), the display that was found to answer, and `appId` as the
/// window's class and app id (empty: a generic one).
DownloadView* installerOpenWindowViewOn(const char* backend, const char* appId);
}

#endif  // INSTALLER_DOWNLOAD_DOWNLOAD_LOOP_H_
