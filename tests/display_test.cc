// Displays that misbehave under the real installer: one that takes the
// connection and never answers (the stale forwarding of a remote session),
// displays named in the ways GTK and the X library read them, and real X
// and Wayland servers that die or freeze while the download window is up.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <functional>
#include <memory>
#include <string>

#include "installer_test.h"
#include "test_server.h"
#include "test_util.h"

namespace {

bool waitFor(const std::function<bool()>& condition, int ms) {
  for (int waited = 0; waited <= ms; waited += 10) {
    if (condition())
      return true;
    usleep(10000);
  }
  return false;
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// An X display on 127.0.0.1 whose connections the kernel completes and
// nobody ever answers.
class SilentDisplay {
 public:
  SilentDisplay() {
    for (int n = 50; n < 400 && fd_ < 0; ++n) {
      fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      struct sockaddr_in address = {};
      address.sin_family = AF_INET;
      address.sin_port = htons(static_cast<uint16_t>(6000 + n));
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
          listen(fd_, 8) == 0) {
        name_ = "127.0.0.1:" + std::to_string(n);
      } else {
        close(fd_);
        fd_ = -1;
      }
    }
  }
  ~SilentDisplay() {
    if (fd_ >= 0)
      close(fd_);
  }
  /// "127.0.0.1:N"; empty when no display number was free.
  const std::string& name() const { return name_; }
  /// True once a client has connected, within `ms`.
  bool connected(int ms) {
    struct pollfd pending = {fd_, POLLIN, 0};
    return poll(&pending, 1, ms) == 1;
  }
  /// Forgets the connections so far.
  void drop() {
    int peer;
    while ((peer = accept(fd_, nullptr, nullptr)) >= 0) {
      close(peer);
    }
  }

 private:
  int fd_ = -1;
  std::string name_;
};

// An Xvfb of the test's own, on a display number it picks itself.
class Xvfb {
 public:
  explicit Xvfb(const std::string& numberFile) {
    child_ = std::make_unique<Child>(std::vector<std::string>{
        "sh", "-c", "exec Xvfb -displayfd 3 -nolisten tcp -screen 0 800x600x24 3>\"$1\"", "sh",
        numberFile});
    waitFor(
        [&] {
          std::string text = readFile(numberFile);
          return !text.empty() && text.back() == '\n';
        },
        10000);
    std::string number = readFile(numberFile);
    if (!number.empty() && number.back() == '\n')
      display_ = ":" + number.substr(0, number.size() - 1);
  }
  ~Xvfb() { kill(); }
  /// ":N"; empty when the server did not come up.
  const std::string& display() const { return display_; }
  int pid() const { return child_ ? child_->pid() : -1; }
  /// Ends the server as a crash would, leaving its clients to find out.
  void kill() {
    if (!child_)
      return;
    ::kill(child_->pid(), SIGKILL);
    child_->wait(5);
    child_.reset();
    if (!display_.empty()) {
      unlink(("/tmp/.X11-unix/X" + display_.substr(1)).c_str());
      unlink(("/tmp/.X" + display_.substr(1) + "-lock").c_str());
    }
  }

 private:
  std::unique_ptr<Child> child_;
  std::string display_;
};

// A headless Weston of the test's own: its socket `name` in a runtime
// directory of its own.
class Weston {
 public:
  Weston(const std::string& runtimeDir, const std::string& name) : runtime_(runtimeDir) {
    std::filesystem::create_directories(runtimeDir);
    chmod(runtimeDir.c_str(), 0700);
    child_ = std::make_unique<Child>(
        std::vector<std::string>{"weston", "--backend=headless-backend.so", "--socket=" + name,
                                 "--idle-time=0", "--no-config"},
        EnvChanges{{"XDG_RUNTIME_DIR", runtimeDir}, {"WAYLAND_DISPLAY", std::nullopt},
                   {"DISPLAY", std::nullopt}});
    up_ = waitFor([&] { return pathExists(runtimeDir + "/" + name + ".lock") &&
                               pathExists(runtimeDir + "/" + name); },
                  10000);
  }
  ~Weston() { kill(); }
  /// The socket is there.
  bool up() const { return up_; }
  /// Ends the compositor as a crash would.
  void kill() {
    if (!child_)
      return;
    ::kill(child_->pid(), SIGKILL);
    child_->wait(5);
    child_.reset();
  }

 private:
  std::string runtime_;
  std::unique_ptr<Child> child_;
  bool up_ = false;
};

bool haveProgram(const std::string& name) {
  return runProgram({"sh", "-c", "command -v " + name}).exitCode == 0;
}

class Displays : public InstallerTest {
 protected:
  EnvChanges onDisplay(const std::string& url, const std::string& display) const {
    EnvChanges env = environment(url, /*window=*/true);
    env["DISPLAY"] = display;
    // No compositor of the machine's own (wayland-0) comes first.
    env["WAYLAND_DISPLAY"] = std::nullopt;
    env["XDG_RUNTIME_DIR"] = std::nullopt;
    return env;
  }

  // A run whose display went away: its texts, 255, no agent, nothing left.
  void expectLostDisplayRun(const RunResult& r) const {
    EXPECT_EQ(255, r.exitCode) << r.err;
    EXPECT_TRUE(endsWith(r.err, "The connection to the display was lost.\nInstallation failed.\n"))
        << r.err;
    EXPECT_FALSE(agentRan());
    EXPECT_TRUE(listDir(tmp_).empty());
    EXPECT_FALSE(pathExists(cachedScript()));
  }
};

}  // namespace

TEST_F(Displays, SilentDisplayGivesWayToTheTerminalAndToSignals) {
  SilentDisplay display;
  ASSERT_FALSE(display.name().empty());
  TestServer server(makeAgentArchive("agent.zip"));
  EnvChanges env = onDisplay(server.url(), display.name());

  RunResult r = runProgram({dir_ + "/installer"}, env, "", 20);
  ASSERT_EQ(0, r.exitCode) << r.err;
  EXPECT_TRUE(agentRan());
  EXPECT_NE(std::string::npos, r.err.find("The display " + display.name() + " does not answer"))
      << r.err;
  EXPECT_NE(std::string::npos, r.err.find("Downloading")) << r.err;  // the terminal view

  // While it waits for the display, a signal ends the run at once.
  long requests = server.stats().requests;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    display.drop();
    Child child({dir_ + "/installer"}, env);
    ASSERT_TRUE(display.connected(10000)) << child.errSoFar();
    kill(child.pid(), sig);
    RunResult cancelled = child.wait(2);  // well before the display's time is up
    EXPECT_EQ(255, cancelled.exitCode) << sig << ": " << cancelled.err;
    EXPECT_TRUE(endsWith(cancelled.err, "Installation failed.\n")) << sig << ": " << cancelled.err;
    EXPECT_TRUE(listDir(tmp_).empty()) << sig;
  }
  EXPECT_EQ(requests, server.stats().requests);
}

TEST_F(Displays, LostDisplayEndsTheRunCleanly) {
  if (runProgram({"sh", "-c", "command -v Xvfb"}).exitCode != 0)
    GTEST_SKIP() << "Xvfb is not installed: no X server to kill under the window";
  std::string archive = makeAgentArchive("agent.zip", 4 << 20);
  // The download lies in the temporary directory, or in test mode beside
  // the installer.
  for (bool besideTheInstaller : {false, true}) {
    Xvfb x(scratch_ / ("display-" + std::to_string(besideTheInstaller)));
    ASSERT_FALSE(x.display().empty()) << "Xvfb did not start";
    TestServer server(archive, {"--rate", "200000"});
    EnvChanges env = onDisplay(server.url(), x.display());
    if (besideTheInstaller)
      env["__QZ_BOOTSTRAP_INSTALLER_UNITTEST__"] = "1";
    Child installer({dir_ + "/installer"}, env);
    ASSERT_TRUE(waitFor([&] { return server.stats().bodyBytesSent > 0; }, 20000))
        << installer.errSoFar();
    // The window opens once the download has begun: the server dies under it.
    ASSERT_TRUE(waitFor(
        [&] {
          return runProgram({"xwininfo", "-display", x.display(), "-name", "Installer"})
                     .exitCode == 0;
        },
        10000))
        << installer.errSoFar();
    EXPECT_EQ(std::string::npos, installer.errSoFar().find("Downloading"))
        << "not in the window: " << installer.errSoFar();

    x.kill();
    RunResult r = installer.wait(10);
    expectLostDisplayRun(r);
    EXPECT_FALSE(pathExists(dir_ + "/InstallAgent.zip.partial"));
    EXPECT_FALSE(pathExists(dir_ + "/InstallAgent.zip"));
    for (const std::string& name : listDir(cacheDir()))
      EXPECT_TRUE(name == ".lock" || name == "installagent") << "left in the cache: " << name;
  }
}

// The displays GTK would open, as GDK_BACKEND, WAYLAND_DISPLAY and DISPLAY
// name them: GTK held to X passes over a live compositor, and the X
// library's "tcp/" spellings reach the same silent server; a Wayland socket
// by its path gets the window; a backend that cannot be asked is never
// opened blind.
TEST_F(Displays, ProbeFollowsWhatTheToolkitWouldOpen) {
  if (!haveProgram("weston"))
    GTEST_SKIP() << "weston is not installed";
  SilentDisplay silent;
  ASSERT_FALSE(silent.name().empty());
  std::string runtime = scratch_ / "runtime";
  Weston weston(runtime, "wl-test");
  ASSERT_TRUE(weston.up()) << "weston did not start";
  TestServer server(makeAgentArchive("agent.zip"));
  std::string number = silent.name().substr(silent.name().rfind(':') + 1);

  struct {
    std::string gdkBackend, wayland, display, line;
  } cases[] = {
      {"x11", "wl-test", silent.name(), "The display " + silent.name() + " does not answer"},
      {"", "", "tcp/127.0.0.1:" + number, "The display tcp/127.0.0.1:" + number + " does not answer"},
      {"", "", "tcp/localhost:" + number, "The display tcp/localhost:" + number + " does not answer"},
      {"broadway", "", ":0", "The display GDK_BACKEND=broadway cannot be checked"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.gdkBackend + " " + c.display);
    EnvChanges env = onDisplay(server.url(), c.display);
    env["GDK_BACKEND"] = c.gdkBackend.empty() ? std::nullopt : std::optional(c.gdkBackend);
    env["WAYLAND_DISPLAY"] = c.wayland.empty() ? std::nullopt : std::optional(c.wayland);
    env["XDG_RUNTIME_DIR"] = c.wayland.empty() ? scratch_.path() : runtime;
    std::filesystem::remove_all(cacheDir());
    RunResult r = runProgram({dir_ + "/installer"}, env, "", 20);
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(c.line + "; the progress is shown here.\n")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("Downloading")) << r.err;  // the terminal view
    EXPECT_TRUE(agentRan());
  }

  // The compositor by the path of its socket, X unset: the window, on Wayland.
  EnvChanges env = onDisplay(server.url(), "");
  env["DISPLAY"] = std::nullopt;
  env["WAYLAND_DISPLAY"] = runtime + "/wl-test";
  env["XDG_RUNTIME_DIR"] = runtime;
  std::filesystem::remove_all(cacheDir());
  RunResult r = runProgram({dir_ + "/installer"}, env, "", 20);
  EXPECT_EQ(0, r.exitCode) << r.err;
  // The window showed the progress (a headless compositor has no seat, of
  // which GTK complains).
  EXPECT_EQ(std::string::npos, r.err.find("Downloading")) << r.err;
  EXPECT_EQ(std::string::npos, r.err.find("The display")) << r.err;
  EXPECT_TRUE(agentRan());
  EXPECT_TRUE(listDir(tmp_).empty());
}

// A Wayland compositor killed while the window shows a download ends the
// run as a lost X server does.
TEST_F(Displays, LostCompositorEndsTheRunCleanly) {
  if (!haveProgram("weston"))
    GTEST_SKIP() << "weston is not installed";
  std::string runtime = scratch_ / "runtime";
  Weston weston(runtime, "wl-lost");
  ASSERT_TRUE(weston.up()) << "weston did not start";
  TestServer server(makeAgentArchive("agent.zip", 4 << 20), {"--rate", "200000"});
  EnvChanges env = onDisplay(server.url(), "");
  env["DISPLAY"] = std::nullopt;
  env["WAYLAND_DISPLAY"] = "wl-lost";
  env["XDG_RUNTIME_DIR"] = runtime;
  Child installer({dir_ + "/installer"}, env);
  ASSERT_TRUE(waitFor([&] { return server.stats().bodyBytesSent > 0; }, 20000))
      << installer.errSoFar();
  usleep(300 * 1000);
  EXPECT_EQ(std::string::npos, installer.errSoFar().find("Downloading"))
      << "not in the window: " << installer.errSoFar();

  weston.kill();
  expectLostDisplayRun(installer.wait(10));
}

// An X server stopped (SIGSTOP) with the window up: the installer is stuck
// in Xlib and its loop never sees a signal. SIGTERM still ends the run
// within seconds, in normal and test mode: nothing left, no agent, 255.
TEST_F(Displays, FrozenDisplayDoesNotMakeTheInstallerDeaf) {
  if (!haveProgram("Xvfb"))
    GTEST_SKIP() << "Xvfb is not installed";
  std::string archive = makeAgentArchive("agent.zip", 4 << 20);
  for (bool besideTheInstaller : {false, true}) {
    SCOPED_TRACE(besideTheInstaller ? "test mode" : "normal mode");
    Xvfb x(scratch_ / ("frozen-" + std::to_string(besideTheInstaller)));
    ASSERT_FALSE(x.display().empty()) << "Xvfb did not start";
    TestServer server(archive, {"--rate", "200000"});
    EnvChanges env = onDisplay(server.url(), x.display());
    if (besideTheInstaller)
      env["__QZ_BOOTSTRAP_INSTALLER_UNITTEST__"] = "1";
    Child installer({dir_ + "/installer"}, env);
    ASSERT_TRUE(waitFor([&] { return server.stats().bodyBytesSent > 0; }, 20000))
        << installer.errSoFar();
    kill(x.pid(), SIGSTOP);
    usleep(1000 * 1000);  // long enough for the window to block on the server
    kill(installer.pid(), SIGTERM);
    RunResult r = installer.wait(8);
    kill(x.pid(), SIGCONT);
    EXPECT_EQ(255, r.exitCode) << r.err;
    EXPECT_TRUE(endsWith(r.err, "Installation failed.\n")) << r.err;
    EXPECT_FALSE(agentRan());
    EXPECT_TRUE(listDir(tmp_).empty());
    EXPECT_FALSE(pathExists(dir_ + "/InstallAgent.zip.partial"));
    EXPECT_FALSE(pathExists(dir_ + "/InstallAgent.zip"));
    EXPECT_FALSE(pathExists(cachedScript()));
  }
}
