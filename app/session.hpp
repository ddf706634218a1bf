#pragma once

#include "app/wizard_state.hpp"
#include "disk/drive_table.hpp"
#include "fs/file_tree.hpp"
#include "tools/file_filter_list.hpp"
#include "volumes/volume_table.hpp"

namespace tolvar {

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
};

}  // namespace tolvar
