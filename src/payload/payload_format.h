#ifndef INSTALLER_PAYLOAD_PAYLOAD_FORMAT_H_
#define INSTALLER_PAYLOAD_PAYLOAD_FORMAT_H_

// A single-file installer: the installer executable, then its payload.
//
//   [executable][agent archive][signature][splash][icon][index][bundle.zip]
//
// The executable's own part carries a slot (below) that the packer fills
// in: where the payload starts, how long the whole file is, and where the
// index lies with its SHA-256. A file cut short anywhere after the
// executable is therefore told from one that never had a payload, and a
// changed index from a good one. The index names each part with its
// offset, size and SHA-256. The bundle comes last, its zip offsets moved
// by what lies in front of it (as `zip -A` moves them), so that the whole
// file is a zip that readers take for the vendor's bundle; only its
// central directory and end records are hashed, so that a start does not
// read a bundle of gigabytes through.

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

/// The slot's first bytes, as the packer finds it in the executable.
/// Nothing else in an installer carries them: the code never compares them.
#define INSTALLER_PAYLOAD_SLOT_MAGIC "\x7finstaller-slot"  // and its NUL
inline constexpr size_t kPayloadSlotMagicSize = 16;
inline constexpr uint32_t kPayloadSlotVersion = 1;
/// Slot flag: the executable starts only agents signed by its keys.
inline constexpr uint32_t kPayloadWantsSignatures = 1;

struct PayloadSlot {
  char magic[kPayloadSlotMagicSize];
  uint32_t version;
  uint32_t flags;
  uint64_t payloadStart;  ///< 0: this executable carries no payload
  uint64_t fileSize;      ///< the whole file as packed
  uint64_t indexOffset;
  uint64_t indexSize;
  unsigned char indexSha256[32];
};
static_assert(sizeof(PayloadSlot) == 88, "the slot's layout is part of the file format");

/// Defines the slot of an executable; `keys` is the literal of its public
/// keys ("" for none). The slot sits in the executable's read-only data;
/// it is read through a volatile view, so that the compiler never folds
/// the zeros it was built with into the code.
#define INSTALLER_DEFINE_PAYLOAD_SLOT(keys)                                              \
  extern "C" __attribute__((used)) const volatile PayloadSlot installerPayloadSlot = { \
      INSTALLER_PAYLOAD_SLOT_MAGIC, kPayloadSlotVersion,                                \
      sizeof(keys) > 1 ? kPayloadWantsSignatures : 0u, 0, 0, 0, 0, {0}}

/// The longest index there is.
inline constexpr uint64_t kMaxPayloadIndexSize = 64 * 1024;
/// The longest signature, splash and icon: small files read whole.
inline constexpr uint64_t kMaxSmallPartSize = 16 * 1024 * 1024;

/// One part of the payload: "agent", "signature", "splash" or "icon".
struct PayloadPart {
  std::string name;
  uint64_t offset = 0;
  uint64_t size = 0;
  std::string sha256;  ///< 32 raw bytes
};

/// What the index says.
struct PayloadIndex {
  std::vector<PayloadPart> parts;
  uint64_t bundleOffset = 0;
  uint64_t bundleSize = 0;
  /// Where the bundle's central directory starts; from there to the end of
  /// the file is hashed.
  uint64_t bundleDirectoryOffset = 0;
  std::string bundleDirectorySha256;  ///< 32 raw bytes

  const PayloadPart* part(const std::string& name) const;
};

/// The index's text:
///   "installer-payload 1\n"
///   "part NAME OFFSET SIZE SHA256HEX\n" for each part
///   "bundle OFFSET SIZE DIRECTORYOFFSET SHA256HEX\n"
std::string formatPayloadIndex(const PayloadIndex& index);

/// The index in `text`, exactly in that form, each part within
/// [`payloadStart`, `fileSize`) without overlaps, the bundle ending the
/// file; false otherwise.
bool parsePayloadIndex(const std::string& text, uint64_t payloadStart, uint64_t fileSize,
                       PayloadIndex* index);

/// Lower-case hexadecimal of raw bytes.
std::string hexOf(const std::string& bytes);

/// SHA-256 over a file's bytes, fed piece by piece.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void update(const void* data, size_t size);
  std::string digest();  ///< 32 raw bytes; the hash starts over

 private:
  struct State;
  State* state_;
};

/// SHA-256 of the `size` bytes at `offset` of `fd`, read in pieces; each
/// piece is also written to `copyFd` unless it is -1. False, with errno
/// set, when a read or a write fails or the file ends early (EIO);
/// `copyFailed`, when given, says whether the write was what failed.
bool hashRange(int fd, uint64_t offset, uint64_t size, int copyFd, std::string* digest,
               bool* copyFailed = nullptr);

/// The same, adding the bytes to `hash` (which goes on) instead.
bool hashRange(int fd, uint64_t offset, uint64_t size, int copyFd, Sha256* hash,
               bool* copyFailed = nullptr);

#endif  // INSTALLER_PAYLOAD_PAYLOAD_FORMAT_H_
