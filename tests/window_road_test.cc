// The download road in window mode: the real installer binary on the X
// display that the tests run on, against the test server.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <filesystem>
#include <functional>

#include "driver/constants.h"
#include "platform/shell.h"
#include "installer_test.h"
#include "test_server.h"

namespace fs = std::filesystem;

namespace {

class WindowRoad : public InstallerTest {
 protected:
  // Starts the installer and waits until the server has begun to answer.
  std::unique_ptr<Child> startInstaller(const TestServer& server) {
    auto child = std::make_unique<Child>(std::vector<std::string>{dir_ + "/installer"},
                                         environment(server.url(), true));
    for (int i = 0; i < 1000 && server.stats().requests == 0; ++i)
      usleep(10000);
    return child;
  }

  std::string archive_ = makeAgentArchive("agent.zip", 1 << 20);
};

// Runs `act` on the top-level window titled `title` on the tests' display;
// false when there is no such window.
bool withWindowTitled(const std::string& title,
                      const std::function<void(Display*, Window)>& act) {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr)
    return false;
  Window root = DefaultRootWindow(display), parent, *children = nullptr;
  unsigned count = 0;
  bool found = false;
  XQueryTree(display, root, &root, &parent, &children, &count);
  for (unsigned i = 0; i < count && !found; ++i) {
    char* name = nullptr;
    if (XFetchName(display, children[i], &name) && name != nullptr && title == name) {
      act(display, children[i]);
      found = true;
    }
    XFree(name);
  }
  XFree(children);
  XCloseDisplay(display);
  return found;
}

// Asks the window to close, as a window manager's close button does.
void askToClose(Display* display, Window window) {
  XEvent event = {};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display, window, False, NoEventMask, &event);
  XFlush(display);
}

// How many of the window's pixels, as the X server shows them, are dark
// (text) and how many red (a failure's text).
struct Ink {
  long dark = 0, red = 0;
};
Ink inkOf(Display* display, Window window) {
  XWindowAttributes attributes;
  XGetWindowAttributes(display, window, &attributes);
  XImage* image = XGetImage(display, window, 0, 0, static_cast<unsigned>(attributes.width),
                            static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap);
  Ink ink;
  if (image == nullptr)
    return ink;
  for (int y = 0; y < attributes.height; ++y) {
    for (int x = 0; x < attributes.width; ++x) {
      unsigned long pixel = XGetPixel(image, x, y);
      int r = static_cast<int>((pixel >> 16) & 0xff), g = static_cast<int>((pixel >> 8) & 0xff),
          b = static_cast<int>(pixel & 0xff);
      ink.dark += r < 100 && g < 100 && b < 100;
      ink.red += r > 150 && g < 90 && b < 90;
    }
  }
  XDestroyImage(image);
  return ink;
}

}  // namespace

TEST_F(WindowRoad, DownloadsStartsTheAgentOnceThenUsesTheCache) {
  TestServer server(archive_, {"--etag", "\"w1\""});
  RunResult first = runProgram({dir_ + "/installer", "-x"}, environment(server.url(), true));
  ASSERT_EQ(0, first.exitCode) << first.err;
  EXPECT_EQ(std::vector<std::string>({"-installbundle", dir_ + "/bundle.zip", "-x"}),
            agentArgv());
  EXPECT_EQ("recording agent ran\n", first.out);  // once
  EXPECT_EQ("", first.err);                       // the window showed the progress

  // A server that would hold the body back: the cache hit must not wait.
  TestServer stalling(archive_, {"--etag", "\"w1\"", "--stall", "30"});
  fs::remove(record_ + "/argv");
  RunResult second = runProgram({dir_ + "/installer"}, environment(stalling.url(), true));
  ASSERT_EQ(0, second.exitCode) << second.err;
  EXPECT_TRUE(agentRan());
  EXPECT_EQ(0, stalling.stats().bodyBytesSent);
  EXPECT_TRUE(listDir(tmp_).empty());
}

TEST_F(WindowRoad, FailureStaysOnScreenUntilTheUserLeaves) {
  TestServer server(archive_, {"--plan", "503", "--retry-after", "30"});
  std::unique_ptr<Child> child = startInstaller(server);
  usleep(1500 * 1000);
  ASSERT_EQ(0, kill(child->pid(), 0)) << "the window did not stay: " << child->errSoFar();
  kill(child->pid(), SIGTERM);
  RunResult r = child->wait(20);
  EXPECT_EQ(255, r.exitCode);
  EXPECT_EQ("Installation failed.", lines(r.err).back()) << r.err;
  EXPECT_FALSE(agentRan());
  EXPECT_TRUE(listDir(tmp_).empty());
}

TEST_F(WindowRoad, InterruptMidTransferCancels) {
  TestServer server(archive_, {"--rate", "100000"});
  std::unique_ptr<Child> child = startInstaller(server);
  for (int i = 0; i < 1000 && server.stats().bodyBytesSent == 0; ++i)
    usleep(10000);
  kill(child->pid(), SIGINT);
  RunResult r = child->wait(20);
  EXPECT_EQ(255, r.exitCode);
  EXPECT_FALSE(agentRan());
  EXPECT_FALSE(pathExists(cachedScript()));
  EXPECT_TRUE(listDir(tmp_).empty());
}

// Closing the window while it waits to try again ends the run at once. The
// wait shows no failure: the server's answer is one that may pass.
TEST_F(WindowRoad, ClosingTheWindowDuringTheWaitToRetryCancels) {
  TestServer server(archive_, {"--plan", "503", "--retry-after", "30"});
  std::unique_ptr<Child> child = startInstaller(server);
  Ink ink;
  bool shown = false;
  for (int i = 0; i < 500 && ink.dark < 50; ++i) {
    usleep(10000);
    shown = withWindowTitled("Installer", [&ink](Display* d, Window w) { ink = inkOf(d, w); });
  }
  ASSERT_TRUE(shown) << "no window titled Installer: " << child->errSoFar();
  usleep(300 * 1000);  // whatever the 503 brings is drawn by now
  withWindowTitled("Installer", [&ink](Display* d, Window w) { ink = inkOf(d, w); });
  EXPECT_GT(ink.dark, 50) << "no text drawn";
  EXPECT_EQ(0, ink.red) << "a failure is shown";
  ASSERT_TRUE(withWindowTitled("Installer", askToClose));
  RunResult r = child->wait(10);
  EXPECT_EQ(255, r.exitCode) << r.err;
  EXPECT_EQ(1, server.stats().requests);
  EXPECT_FALSE(agentRan());
  EXPECT_TRUE(listDir(tmp_).empty());
}

// Another program destroys the window outright (xdotool windowclose, which
// is XDestroyWindow): while the installer waits to try again, and while the
// body comes in. The run takes the cancel road: no crash, no agent, 255,
// nothing left behind.
TEST_F(WindowRoad, WindowDestroyedByAnotherProgramCancels) {
  if (runProgram({"sh", "-c", "command -v xdotool"}).exitCode != 0)
    GTEST_SKIP() << "xdotool is not installed";
  for (bool downloading : {false, true}) {
    SCOPED_TRACE(downloading ? "during the download" : "during the wait to retry");
    TestServer server(archive_, downloading ? std::vector<std::string>{"--rate", "100000"}
                                            : std::vector<std::string>{"--plan", "503",
                                                                       "--retry-after", "30"});
    std::unique_ptr<Child> child = startInstaller(server);
    Window window = 0;
    for (int i = 0; i < 1000 && window == 0; ++i) {
      usleep(10000);
      withWindowTitled("Installer", [&window](Display*, Window w) { window = w; });
    }
    ASSERT_NE(0u, window) << "no window titled Installer: " << child->errSoFar();
    if (downloading) {
      for (int i = 0; i < 1000 && server.stats().bodyBytesSent == 0; ++i)
        usleep(10000);
      ASSERT_GT(server.stats().bodyBytesSent, 0);
    } else {
      usleep(300 * 1000);  // the 503 has come and the wait begun
    }
    RunResult closed = runProgram({"xdotool", "windowclose", std::to_string(window)});
    ASSERT_EQ(0, closed.exitCode) << closed.err;
    RunResult r = child->wait(10);
    EXPECT_EQ(255, r.exitCode) << r.err;
    EXPECT_EQ("Installation failed.", lines(r.err).back()) << r.err;
    EXPECT_EQ(1, server.stats().requests);
    EXPECT_FALSE(agentRan());
    EXPECT_FALSE(pathExists(cachedScript()));
    EXPECT_TRUE(listDir(tmp_).empty());
  }
}

namespace {

// Whether a process is still running (not yet reaped, nor a zombie).
bool running(pid_t pid) {
  std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

bool haveTool(const char* tool) {
  return runProgram({"sh", "-c", std::string("command -v ") + tool}).exitCode == 0;
}

// Waits for the installer's window; 0 when none came.
Window awaitWindow(const std::string& title = "Installer") {
  Window window = 0;
  for (int i = 0; i < 1000 && window == 0; ++i) {
    usleep(10000);
    withWindowTitled(title, [&window](Display*, Window w) { window = w; });
  }
  return window;
}

// Counts the top-level windows mapped on the display while it lives.
class MapWatch {
 public:
  MapWatch() : display_(XOpenDisplay(nullptr)) {
    if (display_ != nullptr) {
      XSelectInput(display_, DefaultRootWindow(display_), SubstructureNotifyMask);
      XSync(display_, False);
    }
  }
  ~MapWatch() {
    if (display_ != nullptr)
      XCloseDisplay(display_);
  }
  bool ok() const { return display_ != nullptr; }
  /// Maps since the last call.
  int maps() {
    XSync(display_, False);
    int count = 0;
    while (XPending(display_) > 0) {
      XEvent event;
      XNextEvent(display_, &event);
      count += event.type == MapNotify;
    }
    return count;
  }

 private:
  Display* display_;
};

}  // namespace

// Return is "go on" on this desktop: pressed at the window during a
// download, it changes nothing. Escape cancels.
TEST_F(WindowRoad, ReturnDoesNotCancelTheDownloadEscapeDoes) {
  if (!haveTool("xdotool"))
    GTEST_SKIP() << "xdotool is not installed";
  TestServer server(archive_, {"--rate", "200000"});
  std::unique_ptr<Child> child = startInstaller(server);
  Window window = awaitWindow();
  ASSERT_NE(0u, window) << "no window titled Installer: " << child->errSoFar();
  std::string id = std::to_string(window);
  // The window may be named before it is mapped, and only a mapped one
  // takes the focus.
  int focused = -1;
  for (int i = 0; i < 50 && focused != 0; ++i) {
    if (i > 0)
      usleep(100 * 1000);
    focused = runProgram({"xdotool", "windowfocus", "--sync", id}).exitCode;
  }
  ASSERT_EQ(0, focused);
  ASSERT_EQ(0, runProgram({"xdotool", "key", "--window", id, "Return"}).exitCode);
  ASSERT_EQ(0, runProgram({"xdotool", "key", "Return", "KP_Enter"}).exitCode);
  long before = server.stats().bodyBytesSent;
  usleep(700 * 1000);
  EXPECT_TRUE(running(child->pid())) << child->errSoFar();
  EXPECT_GT(server.stats().bodyBytesSent, before) << "the download goes on";
  ASSERT_EQ(0, runProgram({"xdotool", "key", "Escape"}).exitCode);
  RunResult r = child->wait(10);
  EXPECT_EQ(255, r.exitCode) << r.err;
  EXPECT_EQ("Installation failed.", lines(r.err).back()) << r.err;
  EXPECT_FALSE(agentRan());
  EXPECT_TRUE(listDir(tmp_).empty());
}

// A build with INSTALLER_APP_ID: its window's class is that id, and the
// vendor's icon.png is the window's icon: beside the executable, or packed
// into a single-file installer (here under the executable's own name, with
// no icon.png beside it).
TEST_F(WindowRoad, AppIdIsTheWindowClassAndIconPngItsIcon) {
  if (!haveTool("xprop"))
    GTEST_SKIP() << "xprop (x11-utils) is not installed";
  fs::copy_file(INSTALLER_APP_ID_BINARY, dir_ + "/installer", fs::copy_options::overwrite_existing);
  GdkPixbuf* icon = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, 48, 48);
  gdk_pixbuf_fill(icon, 0xc01c28ff);
  ASSERT_TRUE(gdk_pixbuf_save(icon, (dir_ + "/icon.png").c_str(), "png", nullptr, nullptr));
  g_object_unref(icon);
  for (bool packed : {false, true}) {
    SCOPED_TRACE(packed ? "single file" : "directory");
    if (packed) {
      std::string packedIcon = scratch_ / "packed-icon.png";
      fs::rename(dir_ + "/icon.png", packedIcon);
      RunResult r = runProgram({INSTALLER_PACK_BINARY, "--installer", INSTALLER_APP_ID_BINARY,
                                "--bundle", SAMPLE_BUNDLE_ZIP, "--icon", packedIcon,
                                dir_ + "/installer"});
      ASSERT_EQ(0, r.exitCode) << r.err;
    }
    TestServer server(archive_, {"--rate", "200000"});
    std::unique_ptr<Child> child = startInstaller(server);
    Window window = awaitWindow();
    ASSERT_NE(0u, window) << "no window titled Installer: " << child->errSoFar();
    RunResult props =
        runProgram({"xprop", "-id", std::to_string(window), "WM_CLASS", "_NET_WM_ICON"});
    kill(child->pid(), SIGTERM);
    child->wait(10);
    ASSERT_EQ(0, props.exitCode) << props.err;
    EXPECT_NE(std::string::npos,
              props.out.find("WM_CLASS(STRING) = \"com.example.TestInstaller\", "
                             "\"com.example.TestInstaller\""))
        << props.out;
    EXPECT_NE(std::string::npos, props.out.find("Icon (48 x 48)")) << props.out;
  }
}

// A cache hit answered at once maps no window at all; one whose answer
// takes longer than a second shows the window meanwhile.
TEST_F(WindowRoad, PromptCacheHitMapsNoWindow) {
  {
    TestServer server(archive_, {"--etag", "\"m1\""});
    ASSERT_EQ(0, runProgram({dir_ + "/installer"}, environment(server.url(), true)).exitCode);
  }
  MapWatch watch;
  ASSERT_TRUE(watch.ok());
  watch.maps();
  TestServer prompt(archive_, {"--etag", "\"m1\""});
  fs::remove(record_ + "/argv");
  RunResult hit = runProgram({dir_ + "/installer"}, environment(prompt.url(), true));
  ASSERT_EQ(0, hit.exitCode) << hit.err;
  EXPECT_TRUE(agentRan());
  EXPECT_EQ("", hit.err);
  EXPECT_EQ(0, watch.maps()) << "a window was mapped";

  // Long enough for a sanitizer build to start GTK after its second.
  TestServer slow(archive_, {"--etag", "\"m1\"", "--stall-headers", "6"});
  fs::remove(record_ + "/argv");
  RunResult late = runProgram({dir_ + "/installer"}, environment(slow.url(), true));
  ASSERT_EQ(0, late.exitCode) << late.err;
  EXPECT_TRUE(agentRan());
  EXPECT_GE(watch.maps(), 1) << "no window while the answer was awaited";
}
