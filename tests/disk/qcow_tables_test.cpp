#include "disk/qcow_tables.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <span>
#include <vector>

namespace tolvar {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

// A small qcow2 v3 image with 512-byte clusters: header, L1 table at 512,
// refcount table at 1024, one L2 table at 1536 and two data clusters at 2048
// and 2560, the second of them the last cluster of the file.
class QcowTables : public ::testing::Test {
 protected:
  std::vector<std::byte> file = std::vector<std::byte>(3072);

  void Put(std::size_t at, std::uint64_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) {
      file[at + i] = std::byte((value >> (8 * (width - 1 - i))) & 0xff);
    }
  }

  void SetUp() override {
    Put(0, 0x514649fb, 4);
    Put(4, 3, 4);      // version
    Put(20, 9, 4);     // cluster bits
    Put(24, 8192, 8);  // disk size: one L2 table covers 64 clusters
    Put(36, 1, 4);     // L1 entries
    Put(40, 512, 8);   // L1 offset
    Put(48, 1024, 8);  // refcount table offset
    Put(56, 1, 4);     // refcount table clusters
    Put(96, 4, 4);     // refcount order
    Put(100, 104, 4);  // header length
    Put(512, (1ull << 63) | 1536, 8);
    Put(1536, (1ull << 63) | 2048, 8);
    Put(1536 + 8, (1ull << 63) | 2560, 8);
  }

  std::string Check(std::size_t size) const {
    return CheckQcowTables(
        [&](std::uint64_t offset, std::span<std::byte> out) {
          EXPECT_LE(offset + out.size(), size) << "read past the end of the file";
          if (offset + out.size() > size) return false;
          std::memcpy(out.data(), file.data() + offset, out.size());
          return true;
        },
        size);
  }
  std::string Check() const { return Check(file.size()); }
};

TEST_F(QcowTables, ASoundImagePassesInEitherVersion) {
  EXPECT_THAT(Check(), IsEmpty());
  Put(4, 2, 4);
  EXPECT_THAT(Check(), IsEmpty());
}

TEST_F(QcowTables, EveryCutBeforeTheLastClusterIsRejected) {
  for (std::size_t size = 0; size < file.size(); ++size) {
    EXPECT_THAT(Check(size), Not(IsEmpty())) << size;
  }
}

TEST_F(QcowTables, HeaderFiguresOutOfRangeAreRejected) {
  const auto rejected = [&](std::size_t at, std::uint64_t value, std::size_t width,
                            const char* what) {
    auto saved = file;
    Put(at, value, width);
    EXPECT_THAT(Check(), HasSubstr(what)) << at << " = " << value;
    file = saved;
  };
  rejected(4, 4, 4, "version");
  rejected(20, 8, 4, "cluster size");
  rejected(20, 22, 4, "cluster size");
  rejected(24, 1ull << 57, 8, "disk size");
  rejected(24, 64 * 512 + 1, 8, "L1 table size");  // needs a second L1 entry
  rejected(36, 1u << 30, 4, "L1 table size");
  rejected(40, 4096, 8, "L1 table");
  rejected(40, 513, 8, "L1 table");
  rejected(48, 4096, 8, "refcount table");
  rejected(56, 100, 4, "refcount table");
  rejected(8, 3000, 8, "backing file");
  rejected(16, 2000, 4, "backing file");
  rejected(32, 7, 4, "encryption");
  rejected(72, 1u << 2, 8, "features");  // an external data file
  rejected(72, 1ull << 40, 8, "features");
  rejected(100, 96, 4, "header length");
  rejected(96, 7, 4, "refcount");
}

TEST_F(QcowTables, TheDirtyBitAndABackingNameInTheHeaderPass) {
  Put(72, 1, 8);
  Put(8, 200, 8);
  Put(16, 12, 4);
  EXPECT_THAT(Check(), IsEmpty());
}

TEST_F(QcowTables, TableEntriesOutsideTheFileAreRejected) {
  auto saved = file;
  Put(512, 4096, 8);
  EXPECT_THAT(Check(), HasSubstr("L2 table"));
  file = saved;
  Put(512, 1537, 8);  // not cluster-aligned: the flag bits below 9 are masked, still inside
  EXPECT_THAT(Check(), IsEmpty());
  file = saved;
  Put(1536 + 16, 3072, 8);
  EXPECT_THAT(Check(), HasSubstr("data cluster"));
  file = saved;
  Put(1536 + 16, 1ull << 50, 8);
  EXPECT_THAT(Check(), HasSubstr("data cluster"));
  file = saved;
  // A compressed cluster: offset in the low 61 bits for 512-byte clusters.
  Put(1536 + 16, (1ull << 62) | 5000, 8);
  EXPECT_THAT(Check(), HasSubstr("compressed"));
  file = saved;
  Put(1536 + 16, (1ull << 62) | 2100, 8);
  EXPECT_THAT(Check(), IsEmpty());
}

}  // namespace
}  // namespace tolvar
