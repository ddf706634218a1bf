// Times `tolvar recover` of the 2 GiB / 20,000-file volume from a qcow2 and
// from a VMDK of the same disk against the raw image, and reading the whole
// volume through `tolvar mount` (tar of the mount point) against `tolvar
// recover` of it. Every figure is measured in the same run, images warm in
// the page cache. Each figure is the fastest of --repeat runs (3 unless
// told), the formats taken in turn in each round, since the machine may be
// shared; the CPU seconds (user and system) of that run are printed beside.
//
// --out DIR puts the recovered files elsewhere (a tmpfs such as /dev/shm
// takes the host file system's cost of creating 20,000 files out of the
// figures).
//
//   tolvar-bench-images --tolvar PATH [--work DIR] [--out DIR] [--keep] [--repeat N]

#include <fmt/format.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

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

struct Timing {
  double seconds;  // wall clock
  double cpu;      // user and system time of the command and its children
};

double ChildrenCpu() {
  rusage usage{};
  ::getrusage(RUSAGE_CHILDREN, &usage);
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::optional<Timing> Timed(const std::string& command) {
  const double cpuBefore = ChildrenCpu();
  const auto start = Clock::now();
  const int status = std::system(command.c_str());
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (status != 0) {
    fmt::print(stderr, "failed ({}): {}\n", status, command);
    return std::nullopt;
  }
  return Timing{seconds, ChildrenCpu() - cpuBefore};
}

// Keeps the fastest run.
void Keep(std::optional<Timing>& best, const std::optional<Timing>& run) {
  if (run && (!best || run->seconds < best->seconds)) best = run;
}

void Line(const std::string& what, const std::optional<Timing>& timing, double mib,
          const std::optional<Timing>& reference, const std::string& against) {
  if (!timing) {
    fmt::print("  {:<34} not run\n", what);
    return;
  }
  std::string ratio;
  if (reference) {
    ratio = fmt::format("  speed {:.2f} of {}", reference->seconds / timing->seconds, against);
  }
  fmt::print("  {:<34} {:8.2f} s  {:8.1f} MiB/s  cpu {:6.2f} s{}\n", what, timing->seconds,
             mib / timing->seconds, timing->cpu, ratio);
}

bool IsMounted(const fs::path& mountPoint) {
  return Shell(fmt::format("grep -q ' {} ' /proc/self/mountinfo", mountPoint.string()));
}

}  // namespace

int main(int argc, char** argv) {
  std::string tolvar;
  bool keep = false;
  int repeat = 3;
  std::optional<fs::path> outArg;
  fs::path work = fs::temp_directory_path() / "tolvar-bench-images";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--tolvar" && i + 1 < argc) {
      tolvar = argv[++i];
    } else if (arg == "--work" && i + 1 < argc) {
      work = argv[++i];
    } else if (arg == "--out" && i + 1 < argc) {
      outArg = fs::path(argv[++i]);
    } else if (arg == "--keep") {
      keep = true;
    } else if (arg == "--repeat" && i + 1 < argc) {
      repeat = std::max(1, std::atoi(argv[++i]));
    } else {
      fmt::print(stderr,
                 "usage: tolvar-bench-images --tolvar PATH [--work DIR] [--out DIR] [--keep] "
                 "[--repeat N]\n");
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
  const fs::path out = outArg ? *outArg / "tolvar-bench-images-out" : work / "out";
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
  fmt::print("== {} files in {} folders, {:.1f} MiB; fastest of {} runs\n", shape.files,
             shape.folders, mib, repeat);

  auto recover = [&](const fs::path& image) {
    fs::remove_all(out);
    (void)std::system(fmt::format("cat {} >/dev/null; sync", Quote(image)).c_str());
    return Timed(fmt::format("{} recover --quiet {} -o {} >/dev/null", Quote(tolvar), Quote(image),
                             Quote(out)));
  };
  std::optional<Timing> fromRaw;
  std::optional<Timing> fromQcow;
  std::optional<Timing> fromVmdk;
  for (int round = 0; round < repeat; ++round) {
    Keep(fromRaw, recover(raw));
    Keep(fromQcow, recover(qcow));
    Keep(fromVmdk, recover(vmdk));
  }
  Line("tolvar recover, raw image", fromRaw, mib, std::nullopt, "");
  Line("tolvar recover, qcow2", fromQcow, mib, fromRaw, "raw (target 0.7)");
  Line("tolvar recover, VMDK", fromVmdk, mib, fromRaw, "raw (target 0.7)");
  fs::remove_all(out);

  // tar writing to /dev/null skips reading file data, so its archive goes
  // through a pipe.
  if (Shell("test -r /dev/fuse && command -v fusermount3 >/dev/null 2>&1")) {
    fs::create_directories(mnt);
    (void)std::system(fmt::format("cat {} >/dev/null; sync", Quote(raw)).c_str());
    std::optional<Timing> throughMount;
    if (Shell(fmt::format("{} mount --quiet {} {}", Quote(tolvar), Quote(raw), Quote(mnt)))) {
      for (int round = 0; round < repeat; ++round) {
        Keep(throughMount, Timed(fmt::format("tar cf - -C {} . | cat >/dev/null", Quote(mnt))));
      }
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
