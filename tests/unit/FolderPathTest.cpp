// Which paths lie within a folder: the rule run claims, stopped runs and the
// walk's held folders all go by.
#include "engine/FolderPath.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

namespace tailsnip {
namespace {

using testing::Native;

TEST(FolderPathTest, IsWithinTellsPathsBeneathAFolderFromOthers) {
  const struct {
    const char *path, *folder;
    bool within;
  } cases[] = {
      {"/a/b", "/a", true},   // an entry
      {"/a/b/c", "/a", true}, // at any depth
      {"/a//b", "/a", true},  // spelled with a doubled separator
      {"/a", "/a", false},    // the folder itself
      {"/a/", "/a", false},   // the same folder, by another spelling
      {"/ab", "/a", false},   // a neighbour that shares the first letters
      {"/a", "/a/b", false},  // around, not within
      {"/b/a", "/a", false},  // elsewhere
      {"/a", "/", true},      // the root ends in a separator already
      {"//a", "/", true},     // as JoinPath spells an entry of the root
      {"/", "/", false},      // the root itself
      {"/a/b", "/a/", true},  // a folder named with a separator at its end
      {"/a", "", false},      // no folder holds anything
  };
  for (const auto &c : cases)
    EXPECT_EQ(c.within, IsWithin(Native(c.path), Native(c.folder)))
        << c.path << " within " << c.folder;
}

} // namespace
} // namespace tailsnip
