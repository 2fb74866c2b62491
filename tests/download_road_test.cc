// The download road, end to end: the real installer without a shipped agent,
// in terminal mode (no display), against the test server on 127.0.0.1.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <filesystem>

#include "download/download.h"
#include "driver/constants.h"
#include "platform/shell.h"
#include "installer_test.h"
#include "test_server.h"

namespace fs = std::filesystem;

namespace {

class DownloadRoad : public InstallerTest {
 protected:
  void SetUp() override {
    InstallerTest::SetUp();
    fs::copy_file(INSTALLER_SHORT_IDLE_BINARY, dir_ + "/installer_short_idle");
    archive_ = makeAgentArchive("agent.zip");
  }

  std::string archive_;
};

}  // namespace

TEST_F(DownloadRoad, FirstRunDownloadsThenTheCacheServesWithoutTheBody) {
  {
    TestServer server(archive_, {"--etag", "\"v1\""});
    RunResult first = run(server.url(), {"-destination", "/opt/x y"});
    ASSERT_EQ(0, first.exitCode) << first.err;
    EXPECT_EQ(std::vector<std::string>({"-installbundle", dir_ + "/bundle.zip", "-destination",
                                        "/opt/x y"}),
              agentArgv());
    EXPECT_EQ(cachedScript(), agentScript());
    EXPECT_EQ("\"v1\"", readFile(cacheDir() + ".validatestring"));
    EXPECT_EQ(0700, fileMode(cacheDir() + installAgentDirName));
    EXPECT_EQ(1, server.stats().completedBodies);
    EXPECT_TRUE(listDir(tmp_).empty());
  }
  // A server that would hold the body back: a cache hit must not wait for it.
  fs::remove(record_ + "/argv");
  TestServer server(archive_, {"--etag", "\"v1\"", "--stall", "30"});
  RunResult second = run(server.url());
  ASSERT_EQ(0, second.exitCode) << second.err;
  EXPECT_TRUE(agentRan());
  EXPECT_EQ("", second.err);  // no progress shown
  for (int i = 0; i < 100 && server.stats().abortedBodies == 0; ++i)
    usleep(20000);
  ServerStats stats = server.stats();
  EXPECT_EQ(1, stats.requests);
  EXPECT_EQ(0, stats.bodyBytesSent);
  EXPECT_EQ(1, stats.abortedBodies);
}

// A log of a 100 MiB download that was cut once and then found the server
// busy: the host and size, a line per tenth, one line per retry (the busy
// server's wait of two seconds counts down on a terminal only), the
// summary, and the installer's own status texts.
TEST_F(DownloadRoad, PipeLogsADownloadInAFewLines) {
  std::string big = makeAgentArchive("big.zip", 100 << 20);
  TestServer server(big, {"--etag", "\"p\"", "--ranges", "--plan", "cut:40%,503",
                          "--retry-after", "2"});
  RunResult r = run(server.url());
  ASSERT_EQ(0, r.exitCode) << r.err;
  std::vector<std::string> shown = lines(r.err);
  ASSERT_GE(shown.size(), 4u) << r.err;
  EXPECT_EQ("Connected to 127.0.0.1:" + std::to_string(server.port()) + ", 100.0 MiB",
            shown.front());
  EXPECT_EQ("Downloading   0%", shown[1]);
  EXPECT_EQ(0u, shown[shown.size() - 2].find("Downloaded 100.0 MiB in ")) << r.err;
  EXPECT_EQ("Initializing the installer", shown.back());
  int progress = 0, retries = 0, last = -1;
  for (const std::string& line : shown) {
    int percent = 0;
    if (sscanf(line.c_str(), "Downloading %d%%", &percent) == 1) {
      ++progress;
      EXPECT_GT(percent, last) << r.err;
      last = percent;
    }
    retries += line.find("Retrying in") != std::string::npos;
  }
  EXPECT_EQ(100, last);
  EXPECT_LE(progress, 11) << r.err;
  EXPECT_EQ(2, retries) << r.err;
  EXPECT_LE(shown.size(), 16u) << r.err;
  EXPECT_EQ(std::string::npos, r.err.find('\033'));  // no escapes on a pipe
}

// On a terminal every redraw shows the percentage and the bytes of one
// moment; a server that stops sending is said to have stalled, with no
// time left promised meanwhile; a finished download leaves its summary.
TEST_F(DownloadRoad, TerminalLineAgreesWithItselfAndSaysWhenStalled) {
  const std::string ptyRun = TEST_FIXTURES_DIR "/reliability/pty_run.py";
  std::string agent = makeAgentArchive("stall.zip", 8 << 20);
  TestServer server(agent, {"--etag", "\"s\"", "--rate", "4000000", "--stall-after",
                            std::to_string(3 << 20), "--stall", "6.5"});
  RunResult r = runProgram({"python3", ptyRun, "--timeout", "40", "--", dir_ + "/installer"},
                           environment(server.url()));
  ASSERT_EQ(0, r.exitCode) << r.out;
  EXPECT_EQ(0u, r.out.find("Connected to 127.0.0.1:" + std::to_string(server.port()) +
                           ", 8.0 MiB\r\n"))
      << r.out;
  int redraws = 0, stalled = 0;
  for (size_t at = r.out.find("\r\033[K"); at != std::string::npos;) {
    size_t next = r.out.find("\r\033[K", at + 1);
    std::string line = r.out.substr(at + 4, next == std::string::npos ? next : next - at - 4);
    at = next;
    size_t text = line.find("Downloading");
    int percent = 0;
    double received = 0, total = 0;
    if (text == std::string::npos ||
        sscanf(line.c_str() + text, "Downloading %d%% %lf MiB of %lf MiB", &percent, &received,
               &total) != 3)
      continue;
    ++redraws;
    // Sizes have a tenth of a MiB, the percentage whole points.
    EXPECT_NEAR(received * 100 / total, percent, 0.5 + 5.0 / total + 0.01) << line;
    if (line.find("stalled for ") != std::string::npos) {
      ++stalled;
      EXPECT_EQ(std::string::npos, line.find("left")) << line;
    }
  }
  EXPECT_GT(redraws, 10) << r.out;
  EXPECT_GT(stalled, 0) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("\r\033[KDownloaded 8.0 MiB in ")) << r.out;
}

TEST_F(DownloadRoad, ChangedETagDownloadsAgain) {
  {
    TestServer server(archive_, {"--etag", "\"v1\""});
    ASSERT_EQ(0, run(server.url()).exitCode);
  }
  TestServer server(archive_, {"--etag", "\"v2\""});
  RunResult r = run(server.url());
  ASSERT_EQ(0, r.exitCode) << r.err;
  EXPECT_EQ(1, server.stats().completedBodies);
  EXPECT_EQ("\"v2\"", readFile(cacheDir() + ".validatestring"));
}

// A server that went over to weak tags and compares weakly answers our
// "v1" with a 304 naming W/"v1": our question was answered yes, so the
// cached agent starts, every time. A stored string that is no header value
// (a hand edit left "\r" at its end) is never sent: the run asks nothing
// and downloads again.
TEST_F(DownloadRoad, WeakNotModifiedIsAHitAndABrokenStoredStringIsNotSent) {
  {
    TestServer server(archive_, {"--etag", "\"v1\""});
    ASSERT_EQ(0, run(server.url()).exitCode);
  }
  std::string requests = scratch_ / "requests";
  TestServer weak(archive_, {"--etag", "W/\"v1\"", "--conditional", "--request-log", requests});
  for (int i = 0; i < 2; ++i) {
    fs::remove(record_ + "/argv");
    RunResult r = run(weak.url());
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("", r.err);
    EXPECT_TRUE(agentRan());
  }
  EXPECT_EQ(0, weak.stats().bodyBytesSent);
  EXPECT_EQ("\"v1\"", readFile(cacheDir() + ".validatestring"));

  writeFile(cacheDir() + ".validatestring", "\"v1\"\r\n");
  RunResult again = run(weak.url());
  ASSERT_EQ(0, again.exitCode) << again.err;
  EXPECT_EQ(1, weak.stats().completedBodies);
  std::vector<std::string> asked = lines(readFile(requests));
  ASSERT_EQ(3u, asked.size());
  EXPECT_NE(std::string::npos, asked[1].find("If-None-Match")) << asked[1];
  EXPECT_EQ(std::string::npos, asked[2].find("If-None-Match")) << asked[2];
  EXPECT_EQ("W/\"v1\"", readFile(cacheDir() + ".validatestring"));
}

// On a real pseudo-terminal whose TERM is "dumb", the run writes lines, as
// on a pipe; NO_COLOR (set and not empty) keeps its failure plain.
TEST_F(DownloadRoad, DumbTerminalGetsLinesAndNoColorAPlainFailure) {
  const std::string ptyRun = TEST_FIXTURES_DIR "/reliability/pty_run.py";
  std::string big = makeAgentArchive("big.zip", 1 << 20);
  TestServer server(big, {"--etag", "\"d\"", "--rate", "4000000"});
  EnvChanges dumb = environment(server.url());
  dumb["TERM"] = "dumb";
  RunResult r = runProgram({"python3", ptyRun, "--timeout", "30", "--", dir_ + "/installer"}, dumb);
  ASSERT_EQ(0, r.exitCode) << r.out;
  EXPECT_EQ(std::string::npos, r.out.find('\033')) << r.out;
  // The terminal ends each line with "\r\n"; a "\r" of its own would redraw.
  for (size_t at = r.out.find('\r'); at != std::string::npos; at = r.out.find('\r', at + 1))
    EXPECT_EQ('\n', r.out[at + 1]) << "redrawn at " << at << ": " << r.out;
  EXPECT_NE(std::string::npos, r.out.find("Downloading   0%\r\n")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("Downloading 100%\r\n")) << r.out;

  TestServer missing(archive_, {"--status", "404"});
  for (const char* noColor : {"1", ""}) {
    SCOPED_TRACE(std::string("NO_COLOR=") + noColor);
    EnvChanges env = environment(missing.url());
    env["TERM"] = "xterm";
    env["NO_COLOR"] = noColor;
    RunResult failed =
        runProgram({"python3", ptyRun, "--timeout", "30", "--", dir_ + "/installer"}, env);
    EXPECT_EQ(255, failed.exitCode) << failed.out;
    EXPECT_NE(std::string::npos, failed.out.find("Error during the download process.")) << failed.out;
    EXPECT_EQ(*noColor == '\0', failed.out.find("\033[31m") != std::string::npos) << failed.out;
  }
}

TEST_F(DownloadRoad, WithoutETagEveryRunDownloads) {
  TestServer server(archive_);
  ASSERT_EQ(0, run(server.url()).exitCode);
  ASSERT_EQ(0, run(server.url()).exitCode);
  EXPECT_EQ(2, server.stats().completedBodies);
  EXPECT_FALSE(pathExists(cacheDir() + ".validatestring"));
}

TEST_F(DownloadRoad, NoContentLengthStillInstalls) {
  TestServer server(archive_, {"--no-length", "--etag", "\"n\""});
  RunResult r = run(server.url());
  ASSERT_EQ(0, r.exitCode) << r.err;
  EXPECT_TRUE(agentRan());
  // No percentage without a length: the notes around the download only.
  std::vector<std::string> shown = lines(r.err);
  ASSERT_EQ(3u, shown.size()) << r.err;
  EXPECT_EQ("Connected to 127.0.0.1:" + std::to_string(server.port()), shown[0]);
  EXPECT_EQ(0u, shown[1].find("Downloaded " + formatSize(static_cast<int64_t>(
                                                  fs::file_size(archive_))) + " in "))
      << r.err;
  EXPECT_EQ("Initializing the installer", shown[2]);
}

TEST_F(DownloadRoad, AgentFailureStatusComesThrough) {
  TestServer server(archive_);
  RunResult r = run(server.url(), {}, {{"AGENT_ACTION", "exit3"}});
  EXPECT_EQ(3, r.exitCode);
  EXPECT_EQ("The install agent exited with status 3.", lines(r.err).back());
}

// Every transfer failure: the failure text, "Installation failed.", 255, no
// agent, and nothing left where the archive was being written.
TEST_F(DownloadRoad, TransferFailuresEndTheRunCleanly) {
  std::string unused;
  {
    TestServer closed(archive_);
    unused = closed.url();
  }
  TestServer notFound(archive_, {"--status", "404"});
  TestServer serverError(archive_, {"--status", "500"});
  TestServer cut(makeAgentArchive("cut.zip", 1 << 20), {"--cut-after", "1000"});
  const std::vector<std::string> urls = {unused, notFound.url(), serverError.url(), cut.url(),
                                         "", "ftp://127.0.0.1/agent", "not a url"};
  for (const std::string& url : urls) {
    // In test mode the archive would be written beside the installer.
    RunResult r = run(url, {}, {{"__QZ_BOOTSTRAP_INSTALLER_UNITTEST__", "1"}});
    EXPECT_EQ(255, r.exitCode) << url;
    EXPECT_NE("", downloadFailureReason(r.err)) << url << ": " << r.err;
    EXPECT_FALSE(agentRan()) << url;
    EXPECT_FALSE(pathExists(dir_ + "/InstallAgent.download.zip")) << url;
  }
  EXPECT_TRUE(listDir(tmp_).empty());
}

TEST_F(DownloadRoad, StalledServerHitsTheIdleTimeout) {
  TestServer headers(archive_, {"--stall-headers", "30"});
  TestServer body(makeAgentArchive("stall.zip", 1 << 20), {"--stall-after", "1000", "--stall", "30"});
  for (const TestServer* server : {&headers, &body}) {
    RunResult r = run(server->url(), {}, {}, "installer_short_idle");
    EXPECT_EQ(255, r.exitCode);
    EXPECT_EQ("127.0.0.1:" + std::to_string(server->port()) +
                  " stopped sending: nothing arrived for too long.",
              downloadFailureReason(r.err))
        << r.err;
  }
}

TEST_F(DownloadRoad, ArchiveThatIsNotAZipFailsToUnzip) {
  writeFile(scratch_ / "junk.zip", std::string(5000, 'j'));
  TestServer server(scratch_ / "junk.zip", {"--etag", "\"j\""});
  RunResult r = run(server.url());
  EXPECT_EQ(255, r.exitCode);
  EXPECT_NE(std::string::npos, r.err.find("Failed to unzip the install agent\n"
                                          "Failed to unzip the installer.\n"
                                          "Installation failed.\n"))
      << r.err;
  EXPECT_FALSE(pathExists(cacheDir() + ".validatestring"));  // it names no agent
  EXPECT_FALSE(agentRan());
}

TEST_F(DownloadRoad, SignalsMidTransferCancelEverything) {
  std::string big = makeAgentArchive("slow.zip", 2 << 20);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    TestServer server(big, {"--rate", "200000"});
    Child child({dir_ + "/installer"}, environment(server.url()));
    for (int i = 0; i < 1000 && server.stats().bodyBytesSent == 0; ++i)
      usleep(10000);
    ASSERT_GT(server.stats().bodyBytesSent, 0) << "the transfer never started";
    kill(child.pid(), sig);
    RunResult r = child.wait(20);
    EXPECT_EQ(255, r.exitCode) << sig;
    EXPECT_EQ("Installation failed.", lines(r.err).back()) << r.err;
    EXPECT_FALSE(agentRan());
    EXPECT_TRUE(listDir(tmp_).empty());
    EXPECT_FALSE(pathExists(cachedScript()));
  }
}

TEST_F(DownloadRoad, HttpsIsVerifiedAgainstTheGivenAuthority) {
  std::string certs = makeTestCertificates(scratch_ / "certs");
  TestServer server(archive_, {"--tls-cert", certs + "/server.pem", "--tls-key",
                               certs + "/server.key", "--etag", "\"tls\""});
  RunResult untrusted = run(server.url());
  EXPECT_EQ(255, untrusted.exitCode);
  EXPECT_EQ(0u, downloadFailureReason(untrusted.err)
                    .find("The secure connection to 127.0.0.1:" + std::to_string(server.port()) +
                          " failed: SSL certificate problem: "))
      << untrusted.err;

  RunResult trusted = run(server.url(), {}, {{"SSL_CERT_FILE", certs + "/ca.pem"}});
  EXPECT_EQ(0, trusted.exitCode) << trusted.err;
  EXPECT_TRUE(agentRan());
}

// A server that trickles five bytes a second never trips the idle time-out;
// the floor of 1 KiB a minute, over as long as that time-out, ends it.
TEST_F(DownloadRoad, TricklingServerFailsBelowTheSpeedFloor) {
  TestServer server(makeAgentArchive("trickle.zip", 4096), {"--rate", "5"});
  RunResult r = run(server.url(), {}, {}, "installer_short_idle");
  EXPECT_EQ(255, r.exitCode) << r.err;
  EXPECT_EQ("127.0.0.1:" + std::to_string(server.port()) +
                " stopped sending: nothing arrived for too long.",
            downloadFailureReason(r.err))
      << r.err;
  EXPECT_FALSE(agentRan());
  EXPECT_TRUE(listDir(tmp_).empty());
}

// Chunked, with a Content-Length that counts something else: the length is
// the chunks', so no percentage ever passes all of it.
TEST_F(DownloadRoad, ChunkedBodyWithAContentLengthNeverShowsMoreThanAll) {
  TestServer server(makeAgentArchive("chunked.zip", 64 << 10), {"--chunked", "--length", "100"});
  RunResult r = run(server.url());
  EXPECT_EQ(0, r.exitCode) << r.err;
  for (const std::string& line : lines(r.err)) {
    if (line.compare(0, 12, "Downloading ") == 0) {
      EXPECT_LE(std::stoi(line.substr(12)), 100) << line;
    }
  }
  EXPECT_TRUE(agentRan());
}

// SIGQUIT is the user leaving, as SIGINT is: no core, no agent, nothing left.
TEST_F(DownloadRoad, SigquitCancelsTheDownload) {
  TestServer server(makeAgentArchive("slow.zip", 300 << 10), {"--rate", "100000"});
  Child child({dir_ + "/installer"}, environment(server.url()));
  for (int i = 0; i < 1000 && server.stats().bodyBytesSent < 10000; ++i)
    usleep(10 * 1000);
  kill(child.pid(), SIGQUIT);
  RunResult r = child.wait(10);
  EXPECT_EQ(255, r.exitCode) << r.err;
  EXPECT_EQ("Installation failed.\n", lines(r.err).empty() ? "" : lines(r.err).back() + "\n");
  EXPECT_FALSE(agentRan());
  EXPECT_TRUE(listDir(tmp_).empty());
}
