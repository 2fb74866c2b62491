// What the installer tells people, end to end: the reason of a failure
// where the user looks, a cancel that says so, the system log's lines, the
// user's language, and what to install when the download support is
// missing. The real installer, in terminal mode, against the test server.
#include <ctype.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>

#include "installer_test.h"
#include "platform/shell.h"
#include "test_server.h"

namespace fs = std::filesystem;

namespace {

const char kFailureText[] =
    "Error during the download process.\nSee your system log for more information.\n";

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class Texts : public InstallerTest {
 protected:
  // The German locale, made once for the whole suite in a directory of its
  // own: the machine need not have it.
  static void SetUpTestSuite() {
    locales_ = new ScratchDir;
    RunResult made =
        runProgram({"localedef", "-i", "de_DE", "-f", "UTF-8", *locales_ / "de_DE.UTF-8"});
    germanReady_ = pathExists(*locales_ / "de_DE.UTF-8/LC_MESSAGES");
    if (!germanReady_)
      germanProblem_ = made.err;
  }
  static void TearDownTestSuite() {
    delete locales_;
    locales_ = nullptr;
  }

  EnvChanges inLanguage(const std::string& lang) const {
    return {{"LANG", lang}, {"LOCPATH", locales_->path()}};
  }

  /// The installer on a pseudo-terminal; what it wrote, and its status.
  RunResult onTerminal(const std::string& url, const EnvChanges& extra = {},
                       const std::vector<std::string>& options = {}) const {
    std::vector<std::string> argv = {"python3", TEST_FIXTURES_DIR "/reliability/pty_run.py"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {"--timeout", "30", "--", dir_ + "/installer"});
    EnvChanges env = environment(url);
    for (const auto& [name, value] : extra)
      env[name] = value;
    return runProgram(argv, env);
  }

  static ScratchDir* locales_;
  static bool germanReady_;
  static std::string germanProblem_;
};

ScratchDir* Texts::locales_ = nullptr;
bool Texts::germanReady_ = false;
std::string Texts::germanProblem_;

// A port that refuses: a server's, once it has stopped.
std::string refusingUrl(const std::string& archive) {
  TestServer closed(archive);
  return closed.url();
}

}  // namespace

// The failure texts stand as they always were, byte for byte; the reason
// follows them, before "Installation failed.", on a pipe and on a terminal.
TEST_F(Texts, ReasonFollowsTheFailureTextOnAPipeAndOnATerminal) {
  std::string archive = makeAgentArchive("agent.zip");
  TestServer notFound(archive, {"--status", "404"});
  std::string refused = refusingUrl(archive);
  std::string port = refused.substr(refused.rfind(':') + 1);
  port = port.substr(0, port.find('/'));
  const std::vector<std::pair<std::string, std::string>> cases = {
      {notFound.url(), "The server answered HTTP status 404 for " + notFound.url()},
      {refused, "No connection could be made to 127.0.0.1:" + port +
                    ": it was refused, or the server cannot be reached."}};
  for (const auto& [url, reason] : cases) {
    RunResult piped = run(url, {}, {{"LANG", "C"}});
    EXPECT_EQ(255, piped.exitCode) << piped.err;
    if (url == notFound.url()) {
      EXPECT_EQ(kFailureText + reason + "\nInstallation failed.\n", piped.err);
    }
    // Retries of the refused connection say so before.
    EXPECT_TRUE(endsWith(piped.err, kFailureText + reason + "\nInstallation failed.\n"))
        << piped.err;

    RunResult shown = onTerminal(url, {{"LANG", "C"}});
    EXPECT_EQ(255, shown.exitCode) << shown.out;
    EXPECT_NE(std::string::npos,
              shown.out.find("\033[31mError during the download process.\r\n"
                             "See your system log for more information.\033[0m\r\n" +
                             reason + "\r\nInstallation failed.\r\n"))
        << shown.out;
  }
}

// German under de_DE.UTF-8: the texts, the reason, the numbers' decimal
// comma and the units' words; $LANGUAGE picks another catalog the installer
// carries.
TEST_F(Texts, GermanUnderAGermanLocaleAndFrenchWhenLanguageAsksForIt) {
  if (!germanReady_)
    GTEST_SKIP() << "cannot make the de_DE.UTF-8 locale: " << germanProblem_;
  std::string archive = makeAgentArchive("agent.zip", 3 << 20);
  TestServer notFound(archive, {"--status", "404"});
  RunResult failed = run(notFound.url(), {}, inLanguage("de_DE.UTF-8"));
  EXPECT_EQ(255, failed.exitCode);
  EXPECT_EQ(
      "Fehler beim Herunterladen.\nWeitere Informationen finden Sie im Systemprotokoll.\n"
      "Der Server antwortete mit HTTP-Status 404 für " +
          notFound.url() +
          "\n"
          "Installation fehlgeschlagen.\n",
      failed.err);

  EnvChanges french = inLanguage("de_DE.UTF-8");
  french["LANGUAGE"] = "fr:de";
  RunResult inFrench = run(notFound.url(), {}, french);
  EXPECT_EQ("L’installation a échoué.", lines(inFrench.err).back()) << inFrench.err;

  TestServer slow(archive, {"--etag", "\"de\"", "--rate", "2000000"});
  RunResult shown = onTerminal(slow.url(), inLanguage("de_DE.UTF-8"));
  EXPECT_EQ(0, shown.exitCode) << shown.out;
  EXPECT_NE(std::string::npos, shown.out.find("Herunterladen")) << shown.out;
  // "X,Y MiB von 3,0 MiB  Z,W MiB/s  noch N s": read with sscanf, since
  // std::regex trips GCC's uninitialized-use warning in sanitizer builds.
  bool germanDetail = false;
  for (size_t at = shown.out.find(" MiB von 3,0 MiB  "); at != std::string::npos && !germanDetail;
       at = shown.out.find(" MiB von 3,0 MiB  ", at + 1)) {
    int whole = 0, tenth = 0, left = 0;
    char unit[4] = "";
    germanDetail = at >= 3 && isdigit(static_cast<unsigned char>(shown.out[at - 3])) &&
                   shown.out[at - 2] == ',' &&
                   isdigit(static_cast<unsigned char>(shown.out[at - 1])) &&
                   sscanf(shown.out.c_str() + at + 18, "%d,%d %3[KiMB]/s  noch %d s", &whole,
                          &tenth, unit, &left) == 4 &&
                   (std::string(unit) == "KiB" || std::string(unit) == "MiB");
  }
  EXPECT_TRUE(germanDetail) << shown.out;
  EXPECT_EQ(std::string::npos, shown.out.find(" of ")) << shown.out;
}

// Every text the installer shows is in both catalogs: the template the build
// collects from the sources against each.
TEST_F(Texts, CatalogsHoldEveryText) {
  for (const char* language : {"de", "fr"}) {
    RunResult compared =
        runProgram({"msgcmp", std::string(SOURCE_DIR "/po/") + language + ".po", INSTALLER_POT});
    EXPECT_EQ(0, compared.exitCode) << language << ": " << compared.err;
  }
}

// SIGTERM and Ctrl-C are the user's own cancel: said before the run's last
// words, with the status of any run that did not reach the agent.
TEST_F(Texts, CancelSaysCancelledOnSigtermAndCtrlC) {
  std::string big = makeAgentArchive("slow.zip", 2 << 20);
  {
    TestServer server(big, {"--rate", "200000"});
    Child child({dir_ + "/installer"}, environment(server.url()));
    for (int i = 0; i < 1000 && server.stats().bodyBytesSent == 0; ++i) usleep(10000);
    ASSERT_GT(server.stats().bodyBytesSent, 0) << "the transfer never started";
    kill(child.pid(), SIGTERM);
    RunResult r = child.wait(20);
    EXPECT_EQ(255, r.exitCode);
    EXPECT_TRUE(endsWith(r.err, "\nCancelled.\nInstallation failed.\n")) << r.err;
  }
  TestServer server(big, {"--rate", "200000"});
  RunResult r = onTerminal(server.url(), {}, {"--when-output", "Downloading", "--send", "\\x03"});
  EXPECT_EQ(255, r.exitCode) << r.out;
  EXPECT_TRUE(endsWith(r.out, "\r\nCancelled.\r\nInstallation failed.\r\n")) << r.out;
  EXPECT_FALSE(agentRan());
}

// The log's lines carry the build's identity, the process id and their
// priority: a retry is a warning (user.warning, 12), the failure an error
// (user.err, 11). Heard on a /dev/log of the test's own.
TEST_F(Texts, LogLinesCarryIdentityPidAndPriority) {
  TestServer failing(makeAgentArchive("agent.zip"), {"--status", "503"});
  RunResult r = runProgram({"unshare", "-m", "python3", TEST_FIXTURES_DIR "/texts/log_listener.py",
                            "--", dir_ + "/installer"},
                           environment(failing.url()));
  std::vector<std::string> out = lines(r.out);
  if (out.empty() || out[0].compare(0, 4, "PID ") != 0)
    GTEST_SKIP() << "no private /dev/log here: " << r.err;
  EXPECT_EQ(255, r.exitCode) << r.err;
  std::string tag = " installer[" + out[0].substr(4) + "]: ";
  std::vector<std::string> warnings, errors;
  for (size_t i = 1; i < out.size(); ++i) {
    const std::string& line = out[i];
    ASSERT_NE(std::string::npos, line.find(tag)) << line;
    std::string message = line.substr(line.find(tag) + tag.size());
    if (line.compare(0, 8, "LOG <12>") == 0)
      warnings.push_back(message);
    else if (line.compare(0, 8, "LOG <11>") == 0)
      errors.push_back(message);
    else
      ADD_FAILURE() << line;
  }
  ASSERT_EQ(4u, warnings.size()) << r.out;
  EXPECT_EQ(0u, warnings[0].find("Download attempt 1 of 5 failed: HTTP status 503 "))
      << warnings[0];
  EXPECT_EQ(std::vector<std::string>{"Download failed! Error - HTTP status 503 " + failing.url()},
            errors);
}

// Without a usable libcurl the message names the library's file and the
// packages that provide it. The library is hidden by an empty file bound
// over it in a private mount namespace.
TEST_F(Texts, MissingLibcurlNamesThePackagesToInstall) {
  writeFile(scratch_ / "empty", "");
  const std::string script =
      "for p in /usr/lib/*/libcurl.so.4 /lib/*/libcurl.so.4 /usr/lib64/libcurl.so.4; do "
      "[ -e \"$p\" ] && mount --bind \"$0\" \"$p\"; done; exec \"$@\"";
  RunResult r =
      runProgram({"unshare", "-m", "sh", "-c", script, scratch_ / "empty", dir_ + "/installer"},
                 environment("http://127.0.0.1:1/agent"));
  if (r.err.find("unshare") != std::string::npos)
    GTEST_SKIP() << "cannot hide libcurl here: " << r.err;
  EXPECT_EQ(255, r.exitCode) << r.err;
  std::vector<std::string> said = lines(r.err);
  ASSERT_EQ(3u, said.size()) << r.err;
  EXPECT_EQ(0u, said[0].find("Cannot load the download support (libcurl, GLib): ")) << said[0];
  EXPECT_NE(std::string::npos, said[0].find("libcurl.so.4")) << said[0];
  EXPECT_EQ(
      "The library libcurl.so.4 is missing or damaged: install the package libcurl4 "
      "(libcurl4t64 on newer releases) on Debian and Ubuntu, or libcurl on Fedora.",
      said[1]);
  EXPECT_EQ("Installation failed.", said[2]);
}
