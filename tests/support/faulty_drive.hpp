#pragma once

// A drive table over bytes in memory whose reads obey a fault plan, opened.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "disk/drive_table.hpp"
#include "disk/fault_injecting_source.hpp"

namespace tolvar::testing {

struct FaultyDrive {
  FaultyDrive(std::vector<std::byte> bytes, const FaultPlan& plan) {
    std::shared_ptr<BlockDeviceSource> memory = MakeMemorySource(std::move(bytes));
    std::shared_ptr<BlockDeviceSource> faulty = MakeFaultInjectingSource(memory, plan);
    drives.EnumerateDrives(MakeFixedProvider({faulty}));
    drives.currentDrive = 0;
    EXPECT_TRUE(drives.OpenCurrentDrive());
  }
  RecoverySettings settings;
  DriveTable drives{settings};
};

}  // namespace tolvar::testing
