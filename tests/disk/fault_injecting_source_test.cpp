#include "disk/fault_injecting_source.hpp"

#include <gtest/gtest.h>

#include <fstream>

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

TEST(FaultPlanFile, RefusesARangeTooLargeToHoldAndAMissingFile) {
  EXPECT_EQ(PlanFrom("0-18446744073709551615\n").error().code, ErrorCode::kInvalidArgument);
  EXPECT_EQ(LoadFaultPlan("/nonexistent/plan.txt").error().code, ErrorCode::kNotFound);
}

}  // namespace
}  // namespace tolvar
