#ifndef INSTALLER_DOWNLOAD_TRANSFER_H_
#define INSTALLER_DOWNLOAD_TRANSFER_H_

#include <cstdint>
#include <memory>
#include <string>

/// A wait before the next attempt of a transfer, as the delegate hears of it.
struct RetryNotice {
  std::string description;  ///< why the last attempt failed, one line
  int httpStatus = 0;       ///< the status it was answered with; 0 without an answer
  int secondsLeft = 0;      ///< until the next attempt, rounded up
  int attempt = 0;          ///< the number of the next attempt, from 2
  int attempts = 0;         ///< how many attempts there are at most
  bool first = false;       ///< the first notice of this wait; later ones count down
};

/// What a transfer tells its delegate, always on the main loop's thread:
/// `didReceiveResponse` before any data; `didReceiveDataOfLength` any
/// number of times; `willRetry` while waiting to try again; then exactly one
/// of `didFinish` and `didFailWithError`. A retry that has to start the body
/// over says `didReceiveResponse` again; one that resumes it does not.
/// After `Transfer::cancel` nothing more is said.
struct TransferDelegate {
  /// The final response's headers arrived with a 2xx status. `etag` is the
  /// ETag header's value as sent (empty when `hasETag` is false);
  /// `expectedLength` is Content-Length, -1 without one. No byte of the
  /// body is read, nor any file created, before this returns: a delegate
  /// that does not want the body cancels.
  virtual void didReceiveResponse(const std::string& etag, bool hasETag,
                                  int64_t expectedLength) = 0;
  /// The server answered the request's If-None-Match with 304 Not
  /// Modified. `etag` is the answer's ETag, or the one asked about when it
  /// has none. Unless the delegate cancels, the transfer then fails with
  /// "HTTP status 304".
  virtual void didReceiveNotModified(const std::string& etag) = 0;
  /// `length` more bytes of the body arrived; all of them are at the
  /// destination once `didFinish` is said.
  virtual void didReceiveDataOfLength(uint64_t length) = 0;
  /// An attempt failed for a reason that may pass; said when the wait
  /// starts and once a second while it lasts.
  virtual void willRetry(const RetryNotice& notice) = 0;
  /// The whole body is at the destination and the file is closed.
  virtual void didFinish() = 0;
  /// The transfer failed; the destination file has been removed.
  /// `description` is one line ("HTTP status 404", "Couldn't connect to
  /// server: ..."), `failingUrl` the URL that was asked for.
  virtual void didFailWithError(const std::string& description,
                                const std::string& failingUrl) = 0;

 protected:
  ~TransferDelegate() = default;
};

/// One download of a URL to a file, driven by the GLib main loop.
struct Transfer {
  virtual ~Transfer() = default;
  /// Starts fetching `url` into `destination` (replaced when it exists),
  /// asking with `If-None-Match: ifNoneMatch` unless that is empty.
  /// Returns at once; every outcome, even a malformed URL, reaches the
  /// delegate later from the main loop. Every body is bounded: it fails,
  /// without a retry, when it is announced or grows longer than
  /// `maximumLength` (unless that is -1), when its announced length exceeds
  /// the free space where `destination` lies, and, without an announced
  /// length, when less than 64 MiB (or 1 % of the file system, when that
  /// is less) would be left free.
  virtual void start(const std::string& url, const std::string& destination,
                     const std::string& ifNoneMatch, TransferDelegate* delegate,
                     int64_t maximumLength) = 0;
  /// Stops the transfer and removes a partial destination file. Safe at any
  /// time, also from inside a delegate call, during a wait and after the end.
  virtual void cancel() = 0;
  /// Where the last response came from: the URL asked for, or the one its
  /// redirects led to. Empty before any response.
  virtual std::string effectiveUrl() const = 0;
};

/// How a transfer tries again after a failure that may pass: a refused or
/// reset connection, a time-out, a body cut short, or 408, 429, 500, 502,
/// 503 or 504.
struct RetryPolicy {
  int attempts = 5;  ///< in all
  /// The first wait; each later one doubles. Every wait is this ±25 %, so
  /// that clients that failed together do not come back together.
  int firstWaitMilliseconds = 1000;
  /// A server's Retry-After is waited for up to this long.
  int retryAfterCapSeconds = 60;
};

/// The real transfer: libcurl's multi interface on the default GLib main
/// context. Only http and https; redirects (at most 10) never leave https;
/// peers and host names verified; a connect time-out and an idle time-out
/// of `idleTimeoutSeconds` each. A body cut short is resumed where the
/// server allows it (a strong ETag and Accept-Ranges), else fetched again.
std::unique_ptr<Transfer> makeCurlTransfer(int idleTimeoutSeconds, RetryPolicy policy);

#endif  // INSTALLER_DOWNLOAD_TRANSFER_H_
