#ifndef INSTALLER_DOWNLOAD_DOWNLOAD_H_
#define INSTALLER_DOWNLOAD_DOWNLOAD_H_

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <utility>

#include "download/download_view.h"
#include "platform/system_log.h"
#include "download/transfer.h"
#include "sourcing/cache_lock.h"

/// The application loop, as the controller uses it.
struct ApplicationLoop {
  /// Asks the loop to return to its caller.
  virtual void stop() = 0;
  /// Runs `task` on the loop after `milliseconds`, unless the loop has
  /// ended by then.
  virtual void schedule(int milliseconds, std::function<void()> task) = 0;
  /// Handles what happened meanwhile (a window closed, a signal) before
  /// the caller goes on.
  virtual void runPending() = 0;

 protected:
  ~ApplicationLoop() = default;
};

/// The download window's controller: takes the cache's lock (waiting, in
/// view, while another installation holds it), fetches the agent archive with
/// visible progress, skips the download when the cached agent is current,
/// records and unpacks a completed download into the cache, and ends the
/// loop. It
/// starts no agent itself: on the two roads where one is to start it ends
/// the loop with a non-zero result, and the caller takes the agent from the
/// cache.
class Download : public TransferDelegate, public DownloadViewDelegate {
 public:
  /// `downloadTo` is where the archive goes; `resourceDir` may hold
  /// "splash.png".
  Download(DownloadView* view, Transfer* transfer, SystemLog* log, ApplicationLoop* loop,
           CacheLock* lock, std::string downloadTo, std::string resourceDir);

  /// Shows the splash image, if any, and starts the transfer of `url` once
  /// the cache's lock is held.
  void applicationDidFinishLaunching(const std::string& url);
  /// Cancels the transfer and ends the loop; the view has gone.
  void windowWillClose() override;
  /// Starts the transfer of `url` to the download destination.
  void downloadFromURL(const std::string& url);

  /// Keeps the ETag and length; a current cache ends the road here, a stale
  /// cached agent is removed. Said again when a retry starts the body over.
  void didReceiveResponse(const std::string& etag, bool hasETag,
                          int64_t expectedLength) override;
  /// The server answered our If-None-Match with "not modified": the cached
  /// agent that question was about starts, whatever ETag the answer names.
  void didReceiveNotModified(const std::string& etag) override;
  /// Counts the bytes and shows the percentage when the length is known,
  /// and sizes, speed and time left on the line below, all of one moment.
  void didReceiveDataOfLength(uint64_t length) override;
  /// Says how long until the next attempt, and logs each retry once.
  void willRetry(const RetryNotice& notice) override;
  /// Brings the line of details up to date without data: the speed decays
  /// during a stall, and after a while the line says it is stalled.
  void refreshDetail();
  /// With keys configured, fetches the archive's signature first and checks
  /// it; then stores the ETag, unpacks the archive into the cache and ends
  /// the loop.
  void didFinish() override;
  /// Logs the failure and shows it in red, with its reason in plain words
  /// on the line of details.
  void didFailWithError(const std::string& description, const std::string& failingUrl) override;

  /// Shows `message` in `color` with a full, still bar.
  void failure(const std::string& message, DownloadView::TextColor color);
  /// Points at the cached agent that the caller is to start.
  void fireInstallAgent();

  /// The view went away before the road came to an end: the user cancelled.
  bool cancelled() const { return cancelled_; }
  /// A failure is shown.
  bool failed() const { return failed_; }
  /// The loop's result: 1 when the agent is to be taken from the cache, else 0.
  int loopResult() const { return loopResult_; }
  int64_t fileLength() const { return fileLength_; }
  int64_t bytesReceived() const { return bytesReceived_; }
  const std::string& validationString() const { return validationString_; }
  const std::string& installAgentLocation() const { return installAgentLocation_; }

  /// Where the speed's time comes from, in microseconds; a steady clock
  /// unless a test sets another.
  void setClock(std::function<int64_t()> microseconds) { clock_ = std::move(microseconds); }

 private:
  // Shows sizes, speed and time left as they are now.
  void showDetail();
  // Keeps refreshDetail running twice a second while the body comes.
  void keepDetailFresh();
  // Takes back the text of a wait to retry; the next text may not replace it.
  void endRetryText();
  // Ends one of the two roads on which an agent is to start.
  void finishWithAgent();
  // The downloaded archive, its signature checked where required, into the
  // cache; or a failure.
  void checkSignatureThenUnpack();
  /// Takes `archiveFd` (-1: the archive could not be opened) and closes it.
  void unpackIntoCache(int archiveFd);
  // Logs why, shows that the signature is not valid, and says the agent
  // could not be set up.
  void signatureFailure(const std::string& reason);
  std::string signatureLocation() const { return installAgentLocation_ + ".sig"; }
  // Starts the transfer once the lock is held; shows the wait meanwhile.
  void downloadWhenLocked();

  DownloadView* view_;
  Transfer* transfer_;
  SystemLog* log_;
  ApplicationLoop* loop_;
  CacheLock* lock_;
  std::string resourceDir_;
  std::string url_;
  bool waitingForLock_ = false;
  int64_t fileLength_ = -1;
  int64_t bytesReceived_ = 0;
  std::string installAgentLocation_;
  std::string validationString_;
  // What the request asked about with If-None-Match; empty when it asked
  // nothing.
  std::string askedAbout_;
  bool closed_ = false;
  bool cancelled_ = false;
  bool failed_ = false;
  bool retrying_ = false;  // the status text tells of a wait
  bool fetchingSignature_ = false;  // the transfer brings the archive's signature
  int loopResult_ = 0;
  std::function<int64_t()> clock_;
  // (time, bytes received) of the last few seconds, for a steady speed.
  std::deque<std::pair<int64_t, int64_t>> samples_;
  bool receiving_ = false;      // a body is on its way: its details stay fresh
  bool refreshPending_ = false;  // refreshDetail is scheduled
  bool sourceShown_ = false;     // the note naming the host is out
  int64_t lastByteAt_ = 0;
  int64_t startedAt_ = 0;  // when the body began, for the closing summary
};

/// The host (and port, when the URL names one) of `url`; empty when it has
/// none.
std::string urlHost(const std::string& url);

/// The note that opens a download: "Connected to downloads.vendor.example
/// (redirected to cdn.vendor.example), 100.0 MiB".
std::string sourceNote(const std::string& url, const std::string& effectiveUrl, int64_t length);

/// The note that closes one: "Downloaded 100.0 MiB in 20 s".
std::string summaryNote(int64_t bytes, int64_t microseconds);

/// "Downloading " and the percentage as "%3.0f%%" ("Downloading  37%").
std::string downloadingText(double percent);

/// `bytes` for people: "512 B", "1.5 KiB", "21.0 MiB", "1.2 GiB".
std::string formatSize(int64_t bytes);

/// What the line under the status says: "21.0 MiB of 50.0 MiB  15.2 MiB/s
/// 2 s left" (two blanks between the parts); without a length (-1) only
/// the bytes and the speed; without a speed yet (0) only the sizes. After
/// `stalledSeconds` (from 1) without a byte, "stalled for N s" takes the
/// place of the speed and the time left.
std::string progressDetail(int64_t received, int64_t length, double bytesPerSecond,
                           int64_t stalledSeconds = 0);

#endif  // INSTALLER_DOWNLOAD_DOWNLOAD_H_
