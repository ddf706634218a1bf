// "Use Partition Table" over disks laid out as SCO installs them: the MBR,
// SCO partitions anywhere, division tables, written by the image builder.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/stop_token.hpp"
#include "disk/block_device_source.hpp"
#include "disk/drive_table.hpp"
#include "imagekit/image_builder.hpp"
#include "volumes/discovery.hpp"
#include "volumes/division_scan.hpp"
#include "volumes/partition_tables.hpp"

namespace tolvar {
namespace {

namespace ik = imagekit;

ik::VolumeDescription Volume(ik::FsKind fs, std::uint32_t blocks,
                             std::optional<std::uint32_t> division = std::nullopt) {
  ik::VolumeDescription v;
  v.fs = fs;
  v.sizeBlocks = blocks;
  v.division = division;
  v.root = ik::Node::Folder("", {ik::Node::File("readme", "hello\n")});
  return v;
}

ik::PartitionDescription Partition(std::uint8_t type, std::optional<std::uint32_t> sectors = {}) {
  ik::PartitionDescription p;
  p.type = type;
  p.sectors = sectors;
  return p;
}

// A drive over bytes in memory that counts the sectors read.
class CountingSource final : public BlockDeviceSource {
 public:
  CountingSource(std::vector<std::byte> bytes, std::uint64_t& sectorsRead)
      : inner_(MakeMemorySource(std::move(bytes))), sectorsRead_(sectorsRead) {}
  DeviceDescription Describe() const override { return inner_->Describe(); }
  std::uint64_t LengthBytes() const override { return inner_->LengthBytes(); }
  std::expected<void, Error> ReadAt(std::uint64_t offset, std::span<std::byte> out) override {
    sectorsRead_ += out.size() / kSectorSize;
    return inner_->ReadAt(offset, out);
  }

 private:
  std::unique_ptr<BlockDeviceSource> inner_;
  std::uint64_t& sectorsRead_;
};

class CountingObserver final : public DiscoveryObserver {
 public:
  void VolumeAccepted(const VolumeInfo&, std::uint32_t, bool) override { ++accepted; }
  void VolumesReordered(const VolumeTable&) override { ++reordered; }
  int accepted = 0;
  int reordered = 0;
};

// A built disk as the open drive, and what a discovery left in its table.
struct Built {
  ik::BuiltImage image;
  std::uint64_t sectorsRead = 0;
  RecoverySettings settings;
  DriveTable drives{settings};
  VolumeTable volumes;
  StopFlag stop;
  CountingObserver observer;

  explicit Built(const ik::DiskDescription& description) {
    auto built = ik::BuildImageBytes(description);
    EXPECT_TRUE(built) << (built ? "" : built.error().message);
    if (!built) return;
    image = std::move(*built);
    Attach();
  }
  // (Again) opens the image's bytes as drive 0.
  void Attach() {
    drives.EnumerateDrives(
        MakeFixedProvider({std::make_shared<CountingSource>(image.bytes, sectorsRead)}));
    drives.currentDrive = 0;
    EXPECT_TRUE(drives.OpenCurrentDrive());
  }
  DiscoveryResult Find() { return FindVolumes(drives, volumes, {}, observer, StopToken(stop)); }
  DiscoveryResult Search() {
    DiscoveryRequest request;
    request.method = DiscoveryMethod::kRange;
    request.rangeEnd = static_cast<std::uint32_t>(image.report.totalSectors);
    return FindVolumes(drives, volumes, request, observer, StopToken(stop));
  }
  const ik::BuildReport& Report() const { return image.report; }
  std::vector<std::uint32_t> WrittenStarts() const {
    std::vector<std::uint32_t> starts;
    for (const auto& v : image.report.volumes) starts.push_back(v.startSector);
    std::sort(starts.begin(), starts.end());
    return starts;
  }
  void Patch(std::uint64_t sector, std::size_t offset, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
      image.bytes[sector * 512 + offset + i] = static_cast<std::byte>((value >> (8 * i)) & 0xFF);
    }
  }
  std::vector<std::uint32_t> Starts() const {
    std::vector<std::uint32_t> starts;
    for (std::uint32_t i = 0; i < volumes.volumeCount; ++i) {
      starts.push_back(static_cast<std::uint32_t>(volumes.entries[i].startSector));
    }
    return starts;
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (std::uint32_t i = 0; i < volumes.volumeCount; ++i) {
      names.push_back(volumes.entries[i].volumeName);
    }
    return names;
  }
  std::vector<std::string> Origins() const {
    std::vector<std::string> origins;
    for (std::uint32_t i = 0; i < volumes.volumeCount; ++i) {
      origins.push_back(VolumeOriginText(volumes.entries[i].origin));
    }
    return origins;
  }
};

bool AnyWarningHas(const VolumeTable& table, std::string_view text) {
  return std::any_of(table.warnings.begin(), table.warnings.end(),
                     [&](const std::string& w) { return w.find(text) != std::string::npos; });
}

TEST(DivisionDiscoveryTest, SecondPartitionWith64HeadsOf32Sectors) {
  // A DOS partition first, the SCO partition second; the divisions listed
  // out of disk order, a small one behind a large one.
  ik::DiskDescription d;
  d.layout = ik::PartitionLayout::kSco;
  d.geometry = ik::ChsGeometryDescription{64, 32};
  d.partitions = {Partition(0x06, 20000), Partition(0x63)};
  d.volumes = {Volume(ik::FsKind::kHtfs, 40000, 3), Volume(ik::FsKind::kEafs, 600, 2),
               Volume(ik::FsKind::kHtfs, 900, 5)};
  Built b(d);
  ASSERT_EQ(b.Report().scoPartitionStart, 20480u);  // the next 2048-sector cylinder
  ASSERT_EQ(b.Report().divisionBaseSector, 22528u);

  EXPECT_TRUE(HasPartitionInformation(b.drives));
  b.Find();
  EXPECT_EQ(b.Starts(), b.WrittenStarts());
  EXPECT_EQ(b.Names(), (std::vector<std::string>{"HTFS Partition - 1", "EAFS Partition - 2",
                                                 "HTFS Partition - 3"}));
  EXPECT_EQ(b.Origins(),
            (std::vector<std::string>{"partition 2, division 3", "partition 2, division 2",
                                      "partition 2, division 5"}));
  EXPECT_TRUE(b.volumes.warnings.empty()) << b.volumes.warnings.front();
  // Found in table order, then put in disk order and renamed: the front
  // end is told to show the list again.
  EXPECT_EQ(b.observer.accepted, 3);
  EXPECT_EQ(b.observer.reordered, 1);
  // The superblocks were read where the table puts them: no search.
  EXPECT_LT(b.sectorsRead, 100u);
}

TEST(DivisionDiscoveryTest, PartitionAtSector32InAnySlot) {
  ik::DiskDescription d;
  d.layout = ik::PartitionLayout::kSco;
  d.geometry = ik::ChsGeometryDescription{64, 32};
  d.partitions = {Partition(0x02)};
  d.partitions[0].slot = 3;
  d.volumes = {Volume(ik::FsKind::kEafs, 500), Volume(ik::FsKind::kAfs, 300)};
  Built b(d);
  ASSERT_EQ(b.Report().scoPartitionStart, 32u);
  EXPECT_TRUE(HasPartitionInformation(b.drives));
  b.Find();
  EXPECT_EQ(b.Starts(), b.WrittenStarts());
  EXPECT_EQ(b.Names(), (std::vector<std::string>{"EAFS Partition - 1", "AFS Partition - 2"}));
  EXPECT_EQ(b.volumes.entries[1].fsType, FsType::kAfs);
  EXPECT_EQ(b.Origins()[1], "partition 4, division 3");
}

TEST(DivisionDiscoveryTest, TheRecordAtSector105StillRunsAndAddsNoDuplicates) {
  // The real layout: both ways find the same volumes; the record's finds
  // keep their origin and order.
  ik::DiskDescription real;
  real.volumes = {Volume(ik::FsKind::kHtfs, 3000), Volume(ik::FsKind::kEafs, 3000)};
  Built b(real);
  EXPECT_TRUE(HasPartitionInformation(b.drives));
  b.Find();
  EXPECT_EQ(b.Starts(), b.WrittenStarts());
  EXPECT_EQ(b.Origins(),
            (std::vector<std::string>{"the record at sector 105", "the record at sector 105"}));
  EXPECT_TRUE(b.volumes.warnings.empty());

  // The sco layout at sector 63: the table at 105 is read both ways. The
  // record's rule misses the small division behind the large one; the
  // division table finds it, and the list is in disk order.
  ik::DiskDescription sco;
  sco.layout = ik::PartitionLayout::kSco;
  sco.volumes = {Volume(ik::FsKind::kHtfs, 20000), Volume(ik::FsKind::kEafs, 200)};
  Built c(sco);
  ASSERT_EQ(c.Report().scoPartitionStart, 63u);
  EXPECT_TRUE(HasPartitionInformation(c.drives));
  c.Find();
  EXPECT_EQ(c.Starts(), c.WrittenStarts());
  EXPECT_EQ(c.Origins()[1], "partition 1, division 3");
  EXPECT_EQ(c.Names()[1], "EAFS Partition - 2");
}

TEST(DivisionDiscoveryTest, DiskWithoutScoPartitionBehavesAsBefore) {
  // The absolute layout has no MBR: the record's volumes in the record's
  // order, even where that is not disk order.
  ik::DiskDescription d;
  d.layout = ik::PartitionLayout::kAbsolute;
  d.volumes = {Volume(ik::FsKind::kHtfs, 500), Volume(ik::FsKind::kEafs, 500)};
  d.volumes[0].startSector = 8192;
  d.volumes[1].startSector = 4096;
  Built b(d);
  EXPECT_TRUE(HasPartitionInformation(b.drives));
  b.Find();
  EXPECT_EQ(b.Starts(), (std::vector<std::uint32_t>{8192, 4096}));
  EXPECT_EQ(b.Names(), (std::vector<std::string>{"HTFS Partition - 1", "EAFS Partition - 2"}));
  EXPECT_TRUE(b.volumes.warnings.empty());

  EXPECT_EQ(b.observer.reordered, 0);

  // No record and no MBR: nothing to go by, as before.
  d.layout = ik::PartitionLayout::kNone;
  Built none(d);
  EXPECT_FALSE(HasPartitionInformation(none.drives));
}

TEST(DivisionDiscoveryTest, BaseRoundedAnotherWayIsFoundInTheWindow) {
  ik::DiskDescription d;
  d.layout = ik::PartitionLayout::kSco;
  d.geometry = ik::ChsGeometryDescription{255, 63};
  d.partitions = {Partition(0x06, 16065 * 2 - 63), Partition(0x63)};
  // Neither a cylinder boundary of any geometry tried nor the end of the
  // reserved sectors.
  d.partitions[1].divisionBase = 32130 + 52 + 777;
  d.volumes = {Volume(ik::FsKind::kHtfs, 4000), Volume(ik::FsKind::kEafs, 300)};
  Built b(d);
  EXPECT_TRUE(HasPartitionInformation(b.drives));
  b.Find();
  EXPECT_EQ(b.Starts(), b.WrittenStarts());
  EXPECT_TRUE(b.volumes.warnings.empty()) << b.volumes.warnings.front();
  // One window, not the disk.
  EXPECT_LT(b.sectorsRead, 2u * kBaseSearchWindow);
  EXPECT_LT(b.sectorsRead, b.Report().totalSectors / 4);
}

TEST(DivisionDiscoveryTest, DamagedDivisionTablesAreReportedAndTheRestStillWorks) {
  ik::DiskDescription d;
  d.layout = ik::PartitionLayout::kSco;
  d.partitions = {Partition(0x06, 4032 - 63), Partition(0x63)};
  d.volumes = {Volume(ik::FsKind::kHtfs, 3000), Volume(ik::FsKind::kEafs, 300),
               Volume(ik::FsKind::kHtfs, 300)};
  const std::uint64_t table = 4032 + kDivisionTableSector;

  {
    // Wrong mark: reported; a record at sector 105 still finds its volume,
    // and the sector search finds them all.
    Built b(d);
    b.Patch(table, 0, 0x1235, 2);
    b.Patch(105, 0, 0x1234, 2);
    b.Patch(105, 2, b.Report().volumes[1].startSector, 4);
    b.Patch(105, 6, 300, 4);
    b.Attach();
    EXPECT_TRUE(HasPartitionInformation(b.drives));
    b.Find();
    EXPECT_EQ(b.Starts(), (std::vector<std::uint32_t>{b.Report().volumes[1].startSector}));
    ASSERT_EQ(b.volumes.warnings.size(), 1u);
    EXPECT_EQ(b.volumes.warnings[0],
              fmt::format("partition 2 (type 0x63): no division table at sector {}", table));
    b.Search();
    EXPECT_EQ(b.Starts(), b.WrittenStarts());
    EXPECT_EQ(b.Origins()[0], "the sector search");
  }
  {
    // An entry past the partition's end and an entry over another: both
    // reported; the sound divisions are found.
    Built b(d);
    b.Patch(table, 2 + 8 * 3, 0x7FFFFFFF, 4);  // division 3 far past the end
    b.Patch(table, 2 + 8 * 5, 100, 4);         // division 5 over boot and swap...
    b.Patch(table, 6 + 8 * 5, 2000, 4);        // ...and into division 2
    b.Attach();
    EXPECT_TRUE(HasPartitionInformation(b.drives));
    b.Find();
    EXPECT_EQ(b.volumes.volumeCount, 2u);
    EXPECT_EQ(b.Origins(),
              (std::vector<std::string>{"partition 2, division 2", "partition 2, division 4"}));
    EXPECT_TRUE(AnyWarningHas(b.volumes, "partition 2, division 3: KiB 2147483647"));
    EXPECT_TRUE(AnyWarningHas(b.volumes, "partition 2, division 5 overlaps division 0"));
    EXPECT_TRUE(AnyWarningHas(b.volumes, "partition 2, division 5 overlaps division 2"));
  }
  {
    // A division whose file system is gone: one line, not silence.
    Built b(d);
    const auto& third = b.Report().volumes[2];
    b.Patch(third.startSector + 1, 504, 0, 4);
    b.Attach();
    EXPECT_TRUE(HasPartitionInformation(b.drives));
    b.Find();
    EXPECT_EQ(b.volumes.volumeCount, 2u);
    EXPECT_EQ(b.volumes.warnings,
              std::vector<std::string>{fmt::format(
                  "partition 2, division 4: no file system where the division table puts it "
                  "(sector {})",
                  third.startSector)});
  }
}

TEST(DivisionDiscoveryTest, BadTracksAreReported) {
  ik::DiskDescription d;
  d.layout = ik::PartitionLayout::kSco;
  d.partitions = {Partition(0x63)};
  d.partitions[0].badTracks = {{40, 900}, {41, 901}};
  d.volumes = {Volume(ik::FsKind::kHtfs, 500)};
  Built b(d);
  EXPECT_TRUE(HasPartitionInformation(b.drives));
  b.Find();
  EXPECT_EQ(b.volumes.volumeCount, 1u);
  EXPECT_TRUE(AnyWarningHas(b.volumes, "lists 2 bad tracks"));
}

// A division table entry whose length was lost (0) or cut (shorter than the
// file system): the volume is still found, whole, and the warning says what
// was assumed. An AFS volume whose free-count word is off is kept when its
// root folder is in place.
TEST(DivisionDiscoveryTest, WrongDivisionLengthsAndAfsFreeCounts) {
  struct Case {
    const char* what;
    ik::FsKind fs;                    // of the second volume, in division 3
    std::uint32_t division;           // whose length is patched, or none (7)
    std::uint32_t lengthKb;           // its new length
    std::uint32_t afsFreeCount;       // AFS: the free-count word written
    bool zeroRoot;                    // inode 2 of the second volume wiped
    bool found;                       // the second volume is listed whole
    std::vector<std::string> warned;  // in its assumptions
  };
  const std::vector<Case> cases = {
      {"length 0",
       ik::FsKind::kEafs,
       3,
       0,
       0xFFFF,
       false,
       true,
       {"division 3 of partition 2 is 0 KiB long in the division table, less than the 300 "
        "blocks"}},
      {"length 1",
       ik::FsKind::kEafs,
       3,
       1,
       0xFFFF,
       false,
       true,
       {"division 3 of partition 2 is 1 KiB long"}},
      {"length 0 of the last division",
       ik::FsKind::kHtfs,
       4,
       0,
       0xFFFF,
       false,
       true,
       {"division 4 of partition 2 is 0 KiB long"}},
      {"a sound table", ik::FsKind::kAfs, 7, 0, 0xFFFF, false, true, {}},
      {"an AFS free count that is off",
       ik::FsKind::kAfs,
       7,
       0,
       0x1234,
       false,
       true,
       {"free-block count word reads 0x1234, not 0xFFFF"}},
      {"an AFS free count that is off and no root",
       ik::FsKind::kAfs,
       7,
       0,
       0x1234,
       true,
       false,
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ik::DiskDescription d;
    d.layout = ik::PartitionLayout::kSco;
    d.partitions = {Partition(0x06, 4032 - 63), Partition(0x63)};
    d.volumes = {Volume(ik::FsKind::kHtfs, 3000), Volume(c.fs, 300),
                 Volume(ik::FsKind::kHtfs, 300)};
    const std::uint64_t table = 4032 + kDivisionTableSector;
    Built b(d);
    // The volume of the division patched (the second one unless it is 4).
    const auto& second = b.Report().volumes[c.division == 4 ? 2 : 1];
    if (c.division < 7) b.Patch(table, 6 + 8 * c.division, c.lengthKb, 4);
    if (c.fs == ik::FsKind::kAfs) b.Patch(second.startSector + 1, 8, c.afsFreeCount, 2);
    if (c.zeroRoot) b.Patch(second.startSector + 4, 64, 0, 4);  // inode 2's mode and more
    b.Attach();
    // The partition's division table, then the sector search: both ways
    // find the same.
    for (const bool search : {false, true}) {
      SCOPED_TRACE(search ? "sector search" : "division table");
      if (search) {
        b.Search();
      } else {
        b.Find();
      }
      const VolumeInfo* found = nullptr;
      for (std::uint32_t i = 0; i < b.volumes.volumeCount; ++i) {
        if (b.volumes.entries[i].startSector == second.startSector) found = &b.volumes.entries[i];
      }
      ASSERT_EQ(found != nullptr, c.found);
      if (found == nullptr) continue;
      EXPECT_EQ(found->sizeSectors, 600u);
      // The length warning belongs to the division table alone.
      if (search && c.division < 7) continue;
      for (const std::string& text : c.warned) {
        EXPECT_TRUE(
            std::any_of(found->assumptions.begin(), found->assumptions.end(),
                        [&](const std::string& a) { return a.find(text) != std::string::npos; }))
            << text;
        EXPECT_TRUE(AnyWarningHas(b.volumes, text)) << text;
      }
      if (c.warned.empty()) EXPECT_TRUE(found->assumptions.empty()) << found->assumptions.front();
    }
  }
}

}  // namespace
}  // namespace tolvar
