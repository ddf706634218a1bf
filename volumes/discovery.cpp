#include "volumes/discovery.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <vector>

#include "volumes/division_scan.hpp"
#include "volumes/partition_record.hpp"
#include "volumes/superblock_probe.hpp"

namespace tolvar {

namespace {

constexpr std::uint32_t kSectorBytes = 512;
// A search stops once this many volumes are in the table.
constexpr std::uint32_t kSearchVolumeLimit = 99;

const std::string kSearchingHelp = QuickHelpText(
    {"Please Wait, Tolvar is searching for partitions. Once this process is completed, it will "
     "show you all the Partitions."});
const std::string kVolumesReadyHelp =
    QuickHelpText({"1. Select the Partition to recover from left pane.", "2. Click Next Button."});
const std::string kDiskStepHelp =
    QuickHelpText({"1. Select the disk to scan from left pane.", "2. Select the scan type.",
                   "3. Click Next Button."});

// Sectors per run, taken once when a scan starts and kept within the buffer.
std::uint32_t RunLength(const RecoverySettings& settings) {
  return std::clamp<std::uint32_t>(settings.sectorsPerRead, 1, kScanBufferSectors);
}

// The scans' read buffer: room for the largest run, zeroed once, starting
// on a page boundary (the kernel copies into aligned memory fastest).
class RunBuffer {
 public:
  RunBuffer() : storage_(std::size_t{kScanBufferSectors} * kSectorBytes + kAlignment) {
    const auto address = reinterpret_cast<std::uintptr_t>(storage_.data());
    const std::size_t skip = (kAlignment - address % kAlignment) % kAlignment;
    bytes_ = std::span<std::byte>(storage_).subspan(skip,
                                                    std::size_t{kScanBufferSectors} * kSectorBytes);
  }
  RunBuffer(const RunBuffer&) = delete;
  RunBuffer& operator=(const RunBuffer&) = delete;

  // Reads one run. A run that starts past the capacity is refused by the
  // drive table without touching the buffer; it is then tested as zeros, so
  // that the previous run's superblocks cannot turn up again at new sector
  // numbers. Returns false when the run is known to hold only zeros.
  bool Read(DriveTable& drives, std::uint64_t sector, std::uint32_t count) {
    (void)drives.ReadSectors(sector, count, bytes_);
    if (sector <= drives.Current().totalSectors) {
      zeroed_ = false;  // written: data, or zeros where sectors did not read
    } else if (!zeroed_) {
      std::fill(bytes_.begin(), bytes_.end(), std::byte{0});
      zeroed_ = true;
    }
    return !zeroed_;
  }

  // The full probe of sector `index`, after the inline magic test that
  // nearly every sector fails.
  [[nodiscard]] ProbeResult Probe(DiscoveryContext& ctx, std::uint32_t index,
                                  std::uint32_t absoluteSector) const {
    const auto sector = Sector(index);
    if (!HasSuperblockMagic(sector)) return ProbeResult::kNone;
    return ProbeSuperblockSector(ctx.volumes, ctx.tree, sector, absoluteSector);
  }

  [[nodiscard]] std::span<const std::byte> Sector(std::uint32_t index) const {
    return bytes_.subspan(std::size_t{index} * kSectorBytes, kSectorBytes);
  }

 private:
  static constexpr std::size_t kAlignment = 4096;
  std::vector<std::byte> storage_;
  std::span<std::byte> bytes_;
  bool zeroed_ = true;
};

// Texts that change once per run are formatted on the stack: the search
// should cost little more than its reads.
void ShowNumber(Feedback& feedback, std::string_view label, std::uint64_t value) {
  const fmt::format_int text(value);
  feedback.SetRowValue(label, std::string_view(text.data(), text.size()));
}

void ShowScanningStatus(Feedback& feedback, std::uint64_t done, std::uint64_t total) {
  fmt::basic_memory_buffer<char, 64> text;
  fmt::format_to(std::back_inserter(text), "Scanning sector {} Of {}", done, total);
  feedback.SetStatusText(std::string_view(text.data(), text.size()));
}

int Percent(std::uint64_t done, std::uint64_t total) {
  // done < total <= 2^32, so the product fits in 64 bits.
  return static_cast<int>(done * 100 / total);
}

// Reads through the drive table (retries, zero-fill, the bad-sector list).
SectorReader DriveReader(DriveTable& drives) {
  return [&drives](std::uint64_t sector, std::span<std::byte> out) {
    return drives.ReadSectors(sector, static_cast<std::uint32_t>(out.size() / kSectorBytes), out);
  };
}

void ShowSearchingStatus(DiscoveryContext& ctx) {
  ctx.feedback.SetStatusText(fmt::format(
      "Searching for partition - {}  . This may take some time...", ctx.volumes.volumeCount + 1));
}

// The volumes of every SCO partition's division table, appended after those
// of the record at sector 105. Returns whether the disk has an SCO
// partition at all.
bool DiscoverFromDivisionTables(DiscoveryContext& ctx) {
  DivisionScanInput input;
  input.read = DriveReader(ctx.drives);
  input.totalSectors = ctx.drives.Current().totalSectors;
  input.driveHeads = ctx.drives.Current().heads;
  input.driveSectorsPerTrack = ctx.drives.Current().sectorsPerTrack;
  input.sectorsPerRead = RunLength(ctx.settings);
  input.stopRequested = [&ctx] { return ctx.state.StopRequested(); };
  input.onDivision = [&ctx](std::uint32_t, std::uint32_t) { ShowSearchingStatus(ctx); };
  const DivisionScanResult scan = ScanDivisionTables(input);
  for (const std::string& warning : scan.warnings) ctx.volumes.warnings.push_back(warning);
  for (const DivisionVolume& found : scan.volumes) {
    const ProbeResult result =
        ProbeSuperblockSector(ctx.volumes, ctx.tree, found.superblock, found.superblockSector);
    if (result != ProbeResult::kAccepted) continue;
    ctx.volumes.entries[ctx.volumes.volumeCount - 1].origin =
        VolumeOrigin{VolumeSource::kDivisionTable, found.partition, found.division};
    ShowNumber(ctx.feedback, kSearchFoundLabel, ctx.volumes.volumeCount);
  }
  return scan.sawScoPartition;
}

// Puts the table in disk order and numbers the names by position, making
// the tree's items again when anything moved.
void OrderByStartSector(DiscoveryContext& ctx) {
  VolumeTable& table = ctx.volumes;
  const std::uint32_t count = std::min(table.volumeCount, VolumeTable::kCapacity);
  const auto begin = table.entries.begin();
  std::stable_sort(begin, begin + count, [](const VolumeInfo& a, const VolumeInfo& b) {
    return a.startSector < b.startSector;
  });
  bool renamed = false;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::string name = VolumeName(table.entries[i].fsType, i + 1);
    renamed = renamed || name != table.entries[i].volumeName;
    table.entries[i].volumeName = std::move(name);
  }
  if (!renamed) return;
  ctx.tree.Fresh();
  for (std::uint32_t i = 0; i < count; ++i) {
    table.entries[i].treeItem = ctx.tree.AddItem(table.entries[i].volumeName);
  }
  if (count != 0) ctx.tree.ExpandRoot();
}

void BeginSearchDisplay(DiscoveryContext& ctx, int panelMode) {
  if (ctx.layout != nullptr) ctx.layout->SearchStarted();
  ctx.feedback.ShowProgress(true);
  ctx.feedback.SetProgress(0);
  ctx.feedback.SetPanelMode(panelMode, ctx.state.rangeEnd);
  ctx.feedback.SetQuickHelp(kSearchingHelp);
  ctx.tree.Fresh();
}

}  // namespace

std::optional<std::uint32_t> ParseSectorField(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > 0xFFFFFFFFu) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

NextOutcome DiskStepNext(DiscoveryContext& ctx, std::string_view startField,
                         std::string_view endField) {
  ctx.state.SetBusy(false);
  // A drive that does not open reads as failures; the checks below then
  // find nothing, as on a blank disk.
  (void)ctx.drives.OpenCurrentDrive();

  if (ctx.state.identifyOption == IdentifyOption::kSearchPartition) {
    const auto start = ParseSectorField(startField);
    if (!start) {
      ctx.feedback.ShowMessage(kBadStartMessage, MessageKind::kError);
      return NextOutcome::kInvalidRange;
    }
    const auto end = ParseSectorField(endField);
    if (!end) {
      ctx.feedback.ShowMessage(kBadEndMessage, MessageKind::kError);
      return NextOutcome::kInvalidRange;
    }
    if (*end <= *start) {
      ctx.feedback.ShowMessage(kEndNotAboveStartMessage, MessageKind::kError);
      return NextOutcome::kInvalidRange;
    }
    ctx.state.rangeStart = *start;
    ctx.state.rangeEnd = *end;
    BeginSearchDisplay(ctx, 1);
    return NextOutcome::kStartWorker;
  }

  std::array<std::byte, kSectorBytes> sector{};
  (void)ctx.drives.ReadSectors(kPartitionRecordSector, 1, sector);
  // An SCO partition's division table, wherever the partition starts, is as
  // good as the record.
  if (!DecodePartitionRecord(sector) &&
      !HasDivisionTable(DriveReader(ctx.drives), ctx.drives.Current().totalSectors)) {
    ctx.feedback.ShowMessage(kNoRecordMessage, MessageKind::kInformation);
    return NextOutcome::kNoRecord;
  }
  BeginSearchDisplay(ctx, 44);
  return NextOutcome::kStartWorker;
}

void ScanEntryRange(DiscoveryContext& ctx, std::uint32_t first, std::uint32_t count) {
  ShowSearchingStatus(ctx);
  const std::uint32_t end = first + count;  // wraps: a range across 2^32 is not scanned
  if (first >= end) return;

  const std::uint32_t n = RunLength(ctx.settings);
  RunBuffer buffer;
  // 64-bit run starts: a run that passes 2^32 must end the loop, not wrap.
  for (std::uint64_t r = first; r < end && !ctx.state.StopRequested(); r += n) {
    ctx.feedback.SetProgress(Percent(r - first, count));
    const bool worthTesting = buffer.Read(ctx.drives, r, n);
    for (std::uint32_t j = 0; worthTesting && j < n && !ctx.state.StopRequested(); ++j) {
      const ProbeResult result = buffer.Probe(ctx, j, static_cast<std::uint32_t>(r + j));
      if (result == ProbeResult::kAccepted)
        ShowNumber(ctx.feedback, kSearchFoundLabel, ctx.volumes.volumeCount);
      // Only the first file system of a range is taken.
      if (result == ProbeResult::kAccepted || result == ProbeResult::kDuplicate) return;
    }
    ShowNumber(ctx.feedback, kSearchCurrentSectorLabel, r);
  }
}

void DiscoverFromPartitionTable(DiscoveryContext& ctx) {
  ctx.volumes.volumeCount = 0;
  ctx.volumes.warnings.clear();
  ctx.tree.SetEnabled(false);

  std::array<std::byte, kSectorBytes> sector{};
  (void)ctx.drives.ReadSectors(kPartitionRecordSector, 1, sector);
  // A record that no longer reads back scans nothing; the division tables
  // still run, and the completion reports when nothing was found.
  if (const auto record = DecodePartitionRecord(sector)) {
    for (const PartitionRecordEntry& entry : record->entries) {
      if (ctx.state.StopRequested()) break;
      const std::uint32_t count = entry.SectorCount();
      if (count == 0) continue;
      const std::uint32_t before = ctx.volumes.volumeCount;
      ScanEntryRange(ctx, entry.startSector, count);
      for (std::uint32_t i = before; i < ctx.volumes.volumeCount; ++i) {
        ctx.volumes.entries[i].origin = VolumeOrigin{VolumeSource::kPartitionRecord, 0, 0};
      }
    }
  }
  if (ctx.state.StopRequested()) return;
  // Both ways make one list in disk order; a disk without an SCO partition
  // keeps the record's order.
  if (DiscoverFromDivisionTables(ctx)) OrderByStartSector(ctx);
}

void SearchPartitionRange(DiscoveryContext& ctx) {
  ctx.state.ClearStop();
  ctx.tree.SetEnabled(false);
  ctx.volumes.volumeCount = 0;
  ctx.volumes.warnings.clear();
  const std::uint32_t n = RunLength(ctx.settings);
  RunBuffer buffer;

  const std::uint64_t start = ctx.state.rangeStart;
  const std::uint64_t end = ctx.state.rangeEnd;
  if (start >= end) return;
  const std::uint64_t total = end - start;
  std::uint64_t r = start;
  std::uint64_t done = 0;
  while (!ctx.state.StopRequested()) {
    ShowNumber(ctx.feedback, kSearchCurrentSectorLabel, r);
    ShowScanningStatus(ctx.feedback, done, total);
    ctx.feedback.SetProgress(Percent(done, total));
    // The whole run is read and tested, even where it reaches past the end.
    const bool worthTesting = buffer.Read(ctx.drives, r, n);
    for (std::uint32_t j = 0; worthTesting && j < n && !ctx.state.StopRequested(); ++j) {
      const ProbeResult result = buffer.Probe(ctx, j, static_cast<std::uint32_t>(r + j));
      if (result != ProbeResult::kAccepted) continue;
      if (ctx.volumes.volumeCount >= kSearchVolumeLimit) {
        ctx.state.RequestStop();
        break;
      }
      ShowNumber(ctx.feedback, kSearchFoundLabel, ctx.volumes.volumeCount);
    }
    r += n;
    done += n;
    if (r >= end) break;
  }
}

void CompleteDiscovery(DiscoveryContext& ctx) {
  // Volumes ready; switching the display clears a pending stop.
  if (ctx.layout != nullptr) ctx.layout->VolumesReady();
  ctx.tree.SetEnabled(true);
  ctx.state.ClearStop();
  ctx.feedback.ShowProgress(false);
  ctx.feedback.ShowStatus(false);
  ctx.feedback.SetPanelMode(6);
  ctx.feedback.SetQuickHelp(kVolumesReadyHelp);
  ctx.state.step += 1;
  ctx.state.SetBusy(false);
  if (ctx.volumes.volumeCount != 0) return;

  if (ctx.layout != nullptr) ctx.layout->BackToDisk();
  ctx.tree.SetEnabled(false);
  ctx.feedback.SetPanelMode(0);
  ctx.feedback.SetQuickHelp(kDiskStepHelp);
  ctx.state.step -= 1;
  ctx.feedback.ShowMessage(ctx.state.identifyOption == IdentifyOption::kSearchPartition
                               ? kNothingFromSearchMessage
                               : kNothingFromRecordMessage,
                           MessageKind::kInformation);
}

void RunDiscoveryWorker(DiscoveryContext& ctx) {
  ctx.state.SetBusy(true);
  if (ctx.state.identifyOption == IdentifyOption::kSearchPartition) {
    SearchPartitionRange(ctx);
  } else {
    DiscoverFromPartitionTable(ctx);
  }
  CompleteDiscovery(ctx);
}

std::string_view VolumeTypeText(FsType type) {
  if (type == FsType::kEafs) return "EAFS";
  return type == FsType::kAfs ? "AFS" : "HTFS";
}

std::string VolumeOriginText(const VolumeOrigin& origin) {
  switch (origin.source) {
    case VolumeSource::kPartitionRecord:
      return "the record at sector 105";
    case VolumeSource::kDivisionTable:
      return fmt::format("partition {}, division {}", origin.partition, origin.division);
    case VolumeSource::kSectorSearch:
      break;
  }
  return "the sector search";
}

void ShowVolumeRows(Feedback& feedback, const VolumeInfo& volume) {
  feedback.SetRowValue("Volume Type  ", VolumeTypeText(volume.fsType));
  feedback.SetRowValue("Volume Name    ", volume.volumeName);
  ShowNumber(feedback, "Volume Start      ", volume.startSector);
  feedback.SetRowValue("Volume Size     ", MegabytesText(volume.sizeSectors));
}

bool SelectVolumeItem(DiscoveryContext& ctx, VolumeTreeSink::ItemHandle item) {
  if (ctx.state.step != 1) return false;
  const std::uint32_t count = std::min(ctx.volumes.volumeCount, VolumeTable::kCapacity);
  for (std::uint32_t i = 0; i < count; ++i) {
    if (ctx.volumes.entries[i].treeItem != item) continue;
    ctx.volumes.currentVolume = static_cast<std::uint16_t>(i);
    ShowVolumeRows(ctx.feedback, ctx.volumes.entries[i]);
    return true;
  }
  return false;
}

}  // namespace tolvar
