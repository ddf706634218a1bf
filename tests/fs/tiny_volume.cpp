#include "tests/fs/tiny_volume.hpp"

#include <algorithm>
#include <cstring>

#include "fs/format.hpp"

namespace tolvar::testing {

TinyVolume::TinyVolume(FsType type, std::uint32_t sizeBlocks, std::uint32_t inodeTableBlocks,
                       std::uint32_t start, std::uint32_t diskSectors)
    : type_(type), sizeBlocks_(sizeBlocks), inodeTableBlocks_(inodeTableBlocks), start_(start) {
  const std::uint64_t sectors =
      std::max<std::uint64_t>(diskSectors, std::uint64_t{start} + 2ULL * sizeBlocks);
  bytes_.assign(sectors * 512, std::byte{0});
  const std::size_t sb = (std::size_t{start} + 1) * 512;
  Put32(sb + 4, sizeBlocks);
  if (type == FsType::kHtfs) {
    Put32(sb + 0, 1);
    Put32(sb + 244, 1);
    Put32(sb + 248, inodeTableBlocks);
    Put32(sb + 504, kHtfsMagic);
  } else {
    Put32(sb + 504, kEafsMagic);
  }
}

std::size_t TinyVolume::BlockOffset(std::uint32_t block) const {
  return (std::size_t{start_} + 2 * std::size_t{block}) * 512;
}

void TinyVolume::Put8(std::size_t at, std::uint8_t v) {
  if (at < bytes_.size()) bytes_[at] = std::byte{v};
}
void TinyVolume::Put16(std::size_t at, std::uint16_t v) {
  Put8(at, static_cast<std::uint8_t>(v));
  Put8(at + 1, static_cast<std::uint8_t>(v >> 8));
}
void TinyVolume::Put32(std::size_t at, std::uint32_t v) {
  Put16(at, static_cast<std::uint16_t>(v));
  Put16(at + 2, static_cast<std::uint16_t>(v >> 16));
}

TinyVolume& TinyVolume::Inode(std::uint32_t n, std::uint16_t mode, std::uint32_t size,
                              std::vector<std::uint32_t> direct, std::uint32_t time,
                              std::uint32_t single, std::uint32_t dbl) {
  const InodeLocation where = LocateInode(type_, n);
  const std::size_t at = BlockOffset(2) + std::size_t{where.sectorOffset} * 512 + where.byteOffset;
  direct.resize(10, 0);
  Put16(at, mode);
  if (type_ == FsType::kEafs) {
    Put32(at + 8, size);
    for (std::size_t i = 0; i < 10; ++i) {
      Put16(at + 12 + 3 * i, static_cast<std::uint16_t>(direct[i]));
      Put8(at + 14 + 3 * i, static_cast<std::uint8_t>(direct[i] >> 16));
    }
    Put16(at + 42, static_cast<std::uint16_t>(single));
    Put8(at + 44, static_cast<std::uint8_t>(single >> 16));
    Put16(at + 45, static_cast<std::uint16_t>(dbl));
    Put8(at + 47, static_cast<std::uint8_t>(dbl >> 16));
    Put32(at + 52, time);
  } else {
    Put32(at + 12, size);
    for (std::size_t i = 0; i < 10; ++i) Put32(at + 20 + 4 * i, direct[i]);
    Put32(at + 60, single);
    Put32(at + 64, dbl);
    Put32(at + 76, time);
  }
  return *this;
}

TinyVolume& TinyVolume::Dir(std::uint32_t n, std::vector<std::uint32_t> blocks, std::uint32_t time,
                            std::uint32_t single, std::uint32_t dbl, std::uint32_t size) {
  const auto bytes = size != 0 ? size : static_cast<std::uint32_t>(blocks.size() * 1024);
  return Inode(n, kDirMode, bytes, std::move(blocks), time, single, dbl);
}

TinyVolume& TinyVolume::File(std::uint32_t n, std::uint32_t size, std::uint32_t time,
                             std::uint32_t block) {
  return Inode(n, kFileMode, size, {block}, time);
}

TinyVolume& TinyVolume::EafsBlock(std::uint32_t block,
                                  const std::vector<std::pair<std::uint16_t, std::string>>& slots) {
  const std::size_t at = BlockOffset(block);
  for (std::size_t i = 0; i < slots.size() && i < 64; ++i) {
    Put16(at + 16 * i, slots[i].first);
    const std::string& name = slots[i].second;
    for (std::size_t k = 0; k < 14; ++k) {
      Put8(at + 16 * i + 2 + k, k < name.size() ? static_cast<std::uint8_t>(name[k]) : 0);
    }
  }
  return *this;
}

TinyVolume& TinyVolume::EafsDir(std::uint32_t block, std::uint16_t self, std::uint16_t parent,
                                const std::vector<std::pair<std::uint16_t, std::string>>& slots) {
  std::vector<std::pair<std::uint16_t, std::string>> all{{self, "."}, {parent, ".."}};
  all.insert(all.end(), slots.begin(), slots.end());
  return EafsBlock(block, all);
}

TinyVolume& TinyVolume::HtfsBlock(std::uint32_t block, const std::vector<HtfsEntry>& entries) {
  const std::size_t base = BlockOffset(block);
  std::size_t offset = 0;
  for (const HtfsEntry& e : entries) {
    if (offset >= 1024) break;
    const std::size_t natural = (9 + e.name.size() + 3) / 4 * 4;
    const std::uint16_t length =
        e.recordLength != 0 ? e.recordLength : static_cast<std::uint16_t>(natural);
    Put32(base + offset, e.inode);
    Put16(base + offset + 6, length);
    Put8(base + offset + 8,
         static_cast<std::uint8_t>(e.nameLength >= 0 ? e.nameLength
                                                     : static_cast<int>(e.name.size())));
    for (std::size_t k = 0; k < e.name.size() && offset + 9 + k < 1024; ++k) {
      Put8(base + offset + 9 + k, static_cast<std::uint8_t>(e.name[k]));
    }
    offset += length;
  }
  return *this;
}

TinyVolume& TinyVolume::HtfsDir(std::uint32_t block, std::uint32_t self, std::uint32_t parent,
                                std::vector<HtfsEntry> entries) {
  std::vector<HtfsEntry> all{{self, ".", 12, -1}, {parent, "..", 12, -1}};
  all.insert(all.end(), entries.begin(), entries.end());
  return HtfsBlock(block, all);
}

TinyVolume& TinyVolume::Indirect(std::uint32_t block, const std::vector<std::uint32_t>& addresses) {
  for (std::size_t i = 0; i < addresses.size() && i < 256; ++i) {
    Put32(BlockOffset(block) + 4 * i, addresses[i]);
  }
  return *this;
}

TinyVolume& TinyVolume::Fill(std::uint32_t block, std::byte value) {
  const std::size_t at = BlockOffset(block);
  std::fill(bytes_.begin() + static_cast<std::ptrdiff_t>(at),
            bytes_.begin() + static_cast<std::ptrdiff_t>(at + 1024), value);
  return *this;
}

VolumeInfo TinyVolume::Info() const {
  VolumeInfo info;
  info.volumeName = type_ == FsType::kHtfs ? "HTFS Partition - 1" : "EAFS Partition - 1";
  info.fsType = type_;
  info.startSector = start_;
  info.sizeSectors = sizeBlocks_ * 2;
  info.inodeTableSector = start_ + 4;
  info.inodeCount = type_ == FsType::kHtfs ? inodeTableBlocks_ * 8 : sizeBlocks_ * 32;
  return info;
}

MountRig::MountRig(std::vector<std::byte> bytes, VolumeInfo info) : volume(std::move(info)) {
  std::shared_ptr<BlockDeviceSource> source = MakeMemorySource(std::move(bytes));
  drives.EnumerateDrives(MakeFixedProvider({source}));
  drives.currentDrive = 0;
  (void)drives.OpenCurrentDrive();
}

MountResult MountRig::Mount(RecoveryMode mode, MountObserver* listener) {
  state.recoveryMode = mode;
  return MountInto(tree, drives, volume, mode, listener != nullptr ? *listener : observer,
                   state.Stop());
}

std::vector<bool> MountRig::ReachableFolders() const {
  std::vector<bool> reachable(tree.Folders().size(), false);
  VisitFolderTree(tree, kRootInode, [&](std::uint32_t index, std::uint32_t) {
    reachable[index] = true;
  });
  return reachable;
}

std::vector<std::string> MountRig::RootEntries() const {
  std::vector<std::string> names;
  for (const std::uint32_t index : tree.ChildFolders(kRootInode)) {
    names.push_back(tree.Folders()[index].name);
  }
  for (const std::uint32_t index : tree.ChildFiles(kRootInode)) {
    names.push_back(tree.Files()[index].name);
  }
  return names;
}

std::string MountRig::FolderPath(std::uint32_t inode) const {
  std::string path;
  for (std::size_t guard = 0; inode != kRootInode && guard <= tree.Folders().size(); ++guard) {
    const FolderNode* folder = tree.FindFolder(inode);
    if (folder == nullptr) return "?" + path;
    path = folder->name + "/" + path;
    inode = folder->parent;
  }
  return path;
}

std::vector<std::string> MountRig::Listing() const {
  std::vector<std::string> out;
  const std::vector<bool> reachable = ReachableFolders();
  const auto shown = [&](const FolderNode* folder) {
    return reachable[static_cast<std::size_t>(folder - tree.Folders().data())];
  };
  for (const FolderNode& folder : tree.Folders()) {
    if (shown(&folder)) out.push_back(FolderPath(folder.inode));
  }
  for (const FileNode& file : tree.Files()) {
    const FolderNode* parent = tree.FindFolder(file.parent);
    if (file.parent == kRootInode || (parent != nullptr && shown(parent))) {
      out.push_back(FolderPath(file.parent) + file.name);
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

const FolderNode* MountRig::FolderNamed(std::string_view name) const {
  for (const FolderNode& folder : tree.Folders()) {
    if (folder.name == name) return &folder;
  }
  return nullptr;
}

std::vector<std::string> MountRig::FileNames() const {
  std::vector<std::string> names;
  for (const FileNode& file : tree.Files()) names.push_back(file.name);
  return names;
}

}  // namespace tolvar::testing
