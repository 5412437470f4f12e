#include "text/wide_text.h"

#include "support/sim_test.h"

namespace {

using winsim::Allocator;

class WideTextTest : public SimTest {};

WideText Make(const char16_t* value) {
  WideText text{nullptr};
  Assign(text, value);
  return text;
}

std::u16string Of(const WideText& text) { return Chars(text); }

TEST_F(WideTextTest, CapacityGrowsAndShrinksInStepsOf32) {
  WideText text{nullptr};
  ASSERT_TRUE(Resize(text, 10));
  EXPECT_EQ(winsim::BlockSize(text.block), 72u);
  const void* first = text.block;
  Resize(text, 20);
  EXPECT_EQ(text.block, first) << "a change inside one step keeps the block";
  Resize(text, 31);
  EXPECT_EQ(text.block, first);
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
  EXPECT_EQ(winsim::LiveBlocks(Allocator::Heap), 0u);
}

TEST_F(WideTextTest, AppendAcrossSteps) {
  WideText text = Make(u"0123456789012345678901234567890");  // 31
  Append(text, u"X");
  EXPECT_EQ(Length(text), 32u);
  EXPECT_EQ(winsim::BlockSize(text.block), 136u);
  EXPECT_EQ(Of(text), u"0123456789012345678901234567890X");
  WideText other = Make(u"-tail");
  Append(text, other);
  EXPECT_EQ(Of(text), u"0123456789012345678901234567890X-tail");
  Append(text, text);
  EXPECT_EQ(Of(text), u"0123456789012345678901234567890X-tail0123456789012345678901234567890X-tail");
  ReleaseText(text);
  ReleaseText(other);
}

TEST_F(WideTextTest, FromAnsi) {
  WideText empty = FromAnsi("");
  EXPECT_EQ(empty.block, nullptr);
  WideText key = FromAnsi("Orvandelles\\Office 2");
  EXPECT_EQ(Of(key), u"Orvandelles\\Office 2");
  EXPECT_EQ(Length(key), 20u);
  ReleaseText(key);
  winsim::FailNext("MultiByteToWideChar", 1, ERROR_INVALID_PARAMETER);
  WideText failed = FromAnsi("abc");
  EXPECT_EQ(failed.block, nullptr);
}

TEST_F(WideTextTest, ComparisonsFoldOnlyAsciiLetters) {
  EXPECT_TRUE(TextEqualsIgnoringAsciiCase(u"INSTALL", u"install"));
  EXPECT_FALSE(TextEqualsIgnoringAsciiCase(u"\u00c9", u"\u00e9")) << "only A to Z fold";
  EXPECT_FALSE(TextEqualsIgnoringAsciiCase(u"in", u"in "));
  EXPECT_TRUE(TextEquals(nullptr, u""));
  EXPECT_FALSE(TextEquals(u"Orvandelle:", u"orvandelle:"));
}

}  // namespace
