#include "platform/shell.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <random>

#include "test_util.h"

TEST(SmartQuote, OrdinaryPathStaysBare) {
  EXPECT_EQ("/Users/ab/agent", smart_quote("/Users/ab/agent"));
  EXPECT_EQ("-destination=/opt/x,y:1+2@3%", smart_quote("-destination=/opt/x,y:1+2@3%"));
}

TEST(SmartQuote, BlankOrTabGetsDoubleQuotes) {
  EXPECT_EQ("\"/Users/a b/agent\"", smart_quote("/Users/a b/agent"));
  EXPECT_EQ("\"a\tb\"", smart_quote("a\tb"));
}

TEST(SmartQuote, EmptyTextStaysEmpty) { EXPECT_EQ("", smart_quote("")); }

TEST(SmartQuote, ShellSpecialsGetSingleQuotes) {
  EXPECT_EQ("'$HOME'", smart_quote("$HOME"));
  EXPECT_EQ("'a b\"c'", smart_quote("a b\"c"));
  EXPECT_EQ("'it'\\''s'", smart_quote("it's"));
  EXPECT_EQ("'*'", smart_quote("*"));
}

TEST(Argv2Cmdline, ProgramNameAloneGivesNothing) {
  const char* argv[] = {"installer"};
  EXPECT_EQ("", argv2cmdline(1, argv));
}

TEST(Argv2Cmdline, EachArgumentFollowedByOneBlank) {
  const char* argv[] = {"installer", "-v", "x y", ""};
  EXPECT_EQ("-v \"x y\" \"\" ", argv2cmdline(4, argv));
}

TEST(CallSystem, ReturnsTheShellStatus) {
  EXPECT_EQ(0, exitCodeOfStatus(call_system("true", "true")));
  EXPECT_EQ(7, exitCodeOfStatus(call_system("sh", "exit 7")));
  EXPECT_EQ(128 + 9, exitCodeOfStatus(call_system("sh", "kill -KILL $$")));
}

// What the launcher reports as "Failed to start": no status, but errno.
TEST(RunCommand, ProgramThatCannotStartGivesMinusOneAndItsErrno) {
  ScratchDir scratch;
  std::string notExecutable = scratch / "script";
  writeFile(notExecutable, "#!/bin/sh\nexit 0\n");
  bool started = false;
  errno = 0;
  EXPECT_EQ(-1, runCommand({scratch / "missing"}, true, [&] { started = true; }));
  EXPECT_EQ(ENOENT, errno);
  errno = 0;
  EXPECT_EQ(-1, runCommand({notExecutable}, false, [&] { started = true; }));
  EXPECT_EQ(EACCES, errno);
  EXPECT_FALSE(started);
  EXPECT_EQ(0, exitCodeOfStatus(runCommand({"/bin/sh", notExecutable}, false,
                                           [&] { started = true; })));
  EXPECT_TRUE(started);
}

TEST(Mkpath, CreatesEveryMissingComponentWithTheMode) {
  ScratchDir scratch;
  std::string path = scratch / "a/b//c/";
  EXPECT_EQ(0, mkpath(path, 0700));
  EXPECT_EQ(0700, fileMode(scratch / "a"));
  EXPECT_EQ(0700, fileMode(scratch / "a/b/c"));
  EXPECT_EQ(0, mkpath(path, 0700));  // all there: nothing to do
}

TEST(Mkpath, RootAndEmptyPathSucceed) {
  EXPECT_EQ(0, mkpath("/", 0700));
  EXPECT_EQ(0, mkpath("", 0700));
}

TEST(Mkpath, RegularFileOnTheWayIsNotADirectory) {
  ScratchDir scratch;
  writeFile(scratch / "file", "x");
  errno = 0;
  EXPECT_EQ(-1, mkpath(scratch / "file/below/deeper", 0700));
  EXPECT_EQ(ENOTDIR, errno);
  EXPECT_FALSE(pathExists(scratch / "file/below"));
  EXPECT_EQ(-1, mkpath(scratch / "file", 0700));
}

// Every byte string without NUL must reach a program through the shell as
// exactly itself. Random words, heavy in the characters shells care about,
// are sent through each shell to a program that writes back its argv.
namespace {

std::string randomWord(std::mt19937& rng) {
  static const std::string specials = " \t\n\r\"'$`\\*?[]{}()<>;&|~#!^=%,.:/-_@+";
  std::uniform_int_distribution<int> length(0, 12);
  std::uniform_int_distribution<int> kind(0, 9);
  std::uniform_int_distribution<int> special(0, static_cast<int>(specials.size()) - 1);
  std::uniform_int_distribution<int> anyByte(1, 255);
  std::uniform_int_distribution<int> letter('a', 'z');
  std::string word;
  for (int n = length(rng); n > 0; --n) {
    int k = kind(rng);
    if (k < 5)
      word += specials[special(rng)];
    else if (k < 7)
      word += static_cast<char>(letter(rng));
    else if (k < 8)
      word += "\xc3\xbc";  // a UTF-8 letter
    else
      word += static_cast<char>(anyByte(rng));
  }
  return word;
}

void expectRoundTrip(const std::string& shell, unsigned seed) {
  std::mt19937 rng(seed);
  ScratchDir scratch;
  std::string out = scratch / "argv";
  for (int round = 0; round < 25; ++round) {
    std::vector<std::string> words;
    std::vector<const char*> argv = {"program"};
    for (int i = 0; i < 16; ++i)
      words.push_back(randomWord(rng));
    for (const std::string& w : words)
      argv.push_back(w.c_str());
    std::string line = smart_quote(ARGV_ECHO_BINARY) + " " +
                       argv2cmdline(static_cast<int>(argv.size()), argv.data());
    RunResult run = runProgram({shell, "-c", line}, {{"ARGV_ECHO_OUT", out}});
    ASSERT_EQ(0, run.exitCode) << shell << " failed on: " << line << "\n" << run.err;
    ASSERT_EQ(words, splitNul(readFile(out))) << shell << " changed: " << line;
  }
}

}  // namespace

TEST(SmartQuote, RandomWordsSurviveDash) { expectRoundTrip("/bin/sh", 20261207); }

TEST(SmartQuote, RandomWordsSurviveBash) {
  if (!pathExists("/bin/bash"))
    GTEST_SKIP() << "no bash on this machine";
  expectRoundTrip("/bin/bash", 7);
}

TEST(SmartQuote, QuotedPathRunsThroughCallSystem) {
  ScratchDir scratch;
  std::string dir = scratch / "a b$`'\"\\;&|<>()~#\xc3\xbc\nz";
  ASSERT_EQ(0, mkpath(dir, 0700));
  std::string out = dir + "/argv";
  std::string line = "ARGV_ECHO_OUT=" + smart_quote(out) + " " + smart_quote(ARGV_ECHO_BINARY) +
                     " " + smart_quote(dir);
  EXPECT_EQ(0, call_system("argv_echo", line));
  EXPECT_EQ(std::vector<std::string>{dir}, splitNul(readFile(out)));
}
