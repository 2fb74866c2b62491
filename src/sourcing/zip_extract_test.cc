#include "sourcing/zip_extract.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "platform/shell.h"
#include "test_util.h"

namespace fs = std::filesystem;

namespace {

// Unpacks `archive` into a fresh `dir` with extractZip: its reason.
std::string extract(const std::string& archive, const std::string& dir) {
  mkpath(dir, 0755);
  int archiveFd = open(archive.c_str(), O_RDONLY | O_CLOEXEC);
  int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::string why = archiveFd == -1 || dirFd == -1 ? "cannot open" : extractZip(archiveFd, dirFd);
  close(archiveFd);
  close(dirFd);
  return why;
}

// Every path below `dir` with what a user sees of it: the kind, the mode
// and the content or link target.
std::map<std::string, std::string> treeOf(const std::string& dir) {
  std::map<std::string, std::string> tree;
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator();
       ++it) {
    std::string path = it->path().string();
    struct stat st;
    lstat(path.c_str(), &st);
    char mode[64];
    snprintf(mode, sizeof mode, "%04o %lld ", st.st_mode & 07777,
             static_cast<long long>(st.st_mtime));
    std::string seen = mode;
    if (S_ISLNK(st.st_mode))
      seen = "link " + fs::read_symlink(path).string();
    else if (S_ISDIR(st.st_mode))
      seen += "dir";
    else
      seen += "file " + readFile(path);
    tree[it->path().lexically_relative(dir).string()] = seen;
  }
  return tree;
}

// An archive made by Python's zipfile from `body`, which adds entries to
// `z` (a ZipFile) with the helper `add(name, data, mode)`.
std::string pythonZip(const ScratchDir& scratch, const std::string& name,
                      const std::string& body, bool streamed = false) {
  std::string archive = scratch / name;
  std::string script =
      "import io, stat, sys, zipfile\n"
      "def add(name, data=b'x', mode=0o644, kind=stat.S_IFREG):\n"
      "    i = zipfile.ZipInfo(name, (2020, 1, 1, 0, 0, 0))\n"
      "    i.create_system = 3\n"
      "    i.external_attr = (kind | mode) << 16\n"
      "    i.compress_type = zipfile.ZIP_DEFLATED\n"
      "    z.writestr(i, data)\n"
      "class Unseekable(io.RawIOBase):\n"
      "    def __init__(self, f): self.f = f\n"
      "    def writable(self): return True\n"
      "    def write(self, b): return self.f.write(b)\n"
      "out = open(sys.argv[1], 'wb')\n" +
      std::string(streamed ? "z = zipfile.ZipFile(Unseekable(out), 'w')\n"
                           : "z = zipfile.ZipFile(out, 'w')\n") +
      body + "\nz.close()\nout.close()\n";
  RunResult made = runProgram({"python3", "-c", script, archive});
  EXPECT_EQ(0, made.exitCode) << made.err;
  return archive;
}

}  // namespace

// What an agent relies on comes out as the unzip program gives it: nested
// directories (one read-only), execute bits, links, an empty directory and
// names beyond ASCII; setuid and sticky bits are dropped as unzip drops them.
TEST(ExtractZip, InfoZipArchiveComesOutAsUnzipGivesIt) {
  ScratchDir scratch;
  std::string src = scratch / "src";
  mkpath(src + "/lib/deep", 0755);
  mkpath(src + "/empty", 0755);
  mkpath(src + "/locked", 0755);
  writeFile(src + "/install", "#!/bin/sh\necho hi\n");
  chmod((src + "/install").c_str(), 0755);
  writeFile(src + "/lib/deep/data \xc3\xbc.txt", std::string(100000, 'd'));
  writeFile(src + "/lib/tool", "tool");
  chmod((src + "/lib/tool").c_str(), 04755);
  writeFile(src + "/locked/inside", "in");
  chmod((src + "/locked").c_str(), 01555);
  symlink("lib/tool", (src + "/tool-link").c_str());
  symlink("/nowhere/at/all", (src + "/dangling").c_str());
  std::string archive = scratch / "agent.zip";
  RunResult zipped = runProgram({"sh", "-c", "cd \"$1\" && zip -q -r -y \"$2\" .", "sh", src,
                                 archive});
  ASSERT_EQ(0, zipped.exitCode) << zipped.err;
  chmod((src + "/locked").c_str(), 0755);

  ASSERT_EQ("", extract(archive, scratch / "ours"));
  ASSERT_EQ(0, runProgram({"unzip", "-qq", archive, "-d", scratch / "theirs"}).exitCode);
  std::map<std::string, std::string> ours = treeOf(scratch / "ours");
  EXPECT_EQ(treeOf(scratch / "theirs"), ours);
  EXPECT_EQ(0755, fileMode(scratch / "ours/lib/tool"));  // no setuid bit
  EXPECT_EQ(0555, fileMode(scratch / "ours/locked"));
  EXPECT_EQ("link lib/tool", ours["tool-link"]);
  chmod((scratch / "ours/locked").c_str(), 0755);
  chmod((scratch / "theirs/locked").c_str(), 0755);
}

// Python's zipfile on a stream writes sizes after the data, in data
// descriptors; the modes are in the central directory only.
TEST(ExtractZip, StreamedArchiveWithDataDescriptors) {
  ScratchDir scratch;
  std::string archive = pythonZip(scratch, "streamed.zip",
                                  "add('install', b'echo hi\\n', 0o755)\n"
                                  "add('lib/', b'', 0o750, stat.S_IFDIR)\n"
                                  "add('lib/big', bytes(range(256)) * 4096, 0o640)\n"
                                  "add('link', b'lib/big', 0o777, stat.S_IFLNK)\n",
                                  true);
  ASSERT_EQ("", extract(archive, scratch / "ours"));
  ASSERT_EQ(0, runProgram({"unzip", "-qq", archive, "-d", scratch / "theirs"}).exitCode);
  EXPECT_EQ(treeOf(scratch / "theirs"), treeOf(scratch / "ours"));
  EXPECT_EQ(0755, fileMode(scratch / "ours/install"));
}

// Each of these is refused before anything is written, naming the entry.
TEST(ExtractZip, HostileArchivesWriteNothing) {
  ScratchDir scratch;
  const std::map<std::string, std::string> hostile = {
      {"dotdot", "add('install')\nadd('lib/../../evil')"},
      {"absolute", "add('install')\nadd('/tmp/evil')"},
      {"twice", "add('install')\nadd('lib/evil')\nadd('lib/evil')"},
      {"file-then-dir", "add('install')\nadd('evil')\nadd('evil/x')"},
      {"dir-under-file", "add('install')\nadd('evil/x')\nadd('evil')"},
      {"through-link",
       "add('install')\nadd('evil', b'/tmp', 0o777, stat.S_IFLNK)\nadd('evil/planted')"},
  };
  for (const auto& [kind, body] : hostile) {
    std::string dir = scratch / ("out-" + kind);
    std::string why = extract(pythonZip(scratch, kind + ".zip", body), dir);
    EXPECT_NE(std::string::npos, why.find("evil")) << kind << ": " << why;
    EXPECT_TRUE(listDir(dir).empty()) << kind;
  }
}

TEST(ExtractZip, EncryptedEntryIsRefusedWithoutAQuestion) {
  ScratchDir scratch;
  std::string src = scratch / "src";
  mkpath(src, 0755);
  writeFile(src + "/install", "echo hi\n");
  std::string archive = scratch / "secret.zip";
  ASSERT_EQ(0, runProgram({"sh", "-c", "cd \"$1\" && zip -q -P secret \"$2\" install", "sh",
                           src, archive})
                   .exitCode);
  std::string why = extract(archive, scratch / "out");
  EXPECT_NE(std::string::npos, why.find("install is encrypted")) << why;
  EXPECT_TRUE(listDir(scratch / "out").empty());
}

// Files and directories take the umask like any program's; the archive's
// execute bit survives a restrictive one.
TEST(ExtractZip, ModesFollowTheUmask) {
  ScratchDir scratch;
  std::string archive = pythonZip(scratch, "modes.zip",
                                  "add('install', b'x', 0o775)\n"
                                  "add('dir/', b'', 0o777, stat.S_IFDIR)\n"
                                  "add('dir/file', b'y', 0o666)\n");
  mode_t saved = umask(0277);
  std::string why = extract(archive, scratch / "out");
  umask(saved);
  ASSERT_EQ("", why);
  EXPECT_EQ(0500, fileMode(scratch / "out/install"));
  EXPECT_EQ(0500, fileMode(scratch / "out/dir"));
  EXPECT_EQ(0400, fileMode(scratch / "out/dir/file"));
  chmod((scratch / "out/dir").c_str(), 0700);
}

// An entry whose data outgrow its declared size is cut off there: the
// archive's word is the bound, whatever the compressed data say.
TEST(ExtractZip, NoEntryWritesMoreThanItDeclares) {
  ScratchDir scratch;
  std::string archive = pythonZip(scratch, "liar.zip", "add('install', b'a' * 100000)\n");
  // Patch the central directory's uncompressed size (offset 24 of its
  // record) down to 1000.
  std::string data = readFile(archive);
  size_t central = data.rfind(std::string("PK\x01\x02", 4));
  ASSERT_NE(std::string::npos, central);
  data[central + 24] = static_cast<char>(1000 & 0xff);
  data[central + 25] = static_cast<char>(1000 >> 8);
  data[central + 26] = data[central + 27] = 0;
  size_t local = data.find(std::string("PK\x03\x04", 4));
  data[local + 22] = data[central + 24];
  data[local + 23] = data[central + 25];
  data[local + 24] = data[local + 25] = 0;
  writeFile(archive, data);
  std::string why = extract(archive, scratch / "out");
  EXPECT_NE("", why);
  struct stat st;
  EXPECT_TRUE(stat((scratch / "out/install").c_str(), &st) != 0 || st.st_size <= 1000);
}

// Declared sizes that fit the free space can still outgrow it by the
// blocks each file takes: the write that fails ends the unpacking at once,
// with the reason.
TEST(ExtractZip, FullFileSystemFailsTheWrite) {
  ScratchDir scratch;
  std::string small = scratch / "small";
  mkpath(small, 0700);
  if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=1m") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here";
  std::string archive = pythonZip(scratch, "blocks.zip",
                                  "import os\n"
                                  "for i in range(300):\n"
                                  "    add('f%03d' % i, os.urandom(3000))\n");
  std::string why = extract(archive, small + "/out");
  umount2(small.c_str(), MNT_DETACH);
  EXPECT_NE(std::string::npos, why.find("No space left on device")) << why;
}
