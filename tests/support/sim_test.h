// The base of every host test: a fresh simulated machine, and at the end a check that no
// block leaked and none was released by the wrong allocator.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/install_context.h"
#include "platform.h"
#include "winsim/machine.h"

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override { winsim::ResetMachine(); }
  void TearDown() override {
    EXPECT_EQ(winsim::LiveBlocks(winsim::Allocator::Heap), 0u) << "heap blocks leaked";
    EXPECT_EQ(winsim::LiveBlocks(winsim::Allocator::Global), 0u) << "global blocks leaked";
    EXPECT_EQ(winsim::LiveBlocks(winsim::Allocator::Local), 0u) << "local blocks leaked";
    EXPECT_EQ(winsim::BadReleases(), 0u) << "blocks released by the wrong allocator or twice";
  }
};

// The log as UTF-8 lines, split at CR LF (the last, empty piece dropped).
std::vector<std::string> LogLines(const InstallContext& context);
std::string LogOf(const InstallContext& context);

// A context with only the log fields set up, for testing the log writers alone.
InstallContext EmptyContext();
void FreeEmptyContext(InstallContext& context);
