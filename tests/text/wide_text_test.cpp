#include "text/wide_text.h"

#include "support/sim_test.h"

namespace {

using WideTextTest = SimTest;

TEST_F(WideTextTest, CapacityGrowsAndShrinksInStepsOf32) {
  WideText text{nullptr};
  ASSERT_TRUE(Resize(text, 10));
  EXPECT_EQ(winsim::BlockSize(text.block), 72u);
  const void* first = text.block;
  Resize(text, 20);
  Resize(text, 31);
  EXPECT_EQ(text.block, first) << "a change inside one step keeps the block";
  EXPECT_EQ(winsim::ReallocationCount(), 0u);
  Resize(text, 32);
  EXPECT_EQ(winsim::BlockSize(text.block), 136u);
  EXPECT_EQ(winsim::ReallocationCount(), 1u);
  Resize(text, 40);
  Resize(text, 10);
  EXPECT_EQ(winsim::BlockSize(text.block), 72u) << "shrinking into a lower step moves to the smaller block";
  EXPECT_EQ(winsim::ReallocationCount(), 2u);
  EXPECT_EQ(Length(text), 10u);
  EXPECT_EQ(Chars(text)[10], 0);
  Resize(text, 0);
  EXPECT_EQ(text.block, nullptr);

  // Appending across a step, and a text to itself.
  Assign(text, u"0123456789012345678901234567890");  // 31
  Append(text, u"X");
  EXPECT_EQ(winsim::BlockSize(text.block), 136u);
  Append(text, text);
  EXPECT_EQ(Chars(text), std::u16string(u"0123456789012345678901234567890X0123456789012345678901234567890X"));
  ReleaseText(text);
}

TEST_F(WideTextTest, FromAnsiAndComparisons) {
  EXPECT_EQ(FromAnsi("").block, nullptr);
  WideText key = FromAnsi("Orvandelles\\Office 2");
  EXPECT_EQ(Chars(key), std::u16string(u"Orvandelles\\Office 2"));
  EXPECT_EQ(Length(key), 20u);
  ReleaseText(key);
  winsim::FailNext("MultiByteToWideChar", 1, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(FromAnsi("abc").block, nullptr);

  EXPECT_TRUE(TextEqualsIgnoringAsciiCase(u"INSTALL", u"install"));
  EXPECT_FALSE(TextEqualsIgnoringAsciiCase(u"\u00c9", u"\u00e9")) << "only A to Z fold";
  EXPECT_FALSE(TextEqualsIgnoringAsciiCase(u"in", u"in "));
  EXPECT_TRUE(TextEquals(nullptr, u""));
}

}  // namespace
