// Signed install agents. A vendor signs each agent archive for one release
// and one platform; the installer starts an archive only when its detached
// signature file verifies with one of the keys compiled into it.
//
// Everything here is strict on purpose. A .sig file has exactly one accepted
// text, base64 exactly one accepted spelling, and a signature covers the
// release and platform as well as the archive's digest: whatever a lenient
// reader would have let through (a second line, a stray byte, an agent signed
// for another release) is refused rather than explained away. The signature
// file lies where the agent lies, in places others may have written to, so it
// is read as validation.cc reads .validatestring: never through a link, never
// when it is not a small regular file.
#include "signature/agent_signature.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace {

const char kMessagePrefix[] = "installer-agent-signature-v1";
const char kFileHeader[] = "installer-agent-signature 1\n";
const char kAlgorithm[] = "ed25519 ";
const size_t kSignatureSize = 64;
const size_t kPublicKeySize = 32;
const size_t kDigestSize = 32;
// A signature file is under 150 bytes; anything near this bound is not one.
const size_t kMaxSignatureFile = 4096;

const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
typedef std::unique_ptr<EVP_MD_CTX, MdCtxFree> MdCtx;
typedef std::unique_ptr<EVP_PKEY, PkeyFree> Pkey;

// The value of a base64 character, -1 for anything else ('=' included).
int base64Value(char c) {
  const char* found = c == '\0' ? nullptr : strchr(kBase64Alphabet, c);
  return found == nullptr ? -1 : static_cast<int>(found - kBase64Alphabet);
}

// Reads to the end, or until `content` holds more than `limit` bytes: a file
// that keeps growing costs no more than that.
bool readAll(int fd, std::string* content, size_t limit) {
  char buffer[1024];
  while (content->size() <= limit) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return false;
    if (n == 0)
      return true;
    content->append(buffer, static_cast<size_t>(n));
  }
  return true;
}

// The text of the signature file; "" with `text` filled, or a reason.
std::string readSignatureFile(const std::string& path, std::string* text) {
  // O_NONBLOCK: a FIFO at the name opens at once instead of waiting for a
  // writer, and is then refused for not being a regular file.
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd == -1 && errno == ELOOP)
    return "signature file " + path + " is a symbolic link";
  if (fd == -1)
    return "no signature file " + path + ": " + strerror(errno);
  struct stat st;
  std::string reason;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
    reason = "signature file " + path + " is not a regular file";
  else if (!readAll(fd, text, kMaxSignatureFile))
    reason = "cannot read signature file " + path + ": " + strerror(errno);
  else if (text->size() > kMaxSignatureFile)
    reason = "signature file " + path + " is larger than 4 KiB";
  close(fd);
  return reason;
}

bool verifiesWith(const std::string& publicKey, const std::string& signature,
                  const std::string& message) {
  Pkey key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                       reinterpret_cast<const unsigned char*>(publicKey.data()),
                                       publicKey.size()));
  MdCtx ctx(EVP_MD_CTX_new());
  // Ed25519 hashes the message itself: no digest is named.
  bool verified =
      key && ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
      EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                       signature.size(), reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) == 1;
  // A failed check queues errors; leave none behind for the next OpenSSL
  // user in this process (the download road's TLS) to misreport.
  ERR_clear_error();
  return verified;
}

}  // namespace

std::string agentSignedMessage(const std::string& release, const std::string& platform,
                               const std::string& sha256) {
  std::string message = kMessagePrefix;
  message += '\0';
  message += release;
  message += '\0';
  message += platform;
  message += '\0';
  return message + sha256;
}

namespace {

// The system's openssl.cnf has no say in the check (it could load another
// provider or turn algorithms off), and reading it is a good part of the
// library's start-up. Nor is the library torn down at exit: freeing its
// tables one by one only delays the exit that frees them all. Where libcurl
// started the library first, this is a no-op.
void startCrypto() {
  static const bool started =
      OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
  (void)started;
}

}  // namespace

bool sha256OfFile(const std::string& path, std::string* digest, std::string* reason) {
  // Non-blocking, so that a FIFO is refused below rather than waited on.
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd == -1) {
    *reason = "cannot read " + path + ": " + strerror(errno);
    return false;
  }
  bool hashed = sha256OfDescriptor(fd, -1, path, digest, reason);
  close(fd);
  return hashed;
}

bool sha256OfDescriptor(int fd, int copyFd, const std::string& name, std::string* digest,
                        std::string* reason, bool* copyFailed) {
  startCrypto();
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *reason = name + " is not a regular file";
    return false;
  }
  MdCtx ctx(EVP_MD_CTX_new());
  bool ok = ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) == 1;
  // Not zeroed: pages that a small archive never reaches stay untouched.
  const size_t kBufferSize = 65536;
  std::unique_ptr<char[]> buffer(new char[kBufferSize]);
  // From the start, whatever the descriptor's offset, and without moving it.
  off_t offset = 0;
  while (ok) {
    ssize_t n = pread(fd, buffer.get(), kBufferSize, offset);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      *reason = "cannot read " + name + ": " + strerror(errno);
      return false;
    }
    if (n == 0)
      break;
    offset += n;
    ok = EVP_DigestUpdate(ctx.get(), buffer.get(), static_cast<size_t>(n)) == 1;
    for (const char* data = buffer.get(); ok && copyFd != -1 && n > 0;) {
      ssize_t written = write(copyFd, data, static_cast<size_t>(n));
      if (written < 0 && errno == EINTR)
        continue;
      if (written <= 0) {
        *reason = "cannot copy " + name + ": " + strerror(written < 0 ? errno : EIO);
        if (copyFailed != nullptr)
          *copyFailed = true;
        return false;
      }
      data += written;
      n -= written;
    }
  }
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  ok = ok && EVP_DigestFinal_ex(ctx.get(), md, &size) == 1 && size == kDigestSize;
  ERR_clear_error();
  if (!ok) {
    *reason = "cannot compute the SHA-256 of " + name;
    return false;
  }
  digest->assign(reinterpret_cast<char*>(md), size);
  return true;
}

std::string formatAgentSignature(const std::string& signature) {
  return kFileHeader + (kAlgorithm + encodeBase64(signature)) + "\n";
}

bool parseAgentSignature(const std::string& text, std::string* signature, std::string* reason) {
  const std::string header = kFileHeader;
  const std::string algorithm = kAlgorithm;
  if (text.compare(0, header.size(), header) != 0) {
    *reason = "the first line is not \"installer-agent-signature 1\"";
    return false;
  }
  if (text.compare(header.size(), algorithm.size(), algorithm) != 0) {
    *reason = "the second line is not \"ed25519 <signature>\"";
    return false;
  }
  size_t start = header.size() + algorithm.size();
  size_t newline = text.find('\n', start);
  if (newline == std::string::npos) {
    *reason = "the signature line does not end with a newline";
    return false;
  }
  if (newline + 1 != text.size()) {
    *reason = "there is more after the signature line";
    return false;
  }
  std::string bytes;
  if (!decodeBase64(text.substr(start, newline - start), &bytes)) {
    *reason = "the signature is not canonical base64";
    return false;
  }
  if (bytes.size() != kSignatureSize) {
    *reason = "the signature is " + std::to_string(bytes.size()) + " bytes, not 64";
    return false;
  }
  *signature = bytes;
  return true;
}

std::string encodeBase64(const std::string& bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    size_t left = bytes.size() - i;
    unsigned int group = static_cast<unsigned char>(bytes[i]) << 16;
    if (left > 1)
      group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (left > 2)
      group |= static_cast<unsigned char>(bytes[i + 2]);
    text += kBase64Alphabet[(group >> 18) & 63];
    text += kBase64Alphabet[(group >> 12) & 63];
    text += left > 1 ? kBase64Alphabet[(group >> 6) & 63] : '=';
    text += left > 2 ? kBase64Alphabet[group & 63] : '=';
  }
  return text;
}

bool decodeBase64(const std::string& text, std::string* bytes) {
  if (text.size() % 4 != 0)
    return false;
  std::string result;
  for (size_t i = 0; i < text.size(); i += 4) {
    // Padding only in the last group: "xx==" or "xxx=".
    bool last = i + 4 == text.size();
    size_t padding = !last ? 0 : text[i + 3] != '=' ? 0 : text[i + 2] != '=' ? 1 : 2;
    unsigned int group = 0;
    for (size_t j = 0; j < 4 - padding; ++j) {
      int value = base64Value(text[i + j]);
      if (value < 0)
        return false;
      group = group << 6 | static_cast<unsigned int>(value);
    }
    group <<= 6 * padding;
    // The bits that the padding leaves over must be zero, or several texts
    // would spell the same bytes.
    if ((padding == 1 && (group & 0xff) != 0) || (padding == 2 && (group & 0xffff) != 0))
      return false;
    result += static_cast<char>(group >> 16);
    if (padding < 2)
      result += static_cast<char>((group >> 8) & 0xff);
    if (padding < 1)
      result += static_cast<char>(group & 0xff);
  }
  *bytes = result;
  return true;
}

std::string verifyAgentArchive(const std::string& archive, const std::string& signatureFile,
                               const std::vector<std::string>& publicKeys,
                               const std::string& release, const std::string& platform) {
  int fd = open(archive.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd == -1)
    return "cannot read " + archive + ": " + strerror(errno);
  std::string reason =
      verifyAgentArchiveFd(fd, -1, archive, signatureFile, publicKeys, release, platform);
  close(fd);
  return reason;
}

std::string verifyAgentArchiveFd(int archiveFd, int copyFd, const std::string& archive,
                                 const std::string& signatureFile,
                                 const std::vector<std::string>& publicKeys,
                                 const std::string& release, const std::string& platform,
                                 bool* copyFailed) {
  if (copyFailed != nullptr)
    *copyFailed = false;
  // A NUL inside a tag would let two different pairs of tags make the same
  // message.
  if (release.find('\0') != std::string::npos || platform.find('\0') != std::string::npos)
    return "the release and platform tags must not contain NUL";
  std::string text, signature, reason, digest;
  reason = readSignatureFile(signatureFile, &text);
  if (!reason.empty())
    return reason;
  if (!parseAgentSignature(text, &signature, &reason))
    return "malformed signature file " + signatureFile + ": " + reason;
  if (!sha256OfDescriptor(archiveFd, copyFd, archive, &digest, &reason, copyFailed))
    return reason;
  std::string message = agentSignedMessage(release, platform, digest);
  size_t malformedKeys = 0;
  for (const std::string& encoded : publicKeys) {
    std::string key;
    if (!decodeBase64(encoded, &key) || key.size() != kPublicKeySize) {
      ++malformedKeys;
      continue;
    }
    if (verifiesWith(key, signature, message))
      return "";
  }
  reason = "no configured key verifies the signature of " + archive;
  if (publicKeys.empty())
    return reason + " (no key is configured)";
  if (malformedKeys > 0)
    return reason + " (" + std::to_string(malformedKeys) + " of " +
           std::to_string(publicKeys.size()) + " configured keys are not the base64 of 32 bytes)";
  return reason;
}
