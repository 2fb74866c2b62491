#include "download/download.h"

#include <stdio.h>
#include <sys/stat.h>

#include "driver/constants.h"
#include "driver/error_report.h"
#include "sourcing/sourcing.h"
#include "sourcing/unzip_agent.h"
#include "sourcing/validation.h"

std::string downloadingText(double percent) {
  char buffer[64];
  snprintf(buffer, sizeof buffer, "%3.0f%%", percent);
  return std::string("Downloading ") + buffer;
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
      installAgentLocation_(std::move(downloadTo)) {
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
        view_->setStatusText("Waiting for another installation to finish",
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
  transfer_->start(url, installAgentLocation_, this);
}

void Download::windowWillClose() {
  if (closed_)
    return;
  closed_ = true;
  transfer_->cancel();
  loop_->stop();
}

void Download::didReceiveResponse(const std::string& etag, bool hasETag,
                                  int64_t expectedLength) {
  validationString_ = hasETag ? etag : "";
  fileLength_ = expectedLength;

  // The cache is only trusted with an agent in it and the server's ETag on
  // file; an agent that is not current goes before the first data arrive.
  std::string agentDir = installAgentDirOnDisk();
  if (!agentDir.empty()) {
    if (isCacheValid(getInstallAgentCacheDir(), validationString_)) {
      finishWithAgent();
      return;
    }
    discardAgentDir(agentDir);
  }

  if (fileLength_ == -1) {
    view_->setIndeterminate(true);
  } else {
    view_->setProgressMaxValue(static_cast<double>(fileLength_));
    view_->setIndeterminate(false);
    view_->setStatusText(downloadingText(0), DownloadView::TextColor::Normal);
  }
  view_->startAnimation();
}

void Download::didReceiveDataOfLength(uint64_t length) {
  bytesReceived_ += static_cast<int64_t>(length);
  if (fileLength_ == -1)
    return;
  // A server may send more than it announced; the text never says more
  // than all of it.
  double percent = static_cast<double>(bytesReceived_) * 100.0 / static_cast<double>(fileLength_);
  if (percent > 100.0)
    percent = 100.0;
  view_->setStatusText(downloadingText(percent), DownloadView::TextColor::Normal);
  view_->incrementProgressBy(static_cast<double>(length));
}

void Download::failure(const std::string& message, DownloadView::TextColor color) {
  view_->stopAnimation();
  view_->setIndeterminate(false);
  view_->setProgressValue(view_->progressMaxValue());
  view_->setStatusText(message, color);
}

void Download::didFailWithError(const std::string& description, const std::string& failingUrl) {
  log_->write("Download failed! Error - " + description + " " + failingUrl);
  failure("Error during the download process.\nSee your system log for more information.",
          DownloadView::TextColor::Red);
}

void Download::didFinish() {
  view_->setStatusText("Initializing the installer", DownloadView::TextColor::Normal);
  view_->setIndeterminate(true);
  view_->startAnimation();
  view_->setCancelEnabled(false);
  view_->displayNow();
  if (closed_)
    return;  // closed while the text was being shown: the user is gone

  std::string cacheDir = getInstallAgentCacheDir();
  // A download without an ETag replaces the agent that the old string
  // vouched for: keeping that string would let a later answer with the old
  // ETag start the new agent as if it were the old one.
  if (validationString_.empty())
    forgetValidationString(cacheDir);
  writeValidationString(cacheDir, validationString_);
  bool unpacked = unpackAgentIntoCache(installAgentLocation_, cacheDir + installAgentDirName,
                                       report_error_main);
  // The user may have closed the window or sent a signal while the archive
  // was being unpacked: both end the run here, alike.
  loop_->runPending();
  if (closed_)
    return;
  if (unpacked) {
    finishWithAgent();
  } else {
    failure("Failed to unzip the installer.", DownloadView::TextColor::Red);
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
