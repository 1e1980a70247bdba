// The folder walk and links, mounts and paths too long for the platform.
#include "engine/walk/CollectEntries.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/mount.h>
#include <unistd.h>

namespace tailsnip {
namespace {

using testing::Scratch;
namespace stdfs = std::filesystem;

class PosixCollectEntriesTest : public ::testing::Test {
protected:
  WorkList Walk() {
    WorkList list;
    EXPECT_TRUE(CollectEntries(scratch_.tree().string(), list, failures_));
    return list;
  }
  std::string Under(const std::string &relative) { return (scratch_.tree() / relative).string(); }

  Scratch scratch_;
  std::vector<Failure> failures_;
};

TEST_F(PosixCollectEntriesTest, LinksAreListedButNeverEntered) {
  scratch_.file("sub/f", "f\n");
  stdfs::create_directory_symlink("..", scratch_.tree() / "sub" / "loop");
  stdfs::create_directory_symlink(scratch_.tree() / "sub", scratch_.tree() / "alias");
  stdfs::create_symlink("sub/f", scratch_.tree() / "filelink");
  const WorkList list = Walk();
  EXPECT_EQ((std::set<std::string>{Under("sub"), Under("sub/f"), Under("sub/loop"), Under("alias"),
                                   Under("filelink")}),
            std::set<std::string>(list.begin(), list.end()));
  EXPECT_EQ(5u, list.size());
}

TEST_F(PosixCollectEntriesTest, FolderMountedTwiceIsEnteredOnce) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "bind mounts need root";
  scratch_.file("a/f", "f\n");
  stdfs::create_directory(scratch_.tree() / "b");
  const std::string a = Under("a"), b = Under("b");
  if (::mount(a.c_str(), b.c_str(), nullptr, MS_BIND, nullptr) != 0)
    GTEST_SKIP() << "bind mount failed: " << std::strerror(errno);
  const WorkList list = Walk();
  ::umount2(b.c_str(), MNT_DETACH);
  // Both names are listed; the folder's contents only under the first.
  EXPECT_EQ(3u, list.size());
  EXPECT_EQ(1, std::count(list.begin(), list.end(), a));
  EXPECT_EQ(1, std::count(list.begin(), list.end(), b));
  const auto files = std::count_if(list.begin(), list.end(), [](const std::string &p) {
    return p.size() > 2 && p.compare(p.size() - 2, 2, "/f") == 0;
  });
  EXPECT_EQ(1, files);
}

TEST_F(PosixCollectEntriesTest, PathLongerThanThePlatformAcceptsIsReported) {
  // Built with *at calls, which never need the whole path.
  const std::string name(200, 'n');
  int fd = ::open(scratch_.tree().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  for (int level = 0; level < 25; ++level) { // about 5,000 bytes
    ASSERT_EQ(0, ::mkdirat(fd, name.c_str(), 0755));
    const int child = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    ::close(fd);
    ASSERT_GE(child, 0);
    fd = child;
  }
  ::close(fd);
  const WorkList list = Walk();
  ASSERT_FALSE(failures_.empty());
  EXPECT_EQ(Reason::PathTooLong, failures_.front().reason);
  EXPECT_FALSE(list.empty());
  // Scratch cannot remove what its paths cannot name; take it down level by level.
  int dirs[26];
  dirs[0] = ::open(scratch_.tree().c_str(), O_RDONLY | O_DIRECTORY);
  for (int level = 0; level < 25; ++level)
    dirs[level + 1] = ::openat(dirs[level], name.c_str(), O_RDONLY | O_DIRECTORY);
  for (int level = 24; level >= 0; --level) {
    ::close(dirs[level + 1]);
    ::unlinkat(dirs[level], name.c_str(), AT_REMOVEDIR);
  }
  ::close(dirs[0]);
}

} // namespace
} // namespace tailsnip
