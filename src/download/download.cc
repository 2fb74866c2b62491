#include "download/download.h"

#include <math.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "driver/constants.h"
#include "download/failure_reason.h"
#include "driver/error_report.h"
#include "platform/translation.h"
#include "signature/verification.h"
#include "sourcing/sourcing.h"
#include "sourcing/unzip_agent.h"
#include "sourcing/validation.h"

std::string downloadingText(double percent) {
  char buffer[64];
  snprintf(buffer, sizeof buffer, "%3.0f%%", percent);
  return fill(tr("Downloading {1}"), {buffer});
}

namespace {

// The speed is the average over about this long, sampled this often; the
// details are refreshed as often without data, so that a stall shows.
const int64_t kSpeedWindowMicroseconds = 3 * 1000 * 1000;
const int64_t kSampleMicroseconds = 500 * 1000;
const int kRefreshMilliseconds = 500;
// A transfer that has received nothing for this long says it is stalled
// rather than promise a time left.
const int64_t kStalledMicroseconds = 5 * 1000 * 1000;

std::string timeLeftText(double seconds) {
  int64_t whole = static_cast<int64_t>(ceil(seconds));
  if (whole < 60)
    return fill(tr("{1} s left"), {std::to_string(whole)});
  int64_t minutes = (whole + 59) / 60;
  if (minutes < 60)
    return fill(tr("{1} min left"), {std::to_string(minutes)});
  return fill(tr("{1} h {2} min left"),
              {std::to_string(minutes / 60), std::to_string(minutes % 60)});
}

}  // namespace

std::string formatSize(int64_t bytes) {
  // The number takes the locale's decimal separator; the units are
  // translated ("Mio" in French).
  if (bytes < 1024)
    return fill(tr("{1} B"), {std::to_string(bytes)});
  static const char* const kUnits[] = {N_("{1} KiB"), N_("{1} MiB"), N_("{1} GiB"),
                                            N_("{1} TiB")};
  double value = static_cast<double>(bytes) / 1024;
  size_t unit = 0;
  // 1023.96 KiB would print as "1024.0 KiB": the next unit reads better.
  while (value >= 1023.95 && unit + 1 < sizeof kUnits / sizeof *kUnits) {
    value /= 1024;
    ++unit;
  }
  char buffer[32];
  snprintf(buffer, sizeof buffer, "%.1f", value);
  return fill(tr(kUnits[unit]), {buffer});
}

std::string progressDetail(int64_t received, int64_t length, double bytesPerSecond,
                           int64_t stalledSeconds) {
  std::string detail = formatSize(received);
  if (length >= 0)
    detail = fill(tr("{1} of {2}"), {detail, formatSize(length)});
  if (stalledSeconds > 0)
    return detail + "  " + fill(tr("stalled for {1} s"), {std::to_string(stalledSeconds)});
  if (bytesPerSecond <= 0)
    return detail;
  detail += "  " + fill(tr("{1}/s"), {formatSize(static_cast<int64_t>(bytesPerSecond))});
  if (length >= 0 && received <= length)
    detail += "  " + timeLeftText(static_cast<double>(length - received) / bytesPerSecond);
  return detail;
}

std::string urlHost(const std::string& url) {
  size_t start = url.find("://");
  start = start == std::string::npos ? 0 : start + 3;
  size_t end = url.find_first_of("/?#", start);
  std::string authority = url.substr(start, end == std::string::npos ? end : end - start);
  size_t at = authority.rfind('@');  // no user name or password on screen
  return at == std::string::npos ? authority : authority.substr(at + 1);
}

std::string sourceNote(const std::string& url, const std::string& effectiveUrl, int64_t length) {
  std::string host = urlHost(url);
  std::string note = fill(tr("Connected to {1}"), {host});
  std::string finalHost = urlHost(effectiveUrl);
  if (!finalHost.empty() && finalHost != host)
    note += " " + fill(tr("(redirected to {1})"), {finalHost});
  if (length >= 0)
    note += ", " + formatSize(length);
  return note;
}

std::string summaryNote(int64_t bytes, int64_t microseconds) {
  char took[32];
  double seconds = static_cast<double>(microseconds) / 1e6;
  if (seconds < 10) {
    snprintf(took, sizeof took, "%.1f s", seconds);
  } else if (seconds < 60) {
    snprintf(took, sizeof took, "%d s", static_cast<int>(seconds + 0.5));
  } else {
    int whole = static_cast<int>(seconds + 0.5);
    snprintf(took, sizeof took, "%d min %d s", whole / 60, whole % 60);
  }
  return fill(tr("Downloaded {1} in {2}"), {formatSize(bytes), took});
}

Download::Download(DownloadView* view, Transfer* transfer, SystemLog* log,
                   ApplicationLoop* loop, CacheLock* lock, std::string downloadTo,
                   std::string resourceDir)
    : view_(view),
      transfer_(transfer),
      log_(log),
      loop_(loop),
      lock_(lock),
      resourceDir_(std::move(resourceDir)),
      installAgentLocation_(std::move(downloadTo)),
      clock_([] {
        return std::chrono::duration_cast<std::chrono::microseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
      }) {
  view_->setProgressValue(0.0);
}

void Download::applicationDidFinishLaunching(const std::string& url) {
  if (!resourceDir_.empty()) {
    std::string splash = resourceDir_ + fileSeparator + "splash.png";
    struct stat st;
    if (stat(splash.c_str(), &st) == 0)
      view_->showSplash(splash);
  }
  url_ = url;
  downloadWhenLocked();
}

void Download::downloadWhenLocked() {
  if (closed_)
    return;
  std::string error;
  switch (lock_->tryLock(&error)) {
    case CacheLock::State::Acquired:
      if (waitingForLock_) {
        // The wait is over: its text must not stand for the download.
        waitingForLock_ = false;
        view_->setStatusText("", DownloadView::TextColor::Normal);
        view_->setIndeterminate(false);
        view_->stopAnimation();
      }
      downloadFromURL(url_);
      return;
    case CacheLock::State::Busy:
      if (!waitingForLock_) {
        waitingForLock_ = true;
        view_->setStatusText(tr("Waiting for another installation to finish"),
                             DownloadView::TextColor::Normal);
        view_->setIndeterminate(true);
        view_->startAnimation();
      }
      loop_->schedule(250, [this] { downloadWhenLocked(); });
      return;
    case CacheLock::State::Failed:
      log_->write(error);
      failure(error, DownloadView::TextColor::Red);
      return;
  }
}

void Download::downloadFromURL(const std::string& url) {
  // With an agent in the cache, the server is asked whether it is current:
  // then it sends no body at all.
  // A stored string that is no header value is not sent: the request
  // asks nothing, and the download fetches the agent again.
  askedAbout_.clear();
  if (!installAgentDirOnDisk().empty())
    askedAbout_ = sendableValidationString(getInstallAgentCacheDir());
  transfer_->start(url, installAgentLocation_, askedAbout_, this, -1);
}

void Download::windowWillClose() {
  if (closed_)
    return;
  closed_ = true;
  cancelled_ = !failed_ && loopResult_ == 0;
  transfer_->cancel();
  loop_->stop();
}

void Download::didReceiveResponse(const std::string& etag, bool hasETag,
                                  int64_t expectedLength) {
  if (fetchingSignature_)
    return;  // the signature's answer says nothing of the agent
  validationString_ = hasETag ? etag : "";
  fileLength_ = expectedLength;
  // A retry may start the body over.
  bytesReceived_ = 0;
  samples_.clear();
  view_->setProgressValue(0.0);
  endRetryText();

  // The cache is only trusted with an agent in it and the server's ETag on
  // file; an agent that is not current goes before the first data arrive.
  std::string agentDir = installAgentDirOnDisk();
  if (!agentDir.empty()) {
    if (isCacheValid(getInstallAgentCacheDir(), validationString_)) {
      finishWithAgent();
      return;
    }
    // Where agents must be signed, the old one stays until a new one has
    // proved itself: the unpacking swaps it out.
    if (!agentSignaturesRequired())
      discardAgentDir(agentDir);
  }

  // Someone behind a firewall needs to know which host to let through,
  // and where a redirect led.
  if (!sourceShown_) {
    sourceShown_ = true;
    view_->showNote(sourceNote(url_, transfer_->effectiveUrl(), fileLength_));
  }
  if (fileLength_ == -1) {
    view_->setIndeterminate(true);
  } else {
    view_->setProgressMaxValue(static_cast<double>(fileLength_));
    view_->setIndeterminate(false);
    view_->setProgressText(downloadingText(0));
  }
  view_->startAnimation();
  if (startedAt_ == 0)
    startedAt_ = clock_();
  lastByteAt_ = clock_();
  receiving_ = true;
  keepDetailFresh();
}

// Our request asked "is the agent that this string names still current?"
// and the server said yes: the answer's own ETag may be another spelling of
// the same (a server that went over to weak tags answers W/"v1" to "v1",
// comparing weakly as If-None-Match is meant to be), and refusing it would
// fail every later run the same way. The stored string stays as it is: it
// names the bytes that were downloaded, the same question gets the same
// answer next time, and a weak tag stored in its place would let a plain
// 200 that merely resembles the agent pass for it.
void Download::didReceiveNotModified(const std::string& /*etag*/) {
  if (!askedAbout_.empty() && !installAgentDirOnDisk().empty())
    finishWithAgent();
}

void Download::willRetry(const RetryNotice& notice) {
  if (notice.first) {
    log_->writeWarning("Download attempt " + std::to_string(notice.attempt - 1) + " of " +
                       std::to_string(notice.attempts) + " failed: " + notice.description + " " +
                       url_ + "; retrying in " + std::to_string(notice.secondsLeft) + " s");
  }
  std::string cause =
      notice.httpStatus != 0
          ? fill(tr("The server answered HTTP status {1}."), {std::to_string(notice.httpStatus)})
          : std::string(tr("Connection lost."));
  std::string text = cause + " " +
                     fill(tr("Retrying in {1} s (attempt {2} of {3})"),
                          {std::to_string(notice.secondsLeft), std::to_string(notice.attempt),
                           std::to_string(notice.attempts)});
  // The countdown updates the retry's text: a log gets the retry once.
  if (notice.first)
    view_->setStatusText(text, DownloadView::TextColor::Normal);
  else
    view_->setProgressText(text);
  view_->setDetailText("");
  retrying_ = true;
  receiving_ = false;
  // The wait is no part of the speed.
  samples_.clear();
}

void Download::endRetryText() {
  if (retrying_)
    view_->setStatusText("", DownloadView::TextColor::Normal);
  retrying_ = false;
}

// Sizes are always those of this moment; the speed is the average since the
// oldest sample of the last few seconds, up to now, so that it falls as
// soon as the bytes stop coming.
void Download::showDetail() {
  int64_t time = clock_();
  if (samples_.empty() || time - samples_.back().first >= kSampleMicroseconds)
    samples_.emplace_back(time, bytesReceived_);
  while (samples_.size() > 2 && time - samples_[1].first >= kSpeedWindowMicroseconds)
    samples_.pop_front();
  // Half a second of bytes at least, or the first figure is noise.
  double speed = 0;
  int64_t span = time - samples_.front().first;
  if (span >= kSampleMicroseconds) {
    speed = static_cast<double>(bytesReceived_ - samples_.front().second) * 1e6 /
            static_cast<double>(span);
  }
  int64_t quiet = time - lastByteAt_;
  int64_t stalled = quiet >= kStalledMicroseconds ? quiet / 1000000 : 0;
  view_->setDetailText(progressDetail(bytesReceived_, fileLength_, speed, stalled));
}

void Download::refreshDetail() {
  refreshPending_ = false;
  if (!receiving_ || closed_)
    return;
  showDetail();
  keepDetailFresh();
}

void Download::keepDetailFresh() {
  if (refreshPending_ || closed_)
    return;
  refreshPending_ = true;
  loop_->schedule(kRefreshMilliseconds, [this] { refreshDetail(); });
}

void Download::didReceiveDataOfLength(uint64_t length) {
  if (fetchingSignature_)
    return;
  bytesReceived_ += static_cast<int64_t>(length);
  lastByteAt_ = clock_();
  if (!receiving_) {  // a resumed body
    receiving_ = true;
    keepDetailFresh();
  }
  if (fileLength_ == -1) {
    endRetryText();
    showDetail();
    return;
  }
  retrying_ = false;
  // A server may send more than it announced; the text never says more
  // than all of it. Bar, percentage and details are of the same moment.
  double percent = static_cast<double>(bytesReceived_) * 100.0 / static_cast<double>(fileLength_);
  if (percent > 100.0)
    percent = 100.0;
  view_->incrementProgressBy(static_cast<double>(length));
  view_->setProgressText(downloadingText(percent));
  showDetail();
}

void Download::failure(const std::string& message, DownloadView::TextColor color) {
  failed_ = true;
  view_->stopAnimation();
  view_->setIndeterminate(false);
  view_->setProgressValue(view_->progressMaxValue());
  view_->setDetailText("");
  view_->setStatusText(message, color);
}

void Download::didFailWithError(const std::string& description, const std::string& failingUrl) {
  if (fetchingSignature_) {
    fetchingSignature_ = false;
    signatureFailure("Cannot fetch the install agent's signature: " + description + " " +
                     failingUrl);
    return;
  }
  receiving_ = false;
  log_->write("Download failed! Error - " + description + " " + failingUrl);
  failure(tr("Error during the download process.\nSee your system log for more information."),
          DownloadView::TextColor::Red);
  // The log may be out of reach (no log daemon in a container): the reason
  // goes under the failure text too.
  view_->setDetailText(failureReason(description, failingUrl));
}

void Download::didFinish() {
  if (fetchingSignature_) {
    checkSignatureThenUnpack();
    return;
  }
  receiving_ = false;
  if (startedAt_ != 0)
    view_->showNote(summaryNote(bytesReceived_, clock_() - startedAt_));
  if (agentSignaturesRequired()) {
    // The archive counts only with its vendor's signature, fetched the way
    // the archive was; a body longer than any signature file is none, and
    // one that never ends must not fill the temporary directory.
    fetchingSignature_ = true;
    transfer_->start(url_ + ".sig", signatureLocation(), "", this, kMaxAgentSignatureFileSize);
    return;
  }
  unpackIntoCache(openAgentArchive(installAgentLocation_, false));
}

void Download::checkSignatureThenUnpack() {
  fetchingSignature_ = false;
  // The archive lies in this run's own directory: hashed and unpacked
  // through one descriptor, it is the same bytes both times.
  int fd = openAgentArchive(installAgentLocation_, false);
  std::string problem =
      fd == -1 ? "Cannot read the downloaded install agent " + installAgentLocation_
               : verifyAgentSignature(fd, -1, installAgentLocation_, signatureLocation());
  unlink(signatureLocation().c_str());
  if (problem.empty()) {
    unpackIntoCache(fd);
    return;
  }
  if (fd != -1)
    close(fd);
  signatureFailure(problem);
}

// The cache keeps what it had: nothing is unpacked, and a build with keys
// removed no agent when the response came.
void Download::signatureFailure(const std::string& reason) {
  log_->write(reason);
  failure(tr(kSignatureNotValidText), DownloadView::TextColor::Red);
  report_error_main(tr("Failed to initialize the install agent."), true);
}

void Download::unpackIntoCache(int archiveFd) {
  // Once read, the archive goes: unlinked and closed before the unpacked
  // agent is flushed to disk, its pages are dropped rather than written.
  auto dropArchive = [this, &archiveFd] {
    unlink(installAgentLocation_.c_str());
    if (archiveFd != -1)
      close(archiveFd);
    archiveFd = -1;
  };
  view_->setDetailText("");
  view_->setStatusText(tr("Initializing the installer"), DownloadView::TextColor::Normal);
  view_->setIndeterminate(true);
  view_->startAnimation();
  view_->setCancelEnabled(false);
  view_->displayNow();
  if (closed_) {
    dropArchive();
    return;  // closed while the text was being shown: the user is gone
  }

  // A validation string vouches for the agent beside it, so it names the
  // new agent only once that is whole on disk: a run killed or a machine
  // cut off from power meanwhile leaves no string, and the next run
  // downloads again instead of trusting a torn agent.
  std::string cacheDir = getInstallAgentCacheDir();
  forgetValidationString(cacheDir);
  bool unpacked = false;
  if (archiveFd == -1) {
    dropArchive();
    log_->write("Cannot read the downloaded install agent " + installAgentLocation_);
    report_error_main(tr("Failed to unzip the install agent"), true);
  } else {
    unpacked = unpackAgentIntoCache(archiveFd, cacheDir + installAgentDirName, report_error_main,
                                    dropArchive);
  }
  dropArchive();
  if (unpacked)
    writeValidationString(cacheDir, validationString_);
  // The user may have closed the window or sent a signal while the archive
  // was being unpacked: both end the run here, alike.
  loop_->runPending();
  if (closed_)
    return;
  if (unpacked) {
    finishWithAgent();
  } else {
    failure(tr("Failed to unzip the installer."), DownloadView::TextColor::Red);
  }
}

void Download::fireInstallAgent() { installAgentLocation_ = installAgentDirOnDisk(); }

void Download::finishWithAgent() {
  if (closed_)
    return;
  fireInstallAgent();
  loopResult_ = 1;
  view_->close();
}
