#include "sourcing/validation.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "test_util.h"

namespace {

// A cache directory ending in "/", as callers pass it, with `content` stored.
struct StoredString {
  explicit StoredString(const std::string& content) { writeFile(file, content); }
  ScratchDir scratch;
  std::string dir = scratch.path() + "/";
  std::string file = scratch / ".validatestring";
};

}  // namespace

TEST(IsCacheValid, EmptyExpectedNeverValidates) {
  StoredString stored("");
  EXPECT_FALSE(isCacheValid(stored.dir, ""));
}

TEST(IsCacheValid, MissingFileIsStale) {
  ScratchDir scratch;
  EXPECT_FALSE(isCacheValid(scratch.path(), "abc"));
}

TEST(IsCacheValid, OnlyTheFirstLineCounts) {
  EXPECT_TRUE(isCacheValid(StoredString("abc\n").dir, "abc"));
  EXPECT_TRUE(isCacheValid(StoredString("abc\ndef").dir, "abc"));
  EXPECT_FALSE(isCacheValid(StoredString("abc\r\n").dir, "abc"));
}

TEST(IsCacheValid, BytesMustMatchExactly) {
  StoredString stored("abc ");
  EXPECT_FALSE(isCacheValid(stored.dir, "abc"));
  EXPECT_FALSE(isCacheValid(StoredString("abc").dir, "ab"));
  EXPECT_FALSE(isCacheValid(StoredString("ab").dir, "abc"));
  EXPECT_FALSE(isCacheValid(StoredString("ABC").dir, "abc"));
}

TEST(IsCacheValid, OnlyARegularFileIsRead) {
  ScratchDir scratch;
  std::string file = scratch / ".validatestring";
  // Were it opened blocking, no writer would ever come: the alarm ends it.
  ASSERT_EQ(0, mkfifo(file.c_str(), 0600));
  alarm(10);
  EXPECT_FALSE(isCacheValid(scratch.path(), "abc"));
  unlink(file.c_str());
  ASSERT_EQ(0, symlink("/dev/zero", file.c_str()));
  EXPECT_FALSE(isCacheValid(scratch.path(), std::string(100, '\0')));
  unlink(file.c_str());
  writeFile(scratch / "elsewhere", "abc");
  ASSERT_EQ(0, symlink((scratch / "elsewhere").c_str(), file.c_str()));
  EXPECT_FALSE(isCacheValid(scratch.path(), "abc"));
  alarm(0);
}

TEST(IsCacheValid, FirstLineLongerThan100KiBNeverValidates) {
  const std::string longest(100 * 1024, 'e');
  EXPECT_TRUE(isCacheValid(StoredString(longest + "\nrest").dir, longest));
  EXPECT_FALSE(isCacheValid(StoredString(longest + "e").dir, longest + "e"));
}

TEST(WriteValidationString, StoresExactlyOneCopyThatValidates) {
  ScratchDir scratch;
  std::string dir = scratch.path() + "/";
  const std::string etag = "W/\"5f-1a2b\"";
  writeValidationString(dir, etag);
  writeValidationString(dir, etag);
  EXPECT_EQ(etag, readFile(scratch / ".validatestring"));
  EXPECT_TRUE(isCacheValid(dir, etag));
}

TEST(WriteValidationString, EmptyDirOrStringLeavesTheFileAlone) {
  StoredString stored("old");
  writeValidationString(stored.dir, "");
  EXPECT_EQ("old", readFile(stored.file));
  writeValidationString("", "new");
  EXPECT_EQ("old", readFile(stored.file));
}

TEST(WriteValidationString, StringWithNewlineNeverValidates) {
  ScratchDir scratch;
  writeValidationString(scratch.path(), "a\nb");
  EXPECT_FALSE(isCacheValid(scratch.path(), "a\nb"));
}

TEST(SendableValidationString, OnlyAHeaderValueIsSent) {
  EXPECT_EQ("W/\"5f 1a\"", sendableValidationString(StoredString("W/\"5f 1a\"\nrest").dir));
  EXPECT_EQ("\"\xc3\xa9\"", sendableValidationString(StoredString("\"\xc3\xa9\"").dir));
  const std::string longest(4096, 'e');
  EXPECT_EQ(longest, sendableValidationString(StoredString(longest).dir));
  for (const std::string& broken :
       {std::string("\"v1\"\r"), std::string("\"v\0\"", 4), std::string("\"v\x01\""),
        std::string("\"v\x7f\""), std::string(" \"v1\""), std::string("\"v1\"\t"),
        longest + "e", std::string()}) {
    SCOPED_TRACE(broken);
    EXPECT_EQ("", sendableValidationString(StoredString(broken).dir));
  }
}
