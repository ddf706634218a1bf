#include "disk/retrying_sectors.hpp"

#include <algorithm>

namespace tolvar {

RetryingSectors::RetryingSectors(SectorSource& lower, const RecoverySettings& settings,
                                 BadSectorList& badSectors, StopToken stop)
    : SectorSourceLayer(lower), settings_(settings), badSectors_(badSectors), stop_(stop) {}

SectorReadResult RetryingSectors::Read(std::uint64_t first, std::span<std::byte> out) {
  const std::uint64_t count = out.size() / kSectorSize;
  if (first >= lower_.RequestEnd()) {
    UnreadSectors refused = WholeRequest(first, count);
    refused.beyondDrive = true;
    return std::unexpected(std::move(refused));
  }
  if (!lower_.Ready()) {
    // Nothing can be read: never let a caller see an earlier read as this one.
    std::fill(out.begin(), out.end(), std::byte{0});
    return std::unexpected(WholeRequest(first, count));
  }
  auto whole = lower_.Read(first, out);
  if (whole) return whole;
  const unsigned attempts = std::max<unsigned>(1, settings_.badSectorRetries);
  const std::uint64_t existing = lower_.SectorCount();
  UnreadSectors unread;
  for (std::uint64_t i = 0; i < count; ++i) {
    auto one = out.subspan(i * kSectorSize, kSectorSize);
    bool read = false;
    for (unsigned attempt = 0; attempt < attempts && !read && !unread.stopped; ++attempt) {
      unread.stopped = stop_.StopRequested();
      read = !unread.stopped && lower_.Read(first + i, one).has_value();
    }
    if (read) continue;
    std::fill(one.begin(), one.end(), std::byte{0});
    unread.Add(first + i);
    // Past the drive's end nothing exists; given up on a stop, nothing is known.
    if (!unread.stopped && first + i < existing) badSectors_.Record(first + i);
  }
  if (unread.runs.empty()) return {};
  return std::unexpected(std::move(unread));
}

std::optional<FileSpan> RetryingSectors::FileBacking(std::uint64_t first,
                                                     std::uint64_t count) const {
  if (!badSectors_.RunsIn(first, count).empty()) return std::nullopt;
  return lower_.FileBacking(first, count);
}

}  // namespace tolvar
