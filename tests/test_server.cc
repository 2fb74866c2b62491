#include "test_server.h"

#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "test_util.h"

TestServer::TestServer(const std::string& archive, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"python3", TEST_SERVER_SCRIPT, "--archive", archive};
  for (const std::string& arg : args) {
    argv.push_back(arg);
    if (arg == "--tls-cert")
      tls_ = true;
  }
  launch(argv);
}

TestServer::TestServer(const Plain& plain) {
  launch({"python3", PLAIN_SERVER_SCRIPT, plain.dir});
}

void TestServer::launch(std::vector<std::string> argv) {
  char statsTemplate[] = "/tmp/installer-test-stats-XXXXXX";
  int statsFd = mkstemp(statsTemplate);
  close(statsFd);
  statsFile_ = statsTemplate;
  argv.insert(argv.end(), {"--stats", statsFile_});

  int pipeFds[2];
  if (pipe(pipeFds) != 0)
    throw std::runtime_error("pipe failed");
  pid_ = fork();
  if (pid_ == 0) {
    dup2(pipeFds[1], 1);
    close(pipeFds[0]);
    close(pipeFds[1]);
    std::vector<char*> cargs;
    for (const std::string& arg : argv)
      cargs.push_back(const_cast<char*>(arg.c_str()));
    cargs.push_back(nullptr);
    execvp(cargs[0], cargs.data());
    _exit(127);
  }
  close(pipeFds[1]);

  // The server's first line is "PORT <n>"; give it ten seconds.
  std::string line;
  struct pollfd pfd = {pipeFds[0], POLLIN, 0};
  while (line.find('\n') == std::string::npos && poll(&pfd, 1, 10000) > 0) {
    char buffer[256];
    ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
    if (n <= 0)
      break;
    line.append(buffer, static_cast<size_t>(n));
  }
  close(pipeFds[0]);
  if (line.compare(0, 5, "PORT ") != 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    throw std::runtime_error("test server did not start: " + line);
  }
  port_ = atoi(line.c_str() + 5);
}

TestServer::~TestServer() {
  kill(pid_, SIGTERM);
  int status;
  for (int i = 0; i < 500 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
    usleep(10000);
  kill(pid_, SIGKILL);
  waitpid(pid_, &status, 0);
  unlink(statsFile_.c_str());
}

std::string TestServer::url(const std::string& path) const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
}

namespace {

long jsonNumber(const std::string& json, const std::string& key) {
  size_t at = json.find("\"" + key + "\"");
  if (at == std::string::npos)
    return 0;
  at = json.find(':', at);
  return at == std::string::npos ? 0 : atol(json.c_str() + at + 1);
}

}  // namespace

ServerStats TestServer::stats() const {
  std::string json = readFile(statsFile_);
  ServerStats stats;
  stats.requests = jsonNumber(json, "requests");
  stats.bodyBytesSent = jsonNumber(json, "body_bytes_sent");
  stats.completedBodies = jsonNumber(json, "completed_bodies");
  stats.abortedBodies = jsonNumber(json, "aborted_bodies");
  stats.signatureBytesSent = jsonNumber(json, "signature_bytes_sent");
  return stats;
}

std::string makeTestCertificates(const std::string& dir) {
  if (!pathExists(dir + "/ca.pem")) {
    RunResult made = runProgram({"sh", TEST_CERTS_SCRIPT, dir});
    if (made.exitCode != 0)
      throw std::runtime_error("making test certificates failed: " + made.err);
  }
  return dir;
}
