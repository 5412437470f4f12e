#include "text/wide_text.h"

#include "support/sim_test.h"

namespace {

using WideTextTest = SimTest;

// A text's block holds its characters and terminator in steps of 32 characters: a change inside
// one step keeps the block, one across a step moves to a block of the new step's size, smaller
// as well as larger; an empty text holds no block, also when made from empty 8-bit text.
TEST_F(WideTextTest, BlocksFollowTheLengthInStepsOf32) {
  WideText text{nullptr};
  ASSERT_TRUE(Resize(text, 10));
  EXPECT_EQ(winsim::BlockSize(text.block), 72u);
  const void* first = text.block;
  Resize(text, 31);
  EXPECT_EQ(text.block, first);
  Resize(text, 32);
  EXPECT_EQ(winsim::BlockSize(text.block), 136u);
  Resize(text, 10);
  EXPECT_EQ(winsim::BlockSize(text.block), 72u) << "shrinking into a lower step moves to the smaller block";
  EXPECT_EQ(winsim::ReallocationCount(), 2u);
  Resize(text, 0);
  EXPECT_EQ(text.block, nullptr);
  EXPECT_EQ(FromAnsi("").block, nullptr);
}

}  // namespace
