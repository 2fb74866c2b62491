#include "payload/payload_format.h"

#include <errno.h>
#include <nettle/sha2.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

namespace {

const char kIndexHeader[] = "installer-payload 1\n";
const char* const kPartNames[] = {"agent", "signature", "splash", "icon"};

bool parseHex(const std::string& hex, std::string* bytes) {
  if (hex.size() != 64)
    return false;
  bytes->clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    int value = 0;
    for (size_t j = i; j < i + 2; ++j) {
      char c = hex[j];
      int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (digit < 0)
        return false;
      value = value * 16 + digit;
    }
    bytes->push_back(static_cast<char>(value));
  }
  return true;
}

// A decimal number without sign, blanks or leading zeros.
bool parseNumber(const std::string& text, uint64_t* value) {
  if (text.empty() || text.size() > 19 || (text.size() > 1 && text[0] == '0'))
    return false;
  *value = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      return false;
    *value = *value * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}

std::vector<std::string> words(const std::string& line) {
  std::vector<std::string> found;
  size_t from = 0;
  for (;;) {
    size_t end = line.find(' ', from);
    found.push_back(line.substr(from, end == std::string::npos ? std::string::npos : end - from));
    if (end == std::string::npos)
      return found;
    from = end + 1;
  }
}

}  // namespace

const PayloadPart* PayloadIndex::part(const std::string& name) const {
  for (const PayloadPart& each : parts)
    if (each.name == name)
      return &each;
  return nullptr;
}

std::string hexOf(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex += kDigits[c >> 4];
    hex += kDigits[c & 15];
  }
  return hex;
}

std::string formatPayloadIndex(const PayloadIndex& index) {
  std::string text = kIndexHeader;
  for (const PayloadPart& part : index.parts)
    text += "part " + part.name + " " + std::to_string(part.offset) + " " +
            std::to_string(part.size) + " " + hexOf(part.sha256) + "\n";
  text += "bundle " + std::to_string(index.bundleOffset) + " " + std::to_string(index.bundleSize) +
          " " + std::to_string(index.bundleDirectoryOffset) + " " +
          hexOf(index.bundleDirectorySha256) + "\n";
  return text;
}

bool parsePayloadIndex(const std::string& text, uint64_t payloadStart, uint64_t fileSize,
                       PayloadIndex* index) {
  *index = PayloadIndex();
  if (text.compare(0, sizeof kIndexHeader - 1, kIndexHeader) != 0 || text.back() != '\n')
    return false;
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  bool bundleSeen = false;
  size_t from = sizeof kIndexHeader - 1;
  while (from < text.size()) {
    size_t end = text.find('\n', from);
    std::vector<std::string> field = words(text.substr(from, end - from));
    from = end + 1;
    if (bundleSeen)
      return false;  // the bundle's line is the last
    if (field.size() == 5 && field[0] == "part") {
      PayloadPart part;
      part.name = field[1];
      if (std::find(std::begin(kPartNames), std::end(kPartNames), part.name) ==
              std::end(kPartNames) ||
          index->part(part.name) != nullptr || !parseNumber(field[2], &part.offset) ||
          !parseNumber(field[3], &part.size) || !parseHex(field[4], &part.sha256))
        return false;
      ranges.push_back({part.offset, part.size});
      index->parts.push_back(part);
    } else if (field.size() == 5 && field[0] == "bundle") {
      if (!parseNumber(field[1], &index->bundleOffset) ||
          !parseNumber(field[2], &index->bundleSize) ||
          !parseNumber(field[3], &index->bundleDirectoryOffset) ||
          !parseHex(field[4], &index->bundleDirectorySha256))
        return false;
      ranges.push_back({index->bundleOffset, index->bundleSize});
      bundleSeen = true;
    } else {
      return false;
    }
  }
  if (!bundleSeen || index->bundleSize > fileSize ||
      index->bundleOffset != fileSize - index->bundleSize ||
      index->bundleDirectoryOffset < index->bundleOffset ||
      index->bundleDirectoryOffset >= fileSize)
    return false;
  // Every part inside the payload, none over another.
  std::sort(ranges.begin(), ranges.end());
  uint64_t next = payloadStart;
  for (const auto& [offset, size] : ranges) {
    if (offset < next || offset > fileSize || size > fileSize - offset)
      return false;
    next = offset + size;
  }
  return true;
}

struct Sha256::State {
  sha256_ctx ctx;
};

Sha256::Sha256() : state_(new State) { sha256_init(&state_->ctx); }

Sha256::~Sha256() { delete state_; }

void Sha256::update(const void* data, size_t size) {
  sha256_update(&state_->ctx, size, static_cast<const uint8_t*>(data));
}

std::string Sha256::digest() {
  uint8_t bytes[SHA256_DIGEST_SIZE];
  sha256_digest(&state_->ctx, sizeof bytes, bytes);
  return std::string(reinterpret_cast<char*>(bytes), sizeof bytes);
}

bool hashRange(int fd, uint64_t offset, uint64_t size, int copyFd, std::string* digest,
               bool* copyFailed) {
  Sha256 hash;
  if (!hashRange(fd, offset, size, copyFd, &hash, copyFailed))
    return false;
  *digest = hash.digest();
  return true;
}

bool hashRange(int fd, uint64_t offset, uint64_t size, int copyFd, Sha256* hash,
               bool* copyFailed) {
  if (copyFailed != nullptr)
    *copyFailed = false;
  // No bigger than the range: every start hashes small parts, and fresh
  // pages of a buffer it does not need would cost it a millisecond.
  std::vector<char> buffer(static_cast<size_t>(std::clamp<uint64_t>(size, 1, 256 * 1024)));
  while (size > 0) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(size, buffer.size()));
    ssize_t got = pread(fd, buffer.data(), want, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0) {
      if (got == 0)
        errno = EIO;  // the file is shorter than it was said to be
      return false;
    }
    hash->update(buffer.data(), static_cast<size_t>(got));
    for (ssize_t written = 0; copyFd != -1 && written < got;) {
      ssize_t n = write(copyFd, buffer.data() + written, static_cast<size_t>(got - written));
      if (n < 0 && errno == EINTR)
        continue;
      if (n < 0) {
        if (copyFailed != nullptr)
          *copyFailed = true;
        return false;
      }
      written += n;
    }
    offset += static_cast<uint64_t>(got);
    size -= static_cast<uint64_t>(got);
  }
  return true;
}
