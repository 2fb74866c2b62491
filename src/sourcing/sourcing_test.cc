#include "sourcing/sourcing.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/constants.h"
#include "platform/shell.h"
#include "test_util.h"

namespace {

// Sets or unsets $HOME for one test.
class HomeOverride {
 public:
  explicit HomeOverride(const char* value) {
    const char* old = getenv("HOME");
    had_ = old != nullptr;
    if (had_)
      saved_ = old;
    if (value)
      setenv("HOME", value, 1);
    else
      unsetenv("HOME");
  }
  ~HomeOverride() {
    if (had_)
      setenv("HOME", saved_.c_str(), 1);
    else
      unsetenv("HOME");
  }

 private:
  std::string saved_;
  bool had_ = false;
};

const std::string kRel = ".orvant/app_installer_cache/" + releaseTag + "/" + platformTag + "/";

}  // namespace

TEST(Constants, CachePathAndUrlAreBuiltFromTheTags) {
  EXPECT_EQ(".orvant/app_installer_cache/" + releaseTag + "/" + platformTag + "/installagent",
            installAgentCacheRelPath + installAgentDirName);
  const std::string tail = "/pi_install_agent_pi_" + releaseTag + "_" + platformTag;
  EXPECT_EQ(0u, installAgentUrl.rfind("https://", 0));
  EXPECT_EQ(tail, installAgentUrl.substr(installAgentUrl.size() - tail.size()));
}

TEST(GetInstallAgentCacheDir, HomeWithAndWithoutTrailingSlash) {
  {
    HomeOverride home("/Users/ann");
    EXPECT_EQ("/Users/ann/" + kRel, getInstallAgentCacheDir());
  }
  HomeOverride home("/Users/ann/");
  EXPECT_EQ("/Users/ann/" + kRel, getInstallAgentCacheDir());
}

TEST(GetInstallAgentCacheDir, RootHomeGetsNoExtraSlash) {
  HomeOverride home("/");
  EXPECT_EQ("/" + kRel, getInstallAgentCacheDir());
}

TEST(GetInstallAgentCacheDir, RelativeHomeStillGetsItsSlash) {
  HomeOverride home("h");
  EXPECT_EQ("h/" + kRel, getInstallAgentCacheDir());
}

// Never a shared place such as /tmp, where another user could plant the
// agent first.
TEST(GetInstallAgentCacheDir, UnsetOrEmptyHomeMeansThePasswordDatabasesHome) {
  struct passwd* entry = getpwuid(geteuid());
  ASSERT_NE(nullptr, entry);
  std::string expected = entry->pw_dir;
  if (expected.back() != '/')
    expected += '/';
  {
    HomeOverride home(nullptr);
    EXPECT_EQ(expected + kRel, getInstallAgentCacheDir());
  }
  HomeOverride home("");
  EXPECT_EQ(expected + kRel, getInstallAgentCacheDir());
}

TEST(GetInstallAgentExecutable, SlashOnlyWhereMissing) {
  EXPECT_EQ("/a/b/install", getInstallAgentExecutable("/a/b"));
  EXPECT_EQ("/a/b/install", getInstallAgentExecutable("/a/b/"));
  EXPECT_EQ("a\\/install", getInstallAgentExecutable("a\\"));
  EXPECT_EQ("install", getInstallAgentExecutable(""));
}

TEST(InstallAgentDirOnDisk, OnlyWhenTheScriptIsARegularFile) {
  ScratchDir scratch;
  HomeOverride home(scratch.path().c_str());
  std::string dir = scratch.path() + "/" + kRel + "installagent/";
  ASSERT_EQ(0, mkpath(dir, 0700));
  EXPECT_EQ("", installAgentDirOnDisk());
  writeFile(scratch / "elsewhere", "");
  ASSERT_EQ(0, symlink((scratch / "elsewhere").c_str(), (dir + "install").c_str()));
  EXPECT_EQ("", installAgentDirOnDisk());
  unlink((dir + "install").c_str());
  writeFile(dir + "install", "");
  EXPECT_EQ(dir, installAgentDirOnDisk());
  ASSERT_EQ(0, chmod(dir.c_str(), 0777));  // anyone could have swapped it
  EXPECT_EQ("", installAgentDirOnDisk());
}

TEST(PrepareInstallAgentCache, MakesOwnerOnlyDirectoriesAndRefusesOthers) {
  ScratchDir scratch;
  HomeOverride home(scratch.path().c_str());
  std::string error;
  ASSERT_TRUE(prepareInstallAgentCache(&error)) << error;
  EXPECT_EQ(0700, fileMode(scratch / ".orvant"));
  EXPECT_EQ(0700, fileMode(scratch.path() + "/" + kRel + "installagent"));

  std::string platform = scratch.path() + "/" + kRel.substr(0, kRel.size() - 1);
  ASSERT_EQ(0, chmod(platform.c_str(), 0720));
  EXPECT_FALSE(prepareInstallAgentCache(&error));
  EXPECT_EQ("Cannot use the install agent cache: " + platform + ": other users may write to it",
            error);
  ASSERT_EQ(0, chmod(platform.c_str(), 0700));
  ASSERT_EQ(0, chown((scratch / ".orvant").c_str(), 65534, 65534));
  EXPECT_FALSE(prepareInstallAgentCache(&error));
  EXPECT_EQ(
      "Cannot use the install agent cache: " + scratch / ".orvant" + ": it belongs to another user",
      error);
}

TEST(PrepareInstallAgentCache, ALinkIsNotFollowed) {
  ScratchDir scratch;
  ASSERT_EQ(0, mkpath(scratch / "home", 0700));
  ASSERT_EQ(0, mkpath(scratch / "real", 0700));
  ASSERT_EQ(0, symlink((scratch / "real").c_str(), (scratch / "home/.orvant").c_str()));
  HomeOverride home((scratch / "home").c_str());
  std::string error;
  EXPECT_FALSE(prepareInstallAgentCache(&error));
  EXPECT_EQ(
      "Cannot use the install agent cache: " + scratch / "home/.orvant" + ": it is a symbolic link",
      error);
  EXPECT_TRUE(listDir(scratch / "real").empty());
}

TEST(FindAlternativeInstallAgent, AcceptsPrefixAndSuffixCaseSensitively) {
  for (const char* name : {"InstallAgent_x.zip", "InstallAgent_x.zip.zip", "InstallAgent_.zip"}) {
    ScratchDir scratch;
    writeFile(scratch / name, "");
    EXPECT_EQ(scratch / name, findAlternativeInstallAgent(scratch.path())) << name;
  }
}

TEST(FindAlternativeInstallAgent, IgnoresNearMisses) {
  ScratchDir scratch;
  for (const char* name : {"installagent_x.zip", "XInstallAgent_x.zip", "InstallAgent_x.zip.bak",
                           "InstallAgent.zip.bak", "InstallAgent_zip"})
    writeFile(scratch / name, "");
  EXPECT_EQ("", findAlternativeInstallAgent(scratch.path()));
  EXPECT_EQ("", findAlternativeInstallAgent(scratch / "missing"));
  EXPECT_EQ("", findAlternativeInstallAgent(""));
}

TEST(FindAlternativeInstallAgent, OneOfSeveralIsTaken) {
  ScratchDir scratch;
  writeFile(scratch / "InstallAgent_b.zip", "");
  writeFile(scratch / "InstallAgent_a.zip", "");
  std::string found = findAlternativeInstallAgent(scratch.path());
  EXPECT_TRUE(found == scratch / "InstallAgent_a.zip" || found == scratch / "InstallAgent_b.zip")
      << found;
}
