// The names of copies beside entries: a stopped run's copies are removed by
// them, so a look-alike must never pass for one.
#include "engine/trim/CopyName.h"

#include <gtest/gtest.h>

#include <limits>

namespace tailsnip {
namespace {

TEST(CopyNameTest, OnlyTheNamesMadeForAProcessAndItsTokenAreItsCopies) {
  const CopyMaker maker{42, "0123456789abcdef"};
  std::optional<std::size_t> entry;
  EXPECT_EQ(".tailsnip-42-0123456789abcdef-7.99.tmp", CopyName(maker, 7, 99));
  const std::size_t last = std::numeric_limits<std::size_t>::max();
  EXPECT_TRUE(IsCopyName(CopyName(maker, 4294967295u, last), maker, entry));
  EXPECT_EQ(last, entry);
  // As an earlier program named them, without the entry's index.
  EXPECT_TRUE(IsCopyName(".tailsnip-42-0123456789abcdef-7.tmp", maker, entry));
  EXPECT_EQ(std::nullopt, entry);
  for (const char *other :
       {".tailsnip-42-0123456789abcdef-7.tmp ", ".tailsnip-42-0123456789abcdef-07.tmp",
        ".tailsnip-42-0123456789abcdef-+7.tmp", ".tailsnip-42-0123456789abcdef-.tmp",
        ".tailsnip-42-0123456789abcdef-7x.tmp", ".tailsnip-421-0123456789abcdef-7.tmp",
        ".tailsnip-42-0123456789abcdee-7.tmp", ".tailsnip-42-7.tmp",
        "tailsnip-42-0123456789abcdef-7.tmp", ".tailsnip-42-0123456789abcdef-4294967296.tmp",
        ".tailsnip-42-0123456789abcdef-7..tmp", ".tailsnip-42-0123456789abcdef-7.099.tmp",
        ".tailsnip-42-0123456789abcdef-7.9.9.tmp", ".tailsnip-42-0123456789abcdef-7-f~.tmp"})
    EXPECT_FALSE(IsCopyName(other, maker, entry)) << other;
  // A process recorded without a token, by an earlier program, has no copies.
  EXPECT_FALSE(IsCopyName(".tailsnip-42-7.tmp", CopyMaker{42, ""}, entry));
}

TEST(CopyNameTest, EachProcessDrawsATokenNobodyCouldGuess) {
  const CopyMaker maker = ThisCopyMaker();
  EXPECT_TRUE(IsCopyToken(maker.token)) << maker.token;
  EXPECT_EQ(maker, ThisCopyMaker());
  EXPECT_NE("0000000000000000", maker.token);
}

} // namespace
} // namespace tailsnip
