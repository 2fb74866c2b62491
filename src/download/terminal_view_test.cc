#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "download/download_view.h"
#include "test_util.h"

namespace {

const char kFailure[] =
    "Error during the download process.\nSee your system log for more information.";

struct CountingDelegate : DownloadViewDelegate {
  int closes = 0;
  GMainLoop* loop = nullptr;
  void windowWillClose() override {
    ++closes;
    if (loop != nullptr)
      g_main_loop_quit(loop);
  }
};

gboolean quitLoop(gpointer loop) {
  g_main_loop_quit(static_cast<GMainLoop*>(loop));
  return G_SOURCE_REMOVE;
}

// Runs the default main loop until the delegate hears of the close or
// `milliseconds` pass. True when the close ended it.
bool runUntilClosed(CountingDelegate& delegate, guint milliseconds) {
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  delegate.loop = loop;
  int before = delegate.closes;
  guint guard = g_timeout_add(milliseconds, quitLoop, loop);
  g_main_loop_run(loop);
  bool closed = delegate.closes != before;
  if (closed)
    g_source_remove(guard);
  delegate.loop = nullptr;
  g_main_loop_unref(loop);
  return closed;
}

// Points standard error at `fd` until restored.
class StderrRedirect {
 public:
  explicit StderrRedirect(int fd) : saved_(dup(2)) { dup2(fd, 2); }
  ~StderrRedirect() { restore(); }
  void restore() {
    if (saved_ < 0)
      return;
    dup2(saved_, 2);
    ::close(saved_);
    saved_ = -1;
  }

 private:
  int saved_;
};

// A pseudo-terminal in raw mode, so that what the view writes arrives on
// the master side byte for byte. It stands for a terminal that redraws and
// shows colour, whatever TERM and NO_COLOR the tests were started with.
class Pty {
 public:
  explicit Pty(unsigned short columns) {
    setenv("TERM", "xterm", 1);
    unsetenv("NO_COLOR");
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
      return;
    slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
    if (slave_ < 0)
      return;
    struct termios mode;
    tcgetattr(slave_, &mode);
    cfmakeraw(&mode);
    tcsetattr(slave_, TCSANOW, &mode);
    struct winsize size = {};
    size.ws_row = 24;
    size.ws_col = columns;
    ioctl(slave_, TIOCSWINSZ, &size);
  }
  ~Pty() {
    if (slave_ >= 0)
      close(slave_);
    if (master_ >= 0)
      close(master_);
  }
  bool ok() const { return master_ >= 0 && slave_ >= 0; }
  int slave() const { return slave_; }
  /// Everything written so far: reads until the master stays quiet.
  std::string drain() {
    std::string out;
    char buffer[4096];
    for (int reads = 0; reads < 1000; ++reads) {
      struct pollfd ready = {master_, POLLIN, 0};
      if (poll(&ready, 1, 200) <= 0)
        break;
      ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0)
        break;
      out.append(buffer, n);
    }
    return out;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
};

// Lets the loop run what is due, as it does between two chunks.
void runPending() {
  for (int i = 0; i < 100 && g_main_context_iteration(nullptr, FALSE); ++i) {
  }
}

std::string percentText(int percent) {
  char text[32];
  snprintf(text, sizeof text, "Downloading %3d%%", percent);
  return text;
}

// What a terminal view on a file writes while `drive` uses it, closed after.
std::string writtenToAFile(const std::function<void(DownloadView*)>& drive) {
  ScratchDir scratch;
  int fd = open((scratch / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  EXPECT_GE(fd, 0);
  {
    StderrRedirect redirect(fd);
    std::unique_ptr<DownloadView> view = makeTerminalView();
    drive(view.get());
    view->close();
  }
  close(fd);
  return readFile(scratch / "err");
}

TEST(TerminalViewOnFile, PrintsOneLinePerChangeOfTextAndNothingElse) {
  ScratchDir scratch;
  int fd = open((scratch / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  CountingDelegate delegate;
  std::string expected = "Connecting...\n";
  {
    StderrRedirect redirect(fd);
    std::unique_ptr<DownloadView> view = makeTerminalView();
    view->setDelegate(&delegate);
    view->setIndeterminate(true);
    view->startAnimation();
    for (int i = 0; i < 3; ++i)
      view->setStatusText("Connecting...", DownloadView::TextColor::Normal);
    view->setIndeterminate(false);
    view->setProgressMaxValue(4096);
    EXPECT_EQ(4096, view->progressMaxValue());
    // As the controller does: a text per chunk, changing once per percent.
    for (int received = 0; received <= 4096; received += 16) {
      view->setProgressValue(received);
      view->setStatusText(percentText(received * 100 / 4096), DownloadView::TextColor::Normal);
    }
    for (int percent = 0; percent <= 100; ++percent) expected += percentText(percent) + "\n";
    EXPECT_EQ(0, delegate.closes);

    view->close();
    EXPECT_EQ(1, delegate.closes);
    view->setStatusText("Connecting...", DownloadView::TextColor::Normal);
    view->close();
    EXPECT_EQ(1, delegate.closes);
  }
  close(fd);
  std::string out = readFile(scratch / "err");
  EXPECT_EQ(expected, out);
  EXPECT_EQ(std::string::npos, out.find_first_of("\r\033"));
}

// A log of a download: the note, a progress line per tenth, a retry once
// (its countdown is a progress text too), the closing note.
TEST(TerminalViewOnFile, ProgressTextsOncePerTenth) {
  std::string written = writtenToAFile([](DownloadView* view) {
    view->setProgressMaxValue(1000);
    view->showNote("Connected to h, 1000 B");
    for (int received = 0; received <= 1000; received += 5) {
      view->setProgressValue(received);
      view->setProgressText(percentText((received * 100 + 500) / 1000));
      if (received == 500) {
        view->setStatusText("Connection lost. Retrying in 3 s", DownloadView::TextColor::Normal);
        view->setProgressText("Connection lost. Retrying in 2 s");
        view->setProgressText("Connection lost. Retrying in 1 s");
      }
    }
    view->showNote("Downloaded 1000 B in 0.1 s");
  });
  std::string expected = "Connected to h, 1000 B\n";
  for (int percent = 0; percent <= 50; percent += 10) expected += percentText(percent) + "\n";
  expected += "Connection lost. Retrying in 3 s\n";
  for (int percent = 60; percent <= 100; percent += 10) expected += percentText(percent) + "\n";
  expected += "Downloaded 1000 B in 0.1 s\n";
  EXPECT_EQ(expected, written);
}

// A rounded percentage can name the next tenth before the bar reaches it:
// the line is still written once.
TEST(TerminalViewOnFile, SameProgressTextIsNotWrittenTwice) {
  std::string written = writtenToAFile([](DownloadView* view) {
    view->setProgressMaxValue(1000);
    for (int received : {0, 496, 500, 1000}) {
      view->setProgressValue(received);
      view->setProgressText(percentText((received * 100 + 500) / 1000));
    }
  });
  EXPECT_EQ(percentText(0) + "\n" + percentText(50) + "\n" + percentText(100) + "\n", written);
}

TEST(TerminalViewOnPipe, FailureIsPlainAndClosesTheViewFromTheLoopOnce) {
  int ends[2];
  ASSERT_EQ(0, pipe(ends));
  CountingDelegate delegate;
  {
    StderrRedirect redirect(ends[1]);
    std::unique_ptr<DownloadView> view = makeTerminalView();
    view->setDelegate(&delegate);
    view->setProgressValue(37);
    view->setStatusText("Downloading  37%", DownloadView::TextColor::Normal);
    view->setStatusText(kFailure, DownloadView::TextColor::Red);
    EXPECT_EQ(0, delegate.closes) << "the close must come from the loop";

    EXPECT_TRUE(runUntilClosed(delegate, 5000));
    EXPECT_EQ(1, delegate.closes);
    EXPECT_FALSE(runUntilClosed(delegate, 200));
    view->close();
    EXPECT_EQ(1, delegate.closes);
  }
  close(ends[1]);
  std::string out;
  char buffer[4096];
  for (ssize_t n; (n = read(ends[0], buffer, sizeof buffer)) > 0;) out.append(buffer, n);
  close(ends[0]);
  EXPECT_EQ(std::string("Downloading  37%\n") + kFailure + "\n", out);
}

TEST(TerminalViewOnPipe, ViewDeletedBeforeItsFailureCloseHearsNothing) {
  int ends[2];
  ASSERT_EQ(0, pipe(ends));
  CountingDelegate delegate;
  {
    StderrRedirect redirect(ends[1]);
    std::unique_ptr<DownloadView> view = makeTerminalView();
    view->setDelegate(&delegate);
    view->setStatusText(kFailure, DownloadView::TextColor::Red);
    view.reset();
    EXPECT_FALSE(runUntilClosed(delegate, 200));
  }
  close(ends[1]);
  close(ends[0]);
  EXPECT_EQ(0, delegate.closes);
}

// The line is drawn from the loop, once all that changed with a chunk has
// been said: never a bar or a percentage beside another moment's text.
TEST(TerminalViewOnTerminal, RedrawsOneLineInPlaceOnlyWhenItChanges) {
  Pty pty(80);
  ASSERT_TRUE(pty.ok());
  CountingDelegate delegate;
  {
    StderrRedirect redirect(pty.slave());
    std::unique_ptr<DownloadView> view = makeTerminalView();
    view->setDelegate(&delegate);
    view->setIndeterminate(true);
    view->setStatusText("Connecting...", DownloadView::TextColor::Normal);
    runPending();
    view->setIndeterminate(false);
    view->setProgressMaxValue(200);
    view->setProgressValue(50);
    runPending();
    view->incrementProgressBy(24);
    view->setProgressText("Downloading  37%");
    view->setDetailText("74 B of 200 B");
    runPending();
    view->setProgressText("Downloading  37%");
    view->incrementProgressBy(1);  // 37.5%: the same seven cells
    runPending();
    EXPECT_EQ(200, view->progressMaxValue());
    view->close();
    EXPECT_EQ(1, delegate.closes);
  }
  EXPECT_EQ(
      "\r\033[KConnecting..."
      "\r\033[K[#####---------------] Connecting..."
      "\r\033[K[#######-------------] Downloading  37%  74 B of 200 B"
      "\n",
      pty.drain());
}

// Notes are lines of their own above the progress line, which follows them.
TEST(TerminalViewOnTerminal, NoteGoesAboveTheLine) {
  Pty pty(80);
  ASSERT_TRUE(pty.ok());
  {
    StderrRedirect redirect(pty.slave());
    std::unique_ptr<DownloadView> view = makeTerminalView();
    view->setProgressMaxValue(200);
    view->setProgressText("Downloading   0%");
    runPending();
    view->showNote("Connected to 127.0.0.1:8080, 200 B");
    runPending();
    view->close();
  }
  EXPECT_EQ(
      "\r\033[K[--------------------] Downloading   0%"
      "\r\033[KConnected to 127.0.0.1:8080, 200 B\n"
      "\r\033[K[--------------------] Downloading   0%\n",
      pty.drain());
}

TEST(TerminalViewOnTerminal, FailureEndsTheLineInRedAndClosesTheViewOnce) {
  Pty pty(80);
  ASSERT_TRUE(pty.ok());
  CountingDelegate delegate;
  {
    StderrRedirect redirect(pty.slave());
    std::unique_ptr<DownloadView> view = makeTerminalView();
    view->setDelegate(&delegate);
    view->setProgressValue(37);
    view->setStatusText("Downloading  37%", DownloadView::TextColor::Normal);
    view->setStatusText(kFailure, DownloadView::TextColor::Red);
    EXPECT_EQ(0, delegate.closes);
    EXPECT_TRUE(runUntilClosed(delegate, 5000));
    view->close();
    view->setProgressValue(100);
    EXPECT_EQ(1, delegate.closes);
  }
  EXPECT_EQ(std::string("\r\033[K[#######-------------] Downloading  37%\n\033[31m") + kFailure +
                "\033[0m\n",
            pty.drain());
}

TEST(TerminalViewOnTerminal, LongLineIsCutSoThatItNeverWraps) {
  Pty pty(30);
  ASSERT_TRUE(pty.ok());
  {
    StderrRedirect redirect(pty.slave());
    std::unique_ptr<DownloadView> view = makeTerminalView();
    view->setIndeterminate(true);
    view->setStatusText("Resolving downloads.example.com, please wait",
                        DownloadView::TextColor::Normal);
    view->close();
  }
  EXPECT_EQ("\r\033[KResolving downloads.example.c\n", pty.drain());
}

// Details follow the status text; the bar gives way where the line would
// not fit, and a line without a status holds the details alone.
TEST(TerminalViewOnTerminal, DetailsFollowTheTextAndTheBarGivesWayWhenNarrow) {
  const std::string detail = "18.5 MiB of 50.0 MiB  15.2 MiB/s  3 s left";
  for (unsigned short columns : {120, 80}) {
    SCOPED_TRACE(columns);
    Pty pty(columns);
    ASSERT_TRUE(pty.ok());
    {
      StderrRedirect redirect(pty.slave());
      std::unique_ptr<DownloadView> view = makeTerminalView();
      view->setProgressMaxValue(200);
      view->setProgressValue(74);
      view->setDetailText(detail);
      view->setStatusText("Downloading  37%", DownloadView::TextColor::Normal);
      view->close();
    }
    std::string bar = columns == 120 ? "[#######-------------] " : "";
    EXPECT_EQ("\r\033[K" + bar + "Downloading  37%  " + detail + "\n", pty.drain());
  }
}

// TERM=dumb: a terminal that shows escape sequences as litter gets lines,
// as a pipe does. NO_COLOR (set, not empty): the line is redrawn in place,
// the failure is plain.
TEST(TerminalViewOnTerminal, DumbTerminalGetsLinesAndNoColorGetsNoColour) {
  struct Case {
    const char* term;
    const char* noColor;
    std::string expected;
  };
  const std::string red = std::string("\033[31m") + kFailure + "\033[0m\n";
  const std::string line = "\r\033[K[#######-------------] Downloading  37%\n";
  for (const Case& c : std::vector<Case>{
           {"dumb", nullptr, std::string("Downloading  37%\n") + kFailure + "\n"},
           {"xterm", "1", line + kFailure + "\n"},
           {"xterm", "", line + red}}) {
    SCOPED_TRACE(std::string(c.term) + (c.noColor ? std::string(" NO_COLOR=") + c.noColor : ""));
    Pty pty(80);
    ASSERT_TRUE(pty.ok());
    setenv("TERM", c.term, 1);
    if (c.noColor != nullptr)
      setenv("NO_COLOR", c.noColor, 1);
    {
      StderrRedirect redirect(pty.slave());
      std::unique_ptr<DownloadView> view = makeTerminalView();
      view->setProgressValue(37);
      view->setStatusText("Downloading  37%", DownloadView::TextColor::Normal);
      view->setStatusText(kFailure, DownloadView::TextColor::Red);
      view->close();
    }
    EXPECT_EQ(c.expected, pty.drain());
  }
  unsetenv("NO_COLOR");
}

}  // namespace
