#include "signature/agent_signature.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "test_util.h"

namespace {

// 64 bytes that stand for a signature where only the file's form matters.
std::string someSignature() {
  std::string bytes;
  for (int i = 0; i < 64; ++i) bytes += static_cast<char>(i * 37 + 11);
  return bytes;
}

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char c : bytes) {
    text += digits[c >> 4];
    text += digits[c & 15];
  }
  return text;
}

void expectOneLine(const std::string& reason) {
  EXPECT_FALSE(reason.empty());
  EXPECT_EQ(std::string::npos, reason.find('\n')) << reason;
}

}  // namespace

TEST(Base64, EncodesTheStandardVectorsAndDecodesThemBack) {
  const std::vector<std::pair<std::string, std::string>> vectors = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {std::string("\xfb\xff\x00", 3), "+/8A"}};
  for (const auto& [bytes, text] : vectors) {
    EXPECT_EQ(text, encodeBase64(bytes));
    std::string decoded = "stale";
    EXPECT_TRUE(decodeBase64(text, &decoded)) << text;
    EXPECT_EQ(bytes, decoded) << text;
  }
}

TEST(Base64, RefusesAllButTheCanonicalSpelling) {
  const std::vector<std::string> texts = {"Zg",
                                          "Zg=",
                                          "Zg===",
                                          "Zm9v=",
                                          "Zh==",
                                          "Zm9=",
                                          "Zg==Zg==",
                                          "=Zg=",
                                          "Z===",
                                          "====",
                                          "Zm-v",
                                          "Zm_v",
                                          "Zm 9",
                                          " Zm9v",
                                          "Zm9v\n",
                                          "Zm9v\r\n",
                                          std::string("Zm\0v", 4)};
  for (const std::string& text : texts) {
    std::string bytes = "untouched";
    EXPECT_FALSE(decodeBase64(text, &bytes)) << text;
    EXPECT_EQ("untouched", bytes);
  }
}

TEST(AgentSignatureFile, IsTwoLinesThatParseBack) {
  const std::string zeros(64, '\0');
  EXPECT_EQ("installer-agent-signature 1\ned25519 " + std::string(86, 'A') + "==\n",
            formatAgentSignature(zeros));
  std::string signature, reason;
  ASSERT_TRUE(parseAgentSignature(formatAgentSignature(someSignature()), &signature, &reason))
      << reason;
  EXPECT_EQ(someSignature(), signature);
}

TEST(AgentSignatureFile, RefusesAnythingButTheExactForm) {
  const std::string good = formatAgentSignature(someSignature());
  const std::string header = "installer-agent-signature 1\n";
  const std::string line = good.substr(header.size());
  const std::string encoded = encodeBase64(someSignature());
  const std::vector<std::string> texts = {
      "",
      good.substr(0, good.size() / 2),  // truncated
      good.substr(0, good.size() - 1),  // no final newline
      "garbage\n",
      std::string(200, '\0'),
      good + "junk",  // trailing junk
      good + "\n",
      good + line,  // a second signature
      "\n" + good,
      "installer-agent-signature 1\r\ned25519 " + encoded + "\r\n",
      "installer-agent-signature 2\n" + line,
      header + "rsa " + encoded + "\n",
      header + "ed25519  " + encoded + "\n",
      header + "ed25519 " + encoded.substr(0, encoded.size() - 2) + "\n",    // unpadded
      header + "ed25519 " + encodeBase64(someSignature().substr(1)) + "\n",  // 63 bytes
      header + "ed25519 " + encodeBase64(someSignature() + "x") + "\n",      // 65 bytes
  };
  for (const std::string& text : texts) {
    std::string signature, reason;
    EXPECT_FALSE(parseAgentSignature(text, &signature, &reason)) << text;
    expectOneLine(reason);
  }
}

TEST(Sha256OfFile, MatchesSha256sum) {
  ScratchDir scratch;
  // Several pieces' worth, the last one partial.
  std::string content;
  for (int i = 0; i < 200001; ++i) content += static_cast<char>(i * 31 % 251);
  const std::string path = scratch / "agent.zip";
  writeFile(path, content);
  RunResult sum = runProgram({"sha256sum", path});
  ASSERT_EQ(0, sum.exitCode) << sum.err;
  std::string digest, reason;
  ASSERT_TRUE(sha256OfFile(path, &digest, &reason)) << reason;
  EXPECT_EQ(32u, digest.size());
  EXPECT_EQ(sum.out.substr(0, 64), hex(digest));
}

TEST(Sha256OfFile, OnlyAnExistingRegularFileIsRead) {
  ScratchDir scratch;
  std::string digest, reason;
  EXPECT_FALSE(sha256OfFile(scratch / "missing.zip", &digest, &reason));
  EXPECT_EQ("cannot read " + scratch / "missing.zip" + ": No such file or directory", reason);
  EXPECT_FALSE(sha256OfFile(scratch.path(), &digest, &reason));
  expectOneLine(reason);
  // Were it opened blocking, no writer would ever come: the alarm ends it.
  ASSERT_EQ(0, mkfifo((scratch / "fifo.zip").c_str(), 0600));
  alarm(10);
  EXPECT_FALSE(sha256OfFile(scratch / "fifo.zip", &digest, &reason));
  alarm(0);
  EXPECT_EQ(scratch / "fifo.zip" + " is not a regular file", reason);
}

TEST(VerifyAgentArchive, SignatureFileIsReadOnlyWhenASmallRegularFile) {
  ScratchDir scratch;
  const std::string archive = scratch / "agent.zip";
  const std::string sig = archive + ".sig";
  writeFile(archive, "PK");
  const std::vector<std::string> keys = {encodeBase64(std::string(32, '\x01'))};
  auto verify = [&] { return verifyAgentArchive(archive, sig, keys, "R1", "glnxa64"); };

  EXPECT_EQ("no signature file " + sig + ": No such file or directory", verify());
  ASSERT_EQ(0, mkfifo(sig.c_str(), 0600));
  alarm(10);
  EXPECT_EQ("signature file " + sig + " is not a regular file", verify());
  alarm(0);
  unlink(sig.c_str());
  ASSERT_EQ(0, symlink("/dev/zero", sig.c_str()));
  EXPECT_EQ("signature file " + sig + " is a symbolic link", verify());
  unlink(sig.c_str());
  writeFile(sig, formatAgentSignature(someSignature()) + std::string(4096, '\n'));
  EXPECT_EQ("signature file " + sig + " is larger than 4 KiB", verify());
  writeFile(sig, "garbage\n");
  EXPECT_EQ(
      "malformed signature file " + sig + ": the first line is not \"installer-agent-signature 1\"",
      verify());
}
