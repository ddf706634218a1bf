// Times `tolvar recover` of a whole volume against copying the same tree out
// of an ext2 image with debugfs rdump and tsk_recover, and against cp -r of
// the tree and tar -xf of an archive of it from the page cache (the practical
// limit of creating the files). Three shapes: about 2 GiB in
// 20,000 files, a few large files (also compared with cat), and 100,000
// small files.
//
//   tolvar-bench-recover --tolvar PATH [--work DIR] [--only spread|large|small] [--keep]

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
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

void Report(const std::string& what, std::optional<double> seconds, const Totals& totals,
            std::optional<double> ours) {
  if (!seconds) {
    fmt::print("  {:<28} not run\n", what);
    return;
  }
  const double mb = static_cast<double>(totals.bytes) / (1024.0 * 1024.0);
  std::string ratio;
  if (ours && what.rfind("tolvar", 0) != 0)
    ratio = fmt::format("  tolvar/this {:.2f}x", *seconds / *ours);
  fmt::print("  {:<28} {:8.2f} s  {:9.1f} MB/s  {:9.0f} files/s{}\n", what, *seconds, mb / *seconds,
             static_cast<double>(totals.files) / *seconds, ratio);
}

bool RunShape(const Shape& shape, const std::string& tolvar, const fs::path& work, bool keep) {
  const fs::path base = work / shape.name;
  fs::remove_all(base);
  fs::create_directories(base);
  const fs::path tree = base / "tree";
  const fs::path sco = base / "sco.img";
  const fs::path ext2 = base / "ext2.img";
  const fs::path out = base / "out";

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
  fmt::print("  {} files, {:.1f} MiB\n", totals.files,
             static_cast<double>(totals.bytes) / (1024.0 * 1024.0));

  // Everything read comes from the page cache.
  const std::string warm =
      fmt::format("cat {} {} >/dev/null 2>&1; find {} -type f -exec cat {{}} + >/dev/null",
                  Quote(sco.string()), haveExt2 ? Quote(ext2.string()) : "", Quote(tree.string()));
  auto run = [&](const std::string& command) {
    fs::remove_all(out);
    (void)std::system(warm.c_str());
    (void)std::system("sync");
    return Timed(command);
  };
  const auto ours = run(fmt::format("{} recover {} -o {} --quiet >/dev/null", Quote(tolvar),
                                    Quote(sco.string()), Quote(out.string())));
  Report("tolvar recover", ours, totals, std::nullopt);
  if (haveExt2 && Have("debugfs")) {
    fs::create_directories(out);
    const auto time =
        run(fmt::format("mkdir -p {0} && debugfs -R {1} {2} >/dev/null 2>&1", Quote(out.string()),
                        Quote(fmt::format("rdump / {}", out.string())), Quote(ext2.string())));
    Report("debugfs rdump", time, totals, ours);
  }
  if (haveExt2 && Have("tsk_recover")) {
    Report("tsk_recover -a",
           run(fmt::format("tsk_recover -a {} {} >/dev/null", Quote(ext2.string()),
                           Quote(out.string()))),
           totals, ours);
  }
  Report("cp -r (the limit)",
         run(fmt::format("cp -r {} {}", Quote(tree.string()), Quote(out.string()))), totals, ours);
  const fs::path archive = base / "tree.tar";
  if (std::system(fmt::format("tar -cf {} -C {} .", Quote(archive.string()), Quote(tree.string()))
                      .c_str()) == 0) {
    Report("tar -xf (the limit)",
           run(fmt::format("cat {0} >/dev/null && mkdir -p {1} && tar -xf {0} -C {1}",
                           Quote(archive.string()), Quote(out.string()))),
           totals, ours);
  }
  if (shape.name == "large") {
    // cat of the same number of bytes from the page cache into one file.
    Report("cat image > file",
           run(fmt::format("mkdir -p {0} && head -c {1} {2} > {0}/copy", Quote(out.string()),
                           totals.bytes, Quote(sco.string()))),
           totals, ours);
  }
  if (!keep) fs::remove_all(base);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string tolvar;
  std::string only;
  bool keep = false;
  fs::path work = fs::temp_directory_path() / "tolvar-bench-recover";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--tolvar" && i + 1 < argc) {
      tolvar = argv[++i];
    } else if (arg == "--work" && i + 1 < argc) {
      work = argv[++i];
    } else if (arg == "--keep") {
      keep = true;
    } else if (arg == "--only" && i + 1 < argc) {
      only = argv[++i];
    } else {
      fmt::print(stderr, "usage: tolvar-bench-recover --tolvar PATH [--work DIR] [--only NAME] [--keep]\n");
      return 2;
    }
  }
  if (tolvar.empty()) {
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
    if (!RunShape(shape, tolvar, work, keep)) return 1;
  }
  return 0;
}
