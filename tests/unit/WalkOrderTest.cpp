// The walk's exact order, through a directory search whose order we choose.
// This binary links a scripted directory search in place of the platform's.
#include "engine/fs/DirectorySearch.h"
#include "engine/walk/CollectEntries.h"

#include <gtest/gtest.h>

#include <map>

namespace tailsnip {

namespace {

constexpr std::uint32_t kHidden = 0x02, kSystem = 0x04;
const std::error_code kDenied = std::make_error_code(std::errc::permission_denied);

// Folder path -> the records its search delivers, in order. A folder that
// is not here cannot be searched.
std::map<std::string, std::vector<FindRecord>> gFolders;

std::vector<FindRecord> Folder(std::vector<FindRecord> entries, bool isRoot = false) {
  if (!isRoot)
    entries.insert(entries.begin(), {{kAttributeFolder, "."}, {kAttributeFolder, ".."}});
  return entries;
}

} // namespace

fs::FsError ListFolder(const FolderPath &folder, std::vector<FindRecord> &entries) {
  const auto found = gFolders.find(folder);
  if (found == gFolders.end())
    return {fs::FsError::AccessDenied, kDenied};
  entries.insert(entries.end(), found->second.begin(), found->second.end());
  return found->second.empty() ? fs::FsError::NotFound : fs::FsError::None;
}

// The scripted folders are no real ones: each is entered unknown, as where
// its identity cannot be told, and searched by its path.
fs::FsError EnterFolder(const FolderPath &folder, const fs::FileIdentity *,
                        EnteredFolder &entered) {
  entered.path = folder;
  return fs::FsError::None;
}

fs::FsError ListFolder(EnteredFolder &entered, std::vector<FindRecord> &entries) {
  return ListFolder(entered.path, entries);
}

namespace {

const std::string S(1, kPathSeparator);

class WalkOrderTest : public ::testing::Test {
protected:
  void TearDown() override { gFolders.clear(); }
  WorkList Walk(const std::string &dir) {
    WorkList list;
    EXPECT_TRUE(CollectEntries(dir, list, failures_));
    return list;
  }
  std::vector<Failure> failures_;
};

TEST_F(WalkOrderTest, DepthFirstInTheSearchOrderFolderBeforeContents) {
  gFolders["F"] = Folder({{0, "a.txt"}, {kAttributeFolder, "sub"}, {0, "b.txt"}});
  gFolders["F" + S + "sub"] = Folder({{0, "c.txt"}});
  EXPECT_EQ((WorkList{"F" + S + "a.txt", "F" + S + "sub", "F" + S + "sub" + S + "c.txt",
                      "F" + S + "b.txt"}),
            Walk("F"));
  EXPECT_TRUE(failures_.empty());
}

TEST_F(WalkOrderTest, EveryFileWhateverItsAttributesAndDotFoldersToo) {
  gFolders["F"] = Folder({{kHidden, "hidden"},
                          {kSystem | kHidden, "system"},
                          {kAttributeFolder, ".config"},
                          {kAttributeFolder, "empty"}});
  gFolders["F" + S + ".config"] = Folder({{0, "x"}});
  gFolders["F" + S + "empty"] = Folder({});
  EXPECT_EQ((WorkList{"F" + S + "hidden", "F" + S + "system", "F" + S + ".config",
                      "F" + S + ".config" + S + "x", "F" + S + "empty"}),
            Walk("F"));
}

TEST_F(WalkOrderTest, RootWithItsSeparatorGetsASecondOneBeforeEachName) {
  gFolders["R" + S] = Folder({{0, "f"}}, /*isRoot=*/true);
  EXPECT_EQ(WorkList{"R" + S + S + "f"}, Walk("R" + S));
  gFolders["E" + S] = {}; // an empty root delivers not even "." and ".."
  EXPECT_EQ(WorkList{}, Walk("E" + S));
  EXPECT_TRUE(failures_.empty());
}

TEST_F(WalkOrderTest, UnsearchableSubfolderIsListedAndReported) {
  gFolders["F"] = Folder({{kAttributeFolder, "locked"}, {0, "after"}});
  EXPECT_EQ((WorkList{"F" + S + "locked", "F" + S + "after"}), Walk("F"));
  ASSERT_EQ(1u, failures_.size());
  EXPECT_EQ("F" + S + "locked", failures_[0].path);
  EXPECT_EQ(Reason::CannotSearchFolder, failures_[0].reason);
  EXPECT_EQ(kDenied, failures_[0].systemError); // what the search said, on every platform
}

TEST_F(WalkOrderTest, LinkToAFolderIsListedNotEntered) {
  gFolders["F"] = Folder({{kAttributeFolder | kAttributeReparsePoint, "junction"}});
  gFolders["F" + S + "junction"] = Folder({{0, "never"}});
  EXPECT_EQ(WorkList{"F" + S + "junction"}, Walk("F"));
}

} // namespace
} // namespace tailsnip
