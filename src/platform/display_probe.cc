// A display server that takes a connection and never answers (the stale
// forwarding of a remote session whose other end is gone) makes the toolkit
// wait for its greeting without bound, deaf to signals. So the display is
// asked first, over the same socket the toolkit would use, with a greeting
// of its own protocol, and any reply at all (welcome, refusal, a demand for
// authorisation) shows that someone is there. Every wait is a poll of at
// most one slice, so that a noted signal is seen at once and the whole
// probe keeps to its time.
//
// The displays are asked in the toolkit's own order (GDK_BACKEND, Wayland
// before X), each where its library would connect, and the toolkit is then
// held to the one that answered. One that refuses the connection or is not
// there is passed to the next, as the toolkit does; silence, or a display
// named in a way not read here, keeps the window away.
#include "platform/display_probe.h"

#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <sstream>
#include <vector>

#include "platform/shell.h"

namespace {

const int kSliceMs = 100;
const int kX11TcpPort = 6000;

long long nowMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// What is left of the time until `deadline`, at most one slice; 0 once it
// has passed.
int sliceUntil(long long deadline) {
  long long left = deadline - nowMs();
  if (left <= 0)
    return 0;
  return left < kSliceMs ? static_cast<int>(left) : kSliceMs;
}

// Waits until `fd` is ready for `events`: Answered when it is.
DisplayAnswer waitUntilReady(int fd, short events, long long deadline) {
  for (;;) {
    if (signalNoted())
      return DisplayAnswer::Interrupted;
    int slice = sliceUntil(deadline);
    if (slice == 0)
      return DisplayAnswer::Silent;
    struct pollfd ready = {fd, events, 0};
    int n = poll(&ready, 1, slice);
    if (n > 0)
      return DisplayAnswer::Answered;
    if (n < 0 && errno != EINTR)
      return DisplayAnswer::Unreachable;
  }
}

// Connects a fresh socket to `address`: Answered with `*fd` set once
// connected.
DisplayAnswer connectWithin(const struct sockaddr* address, socklen_t length, long long deadline,
                            int* fd) {
  int s = socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s == -1)
    return DisplayAnswer::Unreachable;
  for (;;) {
    if (connect(s, address, length) == 0)
      break;
    DisplayAnswer waited;
    if (errno == EINPROGRESS || errno == EINTR) {
      waited = waitUntilReady(s, POLLOUT, deadline);
      int error = 0;
      socklen_t size = sizeof error;
      if (waited == DisplayAnswer::Answered &&
          (getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0))
        waited = DisplayAnswer::Unreachable;
      if (waited == DisplayAnswer::Answered)
        break;
    } else if (errno == EAGAIN) {
      // A local server that has stopped accepting: its backlog is full.
      int slice = sliceUntil(deadline);
      if (!signalNoted() && slice > 0) {
        poll(nullptr, 0, slice);
        continue;
      }
      waited = signalNoted() ? DisplayAnswer::Interrupted : DisplayAnswer::Silent;
    } else {
      waited = DisplayAnswer::Unreachable;
    }
    close(s);
    return waited;
  }
  *fd = s;
  return DisplayAnswer::Answered;
}

// Sends `request` on the connected `fd` and waits for `replyBytes` bytes.
DisplayAnswer greet(int fd, const void* request, size_t length, size_t replyBytes,
                    long long deadline) {
  if (send(fd, request, length, MSG_NOSIGNAL) != static_cast<ssize_t>(length))
    return DisplayAnswer::Unreachable;
  char reply[16];
  size_t got = 0;
  while (got < replyBytes) {
    DisplayAnswer ready = waitUntilReady(fd, POLLIN, deadline);
    if (ready != DisplayAnswer::Answered)
      return ready;
    ssize_t n = recv(fd, reply, replyBytes - got, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
      return DisplayAnswer::Unreachable;  // hung up
    if (n > 0)
      got += static_cast<size_t>(n);
  }
  return DisplayAnswer::Answered;
}

DisplayAnswer connectAndGreet(const struct sockaddr* address, socklen_t length, const void* request,
                              size_t requestBytes, size_t replyBytes, long long deadline) {
  int fd = -1;
  DisplayAnswer connected = connectWithin(address, length, deadline, &fd);
  if (connected != DisplayAnswer::Answered)
    return connected;
  DisplayAnswer answer = greet(fd, request, requestBytes, replyBytes, deadline);
  close(fd);
  return answer;
}

// A Unix socket address for `path`; in the abstract namespace when
// `abstract`. False when the path does not fit.
bool unixAddress(const std::string& path, bool abstract, struct sockaddr_un* address,
                 socklen_t* length) {
  memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  size_t offset = abstract ? 1 : 0;
  if (path.empty() || offset + path.size() >= sizeof address->sun_path)
    return false;
  memcpy(address->sun_path + offset, path.data(), path.size());
  *length = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + offset + path.size() +
                                   (abstract ? 0 : 1));
  return true;
}

// The addresses of `host`: a literal one at once, a name through a lookup
// that gives way to the deadline and to signals as everything here does.
DisplayAnswer resolve(const std::string& host, int port, long long deadline,
                      struct addrinfo** result) {
  struct addrinfo hints = {};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  std::string service = std::to_string(port);
  int literal = getaddrinfo(host.c_str(), service.c_str(), &hints, result);
  if (literal == 0)
    return DisplayAnswer::Answered;
  if (literal != EAI_NONAME)
    return DisplayAnswer::Unreachable;

  // The lookup runs on a thread of its own and needs these until it ends; one
  // that cannot be cancelled keeps them.
  struct Lookup {
    std::string name, service;
    struct addrinfo hints;
    struct gaicb request;
  };
  auto* lookup = new Lookup{host, service, {}, {}};
  lookup->hints.ai_socktype = SOCK_STREAM;
  lookup->hints.ai_flags = AI_NUMERICSERV;
  lookup->request.ar_name = lookup->name.c_str();
  lookup->request.ar_service = lookup->service.c_str();
  lookup->request.ar_request = &lookup->hints;
  struct gaicb* list[] = {&lookup->request};
  if (getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr) != 0) {
    delete lookup;
    return DisplayAnswer::Unreachable;
  }
  for (;;) {
    int state = gai_error(&lookup->request);
    if (state != EAI_INPROGRESS) {
      *result = lookup->request.ar_result;
      delete lookup;
      return state == 0 ? DisplayAnswer::Answered : DisplayAnswer::Unreachable;
    }
    int slice = sliceUntil(deadline);
    if (signalNoted() || slice == 0)
      break;
    struct timespec wait = {0, slice * 1000000L};
    gai_suspend(list, 1, &wait);
  }
  int cancelled = gai_cancel(&lookup->request);
  if (cancelled == EAI_ALLDONE && lookup->request.ar_result != nullptr)
    freeaddrinfo(lookup->request.ar_result);
  if (cancelled != EAI_NOTCANCELED)
    delete lookup;
  return signalNoted() ? DisplayAnswer::Interrupted : DisplayAnswer::Silent;
}

bool readNumber(const char* text, const char** end, int* number) {
  if (*text < '0' || *text > '9')
    return false;
  long value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + (*text - '0');
    if (value > 65535)
      return false;
  }
  *end = text;
  *number = static_cast<int>(value);
  return true;
}

// A local socket, as the X library tries it: the abstract name first, then
// the file; only a missing or refused abstract name sends it to the file.
DisplayAnswer probeX11Socket(const std::string& path, const unsigned char* request, size_t length,
                             long long deadline) {
  struct sockaddr_un local;
  socklen_t size;
  DisplayAnswer answer = DisplayAnswer::Unreachable;
  for (bool abstract : {true, false}) {
    if (!unixAddress(path, abstract, &local, &size))
      continue;
    answer = connectAndGreet(reinterpret_cast<struct sockaddr*>(&local), size, request, length, 8,
                             deadline);
    if (answer != DisplayAnswer::Unreachable)
      return answer;
  }
  return answer;
}

DisplayAnswer probeX11Tcp(const std::string& host, int display, const unsigned char* request,
                          size_t length, long long deadline) {
  if (display > 65535 - kX11TcpPort)
    return DisplayAnswer::Unreachable;
  struct addrinfo* found = nullptr;
  DisplayAnswer answer =
      resolve(host.empty() ? "localhost" : host, kX11TcpPort + display, deadline, &found);
  if (answer != DisplayAnswer::Answered)
    return answer;
  // The library keeps to the first address that takes the connection.
  answer = DisplayAnswer::Unreachable;
  for (struct addrinfo* a = found; a != nullptr && answer == DisplayAnswer::Unreachable;
       a = a->ai_next)
    answer = connectAndGreet(a->ai_addr, a->ai_addrlen, request, length, 8, deadline);
  freeaddrinfo(found);
  return answer;
}

DisplayAnswer probeX11Within(const std::string& display, long long deadline) {
  X11Address address;
  if (!parseX11Display(display, &address) || address.refused)
    return DisplayAnswer::Unreachable;

  // A connection set-up in this machine's byte order, protocol 11.0, with
  // no authorisation: even a server that wants one replies at once.
  unsigned char request[12] = {};
  const uint16_t one = 1;
  request[0] = *reinterpret_cast<const unsigned char*>(&one) == 1 ? 'l' : 'B';
  const uint16_t major = 11;
  memcpy(request + 2, &major, sizeof major);

  if (!address.socket.empty())
    return probeX11Socket(address.socket, request, sizeof request, deadline);
  if (!address.host.empty())
    return probeX11Tcp(address.host, address.display, request, sizeof request, deadline);
  DisplayAnswer answer = probeX11Socket("/tmp/.X11-unix/X" + std::to_string(address.display),
                                        request, sizeof request, deadline);
  if (answer == DisplayAnswer::Unreachable && address.tcpFallback)
    answer = probeX11Tcp("", address.display, request, sizeof request, deadline);
  return answer;
}

DisplayAnswer probeWaylandWithin(const std::string& socketPath, long long deadline) {
  struct sockaddr_un address;
  socklen_t length;
  if (!unixAddress(socketPath, false, &address, &length))
    return DisplayAnswer::Unreachable;
  // wl_display.sync (object 1, request 0, a 12-byte message) creating the
  // callback object 2: the compositor answers with the callback's "done".
  const uint32_t sync[3] = {1, (12u << 16) | 0u, 2};
  return connectAndGreet(reinterpret_cast<struct sockaddr*>(&address), length, sync, sizeof sync, 8,
                         deadline);
}

}  // namespace

bool parseX11Display(const std::string& value, X11Address* address) {
  *address = X11Address();
  // The path of a socket, with or without a screen after it.
  if (!value.empty() && value[0] == '/') {
    struct stat st;
    std::string path = value;
    size_t dot = path.rfind('.');
    const char* end;
    int screen;
    if (stat(path.c_str(), &st) != 0 && dot != std::string::npos &&
        readNumber(path.c_str() + dot + 1, &end, &screen) && *end == '\0')
      path.resize(dot);
    if (stat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode))
      return false;
    address->socket = path;
    return true;
  }

  std::string protocol, rest = value;
  size_t slash = value.rfind('/');
  bool hasProtocol = slash != std::string::npos;
  if (hasProtocol) {
    protocol = value.substr(0, slash);
    rest = value.substr(slash + 1);
  }
  // The number follows the last colon; an IPv6 address in front of it may be
  // bracketed or not.
  size_t colon = rest.rfind(':');
  if (colon == std::string::npos)
    return false;
  const char* end;
  int display;
  if (!readNumber(rest.c_str() + colon + 1, &end, &display))
    return false;
  int screen;
  if (*end == '.' && !readNumber(end + 1, &end, &screen))
    return false;
  if (*end != '\0')
    return false;

  std::string host = rest.substr(0, colon);
  address->display = display;
  if ((!hasProtocol || protocol != "unix") && !host.empty() && host != "unix") {
    // TCP, with the protocols the library knows for it.
    if (hasProtocol && protocol != "tcp" && protocol != "inet" && protocol != "inet6")
      address->refused = true;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
      host = host.substr(1, host.size() - 2);
    // A stray colon or bracket (a DECnet "host::N", say): not read here.
    if (host.find_first_of("[]") != std::string::npos || host.back() == ':')
      return false;
    address->host = host;
    return true;
  }
  // The local socket; only ":N" tries TCP on localhost after it.
  if (hasProtocol && protocol != "unix")
    address->refused = true;
  address->tcpFallback = !hasProtocol && host.empty();
  return true;
}

DisplayAnswer probeX11Display(const std::string& display, int timeoutMs) {
  return probeX11Within(display, nowMs() + timeoutMs);
}

DisplayAnswer probeWaylandSocket(const std::string& socketPath, int timeoutMs) {
  return probeWaylandWithin(socketPath, nowMs() + timeoutMs);
}

namespace {

std::string environmentValue(const char* name) {
  const char* value = getenv(name);
  return value != nullptr ? value : "";
}

// The backends the toolkit would try, in order: "wayland", "x11", or any
// other name that is one of its own (broadway), which cannot be asked.
std::vector<std::string> backendsToTry() {
  const char* list = getenv("GDK_BACKEND");
  std::vector<std::string> backends;
  std::stringstream entries(list != nullptr ? list : "*");
  for (std::string entry; std::getline(entries, entry, ',');) {
    if (entry == "*") {
      backends.push_back("wayland");
      backends.push_back("x11");
    } else if (entry == "wayland" || entry == "x11" || entry == "broadway") {
      backends.push_back(entry);
    }
    // Names the toolkit does not know it passes over, and so does this.
  }
  return backends;
}

}  // namespace

DisplayChoice chooseDisplay(int timeoutMs) {
  long long deadline = nowMs() + timeoutMs;
  DisplayChoice choice;
  for (const std::string& backend : backendsToTry()) {
    if (choice.verdict == DisplayChoice::Window)
      break;
    std::string name;
    DisplayAnswer answer = DisplayAnswer::Unreachable;
    if (backend == "wayland") {
      // The Wayland library takes an inherited socket first, then the
      // name (wayland-0 when unset) under XDG_RUNTIME_DIR, or a path; the
      // toolkit does not try at all without XDG_RUNTIME_DIR.
      if (getenv("XDG_RUNTIME_DIR") == nullptr)
        continue;
      std::string runtime = environmentValue("XDG_RUNTIME_DIR");
      name = environmentValue("WAYLAND_DISPLAY");
      if (!environmentValue("WAYLAND_SOCKET").empty()) {
        choice.verdict = DisplayChoice::Unjudged;
        choice.display = "WAYLAND_SOCKET=" + environmentValue("WAYLAND_SOCKET");
        return choice;
      }
      if (name.empty())
        name = "wayland-0";
      if (name[0] != '/' && (runtime.empty() || runtime[0] != '/'))
        continue;  // the library refuses a name without a runtime directory
      answer = probeWaylandWithin(name[0] == '/' ? name : runtime + "/" + name, deadline);
    } else if (backend == "x11") {
      name = environmentValue("DISPLAY");
      if (name.empty())
        continue;
      X11Address address;
      if (!parseX11Display(name, &address)) {
        choice.verdict = DisplayChoice::Unjudged;
        choice.display = name;
        return choice;
      }
      answer = probeX11Within(name, deadline);
    } else {
      choice.verdict = DisplayChoice::Unjudged;
      choice.display = "GDK_BACKEND=" + backend;
      return choice;
    }
    switch (answer) {
      case DisplayAnswer::Answered:
        choice.verdict = DisplayChoice::Window;
        choice.backend = backend;
        break;
      case DisplayAnswer::Unreachable:
        break;
      case DisplayAnswer::Silent:
        choice.verdict = DisplayChoice::Silent;
        choice.display = name;
        return choice;
      case DisplayAnswer::Interrupted:
        choice.verdict = DisplayChoice::Interrupted;
        return choice;
    }
  }
  return choice;
}
