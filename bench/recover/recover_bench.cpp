// Times `tolvar recover` of a whole volume against copying the same tree out
// of an ext2 image with debugfs rdump and tsk_recover, and against cp -r of
// the tree and tar -xf of an archive of it from the page cache (the practical
// limit of creating the files). Three shapes: about 2 GiB in
// 20,000 files, a few large files (also compared with cat), and 100,000
// small files. Each tool runs --runs times (3), the order alternating from
// round to round, and the best run counts; --load N keeps N busy loops
// running beside them. tolvar also runs with --no-digests, to show what
// the per-file hashes cost. The system calls each tool makes are counted once
// with strace.
//
//   tolvar-bench-recover --tolvar PATH [--work DIR] [--out DIR] [--only spread|large|small]
//                        [--keep] [--load N] [--runs N] [--no-syscalls]
//
// --out puts the copies elsewhere than the work folder: on a tmpfs, say, so
// that the host disk's write-back, which varies from run to run on a shared
// machine, is left out and the tools' own costs compared.

#include <fcntl.h>
#include <fmt/format.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "imagekit/image_builder.hpp"

namespace {

namespace fs = std::filesystem;
namespace imagekit = tolvar::imagekit;
using Clock = std::chrono::steady_clock;

struct Shape {
  std::string name;
  imagekit::TreeShape tree;
};

struct Options {
  std::string tolvar;
  fs::path work;
  fs::path out;  // where the copies go; the work folder when empty
  bool keep = false;
  unsigned load = 0;
  unsigned runs = 3;
  bool countCalls = true;
};

struct Totals {
  std::uint64_t files = 0;
  std::uint64_t bytes = 0;
};

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

bool Have(const std::string& program) {
  return std::system(fmt::format("command -v {} >/dev/null 2>&1", program).c_str()) == 0;
}

// Runs a shell command and returns its wall time in seconds, or nothing when
// it failed.
// `peakKib` takes the largest resident size the command's processes reached.
std::optional<double> Timed(const std::string& command, long* peakKib = nullptr) {
  const auto start = Clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = -1;
  rusage usage{};
  if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid) status = -1;
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (status != 0) {
    fmt::print(stderr, "failed ({}): {}\n", status, command);
    return std::nullopt;
  }
  if (peakKib != nullptr) *peakKib = std::max(*peakKib, usage.ru_maxrss);
  return seconds;
}

// Writes the generated tree as host files, depth first without recursion.
bool WriteHostTree(const imagekit::Node& root, const fs::path& where, Totals& totals) {
  std::vector<std::pair<const imagekit::Node*, fs::path>> pending{{&root, where}};
  std::vector<std::byte> buffer(1 << 20);
  while (!pending.empty()) {
    auto [node, path] = pending.back();
    pending.pop_back();
    if (node->kind == imagekit::NodeKind::kFolder) {
      fs::create_directories(path);
      for (const imagekit::Node& child : node->children) {
        pending.emplace_back(&child, path / child.name);
      }
      continue;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    for (std::uint64_t offset = 0; offset < node->size;) {
      const std::size_t length =
          static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), node->size - offset));
      imagekit::FillBytes(node->fill, offset, std::span(buffer.data(), length));
      if (::write(fd, buffer.data(), length) != static_cast<ssize_t>(length)) {
        ::close(fd);
        return false;
      }
      offset += length;
    }
    const timespec times[2] = {{node->mtime, 0}, {node->mtime, 0}};
    ::futimens(fd, times);
    ::close(fd);
    ++totals.files;
    totals.bytes += node->size;
  }
  return true;
}

struct Tool {
  Tool(std::string toolName, std::string toolCommand, bool isOurs = false)
      : name(std::move(toolName)), command(std::move(toolCommand)), ours(isOurs) {}
  std::string name;
  std::string command;
  bool ours = false;
  std::vector<double> runs;  // seconds of each run that succeeded
  bool failed = false;
  long peakKib = 0;
};

std::string Figures(double seconds, const Totals& totals) {
  const double mb = static_cast<double>(totals.bytes) / (1024.0 * 1024.0);
  return fmt::format("{:8.2f} s  {:9.1f} MB/s  {:9.0f} files/s", seconds, mb / seconds,
                     static_cast<double>(totals.files) / seconds);
}

std::optional<double> Best(const Tool& tool) {
  if (tool.failed || tool.runs.empty()) return std::nullopt;
  return *std::min_element(tool.runs.begin(), tool.runs.end());
}

// Busy loops beside the runs, as other work on the machine would be.
class Load {
 public:
  explicit Load(unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
      const pid_t pid = ::fork();
      if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the benchmark
        volatile std::uint64_t spin = 0;
        for (;;) spin = spin + 1;
      }
      if (pid > 0) children_.push_back(pid);
    }
  }
  ~Load() {
    for (const pid_t pid : children_) ::kill(pid, SIGKILL);
    for (const pid_t pid : children_) ::waitpid(pid, nullptr, 0);
  }
  Load(const Load&) = delete;
  Load& operator=(const Load&) = delete;

 private:
  std::vector<pid_t> children_;
};

// The system calls a command makes, all its processes together, per strace -c.
std::optional<std::uint64_t> CountSystemCalls(const std::string& command, const fs::path& log) {
  const std::string traced = fmt::format("strace -c -f -o {} sh -c {} >/dev/null 2>&1",
                                         Quote(log.string()), Quote(command));
  if (std::system(traced.c_str()) != 0) return std::nullopt;
  std::ifstream in(log);
  std::string line;
  std::optional<std::uint64_t> total;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::vector<std::string> fields;
    for (std::string word; words >> word;) fields.push_back(word);
    // "100.00  seconds  usecs/call  calls  [errors]  total"
    if (fields.size() >= 5 && fields.back() == "total") total = std::stoull(fields[3]);
  }
  return total;
}

std::string LoadLine() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return fmt::format("load average {} {} {}", one, five, fifteen);
}

bool RunShape(const Shape& shape, const Options& options) {
  const fs::path base = options.work / shape.name;
  fs::remove_all(base);
  fs::create_directories(base);
  const fs::path tree = base / "tree";
  const fs::path sco = base / "sco.img";
  const fs::path ext2 = base / "ext2.img";
  const fs::path out = options.out.empty() ? base / "out" : options.out / shape.name;

  fmt::print("== {}: {} files in {} folders, {} to {} bytes each\n", shape.name, shape.tree.files,
             shape.tree.folders, shape.tree.minSize, shape.tree.maxSize);
  const imagekit::Node root = imagekit::GenerateTree(shape.tree);
  Totals totals;
  if (!WriteHostTree(root, tree, totals)) {
    fmt::print(stderr, "cannot write the host tree\n");
    return false;
  }
  imagekit::DiskDescription disk;
  imagekit::VolumeDescription volume;
  volume.fs = imagekit::FsKind::kHtfs;
  volume.root = root;
  disk.volumes.push_back(std::move(volume));
  const auto built = imagekit::BuildImage(disk, sco.string());
  if (!built) {
    fmt::print(stderr, "image: {}\n", built.error().message);
    return false;
  }
  const std::uint64_t ext2Kib = totals.bytes / 1024 * 13 / 10 + totals.files * 8 + 65536;
  const bool haveExt2 =
      std::system(fmt::format("mke2fs -q -F -t ext2 -b 4096 -N {} -d {} {} {}k >/dev/null 2>&1",
                              totals.files + 10000, Quote(tree.string()), Quote(ext2.string()),
                              ext2Kib)
                      .c_str()) == 0;
  const fs::path archive = base / "tree.tar";
  const bool haveArchive =
      std::system(fmt::format("tar -cf {} -C {} .", Quote(archive.string()), Quote(tree.string()))
                      .c_str()) == 0;
  fmt::print("  {} files, {:.1f} MiB; {} busy loop(s) beside the runs; best of {}\n", totals.files,
             static_cast<double>(totals.bytes) / (1024.0 * 1024.0), options.load, options.runs);

  std::vector<Tool> tools;
  tools.push_back({"tolvar recover",
                   fmt::format("{} recover {} -o {} --quiet >/dev/null", Quote(options.tolvar),
                               Quote(sco.string()), Quote(out.string())),
                   true});
  // The same without the per-file SHA-256 and MD5: what the hashing costs,
  // and the copy's own speed.
  tools.push_back({"tolvar --no-digests",
                   fmt::format("{} recover {} -o {} --quiet --no-digests >/dev/null",
                               Quote(options.tolvar), Quote(sco.string()), Quote(out.string()))});
  if (haveExt2 && Have("debugfs")) {
    tools.push_back(
        {"debugfs rdump",
         fmt::format("mkdir -p {0} && debugfs -R {1} {2} >/dev/null 2>&1", Quote(out.string()),
                     Quote(fmt::format("rdump / {}", out.string())), Quote(ext2.string()))});
  }
  if (haveExt2 && Have("tsk_recover")) {
    tools.push_back({"tsk_recover -a", fmt::format("tsk_recover -a {} {} >/dev/null",
                                                   Quote(ext2.string()), Quote(out.string()))});
  }
  tools.push_back(
      {"cp -r (the limit)", fmt::format("cp -r {} {}", Quote(tree.string()), Quote(out.string()))});
  if (haveArchive) {
    tools.push_back({"tar -xf (the limit)",
                     fmt::format("cat {0} >/dev/null && mkdir -p {1} && tar -xf {0} -C {1}",
                                 Quote(archive.string()), Quote(out.string()))});
  }
  if (shape.name == "spread" && Have("fusermount3")) {
    // Every file read through the mount, as a backup of the mountpoint would;
    // GNU tar reads nothing when its archive is /dev/null, hence the pipe.
    const fs::path mountPoint = base / "mnt";
    fs::create_directories(mountPoint);
    tools.push_back(
        {"tar -cf - of tolvar mount",
         fmt::format("{0} mount -q {1} {2} && tar -cf - -C {2} . | cat >/dev/null; "
                     "status=$?; fusermount3 -u {2}; exit $status",
                     Quote(options.tolvar), Quote(sco.string()), Quote(mountPoint.string()))});
  }
  if (shape.name == "large") {
    // cat of the same number of bytes from the page cache into one file.
    tools.push_back(
        {"cat image > file", fmt::format("mkdir -p {0} && head -c {1} {2} > {0}/copy",
                                         Quote(out.string()), totals.bytes, Quote(sco.string()))});
  }

  // Everything read comes from the page cache.
  const std::string warm =
      fmt::format("cat {} {} >/dev/null 2>&1; find {} -type f -exec cat {{}} + >/dev/null",
                  Quote(sco.string()), haveExt2 ? Quote(ext2.string()) : "", Quote(tree.string()));
  auto prepare = [&] {
    fs::remove_all(out);
    (void)std::system(warm.c_str());
    (void)std::system("sync");
  };
  const std::string loadBefore = LoadLine();
  {
    const Load load(options.load);
    for (unsigned round = 0; round < options.runs; ++round) {
      // Alternate the order, so that no tool always runs first after the
      // tree was warmed, or always last.
      for (std::size_t i = 0; i < tools.size(); ++i) {
        Tool& tool = tools[round % 2 == 0 ? i : tools.size() - 1 - i];
        if (tool.failed) continue;
        prepare();
        const auto seconds = Timed(tool.command, &tool.peakKib);
        if (seconds) {
          tool.runs.push_back(*seconds);
        } else {
          tool.failed = true;
        }
      }
    }
  }
  const std::optional<double> ours = Best(tools.front());
  const std::optional<double> undigested = Best(tools[1]);
  for (const Tool& tool : tools) {
    const auto best = Best(tool);
    if (!best) {
      fmt::print("  {:<28} not run\n", tool.name);
      continue;
    }
    std::string ratio;
    if (!tool.ours && ours) ratio = fmt::format("  tolvar/this {:.2f}x", *best / *ours);
    if (!tool.ours && &tool != &tools[1] && undigested) {
      ratio += fmt::format("  --no-digests/this {:.2f}x", *best / *undigested);
    }
    fmt::print("  {:<28} {}{}\n", tool.name, Figures(*best, totals), ratio);
  }
  fmt::print("  ({} before the runs, {} after; tolvar recover peak memory {:.1f} MiB)\n",
             loadBefore, LoadLine(), static_cast<double>(tools.front().peakKib) / 1024.0);
  fmt::print("  single runs:\n");
  for (const Tool& tool : tools) {
    for (std::size_t i = 0; i < tool.runs.size(); ++i) {
      fmt::print("    {:<26} #{} {}\n", tool.name, i + 1, Figures(tool.runs[i], totals));
    }
  }
  if (options.countCalls && Have("strace")) {
    fmt::print("  system calls (strace -c -f, without load):\n");
    for (const Tool& tool : tools) {
      if (tool.name.find("(the limit)") != std::string::npos || tool.name.starts_with("cat") ||
          tool.name.find("mount") != std::string::npos) {
        continue;
      }
      prepare();
      const auto calls = CountSystemCalls(tool.command, base / "strace.txt");
      if (!calls) {
        fmt::print("    {:<26} not counted\n", tool.name);
        continue;
      }
      fmt::print("    {:<26} {:10} calls  {:6.1f} per file\n", tool.name, *calls,
                 static_cast<double>(*calls) /
                     static_cast<double>(std::max<std::uint64_t>(totals.files, 1)));
    }
  }
  if (!options.keep) {
    fs::remove_all(base);
    fs::remove_all(out);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string only;
  options.work = fs::temp_directory_path() / "tolvar-bench-recover";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--tolvar" && i + 1 < argc) {
      options.tolvar = argv[++i];
    } else if (arg == "--work" && i + 1 < argc) {
      options.work = argv[++i];
    } else if (arg == "--out" && i + 1 < argc) {
      options.out = argv[++i];
    } else if (arg == "--keep") {
      options.keep = true;
    } else if (arg == "--only" && i + 1 < argc) {
      only = argv[++i];
    } else if (arg == "--load" && i + 1 < argc) {
      options.load = static_cast<unsigned>(std::stoul(argv[++i]));
    } else if (arg == "--runs" && i + 1 < argc) {
      options.runs = std::max(1u, static_cast<unsigned>(std::stoul(argv[++i])));
    } else if (arg == "--no-syscalls") {
      options.countCalls = false;
    } else {
      fmt::print(stderr,
                 "usage: tolvar-bench-recover --tolvar PATH [--work DIR] [--out DIR] [--only NAME] "
                 "[--keep] [--load N] [--runs N] [--no-syscalls]\n");
      return 2;
    }
  }
  if (options.tolvar.empty()) {
    fmt::print(stderr, "--tolvar PATH is required\n");
    return 2;
  }
  const std::vector<Shape> shapes = {
      {"spread", {20000, 200, 0, 214748, 1}},
      {"large", {8, 1, 256u << 20, 256u << 20, 2}},
      {"small", {100000, 1000, 0, 4096, 3}},
  };
  for (const Shape& shape : shapes) {
    if (!only.empty() && shape.name != only) continue;
    if (!RunShape(shape, options)) return 1;
  }
  return 0;
}
