#include "download/download_handoff.h"

#include <glib-unix.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <stdlib.h>

#include "download/download.h"
#include "download/idle_timeout.h"
#include "driver/constants.h"
#include "platform/location.h"

std::string downloadTo;
std::string downloadFrom;

std::string installAgentDownloadUrl() {
  const char* url = getenv("QZ_INTERNAL_INSTALL_AGENT_URL");
  return url != nullptr ? url : installAgentUrl;
}

bool downloadInstallAgentFromQZ(const char* destination, ErrorCallback /*report*/) {
  downloadFrom = installAgentDownloadUrl();
  downloadTo = destination;
  return callApplicationMain(0, nullptr) != 0;
}

namespace {

struct GLibApplicationLoop : ApplicationLoop {
  explicit GLibApplicationLoop(GMainLoop* loop) : loop(loop) {}
  void stop() override { g_main_loop_quit(loop); }
  GMainLoop* loop;
};

// A signal while the loop runs is the user leaving: it takes the same road
// as closing the window.
gboolean closeOnSignal(gpointer view) {
  static_cast<DownloadView*>(view)->close();
  return G_SOURCE_CONTINUE;
}

gboolean finishLaunching(gpointer controller) {
  static_cast<Download*>(controller)->applicationDidFinishLaunching(downloadFrom);
  return G_SOURCE_REMOVE;
}

}  // namespace

int callApplicationMain(int /*argc*/, char** /*argv*/) {
  std::unique_ptr<DownloadView> view =
      gtk_init_check(nullptr, nullptr) ? makeWindowView() : makeTerminalView();
  std::unique_ptr<Transfer> transfer = makeCurlTransfer(idleTimeoutSeconds());
  RealSystemLog log;
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  GLibApplicationLoop applicationLoop(loop);
  int result;
  {
    Download controller(view.get(), transfer.get(), &log, &applicationLoop, downloadTo,
                        getBundleLocation());
    view->setDelegate(&controller);
    guint sources[] = {
        g_unix_signal_add(SIGINT, closeOnSignal, view.get()),
        g_unix_signal_add(SIGTERM, closeOnSignal, view.get()),
        g_unix_signal_add(SIGHUP, closeOnSignal, view.get()),
        g_idle_add(finishLaunching, &controller),
    };
    g_main_loop_run(loop);
    for (guint source : sources) {
      // The idle source is gone once it has run.
      if (GSource* s = g_main_context_find_source_by_id(nullptr, source))
        g_source_destroy(s);
    }
    transfer->cancel();
    result = controller.loopResult();
  }
  g_main_loop_unref(loop);
  return result;
}
