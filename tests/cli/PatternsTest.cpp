// The patterns --exclude and --include take, against rsync's rules: one
// table of patterns and the paths they match or not, one of the patterns
// refused.
#include "cli/Patterns.h"
#include "cli/Names.h"

#include <gtest/gtest.h>

namespace tailsnip::cli {
namespace {

struct Case {
  const char *pattern;
  const char *path; // below the operand's folder
  bool isFolder;
  bool matches;
};

const Case kCases[] = {
    // Without a '/', the name alone, at any depth.
    {"*.log", "a.log", false, true},
    {"*.log", "x/y/a.log", false, true},
    {"*.log", "a.log/b", false, false},
    {"b?d", "x/bad", false, true},
    {"[a-c]x", "cx", false, true},
    {"[!a-c]x", "cx", false, false},
    {"[]]x", "]x", false, true},
    // A '/' inside: the end of the path, from a name's start.
    {"sub/*.c", "sub/a.c", false, true},
    {"sub/*.c", "x/sub/a.c", false, true},
    {"sub/*.c", "xsub/a.c", false, false},
    {"sub/*.c", "sub/d/a.c", false, false},
    // A leading '/': anchored at the top.
    {"/sub", "sub", true, true},
    {"/sub", "x/sub", true, false},
    {"/sub/*", "sub/a", false, true},
    // A trailing '/': folders only.
    {"build/", "build", true, true},
    {"build/", "build", false, false},
    {"build/", "x/build", true, true},
    // "**" crosses folders, '*' does not.
    {"/a/**", "a/b/c", false, true},
    {"/a/*", "a/b/c", false, false},
    {"/a/**/z", "a/z", false, false},
    {"/a/**/z", "a/b/c/z", false, true},
    {"**.txt", "d/e.txt", false, true},
    {"a*/**/c", "ab/x/y/c", false, true},
    {"/*/**/*.c", "d/e/f.c", false, true},
    {"/*/**/*.c", "f.c", false, false},
    // A leading "**" matches at the top too, as though the path began with '/'.
    {"**/.git/", ".git", true, true},
    {"**/sub/x", "sub/x", false, true},
    {"/**/x", "x", false, false},
    // "dir/***": the folder and everything beneath it.
    {"/d/***", "d", true, true},
    {"/d/***", "d/e/f", false, true},
    {"/d/***", "d", false, false},
    {"d/***/", "x/d", true, true},
    {"d/***/", "d/e", true, true},
    {"d/***/", "d/f", false, false},
    // A backslash makes a wildcard plain, where there is one; else it is itself.
    {"a\\*", "a*", false, true},
    {"a\\*", "ab", false, false},
    {"\\[x]*", "[x]y", false, true},
    {"a\\b", "a\\b", false, true},
    {"a\\b*", "ab", false, true},
};

TEST(PatternsTest, MatchAsRsyncMatches) {
  for (const Case &c : kCases) {
    std::vector<Pattern> patterns;
    ASSERT_EQ("", AddPattern(c.pattern, patterns)) << c.pattern;
    EXPECT_EQ(c.matches, MatchesAny(patterns, c.path, c.isFolder))
        << c.pattern << " against " << c.path << (c.isFolder ? " (a folder)" : "");
  }
}

TEST(PatternsTest, MalformedPatternsAreRefused) {
  for (const char *pattern :
       {"", "/", "//", "[a", "x[!]", "a*\\", "a\\", "[[:alpha:]]", "- *.o", "+ *.c", "!"}) {
    std::vector<Pattern> patterns;
    EXPECT_NE("", AddPattern(pattern, patterns)) << pattern;
    EXPECT_TRUE(patterns.empty()) << pattern;
  }
}

TEST(PatternsTest, GlobsStarsNeverCrossTheSeparatorUnlessDoubled) {
  EXPECT_TRUE(MatchGlob("*.c", "a.c", '/'));
  EXPECT_FALSE(MatchGlob("*.c", "d/a.c", '/'));
  EXPECT_TRUE(MatchGlob("**.c", "d/a.c", '/'));
  EXPECT_TRUE(MatchGlob("*a*b", "xaaab", '/'));
  EXPECT_FALSE(MatchGlob("*a*b", "xa/b", '/'));
  EXPECT_TRUE(MatchGlob("**/*a*b", "q/r/xab", '/'));
  EXPECT_TRUE(MatchGlob("[ab", "[ab", '/')) << "a '[' without ']' is itself";
}

} // namespace
} // namespace tailsnip::cli
