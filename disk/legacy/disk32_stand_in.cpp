// Stand-in for the legacy BIOS disk library "Disk32.dll": serves attached
// image files as BIOS drives 0x80, 0x81, ... Test builds leave out single
// exports to imitate a damaged library.

#include "disk/legacy/stand_in_images.hpp"

TOLVAR_STAND_IN_EXPORT int attach_images32(const char* const* paths, unsigned count) {
  return Images().Attach(paths, count);
}

#ifndef TOLVAR_STAND_IN_OMIT_FIND
TOLVAR_STAND_IN_EXPORT void find_hard_disk32(std::uint16_t* count) {
  if (count == nullptr) return;
  const std::size_t found = Images().Count();
  *count = static_cast<std::uint16_t>(found > 0xFFFF ? 0xFFFF : found);
}
#endif

#ifndef TOLVAR_STAND_IN_OMIT_CHECK
// Every attached image supports extended (LBA) reads.
TOLVAR_STAND_IN_EXPORT std::int32_t CheckInt13Extension32(std::int32_t biosDrive) {
  return Images().ForBiosDrive(biosDrive) != nullptr ? 1 : 0;
}
#endif

#ifndef TOLVAR_STAND_IN_OMIT_READ
// Reads `count` sectors from the absolute sector `lba`; the cylinder/head/
// sector triple is accepted but not needed for an image. Non-zero on success,
// 0 when any byte cannot be read.
TOLVAR_STAND_IN_EXPORT std::int32_t ReadDisk32(std::int32_t biosDrive, std::uint32_t /*cylinder*/,
                                               std::uint32_t /*head*/,
                                               std::uint32_t /*sectorInTrack*/, std::uint32_t count,
                                               void* buffer, std::uint32_t lba,
                                               std::int32_t /*int13*/) {
  const StandInImage* image = Images().ForBiosDrive(biosDrive);
  if (image == nullptr || buffer == nullptr) return 0;
  const std::uint64_t offset = std::uint64_t{lba} * kStandInSectorSize;
  const std::uint64_t bytes = std::uint64_t{count} * kStandInSectorSize;
  if (offset > image->length || bytes > image->length - offset) return 0;
  auto* out = static_cast<char*>(buffer);
  std::uint64_t done = 0;
  while (done < bytes) {
    const ssize_t got = ::pread(image->fd, out + done, static_cast<std::size_t>(bytes - done),
                                static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return 0;
    done += static_cast<std::uint64_t>(got);
  }
  return 1;
}
#endif
