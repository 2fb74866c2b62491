// installer-sign: the vendor's side of signed install agents. It makes an
// Ed25519 key pair, prints the public key in the form the build's list of
// keys takes, and signs an agent archive for one release and one platform
// into the detached ARCHIVE.sig that the installer checks before it starts
// the agent. Keys are PKCS#8 PEM files, as OpenSSL's own tools write them,
// so that a vendor may make and keep them with those tools instead.
#include <errno.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "signature/agent_signature.h"

namespace {

const char kUsage[] =
    "Usage:\n"
    "  installer-sign keygen PRIVATE.pem\n"
    "      Writes a new Ed25519 private key (mode 0600; an existing file is never\n"
    "      replaced) and prints its public key for the build's list of keys.\n"
    "  installer-sign pubkey PRIVATE.pem\n"
    "      Prints the public key of PRIVATE.pem.\n"
    "  installer-sign sign --release TAG --platform TAG PRIVATE.pem ARCHIVE\n"
    "      Signs the agent archive ARCHIVE for that release and platform into\n"
    "      ARCHIVE.sig, to be published beside it.\n";

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
typedef std::unique_ptr<EVP_PKEY, PkeyFree> Pkey;

int fail(const std::string& message) {
  fprintf(stderr, "installer-sign: %s\n", message.c_str());
  return 1;
}

int usageError(const std::string& message) {
  fprintf(stderr, "installer-sign: %s (see installer-sign --help)\n", message.c_str());
  return 2;
}

// OpenSSL's reason for its latest failure, its queue emptied.
std::string opensslReason() {
  unsigned long code = ERR_peek_last_error();
  const char* text = code != 0 ? ERR_reason_error_string(code) : nullptr;
  ERR_clear_error();
  return text != nullptr ? text : "unknown error";
}

// Creates `path`, which must not exist, with exactly `mode` and `content`,
// on disk before this returns. Leaves nothing behind on failure.
bool writeNewFile(const std::string& path, const std::string& content, mode_t mode,
                  std::string* reason) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd == -1) {
    *reason = errno == EEXIST ? path + " exists already; it is left as it is"
                              : "cannot create " + path + ": " + strerror(errno);
    return false;
  }
  // The umask may have taken more than asked; the mode is part of the contract.
  int error = fchmod(fd, mode) == 0 ? 0 : errno;
  for (size_t done = 0; error == 0 && done < content.size();) {
    ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      error = n < 0 ? errno : EIO;
    else
      done += static_cast<size_t>(n);
  }
  if (error == 0 && fsync(fd) != 0)
    error = errno;
  if (close(fd) != 0 && error == 0)
    error = errno;
  if (error != 0) {
    *reason = "cannot write " + path + ": " + strerror(error);
    unlink(path.c_str());
  }
  return error == 0;
}

// The Ed25519 private key in the PEM file at `path`; null with a reason.
Pkey loadPrivateKey(const std::string& path, std::string* reason) {
  FILE* file = fopen(path.c_str(), "re");
  if (file == nullptr) {
    *reason = "cannot read " + path + ": " + strerror(errno);
    return nullptr;
  }
  // No passphrase callback: OpenSSL asks on the terminal for an encrypted key.
  Pkey key(PEM_read_PrivateKey(file, nullptr, nullptr, nullptr));
  fclose(file);
  if (!key) {
    ERR_clear_error();
    *reason = path + " holds no readable PEM private key";
    return nullptr;
  }
  if (EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) {
    const char* type = EVP_PKEY_get0_type_name(key.get());
    *reason = path + ": the key is " + (type != nullptr ? type : "another kind") + ", not Ed25519";
    return nullptr;
  }
  return key;
}

// The public key as the build takes it: the base64 of its raw 32 bytes.
bool printPublicKey(EVP_PKEY* key, std::string* reason) {
  unsigned char raw[32];
  size_t size = sizeof raw;
  if (EVP_PKEY_get_raw_public_key(key, raw, &size) != 1 || size != sizeof raw) {
    *reason = "cannot get the public key: " + opensslReason();
    return false;
  }
  std::string text = encodeBase64(std::string(reinterpret_cast<char*>(raw), size));
  if (printf("%s\n", text.c_str()) < 0 || fflush(stdout) != 0) {
    *reason = std::string("cannot write the public key: ") + strerror(errno);
    return false;
  }
  return true;
}

int keygen(const std::string& path) {
  Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
  if (!key)
    return fail("cannot make a key: " + opensslReason());
  std::unique_ptr<BIO, BioFree> pem(BIO_new(BIO_s_mem()));
  char* data = nullptr;
  long size = 0;
  if (!pem ||
      PEM_write_bio_PrivateKey(pem.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
      (size = BIO_get_mem_data(pem.get(), &data)) <= 0)
    return fail("cannot encode the key: " + opensslReason());
  std::string reason;
  // Never over an existing key: a lost private key cannot be made again.
  if (!writeNewFile(path, std::string(data, static_cast<size_t>(size)), 0600, &reason))
    return fail(reason);
  return printPublicKey(key.get(), &reason) ? 0 : fail(reason);
}

int pubkey(const std::string& path) {
  std::string reason;
  Pkey key = loadPrivateKey(path, &reason);
  if (!key || !printPublicKey(key.get(), &reason))
    return fail(reason);
  return 0;
}

int sign(const std::string& release, const std::string& platform, const std::string& keyPath,
         const std::string& archive) {
  std::string reason, digest;
  Pkey key = loadPrivateKey(keyPath, &reason);
  if (!key || !sha256OfFile(archive, &digest, &reason))
    return fail(reason);
  std::string message = agentSignedMessage(release, platform, digest);
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  unsigned char signature[64];
  size_t size = sizeof signature;
  // Ed25519 hashes the message itself: no digest is named.
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
      EVP_DigestSign(ctx.get(), signature, &size,
                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1 ||
      size != sizeof signature)
    return fail("cannot sign " + archive + ": " + opensslReason());
  // Written beside and renamed into place: a reader (a web server
  // publishing the directory, say) sees the old signature or the new one,
  // never part of one.
  std::string path = archive + ".sig";
  std::string temporary = path + ".new";
  unlink(temporary.c_str());
  std::string text = formatAgentSignature(std::string(reinterpret_cast<char*>(signature), size));
  if (!writeNewFile(temporary, text, 0644, &reason))
    return fail(reason);
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    int error = errno;
    unlink(temporary.c_str());
    return fail("cannot write " + path + ": " + strerror(error));
  }
  return 0;
}

int signCommand(const std::vector<std::string>& args) {
  std::string release, platform;
  std::vector<std::string> operands;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--release" || arg == "--platform") {
      if (i + 1 == args.size())
        return usageError(arg + " needs a value");
      (arg == "--release" ? release : platform) = args[++i];
    } else if (arg.size() > 1 && arg[0] == '-') {
      return usageError("unknown option " + arg);
    } else {
      operands.push_back(arg);
    }
  }
  // A signature for an empty tag would verify for no installer.
  if (release.empty() || platform.empty())
    return usageError("sign needs --release TAG and --platform TAG");
  if (operands.size() != 2)
    return usageError("sign needs PRIVATE.pem and ARCHIVE");
  return sign(release, platform, operands[0], operands[1]);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  if (args.empty())
    return usageError("no command");
  const std::string command = args[0];
  args.erase(args.begin());
  if (command == "--help" || command == "-h") {
    fputs(kUsage, stdout);
    return 0;
  }
  if (command == "sign")
    return signCommand(args);
  if (command != "keygen" && command != "pubkey")
    return usageError("unknown command " + command);
  if (args.size() != 1 || (args[0].size() > 1 && args[0][0] == '-'))
    return usageError(command + " needs PRIVATE.pem");
  return command == "keygen" ? keygen(args[0]) : pubkey(args[0]);
}
