// The payload hook of a single-file installer (see payload_format.h for
// the file's layout). Everything the payload holds is checked before
// anything of it starts: the file's length against what the packer
// recorded in the executable, the index against its digest there, and each
// part against the index. The small parts are copied into the run's own
// directory as they are hashed, so that the bytes checked are the bytes
// used even when someone rewrites the file meanwhile. The agent is too in
// a build with keys, whose signature check wants a file of the run's own;
// otherwise it stays in the installer file and its digest is taken by the
// very reads that unpack it, so that a large agent costs one read and no
// copy. The bundle is never copied: the agent reads it from the installer
// file itself, through a link named bundle.zip; its central directory is
// hashed here and its entries carry their own CRC-32 for the reader.
#include "payload/payload.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "payload/payload_format.h"
#include "platform/location.h"
#include "platform/test_hold.h"
#include "platform/translation.h"
#include "signature/verification.h"
#include "sourcing/unzip_agent.h"

extern "C" const volatile PayloadSlot installerPayloadSlot;

namespace {

const char kDamagedText[] =
    N_("The installer file is damaged or incomplete. Download it again.");

// The installer file, kept open for an agent left inside it.
struct Carried {
  int fd = -1;
  PayloadPart agent;
} carried;

// Why the installer file at `path` cannot be read, errno's reason last.
std::string unreadableText(const std::string& path) {
  return fill(tr("The installer cannot read its own file {1}: {2}"),
              {path.empty() ? std::string(tr("(unknown)")) : path, strerror(errno)});
}

// The slot as the packer left it. Read byte by byte through the volatile
// view: its contents were written into the file after the build.
PayloadSlot readSlot() {
  PayloadSlot slot;
  const volatile unsigned char* from =
      reinterpret_cast<const volatile unsigned char*>(&installerPayloadSlot);
  unsigned char* to = reinterpret_cast<unsigned char*>(&slot);
  for (size_t i = 0; i < sizeof slot; ++i)
    to[i] = from[i];
  return slot;
}

class Unpacking {
 public:
  Unpacking(const PayloadSlot& slot, ErrorCallback report) : slot_(slot), report_(report) {}
  ~Unpacking() {
    if (fd_ != -1)
      close(fd_);
  }

  int run(const std::string& workDir) {
    int opened = open();
    if (opened != 0)
      return opened;
    PayloadIndex index;
    int checked = readIndex(&index);
    if (checked != 0)
      return checked;
    std::string bundleDirectory;
    if (!hashRange(fd_, index.bundleDirectoryOffset, slot_.fileSize - index.bundleDirectoryOffset,
                   -1, &bundleDirectory))
      return unreadable();
    if (bundleDirectory != index.bundleDirectorySha256)
      return damaged(kPayloadBadBundle);

    std::string dir = joinPath(workDir, "payload");
    if (workDir.empty())
      errno = ENOENT;  // no working directory was made
    if (workDir.empty() || mkdir(dir.c_str(), 0700) != 0)
      return cannotPlace(dir);
    static const struct {
      const char* part;
      const char* file;
    } kFiles[] = {{"agent", "InstallAgent.zip"},
                  {"signature", "InstallAgent.zip.sig"},
                  {"splash", "splash.png"},
                  {"icon", "icon.png"}};
    for (const auto& each : kFiles) {
      const PayloadPart* part = index.part(each.part);
      if (part == nullptr)
        continue;
      if (part->name == "agent" && !agentSignaturesRequired()) {
        carried.agent = *part;  // checked as it is unpacked
        continue;
      }
      int placed = place(*part, joinPath(dir, each.file));
      if (placed != 0)
        return placed;
    }
    // Agents find the bundle by its name; the link keeps it, and leads to
    // the file whose payload was just checked.
    std::string bundle = joinPath(dir, "bundle.zip");
    if (symlink(path_.c_str(), bundle.c_str()) != 0)
      return cannotPlace(bundle);
    setResourceDirectory(dir);
    if (!carried.agent.name.empty()) {
      carried.fd = fd_;
      fd_ = -1;
    }
    return 0;
  }

 private:
  // Opens the installer file by the path the agent will be given. Whatever
  // file that path leads to, what this run uses of it is what the checks
  // below find there: the payload that this executable's slot describes.
  int open() {
    path_ = getPathToExecutable();
    fd_ = path_.empty() ? -1 : ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ == -1) {
      // The kernel's name for a file whose name is gone.
      static const std::string kGone = " (deleted)";
      if (errno == ENOENT && path_.size() > kGone.size() &&
          path_.compare(path_.size() - kGone.size(), kGone.size(), kGone) == 0) {
        report_(fill(tr("The installer file {1} was replaced or removed after it started: "
                        "run it again."),
                     {path_.substr(0, path_.size() - kGone.size())}),
                true);
        return kPayloadReplaced;
      }
      return unreadable();
    }
    struct stat opened;
    if (fstat(fd_, &opened) != 0)
      return unreadable();
    if (!S_ISREG(opened.st_mode) || static_cast<uint64_t>(opened.st_size) != slot_.fileSize)
      return damaged(kPayloadIncomplete);
    return 0;
  }

  int readIndex(PayloadIndex* index) {
    if (slot_.indexSize == 0 || slot_.indexSize > kMaxPayloadIndexSize ||
        slot_.indexOffset < slot_.payloadStart || slot_.indexOffset > slot_.fileSize ||
        slot_.indexSize > slot_.fileSize - slot_.indexOffset)
      return damaged(kPayloadBadIndex);
    std::string text(static_cast<size_t>(slot_.indexSize), '\0');
    ssize_t got = pread(fd_, &text[0], text.size(), static_cast<off_t>(slot_.indexOffset));
    if (got != static_cast<ssize_t>(text.size()))
      return got < 0 ? unreadable() : damaged(kPayloadIncomplete);
    Sha256 hash;
    hash.update(text.data(), text.size());
    if (hash.digest() != std::string(reinterpret_cast<const char*>(slot_.indexSha256), 32) ||
        !parsePayloadIndex(text, slot_.payloadStart, slot_.fileSize, index))
      return damaged(kPayloadBadIndex);
    return 0;
  }

  // Copies `part` to the new file `path` as it is hashed.
  int place(const PayloadPart& part, const std::string& path) {
    int copy = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (copy == -1)
      return cannotPlace(path);
    std::string digest;
    bool copyFailed = false;
    bool copied = hashRange(fd_, part.offset, part.size, copy, &digest, &copyFailed);
    int saved = errno;
    if (close(copy) != 0 && copied) {
      copied = false;
      copyFailed = true;
      saved = errno;
    }
    errno = saved;
    if (!copied)
      return copyFailed ? cannotPlace(path) : unreadable();
    return digest == part.sha256 ? 0 : damaged(kPayloadBadPart);
  }

  int damaged(int code) {
    report_(tr(kDamagedText), true);
    return code;
  }

  int unreadable() {
    report_(unreadableText(path_), true);
    return kPayloadUnreadable;
  }

  int cannotPlace(const std::string& path) {
    report_(fill(tr("The installer cannot unpack its contents into {1}: {2}"),
                 {path, strerror(errno)}),
            true);
    return kPayloadCannotPlace;
  }

  const PayloadSlot slot_;
  ErrorCallback report_;
  std::string path_;
  int fd_ = -1;
};

}  // namespace

std::string initializationFailureText(int code) {
  return fill(tr("Internal error: Failed to initialize application installer ({1})"),
              {std::to_string(code)});
}

bool payloadAgentToUnpack() { return carried.fd != -1; }

int unpackPayloadAgent(const std::string& dir, ErrorCallback report) {
  ZipSource source;
  source.fd = carried.fd;
  source.offset = carried.agent.offset;
  source.size = carried.agent.size;
  Sha256 hash;
  source.fold = [&hash](const char* bytes, size_t size) { hash.update(bytes, size); };
  std::string why = unpackAgentArchive(&source, dir);
  // A damaged agent may well fail to unpack: that it is damaged is what
  // the user can act on.
  if (!hashRange(source.fd, source.offset + source.folded, source.size - source.folded, -1,
                 &hash)) {
    report(unreadableText(getPathToExecutable()), true);
    return kPayloadUnreadable;
  }
  if (hash.digest() != carried.agent.sha256) {
    report(tr(kDamagedText), true);
    return kPayloadBadPart;
  }
  if (!why.empty()) {
    reportUnzipFailed(why, report);
    return -1;
  }
  return 0;
}

int unpackPayload(const std::string& workDir, ErrorCallback report) {
  PayloadSlot slot = readSlot();
  if (slot.payloadStart == 0)
    return 0;
  // Under a file-size limit a copy fails with EFBIG, to be reported,
  // rather than ending the run before it can clean up.
  holdForTests("payload");
  void (*savedXfsz)(int) = signal(SIGXFSZ, SIG_IGN);
  int result = Unpacking(slot, report).run(workDir);
  signal(SIGXFSZ, savedXfsz);
  return result;
}
