#include "disk/fault_injecting_source.hpp"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/disk/disk_test_util.hpp"
#include "tests/support/temp_dir.hpp"

namespace tolvar {
namespace {

std::expected<FaultPlan, Error> PlanFrom(const std::string& text) {
  testing::TempDir dir;
  std::ofstream(dir / "plan.txt") << text;
  return LoadFaultPlan((dir / "plan.txt").string());
}

TEST(FaultPlanFile, ReadsSectorsRangesAndComments) {
  auto plan = PlanFrom("# bad area\n7\n\n 20-22  # a scratch\n100\n");
  ASSERT_TRUE(plan.has_value()) << plan.error().message;
  EXPECT_EQ(plan->neverReadable, (std::set<std::uint64_t>{7, 20, 21, 22, 100}));
}

TEST(FaultPlanFile, RejectsMalformedLinesWithTheirNumber) {
  for (const std::string text : {"5\nx\n", "5\n9-3\n", "5\n-3\n", "5\n1-\n", "5\n1 2\n"}) {
    SCOPED_TRACE(text);
    auto plan = PlanFrom(text);
    ASSERT_FALSE(plan.has_value());
    EXPECT_EQ(plan.error().code, ErrorCode::kInvalidArgument);
    EXPECT_NE(plan.error().message.find(":2:"), std::string::npos);
  }
}

TEST(FaultPlanFile, RefusesARangeTooLargeToHold) {
  auto plan = PlanFrom("0-18446744073709551615\n");
  ASSERT_FALSE(plan.has_value());
  EXPECT_EQ(plan.error().code, ErrorCode::kInvalidArgument);
  EXPECT_EQ(LoadFaultPlan("/nonexistent/plan.txt").error().code, ErrorCode::kNotFound);
}

TEST(FaultInjectingSource, CountsOnlyTriesOfTheSectorAlone) {
  auto source = MakeFaultInjectingSource(MakeMemorySource(testing::PatternBytes(8)),
                                         {.readableOnAttempt = {{2, 2}}});
  std::vector<std::byte> run(4 * kSectorSize);
  std::vector<std::byte> one(kSectorSize);
  EXPECT_FALSE(source->ReadAt(0, run).has_value());
  EXPECT_FALSE(source->ReadAt(0, run).has_value());
  EXPECT_FALSE(source->ReadAt(2 * kSectorSize, one).has_value());  // first try
  EXPECT_TRUE(source->ReadAt(2 * kSectorSize, one).has_value());   // second try
  EXPECT_TRUE(source->ReadAt(0, run).has_value());                 // stays readable
}

TEST(FaultInjectingSource, TruncationShortensTheDataButNotTheGeometry) {
  auto inner = MakeMemorySource(testing::PatternBytes(16));
  const auto geometry = inner->Describe().geometry;
  auto source = MakeFaultInjectingSource(std::move(inner), {.truncateToSectors = 10});
  EXPECT_EQ(source->LengthBytes(), 10u * kSectorSize);
  EXPECT_EQ(source->Describe().geometry.cylinders, geometry.cylinders);
  std::vector<std::byte> one(kSectorSize);
  EXPECT_TRUE(source->ReadAt(9 * kSectorSize, one).has_value());
  EXPECT_FALSE(source->ReadAt(10 * kSectorSize, one).has_value());
}

}  // namespace
}  // namespace tolvar
