#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/cli/run_tolvar.hpp"
#include "tests/support/disk_builder.hpp"
#include "tests/support/temp_dir.hpp"

namespace tolvar::testing {
namespace {

TEST(DrivesCommandTest, ImagesAreDrivesInOrder) {
  TempDir dir;
  // 16 heads x 63 sectors x 5 cylinders, and 4096 sectors (2 MB).
  DiskBuilder(5040).WriteTo(dir / "a.img");
  DiskBuilder(4096).WriteTo(dir / "b.img");
  const std::vector<std::string> images = {(dir / "a.img").string(), (dir / "b.img").string()};

  RunResult run = RunTolvar({"drives", images[0], images[1]});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("Index  Item"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("0      Storage Device0"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("1      Storage Device1"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("2 MB ( Approx )"), std::string::npos) << run.out;

  run = RunTolvar({"drives", "--json", images[0], images[1]});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto doc = nlohmann::json::parse(run.out);
  ASSERT_EQ(doc["drives"].size(), 2u);
  const auto& first = doc["drives"][0];
  EXPECT_EQ(first["item"], "Storage Device0");
  EXPECT_EQ(first["totalSectors"], 5040);
  EXPECT_EQ(first["capacity"], "2 MB ( Approx )");
  EXPECT_EQ(first["cylinders"].get<unsigned>() * first["heads"].get<unsigned>() *
                first["sectorsPerTrack"].get<unsigned>(),
            5040u);
  EXPECT_EQ(doc["drives"][1]["index"], 1);
  EXPECT_EQ(doc["drives"][1]["path"], images[1]);
}

TEST(DrivesCommandTest, BadImageIsNamed) {
  TempDir dir;
  DiskBuilder(100).WriteTo(dir / "a.img");
  const RunResult run =
      RunTolvar({"drives", (dir / "a.img").string(), (dir / "gone.img").string()});
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(run.out.empty());
  ASSERT_EQ(run.ErrLines().size(), 1u);
  EXPECT_NE(run.err.find("gone.img: no such file"), std::string::npos) << run.err;
}

TEST(DrivesCommandTest, HostDrivesNeverCrash) {
  const RunResult run = RunTolvar({"drives", "--json"});
  ASSERT_TRUE(run.status == 0 || run.status == 1) << run.err;
  EXPECT_TRUE(nlohmann::json::parse(run.out).contains("drives"));
}

}  // namespace
}  // namespace tolvar::testing
