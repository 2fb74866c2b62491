#include "download/download.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "driver/constants.h"
#include "platform/shell.h"
#include "test_util.h"

namespace {

class DownloadController : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* home = getenv("HOME");
    savedHome_ = home ? home : "";
    setenv("HOME", home_.c_str(), 1);
    ASSERT_EQ(0, mkpath(work_, 0700));
    ASSERT_EQ(0, mkpath(resources_, 0700));
    view_.setDelegate(&controller_);
  }
  void TearDown() override { setenv("HOME", savedHome_.c_str(), 1); }

  // A cached agent, and the ETag it was downloaded with.
  void cacheAgent(const std::string& storedETag) {
    ASSERT_EQ(0, mkpath(agentDir_, 0700));
    writeFile(agentDir_ + "/install", "echo cached\n");
    writeFile(cacheDir_ + ".validatestring", storedETag);
  }
  // A downloaded archive at the destination holding an agent.
  void downloadedArchive(const std::string& script) {
    std::string src = scratch_ / "agent-src";
    ASSERT_EQ(0, mkpath(src, 0700));
    writeFile(src + "/install", script);
    makeZip(destination_, src);
  }

  ScratchDir scratch_;
  std::string savedHome_;
  std::string home_ = scratch_ / "home";
  std::string cacheDir_ = home_ + "/" + installAgentCacheRelPath;
  std::string agentDir_ = cacheDir_ + installAgentDirName;
  std::string work_ = scratch_ / "work";
  std::string resources_ = scratch_ / "resources";
  std::string destination_ = work_ + "/InstallAgent.zip";
  FakeView view_;
  FakeTransfer transfer_;
  FakeLog log_;
  FakeLoop loop_;
  FakeLock lock_;
  Download controller_{&view_, &transfer_, &log_, &loop_, &lock_, destination_, resources_};
};

}  // namespace

TEST_F(DownloadController, LaunchStartsTheTransferToTheDestination) {
  EXPECT_EQ(0.0, view_.value);
  controller_.applicationDidFinishLaunching("https://127.0.0.1:1/agent");
  EXPECT_EQ(1, transfer_.starts);
  EXPECT_EQ("https://127.0.0.1:1/agent", transfer_.url);
  EXPECT_EQ(destination_, transfer_.destination);
  EXPECT_EQ(&controller_, transfer_.delegate);
  EXPECT_EQ("", transfer_.ifNoneMatch);  // nothing cached to ask about
  EXPECT_EQ("", view_.splash);
}

TEST_F(DownloadController, BusyCacheWaitsInViewUntilTheLockIsFree) {
  lock_.state = CacheLock::State::Busy;
  controller_.applicationDidFinishLaunching("u");
  loop_.runScheduled();
  EXPECT_EQ(0, transfer_.starts);
  EXPECT_EQ(std::vector<std::string>{"Waiting for another installation to finish"}, view_.texts);
  EXPECT_TRUE(view_.indeterminate);
  lock_.state = CacheLock::State::Acquired;
  loop_.runScheduled();
  EXPECT_EQ(1, transfer_.starts);
  EXPECT_EQ(3, lock_.tries);
  EXPECT_TRUE(loop_.tasks.empty());
  // A download without a length keeps whatever text stands: not the wait's.
  controller_.didReceiveResponse("", false, -1);
  EXPECT_EQ("", view_.text);
}

TEST_F(DownloadController, ClosingWhileWaitingStopsTrying) {
  lock_.state = CacheLock::State::Busy;
  controller_.applicationDidFinishLaunching("u");
  view_.close();
  loop_.runScheduled();
  EXPECT_EQ(1, lock_.tries);
  EXPECT_EQ(0, transfer_.starts);
  EXPECT_EQ(1, loop_.stops);
  EXPECT_EQ(0, controller_.loopResult());
}

TEST_F(DownloadController, UnusableCacheIsAFailureInRed) {
  lock_.state = CacheLock::State::Failed;
  controller_.applicationDidFinishLaunching("u");
  EXPECT_EQ(0, transfer_.starts);
  EXPECT_EQ("Cannot use the install agent cache: /x/.lock: Not a directory", view_.text);
  EXPECT_EQ(DownloadView::TextColor::Red, view_.color);
  EXPECT_EQ(log_.lines, std::vector<std::string>{view_.text});
}

TEST_F(DownloadController, SplashIsShownWhenShipped) {
  writeFile(resources_ + "/splash.png", "png");
  controller_.applicationDidFinishLaunching("u");
  EXPECT_EQ(resources_ + "/splash.png", view_.splash);
  EXPECT_EQ(1, transfer_.starts);
}

TEST_F(DownloadController, AnnouncedLengthShowsZeroPercent) {
  controller_.didReceiveResponse("\"v1\"", true, 200);
  EXPECT_EQ("Downloading   0%", view_.text);
  EXPECT_EQ(200.0, view_.max);
  EXPECT_FALSE(view_.indeterminate);
  EXPECT_TRUE(view_.animating);
  EXPECT_EQ("\"v1\"", controller_.validationString());
}

TEST_F(DownloadController, PercentageIsRoundedAndNeverAboveAll) {
  controller_.didReceiveResponse("", false, 200);
  controller_.didReceiveDataOfLength(50);
  EXPECT_EQ("Downloading  25%", view_.text);
  EXPECT_EQ(50.0, view_.value);
  controller_.didReceiveDataOfLength(150);
  EXPECT_EQ("Downloading 100%", view_.text);
  controller_.didReceiveDataOfLength(100);
  EXPECT_EQ("Downloading 100%", view_.text);
  EXPECT_EQ(300, controller_.bytesReceived());
}

TEST_F(DownloadController, TwoThirdsRoundUp) {
  controller_.didReceiveResponse("", false, 3);
  controller_.didReceiveDataOfLength(2);
  EXPECT_EQ("Downloading  67%", view_.text);
}

TEST_F(DownloadController, UnknownLengthPulsesAndKeepsTheText) {
  controller_.didReceiveResponse("", false, -1);
  controller_.didReceiveDataOfLength(4096);
  EXPECT_TRUE(view_.indeterminate);
  EXPECT_TRUE(view_.animating);
  EXPECT_EQ("Connecting", view_.text);
  EXPECT_EQ(4096, controller_.bytesReceived());
}

TEST_F(DownloadController, CurrentCacheEndsTheRoadWithTheCachedAgent) {
  cacheAgent("\"v1\"");
  controller_.didReceiveResponse("\"v1\"", true, 1000);
  EXPECT_TRUE(view_.closed);
  EXPECT_EQ(1, transfer_.cancels);
  EXPECT_EQ(1, loop_.stops);
  EXPECT_EQ(1, controller_.loopResult());
  EXPECT_EQ(agentDir_ + "/", controller_.installAgentLocation());
  EXPECT_TRUE(view_.texts.empty());  // no progress shown
  EXPECT_TRUE(pathExists(agentDir_ + "/install"));
}

TEST_F(DownloadController, StaleCacheIsRemovedAndTheDownloadGoesOn) {
  cacheAgent("\"v1\"");
  controller_.didReceiveResponse("\"v2\"", true, 1000);
  EXPECT_FALSE(pathExists(agentDir_));
  EXPECT_EQ("\"v1\"", readFile(cacheDir_ + ".validatestring"));  // one level up, kept
  EXPECT_FALSE(view_.closed);
  EXPECT_EQ(0, transfer_.cancels);
  EXPECT_EQ("Downloading   0%", view_.text);
}

TEST_F(DownloadController, ResponseWithoutETagNeverTrustsTheCache) {
  cacheAgent("");
  controller_.didReceiveResponse("", false, 10);
  EXPECT_FALSE(pathExists(agentDir_));
  EXPECT_FALSE(view_.closed);
}

TEST_F(DownloadController, WithoutCachedAgentNothingIsCompared) {
  ASSERT_EQ(0, mkpath(agentDir_, 0700));
  writeFile(agentDir_ + "/leftover", "x");
  writeFile(cacheDir_ + ".validatestring", "\"v1\"");
  controller_.didReceiveResponse("\"v1\"", true, 10);
  EXPECT_TRUE(pathExists(agentDir_ + "/leftover"));
  EXPECT_FALSE(view_.closed);
}

TEST_F(DownloadController, TransferFailureIsLoggedAndShownInRed) {
  controller_.didReceiveResponse("", false, 1000);
  controller_.didReceiveDataOfLength(10);
  controller_.didFailWithError("HTTP status 404", "https://h/agent");
  EXPECT_EQ(std::vector<std::string>{"Download failed! Error - HTTP status 404 https://h/agent"},
            log_.lines);
  EXPECT_EQ("Error during the download process.\nSee your system log for more information.",
            view_.text);
  EXPECT_EQ("The server answered HTTP status 404 for https://h/agent", view_.detail);
  EXPECT_EQ(DownloadView::TextColor::Red, view_.color);
  EXPECT_EQ(view_.max, view_.value);
  EXPECT_FALSE(view_.animating);
  EXPECT_FALSE(view_.indeterminate);
  EXPECT_FALSE(view_.closed);  // stays until the user closes it
  EXPECT_TRUE(view_.cancelEnabled);
  EXPECT_EQ(0, loop_.stops);
}

// Closing the view mid-download is the user's cancel; closing it over a
// failure is not.
TEST_F(DownloadController, OnlyAClosedDownloadIsACancel) {
  controller_.applicationDidFinishLaunching("https://h/agent");
  controller_.didReceiveResponse("", false, 1000);
  view_.close();
  EXPECT_TRUE(controller_.cancelled());

  FakeView failedView;
  Download failed{&failedView, &transfer_, &log_, &loop_, &lock_, destination_, resources_};
  failedView.setDelegate(&failed);
  failed.didFailWithError("HTTP status 404", "https://h/agent");
  failedView.close();
  EXPECT_FALSE(failed.cancelled());
  EXPECT_TRUE(failed.failed());
}

TEST_F(DownloadController, ClosingCancelsAndEndsWithoutAgent) {
  controller_.didReceiveResponse("", false, 1000);
  view_.close();
  EXPECT_EQ(1, transfer_.cancels);
  EXPECT_EQ(1, loop_.stops);
  EXPECT_EQ(0, controller_.loopResult());
  controller_.windowWillClose();  // a second close changes nothing
  EXPECT_EQ(1, loop_.stops);
}

TEST_F(DownloadController, CompletedDownloadIsRecordedUnpackedAndEndsTheLoop) {
  ASSERT_EQ(0, mkpath(agentDir_, 0700));  // as sourcing prepares it
  controller_.didReceiveResponse("W/\"v3\"", true, 100);
  downloadedArchive("echo fresh\n");
  controller_.didFinish();
  EXPECT_EQ("Initializing the installer", view_.texts.back());
  EXPECT_FALSE(view_.cancelEnabled);
  EXPECT_EQ(1, view_.displays);
  EXPECT_EQ("W/\"v3\"", readFile(cacheDir_ + ".validatestring"));
  EXPECT_EQ("echo fresh\n", readFile(agentDir_ + "/install"));
  EXPECT_EQ(1, controller_.loopResult());
  EXPECT_TRUE(view_.closed);
  EXPECT_EQ(1, loop_.stops);
}

TEST_F(DownloadController, DownloadWithoutETagForgetsTheOldValidationString) {
  ASSERT_EQ(0, mkpath(cacheDir_, 0700));
  writeFile(cacheDir_ + ".validatestring", "\"old\"");
  controller_.didReceiveResponse("", false, 100);
  downloadedArchive("echo fresh\n");
  controller_.didFinish();
  EXPECT_FALSE(pathExists(cacheDir_ + ".validatestring"));
  EXPECT_EQ(1, controller_.loopResult());
}

TEST_F(DownloadController, BrokenArchiveShowsTheUnzipFailureAndVouchesForNothing) {
  ASSERT_EQ(0, mkpath(agentDir_, 0700));  // as sourcing prepares it
  controller_.didReceiveResponse("\"v4\"", true, 100);
  writeFile(destination_, "not a zip");
  controller_.didFinish();
  EXPECT_EQ("Failed to unzip the installer.", view_.text);
  EXPECT_EQ(DownloadView::TextColor::Red, view_.color);
  EXPECT_FALSE(view_.cancelEnabled);
  EXPECT_FALSE(pathExists(cacheDir_ + ".validatestring"));
  EXPECT_EQ(0, controller_.loopResult());
  EXPECT_FALSE(view_.closed);
}

TEST_F(DownloadController, ClosedWhileShowingCompletionUnpacksNothing) {
  controller_.didReceiveResponse("\"v5\"", true, 100);
  downloadedArchive("echo fresh\n");
  view_.closeOnDisplay = true;
  controller_.didFinish();
  EXPECT_FALSE(pathExists(agentDir_ + "/install"));
  EXPECT_EQ(0, controller_.loopResult());
  EXPECT_EQ(1, loop_.stops);
}

TEST_F(DownloadController, ClosedWhileUnpackingStartsNoAgentLikeASignal) {
  ASSERT_EQ(0, mkpath(agentDir_, 0700));
  controller_.didReceiveResponse("\"v6\"", true, 100);
  downloadedArchive("echo fresh\n");
  loop_.duringRunPending = [this] { view_.close(); };  // queued while unzip ran
  controller_.didFinish();
  EXPECT_EQ(1, loop_.pendingRuns);
  EXPECT_EQ(0, controller_.loopResult());
  EXPECT_EQ(1, loop_.stops);
  EXPECT_EQ("Initializing the installer", view_.text);  // no failure shown
}

TEST_F(DownloadController, CachedAgentIsAskedAboutAndANotModifiedStartsIt) {
  cacheAgent("\"v1\"");
  controller_.applicationDidFinishLaunching("u");
  EXPECT_EQ("\"v1\"", transfer_.ifNoneMatch);
  // The answer to our question, whatever spelling of the tag it names (a
  // weak one from a server that compares weakly).
  controller_.didReceiveNotModified("W/\"v1\"");
  EXPECT_TRUE(view_.closed);
  EXPECT_EQ(1, controller_.loopResult());
  EXPECT_EQ(agentDir_ + "/", controller_.installAgentLocation());
  EXPECT_TRUE(view_.texts.empty());
}

TEST_F(DownloadController, StoredStringThatIsNoHeaderValueIsNotAskedAbout) {
  cacheAgent("\"v1\"\r");
  controller_.applicationDidFinishLaunching("u");
  EXPECT_EQ("", transfer_.ifNoneMatch);
  // Nothing was asked, so no answer can be a confirmation.
  controller_.didReceiveNotModified("\"v1\"");
  EXPECT_FALSE(view_.closed);
}

TEST_F(DownloadController, WaitToRetryIsShownLoggedOnceAndGivesWayToProgress) {
  controller_.applicationDidFinishLaunching("https://h/agent");
  controller_.didReceiveResponse("", false, 1000);
  controller_.didReceiveDataOfLength(100);
  RetryNotice notice;
  notice.description = "Recv failure: Connection reset by peer";
  notice.secondsLeft = 4;
  notice.attempt = 2;
  notice.attempts = 5;
  notice.first = true;
  controller_.willRetry(notice);
  EXPECT_EQ("Connection lost. Retrying in 4 s (attempt 2 of 5)", view_.text);
  EXPECT_EQ("", view_.detail);
  notice.first = false;
  notice.secondsLeft = 3;
  controller_.willRetry(notice);
  EXPECT_EQ("Connection lost. Retrying in 3 s (attempt 2 of 5)", view_.text);
  EXPECT_EQ(std::vector<std::string>{"Download attempt 1 of 5 failed: Recv failure: Connection "
                                     "reset by peer https://h/agent; retrying in 4 s"},
            log_.warnings);
  EXPECT_TRUE(log_.lines.empty());
  controller_.didReceiveDataOfLength(100);  // resumed
  EXPECT_EQ("Downloading  20%", view_.text);

  notice.httpStatus = 503;
  notice.attempt = 3;
  controller_.willRetry(notice);
  EXPECT_EQ("The server answered HTTP status 503. Retrying in 3 s (attempt 3 of 5)", view_.text);
  // A body started over, here one without a length, shows no stale wait.
  controller_.didReceiveResponse("", false, -1);
  EXPECT_EQ(0, controller_.bytesReceived());
  EXPECT_EQ(0.0, view_.value);
  EXPECT_EQ("", view_.text);
}

TEST_F(DownloadController, DetailsGiveSizesSpeedAndTimeLeft) {
  int64_t now = 5000000;
  controller_.setClock([&now] { return now; });
  const int64_t mib = 1 << 20;
  controller_.didReceiveResponse("", false, 50 * mib);
  controller_.didReceiveDataOfLength(mib);
  EXPECT_EQ("1.0 MiB of 50.0 MiB", view_.detail);
  now += 200000;
  controller_.didReceiveDataOfLength(mib);
  EXPECT_EQ("2.0 MiB of 50.0 MiB", view_.detail);  // no speed from a fifth of a second
  now += 800000;
  controller_.didReceiveDataOfLength(8 * mib);
  EXPECT_EQ("10.0 MiB of 50.0 MiB  9.0 MiB/s  5 s left", view_.detail);

  controller_.didReceiveResponse("", false, -1);
  controller_.didReceiveDataOfLength(1536);
  EXPECT_EQ("1.5 KiB", view_.detail);
  now += 2000000;
  controller_.didReceiveDataOfLength(2 * mib);
  EXPECT_EQ("2.0 MiB  1.0 MiB/s", view_.detail);
  controller_.didFailWithError("HTTP status 404", "u");
  EXPECT_EQ("The server answered HTTP status 404 for u", view_.detail);  // no sizes: the reason
}

// The percentage and the sizes are of the same moment, on every chunk;
// without bytes the speed falls, and after five seconds the line says the
// transfer has stalled instead of promising a time left.
TEST_F(DownloadController, StallLowersTheSpeedThenSaysStalled) {
  int64_t now = 1000000;
  controller_.setClock([&now] { return now; });
  const int64_t mib = 1 << 20;
  controller_.applicationDidFinishLaunching("https://h/agent");
  controller_.didReceiveResponse("", false, 100 * mib);
  for (int i = 0; i < 8; ++i) {
    now += 250000;
    controller_.didReceiveDataOfLength(mib);
    EXPECT_EQ(downloadingText(static_cast<double>(i + 1)), view_.text);
    EXPECT_EQ(0u, view_.detail.find(formatSize((i + 1) * mib) + " of 100.0 MiB")) << view_.detail;
  }
  EXPECT_EQ("8.0 MiB of 100.0 MiB  4.0 MiB/s  23 s left", view_.detail);
  ASSERT_FALSE(loop_.tasks.empty()) << "the details are kept fresh without data";
  now += 1000000;
  loop_.runScheduled();
  EXPECT_EQ("8.0 MiB of 100.0 MiB  2.5 MiB/s  37 s left", view_.detail);
  now += 4000000;
  loop_.runScheduled();
  EXPECT_EQ("8.0 MiB of 100.0 MiB  stalled for 5 s", view_.detail);
  EXPECT_EQ("Downloading   8%", view_.text);
  now += 250000;
  controller_.didReceiveDataOfLength(mib);
  EXPECT_EQ(std::string::npos, view_.detail.find("stalled")) << view_.detail;
}

// The first note names the host, and where a redirect led; the last sums up.
TEST_F(DownloadController, NotesNameTheHostsAndSumUp) {
  int64_t now = 1000000;
  controller_.setClock([&now] { return now; });
  downloadedArchive("echo new\n");
  controller_.applicationDidFinishLaunching("https://user:pw@downloads.vendor.example/agent");
  transfer_.redirectedTo = "https://cdn.vendor.example:8443/x/agent?sig=1";
  controller_.didReceiveResponse("\"v\"", true, 100 << 20);
  controller_.didReceiveResponse("\"v\"", true, 100 << 20);  // a retry begun over
  controller_.didReceiveDataOfLength(100 << 20);
  now += 20 * 1000000;
  controller_.didFinish();
  EXPECT_EQ(std::vector<std::string>(
                {"Connected to downloads.vendor.example (redirected to cdn.vendor.example:8443), "
                 "100.0 MiB",
                 "Downloaded 100.0 MiB in 20 s"}),
            view_.notes);
  EXPECT_EQ("Downloaded 512 B in 0.3 s", summaryNote(512, 260000));
  EXPECT_EQ("Downloaded 1.0 GiB in 2 min 5 s", summaryNote(1 << 30, 125 * 1000000LL));
}

TEST(ProgressDetail, SizesAndTimesReadAsPeopleWriteThem) {
  const int64_t mib = 1 << 20;
  EXPECT_EQ("512 B", formatSize(512));
  EXPECT_EQ("1.0 MiB", formatSize(mib - 1));
  EXPECT_EQ("3.0 GiB", formatSize(3 * 1024 * mib));
  EXPECT_EQ("0 B of 600.0 MiB  1.0 MiB/s  10 min left", progressDetail(0, 600 * mib, mib));
  EXPECT_EQ("0 B of 6.0 GiB  1.0 MiB/s  1 h 43 min left", progressDetail(0, 6144 * mib, mib));
}
