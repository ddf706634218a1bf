#include "fs/file_data.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "disk/fault_injecting_source.hpp"
#include "tests/fs/tiny_volume.hpp"

namespace tolvar {
namespace {

using testing::TinyVolume;

// Block `b` of a tiny volume starting at sector 0 is filled with the byte b.
std::byte Mark(std::uint32_t block) { return static_cast<std::byte>(block & 0xFF); }

// A source that remembers the length of every read.
class CountingSource final : public BlockDeviceSource {
 public:
  explicit CountingSource(std::shared_ptr<BlockDeviceSource> inner) : inner_(std::move(inner)) {}
  DeviceDescription Describe() const override { return inner_->Describe(); }
  std::uint64_t LengthBytes() const override { return inner_->LengthBytes(); }
  std::expected<void, Error> ReadAt(std::uint64_t offset, std::span<std::byte> out) override {
    reads.push_back(out.size());
    return inner_->ReadAt(offset, out);
  }
  std::vector<std::size_t> reads;

 private:
  std::shared_ptr<BlockDeviceSource> inner_;
};

struct Rig {
  Rig(std::vector<std::byte> bytes, VolumeInfo info, FaultPlan plan = {})
      : volume(std::move(info)) {
    std::shared_ptr<BlockDeviceSource> memory = MakeMemorySource(std::move(bytes));
    std::shared_ptr<BlockDeviceSource> faulty = MakeFaultInjectingSource(memory, std::move(plan));
    counting = std::make_shared<CountingSource>(faulty);
    drives.EnumerateDrives(MakeFixedProvider({counting}));
    drives.currentDrive = 0;
    EXPECT_TRUE(drives.OpenCurrentDrive());
  }

  std::vector<std::byte> ReadAll(const Inode& inode, std::uint64_t size, std::uint32_t perRead,
                                 FileDataReader** keep = nullptr) {
    reader = std::make_unique<FileDataReader>(drives, volume, inode, size, perRead);
    std::vector<std::byte> out;
    for (auto piece = reader->Next(); !piece.empty(); piece = reader->Next()) {
      EXPECT_LE(piece.size(), std::size_t{perRead} * 512);
      out.insert(out.end(), piece.begin(), piece.end());
    }
    if (keep != nullptr) *keep = reader.get();
    return out;
  }

  RecoverySettings settings;
  DriveTable drives{settings};
  VolumeInfo volume;
  std::shared_ptr<CountingSource> counting;
  std::unique_ptr<FileDataReader> reader;
};

TinyVolume MarkedVolume(FsType type, std::uint32_t blocks) {
  TinyVolume volume(type, blocks, 4);
  for (std::uint32_t b = 20; b < blocks; ++b) volume.Fill(b, Mark(b));
  return volume;
}

void ExpectBlockBytes(const std::vector<std::byte>& data, std::size_t fileBlock, std::byte expected,
                      std::size_t length = 1024) {
  for (std::size_t i = 0; i < length; ++i) {
    ASSERT_EQ(data[fileBlock * 1024 + i], expected) << "file block " << fileBlock << " byte " << i;
  }
}

TEST(FileData, DirectBlocksGiveExactlyTheSizeForEveryReadLength) {
  for (const FsType type : {FsType::kHtfs, FsType::kEafs}) {
    TinyVolume image = MarkedVolume(type, 64);
    Inode inode;
    for (std::uint32_t i = 0; i < 10; ++i) inode.direct[i] = 30 + 2 * i;  // never contiguous
    const std::uint64_t size = 9 * 1024 + 700;
    for (const std::uint32_t perRead : {1u, 3u, 60u, 100u}) {
      Rig rig(image.Bytes(), image.Info());
      const auto data = rig.ReadAll(inode, size, perRead);
      ASSERT_EQ(data.size(), size);
      for (std::size_t b = 0; b < 9; ++b)
        ExpectBlockBytes(data, b, Mark(static_cast<std::uint32_t>(30 + 2 * b)));
      ExpectBlockBytes(data, 9, Mark(48), 700);
      EXPECT_FALSE(rig.reader->Damaged());
    }
  }
}

TEST(FileData, ContiguousBlocksAreReadInRunsOfAtMostSectorsPerRead) {
  TinyVolume image = MarkedVolume(FsType::kHtfs, 64);
  Inode inode;
  for (std::uint32_t i = 0; i < 10; ++i) inode.direct[i] = 20 + i;
  Rig rig(image.Bytes(), image.Info());
  const auto data = rig.ReadAll(inode, 10 * 1024, 7);
  ASSERT_EQ(data.size(), 10u * 1024);
  // 20 contiguous sectors in runs of 7: 7, 7, 6.
  EXPECT_EQ(rig.counting->reads, (std::vector<std::size_t>{7 * 512, 7 * 512, 6 * 512}));
}

TEST(FileData, SingleAndDoubleIndirectAndHolesAreFollowed) {
  for (const FsType type : {FsType::kHtfs, FsType::kEafs}) {
    TinyVolume image = MarkedVolume(type, 128);
    // single indirect at 100 lists blocks 40.. for file blocks 10..; entry 3 is a hole.
    std::vector<std::uint32_t> single(256, 0);
    for (std::uint32_t i = 0; i < 256; ++i) single[i] = i == 3 ? 0 : 40 + (i % 20);
    image.Indirect(100, single);
    // double indirect at 101 -> 102 -> blocks 70, 71.
    image.Indirect(101, {102});
    image.Indirect(102, {70, 71});
    Inode inode;
    inode.direct = {20, 21, 0, 23, 24, 25, 26, 27, 28, 29};
    inode.singleIndirect = 100;
    inode.doubleIndirect = 101;
    const std::uint64_t size = (10 + 256 + 2) * 1024ull;
    Rig rig(image.Bytes(), image.Info());
    const auto data = rig.ReadAll(inode, size, 60);
    ASSERT_EQ(data.size(), size);
    ExpectBlockBytes(data, 0, Mark(20));
    ExpectBlockBytes(data, 2, std::byte{0});  // direct hole
    ExpectBlockBytes(data, 10, Mark(40));
    ExpectBlockBytes(data, 13, std::byte{0});  // indirect hole
    ExpectBlockBytes(data, 10 + 255, Mark(40 + 255 % 20));
    ExpectBlockBytes(data, 266, Mark(70));
    ExpectBlockBytes(data, 267, Mark(71));
    EXPECT_FALSE(rig.reader->Damaged());
  }
}

TEST(FileData, TripleIndirectRangeIsReached) {
  TinyVolume image = MarkedVolume(FsType::kHtfs, 128);
  image.Indirect(110, {111});
  image.Indirect(111, {112});
  image.Indirect(112, {0, 77});
  Inode inode;
  inode.tripleIndirect = 110;
  // Everything before the triple range is a hole; the file ends in its block 1.
  const std::uint64_t firstTriple = 10 + 256 + 65536;
  const std::uint64_t size = (firstTriple + 2) * 1024;
  Rig rig(image.Bytes(), image.Info());
  const auto data = rig.ReadAll(inode, size, 100);
  ASSERT_EQ(data.size(), size);
  ExpectBlockBytes(data, firstTriple, std::byte{0});
  ExpectBlockBytes(data, firstTriple + 1, Mark(77));
  // Holes are not read: only the three indirect blocks and the one data block.
  EXPECT_EQ(rig.counting->reads.size(), 4u);
}

TEST(FileData, AddressesOutsideTheVolumeAreZerosAndCounted) {
  TinyVolume image = MarkedVolume(FsType::kEafs, 64);
  Inode inode;
  inode.direct = {20, 5000, 22, 0, 0, 0, 0, 0, 0, 0};
  inode.singleIndirect = 40;
  image.Indirect(40, {0xFFFFFF, 0, 23});
  const std::uint64_t size = (10 + 3) * 1024ull;
  Rig rig(image.Bytes(), image.Info());
  const auto data = rig.ReadAll(inode, size, 3);  // odd runs split blocks
  ASSERT_EQ(data.size(), size);
  ExpectBlockBytes(data, 1, std::byte{0});
  ExpectBlockBytes(data, 2, Mark(22));
  ExpectBlockBytes(data, 10, std::byte{0});
  ExpectBlockBytes(data, 12, Mark(23));
  EXPECT_EQ(rig.reader->BlocksOutsideVolume(), 2u);
  EXPECT_FALSE(rig.reader->SizePastBlocks());
  EXPECT_TRUE(rig.reader->Damaged());
}

TEST(FileData, ASizePastTheLastBlockIsReadOnlyAsFarAsTheBlocksGo) {
  TinyVolume image = MarkedVolume(FsType::kHtfs, 64);
  Inode inode;
  inode.direct = {20, 0, 22, 0, 0, 0, 0, 0, 0, 0};
  {
    // A damaged size word on a tiny volume: not 4 GiB of zeros.
    Rig rig(image.Bytes(), image.Info());
    const auto data = rig.ReadAll(inode, 0xFFFFFFFFu, 100);
    ASSERT_EQ(data.size(), 3u * 1024);
    ExpectBlockBytes(data, 1, std::byte{0});
    ExpectBlockBytes(data, 2, Mark(22));
    EXPECT_TRUE(rig.reader->SizePastBlocks());
    EXPECT_EQ(rig.reader->CopyLength(), 3u * 1024);
    EXPECT_TRUE(rig.reader->Damaged());
  }
  {
    // Lost addresses at the end: an indirect block outside the volume.
    Inode cut = inode;
    cut.singleIndirect = 0xFFFFFF;
    Rig rig(image.Bytes(), image.Info());
    EXPECT_EQ(rig.ReadAll(cut, 20 * 1024, 7).size(), 3u * 1024);
    EXPECT_TRUE(rig.reader->SizePastBlocks());
  }
  {
    // The last block of the triple range is found through every level.
    TinyVolume larger = MarkedVolume(FsType::kHtfs, 128);
    larger.Indirect(110, {111, 0});
    larger.Indirect(111, {0, 112});
    larger.Indirect(112, {0, 0, 55, 0});
    Inode deep;
    deep.tripleIndirect = 110;
    Rig rig(larger.Bytes(), larger.Info());
    const std::uint64_t block = 10 + 256 + 65536 + 256 + 2;
    (void)rig.ReadAll(deep, 0xFFFFFFFFu, 100);
    EXPECT_EQ(rig.reader->CopyLength(), (block + 1) * 1024);
  }
  {
    // A size inside the blocks, a hole in the middle: whole and undamaged.
    Rig rig(image.Bytes(), image.Info());
    EXPECT_EQ(rig.ReadAll(inode, 3000, 100).size(), 3000u);
    EXPECT_FALSE(rig.reader->Damaged());
  }
}

TEST(FileData, HolesAreMarkedUnreadSoTheyCanBeWrittenAsHoles) {
  TinyVolume image = MarkedVolume(FsType::kHtfs, 64);
  Inode inode;
  inode.direct = {20, 0, 0, 23, 0, 0, 0, 0, 0, 0};
  Rig rig(image.Bytes(), image.Info());
  FileDataReader reader(rig.drives, rig.volume, inode, 4 * 1024, 100);
  std::vector<bool> unread;
  for (auto piece = reader.Next(); !piece.empty(); piece = reader.Next()) {
    unread.push_back(reader.LastPieceUnread());
  }
  EXPECT_EQ(unread, (std::vector<bool>{false, true, false}));
}

TEST(FileData, UnreadableSectorsAreZeroFilledAndListed) {
  TinyVolume image = MarkedVolume(FsType::kHtfs, 64);
  Inode inode;
  for (std::uint32_t i = 0; i < 10; ++i) inode.direct[i] = 20 + i;
  inode.singleIndirect = 40;
  image.Indirect(40, {50});
  FaultPlan plan;
  plan.neverReadable = {2 * 22 + 1, 2 * 23, 2 * 40};  // data sectors and half the indirect block
  Rig rig(image.Bytes(), image.Info(), plan);
  const auto data = rig.ReadAll(inode, 11 * 1024, 60);
  ASSERT_EQ(data.size(), 11u * 1024);
  ExpectBlockBytes(data, 2, Mark(22), 512);
  for (std::size_t i = 512; i < 1024; ++i) ASSERT_EQ(data[2 * 1024 + i], std::byte{0});
  ExpectBlockBytes(data, 3, std::byte{0}, 512);
  // The indirect block's first sector is gone, so its first address reads as 0: a hole.
  ExpectBlockBytes(data, 10, std::byte{0});
  EXPECT_EQ(rig.reader->UnreadableSectors(), (std::vector<SectorRun>{{45, 2}, {80, 1}}));
  EXPECT_TRUE(rig.reader->Damaged());
}

TEST(FileData, EmptyFileReadsNothing) {
  TinyVolume image = MarkedVolume(FsType::kHtfs, 32);
  Rig rig(image.Bytes(), image.Info());
  Inode inode;
  inode.direct[0] = 20;
  EXPECT_TRUE(rig.ReadAll(inode, 0, 60).empty());
  EXPECT_TRUE(rig.counting->reads.empty());
}

}  // namespace
}  // namespace tolvar
