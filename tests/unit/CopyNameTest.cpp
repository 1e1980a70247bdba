// The names of copies beside entries: a stopped run's copies are removed by
// them, so a look-alike must never pass for one.
#include "engine/trim/CopyName.h"

#include <gtest/gtest.h>

namespace tailsnip {
namespace {

TEST(CopyNameTest, OnlyTheNamesMadeForAProcessAreItsCopies) {
  EXPECT_EQ(".tailsnip-42-7.tmp", CopyName(42, 7));
  EXPECT_TRUE(IsCopyName(CopyName(42, 4294967295u), 42));
  for (const char *other :
       {".tailsnip-42-7.tmp ", ".tailsnip-42-07.tmp", ".tailsnip-42-+7.tmp", ".tailsnip-42-.tmp",
        ".tailsnip-42-7x.tmp", ".tailsnip-421-7.tmp", ".tailsnip-4-27.tmp", "tailsnip-42-7.tmp",
        ".tailsnip-42-4294967296.tmp"})
    EXPECT_FALSE(IsCopyName(other, 42)) << other;
}

} // namespace
} // namespace tailsnip
