// The cache is trusted exactly when the first line of its .validatestring
// (the bytes up to the first newline) equals the server's ETag, and an empty
// ETag never validates. The input is stored as that file, byte for byte, and
// isCacheValid is compared with that rule for several strings made from the
// input; writeValidationString must store a string so that it validates (or,
// holding a newline, does not) and must leave the file alone for nothing.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sourcing/validation.h"

namespace {

// The one file every build reads and writes beside the cached agent.
const char kFileName[] = ".validatestring";

// One directory for the whole run, removed when the fuzzer ends normally.
const std::string& scratchDir() {
  static const std::string* dir = [] {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                          "/fuzz-validation.XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
      perror("mkdtemp");
      abort();
    }
    return new std::string(pattern);
  }();
  static const bool cleanupRegistered = atexit([] {
    unlink((*dir + "/" + kFileName).c_str());
    rmdir(dir->c_str());
  }) == 0;
  (void)cleanupRegistered;
  return *dir;
}

std::string filePath() { return scratchDir() + "/" + kFileName; }

void store(const std::string& content) {
  std::ofstream file(filePath(), std::ios::binary | std::ios::trunc);
  file << content;
  file.close();
  if (!file) {
    perror("writing the validation file");
    abort();
  }
}

std::string load() {
  std::ifstream file(filePath(), std::ios::binary);
  if (!file) {
    fprintf(stderr, "the validation file is missing\n");
    abort();
  }
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

bool reference(const std::string& content, const std::string& candidate) {
  return !candidate.empty() && candidate == content.substr(0, content.find('\n'));
}

void printBytes(const char* name, const std::string& s) {
  fprintf(stderr, "%s (%zu bytes):", name, s.size());
  for (unsigned char c : s)
    fprintf(stderr, " %02x", c);
  fprintf(stderr, "\n");
}

[[noreturn]] void fail(const char* what, const std::string& content, const std::string& candidate) {
  fprintf(stderr, "%s\n", what);
  printBytes("file", content);
  printBytes("candidate", candidate);
  abort();
}

void check(const std::string& content, const std::string& candidate) {
  bool expected = reference(content, candidate);
  if (isCacheValid(scratchDir(), candidate) != expected)
    fail(expected ? "isCacheValid refused a matching first line"
                  : "isCacheValid accepted a string that is not the first line",
         content, candidate);
}

std::vector<std::string> candidatesFrom(const std::string& input) {
  std::string firstLine = input.substr(0, input.find('\n'));
  std::vector<std::string> c = {
      "", input, firstLine, firstLine + "\n", firstLine + "x", firstLine + '\0', input + "\n",
  };
  if (!firstLine.empty()) {
    c.push_back(firstLine.substr(0, firstLine.size() - 1));
    c.push_back(firstLine.substr(1));
    std::string flipped = firstLine;
    flipped.back() = static_cast<char>(flipped.back() ^ 0x20);
    c.push_back(flipped);
  }
  // A few later lines, none of which may ever count; a handful keeps each
  // run cheap, as every candidate is also written and checked against all.
  size_t start = input.find('\n');
  for (int later = 0; later < 3 && start != std::string::npos; ++later) {
    size_t end = input.find('\n', start + 1);
    c.push_back(input.substr(start + 1, end == std::string::npos ? end : end - start - 1));
    start = end;
  }
  return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> candidates = candidatesFrom(input);

  // The input as the stored file.
  store(input);
  for (const std::string& candidate : candidates)
    check(input, candidate);

  // No file at all: nothing validates.
  unlink(filePath().c_str());
  for (const std::string& candidate : candidates) {
    if (isCacheValid(scratchDir(), candidate))
      fail("isCacheValid accepted a cache without a validation file", "", candidate);
  }

  // Writing each candidate: stored as its bytes alone, validating exactly by
  // the same rule; an empty one leaves the previous file untouched.
  store(input);
  std::string previous = input;
  for (const std::string& written : candidates) {
    writeValidationString(scratchDir(), written);
    std::string now = load();
    if (written.empty()) {
      if (now != previous)
        fail("writing an empty validation string changed the file", now, previous);
      continue;
    }
    if (now != written)
      fail("the stored validation file is not the string's bytes alone", now, written);
    if (written.find('\n') == std::string::npos && !isCacheValid(scratchDir(), written))
      fail("a written newline-free validation string does not validate", now, written);
    const std::string firstLine = now.substr(0, now.find('\n'));
    for (const std::string& candidate : {now, firstLine, firstLine + "x", input})
      check(now, candidate);
    previous = now;
  }
  return 0;
}
