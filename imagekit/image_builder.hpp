#pragma once

// Writes complete SCO OpenServer disk images (HTFS and EAFS volumes behind an
// optional partition record) for tests, the demo and the benchmarks.
//
// A disk is described in memory (DiskDescription: volumes, each holding a
// tree of Nodes, plus Damage to apply afterwards), either built by code, read
// from a JSON description (ParseDescription) or taken from a host folder
// (ReadHostFolder). BuildImage lays it out and writes a sparse image file;
// the BuildReport says where everything went so tests can aim damage and
// compare what a reader finds with what was written.
//
// The on-disk layouts are documented in docs/format/.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.hpp"
#include "disk/block_device_source.hpp"

namespace tolvar::imagekit {

enum class FsKind { kHtfs, kEafs };

// How the partition information of the disk is written.
enum class PartitionLayout {
  kReal,      // MBR, boot sectors, division table at sector 105, bad-track table
  kAbsolute,  // only the record at sector 105, each entry an absolute start sector
  kNone,      // no partition information at all
};

enum class NodeKind {
  kFile,
  kFolder,
  kSymlink,      // the target text is the file's data
  kCharDevice,   // `device` holds the device number
  kBlockDevice,  // `device` holds the device number
  kPipe,
  kHardLink,  // a second name for the inode of `target` (a path in the same volume)
};

// Where a file's bytes come from when it has no explicit contents.
struct Fill {
  enum class Pattern {
    kZero,    // all zero; such blocks are allocated but left as holes in the image
    kByte,    // every byte is `byte`
    kOffset,  // each 4-byte word holds its own byte offset in the file, little-endian
    kText,    // `text` repeated
    kRandom,  // a deterministic pseudo-random stream from `seed`
  };
  Pattern pattern = Pattern::kZero;
  std::uint8_t byte = 0;
  std::string text;
  std::uint64_t seed = 0;
};

// The bytes [fileOffset, fileOffset + out.size()) of a file filled with
// `fill`; tests use it to compute expected contents.
void FillBytes(const Fill& fill, std::uint64_t fileOffset, std::span<std::byte> out);

// The time stamp given to nodes that do not set one: 07-Dec-2006 09:05:00 UTC.
inline constexpr std::int64_t kDefaultTime = 1165482300;

// One directory entry and what it names. A volume's root is a kFolder Node
// whose name is ignored.
struct Node {
  std::string name;
  NodeKind kind = NodeKind::kFile;
  std::uint16_t permissions = 0644;      // the low 12 bits of the mode word
  std::optional<std::uint16_t> rawMode;  // when set, written as the whole mode word
  std::int64_t mtime = kDefaultTime;     // seconds since 1970; must fit a signed 32-bit word
  std::uint16_t uid = 0;
  std::uint16_t gid = 0;

  // Files: the data is `contents` when set; otherwise `size` bytes read from
  // `hostPath` when that is set, else `size` bytes of `fill`.
  std::optional<std::string> contents;
  std::uint64_t size = 0;
  Fill fill;
  std::string hostPath;

  std::string target;        // kSymlink: the link text; kHardLink: path of the linked node
  std::uint32_t device = 0;  // kCharDevice, kBlockDevice: major x 256 + minor

  std::vector<Node> children;  // kFolder only

  // Convenience constructors for tests.
  [[nodiscard]] static Node File(std::string name, std::string contents);
  [[nodiscard]] static Node Filled(std::string name, std::uint64_t size, Fill fill);
  [[nodiscard]] static Node Folder(std::string name, std::vector<Node> children = {});
  [[nodiscard]] static Node Symlink(std::string name, std::string target);
  [[nodiscard]] static Node HardLink(std::string name, std::string targetPath);
  [[nodiscard]] static Node Device(std::string name, NodeKind kind, std::uint32_t device);
  [[nodiscard]] static Node Pipe(std::string name);
};

struct VolumeDescription {
  FsKind fs = FsKind::kHtfs;
  // Absolute sector of the volume's first block (the superblock is the next
  // sector). Unset: placed by the layout.
  std::optional<std::uint32_t> startSector;
  // Size in 1024-byte blocks. Unset: what the contents need plus some room,
  // or, for the last volume of a disk whose size is given, the rest of it.
  std::optional<std::uint32_t> sizeBlocks;
  // Inode slots to reserve. Unset: what the contents need plus some room.
  std::optional<std::uint32_t> inodes;
  std::string fname = "root";  // superblock volume name, at most 6 bytes
  std::string fpack = "hd0";   // superblock pack name, at most 6 bytes
  // Superblock time. Unset: the latest time stamp in the tree.
  std::optional<std::int64_t> time;
  Node root = Node::Folder("");
};

enum class DamageKind {
  kOverwriteBlock,  // data block `block` of `path` (a folder's too, the root's too)
                    // is filled with `fillByte`, or scrambled from `seed` when unset
  kZeroInode,       // the inode of `path` becomes all zero
  kScrambleInode,   // the inode of `path` becomes pseudo-random bytes from `seed`
  kSetTime,         // the inode time stamps of `path` become `value` (e.g. 0 or negative)
  kRedirectEntry,   // the entry naming `path` in its folder points at the inode of `target`
                    // (an ancestor, or the folder holding the entry)
  kRecordLength,    // HTFS: the record length of the entry naming `path` becomes `value`
  kDeleteEntry,     // the entry naming `path` gets inode number 0; the inode stays
  kUnreadable,      // sectors that must read as unreadable: data block `block` of `path`
                    // when `path` is set, else absolute sectors firstSector..lastSector
  kPatch,           // `bytes` written at absolute byte firstSector x 512 + offset
};

struct Damage {
  DamageKind kind = DamageKind::kOverwriteBlock;
  std::size_t volume = 0;  // index into DiskDescription::volumes
  std::string path;        // "/" for the root, "/dir/file" otherwise
  std::uint32_t block = 0;
  std::optional<std::uint8_t> fillByte;
  std::uint64_t seed = 0;
  std::int64_t value = 0;
  std::string target;
  std::uint64_t firstSector = 0;
  std::uint64_t lastSector = 0;
  std::uint32_t offset = 0;
  std::vector<std::byte> bytes;
};

struct DiskDescription {
  PartitionLayout layout = PartitionLayout::kReal;
  // Image size in bytes (a multiple of 512). Unset: what the volumes need,
  // rounded up to whole cylinders.
  std::optional<std::uint64_t> sizeBytes;
  std::vector<VolumeDescription> volumes;
  std::vector<Damage> damage;
};

// What a written file, folder or other node became.
struct NodeReport {
  std::string path;  // "/" for the root
  NodeKind kind = NodeKind::kFile;
  std::uint32_t inode = 0;
  std::uint32_t parentInode = 0;
  std::uint64_t size = 0;                     // the size word of the inode
  std::vector<std::uint32_t> dataBlocks;      // in file order; empty for devices and pipes
  std::vector<std::uint32_t> indirectBlocks;  // single, double and triple indirect, in order
};

struct VolumeReport {
  FsKind fs = FsKind::kHtfs;
  std::uint32_t startSector = 0;  // absolute; the superblock is startSector + 1
  std::uint32_t sizeBlocks = 0;
  std::uint32_t inodeTableBlocks = 0;  // the table occupies blocks 2 .. 2 + this - 1
  std::uint32_t inodeSlots = 0;        // inodes the table holds
  std::uint32_t firstDataBlock = 0;
  std::uint32_t usedBlocks = 0;  // data and indirect blocks handed out
  std::uint32_t freeBlocks = 0;
  std::uint32_t freeInodes = 0;
  std::int64_t time = 0;
  int recordEntry = -1;  // the entry of the record at sector 105 naming it, -1 for none
  // Root first, then breadth-first: the entries of each folder in order, so
  // inode numbers ascend (a hard link stands where its name does and carries
  // the inode of the node it links to).
  std::vector<NodeReport> nodes;

  // The node written at `path`, or nullptr. Hard links report the path they
  // were given with the linked inode.
  [[nodiscard]] const NodeReport* Find(std::string_view path) const;
  // Absolute sector of block `block` of this volume.
  [[nodiscard]] std::uint64_t SectorOfBlock(std::uint32_t block) const {
    return std::uint64_t{startSector} + 2ull * block;
  }
};

struct BuildReport {
  std::uint64_t totalSectors = 0;
  DeviceGeometry geometry;  // what GeometryForLength gives for the image
  PartitionLayout layout = PartitionLayout::kReal;
  std::uint32_t divisionBaseSector = 0;  // kReal: absolute sector of division offset 0
  std::vector<VolumeReport> volumes;
  // Inclusive ranges of sectors listed as unreadable, ascending and merged.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> unreadable;
  std::string unreadablePath;         // the sidecar written, empty when there is none
  std::vector<std::string> warnings;  // host entries passed over, and why
};

// A size in bytes: a plain number, or a number followed by K, M, G or T
// (powers of 1024) or by "s" (512-byte sectors).
[[nodiscard]] std::expected<std::uint64_t, Error> ParseSize(std::string_view text);

// Reads a JSON description (format in docs/format/description.md). Errors
// name the JSON path of the offending value.
[[nodiscard]] std::expected<DiskDescription, Error> ParseDescription(std::string_view jsonText);

// Describes a host folder as a volume root: regular files (read when the
// image is written), folders, symbolic links, device nodes and pipes, with
// their modification times, permissions and owners; files with several host
// names become hard links. Entries are sorted by name so the result does not
// depend on the order the host lists them. Sockets are passed over with a
// warning.
[[nodiscard]] std::expected<Node, Error> ReadHostFolder(
    const std::string& path, std::vector<std::string>* warnings = nullptr);

// A synthetic tree for benchmarks: `folders` folders (nested a few levels
// deep) holding `files` files between minSize and maxSize bytes, all derived
// from `seed`.
struct TreeShape {
  std::uint32_t files = 1000;
  std::uint32_t folders = 100;
  std::uint32_t minSize = 0;
  std::uint32_t maxSize = 8192;
  std::uint64_t seed = 1;
};
[[nodiscard]] Node GenerateTree(const TreeShape& shape);

// Lays the disk out and writes it to `outputPath` as a sparse file; the
// sidecar `outputPath`.unreadable is written when damage lists unreadable
// sectors and removed otherwise. The same description always gives the same
// bytes. Refuses (with a message naming the offending path or value) names
// longer than 255 bytes, contents that do not fit, sizes beyond the formats'
// or the reader's limits, and an output path that exists but is not a
// regular file.
[[nodiscard]] std::expected<BuildReport, Error> BuildImage(const DiskDescription& description,
                                                           const std::string& outputPath);

struct BuiltImage {
  std::vector<std::byte> bytes;
  BuildReport report;
};
// The same image in memory (no sidecar; see report.unreadable), for small
// test disks served through MakeMemorySource.
[[nodiscard]] std::expected<BuiltImage, Error> BuildImageBytes(const DiskDescription& description);

// The report as JSON, for scripts and the command's --report option.
[[nodiscard]] std::string ReportToJson(const BuildReport& report);

}  // namespace tolvar::imagekit
