// The folder walk on a real file system: what it lists is checked without
// relying on the file system's order, which is not ours to choose.
#include "engine/walk/CollectEntries.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#ifdef _WIN32
#include <windows.h>
#endif

namespace tailsnip {
namespace {

using testing::Native;
using testing::Scratch;
namespace stdfs = std::filesystem;

class CollectEntriesTest : public ::testing::Test {
protected:
  WorkList Walk(const stdfs::path &folder) {
    WorkList list;
    EXPECT_TRUE(CollectEntries(Native(folder), list, failures_));
    return list;
  }
  std::string Under(const std::string &relative) { return Native(scratch_.tree() / relative); }

  Scratch scratch_;
  std::vector<Failure> failures_;
};

TEST_F(CollectEntriesTest, ListsEveryEntryOnceWithEachFolderBeforeItsContents) {
  scratch_.file("a.txt", "a");
  scratch_.file("sub/c.txt", "c");
  scratch_.file("sub/deeper/d.txt", "d");
  scratch_.file(".hidden", "h");
  scratch_.file(".dotted/e.txt", "e");
  stdfs::create_directories(scratch_.tree() / "empty");
  const WorkList list = Walk(scratch_.tree());

  const std::set<std::string> expected = {Under("a.txt"),
                                          Under("sub"),
                                          Under("sub/c.txt"),
                                          Under("sub/deeper"),
                                          Under("sub/deeper/d.txt"),
                                          Under(".hidden"),
                                          Under(".dotted"),
                                          Under(".dotted/e.txt"),
                                          Under("empty")};
  EXPECT_EQ(expected, std::set<std::string>(list.begin(), list.end()));
  EXPECT_EQ(expected.size(), list.size()) << "an entry was listed twice";
  EXPECT_TRUE(failures_.empty());

  // Pre-order: a folder's contents follow it directly, as one block.
  for (std::size_t i = 0; i < list.size(); ++i) {
    const std::string prefix = list[i] + kPathSeparator;
    std::size_t j = i + 1;
    while (j < list.size() && list[j].compare(0, prefix.size(), prefix) == 0)
      ++j;
    for (std::size_t k = j; k < list.size(); ++k)
      EXPECT_NE(0, list[k].compare(0, prefix.size(), prefix))
          << list[k] << " is separated from its folder " << list[i];
  }
}

TEST_F(CollectEntriesTest, DepthLimitAndEntriesListedBeforeNarrowTheList) {
  scratch_.file("a.txt", "a");
  scratch_.file("sub/a.txt", "a");
  scratch_.file("sub/b.txt", "b");
  scratch_.file("sub/deeper/c.txt", "c");
  fs::FileIdentity sub;
  ASSERT_EQ(fs::FsError::None, fs::GetIdentity(Under("sub"), sub));
  WalkOptions walk;
  walk.maxDepth = 2;
  walk.listedBefore = [&](const fs::FileIdentity &folder, const std::string &name) {
    return folder == sub && name == "a.txt";
  };
  WorkList list;
  EXPECT_TRUE(CollectEntries(Native(scratch_.tree()), list, failures_, walk));
  // "deeper" is listed, not entered.
  EXPECT_EQ((std::set<std::string>{Under("a.txt"), Under("sub"), Under("sub/b.txt"),
                                   Under("sub/deeper")}),
            std::set<std::string>(list.begin(), list.end()));
  walk.maxDepth = 0;
  list.clear();
  EXPECT_TRUE(CollectEntries(Native(scratch_.tree()), list, failures_, walk));
  EXPECT_EQ(WorkList{}, list);
  EXPECT_TRUE(failures_.empty());
}

TEST_F(CollectEntriesTest, EmptyFolderListsNothing) {
  EXPECT_EQ(WorkList{}, Walk(scratch_.tree()));
  EXPECT_TRUE(failures_.empty());
}

TEST_F(CollectEntriesTest, MissingFolderIsReportedNotListed) {
  EXPECT_EQ(WorkList{}, Walk(scratch_.tree() / "missing"));
  ASSERT_EQ(1u, failures_.size());
  EXPECT_EQ(Reason::CannotSearchFolder, failures_[0].reason);
}

#ifdef _WIN32
TEST_F(CollectEntriesTest, NameOutsideTheCodePageIsReportedNotListed) {
  // This test program has no UTF-8 manifest, so narrow names use the ANSI
  // code page, which has no omega: the search can only offer a look-alike.
  const std::wstring wide = (scratch_.tree() / L"\u03a9.txt").wstring();
  HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  CloseHandle(file);
  scratch_.file("plain.txt", "x\n");
  const WorkList list = Walk(scratch_.tree());
  EXPECT_EQ(WorkList{Under("plain.txt")}, list);
  ASSERT_EQ(1u, failures_.size());
  EXPECT_EQ(Reason::NameNotRepresentable, failures_[0].reason) << failures_[0].path;
}
#endif

TEST_F(CollectEntriesTest, ThousandLevelsDeep) {
  stdfs::path deepest = scratch_.tree();
  for (int level = 0; level < 1000; ++level)
    deepest /= "d";
  stdfs::create_directories(Scratch::Unlimited(deepest));
  testing::WriteBytes(Scratch::Unlimited(deepest / "f"), "x\n");
  const WorkList list = Walk(scratch_.tree());
  ASSERT_EQ(1001u, list.size());
  EXPECT_EQ(Native(deepest / "f"), list[list.size() - 1]);
  EXPECT_TRUE(failures_.empty());
}

} // namespace
} // namespace tailsnip
