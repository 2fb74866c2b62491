// Unpacking a zip archive in the installer's own process.
//
// The archive comes from the network or from a directory that others may
// have written to, so nothing in it is trusted, and nothing outside it is
// either: no option from the environment, no question on the terminal, no
// second opening by name. The archive is read through the caller's
// descriptor (with seeks: only the central directory knows the modes and
// which entries are links), in two passes:
//
//   1. The central directory's records alone. Every name is checked (not
//      absolute, no "..", not given twice, no file where a directory must
//      stand, not encrypted, a file, directory or link), the records read
//      must be all that the archive lists, and the declared sizes are added
//      up against the free space, so that a refused archive writes nothing
//      and the kinds of zip bomb whose entries share their data are refused
//      too.
//   2. The entries are written below the target's descriptor, one component
//      at a time: directories opened with O_NOFOLLOW, files created with
//      O_EXCL, so that no link, planted by the archive or by anyone, ever
//      steers a write; no file gets more than its declared size.
//
// Directories are made writable for us while they are filled and get their
// own modes last: an archive may hold a directory that even its owner
// cannot write. Files and directories keep the archive's times, as unzip
// restores them: a runtime may compare a source's time with its cache's. Names are read as UTF-8 whatever the user's locale, since
// libarchive otherwise refuses a name it cannot convert to a C locale.
#include "sourcing/zip_extract.h"

#include <archive.h>
#include <archive_entry.h>
#include <errno.h>
#include <fcntl.h>
#include <locale.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

// Big enough that a stored entry is copied in few system calls, small
// enough to keep memory flat.
const size_t kReadBlock = 256 << 10;

const mode_t kPermissionBits = 0777;  // no setuid, setgid or sticky bit

std::vector<std::string> splitPath(const std::string& path) {
  std::vector<std::string> parts;
  size_t from = 0;
  while (from <= path.size()) {
    size_t end = path.find('/', from);
    if (end == std::string::npos)
      end = path.size();
    std::string part = path.substr(from, end - from);
    if (!part.empty() && part != ".")
      parts.push_back(part);
    from = end + 1;
  }
  return parts;
}

std::string joinParts(const std::vector<std::string>& parts, size_t count) {
  std::string joined;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0)
      joined += '/';
    joined += parts[i];
  }
  return joined;
}

// The process's umask, read without changing it where the kernel says it.
mode_t currentUmask() {
  FILE* status = fopen("/proc/self/status", "re");
  if (status != nullptr) {
    char line[256];
    unsigned int mask = 0;
    while (fgets(line, sizeof line, status) != nullptr) {
      if (sscanf(line, "Umask: %o", &mask) == 1) {
        fclose(status);
        return static_cast<mode_t>(mask);
      }
    }
    fclose(status);
  }
  mode_t mask = umask(022);
  umask(mask);
  return mask;
}

// One entry as the first pass saw it.
struct Entry {
  std::vector<std::string> parts;
  mode_t type;
};

// An archive opened on `source` from its start, for one pass. It reads by
// offset (pread), so the descriptor's own offset is never used, and an
// archive inside a larger file reads as if it were the file.
class Reader {
 public:
  explicit Reader(ZipSource* source)
      : archive_(archive_read_new()), source_(source), block_(kReadBlock) {
    if (archive_ == nullptr) {
      error_ = "out of memory";
      return;
    }
    archive_read_support_format_zip_seekable(archive_);
    archive_read_set_callback_data(archive_, this);
    archive_read_set_read_callback(archive_, &Reader::read);
    archive_read_set_seek_callback(archive_, &Reader::seek);
    archive_read_set_skip_callback(archive_, &Reader::skip);
    if (archive_read_open1(archive_) != ARCHIVE_OK)
      error_ = problem("not a readable zip archive");
  }
  ~Reader() {
    if (archive_ != nullptr)
      archive_read_free(archive_);
  }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  const std::string& error() const { return error_; }
  struct archive* get() { return archive_; }

  static la_ssize_t read(struct archive* archive, void* self, const void** buffer) {
    Reader* reader = static_cast<Reader*>(self);
    ZipSource* source = reader->source_;
    *buffer = reader->block_.data();
    if (reader->at_ >= source->size)
      return 0;
    size_t want = static_cast<size_t>(
        std::min<uint64_t>(reader->block_.size(), source->size - reader->at_));
    ssize_t got;
    do {
      got = pread(source->fd, reader->block_.data(), want,
                  static_cast<off_t>(source->offset + reader->at_));
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
      archive_set_error(archive, errno, "%s", strerror(errno));
      return ARCHIVE_FATAL;
    }
    uint64_t end = reader->at_ + static_cast<uint64_t>(got);
    if (source->fold && reader->at_ <= source->folded && end > source->folded) {
      source->fold(reader->block_.data() + (source->folded - reader->at_),
                   static_cast<size_t>(end - source->folded));
      source->folded = end;
    }
    reader->at_ = end;
    return got;
  }

  static la_int64_t seek(struct archive*, void* self, la_int64_t offset, int whence) {
    Reader* reader = static_cast<Reader*>(self);
    la_int64_t from = whence == SEEK_SET   ? 0
                      : whence == SEEK_CUR ? static_cast<la_int64_t>(reader->at_)
                                           : static_cast<la_int64_t>(reader->source_->size);
    if (from + offset < 0)
      return ARCHIVE_FATAL;
    reader->at_ = static_cast<uint64_t>(from + offset);
    return from + offset;
  }

  static la_int64_t skip(struct archive*, void* self, la_int64_t request) {
    Reader* reader = static_cast<Reader*>(self);
    uint64_t room = reader->source_->size > reader->at_ ? reader->source_->size - reader->at_ : 0;
    uint64_t skipped = std::min<uint64_t>(room, request < 0 ? 0 : static_cast<uint64_t>(request));
    reader->at_ += skipped;
    return static_cast<la_int64_t>(skipped);
  }

  // The next entry, or nullptr at the end or on an error (then error()).
  struct archive_entry* next() {
    struct archive_entry* entry = nullptr;
    int r = archive_read_next_header(archive_, &entry);
    if (r == ARCHIVE_EOF)
      return nullptr;
    if (r != ARCHIVE_OK) {
      error_ = problem("cannot read an entry's header");
      return nullptr;
    }
    return entry;
  }

  std::string problem(const std::string& what) const {
    const char* said = archive_ != nullptr ? archive_error_string(archive_) : nullptr;
    return said != nullptr ? what + ": " + said : what;
  }

 private:
  struct archive* archive_;
  ZipSource* source_;
  std::vector<char> block_;
  uint64_t at_ = 0;
  std::string error_;
};

// Names in libarchive's UTF-8 for the time of one extraction.
class Utf8Names {
 public:
  Utf8Names() : utf8_(newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0))) {
    if (utf8_ != static_cast<locale_t>(0))
      previous_ = uselocale(utf8_);
  }
  ~Utf8Names() {
    if (utf8_ != static_cast<locale_t>(0)) {
      uselocale(previous_);
      freelocale(utf8_);
    }
  }
  Utf8Names(const Utf8Names&) = delete;
  Utf8Names& operator=(const Utf8Names&) = delete;

 private:
  locale_t utf8_;
  locale_t previous_ = LC_GLOBAL_LOCALE;
};

// A write past a file size limit fails with EFBIG instead of ending the
// process without a word.
class NoFileSizeSignal {
 public:
  NoFileSizeSignal() { saved_ = signal(SIGXFSZ, SIG_IGN); }
  ~NoFileSizeSignal() { signal(SIGXFSZ, saved_); }
  NoFileSizeSignal(const NoFileSizeSignal&) = delete;
  NoFileSizeSignal& operator=(const NoFileSizeSignal&) = delete;

 private:
  void (*saved_)(int);
};

uint64_t littleEndian(const unsigned char* bytes, int count) {
  uint64_t value = 0;
  for (int i = count - 1; i >= 0; --i)
    value = value << 8 | bytes[i];
  return value;
}

// How many entries the archive's end record says its central directory
// lists, or -1 when it cannot be told.
long long listedEntries(const ZipSource& source) {
  if (source.size < 22)
    return -1;
  int fd = source.fd;
  // The end record (22 bytes and a comment of up to 64 KiB) closes the file.
  off_t archiveEnd = static_cast<off_t>(source.offset + source.size);
  off_t tailStart = archiveEnd - static_cast<off_t>(std::min<uint64_t>(source.size, 22 + 65535));
  std::vector<unsigned char> tail(static_cast<size_t>(archiveEnd - tailStart));
  if (pread(fd, tail.data(), tail.size(), tailStart) != static_cast<ssize_t>(tail.size()))
    return -1;
  for (size_t at = tail.size() - 22 + 1; at-- > 0;) {
    const unsigned char* end = &tail[at];
    if (littleEndian(end, 4) != 0x06054b50)
      continue;
    uint64_t count = littleEndian(end + 10, 2);
    if (count != 0xffff)
      return static_cast<long long>(count);
    // Zip64: the locator lies just before, and points at the zip64 record.
    unsigned char locator[20], record[56];
    off_t endAt = tailStart + static_cast<off_t>(at);
    if (endAt - static_cast<off_t>(source.offset) < 20 ||
        pread(fd, locator, sizeof locator, endAt - 20) != 20 ||
        littleEndian(locator, 4) != 0x07064b50)
      return -1;
    off_t recordAt = static_cast<off_t>(source.offset + littleEndian(locator + 8, 8));
    if (pread(fd, record, sizeof record, recordAt) != 56 || littleEndian(record, 4) != 0x06064b50)
      return -1;
    return static_cast<long long>(littleEndian(record + 32, 8));
  }
  return -1;
}

// Pass 1: every entry's name and kind, checked; "" or why the archive is
// refused.
std::string survey(ZipSource* source, int dirFd, std::vector<Entry>* entries) {
  Reader reader(source);
  if (!reader.error().empty())
    return reader.error();
  std::unordered_set<std::string> names, dirs, nonDirs;
  unsigned long long declared = 0;
  long long headers = 0;
  while (struct archive_entry* header = reader.next()) {
    ++headers;
    const char* raw = archive_entry_pathname(header);
    if (raw == nullptr || *raw == '\0')
      return reader.problem("an entry has no usable name");
    std::string name = raw;
    if (name[0] == '/')
      return "entry " + name + " has an absolute name";
    if (archive_entry_is_encrypted(header))
      return "entry " + name + " is encrypted";
    Entry entry{splitPath(name), archive_entry_filetype(header)};
    for (const std::string& part : entry.parts) {
      if (part == "..")
        return "entry " + name + " climbs out of its directory";
    }
    if (entry.type != AE_IFREG && entry.type != AE_IFDIR && entry.type != AE_IFLNK)
      return "entry " + name + " is not a file, a directory or a link";
    if (archive_entry_hardlink(header) != nullptr)
      return "entry " + name + " is a hard link";
    if (entry.parts.empty()) {
      if (entry.type == AE_IFDIR)
        continue;  // "./": the target itself
      return "entry " + name + " has no usable name";
    }
    std::string normal = joinParts(entry.parts, entry.parts.size());
    if (!names.insert(normal).second)
      return "entry " + name + " is given twice";
    bool isDir = entry.type == AE_IFDIR;
    if ((isDir ? nonDirs : dirs).count(normal) != 0)
      return "entry " + name + " is a file where a directory must stand";
    (isDir ? dirs : nonDirs).insert(normal);
    for (size_t i = 1; i < entry.parts.size(); ++i) {
      std::string above = joinParts(entry.parts, i);
      if (nonDirs.count(above) != 0)
        return "entry " + name + " lies below " + above + ", which is not a directory";
      dirs.insert(above);
    }
    if (entry.type == AE_IFREG) {
      if (!archive_entry_size_is_set(header))
        return "entry " + name + " declares no size";
      declared += static_cast<unsigned long long>(archive_entry_size(header));
    }
    entries->push_back(std::move(entry));
  }
  if (!reader.error().empty())
    return reader.error();
  // libarchive keeps one of several records that point at the same data;
  // such records are how a small archive claims to unpack to gigabytes.
  long long listed = listedEntries(*source);
  if (listed != -1 && listed != headers) {
    return "the archive lists " + std::to_string(listed) + " entries, of which " +
           std::to_string(headers) + " can be read: entries that share their data";
  }

  struct statvfs space;
  if (fstatvfs(dirFd, &space) == 0) {
    unsigned long long free = static_cast<unsigned long long>(space.f_bavail) * space.f_frsize;
    if (declared > free) {
      return "the archive unpacks to " + std::to_string(declared) + " bytes; the file system has " +
             std::to_string(free) + " free";
    }
    if (space.f_files != 0 && entries->size() > space.f_favail) {
      return "the archive has " + std::to_string(entries->size()) +
             " entries; the file system has room for " + std::to_string(space.f_favail);
    }
  }
  return "";
}

// Pass 2's state: the directories it opened and made.
class Writer {
 public:
  Writer(int dirFd, mode_t mask) : root_(dirFd), mask_(mask) {}
  ~Writer() { closeDirs(); }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // A descriptor of the directory `parts[0..count)` below the root, made
  // where missing; -1 with `why` set. It stays valid until the next call.
  int openDir(const std::vector<std::string>& parts, size_t count, std::string* why) {
    if (count == 0)
      return root_;
    auto found = open_.find(joinParts(parts, count));
    if (found != open_.end())
      return found->second;
    // From the nearest directory above that is open already: archives
    // list files of many directories in turn as often as one by one.
    int at = root_;
    size_t from = 0;
    for (size_t i = count - 1; i > 0 && from == 0; --i) {
      auto above = open_.find(joinParts(parts, i));
      if (above != open_.end()) {
        at = above->second;
        from = i;
      }
    }
    if (open_.size() + (count - from) > kMaxOpenDirs) {
      closeDirs();
      at = root_;
      from = 0;
    }
    for (size_t i = from; i < count; ++i) {
      int next = openOrMake(at, parts, i, why);
      if (next == -1)
        return -1;
      open_[joinParts(parts, i + 1)] = next;
      at = next;
    }
    return at;
  }

  // The mode and time a directory is to get once filled (no time: now).
  void setDirMode(const std::string& path, mode_t mode, const struct timespec* mtime = nullptr) {
    DirFinish& finish = dirFinish_[path];
    finish.mode = mode & ~mask_;
    finish.timed = mtime != nullptr;
    if (mtime != nullptr)
      finish.mtime = *mtime;
  }

  // Gives every directory made its own mode and time, deepest first (a
  // file made below a directory would change its time).
  std::string applyDirModes() {
    closeDirs();
    for (auto it = madeDirs_.rbegin(); it != madeDirs_.rend(); ++it) {
      const DirFinish& finish = dirFinish_[*it];
      int fd = openat(root_, it->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (finish.timed && fd != -1) {
        struct timespec times[2] = {finish.mtime, finish.mtime};
        futimens(fd, times);
      }
      if (fd == -1 || fchmod(fd, finish.mode) != 0) {
        std::string why = "cannot set the mode of " + *it + ": " + strerror(errno);
        if (fd != -1)
          close(fd);
        return why;
      }
      close(fd);
    }
    return "";
  }

 private:
  int openOrMake(int at, const std::vector<std::string>& parts, size_t i, std::string* why) {
    const char* name = parts[i].c_str();
    int fd = openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd == -1 && errno == ENOENT) {
      // Writable for us while it is filled, whatever the umask.
      if (mkdirat(at, name, 0700) != 0) {
        *why = "cannot make the directory " + joinParts(parts, i + 1) + ": " + strerror(errno);
        return -1;
      }
      fd = openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (fd != -1) {
        fchmod(fd, 0700);  // the umask may have taken our own bits
        std::string path = joinParts(parts, i + 1);
        madeDirs_.push_back(path);
        if (dirFinish_.count(path) == 0)
          setDirMode(path, 0777);
        return fd;
      }
    }
    if (fd == -1) {
      *why = "cannot open the directory " + joinParts(parts, i + 1) + ": " + strerror(errno);
    }
    return fd;
  }

  void closeDirs() {
    for (const auto& [path, fd] : open_)
      close(fd);
    open_.clear();
  }

  // Well below the usual limit of 1024 descriptors.
  static const size_t kMaxOpenDirs = 256;

  int root_;
  mode_t mask_;
  std::unordered_map<std::string, int> open_;
  struct DirFinish {
    mode_t mode = 0;
    bool timed = false;
    struct timespec mtime = {};
  };
  std::vector<std::string> madeDirs_;
  std::unordered_map<std::string, DirFinish> dirFinish_;
};

// The entry's time as the archive records it, for files and directories
// alike (as unzip restores it); false when it records none.
bool entryTime(struct archive_entry* header, struct timespec* time) {
  if (!archive_entry_mtime_is_set(header))
    return false;
  time->tv_sec = archive_entry_mtime(header);
  time->tv_nsec = archive_entry_mtime_nsec(header);
  return true;
}

// Copies the current entry's data into `fd`, at most `declared` bytes.
std::string writeData(Reader* reader, int fd, const std::string& name, int64_t declared,
                      const ExtractHooks& hooks) {
  int64_t end = 0;
  for (;;) {
    const void* block = nullptr;
    size_t size = 0;
    int64_t offset = 0;
    int r = archive_read_data_block(reader->get(), &block, &size, &offset);
    if (r == ARCHIVE_EOF)
      break;
    if (r != ARCHIVE_OK)
      return reader->problem("cannot read the data of " + name);
    if (offset < 0 || offset + static_cast<int64_t>(size) > declared)
      return "entry " + name + " holds more than its declared " + std::to_string(declared) +
             " bytes";
    const char* data = static_cast<const char*>(block);
    while (size > 0) {
      ssize_t n = pwrite(fd, data, size, offset);
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        return "cannot write " + name + ": " + strerror(n < 0 ? errno : EIO);
      data += n;
      size -= static_cast<size_t>(n);
      offset += n;
    }
    if (offset > end)
      end = offset;
    if (hooks.stop && hooks.stop())
      return "stopped while writing " + name;
  }
  // A trailing hole still counts as the file's length.
  if (end < declared && ftruncate(fd, declared) != 0)
    return "cannot write " + name + ": " + strerror(errno);
  return "";
}

std::string writeEntry(Reader* reader, struct archive_entry* header, const Entry& entry,
                       Writer* writer, const ExtractHooks& hooks) {
  std::string name = joinParts(entry.parts, entry.parts.size());
  std::string why;
  int parent = writer->openDir(entry.parts, entry.parts.size() - 1, &why);
  if (parent == -1)
    return why;
  mode_t mode = archive_entry_perm(header) & kPermissionBits;
  const char* last = entry.parts.back().c_str();
  switch (entry.type) {
    case AE_IFDIR: {
      int fd = writer->openDir(entry.parts, entry.parts.size(), &why);
      if (fd == -1)
        return why;
      struct timespec mtime;
      writer->setDirMode(name, mode, entryTime(header, &mtime) ? &mtime : nullptr);
      return "";
    }
    case AE_IFLNK: {
      const char* target = archive_entry_symlink(header);
      if (target == nullptr || *target == '\0')
        return "link " + name + " has no target";
      if (symlinkat(target, parent, last) != 0)
        return "cannot make the link " + name + ": " + strerror(errno);
      return "";
    }
    default: {
      int fd = openat(parent, last, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
      if (fd == -1)
        return "cannot create " + name + ": " + strerror(errno);
      why = writeData(reader, fd, name, archive_entry_size(header), hooks);
      struct timespec times[2];
      if (why.empty() && entryTime(header, &times[0])) {
        times[1] = times[0];
        futimens(fd, times);
      }
      if (close(fd) != 0 && why.empty())
        why = "cannot write " + name + ": " + strerror(errno);
      return why;
    }
  }
}

}  // namespace

std::string extractZip(int archiveFd, int dirFd, const ExtractHooks& hooks) {
  struct stat st;
  if (fstat(archiveFd, &st) != 0 || !S_ISREG(st.st_mode))
    return "the archive is not a regular file";
  ZipSource whole;
  whole.fd = archiveFd;
  whole.size = static_cast<uint64_t>(st.st_size);
  return extractZip(&whole, dirFd, hooks);
}

std::string extractZip(ZipSource* source, int dirFd, const ExtractHooks& hooks) {
  Utf8Names utf8;
  NoFileSizeSignal noSignal;
  std::vector<Entry> entries;
  std::string why = survey(source, dirFd, &entries);
  if (!why.empty())
    return why;

  Reader reader(source);
  if (!reader.error().empty())
    return reader.error();
  Writer writer(dirFd, currentUmask());
  size_t index = 0;
  while (struct archive_entry* header = reader.next()) {
    if (hooks.stop && hooks.stop())
      return "stopped";
    Entry entry{splitPath(archive_entry_pathname(header) != nullptr
                              ? archive_entry_pathname(header)
                              : ""),
                archive_entry_filetype(header)};
    if (entry.parts.empty())
      continue;  // "./", as the survey allowed
    // The archive is ours alone, so the second pass reads what the first
    // did; should it not, it is refused rather than trusted.
    if (index >= entries.size() || entries[index].parts != entry.parts ||
        entries[index].type != entry.type)
      return "the archive changed while it was unpacked";
    why = writeEntry(&reader, header, entries[index], &writer, hooks);
    if (!why.empty())
      return why;
    ++index;
    if (hooks.entryWritten)
      hooks.entryWritten(static_cast<int>(index));
  }
  if (!reader.error().empty())
    return reader.error();
  if (index != entries.size())
    return "the archive changed while it was unpacked";
  return writer.applyDirModes();
}
