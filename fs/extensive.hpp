#pragma once

// The Extensive mode: every inode slot of the table is examined for a
// directory that names itself in its first block; what the directories list
// names them, and folders whose parent never turned up are gathered below
// "LostDir".

#include <cstdint>
#include <string_view>

#include "fs/mount.hpp"

namespace tolvar {


// The inode-table sectors the scan reads: the table's own count, but never
// past the end of the volume or of the drive (`driveSectors`), and for EAFS
// never past the last inode number a directory entry can hold.
[[nodiscard]] std::uint32_t ExtensiveScanSectors(const VolumeInfo& volume,
                                                 std::uint64_t driveSectors = UINT64_MAX);

// Scans the inode table (a stop ends it at the next sector). Each directory
// found becomes a "Dir" + inode folder (the root excepted) and is walked;
// its sub-directories become folder-name records.
[[nodiscard]] MountResult ExtensiveScan(MountContext& context);

// Gives each folder the name its parent lists it under, when the parent's
// listing was seen.
void FinalizeFolderNames(MountContext& context);

// Adds "LostDir" below the root and, below it, one "Dir" + inode placeholder
// for each parent that no folder stands for. Folders still cut off from the
// root afterwards (their parents form a cycle) are hung below "LostDir".
[[nodiscard]] MountResult GatherLostFolders(MountContext& context);

}  // namespace tolvar
