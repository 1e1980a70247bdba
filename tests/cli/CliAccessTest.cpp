// Runs as another user, over folders they may only pass through or may not
// write, and runs kept out of folders that another run holds.
#include "CliRun.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace tailsnip::testing {
namespace {

namespace stdfs = std::filesystem;

// Gives `file` and its folder to user 65534 (the file to `group`), as
// files of theirs that a run as that user meets.
bool GiveToNobody(const stdfs::path &file, gid_t group = 65534) {
  return ::chown(file.parent_path().c_str(), 65534, 65534) == 0 &&
         ::chown(file.c_str(), 65534, group) == 0;
}

// A folder the user may not write takes no copy, but a file of theirs in it
// may still be cut in place; a dry run lists what the real run shortens.
TEST_F(CliTest, DryRunListsTheFilesACutShortensWhereNoCopyCouldBeMade) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root, to run as another user";
  const stdfs::path crlf = scratch_.file("closed/crlf", "a\r\nb\r\n");
  const stdfs::path lf = scratch_.file("closed/lf", "a\nb\n");
  ASSERT_EQ(0, ::chown(crlf.c_str(), 65534, 65534));
  ASSERT_EQ(0, ::chown(lf.c_str(), 65534, 65534));
  How how = AsNobody();
  const std::string folder = (scratch_.tree() / "closed").string();
  const Ran dry = RunCli({"--dry-run", folder}, how);
  EXPECT_EQ(crlf.string() + "\n", dry.out.substr(0, dry.out.find("finished!"))) << dry.out;
  const Ran real = RunCli({folder}, how);
  EXPECT_EQ(1, real.status) << real.err;
  EXPECT_EQ("a\r\n", ReadBytes(crlf));
  EXPECT_EQ("a\nb\n", ReadBytes(lf));
  EXPECT_NE(std::string::npos, real.out.find(lf.string() + ": its folder cannot be written"))
      << real.out;
}

// An attribute only a privileged process may set is one the user's copy
// could not keep: the dry run names the file with the run's own reason.
TEST_F(CliTest, DryRunNamesTheFileWhoseAttributesTheUsersCopyCouldNotKeep) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root, to run as another user";
  const stdfs::path file = scratch_.file("theirs/f", "1\n2\n");
  ASSERT_TRUE(GiveToNobody(file));
  if (::setxattr(file.c_str(), "security.tailsnip-test", "x", 1, 0) != 0)
    GTEST_SKIP() << "no security attributes on this file system";
  const How how = AsNobody();
  for (const char *dry : {"--dry-run", "--lines=1"}) {
    const Ran ran = RunCli({dry, file.parent_path().string()}, how);
    EXPECT_EQ(1, ran.status) << dry;
    EXPECT_NE(std::string::npos,
              ran.out.find(file.string() + ": its permissions or attributes could not be kept"))
        << dry << ": " << ran.out;
  }
  EXPECT_EQ("1\n2\n", ReadBytes(file));
}

// A copy of a file of the user's, in a group they are not in, could not
// keep its group; a cut in place keeps it.
TEST_F(CliTest, FileInAnotherGroupIsCutInPlaceThoughACopyCouldNotKeepItsGroup) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root, to run as another user";
  const stdfs::path file = scratch_.file("theirs/f", "a\nb\n");
  ASSERT_TRUE(GiveToNobody(file, 0));
  How how = AsNobody();
  const Ran copied = RunCli({file.parent_path().string()}, how);
  EXPECT_EQ(1, copied.status) << copied.err;
  EXPECT_NE(std::string::npos, copied.out.find(file.string() + ": its owner or group"))
      << copied.out;
  EXPECT_EQ("a\nb\n", ReadBytes(file));
  const Ran cut = RunCli({"-k", file.parent_path().string()}, how);
  EXPECT_EQ(0, cut.status) << cut.out;
  EXPECT_EQ("a\n", ReadBytes(file));
}

// A folder the user may enter but not read cannot be held: a FILE named in
// it is kept, and the notice says why.
TEST_F(CliTest, FileInAFolderTheUserCannotReadIsKeptAndTheReasonIsThat) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root, to run as another user";
  const stdfs::path file = scratch_.file("dropbox/mine", "a\nb\n");
  ASSERT_EQ(0, ::chown(file.c_str(), 65534, 65534));
  ASSERT_EQ(0, ::chmod(file.parent_path().c_str(), 0733));
  How how = AsNobody();
  const Ran ran = RunCli({"-q", file.string()}, how);
  EXPECT_EQ(1, ran.status) << ran.err;
  EXPECT_EQ("finished!\n\n1 entry could not be shortened:\n" + file.string() +
                ": folder could not be searched: Permission denied\n",
            ran.out);
  EXPECT_EQ("a\nb\n", ReadBytes(file));
}

// Another user's run over a folder this user may pass through but not read
// is seen all the same: nothing beneath it is changed.
TEST_F(CliTest, RunOverAFolderThisUserCannotReadKeepsThisRunOut) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root, to run as another user";
  const stdfs::path passage = scratch_.root() / "passage";
  const stdfs::path file = passage / "mine" / "notes";
  stdfs::create_directories(file.parent_path());
  WriteBytes(file, "a\nb\n");
  ASSERT_TRUE(GiveToNobody(file));
  ASSERT_EQ(0, ::chmod(passage.c_str(), 0711));
  // Held as a run working in the folder holds it.
  const int held = ::open(passage.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(0, ::flock(held, LOCK_EX));
  How how = AsNobody();
  const Ran ran = RunCli({"-q", file.parent_path().string()}, how);
  ::close(held);
  EXPECT_EQ(2, ran.status) << ran.err;
  EXPECT_EQ("tailsnip-cli: another run is working in '" + passage.string() +
                "' (or in a folder inside it); nothing was changed\n",
            ran.err);
  EXPECT_EQ("a\nb\n", ReadBytes(file));
}

// FILEs a user may reach, in folders beneath one the user may pass through
// but not read, are run apart: that folder cannot be held.
TEST_F(CliTest, FilesBeneathAFolderTheUserMayOnlyPassThroughAreShortened) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root, to run as another user";
  const stdfs::path passage = scratch_.root() / "passage";
  const std::vector<stdfs::path> files = {passage / "a" / "x", passage / "b" / "y"};
  for (const stdfs::path &file : files) {
    stdfs::create_directories(file.parent_path());
    WriteBytes(file, "1\n2\n");
    ASSERT_TRUE(GiveToNobody(file));
  }
  ASSERT_EQ(0, ::chmod(passage.c_str(), 0711));
  const Ran ran = RunCli({"-q", files[0].string(), files[1].string()}, AsNobody());
  EXPECT_EQ(0, ran.status) << ran.out;
  for (const stdfs::path &file : files)
    EXPECT_EQ("1\r\n", ReadBytes(file)) << file;
}

TEST_F(CliTest, FolderTheUserCannotSearchIsToldOfAsFailedAndCountedOnce) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root, to run as another user";
  const stdfs::path shut = scratch_.root() / "shared" / "shut";
  stdfs::create_directories(shut);
  stdfs::permissions(shut.parent_path(), stdfs::perms::all);
  stdfs::permissions(shut, stdfs::perms::none);
  How how = AsNobody();
  const Ran ran = RunCli({"-v", shut.parent_path().string()}, how);
  EXPECT_EQ(1, ran.status) << ran.err;
  EXPECT_EQ(0u, ran.err.find("failed " + shut.string() + ": folder could not be searched\n" +
                             "shortened 0, unchanged 0, failed 1; "
                             "left alone: 0;"))
      << ran.err;
}

// A journal another user could plant or lead elsewhere is never trusted: a
// superuser whose state folder is still a user's (HOME kept by sudo -E) is
// told to choose their own, and nothing changes.
TEST_F(CliTest, JournalFolderAnotherUserCouldChangeIsNotUsed) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root, to give the state folder to another user";
  const stdfs::path file = scratch_.file("f", "a\nb\n");
  const stdfs::path state = scratch_.root() / "state";
  stdfs::create_directory(state);
  ASSERT_EQ(0, ::chown(state.c_str(), 65534, 65534));
  const Ran ran = RunCli({Tree()});
  EXPECT_EQ(1, ran.status) << ran.err;
  EXPECT_NE(std::string::npos, ran.err.find("cannot use the journal folder '" + state.string() +
                                            "/tailsnip': another user could change it"))
      << ran.err;
  EXPECT_EQ("a\nb\n", ReadBytes(file));
  EXPECT_FALSE(stdfs::exists(state / "tailsnip")) << "a journal folder was made there";
}

TEST_F(CliTest, BusyFolderIsAnErrorAndTheOtherOperandsStillRun) {
  const stdfs::path other = scratch_.file("../other/c.txt", "1\n2\n");
  // Held as a run working in the folder holds it.
  const int held = ::open(Tree().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(0, ::flock(held, LOCK_EX));
  const Ran alone = RunCli({Tree()});
  const Ran dryRun = RunCli({"--dry-run", Tree()});
  const Ran both = RunCli({"-q", Tree(), other.parent_path().string()});
  ::close(held);
  const std::string busy = "tailsnip-cli: another run is working in '" + Tree() +
                           "' (or in a folder inside it); nothing was changed\n";
  EXPECT_EQ(2, alone.status);
  EXPECT_EQ("", alone.out);
  EXPECT_EQ(busy, alone.err);
  EXPECT_EQ(2, dryRun.status);
  EXPECT_EQ("", dryRun.out);
  EXPECT_EQ(busy, dryRun.err);
  EXPECT_EQ(2, both.status);
  EXPECT_EQ("finished!\n\n1 operand was left as it was:\n" + Tree() + "\n", both.out);
  EXPECT_EQ(busy, both.err);
  EXPECT_EQ("1\r\n", ReadBytes(other));
  ExpectUntouched();
}

TEST_F(CliTest, RunsFolderMovedIntoAnotherKeepsTheRunOverThatOneOut) {
  const stdfs::path moved = scratch_.tree() / "sub";
  const stdfs::path before = scratch_.root() / "elsewhere";
  stdfs::rename(moved, before);
  // Held as a run over it holds it, paused there; then moved back in.
  const int held = ::open(before.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(0, ::flock(held, LOCK_EX));
  stdfs::rename(before, moved);
  const Ran ran = RunCli({Tree()});
  ::close(held);
  EXPECT_EQ(2, ran.status);
  EXPECT_EQ("", ran.out);
  EXPECT_EQ("tailsnip-cli: another run is working in '" + moved.string() +
                "' (or in a folder inside it); nothing was changed\n",
            ran.err);
  ExpectUntouched();
}

// A umask that takes even the user's own bits leaves the journal folder
// and the journal of use to the run, and to the next one.
TEST_F(CliTest, UmaskTakingTheUsersOwnBitsLeavesTheJournalUsable) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root, to run as another user";
  const stdfs::path file = scratch_.file("theirs/f", "1\n2\n3\n");
  ASSERT_TRUE(GiveToNobody(file));
  const How how = AsNobody();
  const mode_t mask = ::umask(0777);
  const Ran first = RunCli({"--quiet", file.parent_path().string()}, how);
  const Ran second = RunCli({"--quiet", file.parent_path().string()}, how);
  ::umask(mask);
  EXPECT_EQ(0, first.status) << first.err;
  EXPECT_EQ(0, second.status) << second.err;
  EXPECT_EQ("1\r\n", ReadBytes(file));
}

// A file without a write bit is kept, even by the superuser, and never
// opened for writing: anyone watching it (a build, a sync) would see a write.
TEST_F(CliTest, ReadOnlyFileIsKeptWithoutBeingOpenedForWriting) {
  const stdfs::path locked = scratch_.file("locked", "a\nb\n");
  ASSERT_EQ(0, ::chmod(locked.c_str(), 0444));
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_LE(0, watch);
  ASSERT_LE(0, ::inotify_add_watch(watch, locked.c_str(), IN_CLOSE_WRITE));
  for (const char *mode : {"-k", "--lines=1"}) {
    const Ran ran = RunCli({mode, locked.string()});
    EXPECT_EQ(1, ran.status) << mode;
    EXPECT_NE(std::string::npos, ran.out.find(locked.string() + ": read-only")) << ran.out;
  }
  EXPECT_EQ("a\nb\n", ReadBytes(locked));
  char events[4096];
  EXPECT_EQ(-1, ::read(watch, events, sizeof events)) << "the file was opened for writing";
  ::close(watch);
}

} // namespace
} // namespace tailsnip::testing
