// Which paths lie within a folder: the rule run claims, stopped runs and the
// walk's held folders all go by; the list of paths a run works through, and
// the set that tells which paths were met.
#include "engine/FolderPath.h"
#include "engine/PathSet.h"
#include "engine/WorkList.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

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

// Every path read back, and found, as a plain vector holds it: whatever bytes
// the paths share with the one before, across the groups a read starts at.
TEST(WorkListTest, ReadsBackEveryPathAsAppended) {
  std::mt19937 random(7);
  const std::string alphabet("ab/\0\xff", 5);
  std::vector<FolderPath> reference;
  WorkList list;
  for (int i = 0; i < 2000; ++i) {
    FolderPath path = reference.empty() ? FolderPath() : reference.back();
    path.resize(random() % (path.size() + 1));
    // Now and then a path longer than one and two length bytes describe,
    // and longer than the list's blocks.
    const std::size_t added = i % 97 == 0 ? 70000 + random() % 3 : i % 13 == 0 ? 200 : random() % 6;
    for (std::size_t n = 0; n < added; ++n)
      path += alphabet[random() % alphabet.size()];
    reference.push_back(path);
    list.push_back(path);
  }
  ASSERT_EQ(reference.size(), list.size());
  for (std::size_t i = 0; i < reference.size(); ++i)
    ASSERT_EQ(reference[i], list[i]) << "path " << i;
  std::size_t i = 0;
  for (const FolderPath &path : list)
    ASSERT_EQ(reference[i++], path) << "path " << i - 1;
  for (std::size_t at : {std::size_t{0}, std::size_t{9}, std::size_t{1999}})
    EXPECT_EQ(std::find(reference.begin(), reference.end(), reference[at]) - reference.begin(),
              static_cast<std::ptrdiff_t>(list.find(reference[at])));
  EXPECT_EQ(list.size(), list.find("not listed"));
  WorkList copy;
  for (const FolderPath &path : reference)
    copy.push_back(path);
  EXPECT_EQ(list, copy);
  copy.push_back("one more");
  EXPECT_NE(list, copy);
}

// Short paths of few letters: many are met twice, and the table grows
// through several sizes while they are.
TEST(PathSetTest, TellsEveryPathMetFromEveryOther) {
  std::mt19937 random(11);
  const std::string alphabet("ab/\0\xff", 5);
  std::set<FolderPath> reference;
  PathSet set;
  for (int i = 0; i < 20000; ++i) {
    FolderPath path;
    for (std::size_t n = random() % 9; n > 0; --n)
      path += alphabet[random() % alphabet.size()];
    ASSERT_EQ(reference.insert(path).second, set.insert(path)) << "path " << i;
  }
  EXPECT_EQ(reference.size(), set.size());
  for (const FolderPath &path : reference)
    ASSERT_TRUE(set.contains(path));
  for (const FolderPath absent : {"aaaaaaaaaa", "c", "ab/c"})
    EXPECT_FALSE(set.contains(absent)) << absent;
}

} // namespace
} // namespace tailsnip
