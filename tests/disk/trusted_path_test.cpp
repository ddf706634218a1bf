#include "disk/trusted_path.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "disk/legacy_bios.hpp"
#include "tests/support/temp_dir.hpp"

namespace tolvar {
namespace {

namespace fs = std::filesystem;

const std::string kStandInDir = TOLVAR_TEST_BUILD_DIR "/lib/tolvar/legacy";

// Copies the two stand-in libraries into `folder`.
void CopyStandIns(const fs::path& folder) {
  fs::create_directories(folder);
  for (const char* name : {kDisk32Name, kDisk2Name}) {
    fs::copy_file(fs::path(kStandInDir) / name, folder / name,
                  fs::copy_options::overwrite_existing);
    ::chmod((folder / name).c_str(), 0755);
  }
  ::chmod(folder.c_str(), 0755);
}

TEST(TrustedPath, LibrariesOthersCouldChangeAreNotLoaded) {
  testing::TempDir dir;  // below /tmp: written by all, but sticky
  const fs::path ours = dir / "ours";
  CopyStandIns(ours);
  EXPECT_TRUE(CheckTrustedFile((ours / kDisk32Name).string()).has_value());
  EXPECT_TRUE(LoadLegacyBiosLibraries(ours.string(), {}).has_value());

  // A folder anyone may write to, without the sticky bit.
  const fs::path open = dir / "open";
  CopyStandIns(open);
  ::chmod(open.c_str(), 0777);
  auto refused = LoadLegacyBiosLibraries(open.string(), {});
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().code, ErrorCode::kPermission);
  EXPECT_THAT(refused.error().message, ::testing::HasSubstr("can be changed by another user"));

  // A library file others may write.
  const fs::path writable = dir / "writable";
  CopyStandIns(writable);
  ::chmod((writable / kDisk2Name).c_str(), 0666);
  refused = LoadLegacyBiosLibraries(writable.string(), {});
  ASSERT_FALSE(refused.has_value());
  EXPECT_THAT(refused.error().message, ::testing::HasSubstr(kDisk2Name));

  // A link is never followed to what it names.
  const fs::path linked = dir / "linked";
  CopyStandIns(linked);
  fs::remove(linked / kDisk32Name);
  fs::create_symlink(ours / kDisk32Name, linked / kDisk32Name);
  EXPECT_FALSE(CheckTrustedFile((linked / kDisk32Name).string()).has_value());

  // A missing library is left to the loader's own message.
  auto missing = LoadLegacyBiosLibraries((dir / "none").string(), {});
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().message, "Disk32.dll not found or corrupted");
}

TEST(TrustedPath, TheDefaultFolderIsBesideTheProgramNotABuildPath) {
  const fs::path program = fs::read_symlink("/proc/self/exe");
  EXPECT_EQ(
      DefaultLegacyLibraryDir(),
      (program.parent_path().parent_path() / "lib/tolvar/legacy").lexically_normal().string());
}

}  // namespace
}  // namespace tolvar
