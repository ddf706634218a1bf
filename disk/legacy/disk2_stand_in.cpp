// Stand-in for the legacy BIOS geometry library "disk2.dll": reports for each
// attached image a geometry whose product is the image's length in sectors.

#include "disk/legacy/stand_in_images.hpp"

#ifndef TOLVAR_STAND_IN_OMIT_GEOMETRY
namespace {

struct Triple {
  std::uint32_t cylinders = 0;
  std::uint32_t heads = 0;
  std::uint32_t sectorsPerTrack = 0;
};

// Prefers 255 or 16 heads by 63 sectors; otherwise one head and as many
// sectors per track as divide the length. Beyond what 32-bit cylinders can
// count, the largest 255 x 63 geometry that fits the image.
Triple TripleFor(std::uint64_t sectors) {
  constexpr std::uint64_t kMaxCylinders = std::numeric_limits<std::uint32_t>::max();
  if (sectors == 0) return {};
  for (std::uint32_t heads : {255u, 16u}) {
    const std::uint64_t perCylinder = std::uint64_t{heads} * 63;
    if (sectors % perCylinder == 0 && sectors / perCylinder <= kMaxCylinders) {
      return {static_cast<std::uint32_t>(sectors / perCylinder), heads, 63};
    }
  }
  for (std::uint32_t perTrack : {63u, 32u, 16u, 8u, 4u, 2u, 1u}) {
    if (sectors % perTrack == 0 && sectors / perTrack <= kMaxCylinders) {
      return {static_cast<std::uint32_t>(sectors / perTrack), 1, perTrack};
    }
  }
  const std::uint64_t cylinders = sectors / (255 * 63);
  return {static_cast<std::uint32_t>(cylinders < kMaxCylinders ? cylinders : kMaxCylinders), 255,
          63};
}

}  // namespace

TOLVAR_STAND_IN_EXPORT void get_drive_geometry32(std::int32_t biosDrive, std::uint32_t* cylinders,
                                                 std::uint32_t* heads,
                                                 std::uint32_t* sectorsPerTrack) {
  Triple triple;
  if (const StandInImage* image = Images().ForBiosDrive(biosDrive)) {
    triple = TripleFor(image->length / kStandInSectorSize);
  }
  if (cylinders != nullptr) *cylinders = triple.cylinders;
  if (heads != nullptr) *heads = triple.heads;
  if (sectorsPerTrack != nullptr) *sectorsPerTrack = triple.sectorsPerTrack;
}
#endif

TOLVAR_STAND_IN_EXPORT int attach_images32(const char* const* paths, unsigned count) {
  return Images().Attach(paths, count);
}
