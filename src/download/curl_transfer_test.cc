#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <glib.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <random>

#include "download/transfer.h"
#include "test_server.h"
#include "test_util.h"

namespace {

typedef std::vector<std::string> Events;

const int kIdleSeconds = 2;
// Long enough never to strike in tests that are not about it.
const int kRelaxedIdleSeconds = 15;

// One attempt, for the tests of what fails; `retrying()` for those of what
// comes back.
RetryPolicy once() {
  RetryPolicy policy;
  policy.attempts = 1;
  return policy;
}

RetryPolicy retrying() {
  RetryPolicy policy;
  policy.firstWaitMilliseconds = 20;
  return policy;
}

// What a transfer told its delegate.
class Recorder : public TransferDelegate {
 public:
  void didReceiveResponse(const std::string& etag, bool hasETag,
                          int64_t expectedLength) override {
    events.push_back("response");
    this->etag = etag;
    this->hasETag = hasETag;
    this->expectedLength = expectedLength;
    if (onResponse)
      onResponse();
  }
  void didReceiveNotModified(const std::string& etag) override {
    events.push_back("not modified");
    this->etag = etag;
    if (onNotModified)
      onNotModified();
  }
  void willRetry(const RetryNotice& notice) override {
    if (notice.first)
      events.push_back("retry " + std::to_string(notice.httpStatus));
    notices.push_back(notice);
    if (onRetry)
      onRetry();
  }
  void didReceiveDataOfLength(uint64_t length) override {
    if (events.empty() || events.back() != "data")
      events.push_back("data");
    received += length;
    if (onData)
      onData();
  }
  void didFinish() override {
    events.push_back("finish");
    if (onEnd)
      onEnd();
  }
  void didFailWithError(const std::string& description,
                        const std::string& failingUrl) override {
    events.push_back("fail");
    this->description = description;
    this->failingUrl = failingUrl;
    if (onEnd)
      onEnd();
  }

  bool ended() const {
    return !events.empty() && (events.back() == "finish" || events.back() == "fail");
  }

  Events events;  // runs of data events count as one
  std::string etag;
  bool hasETag = false;
  int64_t expectedLength = -2;
  uint64_t received = 0;
  std::string description;
  std::string failingUrl;
  std::vector<RetryNotice> notices;
  std::function<void()> onResponse;
  std::function<void()> onNotModified;
  std::function<void()> onRetry;
  std::function<void()> onData;
  std::function<void()> onEnd;
};

gboolean setFlag(gpointer flag) {
  *static_cast<bool*>(flag) = true;
  return G_SOURCE_REMOVE;
}

gboolean keepTicking(gpointer) {
  return G_SOURCE_CONTINUE;
}

// Turns the default main context until `done` holds or `seconds` have
// passed; false in the latter case.
bool spinUntil(const std::function<bool()>& done, int seconds = 20) {
  bool late = false;
  guint guard = g_timeout_add_seconds(static_cast<guint>(seconds), setFlag, &late);
  // Wakes the loop to look at `done` when nothing else would.
  guint tick = g_timeout_add(20, keepTicking, nullptr);
  while (!done() && !late)
    g_main_context_iteration(nullptr, TRUE);
  g_source_remove(tick);
  if (!late)
    g_source_remove(guard);
  return !late;
}

// `size` bytes that differ from place to place, so a misplaced chunk shows.
std::string makeArchive(const ScratchDir& scratch, size_t size) {
  std::string bytes(size, '\0');
  std::mt19937 random(static_cast<unsigned>(size));
  for (char& byte : bytes)
    byte = static_cast<char>(random());
  std::string path = scratch / "archive.zip";
  writeFile(path, bytes);
  return path;
}

// A port on 127.0.0.1 that nobody listens on.
int closedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  bind(fd, reinterpret_cast<struct sockaddr*>(&address), size);
  getsockname(fd, reinterpret_cast<struct sockaddr*>(&address), &size);
  close(fd);
  return ntohs(address.sin_port);
}

// Sets (or with nullopt unsets) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = getenv(name))
      old_ = old;
    if (value)
      setenv(name, value->c_str(), 1);
    else
      unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_)
      setenv(name_, old_->c_str(), 1);
    else
      unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

std::vector<std::string> tlsArgs(const std::string& certs, const std::string& name) {
  return {"--tls-cert", certs + "/" + name + ".pem", "--tls-key", certs + "/" + name + ".key"};
}

class CurlTransferTest : public ::testing::Test {
 protected:
  // Starts a transfer of `url` to `destination` and turns the main loop
  // until it ends.
  void fetch(const std::string& url, int idleSeconds = kRelaxedIdleSeconds,
             RetryPolicy policy = once(), const std::string& ifNoneMatch = "",
             int64_t maximumLength = -1) {
    transfer = makeCurlTransfer(idleSeconds, policy);
    transfer->start(url, destination, ifNoneMatch, &recorder, maximumLength);
    EXPECT_TRUE(spinUntil([this] { return recorder.ended(); })) << "the transfer never ended";
  }

  void expectFailureWithoutFile() {
    EXPECT_EQ(Events{"fail"}, recorder.events);
    EXPECT_FALSE(pathExists(destination));
  }

  ScratchDir scratch;
  std::string destination = scratch / "agent.zip";
  Recorder recorder;
  std::unique_ptr<Transfer> transfer;
};

TEST_F(CurlTransferTest, WholeBodyArrivesWithETagAndLength) {
  std::string archive = makeArchive(scratch, 300000);
  TestServer server(archive, {"--etag", "W/\"v1-abc\""});
  fetch(server.url());
  EXPECT_EQ((Events{"response", "data", "finish"}), recorder.events);
  EXPECT_EQ("W/\"v1-abc\"", recorder.etag);
  EXPECT_TRUE(recorder.hasETag);
  EXPECT_EQ(300000, recorder.expectedLength);
  EXPECT_EQ(300000u, recorder.received);
  EXPECT_EQ(readFile(archive), readFile(destination));
}

TEST_F(CurlTransferTest, BodyWithoutContentLengthGivesMinusOne) {
  std::string archive = makeArchive(scratch, 100000);
  TestServer server(archive, {"--no-length"});
  fetch(server.url());
  EXPECT_EQ((Events{"response", "data", "finish"}), recorder.events);
  EXPECT_EQ(-1, recorder.expectedLength);
  EXPECT_EQ(readFile(archive), readFile(destination));
}

// A body longer than the caller takes is refused: announced, before any of
// it is read; without a length, as soon as it passes the bound. Neither is
// tried again, and neither leaves a file.
TEST_F(CurlTransferTest, BodyLongerThanTheMaximumFailsAtOnce) {
  std::string archive = makeArchive(scratch, 100000);
  for (bool announced : {true, false}) {
    SCOPED_TRACE(announced);
    recorder = Recorder();
    TestServer server(archive, announced ? std::vector<std::string>{}
                                         : std::vector<std::string>{"--no-length"});
    fetch(server.url(), kRelaxedIdleSeconds, retrying(), "", 4096);
    EXPECT_EQ(announced ? "The server announced 100000 bytes, more than the 4096 expected"
                        : "The server sent more than the 4096 bytes expected",
              recorder.description);
    EXPECT_EQ(1, server.stats().requests);
    EXPECT_FALSE(pathExists(destination + ".partial"));
    EXPECT_FALSE(pathExists(destination));
  }
  recorder = Recorder();
  TestServer small(makeArchive(scratch, 4096), {"--no-length"});
  fetch(small.url(), kRelaxedIdleSeconds, retrying(), "", 4096);
  EXPECT_EQ((Events{"response", "data", "finish"}), recorder.events);
}

TEST_F(CurlTransferTest, ResponseWithoutETagSaysSo) {
  TestServer server(makeArchive(scratch, 1000));
  fetch(server.url());
  EXPECT_FALSE(recorder.hasETag);
  EXPECT_EQ("", recorder.etag);
}

TEST_F(CurlTransferTest, ETagLosesOnlyTheBlanksAroundIt) {
  TestServer server(makeArchive(scratch, 1000), {"--header", "eTaG: \t \"a b\"\t "});
  fetch(server.url());
  EXPECT_TRUE(recorder.hasETag);
  EXPECT_EQ("\"a b\"", recorder.etag);
}

TEST_F(CurlTransferTest, EmptyBodyMakesAnEmptyFile) {
  TestServer server(makeArchive(scratch, 0));
  fetch(server.url());
  EXPECT_EQ((Events{"response", "finish"}), recorder.events) << recorder.description;
  EXPECT_EQ(0, recorder.expectedLength);
  EXPECT_TRUE(pathExists(destination));
  EXPECT_EQ("", readFile(destination));
}

TEST_F(CurlTransferTest, ExistingDestinationIsReplaced) {
  std::string archive = makeArchive(scratch, 5000);
  writeFile(destination, std::string(20000, 'x'));
  TestServer server(archive);
  fetch(server.url());
  EXPECT_EQ("finish", recorder.events.back());
  EXPECT_EQ(readFile(archive), readFile(destination));
}

TEST_F(CurlTransferTest, ErrorStatusFailsAndLeavesNoFile) {
  std::string archive = makeArchive(scratch, 1000);
  for (int status : {404, 500}) {
    SCOPED_TRACE(status);
    recorder = Recorder();
    writeFile(destination, "an older download");
    TestServer server(archive, {"--status", std::to_string(status), "--etag", "\"e\""});
    fetch(server.url());
    expectFailureWithoutFile();
    EXPECT_EQ("HTTP status " + std::to_string(status), recorder.description);
    EXPECT_EQ(server.url(), recorder.failingUrl);
  }
}

TEST_F(CurlTransferTest, RefusedConnectionFails) {
  std::string url = "http://127.0.0.1:" + std::to_string(closedPort()) + "/agent";
  fetch(url);
  expectFailureWithoutFile();
  EXPECT_NE(std::string::npos, recorder.description.find("onnect")) << recorder.description;
  EXPECT_EQ(url, recorder.failingUrl);
}

TEST_F(CurlTransferTest, RedirectsAreFollowedToTheOneResponse) {
  std::string archive = makeArchive(scratch, 20000);
  TestServer server(archive, {"--redirect", "3", "--etag", "\"final\""});
  fetch(server.url());
  EXPECT_EQ((Events{"response", "data", "finish"}), recorder.events);
  EXPECT_EQ("\"final\"", recorder.etag);
  EXPECT_EQ(4, server.stats().requests);
  EXPECT_EQ(readFile(archive), readFile(destination));
}

TEST_F(CurlTransferTest, HeadersOfRedirectsDoNotCount) {
  TestServer server(makeArchive(scratch, 20000),
                    {"--redirect", "2", "--redirect-etag", "\"hop\"", "--no-length"});
  fetch(server.url());
  EXPECT_EQ("finish", recorder.events.back());
  EXPECT_FALSE(recorder.hasETag);
  EXPECT_EQ(-1, recorder.expectedLength);
}

TEST_F(CurlTransferTest, RedirectLoopFails) {
  TestServer server(makeArchive(scratch, 1000), {"--redirect-loop"});
  fetch(server.url());
  expectFailureWithoutFile();
  EXPECT_EQ(11, server.stats().requests);  // the first request and ten redirects
}

TEST_F(CurlTransferTest, HttpsIsTrustedThroughSslCertFile) {
  std::string certs = makeTestCertificates(scratch / "certs");
  ScopedEnv caFile("SSL_CERT_FILE", certs + "/ca.pem");
  std::string archive = makeArchive(scratch, 200000);
  TestServer server(archive, tlsArgs(certs, "server"));
  fetch(server.url());
  EXPECT_EQ((Events{"response", "data", "finish"}), recorder.events) << recorder.description;
  EXPECT_EQ(readFile(archive), readFile(destination));
}

TEST_F(CurlTransferTest, HttpsIsTrustedThroughSslCertDir) {
  std::string certs = makeTestCertificates(scratch / "certs");
  std::string anchors = scratch / "anchors";
  ASSERT_EQ(0, runProgram({"mkdir", anchors}).exitCode);
  writeFile(anchors + "/test-ca.pem", readFile(certs + "/ca.pem"));
  ASSERT_EQ(0, runProgram({"openssl", "rehash", anchors}).exitCode);
  ScopedEnv caFile("SSL_CERT_FILE", std::nullopt);
  ScopedEnv caDir("SSL_CERT_DIR", anchors);
  TestServer server(makeArchive(scratch, 1000), tlsArgs(certs, "server"));
  fetch(server.url());
  EXPECT_EQ("finish", recorder.events.back()) << recorder.description;
}

TEST_F(CurlTransferTest, UntrustedCertificatesFail) {
  std::string certs = makeTestCertificates(scratch / "certs");
  ScopedEnv caFile("SSL_CERT_FILE", certs + "/ca.pem");
  std::string archive = makeArchive(scratch, 1000);
  // Each certificate has one defect; the description names it.
  for (auto [name, reason] : {std::pair{"selfsigned", "self-signed"},
                              std::pair{"wronghost", "host name"},
                              std::pair{"expired", "expired"}}) {
    SCOPED_TRACE(name);
    recorder = Recorder();
    TestServer server(archive, tlsArgs(certs, name));
    fetch(server.url());
    expectFailureWithoutFile();
    EXPECT_NE(std::string::npos, recorder.description.find(reason)) << recorder.description;
    EXPECT_EQ(0, server.stats().requests);
  }
}

TEST_F(CurlTransferTest, HttpsMayNotRedirectToHttp) {
  std::string certs = makeTestCertificates(scratch / "certs");
  ScopedEnv caFile("SSL_CERT_FILE", certs + "/ca.pem");
  std::string archive = makeArchive(scratch, 1000);
  TestServer plain(archive);
  std::vector<std::string> args = tlsArgs(certs, "server");
  args.insert(args.end(), {"--redirect-to", plain.url()});
  TestServer secure(archive, args);
  fetch(secure.url());
  expectFailureWithoutFile();
  EXPECT_EQ(1, secure.stats().requests);
  EXPECT_EQ(0, plain.stats().requests);
}

TEST_F(CurlTransferTest, HttpMayRedirectToHttps) {
  std::string certs = makeTestCertificates(scratch / "certs");
  ScopedEnv caFile("SSL_CERT_FILE", certs + "/ca.pem");
  std::string archive = makeArchive(scratch, 1000);
  TestServer secure(archive, tlsArgs(certs, "server"));
  TestServer plain(archive, {"--redirect-to", secure.url()});
  fetch(plain.url());
  EXPECT_EQ("finish", recorder.events.back()) << recorder.description;
  EXPECT_EQ(1, secure.stats().requests);
}

TEST_F(CurlTransferTest, ServerSilentBeforeHeadersTimesOut) {
  TestServer server(makeArchive(scratch, 1000), {"--stall-headers", "12"});
  fetch(server.url(), kIdleSeconds);
  expectFailureWithoutFile();
  EXPECT_EQ("Nothing received for 2 seconds", recorder.description);
}

TEST_F(CurlTransferTest, ServerSilentInTheBodyTimesOut) {
  TestServer server(makeArchive(scratch, 100000), {"--stall-after", "30000", "--stall", "12"});
  fetch(server.url(), kIdleSeconds);
  EXPECT_EQ((Events{"response", "data", "fail"}), recorder.events);
  EXPECT_EQ("Nothing received for 2 seconds", recorder.description);
  EXPECT_FALSE(pathExists(destination));
}

TEST_F(CurlTransferTest, SlowButSteadyBodyIsNotIdle) {
  std::string archive = makeArchive(scratch, 4000);
  TestServer server(archive, {"--rate", "1000"});  // four seconds in all
  fetch(server.url(), kIdleSeconds);
  EXPECT_EQ("finish", recorder.events.back()) << recorder.description;
  EXPECT_EQ(readFile(archive), readFile(destination));
}

TEST_F(CurlTransferTest, BodyCutShortFailsAndLeavesNoFile) {
  TestServer server(makeArchive(scratch, 100000), {"--cut-after", "40000"});
  fetch(server.url());
  EXPECT_EQ((Events{"response", "data", "fail"}), recorder.events);
  EXPECT_FALSE(pathExists(destination));
  EXPECT_LT(recorder.received, 100000u);
}

TEST_F(CurlTransferTest, WriteErrorFailsWithTheSystemsReason) {
  TestServer server(makeArchive(scratch, 1 << 20));
  // Files of this process may not grow past 64 KiB; the server runs already.
  struct rlimit old;
  getrlimit(RLIMIT_FSIZE, &old);
  struct rlimit small = old;
  small.rlim_cur = 64 << 10;
  signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &small);
  fetch(server.url());
  setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_EQ("fail", recorder.events.back());
  EXPECT_NE(std::string::npos, recorder.description.find(strerror(EFBIG))) << recorder.description;
  EXPECT_FALSE(pathExists(destination));
}

TEST_F(CurlTransferTest, UnusableUrlsFailLater) {
  for (std::string url :
       {"", "ftp://127.0.0.1/x", "file:///etc/passwd", "not a url", "/agent.zip"}) {
    SCOPED_TRACE(url);
    recorder = Recorder();
    transfer = makeCurlTransfer(kRelaxedIdleSeconds, once());
    transfer->start(url, destination, "", &recorder, -1);
    EXPECT_TRUE(recorder.events.empty());
    EXPECT_TRUE(spinUntil([this] { return recorder.ended(); }));
    expectFailureWithoutFile();
    EXPECT_EQ(url, recorder.failingUrl);
    EXPECT_FALSE(recorder.description.empty());
  }
}

TEST_F(CurlTransferTest, CancelInResponseDropsTheConnectionAndTheFile) {
  const long size = 4 << 20;
  TestServer server(makeArchive(scratch, size), {"--rate", "2000000"});
  transfer = makeCurlTransfer(kRelaxedIdleSeconds, once());
  recorder.onResponse = [this] { transfer->cancel(); };
  transfer->start(server.url(), destination, "", &recorder, -1);
  EXPECT_TRUE(spinUntil([&] { return server.stats().abortedBodies == 1; }));
  EXPECT_EQ(Events{"response"}, recorder.events);
  EXPECT_FALSE(pathExists(destination));
  EXPECT_LT(server.stats().bodyBytesSent, size / 4);
}

TEST_F(CurlTransferTest, CancelTwiceAndAfterTheEndIsHarmless) {
  std::string archive = makeArchive(scratch, 1000);
  TestServer server(archive);
  fetch(server.url());
  transfer->cancel();
  transfer->cancel();
  EXPECT_EQ((Events{"response", "data", "finish"}), recorder.events);
  EXPECT_EQ(readFile(archive), readFile(destination));
}

TEST_F(CurlTransferTest, DeletingARunningTransferStopsEverything) {
  TestServer server(makeArchive(scratch, 100000), {"--stall-after", "30000", "--stall", "12"});
  transfer = makeCurlTransfer(kIdleSeconds, once());
  Transfer* deleted = transfer.get();
  recorder.onData = [this] { transfer.reset(); };
  transfer->start(server.url(), destination, "", &recorder, -1);
  EXPECT_TRUE(spinUntil([&] { return server.stats().abortedBodies == 1; }));
  ASSERT_EQ(nullptr, g_main_context_find_source_by_user_data(nullptr, deleted));
  // Past the idle time-out: a timer left behind would fire now.
  spinUntil([] { return false; }, kIdleSeconds + 1);
  EXPECT_EQ((Events{"response", "data"}), recorder.events);
  EXPECT_FALSE(pathExists(destination));
}

TEST_F(CurlTransferTest, TransferCanBeStartedAgainFromItsFailure) {
  std::string archive = makeArchive(scratch, 1000);
  TestServer good(archive);
  transfer = makeCurlTransfer(kRelaxedIdleSeconds, once());
  Recorder retry;
  recorder.onEnd = [&] { transfer->start(good.url(), destination, "", &retry, -1); };
  transfer->start("http://127.0.0.1:" + std::to_string(closedPort()) + "/", destination, "",
                  &recorder, -1);
  EXPECT_TRUE(spinUntil([&] { return retry.ended(); }));
  EXPECT_EQ(Events{"fail"}, recorder.events);
  EXPECT_EQ((Events{"response", "data", "finish"}), retry.events);
  EXPECT_EQ(readFile(archive), readFile(destination));
}

// What the server was asked, one JSON line per request, as it logged it.
std::vector<std::string> requestsIn(const std::string& log) { return lines(readFile(log)); }

TEST_F(CurlTransferTest, EagerBodyIsNotReadBeforeItsResponseIsJudged) {
  TestServer server(makeArchive(scratch, 4 << 20));
  transfer = makeCurlTransfer(kRelaxedIdleSeconds, once());
  bool partialAtResponse = true;
  recorder.onResponse = [&] {
    partialAtResponse = pathExists(destination + ".partial");
    transfer->cancel();
  };
  transfer->start(server.url(), destination, "", &recorder, -1);
  EXPECT_TRUE(spinUntil([&] { return server.stats().abortedBodies == 1; }));
  EXPECT_FALSE(partialAtResponse);
  EXPECT_EQ(Events{"response"}, recorder.events);
  EXPECT_EQ(0u, recorder.received);
  EXPECT_FALSE(pathExists(destination + ".partial"));
  EXPECT_FALSE(pathExists(destination));
}

TEST_F(CurlTransferTest, NotModifiedNamesTheETagItConfirms) {
  std::string archive = makeArchive(scratch, 100000);
  // The server compares weakly: a 304 without an ETag confirms what was asked.
  for (bool withETag : {true, false}) {
    SCOPED_TRACE(withETag);
    recorder = Recorder();
    std::vector<std::string> args = {"--etag", "\"n1\"", "--conditional"};
    if (!withETag)
      args.push_back("--not-modified-without-etag");
    TestServer server(archive, args);
    fetch(server.url(), kRelaxedIdleSeconds, retrying(), "W/\"n1\"");
    EXPECT_EQ((Events{"not modified", "fail"}), recorder.events);
    EXPECT_EQ(withETag ? "\"n1\"" : "W/\"n1\"", recorder.etag);
    EXPECT_EQ("HTTP status 304", recorder.description);
    EXPECT_EQ(1, server.stats().requests);
    EXPECT_EQ(0, server.stats().bodyBytesSent);
  }
}

TEST_F(CurlTransferTest, CutBodyResumesWhereItWasCut) {
  const long size = 1 << 20;
  std::string archive = makeArchive(scratch, size);
  std::string log = scratch / "requests";
  TestServer server(archive, {"--etag", "\"r1\"", "--ranges", "--plan", "cut:50%",
                              "--request-log", log});
  fetch(server.url(), kRelaxedIdleSeconds, retrying());
  EXPECT_EQ((Events{"response", "data", "retry 0", "data", "finish"}), recorder.events);
  EXPECT_EQ(readFile(archive), readFile(destination));
  EXPECT_EQ(static_cast<uint64_t>(size), recorder.received);
  EXPECT_EQ(size, server.stats().bodyBytesSent);
  std::vector<std::string> requests = requestsIn(log);
  ASSERT_EQ(2u, requests.size());
  EXPECT_NE(std::string::npos,
            requests[1].find("[\"Range\", \"bytes=" + std::to_string(size / 2) + "-\"]"))
      << requests[1];
  EXPECT_NE(std::string::npos, requests[1].find("[\"If-Range\", \"\\\"r1\\\"\"]")) << requests[1];
}

TEST_F(CurlTransferTest, BodyStartsOverWhenItCannotResume) {
  std::string archive = makeArchive(scratch, 1 << 20);
  struct Case {
    const char* what;
    std::vector<std::string> args;
  };
  for (const Case& c : std::vector<Case>{
           {"the server ignores the range", {"--etag", "\"s\"", "--range-answer", "200"}},
           {"the server answers 416", {"--etag", "\"s\"", "--range-answer", "416"}},
           {"a weak ETag", {"--etag", "W/\"s\""}}}) {
    SCOPED_TRACE(c.what);
    recorder = Recorder();
    std::vector<std::string> args = c.args;
    for (const char* arg : {"--ranges", "--plan", "cut:50%"})
      args.push_back(arg);
    TestServer server(archive, args);
    fetch(server.url(), kRelaxedIdleSeconds, retrying());
    EXPECT_EQ("finish", recorder.events.back());
    EXPECT_EQ(2, std::count(recorder.events.begin(), recorder.events.end(), "response"));
    EXPECT_EQ(readFile(archive), readFile(destination));
  }
}

TEST_F(CurlTransferTest, PassingFailuresAreRetriedLastingOnesAreNot) {
  std::string archive = makeArchive(scratch, 1000);
  {
    TestServer server(archive, {"--plan", "503,502,drop"});
    fetch(server.url(), kRelaxedIdleSeconds, retrying());
    EXPECT_EQ((Events{"retry 503", "retry 502", "retry 0", "response", "data", "finish"}),
              recorder.events);
    ASSERT_EQ(3u, recorder.notices.size());
    EXPECT_EQ(2, recorder.notices[0].attempt);
    EXPECT_EQ(4, recorder.notices[2].attempt);
    EXPECT_EQ(5, recorder.notices[2].attempts);
  }
  for (int status : {503, 404}) {
    SCOPED_TRACE(status);
    recorder = Recorder();
    TestServer server(archive, {"--status", std::to_string(status)});
    fetch(server.url(), kRelaxedIdleSeconds, retrying());
    EXPECT_EQ("HTTP status " + std::to_string(status), recorder.description);
    EXPECT_EQ(status == 503 ? 5 : 1, server.stats().requests);
  }
}

TEST_F(CurlTransferTest, RetryAfterIsWaitedForUpToTheCap) {
  TestServer server(makeArchive(scratch, 1000), {"--plan", "429", "--retry-after", "3600"});
  RetryPolicy policy = retrying();
  policy.retryAfterCapSeconds = 1;
  gint64 started = g_get_monotonic_time();
  fetch(server.url(), kRelaxedIdleSeconds, policy);
  gint64 took = g_get_monotonic_time() - started;
  EXPECT_EQ((Events{"retry 429", "response", "data", "finish"}), recorder.events);
  ASSERT_FALSE(recorder.notices.empty());
  EXPECT_EQ(1, recorder.notices[0].secondsLeft);
  EXPECT_GE(took, 900 * 1000);
}

TEST_F(CurlTransferTest, CancelDuringTheWaitRemovesTheBodyKeptForResuming) {
  TestServer server(makeArchive(scratch, 1 << 20),
                    {"--etag", "\"k\"", "--ranges", "--plan", "cut:50%"});
  RetryPolicy policy = retrying();
  policy.firstWaitMilliseconds = 10000;
  transfer = makeCurlTransfer(kRelaxedIdleSeconds, policy);
  bool kept = false;
  recorder.onRetry = [&] {
    kept = pathExists(destination + ".partial");
    transfer->cancel();
  };
  transfer->start(server.url(), destination, "", &recorder, -1);
  EXPECT_TRUE(spinUntil([&] { return !recorder.notices.empty(); }));
  spinUntil([] { return false; }, 1);
  EXPECT_TRUE(kept);
  EXPECT_EQ((Events{"response", "data", "retry 0"}), recorder.events);
  EXPECT_FALSE(pathExists(destination + ".partial"));
  EXPECT_EQ(1, server.stats().requests);
}

}  // namespace
