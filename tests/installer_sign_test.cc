// The vendor's signing tool, run as vendors run it, and what the installer's
// check makes of its signatures. OpenSSL's own command-line tool stands for
// keys and checks made without ours.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "signature/agent_signature.h"
#include "test_util.h"

namespace {

class InstallerSign : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string content;
    for (int i = 0; i < 5000; ++i) content += static_cast<char>(i * 7 % 256);
    writeFile(archive, content);
  }

  RunResult tool(std::vector<std::string> args) {
    args.insert(args.begin(), INSTALLER_SIGN_BINARY);
    return runProgram(args);
  }

  // A new key in `name`; its public key as keygen printed it.
  std::string keygen(const std::string& name) {
    RunResult made = tool({"keygen", scratch / name});
    EXPECT_EQ(0, made.exitCode) << made.err;
    return made.out.substr(0, made.out.find('\n'));
  }

  void sign(const std::string& key, const std::string& release = "R2027a",
            const std::string& platform = "glnxa64") {
    RunResult signed_ =
        tool({"sign", "--release", release, "--platform", platform, scratch / key, archive});
    ASSERT_EQ(0, signed_.exitCode) << signed_.err;
  }

  std::string verify(const std::vector<std::string>& keys, const std::string& release = "R2027a",
                     const std::string& platform = "glnxa64") {
    return verifyAgentArchive(archive, archive + ".sig", keys, release, platform);
  }

  // The base64 of the raw public key in the PEM file `name`, as OpenSSL sees it:
  // the last 32 bytes of its DER public key.
  std::string opensslPublicKey(const std::string& name) {
    RunResult key = runProgram(
        {"sh", "-c", "openssl pkey -in \"$0\" -pubout -outform DER | tail -c 32 | base64",
         scratch / name});
    EXPECT_EQ(0, key.exitCode) << key.err;
    return key.out.substr(0, key.out.find('\n'));
  }

  static void expectOneLineError(const RunResult& run, int status) {
    EXPECT_EQ(status, run.exitCode);
    EXPECT_EQ(0u, run.err.find("installer-sign: ")) << run.err;
    EXPECT_EQ(run.err.size() - 1, run.err.find('\n')) << run.err;
  }

  ScratchDir scratch;
  const std::string archive = scratch / "InstallAgent.zip";
  const std::string noFailure;
};

}  // namespace

TEST_F(InstallerSign, SignedArchiveVerifiesWithThePrintedKey) {
  const std::string key = keygen("vendor.pem");
  EXPECT_EQ(44u, key.size());
  EXPECT_EQ(key + "\n", tool({"pubkey", scratch / "vendor.pem"}).out);
  sign("vendor.pem");
  EXPECT_EQ(noFailure, verify({key}));
  // Signing again replaces the signature and leaves nothing else behind.
  sign("vendor.pem");
  EXPECT_EQ(noFailure, verify({key}));
  EXPECT_EQ((std::vector<std::string>{"InstallAgent.zip", "InstallAgent.zip.sig", "vendor.pem"}),
            listDir(scratch.path()));
}

TEST_F(InstallerSign, OneChangedByteFailsVerification) {
  const std::string key = keygen("vendor.pem");
  sign("vendor.pem");
  std::string content = readFile(archive);
  content[content.size() / 2] ^= 1;
  writeFile(archive, content);
  EXPECT_EQ("no configured key verifies the signature of " + archive, verify({key}));
}

TEST_F(InstallerSign, SignatureOfAnotherKeyFails) {
  const std::string configured = keygen("vendor.pem");
  keygen("other.pem");
  sign("other.pem");
  EXPECT_EQ("no configured key verifies the signature of " + archive, verify({configured}));
}

TEST_F(InstallerSign, AnyConfiguredKeyMayVerify) {
  const std::string first = keygen("first.pem");
  const std::string second = keygen("second.pem");
  sign("second.pem");
  EXPECT_EQ(noFailure, verify({first, second}));
  // A malformed key in the list keeps no good one from verifying, and is
  // named when none does.
  EXPECT_EQ(noFailure, verify({"not a key", second}));
  EXPECT_EQ("no configured key verifies the signature of " + archive +
                " (1 of 2 configured keys are not the base64 of 32 bytes)",
            verify({first, second.substr(4)}));
}

TEST_F(InstallerSign, SignatureHoldsOnlyForItsReleaseAndPlatform) {
  const std::string key = keygen("vendor.pem");
  sign("vendor.pem", "R2027a", "glnxa64");
  EXPECT_NE(noFailure, verify({key}, "R2027b", "glnxa64"));
  EXPECT_NE(noFailure, verify({key}, "R2027a", "maci64"));
  // The tags' boundary is signed too.
  sign("vendor.pem", "R2027", "aglnxa64");
  EXPECT_NE(noFailure, verify({key}, "R2027a", "glnxa64"));
  EXPECT_EQ(noFailure, verify({key}, "R2027", "aglnxa64"));
}

TEST_F(InstallerSign, KeysAndSignaturesInteroperateWithOpenssl) {
  // A key made by keygen is one that OpenSSL reads, with the same public key.
  const std::string made = keygen("vendor.pem");
  EXPECT_EQ(made, opensslPublicKey("vendor.pem"));
  // And one made by OpenSSL serves the tool.
  ASSERT_EQ(0, runProgram(
                   {"openssl", "genpkey", "-algorithm", "ed25519", "-out", scratch / "openssl.pem"})
                   .exitCode);
  const std::string key = opensslPublicKey("openssl.pem");
  EXPECT_EQ(key + "\n", tool({"pubkey", scratch / "openssl.pem"}).out);
  sign("openssl.pem", "R2027a", "glnxa64");
  EXPECT_EQ(noFailure, verify({key}));

  // The signature is a plain Ed25519 one over the bytes the format names,
  // put together here from sha256sum's digest: OpenSSL verifies it.
  RunResult sum = runProgram({"sha256sum", archive});
  std::string digest;
  for (size_t i = 0; i < 64; i += 2)
    digest += static_cast<char>(std::stoi(sum.out.substr(i, 2), nullptr, 16));
  writeFile(scratch / "message",
            std::string("installer-agent-signature-v1\0R2027a\0glnxa64\0", 44) + digest);
  std::string signature, reason;
  ASSERT_TRUE(parseAgentSignature(readFile(archive + ".sig"), &signature, &reason)) << reason;
  writeFile(scratch / "signature", signature);
  ASSERT_EQ(0, runProgram({"openssl", "pkey", "-in", scratch / "openssl.pem", "-pubout", "-out",
                           scratch / "public.pem"})
                   .exitCode);
  RunResult checked =
      runProgram({"openssl", "pkeyutl", "-verify", "-pubin", "-inkey", scratch / "public.pem",
                  "-rawin", "-in", scratch / "message", "-sigfile", scratch / "signature"});
  EXPECT_EQ(0, checked.exitCode) << checked.out << checked.err;
}

TEST_F(InstallerSign, KeygenMakesAnOwnerOnlyFileAndNeverReplacesOne) {
  const std::string path = scratch / "vendor.pem";
  // Whatever the umask lets through.
  RunResult made =
      runProgram({"sh", "-c", "umask 0 && exec \"$0\" keygen \"$1\"", INSTALLER_SIGN_BINARY, path});
  ASSERT_EQ(0, made.exitCode) << made.err;
  EXPECT_EQ(0600, fileMode(path));
  const std::string firstKey = readFile(path);
  RunResult again = tool({"keygen", path});
  expectOneLineError(again, 1);
  EXPECT_EQ("", again.out);
  EXPECT_EQ(firstKey, readFile(path));
  // Nor is a key written through a link to elsewhere.
  ASSERT_EQ(0, symlink((scratch / "elsewhere.pem").c_str(), (scratch / "link.pem").c_str()));
  expectOneLineError(tool({"keygen", scratch / "link.pem"}), 1);
  EXPECT_FALSE(pathExists(scratch / "elsewhere.pem"));
}

TEST_F(InstallerSign, KeyThatIsNotEd25519OrIsMissingIsAOneLineError) {
  ASSERT_EQ(0, runProgram({"openssl", "genpkey", "-algorithm", "rsa", "-pkeyopt",
                           "rsa_keygen_bits:1024", "-out", scratch / "rsa.pem"})
                   .exitCode);
  RunResult pubkey = tool({"pubkey", scratch / "rsa.pem"});
  expectOneLineError(pubkey, 1);
  EXPECT_NE(std::string::npos, pubkey.err.find("RSA")) << pubkey.err;
  expectOneLineError(
      tool({"sign", "--release", "R1", "--platform", "p", scratch / "rsa.pem", archive}), 1);
  EXPECT_FALSE(pathExists(archive + ".sig"));
  expectOneLineError(tool({"pubkey", archive}), 1);
  RunResult missing = tool({"pubkey", scratch / "missing.pem"});
  expectOneLineError(missing, 1);
  EXPECT_NE(std::string::npos, missing.err.find("No such file or directory")) << missing.err;
}

TEST_F(InstallerSign, UsageErrorsExitTwoAndHelpExitsZero) {
  const std::string key = scratch / "vendor.pem";
  const std::vector<std::vector<std::string>> misuses = {
      {},
      {"frob"},
      {"keygen"},
      {"pubkey", key, key},
      {"sign", key, archive},
      {"sign", "--release", "R1", key, archive},
      {"sign", "--release", "R1", "--platform", "p", key},
      {"sign", "--release", "R1", "--platform", "p", "--force", key, archive},
      {"sign", "--platform"},
  };
  for (const std::vector<std::string>& args : misuses) expectOneLineError(tool(args), 2);
  EXPECT_EQ((std::vector<std::string>{"InstallAgent.zip"}), listDir(scratch.path()));
  RunResult help = tool({"--help"});
  EXPECT_EQ(0, help.exitCode);
  EXPECT_NE(std::string::npos,
            help.out.find("installer-sign sign --release TAG --platform TAG PRIVATE.pem ARCHIVE"));
  EXPECT_EQ("", help.err);
}
