#include "imagekit/image_builder.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "imagekit/image_writer.hpp"
#include "imagekit/sco_format.hpp"
#include "imagekit/volume_plan.hpp"

namespace tolvar::imagekit {

namespace f = format;
using detail::VolumePlan;

namespace {

constexpr std::uint64_t kSmallCylinder = 16 * 63;
constexpr std::uint64_t kLargeCylinder = 255 * 63;
// Volumes of the absolute and none layouts start on 1 MiB boundaries.
constexpr std::uint64_t kVolumeAlignment = 2048;
constexpr std::uint32_t kRealFirstVolumeDivision = 2;
constexpr std::uint32_t kRealVolumeDivisions = 5;  // divisions 2 to 6

Error Invalid(std::string message) {
  return Error{ErrorCode::kInvalidArgument, std::move(message), {}};
}

std::uint64_t RoundUp(std::uint64_t value, std::uint64_t unit) {
  return (value + unit - 1) / unit * unit;
}

// Disks built to size get whole cylinders: 16 heads up to the classic
// 1024-cylinder size, 255 heads beyond.
std::uint64_t CylinderUnitFor(std::uint64_t sectors) {
  return sectors > 1024 * kSmallCylinder ? kLargeCylinder : kSmallCylinder;
}

// The first cylinder boundary at or after the end of the partition's
// reserved sectors, for the geometry an image of `totalSectors` reports.
std::uint64_t DivisionBaseFor(std::uint64_t totalSectors) {
  DeviceGeometry g = GeometryForLength(totalSectors);
  std::uint64_t cylinder = std::uint64_t{g.heads} * g.sectorsPerTrack;
  if (cylinder == 0) cylinder = 1;
  return RoundUp(f::kPartitionStart + f::kPartitionReserved, cylinder);
}

struct MbrPartition {
  std::uint32_t slot = 0;
  std::uint8_t type = 0;
  bool active = false;
  std::uint64_t start = 0;
  std::uint64_t sectors = 0;
};

struct Placement {
  std::vector<std::uint32_t> start;
  std::vector<std::uint32_t> blocks;
  std::uint64_t totalSectors = 0;
  std::uint64_t base = 0;
  // The record at sector 105 (the sco layout: the division table at the
  // partition's sector 42): (offset or start, length in 1 KiB) per entry.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> record;
  // The sco layout.
  ChsGeometryDescription chs;
  std::vector<MbrPartition> mbr;
  std::size_t scoIndex = 0;             // into mbr
  std::vector<std::uint32_t> division;  // per volume
  std::vector<std::pair<std::uint32_t, std::uint32_t>> badTracks;
};

std::uint32_t SizeFor(const VolumePlan& plan) {
  return plan.Description().sizeBlocks.value_or(plan.DefaultBlocks());
}

std::expected<void, Error> CheckDiskLimit(std::uint64_t sectors) {
  if (sectors > std::numeric_limits<std::uint32_t>::max()) {
    return std::unexpected(Invalid(fmt::format(
        "a disk of {} sectors is larger than the 4294967295 sectors sector numbers can address",
        sectors)));
  }
  return {};
}

// The real layout. Entry i of the division table holds the offset and size
// of division i in 1 KiB units from the division base; the volume probe reads
// the offset as a sector number and scans 2 x size sectors from there. Every
// division that holds a volume is placed so that both readings meet: its
// offset o (in 1 KiB) is beyond the previous volume's superblock sector, and
// the division is large enough that the scan from sector o reaches this
// volume's superblock at sector base + 2o + 1. docs/format/partitions.md
// has the arithmetic.
std::expected<Placement, Error> PlaceReal(const DiskDescription& disk,
                                          std::vector<VolumePlan>& plans, std::uint64_t base) {
  Placement p;
  p.base = base;
  std::size_t n = plans.size();
  if (n > kRealVolumeDivisions) {
    return std::unexpected(
        Invalid(fmt::format("the real layout holds at most {} volumes (divisions 2 to 6), {} given",
                            kRealVolumeDivisions, n)));
  }
  std::uint64_t scale = 0;
  if (disk.sizeBytes) {
    scale = *disk.sizeBytes / 1024;
  } else {
    for (const auto& plan : plans) scale += SizeFor(plan);
  }
  // Boot and swap divisions, sized like an installation's for large disks.
  std::uint64_t boot = scale >= 512 * 1024 ? 15360 : 1024;
  std::uint64_t swap = scale >= 512 * 1024 ? 32768 : 1024;
  std::vector<std::uint64_t> offset(n);
  std::vector<std::uint64_t> fsBlocks(n);
  std::uint64_t partitionKiB = 0;
  std::uint64_t total = 0;
  if (disk.sizeBytes) {
    total = *disk.sizeBytes / f::kSectorBytes;
    if (total <= base) {
      return std::unexpected(Invalid("the disk is too small for the real layout"));
    }
    partitionKiB = (total - base) / 2;
  }
  for (std::size_t i = 0; i < n; ++i) {
    std::uint64_t minimum = boot + swap;
    if (i > 0) {
      minimum = std::max(offset[i - 1] + fsBlocks[i - 1], base + 2 * offset[i - 1] + 2);
    }
    if (auto start = plans[i].Description().startSector) {
      if (*start < base || (*start - base) % 2 != 0 || (*start - base) / 2 < minimum) {
        return std::unexpected(Invalid(fmt::format(
            "volume {}: in the real layout its start sector must be the division base {} plus "
            "an even number of sectors, at least {}",
            i + 1, base, base + 2 * minimum)));
      }
      offset[i] = (*start - base) / 2;
    } else {
      offset[i] = minimum;
    }
    fsBlocks[i] = SizeFor(plans[i]);
    if (i + 1 == n && disk.sizeBytes && !plans[i].Description().sizeBlocks) {
      std::uint64_t room = partitionKiB > offset[i] ? partitionKiB - offset[i] : 0;
      fsBlocks[i] = std::min<std::uint64_t>(room, plans[i].MaximumBlocks());
      fsBlocks[i] = std::max<std::uint64_t>(fsBlocks[i], plans[i].MinimumBlocks());
    }
  }
  std::uint64_t lastEnd = boot + swap;
  if (n > 0) {
    std::uint64_t o = offset[n - 1];
    std::uint64_t scanReach = (base + o + 1) / 2 + 1;  // the division must be larger than this
    lastEnd = o + std::max(fsBlocks[n - 1], scanReach);
  }
  if (disk.sizeBytes) {
    if (lastEnd > partitionKiB) {
      return std::unexpected(Error{
          ErrorCode::kNoSpace,
          fmt::format("the disk is too small for the real layout of these volumes: it needs at "
                      "least {} bytes",
                      (base + 2 * lastEnd) * f::kSectorBytes),
          {}});
    }
  } else {
    std::uint64_t needed = base + 2 * lastEnd;
    total = RoundUp(needed, CylinderUnitFor(needed));
    partitionKiB = (total - base) / 2;
  }
  if (auto ok = CheckDiskLimit(total); !ok) return std::unexpected(ok.error());
  p.totalSectors = total;
  p.record.assign(f::kDivisions, {0, 0});
  p.record[0] = {0, static_cast<std::uint32_t>(boot)};
  p.record[1] = {static_cast<std::uint32_t>(boot), static_cast<std::uint32_t>(swap)};
  for (std::size_t i = 0; i < n; ++i) {
    std::uint64_t end = i + 1 < n ? offset[i + 1] : partitionKiB;
    p.record[kRealFirstVolumeDivision + i] = {static_cast<std::uint32_t>(offset[i]),
                                              static_cast<std::uint32_t>(end - offset[i])};
    p.start.push_back(static_cast<std::uint32_t>(base + 2 * offset[i]));
    p.blocks.push_back(static_cast<std::uint32_t>(fsBlocks[i]));
  }
  p.record[7] = {0, static_cast<std::uint32_t>(partitionKiB)};
  return p;
}

std::expected<Placement, Error> PlaceFlat(const DiskDescription& disk,
                                          std::vector<VolumePlan>& plans) {
  Placement p;
  bool record = disk.layout == PartitionLayout::kAbsolute;
  if (record && plans.size() > f::kRecordEntriesRead) {
    return std::unexpected(
        Invalid(fmt::format("the absolute layout holds at most {} volumes, {} given",
                            f::kRecordEntriesRead, plans.size())));
  }
  std::uint64_t total = disk.sizeBytes ? *disk.sizeBytes / f::kSectorBytes : 0;
  std::uint64_t next = kVolumeAlignment;
  std::uint64_t end = record ? f::kRecordSector + 1 : 0;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> used;  // [first, end) sectors
  if (record) used.emplace_back(f::kRecordSector, f::kRecordSector + 1);
  for (std::size_t i = 0; i < plans.size(); ++i) {
    const VolumeDescription& d = plans[i].Description();
    std::uint64_t start = d.startSector ? *d.startSector : RoundUp(next, kVolumeAlignment);
    std::uint64_t blocks = SizeFor(plans[i]);
    if (i + 1 == plans.size() && disk.sizeBytes && !d.sizeBlocks && total > start) {
      blocks = std::min<std::uint64_t>((total - start) / 2, plans[i].MaximumBlocks());
      blocks = std::max<std::uint64_t>(blocks, plans[i].MinimumBlocks());
    }
    std::uint64_t stop = start + 2 * blocks;
    for (auto [first, last] : used) {
      if (start < last && first < stop) {
        return std::unexpected(Invalid(fmt::format(
            "volume {}: sectors {} to {} overlap other data on the disk", i + 1, start, stop - 1)));
      }
    }
    used.emplace_back(start, stop);
    p.start.push_back(static_cast<std::uint32_t>(std::min<std::uint64_t>(start, UINT32_MAX)));
    p.blocks.push_back(static_cast<std::uint32_t>(blocks));
    if (auto ok = CheckDiskLimit(stop); !ok) return std::unexpected(ok.error());
    next = stop;
    end = std::max(end, stop);
  }
  if (disk.sizeBytes) {
    if (end > total) {
      return std::unexpected(
          Error{ErrorCode::kNoSpace,
                fmt::format("the disk is too small for these volumes: it needs at least {} bytes",
                            end * f::kSectorBytes),
                {}});
    }
  } else {
    total = RoundUp(std::max<std::uint64_t>(end, 1), CylinderUnitFor(end));
  }
  if (auto ok = CheckDiskLimit(total); !ok) return std::unexpected(ok.error());
  p.totalSectors = total;
  if (record) {
    p.record.assign(f::kRecordEntriesRead, {0, 0});
    for (std::size_t i = 0; i < plans.size(); ++i) p.record[i] = {p.start[i], p.blocks[i]};
  }
  return p;
}

bool IsScoType(std::uint8_t type) {
  return type == f::kPartitionType || type == f::kXenixPartitionType;
}

// The sco layout: partitions one after another in list order, each from a
// cylinder boundary (the first from the second track). In the SCO partition
// the boot and swap divisions come first, then one division per volume in
// the order given, packed from the division base, their table entries in
// whatever division numbers the volumes ask for.
std::expected<Placement, Error> PlaceSco(const DiskDescription& disk,
                                         std::vector<VolumePlan>& plans) {
  Placement p;
  const std::uint64_t sized = disk.sizeBytes ? *disk.sizeBytes / f::kSectorBytes : 0;
  p.chs = disk.geometry.value_or(sized > 1024 * kSmallCylinder ? ChsGeometryDescription{255, 63}
                                                               : ChsGeometryDescription{16, 63});
  if (p.chs.heads == 0 || p.chs.heads > 256 || p.chs.sectorsPerTrack == 0 ||
      p.chs.sectorsPerTrack > 63) {
    return std::unexpected(Invalid(
        fmt::format("geometry {} x {}: heads must be 1 to 256 and sectors per track 1 to 63",
                    p.chs.heads, p.chs.sectorsPerTrack)));
  }
  const std::uint64_t cylinder = std::uint64_t{p.chs.heads} * p.chs.sectorsPerTrack;
  std::vector<PartitionDescription> partitions = disk.partitions;
  if (partitions.empty()) partitions.emplace_back();
  if (partitions.size() > 4) {
    return std::unexpected(
        Invalid(fmt::format("an MBR holds 4 partitions, {} given", partitions.size())));
  }
  std::size_t scoCount = 0;
  std::array<bool, 4> slotUsed{};
  for (std::size_t i = 0; i < partitions.size(); ++i) {
    if (IsScoType(partitions[i].type)) {
      if (scoCount++ == 0) p.scoIndex = i;
    }
    const std::uint32_t slot = partitions[i].slot.value_or(static_cast<std::uint32_t>(i));
    if (slot > 3 || slotUsed[slot]) {
      return std::unexpected(
          Invalid(fmt::format("partition {}: slot {} is not a free slot 0 to 3", i + 1, slot)));
    }
    slotUsed[slot] = true;
  }
  if (scoCount != 1) {
    return std::unexpected(Invalid(fmt::format(
        "the sco layout needs exactly one partition of type 0x63 or 0x02, {} given", scoCount)));
  }
  if (plans.size() > 5) {
    return std::unexpected(Invalid(fmt::format(
        "the sco layout holds at most 5 volumes (divisions 2 to 6), {} given", plans.size())));
  }

  std::uint64_t cursor = p.chs.sectorsPerTrack;
  for (std::size_t i = 0; i < partitions.size(); ++i) {
    const PartitionDescription& d = partitions[i];
    const bool last = i + 1 == partitions.size();
    MbrPartition m{d.slot.value_or(static_cast<std::uint32_t>(i)), d.type, d.active, 0, 0};
    m.start = d.startSector ? *d.startSector : (i == 0 ? cursor : RoundUp(cursor, cylinder));
    if (m.start == 0 || m.start < cursor) {
      return std::unexpected(Invalid(
          fmt::format("partition {}: its start sector {} overlaps the MBR or the partition before",
                      i + 1, m.start)));
    }
    if (i != p.scoIndex) {
      m.sectors = d.sectors                 ? *d.sectors
                  : last && sized > m.start ? sized - m.start
                                            : RoundUp(m.start + 1, cylinder) - m.start;
    } else {
      p.base =
          d.divisionBase ? *d.divisionBase : RoundUp(m.start + f::kPartitionReserved, cylinder);
      if (p.base < m.start + f::kPartitionReserved) {
        return std::unexpected(Invalid(fmt::format(
            "partition {}: the division base {} lies within the {} reserved sectors from {}", i + 1,
            p.base, f::kPartitionReserved, m.start)));
      }
      // The area the divisions may cover, when the partition's size is known.
      std::optional<std::uint64_t> fixedSectors;
      if (d.sectors) {
        fixedSectors = *d.sectors;
      } else if (last && sized > m.start) {
        fixedSectors = sized - m.start;
      }
      std::optional<std::uint64_t> areaKiB;
      if (fixedSectors) {
        const std::uint64_t end = m.start + *fixedSectors;
        areaKiB = end > p.base ? (end - p.base) / 2 : 0;
      }
      const std::uint64_t scale = sized != 0 ? sized / 2 : 0;
      std::uint64_t boot = scale >= 512 * 1024 ? 15360 : 1024;
      std::uint64_t swap = scale >= 512 * 1024 ? 32768 : 1024;
      p.record.assign(f::kDivisions, {0, 0});
      p.record[0] = {0, static_cast<std::uint32_t>(boot)};
      p.record[1] = {static_cast<std::uint32_t>(boot), static_cast<std::uint32_t>(swap)};
      std::array<bool, 7> divisionUsed{true, true, false, false, false, false, false};
      std::vector<std::pair<std::uint64_t, std::uint64_t>> taken{{0, boot + swap}};
      std::uint64_t next = boot + swap;
      for (std::size_t v = 0; v < plans.size(); ++v) {
        const VolumeDescription& vd = plans[v].Description();
        std::uint32_t division = 2;
        while (division < 7 && divisionUsed[division]) ++division;
        if (vd.division) division = *vd.division;
        if (division > 6 || divisionUsed[division]) {
          return std::unexpected(Invalid(fmt::format(
              "volume {}: division {} is not a free division 0 to 6", v + 1, division)));
        }
        divisionUsed[division] = true;
        std::uint64_t offset = next;
        if (vd.startSector) {
          if (*vd.startSector < p.base || (*vd.startSector - p.base) % 2 != 0) {
            return std::unexpected(Invalid(fmt::format(
                "volume {}: in the sco layout its start sector must be the division base {} plus "
                "an even number of sectors",
                v + 1, p.base)));
          }
          offset = (*vd.startSector - p.base) / 2;
        }
        std::uint64_t blocks = SizeFor(plans[v]);
        if (v + 1 == plans.size() && areaKiB && !vd.sizeBlocks && *areaKiB > offset) {
          blocks = std::min<std::uint64_t>(*areaKiB - offset, plans[v].MaximumBlocks());
          blocks = std::max<std::uint64_t>(blocks, plans[v].MinimumBlocks());
        }
        for (auto [first, end] : taken) {
          if (offset < end && first < offset + blocks) {
            return std::unexpected(Invalid(
                fmt::format("volume {}: its division (KiB {} to {} from the base) overlaps another",
                            v + 1, offset, offset + blocks - 1)));
          }
        }
        if (areaKiB && offset + blocks > *areaKiB) {
          return std::unexpected(
              Error{ErrorCode::kNoSpace,
                    fmt::format("volume {}: its division does not fit the SCO partition", v + 1),
                    {}});
        }
        taken.emplace_back(offset, offset + blocks);
        p.record[division] = {static_cast<std::uint32_t>(offset),
                              static_cast<std::uint32_t>(blocks)};
        p.division.push_back(division);
        p.start.push_back(
            static_cast<std::uint32_t>(std::min<std::uint64_t>(p.base + 2 * offset, UINT32_MAX)));
        p.blocks.push_back(static_cast<std::uint32_t>(blocks));
        next = std::max(next, offset + blocks);
      }
      m.sectors = fixedSectors ? *fixedSectors : RoundUp(p.base + 2 * next, cylinder) - m.start;
      if (m.start + m.sectors < p.base + 2 * next) {
        return std::unexpected(
            Error{ErrorCode::kNoSpace,
                  fmt::format("partition {}: too small for its divisions", i + 1),
                  {}});
      }
      const std::uint64_t end = m.start + m.sectors;
      p.record[7] = {0, static_cast<std::uint32_t>(end > p.base ? (end - p.base) / 2 : 0)};
      p.badTracks = d.badTracks;
      if (p.badTracks.size() > f::kMaxBadTracks) {
        return std::unexpected(Invalid(fmt::format(
            "partition {}: the bad-track table holds at most {} tracks", i + 1, f::kMaxBadTracks)));
      }
    }
    if (m.sectors == 0) {
      return std::unexpected(Invalid(fmt::format("partition {}: no sectors", i + 1)));
    }
    cursor = m.start + m.sectors;
    if (auto ok = CheckDiskLimit(cursor); !ok) return std::unexpected(ok.error());
    p.mbr.push_back(m);
  }
  if (sized != 0) {
    if (cursor > sized) {
      return std::unexpected(Error{
          ErrorCode::kNoSpace,
          fmt::format("the disk is too small for these partitions: it needs at least {} bytes",
                      cursor * f::kSectorBytes),
          {}});
    }
    p.totalSectors = sized;
  } else {
    p.totalSectors = RoundUp(cursor, cylinder);
  }
  if (auto ok = CheckDiskLimit(p.totalSectors); !ok) return std::unexpected(ok.error());
  return p;
}

std::expected<Placement, Error> PlaceVolumes(const DiskDescription& disk,
                                             std::vector<VolumePlan>& plans) {
  if (disk.layout == PartitionLayout::kSco) return PlaceSco(disk, plans);
  if (disk.geometry || !disk.partitions.empty()) {
    return std::unexpected(Invalid("a geometry and partitions belong to the sco layout only"));
  }
  for (std::size_t i = 0; i < plans.size(); ++i) {
    if (plans[i].Description().division) {
      return std::unexpected(
          Invalid(fmt::format("volume {}: divisions belong to the sco layout only", i + 1)));
    }
  }
  if (disk.layout != PartitionLayout::kReal) return PlaceFlat(disk, plans);
  if (disk.sizeBytes) return PlaceReal(disk, plans, DivisionBaseFor(*disk.sizeBytes / 512));
  // The base depends on the geometry, which depends on the size the layout
  // needs: settle it by trying the base of each resulting size in turn.
  std::uint64_t base = RoundUp(f::kPartitionStart + f::kPartitionReserved, kSmallCylinder);
  for (int round = 0; round < 4; ++round) {
    auto placed = PlaceReal(disk, plans, base);
    if (!placed) return placed;
    std::uint64_t actual = DivisionBaseFor(placed->totalSectors);
    if (actual == base) return placed;
    base = actual;
  }
  return std::unexpected(Invalid("no stable disk geometry for these volumes"));
}

void PutChs(std::span<std::byte> at, std::uint64_t lba, const ChsGeometryDescription& g) {
  std::uint64_t perCylinder = std::uint64_t{g.heads} * g.sectorsPerTrack;
  if (perCylinder == 0) return;
  std::uint64_t c = lba / perCylinder;
  std::uint64_t h = (lba / g.sectorsPerTrack) % g.heads;
  std::uint64_t s = lba % g.sectorsPerTrack + 1;
  if (c > 1023) {
    c = 1023;
    h = g.heads - 1;
    s = g.sectorsPerTrack;
  }
  f::PutU8(at, 0, static_cast<std::uint32_t>(h));
  f::PutU8(at, 1, static_cast<std::uint32_t>((s & 0x3F) | ((c >> 2) & 0xC0)));
  f::PutU8(at, 2, static_cast<std::uint32_t>(c & 0xFF));
}

std::expected<void, Error> WritePartitionInfo(const DiskDescription& disk, const Placement& p,
                                              const DeviceGeometry& g, ImageWriter& writer) {
  std::vector<std::byte> sector(f::kSectorBytes);
  auto put = [&](std::uint64_t at) { return writer.Write(at * f::kSectorBytes, sector); };
  std::vector<MbrPartition> mbr = p.mbr;
  ChsGeometryDescription chs = p.chs;
  std::uint64_t scoStart = 0;
  if (disk.layout == PartitionLayout::kReal) {
    mbr = {MbrPartition{0, f::kPartitionType, true, f::kPartitionStart,
                        p.totalSectors - f::kPartitionStart}};
    chs = ChsGeometryDescription{g.heads, g.sectorsPerTrack};
    scoStart = f::kPartitionStart;
  } else if (disk.layout == PartitionLayout::kSco) {
    scoStart = mbr.at(p.scoIndex).start;
  }
  if (!mbr.empty()) {
    for (const MbrPartition& m : mbr) {
      std::span<std::byte> entry =
          std::span<std::byte>(sector).subspan(f::kMbrPartitionEntry + 16 * m.slot, 16);
      f::PutU8(entry, 0, m.active ? 0x80 : 0);
      PutChs(entry.subspan(1), m.start, chs);
      f::PutU8(entry, 4, m.type);
      PutChs(entry.subspan(5), m.start + m.sectors - 1, chs);
      f::PutU32(entry, 8, static_cast<std::uint32_t>(m.start));
      f::PutU32(entry, 12, static_cast<std::uint32_t>(m.sectors));
    }
    f::PutU16(sector, 510, 0xAA55);
    if (auto w = put(0); !w) return w;
    // The partition's two boot sectors carry no loader, only a note.
    for (std::uint32_t s = 0; s < 2; ++s) {
      std::fill(sector.begin(), sector.end(), std::byte{0});
      static constexpr char kNote[] = "Test disk: no boot loader.";
      std::memcpy(sector.data() + 3, kNote, sizeof kNote - 1);
      if (s == 0) f::PutU16(sector, 510, 0xAA55);
      if (auto w = put(scoStart + s); !w) return w;
    }
    std::fill(sector.begin(), sector.end(), std::byte{0});
    f::PutU16(sector, 0, f::kBadTrackMark);
    f::PutU16(sector, 2, static_cast<std::uint32_t>(p.badTracks.size()));
    for (std::size_t i = 0; i < p.badTracks.size(); ++i) {
      f::PutU32(sector, 4 + 8 * i, p.badTracks[i].first);
      f::PutU32(sector, 8 + 8 * i, p.badTracks[i].second);
    }
    if (auto w = put(scoStart + f::kBadTrackSector); !w) return w;
  }
  if (!p.record.empty()) {
    std::fill(sector.begin(), sector.end(), std::byte{0});
    f::PutU16(sector, 0, f::kRecordMark);
    for (std::size_t i = 0; i < p.record.size(); ++i) {
      f::PutU32(sector, 2 + 8 * i, p.record[i].first);
      f::PutU32(sector, 6 + 8 * i, p.record[i].second);
    }
    const std::uint64_t at = disk.layout == PartitionLayout::kSco
                                 ? scoStart + f::kDivisionTableSector
                                 : std::uint64_t{f::kRecordSector};
    if (auto w = put(at); !w) return w;
  }
  return {};
}

struct PreparedDisk {
  std::vector<VolumePlan> plans;
  Placement placement;
  BuildReport report;
};

std::expected<PreparedDisk, Error> Prepare(const DiskDescription& disk) {
  if (disk.sizeBytes && (*disk.sizeBytes % f::kSectorBytes != 0 || *disk.sizeBytes == 0)) {
    return std::unexpected(Invalid(
        fmt::format("the disk size {} is not a positive multiple of 512", *disk.sizeBytes)));
  }
  PreparedDisk out;
  out.plans.reserve(disk.volumes.size());
  for (std::size_t i = 0; i < disk.volumes.size(); ++i) {
    auto plan = VolumePlan::Prepare(disk.volumes[i], i);
    if (!plan) return std::unexpected(plan.error());
    out.plans.push_back(std::move(*plan));
  }
  auto placed = PlaceVolumes(disk, out.plans);
  if (!placed) return std::unexpected(placed.error());
  out.placement = std::move(*placed);
  for (std::size_t i = 0; i < out.plans.size(); ++i) {
    if (auto r = out.plans[i].Place(out.placement.start[i], out.placement.blocks[i]); !r) {
      return std::unexpected(r.error());
    }
  }
  BuildReport& report = out.report;
  report.totalSectors = out.placement.totalSectors;
  report.geometry = GeometryForLength(report.totalSectors);
  report.layout = disk.layout;
  const bool divided =
      disk.layout == PartitionLayout::kReal || disk.layout == PartitionLayout::kSco;
  report.divisionBaseSector = divided ? static_cast<std::uint32_t>(out.placement.base) : 0;
  if (disk.layout == PartitionLayout::kSco) {
    const MbrPartition& sco = out.placement.mbr.at(out.placement.scoIndex);
    report.chsGeometry = out.placement.chs;
    report.scoPartitionSlot = sco.slot;
    report.scoPartitionStart = static_cast<std::uint32_t>(sco.start);
    report.scoPartitionSectors = static_cast<std::uint32_t>(sco.sectors);
  }
  return out;
}

std::vector<std::byte> Scrambled(std::uint64_t seed, std::size_t size) {
  std::vector<std::byte> bytes(size);
  FillBytes(Fill{Fill::Pattern::kRandom, 0, {}, seed}, 0, bytes);
  return bytes;
}

std::expected<void, Error> ApplyDamage(const DiskDescription& disk, PreparedDisk& prepared,
                                       ImageWriter& writer) {
  BuildReport& report = prepared.report;
  for (std::size_t n = 0; n < disk.damage.size(); ++n) {
    const Damage& d = disk.damage[n];
    auto fail = [&](std::string what) {
      return std::unexpected(Invalid(fmt::format("damage {}: {}", n + 1, what)));
    };
    if (d.kind == DamageKind::kPatch) {
      if (d.firstSector > report.totalSectors) return fail("the patch lies outside the disk");
      std::uint64_t at = d.firstSector * f::kSectorBytes + d.offset;
      if (at > report.totalSectors * f::kSectorBytes ||
          d.bytes.size() > report.totalSectors * f::kSectorBytes - at) {
        return fail("the patch lies outside the disk");
      }
      if (auto w = writer.Write(at, d.bytes); !w) return w;
      continue;
    }
    if (d.kind == DamageKind::kUnreadable && d.path.empty()) {
      if (d.firstSector > d.lastSector || d.lastSector >= report.totalSectors) {
        return fail(fmt::format("sectors {} to {} are not a range of the disk", d.firstSector,
                                d.lastSector));
      }
      report.unreadable.emplace_back(d.firstSector, d.lastSector);
      continue;
    }
    if (d.volume >= prepared.plans.size()) return fail(fmt::format("no volume {}", d.volume + 1));
    VolumePlan& plan = prepared.plans[d.volume];
    const VolumeReport& volume = plan.Report();
    auto index = plan.FindPath(d.path);
    if (!index) return fail(fmt::format("volume {} has no {}", d.volume + 1, d.path));
    const NodeReport& node = volume.nodes[*index];
    bool htfs = volume.fs == FsKind::kHtfs;
    std::uint32_t inodeBytes = htfs ? f::kHtfsInodeBytes : f::kEafsInodeBytes;
    auto entry = [&]() -> std::expected<std::uint64_t, Error> {
      auto at = plan.EntryOffset(*index);
      if (!at)
        return std::unexpected(Invalid(fmt::format("damage {}: the root has no entry", n + 1)));
      return *at;
    };
    switch (d.kind) {
      case DamageKind::kOverwriteBlock:
      case DamageKind::kUnreadable: {
        if (d.block >= node.dataBlocks.size()) {
          return fail(fmt::format("{} has {} data blocks, no block {}", d.path,
                                  node.dataBlocks.size(), d.block));
        }
        std::uint64_t sector = volume.SectorOfBlock(node.dataBlocks[d.block]);
        if (d.kind == DamageKind::kUnreadable) {
          report.unreadable.emplace_back(sector, sector + 1);
          break;
        }
        std::vector<std::byte> bytes =
            d.fillByte ? std::vector<std::byte>(f::kBlockBytes, std::byte{*d.fillByte})
                       : Scrambled(d.seed, f::kBlockBytes);
        if (auto w = writer.Write(sector * f::kSectorBytes, bytes); !w) return w;
        break;
      }
      case DamageKind::kZeroInode:
      case DamageKind::kScrambleInode: {
        std::vector<std::byte> bytes = d.kind == DamageKind::kZeroInode
                                           ? std::vector<std::byte>(inodeBytes)
                                           : Scrambled(d.seed, inodeBytes);
        if (auto w = writer.Write(plan.InodeOffset(node.inode), bytes); !w) return w;
        break;
      }
      case DamageKind::kSetTime: {
        if (d.value < std::numeric_limits<std::int32_t>::min() ||
            d.value > std::numeric_limits<std::int32_t>::max()) {
          return fail("the time does not fit 32 bits");
        }
        std::vector<std::byte> word(4);
        f::PutU32(word, 0, static_cast<std::uint32_t>(static_cast<std::int32_t>(d.value)));
        std::uint64_t at = plan.InodeOffset(node.inode);
        for (std::size_t field :
             htfs ? std::vector<std::size_t>{f::kHtfsAccessTime, f::kHtfsShownTime,
                                             f::kHtfsChangeTime}
                  : std::vector<std::size_t>{f::kEafsShownTime, f::kEafsModifyTime,
                                             f::kEafsChangeTime}) {
          if (auto w = writer.Write(at + field, word); !w) return w;
        }
        break;
      }
      case DamageKind::kRedirectEntry:
      case DamageKind::kDeleteEntry: {
        auto at = entry();
        if (!at) return std::unexpected(at.error());
        std::uint32_t inode = 0;
        if (d.kind == DamageKind::kRedirectEntry) {
          auto target = plan.FindPath(d.target);
          if (!target) return fail(fmt::format("volume {} has no {}", d.volume + 1, d.target));
          inode = volume.nodes[*target].inode;
        }
        std::vector<std::byte> word(htfs ? 4 : 2);
        if (htfs) {
          f::PutU32(word, 0, inode);
        } else {
          f::PutU16(word, 0, inode);
        }
        if (auto w = writer.Write(*at, word); !w) return w;
        break;
      }
      case DamageKind::kRecordLength: {
        if (!htfs) return fail("record lengths exist in HTFS directories only");
        if (d.value < 0 || d.value > 0xFFFF) return fail("a record length holds 16 bits");
        auto at = entry();
        if (!at) return std::unexpected(at.error());
        std::vector<std::byte> word(2);
        f::PutU16(word, 0, static_cast<std::uint32_t>(d.value));
        if (auto w = writer.Write(*at + f::kHtfsEntryRecordLength, word); !w) return w;
        break;
      }
      case DamageKind::kPatch:
        break;
    }
  }
  // Ascending and merged.
  auto& ranges = report.unreadable;
  std::sort(ranges.begin(), ranges.end());
  std::vector<std::pair<std::uint64_t, std::uint64_t>> merged;
  for (auto range : ranges) {
    if (!merged.empty() && range.first <= merged.back().second + 1) {
      merged.back().second = std::max(merged.back().second, range.second);
    } else {
      merged.push_back(range);
    }
  }
  ranges = std::move(merged);
  return {};
}

std::expected<void, Error> WriteDisk(const DiskDescription& disk, PreparedDisk& prepared,
                                     ImageWriter& writer) {
  if (auto w = WritePartitionInfo(disk, prepared.placement, prepared.report.geometry, writer); !w) {
    return w;
  }
  for (std::size_t i = 0; i < prepared.plans.size(); ++i) {
    if (auto w = prepared.plans[i].Write(writer); !w) return w;
  }
  if (auto w = ApplyDamage(disk, prepared, writer); !w) return w;
  for (std::size_t i = 0; i < prepared.plans.size(); ++i) {
    VolumeReport volume = prepared.plans[i].Report();
    if (disk.layout == PartitionLayout::kReal) {
      volume.recordEntry = static_cast<int>(kRealFirstVolumeDivision + i);
    } else if (disk.layout == PartitionLayout::kAbsolute) {
      volume.recordEntry = static_cast<int>(i);
    } else if (disk.layout == PartitionLayout::kSco) {
      volume.division = static_cast<int>(prepared.placement.division.at(i));
    }
    prepared.report.volumes.push_back(std::move(volume));
  }
  return writer.Flush();
}

std::expected<void, Error> WriteSidecar(const std::string& path, const BuildReport& report) {
  if (report.unreadable.empty()) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      return std::unexpected(Error{ErrorCode::kIoError,
                                   fmt::format("cannot remove {}: {}", path, std::strerror(errno)),
                                   {}});
    }
    return {};
  }
  std::string text = "# sectors that read as unreadable\n";
  for (auto [first, last] : report.unreadable) {
    text += first == last ? fmt::format("{}\n", first) : fmt::format("{}-{}\n", first, last);
  }
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) {
    return std::unexpected(Error{
        ErrorCode::kIoError, fmt::format("cannot write {}: {}", path, std::strerror(errno)), {}});
  }
  bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  ok = std::fclose(file) == 0 && ok;
  if (!ok) {
    return std::unexpected(Error{ErrorCode::kIoError, fmt::format("cannot write {}", path), {}});
  }
  return {};
}

}  // namespace

std::expected<BuildReport, Error> BuildImage(const DiskDescription& description,
                                             const std::string& outputPath) {
  auto prepared = Prepare(description);
  if (!prepared) return std::unexpected(prepared.error());
  auto writer = CreateImageFile(outputPath, prepared->report.totalSectors * f::kSectorBytes);
  if (!writer) return std::unexpected(writer.error());
  if (auto w = WriteDisk(description, *prepared, **writer); !w) return std::unexpected(w.error());
  std::string sidecar = outputPath + ".unreadable";
  if (auto s = WriteSidecar(sidecar, prepared->report); !s) return std::unexpected(s.error());
  if (!prepared->report.unreadable.empty()) prepared->report.unreadablePath = sidecar;
  return std::move(prepared->report);
}

std::expected<BuiltImage, Error> BuildImageBytes(const DiskDescription& description) {
  auto prepared = Prepare(description);
  if (!prepared) return std::unexpected(prepared.error());
  BuiltImage image;
  image.bytes.resize(prepared->report.totalSectors * f::kSectorBytes);
  auto writer = MakeMemoryWriter(image.bytes);
  if (auto w = WriteDisk(description, *prepared, *writer); !w) return std::unexpected(w.error());
  image.report = std::move(prepared->report);
  return image;
}

}  // namespace tolvar::imagekit
