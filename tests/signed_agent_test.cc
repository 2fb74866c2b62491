// Signed agents, end to end: an installer built with two test keys (made at
// build time, never committed) against archives signed well and badly, on
// both roads; and the ordinary build, which trusts no key, ignoring every
// signature file.
#include <ctype.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "driver/constants.h"
#include "installer_test.h"
#include "platform/shell.h"
#include "test_server.h"

namespace fs = std::filesystem;

namespace {

const std::string kKeys = TEST_KEYS_DIR;
const char kRefused[] =
    "The install agent's signature is not valid.\n"
    "Failed to initialize the install agent.\n"
    "Installation failed.\n";

class SignedAgent : public InstallerTest {
 protected:
  void SetUp() override {
    InstallerTest::SetUp();
    fs::copy_file(INSTALLER_SIGNED_BINARY, dir_ + "/installer_signed");
  }

  // Signs `archive` with the test key `key` ("first", "second" or
  // "other", which the signed build does not trust) into `archive`.sig.
  void sign(const std::string& archive, const std::string& key,
            const std::string& release = releaseTag, const std::string& platform = platformTag) {
    RunResult r = runProgram({INSTALLER_SIGN_BINARY, "sign", "--release", release, "--platform",
                              platform, kKeys + "/" + key + ".pem", archive});
    ASSERT_EQ(0, r.exitCode) << r.err;
  }

  RunResult runSigned(const std::string& url) const {
    return run(url, {}, {}, "installer_signed");
  }

  // The cache as a run left it: the validation string and the agent's files.
  std::string cacheState() const {
    std::string state = readFile(cacheDir() + validationStringFileName) + "|";
    for (const std::string& name : listDir(cacheDir() + installAgentDirName))
      state += name + ":" + std::to_string(fs::file_size(cacheDir() + installAgentDirName + "/" +
                                                         name)) + " ";
    return state;
  }
};

}  // namespace

// A first run installs a signed agent; then a new agent that fails its check
// in any way leaves the cache as it was, unpacks nothing and starts nothing.
TEST_F(SignedAgent, DownloadStartsOnlyAVerifiedAgentAndOtherwiseKeepsTheCache) {
  std::string good = makeAgentArchive("good.zip", 100);
  sign(good, "first");
  {
    TestServer server(good, {"--etag", "\"v1\"", "--signature", good + ".sig"});
    RunResult r = runSigned(server.url());
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_TRUE(agentRan());
    EXPECT_EQ(2, server.stats().requests);  // the archive, then its signature
  }
  const std::string kept = cacheState();
  ASSERT_NE(std::string::npos, kept.find("\"v1\"|")) << kept;

  std::string tampered = makeAgentArchive("tampered.zip", 200);
  sign(tampered, "first");
  {
    std::string bytes = readFile(tampered);
    bytes[bytes.size() / 2] ^= 1;
    writeFile(tampered, bytes);
  }
  std::string otherKey = makeAgentArchive("other-key.zip", 300);
  sign(otherKey, "other");
  std::string otherRelease = makeAgentArchive("other-release.zip", 400);
  sign(otherRelease, "first", releaseTag + "x");
  std::string otherPlatform = makeAgentArchive("other-platform.zip", 500);
  sign(otherPlatform, "first", releaseTag, platformTag + "x");
  std::string garbled = makeAgentArchive("garbled.zip", 600);
  sign(garbled, "first");
  std::string truncated = readFile(garbled + ".sig");
  writeFile(scratch_ / "truncated.sig", truncated.substr(0, truncated.size() / 2));
  writeFile(scratch_ / "garbage.sig", "installer-agent-signature 1\ned25519 " +
                                          std::string(86, 'A') + "==\n\n");
  writeFile(scratch_ / "long.sig", truncated + std::string(8192, '\n'));
  struct Case {
    const char* what;
    std::string archive;
    std::vector<std::string> args;
  };
  for (const Case& c : std::vector<Case>{
           {"one flipped byte", tampered, {"--signature", tampered + ".sig"}},
           {"another key", otherKey, {"--signature", otherKey + ".sig"}},
           {"another release", otherRelease, {"--signature", otherRelease + ".sig"}},
           {"another platform", otherPlatform, {"--signature", otherPlatform + ".sig"}},
           {"a truncated .sig", garbled, {"--signature", scratch_ / "truncated.sig"}},
           {"a garbage .sig", garbled, {"--signature", scratch_ / "garbage.sig"}},
           {"no .sig (404)", garbled,
            {"--signature", garbled + ".sig", "--signature-status", "404"}},
           {"a .sig announced longer than 4 KiB", garbled, {"--signature", scratch_ / "long.sig"}},
           // Stopped past 4 KiB: before, it filled the temporary directory.
           {"a .sig that never ends", garbled,
            {"--signature", garbled + ".sig", "--signature-endless"}}}) {
    SCOPED_TRACE(c.what);
    fs::remove(record_ + "/argv");
    std::vector<std::string> args = {"--etag", "\"v2\""};
    args.insert(args.end(), c.args.begin(), c.args.end());
    TestServer server(c.archive, args);
    RunResult r = runSigned(server.url());
    EXPECT_EQ(255, r.exitCode);
    EXPECT_NE(std::string::npos, r.err.find(kRefused)) << r.err;
    EXPECT_FALSE(agentRan());
    EXPECT_EQ(kept, cacheState());
    EXPECT_TRUE(listDir(tmp_).empty());
    // What the socket buffers hold, not the 1 GiB on offer.
    EXPECT_LT(server.stats().signatureBytesSent, 16 << 20);
  }
}

TEST_F(SignedAgent, SignatureReachedThroughARedirectAndMadeWithTheSecondKey) {
  std::string archive = makeAgentArchive("agent.zip");
  sign(archive, "second");
  TestServer server(archive,
                    {"--etag", "\"r\"", "--signature", archive + ".sig", "--signature-redirect"});
  RunResult r = runSigned(server.url());
  ASSERT_EQ(0, r.exitCode) << r.err;
  EXPECT_TRUE(agentRan());
  EXPECT_EQ(3, server.stats().requests);
}

TEST_F(SignedAgent, ShippedArchiveStartsOnlyWithItsSignature) {
  std::string archive = makeAgentArchive("agent.zip");
  fs::copy_file(archive, dir_ + "/" + installAgentZipName);
  RunResult unsigned_ = runSigned("http://127.0.0.1:1/none");
  EXPECT_EQ(255, unsigned_.exitCode);
  EXPECT_EQ(kRefused, unsigned_.err);
  EXPECT_FALSE(agentRan());

  sign(dir_ + "/" + installAgentZipName, "first");
  RunResult signed_ = runSigned("http://127.0.0.1:1/none");
  EXPECT_EQ(0, signed_.exitCode) << signed_.err;
  EXPECT_TRUE(agentRan());
  EXPECT_TRUE(listDir(tmp_).empty());
}

// The ordinary build trusts no key: a signature file beside a shipped
// archive or on the server changes nothing, and none is asked for.
TEST_F(SignedAgent, UnsignedBuildIgnoresSignatureFiles) {
  std::string archive = makeAgentArchive("agent.zip");
  writeFile(archive + ".sig", "not a signature");
  std::string log = scratch_ / "requests";
  {
    TestServer server(archive, {"--etag", "\"u\"", "--signature", archive + ".sig",
                                "--request-log", log});
    RunResult r = run(server.url());
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ(1u, lines(readFile(log)).size());
  }
  fs::copy_file(archive, dir_ + "/" + installAgentZipName);
  fs::copy_file(archive + ".sig", dir_ + "/" + installAgentZipName + ".sig");
  fs::remove(record_ + "/argv");
  RunResult shipped = run("http://127.0.0.1:1/none");
  EXPECT_EQ(0, shipped.exitCode) << shipped.err;
  EXPECT_TRUE(agentRan());
}

TEST(SignedBuild, MalformedKeyFailsTheConfigureStep) {
  ScratchDir scratch;
  RunResult r = runProgram({"cmake", "-S", SOURCE_DIR, "-B", scratch / "build", "-G", "Ninja",
                            "-DBUILD_TESTING=OFF",
                            "-DINSTALLER_AGENT_PUBLIC_KEYS=AAAA;not-a-key"});
  EXPECT_NE(0, r.exitCode);
  // CMake folds its messages into indented lines.
  std::string said;
  for (char c : r.err) {
    if (!isspace(static_cast<unsigned char>(c)))
      said += c;
    else if (!said.empty() && said.back() != ' ')
      said += ' ';
  }
  EXPECT_NE(std::string::npos,
            said.find("INSTALLER_AGENT_PUBLIC_KEYS: \"AAAA\" is not the base64 of a 32-byte "
                      "Ed25519 public key"))
      << r.err;
  EXPECT_FALSE(pathExists(scratch / "build/build.ninja"));
}

// The vendor's archive may lie where others can write. Rewritten in place
// after its check, it changes nothing: what is unpacked is the copy made
// while it was hashed.
TEST_F(SignedAgent, ShippedArchiveRewrittenAfterItsCheckStartsTheCheckedAgent) {
  std::string good = makeAgentArchive("good.zip", 100);
  sign(good, "first");
  fs::copy_file(good, dir_ + "/InstallAgent.zip");
  fs::copy_file(good + ".sig", dir_ + "/InstallAgent.zip.sig");
  std::string src = scratch_ / "planted-src";
  mkpath(src, 0700);
  writeFile(src + "/install", "echo planted > \"$AGENT_RECORD_DIR/planted\"\n");
  makeZip(scratch_ / "planted.zip", src);

  std::string held = scratch_ / "held.pid";
  EnvChanges env = environment("http://127.0.0.1:1/none");
  env["INSTALLER_TEST_HOLD"] = "checked";
  env["INSTALLER_TEST_HOLD_PID"] = held;
  Child child({dir_ + "/installer_signed"}, env);
  for (int i = 0; i < 1000 && !pathExists(held + ".holding"); ++i)
    usleep(10000);
  ASSERT_TRUE(pathExists(held + ".holding")) << child.errSoFar();
  writeFile(dir_ + "/InstallAgent.zip", readFile(scratch_ / "planted.zip"));  // same inode
  unlink((held + ".holding").c_str());
  RunResult r = child.wait(30);
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_TRUE(agentRan());
  EXPECT_FALSE(pathExists(record_ + "/planted"));
}
