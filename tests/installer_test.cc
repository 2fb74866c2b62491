#include "installer_test.h"

#include <filesystem>
#include <random>

#include "driver/constants.h"
#include "platform/shell.h"

namespace fs = std::filesystem;

void InstallerTest::SetUp() {
  for (const std::string& dir : {record_, tmp_, home_})
    ASSERT_EQ(0, mkpath(dir, 0700));
  useInstallerDir(scratch_ / "installer dir");
}

void InstallerTest::useInstallerDir(const std::string& dir) {
  dir_ = dir;
  ASSERT_EQ(0, mkpath(dir_, 0755));
  fs::copy_file(INSTALLER_BINARY, dir_ + "/installer", fs::copy_options::overwrite_existing);
  fs::copy_file(SAMPLE_BUNDLE_ZIP, dir_ + "/bundle.zip", fs::copy_options::overwrite_existing);
}

std::string InstallerTest::makeAgentArchive(const std::string& name, size_t padding) {
  std::string src = scratch_ / (name + "-src");
  mkpath(src, 0700);
  fs::copy_file(TEST_FIXTURES_DIR "/recording_agent/install", src + "/install");
  if (padding > 0) {
    std::mt19937 rng(42);
    std::string bytes(padding, '\0');
    for (char& c : bytes)
      c = static_cast<char>(rng());
    writeFile(src + "/padding.bin", bytes);
  }
  std::string archive = scratch_ / name;
  makeZip(archive, src);
  return archive;
}

EnvChanges InstallerTest::environment(const std::string& url, bool window) const {
  EnvChanges env = {{"TMPDIR", tmp_},
                    {"HOME", home_},
                    {"AGENT_RECORD_DIR", record_},
                    {"ARGV_ECHO", ARGV_ECHO_BINARY},
                    {"QZ_INTERNAL_INSTALL_AGENT_URL", url},
                    {"SSL_CERT_FILE", std::nullopt},
                    {"SSL_CERT_DIR", std::nullopt},
                    // A terminal that redraws and shows colour, wherever
                    // the tests were started from.
                    {"TERM", "xterm"},
                    {"NO_COLOR", std::nullopt},
                    // English texts and numbers, wherever the tests were
                    // started from; the texts' own tests choose others.
                    {"LANG", "C.UTF-8"},
                    {"LC_ALL", std::nullopt},
                    {"LC_MESSAGES", std::nullopt},
                    {"LC_NUMERIC", std::nullopt},
                    {"LANGUAGE", std::nullopt},
                    {"__QZ_BOOTSTRAP_INSTALLER_UNITTEST__", std::nullopt}};
  if (window) {
    env["NO_AT_BRIDGE"] = "1";  // no accessibility bus under Xvfb
  } else {
    env["DISPLAY"] = std::nullopt;
    env["WAYLAND_DISPLAY"] = std::nullopt;
  }
  return env;
}

RunResult InstallerTest::run(const std::string& url, std::vector<std::string> args,
                             const EnvChanges& extra, const std::string& binary) const {
  args.insert(args.begin(), dir_ + "/" + binary);
  EnvChanges env = environment(url);
  for (const auto& [name, value] : extra)
    env[name] = value;
  return runProgram(args, env);
}

std::string InstallerTest::cacheDir() const { return home_ + "/" + installAgentCacheRelPath; }

std::string InstallerTest::cachedScript() const {
  return cacheDir() + installAgentDirName + "/install";
}

bool InstallerTest::agentRan() const { return pathExists(record_ + "/argv"); }

std::vector<std::string> InstallerTest::agentArgv() const {
  return splitNul(readFile(record_ + "/argv"));
}

std::string InstallerTest::agentScript() const { return readFile(record_ + "/script"); }

std::string downloadFailureReason(const std::string& err) {
  std::vector<std::string> said = lines(err);
  if (said.size() < 4 || said[said.size() - 2].empty())
    return "";
  std::string reason = said[said.size() - 2];
  std::string tail = kDownloadFailedText + reason + "\nInstallation failed.\n";
  if (err.size() < tail.size() || err.compare(err.size() - tail.size(), tail.size(), tail) != 0)
    return "";
  return reason;
}
