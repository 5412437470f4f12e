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

TEST_F(WideTextTest, ResizeKeepsLeadingCharacters) {
  WideText text = Make(u"abcdefghijklmnopqrstuvwxyz0123456789");  // 36: capacity 64
  Resize(text, 5);
  EXPECT_EQ(Of(text), u"abcde");
  Resize(text, 7);
  EXPECT_EQ(Length(text), 7u);
  EXPECT_EQ(Chars(text)[7], 0);
  EXPECT_EQ(std::u16string(Chars(text), 5), u"abcde");
  ReleaseText(text);
}

TEST_F(WideTextTest, AssignAndAppendOfEmptyValues) {
  WideText text = Make(u"log");
  Assign(text, u"");
  EXPECT_EQ(text.block, nullptr);
  text = Make(u"log");
  Assign(text, nullptr);
  EXPECT_EQ(text.block, nullptr);
  EXPECT_EQ(Chars(text)[0], 0) << "an empty text still gives a terminated string";
  text = Make(u"log");
  const void* block = text.block;
  Append(text, u"");
  EXPECT_EQ(text.block, block);
  EXPECT_EQ(Of(text), u"log");
  ReleaseText(text);
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

TEST_F(WideTextTest, CopyAndAssignment) {
  WideText source = Make(u"C:\\Program Files\\Product\\drv\\");
  WideText copy = CopyText(source);
  EXPECT_NE(copy.block, source.block);
  EXPECT_EQ(winsim::BlockSize(copy.block), winsim::BlockSize(source.block));
  EXPECT_EQ(Of(copy), Of(source));
  const void* block = source.block;
  AssignText(source, source);
  EXPECT_EQ(source.block, block) << "self-assignment changes nothing";
  EXPECT_EQ(Of(source), u"C:\\Program Files\\Product\\drv\\");
  WideText empty{nullptr};
  WideText emptyCopy = CopyText(empty);
  EXPECT_EQ(emptyCopy.block, nullptr);
  AssignText(copy, empty);
  EXPECT_EQ(copy.block, nullptr);
  AssignText(copy, source);
  EXPECT_EQ(Of(copy), Of(source));
  ReleaseText(copy);
  ReleaseText(source);
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

TEST_F(WideTextTest, DirectoryPart) {
  struct Case {
    const char16_t* path;
    const char16_t* directory;
  } cases[] = {
      {u"C:\\dir\\file", u"C:\\dir"}, {u"C:\\", u"C:"}, {u"dir/file", u"dir"}, {u"a\\b/c", u"a"},
      {u"\\file", u""},               {u"file", u""},   {u"", u""},           {u"/file", u""},
  };
  for (const Case& c : cases) {
    WideText path = Make(c.path);
    WideText directory = DirectoryPart(path);
    EXPECT_EQ(Of(directory), c.directory) << winsim::Utf8(c.path);
    ReleaseText(directory);
    ReleaseText(path);
  }
}

TEST_F(WideTextTest, ComparisonsFoldOnlyAsciiLetters) {
  EXPECT_TRUE(TextEqualsIgnoringAsciiCase(u"INSTALL", u"install"));
  EXPECT_FALSE(TextEqualsIgnoringAsciiCase(u"\u00c9", u"\u00e9")) << "only A to Z fold";
  EXPECT_FALSE(TextEqualsIgnoringAsciiCase(u"in", u"in "));
  EXPECT_TRUE(TextEquals(nullptr, u""));
  EXPECT_FALSE(TextEquals(u"Orvandelle:", u"orvandelle:"));
}

}  // namespace
