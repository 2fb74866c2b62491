#include "platform/temp_dir.h"

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <vector>

std::string userTemporaryDirectory() {
  const char* tmpdir = getenv("TMPDIR");
  if (tmpdir == nullptr || *tmpdir == '\0')
    return "/tmp";
  return tmpdir;
}

TempDir::TempDir(std::string /*name*/) {
  std::string base = userTemporaryDirectory();
  if (base.size() > 1 && base.back() == '/')
    base.pop_back();
  std::string templ = (base == "/" ? "" : base) + "/qzXXXXXX";
  std::vector<char> buffer(templ.begin(), templ.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) != nullptr)
    dir_ = buffer.data();
}

TempDir::~TempDir() {
  if (!dir_.empty())
    removeTree(dir_);
}

namespace {

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);  // what cannot go is seen by the caller's final lstat
  return 0;
}

}  // namespace

bool removeTree(const std::string& path) {
  nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
  struct stat st;
  return lstat(path.c_str(), &st) != 0;
}
