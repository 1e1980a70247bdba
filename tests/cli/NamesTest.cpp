// The patterns --exclude and --include take.
#include "cli/Names.h"

#include <gtest/gtest.h>

namespace tailsnip::cli {
namespace {

TEST(NamesTest, GlobsMatchAsTheHelpSays) {
  const struct {
    const char *glob, *name;
    bool matches;
  } cases[] = {
      {"*.txt", "a.txt", true},     // '*' takes any run
      {"*.txt", ".txt", true},      // an empty one too
      {"*.txt", "a/b.txt", false},  // but never a separator
      {"*/b.txt", "a/b.txt", true}, // which the pattern may name
      {"*/b.txt", "a/c/b.txt", false},
      {"a*b*c", "aXbYbZc", true}, // a later match after an earlier miss
      {"a*c", "ab/c", false},
      {"?", "a", true}, // '?' takes one character
      {"?", "", false},
      {"?", "/", false}, // not a separator
      {"??", "a", false},
      {"[abc]", "b", true}, // a set
      {"[abc]", "d", false},
      {"x[a-c]", "xb", true}, // a range
      {"x[a-c]", "xd", false},
      {"[a-]", "-", true},   // '-' at the end is itself
      {"[]a]", "]", true},   // and ']' at the start
      {"[!a-c]", "d", true}, // a set refused
      {"[!a-c]", "b", false},
      {"[^a-c]", "d", true},
      {"[!a]", "/", false}, // that still takes no separator
      {"[ab", "[ab", true}, // '[' without its ']' is itself
      {"[ab", "a", false},
      {"", "", true},
      {"", "a", false},
  };
  for (const auto &c : cases)
    EXPECT_EQ(c.matches, MatchGlob(c.glob, c.name, '/')) << c.glob << " against " << c.name;
}

} // namespace
} // namespace tailsnip::cli
