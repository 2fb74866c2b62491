// The download road's application loop. It is built into a module of its
// own, loaded only when a run takes this road, so that the shipped road
// neither loads nor needs libcurl, GLib or GTK.
#include "download/download_loop.h"

#include <glib-unix.h>
#include <signal.h>
#include <unistd.h>

#include <set>
#include <memory>

#include "download/download.h"
#include "download/download_handoff.h"
#include "download/timing.h"
#include "platform/last_resort.h"
#include "platform/location.h"
#include "platform/shell.h"
#include "platform/translation.h"
#include "sourcing/cache_lock.h"
#include "sourcing/sourcing.h"

namespace {

// Tasks it schedules go with it, so none outlives the controller.
class GLibApplicationLoop : public ApplicationLoop {
 public:
  explicit GLibApplicationLoop(GMainLoop* loop) : loop_(loop) {}
  ~GLibApplicationLoop() {
    std::set<guint> pending;
    pending.swap(pending_);
    for (guint id : pending)
      g_source_remove(id);  // which frees its task
  }
  void stop() override { g_main_loop_quit(loop_); }
  void runPending() override {
    for (int i = 0; i < 100 && g_main_context_iteration(nullptr, FALSE); ++i) {
    }
  }
  void schedule(int milliseconds, std::function<void()> task) override {
    auto* entry = new Entry{this, std::move(task), 0};
    entry->id = g_timeout_add_full(G_PRIORITY_DEFAULT, static_cast<guint>(milliseconds), run,
                                   entry, forget);
    pending_.insert(entry->id);
  }

 private:
  struct Entry {
    GLibApplicationLoop* owner;
    std::function<void()> task;
    guint id;
  };
  static gboolean run(gpointer data) {
    static_cast<Entry*>(data)->task();
    return G_SOURCE_REMOVE;
  }
  static void forget(gpointer data) {
    auto* entry = static_cast<Entry*>(data);
    entry->owner->pending_.erase(entry->id);
    delete entry;
  }

  GMainLoop* loop_;
  std::set<guint> pending_;
};

// What the signal watch needs: a signal while the loop runs is the user
// leaving, the same road as closing the window.
struct SignalTarget {
  DownloadView* view;
  bool interrupted;
};

gboolean closeOnSignal(gint fd, GIOCondition, gpointer data) {
  char drained[64];
  while (read(fd, drained, sizeof drained) > 0) {
  }
  auto* target = static_cast<SignalTarget*>(data);
  if (takeNotedSignal() != 0) {
    target->interrupted = true;
    target->view->close();
  }
  return G_SOURCE_CONTINUE;
}
gboolean finishLaunching(gpointer controller) {
  static_cast<Download*>(controller)->applicationDidFinishLaunching(downloadFrom);
  return G_SOURCE_REMOVE;
}


// A second without an answer is long enough to wonder whether anything is
// happening: the window shows that it is.
const int kWindowAfterMilliseconds = 1000;

int runLoop(OpenWindowViewFunction openWindowView) {
  std::unique_ptr<DownloadView> view = openWindowView
                                           ? makeLazyView(openWindowView, kWindowAfterMilliseconds)
                                           : makeTerminalView();
  RetryPolicy policy;
  policy.firstWaitMilliseconds = firstRetryWaitMilliseconds();
  std::unique_ptr<Transfer> transfer = makeCurlTransfer(idleTimeoutSeconds(), policy);
  RealSystemLog log;
  RealCacheLock lock(getInstallAgentCacheDir());
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  // A full disk or a file size limit must fail the write, not end the
  // process without a word.
  void (*savedXfsz)(int) = signal(SIGXFSZ, SIG_IGN);
  int result;
  {
    GLibApplicationLoop applicationLoop(loop);
    Download controller(view.get(), transfer.get(), &log, &applicationLoop, &lock, downloadTo,
                        getBundleLocation());
    view->setDelegate(&controller);
    // The installer's own signal handlers, watched through their pipe:
    // GLib's signal sources would need a thread of their own, which a
    // process limit can refuse, and know nothing of SIGQUIT.
    SignalTarget target = {view.get(), false};
    guint signalSource = interruptSignalFd() >= 0
                             ? g_unix_fd_add(interruptSignalFd(), G_IO_IN, closeOnSignal, &target)
                             : 0;
    // A signal noted before GLib took over means the user has left already.
    if (takeNotedSignal() != 0) {
      target.interrupted = true;
    } else {
      g_idle_add(finishLaunching, &controller);
      g_main_loop_run(loop);
      // A signal that came in as the loop was ending still counts.
      applicationLoop.runPending();
    }
    if (signalSource != 0)
      g_source_remove(signalSource);
    transfer->cancel();
    result = target.interrupted ? 0 : controller.loopResult();
    // The user's own cancel is no failure of the installer's: it says so
    // before the run's last words.
    if ((target.interrupted || controller.cancelled()) && !controller.failed())
      report_error_main(tr("Cancelled."), true);
  }
  signal(SIGXFSZ, savedXfsz);
  g_main_loop_unref(loop);
  return result;
}

}  // namespace

int installerDownloadLoop(OpenWindowViewFunction openWindowView) {
  // A display or a terminal can stop answering and hold the main thread
  // where it never sees a signal, from opening the window to destroying it.
  armLastResort({downloadTo, downloadTo + ".partial", downloadTo + ".sig",
                 downloadTo + ".sig.partial"});
  int result = runLoop(openWindowView);
  disarmLastResort();
  return result;
}
