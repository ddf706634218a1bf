#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/error.hpp"
#include "imagekit/image_builder.hpp"
#include "imagekit/image_writer.hpp"

namespace tolvar::imagekit::detail {

// One volume from description to bytes: Prepare checks the tree, numbers the
// inodes and sizes every directory; Place fixes where the volume lies and
// hands out its blocks; Write puts it into the image.
class VolumePlan {
 public:
  [[nodiscard]] static std::expected<VolumePlan, Error> Prepare(const VolumeDescription& volume,
                                                                std::size_t index);

  // Blocks the volume needs at the least: boot, superblock, inode table, data.
  [[nodiscard]] std::uint32_t MinimumBlocks() const { return firstDataBlock_ + neededBlocks_; }
  // MinimumBlocks plus room to grow, as used when the size is not given.
  [[nodiscard]] std::uint32_t DefaultBlocks() const;
  // The largest size the format and the volume probe allow.
  [[nodiscard]] std::uint32_t MaximumBlocks() const;
  [[nodiscard]] FsKind Fs() const { return volume_->fs; }
  [[nodiscard]] const VolumeDescription& Description() const { return *volume_; }

  [[nodiscard]] std::expected<void, Error> Place(std::uint32_t startSector,
                                                 std::uint32_t sizeBlocks);
  [[nodiscard]] std::expected<void, Error> Write(ImageWriter& writer) const;

  [[nodiscard]] VolumeReport& Report() { return report_; }
  [[nodiscard]] const VolumeReport& Report() const { return report_; }

  // Index into Report().nodes of the node at `path`.
  [[nodiscard]] std::optional<std::size_t> FindPath(std::string_view path) const;
  // Absolute byte offset of inode `inode`.
  [[nodiscard]] std::uint64_t InodeOffset(std::uint32_t inode) const;
  // Absolute byte offset of the directory entry that names node `index`
  // (EAFS: the entry that carries the inode number); nullopt for the root.
  [[nodiscard]] std::optional<std::uint64_t> EntryOffset(std::size_t index) const;

 private:
  struct Flat {
    const Node* node = nullptr;
    std::uint32_t parent = 0;  // index of the folder holding it
    std::uint32_t firstChild = 0;
    std::uint32_t childCount = 0;
    std::uint32_t links = 1;
    std::uint32_t target = 0;  // hard links: index of the linked node
    std::uint64_t size = 0;
    std::uint32_t dataBlocks = 0;
    std::uint32_t entryBlock = 0;   // which data block of the parent holds its entry
    std::uint32_t entryOffset = 0;  // byte offset of the entry in that block
  };
  struct Indirect {
    std::uint32_t block = 0;
    std::vector<std::uint32_t> addresses;
  };
  struct NodeIndirect {
    std::array<std::uint32_t, 3> tops{};  // single, double, triple (0: none)
    std::vector<Indirect> blocks;         // in block order
  };

  [[nodiscard]] std::expected<void, Error> Flatten();
  [[nodiscard]] std::expected<void, Error> ResolveLinks();
  void SizeDirectories();
  [[nodiscard]] std::expected<void, Error> SizeInodeTable();
  void BuildPathIndex() const;
  [[nodiscard]] std::vector<std::byte> DirectoryBytes(std::size_t index) const;
  void EncodeInode(std::size_t index, std::span<std::byte> out) const;
  void EncodeSuperblock(std::span<std::byte> out, std::uint32_t nextFree,
                        std::span<const std::uint32_t> cache, std::uint32_t cacheLink) const;
  [[nodiscard]] std::expected<void, Error> WriteNodeBlocks(ImageWriter& writer,
                                                           std::size_t index) const;
  [[nodiscard]] std::expected<void, Error> WriteFreeList(ImageWriter& writer) const;
  [[nodiscard]] std::uint64_t BlockOffset(std::uint32_t block) const {
    return (std::uint64_t{report_.startSector} + 2ull * block) * 512ull;
  }

  const VolumeDescription* volume_ = nullptr;
  std::size_t index_ = 0;
  std::vector<Flat> flat_;
  std::unordered_map<std::size_t, NodeIndirect> indirect_;
  mutable std::unordered_map<std::string_view, std::size_t> byPath_;
  VolumeReport report_;
  std::uint32_t usedInodes_ = 0;  // highest inode number handed out
  std::uint32_t firstDataBlock_ = 0;
  std::uint32_t neededBlocks_ = 0;  // data and indirect blocks of all nodes
  std::uint32_t nextFree_ = 0;      // first block after the allocated ones
};

// Blocks of indirection a file of `dataBlocks` blocks needs.
[[nodiscard]] std::uint64_t IndirectBlocksFor(std::uint64_t dataBlocks);

}  // namespace tolvar::imagekit::detail
