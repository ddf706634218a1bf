#pragma once

#include <map>
#include <memory>
#include <string>

#include "app/saved_digests.hpp"
#include "app/wizard_state.hpp"
#include "disk/drive_table.hpp"
#include "disk/rescue_map.hpp"
#include "fs/file_tree.hpp"
#include "tools/file_filter_list.hpp"
#include "volumes/volume_table.hpp"

namespace tolvar {

// The mapfile an image drive is read through, and its map.
struct DriveRescueMap {
  std::string mapfile;
  std::shared_ptr<const RescueMap> map;
};

// Everything that lives for the whole run: `main` creates one, tests as many
// as they like. Nothing here is global.
struct Session {
  explicit Session(DiskRoute route = DiskRoute::kNtFamily)
      : settings(RecoverySettings::DefaultsFor(route)) {}
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  WizardState state;
  RecoverySettings settings;
  DriveTable drives{settings};
  VolumeTable volumes;
  FileTree fileTree;
  FileFilterList filters;
  SavedDigests savedDigests;  // of every file saved so far
  // By the drive's path; drives read without a mapfile have none.
  std::map<std::string, DriveRescueMap> rescueMaps;
};

}  // namespace tolvar
