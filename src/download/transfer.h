#ifndef INSTALLER_DOWNLOAD_TRANSFER_H_
#define INSTALLER_DOWNLOAD_TRANSFER_H_

#include <cstdint>
#include <memory>
#include <string>

/// What a transfer tells its delegate, always on the main loop's thread, in
/// this order: one `didReceiveResponse`, any number of
/// `didReceiveDataOfLength`, then exactly one of `didFinish` and
/// `didFailWithError`. After `Transfer::cancel` nothing more is said.
struct TransferDelegate {
  /// The final response's headers arrived with a 2xx status. `etag` is the
  /// ETag header's value as sent (empty when `hasETag` is false);
  /// `expectedLength` is Content-Length, -1 without one.
  virtual void didReceiveResponse(const std::string& etag, bool hasETag,
                                  int64_t expectedLength) = 0;
  /// `length` more bytes were written to the destination.
  virtual void didReceiveDataOfLength(uint64_t length) = 0;
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
  /// Starts fetching `url` into `destination` (replaced when it exists).
  /// Returns at once; every outcome, even a malformed URL, reaches the
  /// delegate later from the main loop.
  virtual void start(const std::string& url, const std::string& destination,
                     TransferDelegate* delegate) = 0;
  /// Stops the transfer and removes a partial destination file. Safe at any
  /// time, also from inside a delegate call and after the end.
  virtual void cancel() = 0;
};

/// The real transfer: libcurl's multi interface on the default GLib main
/// context. Only http and https; redirects (at most 10) never leave https;
/// peers and host names verified; a connect time-out and an idle time-out
/// of `idleTimeoutSeconds` each.
std::unique_ptr<Transfer> makeCurlTransfer(int idleTimeoutSeconds);

#endif  // INSTALLER_DOWNLOAD_TRANSFER_H_
