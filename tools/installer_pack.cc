// installer-pack: makes a single-file installer. It writes the installer
// executable with the vendor's bundle, and optionally the install agent,
// the splash and the icon, after it (the layout is in
// src/payload/payload_format.h), and records in the executable's own slot
// where that payload lies, so that the installer tells a file cut short
// from one that never carried anything.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "payload/payload_format.h"
#include "signature/agent_signature.h"
#include "zip_shift.h"

namespace {

const char kUsage[] =
    "Usage:\n"
    "  installer-pack --bundle BUNDLE.zip [--agent InstallAgent.zip]\n"
    "                 [--splash splash.png] [--icon icon.png] [--installer PATH] OUTPUT\n"
    "      Writes OUTPUT, one executable file that holds the installer (by\n"
    "      default the installer beside this tool) and the files given. With\n"
    "      --agent, an installer that starts only signed agents also takes the\n"
    "      agent's signature, ARCHIVE.sig, from beside the archive.\n";

int fail(const std::string& message) {
  fprintf(stderr, "installer-pack: %s\n", message.c_str());
  return 1;
}

int usageError(const std::string& message) {
  fprintf(stderr, "installer-pack: %s (see installer-pack --help)\n", message.c_str());
  return 2;
}

std::string errorText(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + strerror(errno);
}

// An input file, open, with its size; a one-line reason otherwise.
struct Input {
  std::string path;
  int fd = -1;
  uint64_t size = 0;
  ~Input() {
    if (fd != -1)
      close(fd);
  }
  bool open(const std::string& name, std::string* reason) {
    path = name;
    fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st;
    if (fd == -1 || fstat(fd, &st) != 0) {
      *reason = errorText("cannot read", name);
      return false;
    }
    if (!S_ISREG(st.st_mode)) {
      *reason = "not a regular file: " + name;
      return false;
    }
    size = static_cast<uint64_t>(st.st_size);
    return true;
  }
};

bool readWhole(const Input& input, std::string* bytes, std::string* reason) {
  bytes->assign(static_cast<size_t>(input.size), '\0');
  for (size_t done = 0; done < bytes->size();) {
    ssize_t got = pread(input.fd, &(*bytes)[done], bytes->size() - done,
                        static_cast<off_t>(done));
    if (got <= 0) {
      if (got == 0)
        errno = EIO;
      *reason = errorText("cannot read", input.path);
      return false;
    }
    done += static_cast<size_t>(got);
  }
  return true;
}

bool writeAll(int fd, const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Copies the first `size` bytes of `from` to the end of `to`, keeping holes
// as holes: a sparse bundle of gigabytes packs in moments.
bool copyKeepingHoles(int from, uint64_t size, int to) {
  off_t base = lseek(to, 0, SEEK_CUR);
  if (base == -1)
    return false;
  off_t data = 0;
  while (static_cast<uint64_t>(data) < size) {
    off_t start = lseek(from, data, SEEK_DATA);
    if (start == -1 && errno == ENXIO)
      break;  // nothing but a hole up to the end
    if (start == -1)
      start = data;  // no SEEK_DATA here: copy everything
    if (static_cast<uint64_t>(start) >= size)
      break;
    off_t hole = lseek(from, start, SEEK_HOLE);
    uint64_t stop = hole == -1 ? size : std::min<uint64_t>(size, static_cast<uint64_t>(hole));
    off_t in = start;
    off_t out = base + start;
    while (static_cast<uint64_t>(in) < stop) {
      ssize_t n = copy_file_range(from, &in, to, &out, static_cast<size_t>(stop - in), 0);
      if (n == 0)
        return errno = EIO, false;  // the bundle shrank meanwhile
      if (n < 0) {
        if (errno == EINTR)
          continue;
        // Between file systems that cannot copy a range: by hand.
        std::vector<char> buffer(1 << 20);
        ssize_t got = pread(from, buffer.data(),
                            std::min<size_t>(buffer.size(), static_cast<size_t>(stop - in)), in);
        if (got <= 0)
          return got == 0 ? (errno = EIO, false) : false;
        if (pwrite(to, buffer.data(), static_cast<size_t>(got), out) != got)
          return false;
        in += got;
        out += got;
      }
    }
    data = static_cast<off_t>(stop);
  }
  return ftruncate(to, base + static_cast<off_t>(size)) == 0 &&
         lseek(to, base + static_cast<off_t>(size), SEEK_SET) != -1;
}

std::string besideThisTool(const std::string& name) {
  char self[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0)
    return name;
  std::string dir(self, static_cast<size_t>(length));
  return dir.substr(0, dir.rfind('/') + 1) + name;
}

struct Options {
  std::string bundle, agent, splash, icon, installer, output;
};

int pack(const Options& options) {
  std::string reason;
  Input installer;
  if (!installer.open(options.installer, &reason))
    return fail(reason);
  std::string program;
  if (!readWhole(installer, &program, &reason))
    return fail(reason);
  static const char kMagic[] = INSTALLER_PAYLOAD_SLOT_MAGIC;
  std::string magic(kMagic, sizeof kMagic);
  size_t slotAt = program.find(magic);
  if (slotAt == std::string::npos || program.find(magic, slotAt + 1) != std::string::npos ||
      slotAt + sizeof(PayloadSlot) > program.size())
    return fail("not an installer that can carry a payload: " + options.installer);
  PayloadSlot slot;
  memcpy(&slot, program.data() + slotAt, sizeof slot);
  if (slot.version != kPayloadSlotVersion)
    return fail("an installer of another version of this tool: " + options.installer);
  if (slot.payloadStart != 0)
    return fail("already a packed installer: " + options.installer);

  // The parts, checked before anything is written.
  struct Part {
    const char* name;
    Input input;
  };
  std::vector<std::pair<const char*, std::string>> wanted;
  if (!options.agent.empty()) {
    wanted.push_back({"agent", options.agent});
    if ((slot.flags & kPayloadWantsSignatures) != 0) {
      std::string sig = options.agent + ".sig";
      if (access(sig.c_str(), F_OK) != 0)
        return fail("no signature " + sig + " beside the agent archive: " + options.installer +
                    " starts only signed agents (sign it with installer-sign sign)");
      wanted.push_back({"signature", sig});
    }
  }
  if (!options.splash.empty())
    wanted.push_back({"splash", options.splash});
  if (!options.icon.empty())
    wanted.push_back({"icon", options.icon});
  std::vector<Part> parts(wanted.size());
  for (size_t i = 0; i < wanted.size(); ++i) {
    Part& part = parts[i];
    part.name = wanted[i].first;
    if (!part.input.open(wanted[i].second, &reason))
      return fail(reason);
    std::string name = part.name;
    if (name != "agent" && part.input.size > kMaxSmallPartSize)
      return fail("too large for a " + name + ": " + part.input.path);
    std::string text;
    std::string signature;
    if (name == "signature" &&
        (!readWhole(part.input, &text, &reason) ||
         !parseAgentSignature(text, &signature, &reason)))
      return fail("not a signature " + part.input.path + ": " + reason);
    ShiftedZipTail unused;
    if (name == "agent" && !shiftZipTail(part.input.fd, part.input.size, 0, &unused, &reason))
      return fail("not an agent archive " + part.input.path + ": " + reason);
  }
  Input bundle;
  if (!bundle.open(options.bundle, &reason))
    return fail(reason);
  ShiftedZipTail tail;
  if (!shiftZipTail(bundle.fd, bundle.size, 0, &tail, &reason))
    return fail("not a bundle " + options.bundle + ": " + reason);

  // Written beside OUTPUT and renamed into place: a failed pack leaves no
  // installer that looks whole.
  std::string temporary = options.output + ".pack-XXXXXX";
  std::vector<char> name(temporary.begin(), temporary.end());
  name.push_back('\0');
  int out = mkostemp(name.data(), O_CLOEXEC);
  if (out == -1)
    return fail(errorText("cannot write", options.output));
  temporary = name.data();
  auto failWriting = [&](const std::string& message) {
    close(out);
    unlink(temporary.c_str());
    return fail(message);
  };
  if (!writeAll(out, program))
    return failWriting(errorText("cannot write", options.output));

  // Each part hashed as it is copied: one read, and the digest is of the
  // bytes written.
  PayloadIndex index;
  uint64_t offset = program.size();
  slot.payloadStart = offset;
  for (Part& part : parts) {
    std::string digest;
    bool copyFailed = false;
    if (!hashRange(part.input.fd, 0, part.input.size, out, &digest, &copyFailed))
      return failWriting(
          errorText(copyFailed ? "cannot write" : "cannot read",
                    copyFailed ? options.output : part.input.path));
    index.parts.push_back({part.name, offset, part.input.size, digest});
    offset += part.input.size;
  }

  // The index's length depends on the numbers in it, the bundle's offset
  // among them: settle it by trying.
  std::string indexText;
  for (uint64_t indexSize = 0;;) {
    index.bundleOffset = offset + indexSize;
    index.bundleSize = bundle.size;
    if (!shiftZipTail(bundle.fd, bundle.size, index.bundleOffset, &tail, &reason))
      return failWriting("cannot pack the bundle " + options.bundle + ": " + reason);
    index.bundleDirectoryOffset = index.bundleOffset + tail.directoryOffset;
    Sha256 hash;
    hash.update(tail.bytes.data(), tail.bytes.size());
    index.bundleDirectorySha256 = hash.digest();
    indexText = formatPayloadIndex(index);
    if (indexText.size() == indexSize)
      break;
    indexSize = indexText.size();
  }
  slot.indexOffset = offset;
  slot.indexSize = indexText.size();
  slot.fileSize = index.bundleOffset + bundle.size;
  Sha256 indexHash;
  indexHash.update(indexText.data(), indexText.size());
  std::string digest = indexHash.digest();
  memcpy(slot.indexSha256, digest.data(), sizeof slot.indexSha256);

  mode_t mask = umask(0);
  umask(mask);
  bool written = writeAll(out, indexText) &&
                 copyKeepingHoles(bundle.fd, tail.directoryOffset, out) &&
                 writeAll(out, tail.bytes) &&
                 pwrite(out, &slot, sizeof slot, static_cast<off_t>(slotAt)) ==
                     static_cast<ssize_t>(sizeof slot) &&
                 fchmod(out, 0777 & ~mask) == 0 && fsync(out) == 0;
  if (!written)
    return failWriting(errorText("cannot write", options.output));
  if (close(out) != 0 || rename(temporary.c_str(), options.output.c_str()) != 0) {
    int error = errno;
    unlink(temporary.c_str());
    errno = error;
    return fail(errorText("cannot write", options.output));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  Options options;
  std::vector<std::string> operands;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::string* value = arg == "--bundle"      ? &options.bundle
                         : arg == "--agent"     ? &options.agent
                         : arg == "--splash"    ? &options.splash
                         : arg == "--icon"      ? &options.icon
                         : arg == "--installer" ? &options.installer
                                                : nullptr;
    if (arg == "--help" || arg == "-h") {
      fputs(kUsage, stdout);
      return 0;
    }
    if (value != nullptr) {
      if (i + 1 == args.size() || args[i + 1].empty())
        return usageError(arg + " needs a value");
      *value = args[++i];
    } else if (arg == "--") {
      operands.insert(operands.end(), args.begin() + static_cast<long>(i) + 1, args.end());
      break;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return usageError("unknown option " + arg);
    } else {
      operands.push_back(arg);
    }
  }
  if (options.bundle.empty())
    return usageError("--bundle BUNDLE.zip is needed");
  if (operands.size() != 1 || operands[0].empty())
    return usageError(operands.empty() ? "OUTPUT is needed" : "only one OUTPUT");
  options.output = operands[0];
  if (options.installer.empty())
    options.installer = besideThisTool("installer");
  return pack(options);
}
