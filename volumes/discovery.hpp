#pragma once

// Finding the file systems of the open drive: from the partition record or
// by testing every sector of a range. Plain functions over the drive table
// and the volume table; progress goes to an observer as numbers.

#include <cstdint>
#include <string>

#include "base/stop_token.hpp"
#include "disk/drive_table.hpp"
#include "volumes/volume_table.hpp"

namespace tolvar {

enum class DiscoveryMethod {
  // The first file system in each range the record at sector 105 lists,
  // then the volumes of every SCO partition's division table.
  kPartitionRecord,
  kRange,  // every file system in [rangeStart, rangeEnd), up to 99
};

// The read buffer's size: runs are never longer than this.
inline constexpr std::uint32_t kScanBufferSectors = 100;
// A range search stops once this many volumes are in the table.
inline constexpr std::uint32_t kSearchVolumeLimit = 99;

struct DiscoveryRequest {
  DiscoveryMethod method = DiscoveryMethod::kPartitionRecord;
  std::uint64_t rangeStart = 0;       // kRange only
  std::uint64_t rangeEnd = 0;         // kRange only; exclusive
  std::uint32_t sectorsPerRead = 60;  // kept within 1 to kScanBufferSectors
};

// The events of one discovery, in the order they happen, on the caller's
// thread. Every hook defaults to nothing.
class DiscoveryObserver {
 public:
  virtual ~DiscoveryObserver() = default;
  // Partition record: the scan of one of the record's ranges, or the look
  // for one division's volume, begins; `volumesSoFar` volumes were accepted
  // before it.
  virtual void RecordRangeStarted(std::uint32_t /*volumesSoFar*/) {}
  // Before a run is read: `sectorsDone` of `sectorsTotal` of the range (or
  // record range) are behind, and the run starts at `sector`.
  virtual void RunStarted(std::uint64_t /*sectorsDone*/, std::uint64_t /*sectorsTotal*/,
                          std::uint64_t /*sector*/) {}
  // Partition record: a run was read and tested without ending the range.
  virtual void RunFinished(std::uint64_t /*sector*/) {}
  // A volume was appended to the table as entry `volumesFound` - 1.
  // `limitReached`: it is the one that reached the range search's limit; the
  // search ends after it.
  virtual void VolumeAccepted(const VolumeInfo& /*volume*/, std::uint32_t /*volumesFound*/,
                              bool /*limitReached*/) {}
  // Partition record on a disk with SCO partitions: the record's and the
  // division tables' volumes were put in disk order and named by their new
  // positions. Whatever was shown per volume must be made again from `volumes`.
  virtual void VolumesReordered(const VolumeTable& /*volumes*/) {}
};

struct DiscoveryResult {
  DiscoveryMethod method = DiscoveryMethod::kPartitionRecord;
  // Partition record: whether the record still carried its mark when the
  // discovery read it (a record that no longer reads back scans nothing).
  bool recordMarkPresent = false;
  bool stoppedByRequest = false;  // the stop token ended it early
  bool limitReached = false;      // the range search stopped at 99 volumes
  std::uint32_t volumesFound = 0;
};

// Whether the partition record at sector 105 of the open drive carries its
// mark.
[[nodiscard]] bool HasPartitionRecordMark(DriveTable& drives);

// The check the disk step makes before a record discovery: the record's
// mark, or an SCO partition in the MBR whose division table carries its
// mark (wherever the partition starts).
[[nodiscard]] bool HasPartitionInformation(DriveTable& drives);

// How a volume was found: "partition 2, division 3", "the record at sector
// 105" or "the sector search".
[[nodiscard]] std::string VolumeOriginText(const VolumeOrigin& origin);

// Empties `volumes` (its warnings too) and fills it from the open drive as
// `request` says; problems met on the way (damaged partition or division
// tables, a division without its volume) go to `volumes.warnings`. A
// range search clears `stop` before it starts (a stop pressed before it
// began does not count); a record discovery does not. The drive table
// records sectors that could not be read; nothing here fails.
DiscoveryResult FindVolumes(DriveTable& drives, VolumeTable& volumes,
                            const DiscoveryRequest& request, DiscoveryObserver& observer,
                            StopToken stop);

}  // namespace tolvar
