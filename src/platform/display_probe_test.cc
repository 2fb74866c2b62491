#include "platform/display_probe.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "test_util.h"

namespace {

// A listening socket that a test's display server answers on, or not.
class Listener {
 public:
  ~Listener() {
    if (thread_.joinable())
      thread_.join();
    if (fd_ >= 0)
      close(fd_);
  }

  /// Listens on the first free X display N >= 50 of 127.0.0.1.
  bool listenTcp() {
    for (display_ = 50; display_ < 400; ++display_) {
      struct sockaddr_in address = {};
      address.sin_family = AF_INET;
      address.sin_port = htons(static_cast<uint16_t>(6000 + display_));
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (listenOn(reinterpret_cast<sockaddr*>(&address), sizeof address))
        return true;
    }
    return false;
  }
  /// Listens on the first free abstract X socket of a display N >= 150.
  bool listenLocalX11() {
    for (display_ = 150; display_ < 500; ++display_) {
      std::string path = "/tmp/.X11-unix/X" + std::to_string(display_);
      struct sockaddr_un address = {};
      address.sun_family = AF_UNIX;
      memcpy(address.sun_path + 1, path.data(), path.size());
      if (listenOn(reinterpret_cast<sockaddr*>(&address),
                   static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + path.size())))
        return true;
    }
    return false;
  }
  bool listenPath(const std::string& path) {
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, path.data(), path.size());
    return listenOn(reinterpret_cast<sockaddr*>(&address), sizeof address);
  }

  /// Takes one connection, keeps what it sends (up to `requestBytes`) and
  /// answers with `reply`, all on a thread of its own.
  void answerOnce(size_t requestBytes, std::string reply) {
    thread_ = std::thread([this, requestBytes, reply] {
      struct pollfd ready = {fd_, POLLIN, 0};
      if (poll(&ready, 1, 5000) != 1)
        return;
      int peer = accept(fd_, nullptr, nullptr);
      char buffer[64];
      while (request_.size() < requestBytes) {
        ready = {peer, POLLIN, 0};
        ssize_t n = poll(&ready, 1, 5000) == 1 ? read(peer, buffer, sizeof buffer) : 0;
        if (n <= 0)
          break;
        request_.append(buffer, static_cast<size_t>(n));
      }
      if (write(peer, reply.data(), reply.size()) < 0)
        request_ += "(reply not sent)";
      close(peer);
    });
  }

  int display() const { return display_; }
  std::string request() {
    if (thread_.joinable())
      thread_.join();
    return request_;
  }

 private:
  bool listenOn(const sockaddr* address, socklen_t length) {
    if (fd_ < 0)
      fd_ = socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || bind(fd_, address, length) != 0 || listen(fd_, 4) != 0) {
      close(fd_);
      fd_ = -1;
      return false;
    }
    return true;
  }

  int fd_ = -1;
  int display_ = 0;
  std::thread thread_;
  std::string request_;
};

// An X server's reply head: here a refusal, which shows it is alive as well
// as a welcome does.
const std::string kRefusal("\0\0\x0b\0\0\0\0\0", 8);

}  // namespace

TEST(DisplayProbe, ReadsTheSpellingsOfDisplay) {
  ScratchDir scratch;
  std::string socketPath = scratch / "X5";
  int listening = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un at = {};
  at.sun_family = AF_UNIX;
  memcpy(at.sun_path, socketPath.data(), socketPath.size());
  ASSERT_EQ(0, bind(listening, reinterpret_cast<sockaddr*>(&at), sizeof at));

  struct {
    std::string value;
    const char* host;
    int display;
    bool tcpFallback, refused;
    std::string socket;
  } cases[] = {{":0", "", 0, true, false, ""},
               {":12.3", "", 12, true, false, ""},
               {"unix:4", "", 4, false, false, ""},
               {"unix/:4", "", 4, false, false, ""},
               {"unix/unix:4", "", 4, false, false, ""},
               {"localhost:10.0", "localhost", 10, false, false, ""},
               {"127.0.0.1:99", "127.0.0.1", 99, false, false, ""},
               {"tcp/127.0.0.1:99", "127.0.0.1", 99, false, false, ""},
               {"tcp/localhost:3.1", "localhost", 3, false, false, ""},
               {"inet6/[::1]:7", "::1", 7, false, false, ""},
               {"[::1]:7", "::1", 7, false, false, ""},
               {"::1:7.1", "::1", 7, false, false, ""},
               {"host.example:2", "host.example", 2, false, false, ""},
               // Protocols the X library does not connect with fail at once.
               {"host/unix:0", "", 0, false, true, ""},
               {"tcp/:0", "", 0, false, true, ""},
               {"decnet/host:0", "host", 0, false, true, ""},
               {socketPath, "", 0, false, false, socketPath},
               {socketPath + ".1", "", 0, false, false, socketPath}};
  for (const auto& c : cases) {
    X11Address address;
    ASSERT_TRUE(parseX11Display(c.value, &address)) << c.value;
    EXPECT_EQ(c.host, address.host) << c.value;
    EXPECT_EQ(c.display, address.display) << c.value;
    EXPECT_EQ(c.tcpFallback, address.tcpFallback) << c.value;
    EXPECT_EQ(c.refused, address.refused) << c.value;
    EXPECT_EQ(c.socket, address.socket) << c.value;
  }
  for (std::string odd : {"", "0", ":", ":x", ":1.", ":1.2.3", ":1x", "host::0", "[::1:0",
                          ":99999999", "/tmp/launch-x/org.x:0", "tcp/", "unix/"}) {
    X11Address address;
    EXPECT_FALSE(parseX11Display(odd, &address)) << odd;
  }
  X11Address missing;
  EXPECT_FALSE(parseX11Display(scratch / "missing", &missing));  // not a socket: no display
  close(listening);
}

TEST(DisplayProbe, ServerThatTakesTheConnectionAndNeverAnswersIsSilent) {
  Listener listener;
  ASSERT_TRUE(listener.listenTcp());
  std::string display = "127.0.0.1:" + std::to_string(listener.display());
  EXPECT_EQ(DisplayAnswer::Silent, probeX11Display(display, 300));
}

TEST(DisplayProbe, LocalServerGetsAConnectionSetUpAndAnyReplyWillDo) {
  Listener listener;
  ASSERT_TRUE(listener.listenLocalX11());
  listener.answerOnce(12, kRefusal);
  EXPECT_EQ(DisplayAnswer::Answered,
            probeX11Display(":" + std::to_string(listener.display()) + ".0", 5000));
  std::string request = listener.request();
  ASSERT_EQ(12u, request.size());
  EXPECT_TRUE(request[0] == 'l' || request[0] == 'B');
  uint16_t major;
  memcpy(&major, request.data() + 2, 2);
  EXPECT_EQ(11, major);  // in the order the first byte announces, this machine's
  EXPECT_EQ(std::string(8, '\0'), request.substr(4));  // no authorisation
}

TEST(DisplayProbe, ServerThatHangsUpOrIsNotThereIsLeftToTheToolkit) {
  Listener listener;
  ASSERT_TRUE(listener.listenTcp());
  listener.answerOnce(12, "");
  EXPECT_EQ(DisplayAnswer::Unreachable,
            probeX11Display("127.0.0.1:" + std::to_string(listener.display()), 5000));
  EXPECT_EQ(DisplayAnswer::Unreachable, probeX11Display(":499", 5000));
  EXPECT_EQ(DisplayAnswer::Unreachable, probeX11Display("tcp/127.0.0.1:0", 5000));
}

TEST(DisplayProbe, WaylandCompositorIsAskedForASync) {
  ScratchDir scratch;
  Listener answering;
  ASSERT_TRUE(answering.listenPath(scratch / "wayland-0"));
  answering.answerOnce(12, std::string(8, '\x02'));
  EXPECT_EQ(DisplayAnswer::Answered, probeWaylandSocket(scratch / "wayland-0", 5000));
  EXPECT_EQ(12u, answering.request().size());

  Listener silent;
  ASSERT_TRUE(silent.listenPath(scratch / "wayland-1"));
  EXPECT_EQ(DisplayAnswer::Silent, probeWaylandSocket(scratch / "wayland-1", 300));
  EXPECT_EQ(DisplayAnswer::Unreachable, probeWaylandSocket(scratch / "wayland-2", 5000));
}
