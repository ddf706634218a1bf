// The commands on disks as users hold them: virtual-machine and forensic
// images made from a built raw image, and the raw image behind a read-only
// loop device.

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <vector>
#include <string>

#include "imagekit/image_builder.hpp"
#include "tests/cli/run_tolvar.hpp"
#include "tests/support/temp_dir.hpp"

namespace tolvar::testing {
namespace {

namespace fs = std::filesystem;
using imagekit::Fill;
using imagekit::Node;
using ::testing::HasSubstr;

imagekit::DiskDescription SampleDisk() {
  const Node tree = Node::Folder(
      "", {Node::File("readme.txt", "read me\n"),
           Node::Folder("data", {Node::Filled("ledger.db", 300 * 1024,
                                              Fill{Fill::Pattern::kRandom, 0, "", 3}),
                                 Node::Folder("old", {Node::File("1999.txt", "old\n")})}),
           Node::Symlink("latest", "data/ledger.db")});
  imagekit::DiskDescription disk;
  for (const auto kind : {imagekit::FsKind::kHtfs, imagekit::FsKind::kEafs}) {
    imagekit::VolumeDescription volume;
    volume.fs = kind;
    volume.root = tree;
    disk.volumes.push_back(volume);
  }
  return disk;
}

// Everything recovered below `root` but the reports (which name the source):
// relative path -> kind and content or link target.
std::map<std::string, std::string> TreeOf(const fs::path& root) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string relative = fs::relative(entry.path(), root).string();
    if (relative.starts_with("tolvar-report")) continue;
    if (entry.is_symlink()) {
      entries[relative] = "link " + fs::read_symlink(entry.path()).string();
    } else if (entry.is_directory()) {
      entries[relative] = "folder";
    } else {
      entries[relative] = "file " + Slurp(entry.path());
    }
  }
  return entries;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
    text.replace(at, from.size(), to);
    at += to.size();
  }
  return text;
}

bool Shell(const std::string& command) { return std::system(command.c_str()) == 0; }

class ImageCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    raw = (dir / "disk.img").string();
    auto built = imagekit::BuildImage(SampleDisk(), raw);
    ASSERT_TRUE(built.has_value()) << built.error().message;
  }

  // scan output with the image's path replaced, and the recovered trees of
  // both volumes.
  struct Seen {
    std::string scan;
    std::map<std::string, std::string> volumes[2];
  };
  Seen Look(const std::string& image, const std::string& tag) {
    Seen seen;
    const RunResult scan = RunTolvar({"scan", "--quiet", image});
    EXPECT_EQ(scan.status, 0) << scan.err;
    seen.scan = Replace(scan.out, image, "IMAGE");
    for (int v = 0; v < 2; ++v) {
      const fs::path out = dir / fmt::format("{}-{}", tag, v + 1);
      const RunResult run = RunTolvar(
          {"recover", "--quiet", image, "-v", std::to_string(v + 1), "-o", out.string()});
      EXPECT_EQ(run.status, 0) << run.err;
      seen.volumes[v] = TreeOf(out);
    }
    return seen;
  }

  TempDir dir;
  std::string raw;
};

TEST_F(ImageCommands, EveryFormatShowsTheSameVolumesAndFilesAsTheRawImage) {
  if (!Shell("command -v qemu-img >/dev/null && command -v ewfacquire >/dev/null")) {
    GTEST_SKIP() << "qemu-img or ewfacquire missing (scripts/install-deps installs them)";
  }
  const Seen expected = Look(raw, "raw");
  ASSERT_THAT(expected.scan, HasSubstr("HTFS"));
  ASSERT_EQ(expected.volumes[0].count("data/old/1999.txt"), 1u);

  const std::string d = dir.Path().string();
  const std::pair<const char*, std::string> formats[] = {
      {"split.vmdk", fmt::format("qemu-img convert -q -O vmdk -o subformat=twoGbMaxExtentSparse "
                                 "{} {}/split.vmdk",
                                 raw, d)},
      {"flat.vmdk", fmt::format("qemu-img convert -q -O vmdk -o subformat=monolithicFlat {} "
                                "{}/flat.vmdk",
                                raw, d)},
      {"disk.vhd", fmt::format("qemu-img convert -q -O vpc {} {}/disk.vhd", raw, d)},
      {"disk.vhdx", fmt::format("qemu-img convert -q -O vhdx {} {}/disk.vhdx", raw, d)},
      {"disk.qcow2", fmt::format("qemu-img convert -q -O qcow2 {} {}/disk.qcow2", raw, d)},
      {"case.E01", fmt::format("ewfacquire -u -q -S 1048576 -t {}/case {} >/dev/null", d, raw)},
  };
  for (const auto& [file, make] : formats) {
    SCOPED_TRACE(file);
    ASSERT_TRUE(Shell(make)) << make;
    const std::string image = (dir / file).string();
    const Seen seen = Look(image, file);
    EXPECT_EQ(seen.scan, expected.scan);
    EXPECT_EQ(seen.volumes[0], expected.volumes[0]);
    EXPECT_EQ(seen.volumes[1], expected.volumes[1]);
    fs::remove(image);
  }
}

TEST_F(ImageCommands, AnUnreadableFormatGetsOneLineWithTheConversion) {
  if (!Shell("command -v qemu-img >/dev/null")) GTEST_SKIP() << "qemu-img missing";
  const std::string vdi = (dir / "disk.vdi").string();
  ASSERT_TRUE(Shell(fmt::format("qemu-img convert -q -O vdi {} {}", raw, vdi)));
  for (const char* command : {"scan", "ls"}) {
    const RunResult run = RunTolvar({command, vdi});
    EXPECT_EQ(run.status, 2);
    ASSERT_EQ(run.ErrLines().size(), 1u) << run.err;
    EXPECT_THAT(run.err, HasSubstr("VirtualBox VDI"));
    EXPECT_THAT(run.err, HasSubstr("qemu-img convert -O raw"));
  }
}

// A real block device: the raw image behind a read-only loop device.
TEST_F(ImageCommands, ALoopDeviceIsReadAndLeftUnchanged) {
  if (::geteuid() != 0) GTEST_SKIP() << "loop devices need root";
  const fs::path attached = dir / "loop";
  if (!Shell(fmt::format("losetup -r -f --show {} >{} 2>/dev/null", raw, attached.string()))) {
    GTEST_SKIP() << "no loop device could be attached here (none free, or not allowed)";
  }
  std::string device = Slurp(attached);
  while (!device.empty() && (device.back() == '\n' || device.back() == ' ')) device.pop_back();
  ASSERT_TRUE(device.starts_with("/dev/loop")) << device;
  struct Detach {
    std::string device;
    ~Detach() { std::system(fmt::format("losetup -d {}", device).c_str()); }
  } detach{device};

  const std::string before = Slurp(device);
  ASSERT_EQ(before.size(), fs::file_size(raw));

  const RunResult drives = RunTolvar({"drives", device});
  ASSERT_EQ(drives.status, 0) << drives.err;
  // The model names the file behind the device; the geometry is the
  // kernel's heads and sectors per track, with as many whole cylinders as
  // the device's length holds.
  EXPECT_THAT(drives.out, HasSubstr("Loop Device disk.img")) << drives.out;
  std::istringstream row(drives.out.substr(drives.out.find("\n0 ")));
  std::vector<std::string> columns;
  for (std::string word; row >> word;) columns.push_back(word);
  ASSERT_GE(columns.size(), 3u);
  const auto cylinders = std::stoull(columns[columns.size() - 3]);
  const auto heads = std::stoull(columns[columns.size() - 2]);
  const auto perTrack = std::stoull(columns[columns.size() - 1]);
  const auto sectors = before.size() / 512;
  EXPECT_LE(cylinders * heads * perTrack, sectors);
  EXPECT_GT((cylinders + 1) * heads * perTrack, sectors);

  const Seen expected = Look(raw, "raw");
  const Seen seen = Look(device, "loop");
  EXPECT_EQ(Replace(seen.scan, device, "IMAGE"), expected.scan);
  EXPECT_EQ(seen.volumes[0], expected.volumes[0]);
  EXPECT_EQ(seen.volumes[1], expected.volumes[1]);
  EXPECT_TRUE(Slurp(device) == before) << "the device's bytes changed";
}

}  // namespace
}  // namespace tolvar::testing
