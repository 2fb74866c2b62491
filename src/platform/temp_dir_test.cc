#include "platform/temp_dir.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "platform/shell.h"
#include "test_util.h"

namespace {

// Points $TMPDIR elsewhere for one test.
class TmpdirOverride {
 public:
  explicit TmpdirOverride(const char* value) {
    const char* old = getenv("TMPDIR");
    if (old)
      saved_ = old;
    had_ = old != nullptr;
    if (value)
      setenv("TMPDIR", value, 1);
    else
      unsetenv("TMPDIR");
  }
  ~TmpdirOverride() {
    if (had_)
      setenv("TMPDIR", saved_.c_str(), 1);
    else
      unsetenv("TMPDIR");
  }

 private:
  std::string saved_;
  bool had_ = false;
};

}  // namespace

TEST(TempDir, TwoObjectsGetTwoOwnerOnlyDirectories) {
  ScratchDir scratch;
  TmpdirOverride tmpdir(scratch.path().c_str());
  TempDir a("tmp_install_dir");
  TempDir b("other");
  EXPECT_NE(a.getDir(), b.getDir());
  EXPECT_EQ(2u, listDir(scratch.path()).size());
  EXPECT_EQ(scratch.path() + "/qz", a.getDir().substr(0, scratch.path().size() + 3));
  EXPECT_EQ(scratch.path().size() + 9, a.getDir().size());
  EXPECT_EQ(0700, fileMode(a.getDir()));
}

TEST(TempDir, TrailingSlashIsNotDoubled) {
  ScratchDir scratch;
  TmpdirOverride tmpdir((scratch.path() + "/").c_str());
  TempDir dir("x");
  EXPECT_EQ(scratch.path() + "/qz", dir.getDir().substr(0, scratch.path().size() + 3));
}

TEST(TempDir, EmptyOrUnsetTmpdirMeansTmp) {
  {
    TmpdirOverride tmpdir("");
    TempDir dir("x");
    EXPECT_EQ("/tmp/qz", dir.getDir().substr(0, 7));
  }
  TmpdirOverride tmpdir(nullptr);
  TempDir dir("x");
  EXPECT_EQ("/tmp/qz", dir.getDir().substr(0, 7));
}

TEST(TempDir, ContentsGoWithTheDirectory) {
  ScratchDir scratch;
  TmpdirOverride tmpdir(scratch.path().c_str());
  std::string path;
  {
    TempDir dir("x");
    path = dir.getDir();
    ASSERT_EQ(0, mkpath(path + "/sub/deeper", 0700));
    writeFile(path + "/InstallAgent.zip", "zip");
    writeFile(path + "/sub/deeper/file", "data");
    ASSERT_EQ(0, symlink(scratch.path().c_str(), (path + "/link").c_str()));
  }
  EXPECT_FALSE(pathExists(path));
  EXPECT_TRUE(pathExists(scratch.path()));  // a link is removed, not followed
}

// A stale TMPDIR must not send the run somewhere else, the installer's
// own directory least of all.
TEST(TempDir, UnusableTmpdirFallsBackToTmp) {
  ScratchDir scratch;
  writeFile(scratch / "file", "x");
  for (std::string unusable : {scratch / "file", scratch / "missing"}) {
    TmpdirOverride tmpdir(unusable.c_str());
    std::string path;
    {
      TempDir dir("x");
      path = dir.getDir();
      EXPECT_EQ("/tmp/qz", path.substr(0, 7)) << unusable;
      EXPECT_EQ(0700, fileMode(path));
    }
    EXPECT_FALSE(pathExists(path));
  }
  EXPECT_EQ("x", readFile(scratch / "file"));
  EXPECT_EQ(std::vector<std::string>{"file"}, listDir(scratch.path()));
}

// Where others could rename the fresh directory away and put theirs in its
// place, it is never made: only in a directory of this user or root that
// others may write at most with the sticky bit. Whatever the umask, the
// directory is the user's alone.
TEST(TempDir, TmpdirThatOthersCanSteerIsPassedOver) {
  ScratchDir scratch;
  const std::vector<std::pair<std::string, mode_t>> open = {{"no-sticky", 0777},
                                                            {"group-writable", 0770}};
  for (const auto& [name, mode] : open) {
    mkpath(scratch / name, 0700);
    chmod((scratch / name).c_str(), mode);
  }
  mkpath(scratch / "others", 0700);
  ASSERT_EQ(0, chown((scratch / "others").c_str(), 65534, 65534));
  for (const char* name : {"no-sticky", "group-writable", "others"}) {
    TmpdirOverride tmpdir((scratch / name).c_str());
    TempDir dir("x");
    EXPECT_EQ("/tmp/qz", dir.getDir().substr(0, 7)) << name;
    EXPECT_TRUE(listDir(scratch / name).empty()) << name;
  }
  mkpath(scratch / "sticky", 0700);
  chmod((scratch / "sticky").c_str(), 01777);
  TmpdirOverride tmpdir((scratch / "sticky").c_str());
  mode_t saved = umask(0277);
  TempDir dir("x");
  umask(saved);
  EXPECT_EQ(scratch / "sticky/qz", dir.getDir().substr(0, scratch.path().size() + 10));
  EXPECT_EQ(0700, fileMode(dir.getDir()));
}
