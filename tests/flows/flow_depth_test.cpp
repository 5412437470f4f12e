// The flows below RunCommand leave the log depth as they found it, so that the lines after them
// stand where their own callers put them.
#include "flows/install_flows.h"

#include "support/product_machine.h"

namespace {

using FlowDepthTest = ProductMachineTest;

TEST_F(FlowDepthTest, DepthIsTheSameAfterEachFlow) {
  InstallContext context;
  InitContext(context, UseX64Files);
  context.Depth = 3;
  UnInstall(context);
  EXPECT_EQ(context.Depth, 3);
  ReInstall(context);
  EXPECT_EQ(context.Depth, 3);
  UnInstallAndCleanUp(context);
  EXPECT_EQ(context.Depth, 3);
  ScheduleDeletesAtReboot(context);
  FreeContext(context);
}

}  // namespace
