// Times `tolvar recover` of the 2 GiB / 20,000-file volume from a qcow2 and
// from a VMDK of the same disk against the raw image, and reading the whole
// volume through `tolvar mount` (tar of the mount point) against `tolvar
// recover` of it. Every figure is measured in the same run, images warm in
// the page cache.
//
//   tolvar-bench-images --tolvar PATH [--work DIR] [--keep]

#include <fmt/format.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "imagekit/image_builder.hpp"

namespace {

namespace fs = std::filesystem;
namespace imagekit = tolvar::imagekit;
using Clock = std::chrono::steady_clock;

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

bool Shell(const std::string& command) { return std::system(command.c_str()) == 0; }

std::optional<double> Timed(const std::string& command) {
  const auto start = Clock::now();
  const int status = std::system(command.c_str());
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (status != 0) {
    fmt::print(stderr, "failed ({}): {}\n", status, command);
    return std::nullopt;
  }
  return seconds;
}

void Line(const std::string& what, std::optional<double> seconds, double mib,
          std::optional<double> reference, const std::string& against) {
  if (!seconds) {
    fmt::print("  {:<34} not run\n", what);
    return;
  }
  std::string ratio;
  if (reference) ratio = fmt::format("  speed {:.2f} of {}", *reference / *seconds, against);
  fmt::print("  {:<34} {:8.2f} s  {:8.1f} MiB/s{}\n", what, *seconds, mib / *seconds, ratio);
}

bool IsMounted(const fs::path& mountPoint) {
  return Shell(fmt::format("grep -q ' {} ' /proc/self/mountinfo", mountPoint.string()));
}

}  // namespace

int main(int argc, char** argv) {
  std::string tolvar;
  bool keep = false;
  fs::path work = fs::temp_directory_path() / "tolvar-bench-images";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--tolvar" && i + 1 < argc) {
      tolvar = argv[++i];
    } else if (arg == "--work" && i + 1 < argc) {
      work = argv[++i];
    } else if (arg == "--keep") {
      keep = true;
    } else {
      fmt::print(stderr, "usage: tolvar-bench-images --tolvar PATH [--work DIR] [--keep]\n");
      return 2;
    }
  }
  if (tolvar.empty() || !Shell("command -v qemu-img >/dev/null 2>&1")) {
    fmt::print(stderr, "needs --tolvar PATH and qemu-img\n");
    return 2;
  }
  fs::remove_all(work);
  fs::create_directories(work);
  const fs::path raw = work / "disk.img";
  const fs::path qcow = work / "disk.qcow2";
  const fs::path vmdk = work / "disk.vmdk";
  const fs::path out = work / "out";
  const fs::path mnt = work / "mnt";

  // The same volume as the recovery benchmark's "spread" shape.
  const imagekit::TreeShape shape{20000, 200, 0, 214748, 1};
  imagekit::DiskDescription disk;
  imagekit::VolumeDescription volume;
  volume.fs = imagekit::FsKind::kHtfs;
  volume.root = imagekit::GenerateTree(shape);
  std::uint64_t bytes = 0;
  std::vector<const imagekit::Node*> pending{&volume.root};
  while (!pending.empty()) {
    const imagekit::Node* node = pending.back();
    pending.pop_back();
    bytes += node->size;
    for (const auto& child : node->children) pending.push_back(&child);
  }
  disk.volumes.push_back(std::move(volume));
  if (auto built = imagekit::BuildImage(disk, raw.string()); !built) {
    fmt::print(stderr, "image: {}\n", built.error().message);
    return 1;
  }
  if (!Shell(fmt::format("qemu-img convert -O qcow2 {} {}", Quote(raw), Quote(qcow))) ||
      !Shell(fmt::format("qemu-img convert -O vmdk {} {}", Quote(raw), Quote(vmdk)))) {
    return 1;
  }
  const double mib = static_cast<double>(bytes) / (1024.0 * 1024.0);
  fmt::print("== {} files in {} folders, {:.1f} MiB\n", shape.files, shape.folders, mib);

  auto recover = [&](const fs::path& image) {
    fs::remove_all(out);
    (void)std::system(fmt::format("cat {} >/dev/null; sync", Quote(image)).c_str());
    return Timed(fmt::format("{} recover --quiet {} -o {} >/dev/null", Quote(tolvar), Quote(image),
                             Quote(out)));
  };
  const auto fromRaw = recover(raw);
  Line("tolvar recover, raw image", fromRaw, mib, std::nullopt, "");
  Line("tolvar recover, qcow2", recover(qcow), mib, fromRaw, "raw (target 0.7)");
  Line("tolvar recover, VMDK", recover(vmdk), mib, fromRaw, "raw (target 0.7)");
  fs::remove_all(out);

  // tar writing to /dev/null skips reading file data, so its archive goes
  // through a pipe.
  if (Shell("test -r /dev/fuse && command -v fusermount3 >/dev/null 2>&1")) {
    fs::create_directories(mnt);
    (void)std::system(fmt::format("cat {} >/dev/null; sync", Quote(raw)).c_str());
    std::optional<double> throughMount;
    if (Shell(fmt::format("{} mount --quiet {} {}", Quote(tolvar), Quote(raw), Quote(mnt)))) {
      throughMount = Timed(fmt::format("tar cf - -C {} . | cat >/dev/null", Quote(mnt)));
      (void)std::system(fmt::format("fusermount3 -u {}", Quote(mnt)).c_str());
      for (int i = 0; i < 100 && IsMounted(mnt); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    }
    Line("tar of tolvar mount, raw image", throughMount, mib, fromRaw,
         "tolvar recover (target 0.5)");
  } else {
    fmt::print("  mount: /dev/fuse or fusermount3 not usable here, not run\n");
  }
  if (!keep) fs::remove_all(work);
  return 0;
}
