// JSON descriptions, host folders and the command line.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "imagekit/image_builder.hpp"
#include "tests/imagekit/sco_decode.hpp"
#include "tests/support/temp_dir.hpp"

namespace tolvar::imagekit {
namespace {

constexpr const char* kDescription = R"({
  "layout": "absolute",
  "volumes": [
    {"type": "eafs", "start": 4096, "fname": "u", "fpack": "hd0b", "time": 900000000,
     "root": {"mtime": 800000000, "entries": [
       {"name": "notes.txt", "contents": "hi", "mtime": 1, "mode": "0600", "uid": 7},
       {"name": "data", "type": "folder", "entries": [
         {"name": "ledger.dat", "size": "3K", "fill": {"pattern": "text", "text": "AB"}},
         {"name": "raw", "contentsHex": "00ff10"}
       ]},
       {"name": "same", "type": "link", "target": "/notes.txt"},
       {"name": "tty01", "type": "char", "major": 3, "minor": 1},
       {"name": "odd", "rawMode": "0170644"}
     ]}},
    {"type": "htfs"}
  ],
  "damage": [
    {"kind": "unreadable", "sectors": "10-12"},
    {"kind": "set-time", "path": "/data/raw", "time": 0},
    {"kind": "patch", "sector": 2, "offset": 4, "hex": "cafe"}
  ]
})";

TEST(Description, BuildsWhatItSays) {
  auto disk = ParseDescription(kDescription);
  ASSERT_TRUE(disk) << disk.error().message;
  EXPECT_EQ(disk->layout, PartitionLayout::kAbsolute);
  ASSERT_EQ(disk->volumes.size(), 2u);
  const VolumeDescription& u = disk->volumes[0];
  EXPECT_EQ(u.fs, FsKind::kEafs);
  EXPECT_EQ(u.startSector, 4096u);
  EXPECT_EQ(u.root.mtime, 800000000);
  ASSERT_EQ(u.root.children.size(), 5u);
  EXPECT_EQ(u.root.children[0].permissions, 0600);
  EXPECT_EQ(u.root.children[1].children[0].size, 3072u);
  EXPECT_EQ(u.root.children[1].children[1].contents, std::string("\0\xff\x10", 3));
  EXPECT_EQ(u.root.children[3].device, 3u * 256 + 1);
  EXPECT_EQ(u.root.children[4].rawMode, 0170644);

  auto image = BuildImageBytes(*disk);
  ASSERT_TRUE(image) << image.error().message;
  const VolumeReport& v = image->report.volumes[0];
  EXPECT_EQ(v.startSector, 4096u);
  EXPECT_EQ(v.time, 900000000);
  auto view = testing::View(image->bytes, v);
  EXPECT_EQ(view.Time(v.Find("/data/raw")->inode), 0u);
  EXPECT_EQ(view.Mode(v.Find("/odd")->inode), 0170644u);
  EXPECT_EQ(view.Links(v.Find("/same")->inode), 2u);
  std::uint64_t ledger = view.Block(v.Find("/data/ledger.dat")->dataBlocks[0]);
  EXPECT_EQ(view.disk.Text(ledger, 5), "ABABA");
  EXPECT_EQ(view.disk.U16(2 * 512 + 4), 0xFECAu);
  EXPECT_EQ(image->report.unreadable,
            (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{10, 12}}));
}

TEST(Description, ErrorsNameTheOffendingValue) {
  auto error = [](std::string_view json) {
    auto d = ParseDescription(json);
    return d ? std::string("parsed") : d.error().message;
  };
  EXPECT_NE(error("{").find("not valid JSON"), std::string::npos);
  EXPECT_NE(error(R"({"layuot": "real"})").find("unknown key \"layuot\""), std::string::npos);
  EXPECT_NE(error(R"({"volumes": [{"type": "ufs"}]})").find("volumes[0].type"), std::string::npos);
  EXPECT_NE(error(R"({"volumes": [{"type": "htfs", "root": {"entries": [{"name": "x"},
            {"name": "y", "size": -1}]}}]})")
                .find("volumes[0].root.entries[1].size"),
            std::string::npos);
  EXPECT_NE(error(R"({"damage": [{"kind": "zero-inode"}]})").find("needs a \"path\""),
            std::string::npos);
  EXPECT_NE(error(R"({"volumes": [{"type": "htfs", "root": {"entries": [{"name": "l",
            "type": "link"}]}}]})")
                .find("target"),
            std::string::npos);
  EXPECT_EQ(ParseSize("4G"), 4ull << 30);
  EXPECT_EQ(ParseSize("10s"), 5120u);
  EXPECT_FALSE(ParseSize("4X"));
}

TEST(HostFolder, BecomesAVolumeWithLinksDevicesAndTimes) {
  tolvar::testing::TempDir dir;
  namespace fs = std::filesystem;
  fs::create_directories(dir / "tree/sub");
  std::ofstream(dir / "tree/sub/b.txt") << "bee";
  std::ofstream(dir / "tree/a.txt") << "ay";
  fs::create_hard_link(dir / "tree/a.txt", dir / "tree/sub/a-again.txt");
  fs::create_symlink("a.txt", dir / "tree/link");
  ASSERT_EQ(::mkfifo((dir / "tree/pipe").c_str(), 0644), 0);
  int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string sockPath = (dir / "tree/sock").string();
  ASSERT_LT(sockPath.size(), sizeof addr.sun_path);
  std::copy(sockPath.begin(), sockPath.end(), addr.sun_path);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  fs::last_write_time(dir / "tree/a.txt",
                      fs::file_time_type::clock::from_sys(
                          std::chrono::sys_seconds{std::chrono::seconds{1165482300}}));

  std::vector<std::string> warnings;
  auto root = ReadHostFolder((dir / "tree").string(), &warnings);
  ::close(sock);
  ASSERT_TRUE(root) << root.error().message;
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("sock"), std::string::npos);
  ASSERT_EQ(root->children.size(), 4u);  // a.txt, link, pipe, sub: sorted, no socket
  EXPECT_EQ(root->children[0].name, "a.txt");
  EXPECT_EQ(root->children[0].mtime, 1165482300);
  EXPECT_EQ(root->children[1].kind, NodeKind::kSymlink);
  EXPECT_EQ(root->children[1].target, "a.txt");
  EXPECT_EQ(root->children[2].kind, NodeKind::kPipe);
  EXPECT_EQ(root->children[3].children[0].kind, NodeKind::kHardLink);
  EXPECT_EQ(root->children[3].children[0].target, "/a.txt");

  DiskDescription disk;
  disk.volumes.emplace_back();
  disk.volumes[0].root = std::move(*root);
  auto image = BuildImageBytes(disk);
  ASSERT_TRUE(image) << image.error().message;
  const VolumeReport& v = image->report.volumes[0];
  EXPECT_EQ(v.Find("/sub/a-again.txt")->inode, v.Find("/a.txt")->inode);
  auto view = testing::View(image->bytes, v);
  EXPECT_EQ(view.disk.Text(view.Block(v.Find("/sub/b.txt")->dataBlocks[0]), 3), "bee");
  EXPECT_EQ(view.Time(v.Find("/a.txt")->inode), 1165482300u);

  EXPECT_FALSE(ReadHostFolder((dir / "missing").string()));
}

TEST(Command, BuildsTheSampleDiskThatTheProbeRuleReads) {
  const std::string mkimage = TOLVAR_MKIMAGE_PATH;
  const std::string sample = TOLVAR_SAMPLE_DIR;
  tolvar::testing::TempDir dir;
  std::string image = (dir / "sample.img").string();
  std::string command = mkimage + " -q -o " + image + " --htfs " + sample + "/root --eafs " +
                        sample + "/u --report " + (dir / "report.json").string();
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  std::ifstream in(image, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  std::string chars = text.str();
  std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(chars.data()), chars.size());
  auto starts = testing::StartsByRecordRule(testing::Decoded(bytes));
  ASSERT_EQ(starts.size(), 2u);
  testing::Decoded d(bytes);
  EXPECT_EQ(d.U32((starts[0] + 1) * 512 + 504), 0xA060492Au);
  EXPECT_EQ(d.U32((starts[1] + 1) * 512 + 504), 0xFD187E21u);
  EXPECT_TRUE(std::filesystem::exists(dir / "report.json"));

  std::string bad = mkimage + " -q -o " + image + " --layout absolute 2>/dev/null";
  EXPECT_NE(std::system(bad.c_str()), 0);  // nothing to write
}

TEST(Command, NumbersOutOfRangeAreUsageErrorsWithAClearLine) {
  const std::string mkimage = TOLVAR_MKIMAGE_PATH;
  tolvar::testing::TempDir dir;
  const std::string image = (dir / "x.img").string();
  const std::string errors = (dir / "err").string();
  auto run = [&](const std::string& arguments) {
    const std::string command =
        mkimage + " -q -o " + image + " " + arguments + " 2>" + errors + " >/dev/null";
    const int raw = std::system(command.c_str());
    std::ifstream in(errors);
    std::ostringstream text;
    text << in.rdbuf();
    return std::make_pair(WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, text.str());
  };
  for (const char* shape : {"htfs:1:-1", "htfs:-1:1", "htfs:99999999999:1", "eafs:1:1:-5",
                            "htfs:1:1:4294967296", "htfs: 1:1", "htfs:1x:1"}) {
    const auto [status, text] = run(std::string("--generate '") + shape + "'");
    EXPECT_EQ(status, 2) << shape;
    EXPECT_THAT(text, ::testing::HasSubstr("must be a whole number from 0 to")) << shape;
  }
  const std::string description = (dir / "d.json").string();
  for (const char* json :
       {R"({"volumes":[{"type":"htfs","inodes":4294967295}]})",
        R"({"volumes":[{"type":"htfs","blocks":4294967295}]})",
        R"({"size":"16T","volumes":[{"type":"htfs"}]})",
        R"({"volumes":[{"type":"htfs","root":{"entries":[{"name":"a","size":"1T"}]}}]})",
        R"({"volumes":[{"type":"htfs"}],"damage":[{"kind":"patch","sector":36028797018963968,"hex":"00"}]})"}) {
    std::ofstream(description) << json;
    const auto [status, text] = run("-d " + description);
    EXPECT_EQ(status, 2) << json << "\n" << text;
    EXPECT_FALSE(text.empty()) << json;
  }
}

}  // namespace
}  // namespace tolvar::imagekit
