#include <fmt/format.h>
#include <sys/stat.h>

#include <string>

#include "cli/cmd_browse_common.hpp"
#include "cli/commands.hpp"
#include "mount/fuse_volume.hpp"
#include "mount/volume_files.hpp"

namespace tolvar::cli {
namespace {

struct MountOptions {
  BrowseOptions browse;
  std::string mountPoint;
  bool foreground = false;
};

int RunMount(const MountOptions& options, CliRuntime& runtime) {
  // A wrong mount point is told before the image is read.
  struct stat st {};
  if (::stat(options.mountPoint.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    runtime.Fail(fmt::format("{}: no such folder to mount on", options.mountPoint));
    return kExitUsage;
  }
  auto mounted = OpenAndMount(options.browse, runtime);
  if (!mounted) return mounted.error().status;
  MountedVolume& volume = **mounted;
  OpenedImage& session = *volume.image;

  mountfs::VolumeFiles files(session.drives, volume.volume, volume.tree,
                             session.settings.sectorsPerRead, volume.image->path);
  mountfs::ServeOptions serve;
  serve.mountPoint = options.mountPoint;
  serve.foreground = options.foreground;
  serve.sourceName = volume.image->path;
  if (auto served = mountfs::ServeReadOnly(files, serve); !served) {
    runtime.Fail(served.error().message);
    return kExitUsage;
  }
  return kExitOk;
}

}  // namespace

void RegisterMountCommand(CLI::App& app, CliRuntime& runtime) {
  auto options = std::make_shared<MountOptions>();
  CLI::App* command = app.add_subcommand(
      "mount", "Show a volume read-only as a folder (unmount with `fusermount3 -u MOUNTPOINT`)");
  command->add_option("IMAGE", options->browse.image, "Disk image or block device")->required();
  command->add_option("MOUNTPOINT", options->mountPoint, "Empty folder to show the volume in")
      ->required();
  command
      ->add_option("-v,--volume", options->browse.volume, "Volume number as `tolvar scan` lists it")
      ->check(VolumeNumberRange());
  command->add_flag("--extensive", options->browse.extensive,
                    "Examine every inode for directories instead of walking from the root");
  command->add_flag("-f,--foreground", options->foreground,
                    "Stay in the foreground until unmounted or interrupted");
  AddDiscoveryOptions(*command, options->browse.discovery);
  command->callback([options, &runtime] { runtime.exitCode = RunMount(*options, runtime); });
}

}  // namespace tolvar::cli
