// Single-file installers, end to end: installer-pack makes one executable of
// the test installer and its payload, and the tests run it as users do: from
// a directory of their own or a read-only one, under a name with spaces,
// through a link, as a second user, and cut short or changed on the way.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "driver/constants.h"
#include "installer_test.h"
#include "platform/shell.h"
#include "test_server.h"
#include "test_util.h"

namespace fs = std::filesystem;

namespace {

const char kDamaged[] = "The installer file is damaged or incomplete. Download it again.\n";

std::string failure(int code) {
  return "Internal error: Failed to initialize application installer (" + std::to_string(code) +
         ")\nInstallation failed.\n";
}

class SingleFile : public InstallerTest {
 protected:
  // Packs the test installer (or `installer`) with the sample bundle (or
  // `bundle`) and the `extra` options into `output`.
  RunResult pack(const std::string& output, std::vector<std::string> extra = {},
                 const std::string& bundle = SAMPLE_BUNDLE_ZIP,
                 const std::string& installer = INSTALLER_BINARY) const {
    std::vector<std::string> argv = {INSTALLER_PACK_BINARY, "--installer", installer, "--bundle",
                                     bundle};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back(output);
    return runProgram(argv);
  }

  // The recording agent packed as `name` in a directory of its own.
  std::string packedWithAgent(const std::string& name, const std::string& agent = "") {
    std::string output = scratch_ / ("packed/" + name);
    mkpath(scratch_ / "packed", 0755);
    RunResult r = pack(output, {"--agent", agent.empty() ? makeAgentArchive("agent.zip") : agent});
    EXPECT_EQ(0, r.exitCode) << r.err;
    return output;
  }

  // The recording agent and a splash of `splashSize` bytes packed as
  // `name` in a directory of its own.
  std::string packedWithSplash(const std::string& name, size_t splashSize) {
    std::string splash = scratch_ / "splash.png";
    writeFile(splash, std::string(splashSize, 's'));
    std::string output = scratch_ / ("packed/" + name);
    mkpath(scratch_ / "packed", 0755);
    RunResult r =
        pack(output, {"--agent", makeAgentArchive("agent.zip"), "--splash", splash});
    EXPECT_EQ(0, r.exitCode) << r.err;
    return output;
  }

  RunResult runFile(const std::string& file, const std::string& url = "http://127.0.0.1:9/",
                    std::vector<std::string> args = {}) const {
    args.insert(args.begin(), file);
    return runProgram(args, environment(url));
  }

  // An agent whose script is `script`, zipped as `name`.
  std::string agentOf(const std::string& name, const std::string& script) {
    std::string src = scratch_ / (name + "-src");
    mkpath(src, 0755);
    writeFile(src + "/install", script);
    std::string archive = scratch_ / name;
    makeZip(archive, src);
    return archive;
  }

  // Nothing of any run is left in the temporary directory.
  void expectNothingLeft() const { EXPECT_EQ(std::vector<std::string>{}, listDir(tmp_)); }
};

}  // namespace

// On the shipped road the agent starts from the file as from the directory,
// whatever the file is called and however it is reached (by its name,
// through a link, and without /proc, as in a build sandbox), and gets a
// bundle.zip that is a link to the file itself; nothing is left.
TEST_F(SingleFile, ShippedAgentStartsWhateverTheNameAndTheWayIn) {
  std::string file = packedWithAgent("My Product (x86_64).run");
  std::string link = scratch_ / "link to it";
  ASSERT_EQ(0, symlink(file.c_str(), link.c_str()));
  std::vector<std::vector<std::string>> ways = {{file}, {link}};
  // A sanitizer's runtime reads /proc itself, so only a plain build can run
  // without it.
  if (getenv("ASAN_OPTIONS") == nullptr)
    ways.push_back({"unshare", "-m", "sh", "-c", "mount -t tmpfs none /proc && exec \"$0\" \"$@\"",
                    file});
  for (std::vector<std::string> start : ways) {
    SCOPED_TRACE(start.front());
    fs::remove_all(record_);
    mkpath(record_, 0700);
    for (const char* arg : {"-destination", "a b", ""})
      start.push_back(arg);
    RunResult r = runProgram(start, environment("http://127.0.0.1:9/"));
    ASSERT_EQ(0, r.exitCode) << r.err;
    ASSERT_TRUE(agentRan());
    std::vector<std::string> argv = agentArgv();
    ASSERT_EQ(5u, argv.size());
    EXPECT_EQ("-installbundle", argv[0]);
    EXPECT_EQ("/payload/bundle.zip", argv[1].substr(argv[1].size() - 19)) << argv[1];
    EXPECT_EQ(0u, argv[1].rfind(tmp_ + "/", 0)) << argv[1];
    EXPECT_EQ((std::vector<std::string>{"-destination", "a b", ""}),
              std::vector<std::string>(argv.begin() + 2, argv.end()));
    expectNothingLeft();
  }
}

// Without an agent inside, the file takes the download road and the cache,
// and never the archives that happen to lie beside it in a downloads
// directory.
TEST_F(SingleFile, WithoutAnAgentTheDownloadRoadAndTheCacheServe) {
  std::string file = scratch_ / "packed/Online.run";
  mkpath(scratch_ / "packed", 0755);
  ASSERT_EQ(0, pack(file).exitCode);
  std::string marker = scratch_ / "planted-ran";
  fs::copy_file(agentOf("planted.zip", "echo planted > '" + marker + "'\n"),
                scratch_ / "packed/InstallAgent.zip");
  TestServer server(makeAgentArchive("agent.zip"), {"--etag", "\"v1\""});
  for (int run = 0; run < 2; ++run) {
    RunResult r = runFile(file, server.url());
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_TRUE(agentRan());
    EXPECT_EQ(cachedScript(), agentScript());
  }
  EXPECT_EQ(2, server.stats().requests);  // a download, then a cache hit
  EXPECT_FALSE(pathExists(marker));
  expectNothingLeft();

  // Cut short, it must not pass for an installer that never had a payload:
  // that one would download and hand the agent a bundle that is not there.
  std::string cut = scratch_ / "packed/Cut.run";
  writeFile(cut, readFile(file).substr(0, fs::file_size(file) - 100));
  chmod(cut.c_str(), 0755);
  RunResult r = runFile(cut, server.url());
  EXPECT_EQ(255, r.exitCode);
  EXPECT_EQ(kDamaged + failure(2), r.err);
  EXPECT_EQ(2, server.stats().requests);
}

// The agent reads the bundle by its path as the vendor's bundle.zip, with
// Info-ZIP's test (status 0, no warning of extra bytes) and with Python's
// zipfile, entry by entry and byte by byte.
TEST_F(SingleFile, ZipReadersTakeTheFileForTheVendorsBundle) {
  std::string script =
      "out=${AGENT_RECORD_DIR:?}\n"
      "unzip -t \"$2\" > \"$out/unzip\" 2>&1; echo $? > \"$out/unzip-status\"\n"
      "python3 -c 'import sys, zipfile\n"
      "a, b = zipfile.ZipFile(sys.argv[1]), zipfile.ZipFile(sys.argv[2])\n"
      "same = [i.filename for i in a.infolist()] == [i.filename for i in b.infolist()]\n"
      "same = same and all(a.read(n) == b.read(n) for n in a.namelist())\n"
      "print(\"same\" if same else \"different\")' \"$2\" \"" SAMPLE_BUNDLE_ZIP
      "\" > \"$out/python\" 2>&1\n";
  std::string file = packedWithAgent("Reader.run", agentOf("reader.zip", script));
  RunResult r = runFile(file);
  ASSERT_EQ(0, r.exitCode) << r.err;
  EXPECT_EQ("0\n", readFile(record_ + "/unzip-status")) << readFile(record_ + "/unzip");
  EXPECT_EQ(std::string::npos, readFile(record_ + "/unzip").find("warning"))
      << readFile(record_ + "/unzip");
  EXPECT_EQ("same\n", readFile(record_ + "/python"));
}

// A second user runs the file from a read-only directory of someone else's.
TEST_F(SingleFile, AnotherUserRunsItFromAReadOnlyDirectory) {
  std::string file = packedWithAgent("Product.run");
  ASSERT_EQ(0, chmod(scratch_.path().c_str(), 0755));
  ASSERT_EQ(0, chmod((scratch_ / "packed").c_str(), 0555));
  for (const std::string& dir : {record_, tmp_, home_})
    ASSERT_EQ(0, chown(dir.c_str(), 65534, 65534));
  RunResult r = runProgram({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                            "--inh-caps=-all", file},
                           environment("http://127.0.0.1:9/"));
  chmod((scratch_ / "packed").c_str(), 0755);
  ASSERT_EQ(0, r.exitCode) << r.err;
  EXPECT_TRUE(agentRan());
  expectNothingLeft();
}

// Cut short anywhere in its payload, or with a byte changed in what the
// installer checks, the file starts nothing, downloads nothing and leaves
// nothing; it says so in one line that a user can act on.
TEST_F(SingleFile, DamagedOrIncompleteFileStartsNothing) {
  std::string file = packedWithSplash("Whole.run", 5000);
  const std::string whole = readFile(file);
  const size_t index = whole.rfind("installer-payload 1\n");
  const size_t agent = whole.find("part agent ", index);
  ASSERT_NE(std::string::npos, agent);
  const size_t agentAt = std::stoul(whole.substr(agent + 11));
  const size_t splashAt = std::stoul(whole.substr(whole.find("part splash ", index) + 12));
  const size_t bundleAt = std::stoul(whole.substr(whole.find("\nbundle ", index) + 8));

  struct Damage {
    const char* what;
    size_t cutAt;    // 0: whole length
    size_t flipAt;   // 0: nothing changed
    int code;
  } damages[] = {
      {"cut in the agent", agentAt + 10, 0, 2},
      {"cut in the index", index + 5, 0, 2},
      {"cut in the bundle", bundleAt + (whole.size() - bundleAt) / 2, 0, 2},
      {"last byte missing", whole.size() - 1, 0, 2},
      {"byte changed in the agent", 0, agentAt + 40, 4},
      {"byte changed in the splash", 0, splashAt + 1, 4},
      {"byte changed in the index", 0, index + 25, 3},
      {"byte changed in the bundle's directory", 0, whole.size() - 30, 5},
  };
  TestServer server(makeAgentArchive("served.zip"));
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.what);
    std::string bytes = whole.substr(0, damage.cutAt == 0 ? whole.size() : damage.cutAt);
    if (damage.flipAt != 0)
      bytes[damage.flipAt] ^= 0x20;
    std::string damaged = scratch_ / "packed/Damaged.run";
    writeFile(damaged, bytes);
    chmod(damaged.c_str(), 0755);
    RunResult r = runFile(damaged, server.url());
    EXPECT_EQ(255, r.exitCode);
    EXPECT_EQ(kDamaged + failure(damage.code), r.err);
    EXPECT_FALSE(agentRan());
    expectNothingLeft();
  }
  EXPECT_EQ(0, server.stats().requests);
}

// Replaced by a new download (a rename over it) after it started, the file
// is not read by a name that now leads elsewhere.
TEST_F(SingleFile, FileReplacedAfterTheStartIsNotUsed) {
  std::string file = packedWithAgent("Product.run");
  std::string held = scratch_ / "held.pid";
  EnvChanges env = environment("http://127.0.0.1:9/");
  env["INSTALLER_TEST_HOLD"] = "payload";
  env["INSTALLER_TEST_HOLD_PID"] = held;
  Child child({file}, env);
  for (int i = 0; i < 1000 && !pathExists(held + ".holding"); ++i)
    usleep(10000);
  ASSERT_TRUE(pathExists(held + ".holding")) << child.errSoFar();
  writeFile(file + ".part", "a newer download\n");
  ASSERT_EQ(0, rename((file + ".part").c_str(), file.c_str()));
  unlink((held + ".holding").c_str());
  RunResult r = child.wait(30);
  EXPECT_EQ(255, r.exitCode);
  EXPECT_EQ("The installer file " + file + " was replaced or removed after it started: run it "
            "again.\n" + failure(7),
            r.err);
  EXPECT_FALSE(agentRan());
  expectNothingLeft();
}

// Where a part cannot be placed (here: a file-size limit smaller than the
// splash), the run says where and why, and leaves nothing.
TEST_F(SingleFile, PartThatCannotBePlacedIsOneClearFailure) {
  std::string file = packedWithSplash("Limited.run", 200000);
  RunResult r = runProgram({"prlimit", "--fsize=100000", file},
                           environment("http://127.0.0.1:9/"));
  EXPECT_EQ(255, r.exitCode);
  std::vector<std::string> said = lines(r.err);
  ASSERT_EQ(3u, said.size()) << r.err;
  EXPECT_EQ(0u, said[0].rfind("The installer cannot unpack its contents into " + tmp_ + "/", 0))
      << said[0];
  EXPECT_NE(std::string::npos, said[0].find("/payload/splash.png: File too large"))
      << said[0];
  EXPECT_EQ(failure(6), said[1] + "\n" + said[2] + "\n");
  EXPECT_FALSE(agentRan());
  expectNothingLeft();
}

// A bundle of a gigabyte is neither copied nor read through at the start:
// the temporary directory grows by the agent alone, and the installer reads
// little more than the agent.
TEST_F(SingleFile, GigabyteBundleIsNeitherCopiedNorReadThrough) {
  // One stored ZIP64 entry of zeros, laid out by hand so that its bytes
  // are a hole: nothing of it is ever written to disk.
  std::string bundle = scratch_ / "big.zip";
  RunResult made = runProgram(
      {"python3", "-c",
       "import struct, sys, zlib\n"
       "size = 1 << 30\n"
       "crc, zero = 0, bytes(1 << 20)\n"
       "for _ in range(size >> 20): crc = zlib.crc32(zero, crc)\n"
       "name = b'zeros.bin'\n"
       "extra = struct.pack('<HHQQ', 1, 16, size, size)\n"
       "with open(sys.argv[1], 'wb') as f:\n"
       "    f.write(struct.pack('<IHHHHHIIIHH', 0x04034b50, 45, 0, 0, 0, 0x21, crc,\n"
       "            0xffffffff, 0xffffffff, len(name), len(extra)) + name + extra)\n"
       "    f.seek(size, 1)\n"
       "    cd = f.tell()\n"
       "    f.write(struct.pack('<IHHHHHHIIIHHHHHII', 0x02014b50, 45, 45, 0, 0, 0, 0x21, crc,\n"
       "            0xffffffff, 0xffffffff, len(name), len(extra), 0, 0, 0, 0, 0)\n"
       "            + name + extra)\n"
       "    end = f.tell()\n"
       "    f.write(struct.pack('<IQHHIIQQQQ', 0x06064b50, 44, 45, 45, 0, 0, 1, 1,\n"
       "            end - cd, cd))\n"
       "    f.write(struct.pack('<IIQI', 0x07064b50, 0, end, 1))\n"
       "    f.write(struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, 1, 1, end - cd, cd, 0))\n",
       bundle});
  ASSERT_EQ(0, made.exitCode) << made.err;
  std::string script =
      "out=${AGENT_RECORD_DIR:?}\n"
      "du -sk \"$TMPDIR\" | cut -f1 > \"$out/tmp-kib\"\n"
      "stat -L -c %s \"$2\" > \"$out/bundle-size\"\n"
      "sed -n 's/^rchar: //p' /proc/$PPID/io > \"$out/installer-read\"\n"
      "unzip -l \"$2\" > \"$out/listing\" 2>&1\n";
  std::string agent = agentOf("measuring.zip", script);
  std::string file = scratch_ / "packed/Big.run";
  mkpath(scratch_ / "packed", 0755);
  RunResult packed = pack(file, {"--agent", agent}, bundle);
  ASSERT_EQ(0, packed.exitCode) << packed.err;

  RunResult r = runFile(file);
  ASSERT_EQ(0, r.exitCode) << r.err;
  EXPECT_LT(std::stoul(readFile(record_ + "/tmp-kib")), 1024u);
  EXPECT_EQ(std::to_string(fs::file_size(file)) + "\n", readFile(record_ + "/bundle-size"));
  EXPECT_LT(std::stoull(readFile(record_ + "/installer-read")), 16ull << 20);
  EXPECT_NE(std::string::npos, readFile(record_ + "/listing").find("1073741824"))
      << readFile(record_ + "/listing");
}

// A build with keys packs its agent's signature with it and starts the
// packed agent only when one of its keys verifies it.
TEST_F(SingleFile, SignedBuildChecksThePackedAgent) {
  mkpath(scratch_ / "packed", 0755);
  for (const char* key : {"first", "other"}) {
    SCOPED_TRACE(key);
    fs::remove_all(record_);
    mkpath(record_, 0700);
    std::string agent = makeAgentArchive(std::string(key) + ".zip");
    RunResult signedIt = runProgram({INSTALLER_SIGN_BINARY, "sign", "--release", releaseTag,
                                     "--platform", platformTag,
                                     std::string(TEST_KEYS_DIR) + "/" + key + ".pem", agent});
    ASSERT_EQ(0, signedIt.exitCode) << signedIt.err;
    std::string file = scratch_ / ("packed/" + std::string(key) + ".run");
    RunResult packed = pack(file, {"--agent", agent}, SAMPLE_BUNDLE_ZIP, INSTALLER_SIGNED_BINARY);
    ASSERT_EQ(0, packed.exitCode) << packed.err;
    RunResult r = runFile(file);
    if (std::string(key) == "first") {
      EXPECT_EQ(0, r.exitCode) << r.err;
      EXPECT_TRUE(agentRan());
    } else {
      EXPECT_EQ(255, r.exitCode);
      EXPECT_EQ("The install agent's signature is not valid.\n"
                "Failed to initialize the install agent.\n"
                "Installation failed.\n",
                r.err);
      EXPECT_FALSE(agentRan());
    }
    expectNothingLeft();
  }
}

// The packer's refusals: one line each, 2 for a command line it cannot
// take, 1 for files it cannot pack, and no output file either way.
TEST_F(SingleFile, PackerRefusesWhatItCannotPack) {
  std::string out = scratch_ / "out.run";
  std::string agent = makeAgentArchive("agent.zip");
  std::string notZip = scratch_ / "not.zip";
  writeFile(notZip, "just text\n");
  std::string packed = scratch_ / "packed.run";
  ASSERT_EQ(0, pack(packed).exitCode);
  struct Case {
    std::vector<std::string> argv;
    int status;
    const char* says;
  } cases[] = {
      {{INSTALLER_PACK_BINARY}, 2, "--bundle BUNDLE.zip is needed"},
      {{INSTALLER_PACK_BINARY, "--bundle", SAMPLE_BUNDLE_ZIP}, 2, "OUTPUT is needed"},
      {{INSTALLER_PACK_BINARY, "--bundle"}, 2, "--bundle needs a value"},
      {{INSTALLER_PACK_BINARY, "--bundle", SAMPLE_BUNDLE_ZIP, "--sign", out}, 2,
       "unknown option --sign"},
      {{INSTALLER_PACK_BINARY, "--bundle", SAMPLE_BUNDLE_ZIP, out, out}, 2, "only one OUTPUT"},
      {{INSTALLER_PACK_BINARY, "--installer", INSTALLER_BINARY, "--bundle", notZip, out}, 1,
       "not a bundle"},
      {{INSTALLER_PACK_BINARY, "--installer", INSTALLER_BINARY, "--bundle", SAMPLE_BUNDLE_ZIP,
        "--agent", notZip, out},
       1, "not an agent archive"},
      {{INSTALLER_PACK_BINARY, "--installer", "/bin/sh", "--bundle", SAMPLE_BUNDLE_ZIP, out}, 1,
       "not an installer that can carry a payload"},
      {{INSTALLER_PACK_BINARY, "--installer", packed, "--bundle", SAMPLE_BUNDLE_ZIP, out}, 1,
       "already a packed installer"},
      {{INSTALLER_PACK_BINARY, "--installer", INSTALLER_SIGNED_BINARY, "--bundle",
        SAMPLE_BUNDLE_ZIP, "--agent", agent, out},
       1, "no signature"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.says);
    RunResult r = runProgram(c.argv);
    EXPECT_EQ(c.status, r.exitCode);
    EXPECT_EQ(1u, lines(r.err).size()) << r.err;
    EXPECT_EQ(0u, r.err.rfind("installer-pack: ", 0)) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(c.says)) << r.err;
    EXPECT_FALSE(pathExists(out));
  }
  EXPECT_EQ(std::vector<std::string>({"agent.zip", "agent.zip-src", "home", "installer dir",
                                      "not.zip", "packed.run", "record", "tmp"}),
            listDir(scratch_.path()));
}
