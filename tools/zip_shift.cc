#include "zip_shift.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

namespace {

const uint32_t kEndSignature = 0x06054b50;
const uint32_t kZip64EndSignature = 0x06064b50;
const uint32_t kZip64LocatorSignature = 0x07064b50;
const uint32_t kDirectorySignature = 0x02014b50;
const size_t kEndSize = 22;
const size_t kZip64LocatorSize = 20;
const size_t kZip64EndSize = 56;
const size_t kDirectoryEntrySize = 46;
const uint32_t kNone32 = 0xffffffff;

uint64_t get(const std::string& bytes, size_t at, int width) {
  uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i)
    value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<size_t>(i)]);
  return value;
}

void put(std::string* bytes, size_t at, int width, uint64_t value) {
  for (int i = 0; i < width; ++i)
    (*bytes)[at + static_cast<size_t>(i)] = static_cast<char>(value >> (8 * i));
}

bool readAt(int fd, uint64_t offset, size_t size, std::string* bytes) {
  bytes->assign(size, '\0');
  size_t done = 0;
  while (done < size) {
    ssize_t got = pread(fd, &(*bytes)[done], size - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

// Adds `shift` to the 32-bit offset at `at`; false when it no longer fits.
bool shift32(std::string* bytes, size_t at, uint64_t shift) {
  uint64_t moved = get(*bytes, at, 4) + shift;
  if (moved >= kNone32)
    return false;
  put(bytes, at, 4, moved);
  return true;
}

}  // namespace

bool shiftZipTail(int fd, uint64_t size, uint64_t shift, ShiftedZipTail* tail,
                  std::string* reason) {
  // The end record: the last one whose comment reaches exactly to the end.
  uint64_t window = std::min<uint64_t>(size, kEndSize + 0xffff);
  std::string last;
  if (!readAt(fd, size - window, static_cast<size_t>(window), &last)) {
    *reason = std::string("cannot read it: ") + (errno != 0 ? strerror(errno) : "too short");
    return false;
  }
  size_t end = std::string::npos;
  for (size_t at = last.size() >= kEndSize ? last.size() - kEndSize + 1 : 0; at-- > 0;) {
    if (get(last, at, 4) == kEndSignature && at + kEndSize + get(last, at + 20, 2) == last.size()) {
      end = at;
      break;
    }
  }
  if (end == std::string::npos) {
    *reason = "it is not a zip archive (no end record)";
    return false;
  }
  uint64_t endOffset = size - window + end;
  if (get(last, end + 4, 2) != 0 || get(last, end + 6, 2) != 0) {
    *reason = "it spans several disks";
    return false;
  }
  uint64_t entries = get(last, end + 10, 2);
  uint64_t directorySize = get(last, end + 12, 4);
  uint64_t directoryOffset = get(last, end + 16, 4);
  uint64_t directoryEnd = endOffset;  // where the records after the directory start
  uint64_t zip64End = 0;
  bool zip64 = false;
  std::string locator;
  if (endOffset >= kZip64LocatorSize &&
      readAt(fd, endOffset - kZip64LocatorSize, kZip64LocatorSize, &locator) &&
      get(locator, 0, 4) == kZip64LocatorSignature) {
    zip64 = true;
    zip64End = get(locator, 8, 8);
    std::string record;
    if (zip64End + kZip64EndSize > endOffset - kZip64LocatorSize ||
        !readAt(fd, zip64End, kZip64EndSize, &record) ||
        get(record, 0, 4) != kZip64EndSignature) {
      *reason = "its ZIP64 end record is missing";
      return false;
    }
    if (get(record, 16, 4) != 0 || get(record, 20, 4) != 0) {
      *reason = "it spans several disks";
      return false;
    }
    entries = get(record, 32, 8);
    directorySize = get(record, 40, 8);
    directoryOffset = get(record, 48, 8);
    directoryEnd = zip64End;
  }
  // Readers find the directory by the end record's place and its size; an
  // offset that disagrees means bytes in front that are not counted.
  if (directoryOffset > directoryEnd || directoryEnd - directoryOffset != directorySize) {
    *reason = "its offsets do not match its length (bytes in front of it that are not counted)";
    return false;
  }

  tail->directoryOffset = directoryOffset;
  if (!readAt(fd, directoryOffset, static_cast<size_t>(size - directoryOffset), &tail->bytes)) {
    *reason = std::string("cannot read it: ") + strerror(errno);
    return false;
  }
  std::string& bytes = tail->bytes;
  const char* tooFar = "it is too large for its offsets to move; make it with ZIP64 records";
  uint64_t count = 0;
  for (size_t at = 0; at < directorySize; ++count) {
    if (directorySize - at < kDirectoryEntrySize || get(bytes, at, 4) != kDirectorySignature) {
      *reason = "its central directory is damaged";
      return false;
    }
    size_t nameSize = get(bytes, at + 28, 2), extraSize = get(bytes, at + 30, 2),
           commentSize = get(bytes, at + 32, 2);
    size_t next = at + kDirectoryEntrySize + nameSize + extraSize + commentSize;
    if (next > directorySize || get(bytes, at + 34, 2) != 0) {
      *reason = "its central directory is damaged";
      return false;
    }
    if (get(bytes, at + 42, 4) != kNone32) {
      if (!shift32(&bytes, at + 42, shift)) {
        *reason = tooFar;
        return false;
      }
    } else {
      // The offset is in the ZIP64 extra field, after whichever sizes
      // did not fit either.
      bool moved = false;
      size_t extra = at + kDirectoryEntrySize + nameSize;
      for (size_t field = extra; field + 4 <= extra + extraSize;) {
        size_t fieldSize = get(bytes, field + 2, 2);
        if (get(bytes, field, 2) == 1) {
          size_t offsetAt = field + 4 + (get(bytes, at + 24, 4) == kNone32 ? 8 : 0) +
                            (get(bytes, at + 20, 4) == kNone32 ? 8 : 0);
          if (offsetAt + 8 <= field + 4 + fieldSize) {
            put(&bytes, offsetAt, 8, get(bytes, offsetAt, 8) + shift);
            moved = true;
          }
          break;
        }
        field += 4 + fieldSize;
      }
      if (!moved) {
        *reason = "its central directory is damaged (a ZIP64 offset is missing)";
        return false;
      }
    }
    at = next;
  }
  if (count != entries && !(!zip64 && entries == 0xffff)) {
    *reason = "its central directory is damaged (the end record counts other entries)";
    return false;
  }

  size_t endAt = static_cast<size_t>(endOffset - directoryOffset);
  if (zip64) {
    size_t recordAt = static_cast<size_t>(zip64End - directoryOffset);
    put(&bytes, recordAt + 48, 8, directoryOffset + shift);
    size_t locatorAt = endAt - kZip64LocatorSize;
    put(&bytes, locatorAt + 8, 8, zip64End + shift);
    // The 32-bit field counts only where it is not the ZIP64 marker.
    if (get(bytes, endAt + 16, 4) != kNone32 && !shift32(&bytes, endAt + 16, shift))
      put(&bytes, endAt + 16, 4, kNone32);
  } else if (!shift32(&bytes, endAt + 16, shift)) {
    *reason = tooFar;
    return false;
  }
  return true;
}
