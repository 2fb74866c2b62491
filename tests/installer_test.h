#ifndef INSTALLER_TESTS_INSTALLER_TEST_H_
#define INSTALLER_TESTS_INSTALLER_TEST_H_

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"

/// What a run whose download failed says, on stderr, before the line with
/// the reason and "Installation failed.".
inline const char kDownloadFailedText[] =
    "Error during the download process.\nSee your system log for more information.\n";

/// The reason's line when `err` ends with the download's failure text, the
/// reason and "Installation failed."; else "".
std::string downloadFailureReason(const std::string& err);

/// A user's world for runs of the real installer: an installer directory
/// holding the binary and bundle.zip (no agent), a HOME, a TMPDIR, and a
/// directory where the recording agent (tests/fixtures/recording_agent)
/// writes how it was started.
class InstallerTest : public ::testing::Test {
 protected:
  void SetUp() override;

  /// Lays out `dir` as the installer directory and makes it the current one.
  void useInstallerDir(const std::string& dir);
  /// The recording agent zipped as `name` in the scratch directory, with
  /// `padding` incompressible bytes beside it (so that a body takes time at
  /// a limited rate, and a whole body can be told from a dropped one).
  std::string makeAgentArchive(const std::string& name, size_t padding = 0);

  /// The environment of a run: this world's HOME, TMPDIR and recording
  /// agent, downloads from `url`, no window unless `window`.
  EnvChanges environment(const std::string& url, bool window = false) const;
  /// Runs `binary` of the installer directory with `args` and `extra`
  /// changes to `environment(url)`.
  RunResult run(const std::string& url, std::vector<std::string> args = {},
                const EnvChanges& extra = {}, const std::string& binary = "installer") const;

  std::string cacheDir() const;            ///< ends in "/"
  std::string cachedScript() const;        ///< the cache agent's "install"
  bool agentRan() const;                   ///< the recording agent ran
  std::vector<std::string> agentArgv() const;
  std::string agentScript() const;         ///< the agent's $0

  ScratchDir scratch_;
  std::string record_ = scratch_ / "record";
  std::string tmp_ = scratch_ / "tmp";
  std::string home_ = scratch_ / "home";
  std::string dir_;
};

#endif  // INSTALLER_TESTS_INSTALLER_TEST_H_
