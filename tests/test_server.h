#ifndef INSTALLER_TESTS_TEST_SERVER_H_
#define INSTALLER_TESTS_TEST_SERVER_H_

#include <sys/types.h>

#include <string>
#include <vector>

/// What the test server has seen so far.
struct ServerStats {
  long requests = 0;
  long bodyBytesSent = 0;
  long completedBodies = 0;
  long abortedBodies = 0;
  long signatureBytesSent = 0;  ///< of --signature-endless bodies
};

/// tests/server/agent_server.py on 127.0.0.1 with a port the system picks,
/// serving `archive` at every path. `args` are further server options
/// ("--etag", "\"v1\"", "--no-length", ...). Stopped when destroyed.
class TestServer {
 public:
  TestServer(const std::string& archive, const std::vector<std::string>& args = {});
  /// An ordinary static file server instead (tests/server/plain_server.py)
  /// serving the files of `dir`: headers and body at once, a strong ETag,
  /// and neither If-None-Match nor Range. Its stats count requests and
  /// body bytes only.
  struct Plain {
    std::string dir;
  };
  explicit TestServer(const Plain& plain);
  ~TestServer();
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  int port() const { return port_; }
  /// "http://127.0.0.1:<port><path>", or https when started with --tls-cert.
  std::string url(const std::string& path = "/pi_install_agent") const;
  /// Read from the server's stats file.
  ServerStats stats() const;

 private:
  void launch(std::vector<std::string> argv);

  pid_t pid_ = -1;
  int port_ = 0;
  bool tls_ = false;
  std::string statsFile_;
};

/// Makes the test certificates (ca.pem, server.pem, ...) in `dir` once per
/// directory; returns `dir`.
std::string makeTestCertificates(const std::string& dir);

#endif  // INSTALLER_TESTS_TEST_SERVER_H_
