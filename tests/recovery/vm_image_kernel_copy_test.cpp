// Virtual-machine images whose data lies byte for byte in a file (a fixed
// VHD, flat VMDK extents) hand their runs to the kernel's copy; the files
// and the report are the same as when every byte is read and written here.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "recovery/saving_run.hpp"
#include "tests/recovery/recovery_rig.hpp"

namespace tolvar {
namespace {

namespace fs = std::filesystem;
using imagekit::Fill;
using imagekit::FsKind;
using imagekit::Node;
using testing::RecoveryRig;

bool Shell(const std::string& command) { return std::system(command.c_str()) == 0; }

fs::path Convert(const fs::path& raw, const std::string& name, const std::string& options) {
  const fs::path out = raw.parent_path() / name;
  const std::string command =
      fmt::format("qemu-img convert -q -f raw {} {} {}", options, raw.string(), out.string());
  EXPECT_TRUE(Shell(command)) << command;
  return out;
}

// A descriptor of two FLAT extents splitting the disk in the middle of its
// data, the second stored 16 sectors into its file.
fs::path TwoFlatExtents(const fs::path& raw) {
  std::ifstream in(raw, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::uint64_t sectors = bytes.size() / 512;
  const std::uint64_t first = sectors / 2 + 3;
  const fs::path folder = raw.parent_path();
  std::ofstream(folder / "a.bin", std::ios::binary) << bytes.substr(0, first * 512);
  std::ofstream(folder / "b.bin", std::ios::binary)
      << std::string(16 * 512, '\x5a') << bytes.substr(first * 512);
  std::ofstream(folder / "two.vmdk")
      << "# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\n"
      << "createType=\"monolithicFlat\"\n\n# Extent description\n"
      << fmt::format("RW {} FLAT \"a.bin\" 0\nRW {} FLAT \"b.bin\" 16\n\n", first,
                     sectors - first)
      << "# The Disk Data Base\n#DDB\n\nddb.adapterType = \"ide\"\n";
  return folder / "two.vmdk";
}

struct Format {
  const char* name;
  RecoveryRig::ImageConverter convert;
};

const Format kFormats[] = {
    {"fixed VHD",
     [](const fs::path& raw) { return Convert(raw, "fixed.vhd", "-O vpc -o subformat=fixed"); }},
    {"monolithicFlat VMDK",
     [](const fs::path& raw) {
       return Convert(raw, "flat.vmdk", "-O vmdk -o subformat=monolithicFlat");
     }},
    {"twoGbMaxExtentFlat VMDK",
     [](const fs::path& raw) {
       return Convert(raw, "split.vmdk", "-O vmdk -o subformat=twoGbMaxExtentFlat");
     }},
    {"two FLAT extents, one at an offset", TwoFlatExtents},
};

TEST(VmImageKernelCopy, GivesTheSameFilesAndReportAsReadingAndWriting) {
  if (!Shell("command -v qemu-img >/dev/null")) GTEST_SKIP() << "qemu-img missing";
  imagekit::DiskDescription disk;
  imagekit::VolumeDescription volume;
  volume.fs = FsKind::kHtfs;
  volume.root = Node::Folder(
      "",
      {Node::File("small", "small\n"),
       Node::Filled("big", 3u << 20, Fill{Fill::Pattern::kRandom, 0, "", 7}),
       Node::Folder("sub", {Node::Filled("odd", 4097, Fill{Fill::Pattern::kOffset, 0, "", 0})})});
  disk.volumes.push_back(volume);

  for (const Format& format : kFormats) {
    std::vector<std::vector<std::pair<std::string, std::string>>> outputs;
    std::vector<std::vector<std::uint64_t>> summaries;
    for (const bool kernelCopy : {true, false}) {
      SCOPED_TRACE(fmt::format("{}, kernel copy {}", format.name, kernelCopy));
      RecoveryRig rig(disk, RecoveryRig::FromImageFile{}, format.convert);
      // The volume's first sector lies plainly in a file: its runs go to
      // the kernel's copy.
      ASSERT_TRUE(rig.Drives().FileBacking(rig.Volume().startSector, 1).has_value());
      rig.options.kernelCopy = kernelCopy;
      rig.settings.sectorsPerRead = 7;
      auto result = rig.Save();
      ASSERT_TRUE(result.has_value()) << result.error().message;
      auto written = testing::HostFiles(rig.Destination());
      std::erase_if(written, [](const auto& file) { return file.first.starts_with("tolvar-"); });
      outputs.push_back(std::move(written));
      const RunSummary& sum = result->report.summary;
      summaries.push_back({sum.files, sum.damagedFiles, sum.unreadableSectors, sum.bytes});
    }
    EXPECT_EQ(outputs[0], outputs[1]) << format.name;
    EXPECT_EQ(summaries[0], summaries[1]) << format.name;
    EXPECT_EQ(summaries[0][1], 0u) << format.name;  // nothing damaged
    for (const auto& [path, contents] : outputs[0]) {
      if (path == "big") {
        EXPECT_EQ(contents,
                  testing::FilledContents(Fill{Fill::Pattern::kRandom, 0, "", 7}, 3u << 20))
            << format.name;
      }
    }
  }
}

}  // namespace
}  // namespace tolvar
