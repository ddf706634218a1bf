#pragma once

#include <expected>
#include <string>

#include "base/error.hpp"
#include "mount/volume_files.hpp"

namespace tolvar::mountfs {

struct ServeOptions {
  std::string mountPoint;
  bool foreground = false;
  std::string sourceName;  // shown in the host's mount table
};

// Mounts `files` read-only at the mount point and serves it, one request at
// a time, until it is unmounted (fusermount3 -u) or the process gets SIGINT,
// SIGTERM or SIGHUP; then unmounts and returns. Unless `foreground`, the
// process goes to the background once the mount is in place: the caller's
// process ends there with status 0 and a child carries on.
[[nodiscard]] std::expected<void, Error> ServeReadOnly(VolumeFiles& files,
                                                       const ServeOptions& options);

}  // namespace tolvar::mountfs
