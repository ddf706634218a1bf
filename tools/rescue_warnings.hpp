#pragma once

// What a rescue map leaves out of a volume's own structures: a volume read
// from zeros there has a tree that is incomplete or made up.

#include <string>
#include <vector>

#include "disk/rescue_map.hpp"
#include "volumes/volume_table.hpp"

namespace tolvar {

// One line for an unrescued superblock, one for an inode table not rescued
// whole; none for a volume the map covers.
[[nodiscard]] std::vector<std::string> UnrescuedVolumeWarnings(const RescueMap& map,
                                                               const VolumeInfo& volume);

}  // namespace tolvar
