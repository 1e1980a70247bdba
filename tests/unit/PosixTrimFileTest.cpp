// File trimming where POSIX file systems differ from Windows: links, pipes,
// permissions, and volumes that are full, read-only or another device.
#include "engine/trim/TrimFile.h"

#include "PosixVolume.h"
#include "ReferenceModel.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace tailsnip {
namespace {

using testing::ReadBytes;
using testing::Scratch;
using testing::TmpfsVolume;
namespace stdfs = std::filesystem;

std::size_t CountEntries(const stdfs::path &folder) {
  return static_cast<std::size_t>(
      std::distance(stdfs::directory_iterator(folder), stdfs::directory_iterator()));
}

class PosixTrimFileTest : public ::testing::Test {
protected:
  TrimResult Trim(const stdfs::path &path) { return TrimFile(path.string(), buffer_); }

  Scratch scratch_;
  TrimBuffer buffer_;
};

TEST_F(PosixTrimFileTest, LinksAreNeitherFollowedNorReplaced) {
  const stdfs::path target = scratch_.file("target", "a\nb\n");
  const stdfs::path link = scratch_.tree() / "link";
  stdfs::create_symlink("target", link);
  const TrimResult result = Trim(link);
  EXPECT_EQ(Outcome::LeftUnchanged, result.outcome);
  EXPECT_EQ(Reason::IsLink, result.reason);
  EXPECT_TRUE(stdfs::is_symlink(link));
  EXPECT_EQ("a\nb\n", ReadBytes(target));

  stdfs::create_symlink("nowhere", scratch_.tree() / "dangling");
  EXPECT_EQ(Reason::IsLink, Trim(scratch_.tree() / "dangling").reason);
}

// Never opened: a device's driver acts on its opening (a watchdog starts, a
// tape rewinds), and a pipe would wait for a writer.
TEST_F(PosixTrimFileTest, PipesSocketsAndDevicesAreLeftAloneUnopened) {
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_LE(0, watch);
  const stdfs::path fifo = scratch_.tree() / "fifo";
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0644));
  ASSERT_LE(0, ::inotify_add_watch(watch, fifo.c_str(), IN_OPEN));
  EXPECT_EQ(Reason::NotRegularFile, Trim(fifo).reason);
  EXPECT_EQ(stdfs::file_type::fifo, stdfs::symlink_status(fifo).type());

  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const stdfs::path socketPath = scratch_.tree() / "socket";
  ASSERT_LT(socketPath.string().size(), sizeof address.sun_path);
  std::strcpy(address.sun_path, socketPath.c_str());
  ASSERT_EQ(0, ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address));
  EXPECT_EQ(Reason::NotRegularFile, Trim(socketPath).reason);
  ::close(fd);

  // The null device's number, under a name of the tree's own.
  const stdfs::path device = scratch_.tree() / "device";
  if (::mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
    ASSERT_LE(0, ::inotify_add_watch(watch, device.c_str(), IN_OPEN));
    EXPECT_EQ(Reason::NotRegularFile, Trim(device).reason);
  }
  char events[4096];
  EXPECT_EQ(-1, ::read(watch, events, sizeof events)) << "a pipe or a device was opened";
  ::close(watch);
}

TEST_F(PosixTrimFileTest, CopyKeepsThePermissionBits) {
  const stdfs::path path = scratch_.file("script", "#!/bin/sh\necho hi\nexit\n");
  ASSERT_EQ(0, ::chmod(path.c_str(), 0751));
  ASSERT_EQ(Outcome::Shortened, Trim(path).outcome);
  struct stat status;
  ASSERT_EQ(0, ::stat(path.c_str(), &status));
  EXPECT_EQ(0751u, status.st_mode & 07777);
}

TEST_F(PosixTrimFileTest, NoWriteBitMeansReadOnlyEvenForRoot) {
  const stdfs::path path = scratch_.file("locked", "a\nb\n");
  ASSERT_EQ(0, ::chmod(path.c_str(), 0444));
  EXPECT_EQ(Reason::ReadOnly, Trim(path).reason);
  EXPECT_EQ("a\nb\n", ReadBytes(path));
  EXPECT_EQ(0u, CountEntries(scratch_.cwd()));
}

TEST_F(PosixTrimFileTest, FileWrittenToWhileShortenedKeepsEverything) {
  // A log that grows during the run: its new lines must not vanish with the rename.
  std::string original;
  for (int line = 0; line < 400000; ++line) // about 9 MiB: many reads long
    original += "line " + std::to_string(line) + "\n";
  const stdfs::path path = scratch_.file("growing.log", original);
  std::atomic<bool> done{false};
  std::string appended;
  std::thread writer([&] {
    std::ofstream log(path, std::ios::binary | std::ios::app);
    for (int line = 0; !done; ++line) {
      const std::string text = "appended " + std::to_string(line) + "\n";
      log << text << std::flush;
      appended += text;
    }
  });
  const TrimResult result = Trim(path);
  done = true;
  writer.join();
  EXPECT_EQ(Outcome::Failed, result.outcome);
  // A lease tells of the writer's opening; without one, its writes tell.
  EXPECT_TRUE(result.reason == Reason::InUse || result.reason == Reason::ChangedWhileShortened)
      << DescribeReason(result.reason);
  EXPECT_TRUE(ReadBytes(path) == original + appended) << "lines written during the run were lost";
  EXPECT_EQ(0u, CountEntries(scratch_.cwd())) << "temp.txt left behind";
}

TEST_F(PosixTrimFileTest, CopyOnAnotherVolumeIsMovedBesideTheEntryFirst) {
  TmpfsVolume volume(scratch_.cwd(), 1 << 20);
  TAILSNIP_REQUIRE_MOUNTED(volume);
  stdfs::current_path(scratch_.cwd()); // step onto the new volume
  const stdfs::path path = scratch_.file("entry", "a\nb\nc\n");
  const TrimResult result = Trim(path);
  EXPECT_EQ(Outcome::Shortened, result.outcome) << DescribeReason(result.reason);
  EXPECT_EQ("a\r\nb\r\n", ReadBytes(path));
  EXPECT_EQ(1u, CountEntries(scratch_.tree())) << "a stray file beside the entry";
  EXPECT_EQ(0u, CountEntries(scratch_.cwd())) << "temp.txt left behind";
}

TEST_F(PosixTrimFileTest, VolumeMountedTwiceTakesTheCopyBesideTheEntryOnceTheRenameIsRefused) {
  // The current directory is the entry's volume mounted a second time: the
  // same device, but no rename from one mount to the other.
  if (::geteuid() != 0)
    GTEST_SKIP() << "bind mounts need root";
  const stdfs::path shared = scratch_.root() / "shared";
  stdfs::create_directory(shared);
  if (::mount(shared.c_str(), scratch_.cwd().c_str(), nullptr, MS_BIND, nullptr) != 0)
    GTEST_SKIP() << "bind mount failed: " << std::strerror(errno);
  stdfs::current_path(scratch_.cwd()); // step onto the second mount
  const stdfs::path path = scratch_.file("entry", "a\nb\nc\n");
  const TrimResult result = Trim(path);
  stdfs::current_path(scratch_.root());
  ::umount2(scratch_.cwd().c_str(), MNT_DETACH);
  EXPECT_EQ(Outcome::Shortened, result.outcome) << DescribeReason(result.reason);
  EXPECT_EQ("a\r\nb\r\n", ReadBytes(path));
  EXPECT_EQ(1u, CountEntries(scratch_.tree())) << "a stray file beside the entry";
  EXPECT_EQ(0u, CountEntries(shared)) << "temp.txt left behind";
}

TEST_F(PosixTrimFileTest, FullCurrentVolumeIsPassedOverForTheEntrysOwn) {
  TmpfsVolume volume(scratch_.cwd(), 64 << 10);
  TAILSNIP_REQUIRE_MOUNTED(volume);
  stdfs::current_path(scratch_.cwd());
  const std::string big(1 << 20, 'x');
  const stdfs::path path = scratch_.file("entry", big + "\n" + big + "\n");
  const TrimResult result = Trim(path);
  EXPECT_EQ(Outcome::Shortened, result.outcome) << DescribeReason(result.reason);
  EXPECT_EQ(big + "\r\n", ReadBytes(path));
  EXPECT_EQ(0u, CountEntries(scratch_.cwd())) << "temp.txt left behind";
}

TEST_F(PosixTrimFileTest, FullEntryVolumeKeepsTheEntryAndLeavesNothingBeside) {
  // The copy fits where it is written but not beside the entry.
  TmpfsVolume volume(scratch_.tree(), 1536 << 10);
  TAILSNIP_REQUIRE_MOUNTED(volume);
  const std::string big(1 << 20, 'x');
  const stdfs::path path = scratch_.file("entry", big + "\nlast\n");
  const TrimResult result = Trim(path);
  EXPECT_EQ(Outcome::Failed, result.outcome);
  EXPECT_EQ(Reason::CannotWriteCopy, result.reason);
  EXPECT_EQ("temporary copy could not be written: No space left on device",
            DescribeFailure(result.reason, result.systemError));
  EXPECT_EQ(big + "\nlast\n", ReadBytes(path));
  EXPECT_EQ(1u, CountEntries(scratch_.tree())) << "a stray file beside the entry";
  EXPECT_EQ(0u, CountEntries(scratch_.cwd())) << "temp.txt left behind";
}

TEST_F(PosixTrimFileTest, UnwritableCurrentDirectorySendsTheCopyBesideTheEntry) {
  TmpfsVolume volume(scratch_.cwd(), 1 << 20);
  TAILSNIP_REQUIRE_MOUNTED(volume);
  stdfs::current_path(scratch_.cwd()); // step onto the new volume
  ASSERT_TRUE(volume.makeReadOnly());
  const stdfs::path path = scratch_.file("entry", "a\nb\n");
  const TrimResult result = Trim(path);
  EXPECT_EQ(Outcome::Shortened, result.outcome) << DescribeReason(result.reason);
  EXPECT_EQ("a\r\n", ReadBytes(path));
  EXPECT_EQ(1u, CountEntries(scratch_.tree())) << "a stray file beside the entry";
}

// Text at its offset in a file; what no text covers is a hole.
using SparseLayout = std::vector<std::pair<off_t, std::string>>;

void WriteSparse(const stdfs::path &path, off_t size, const SparseLayout &layout) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_LE(0, fd);
  for (const auto &[offset, text] : layout)
    ASSERT_EQ(static_cast<ssize_t>(text.size()), ::pwrite(fd, text.data(), text.size(), offset));
  ASSERT_EQ(0, ::ftruncate(fd, size));
  ::close(fd);
}

std::uint64_t StoredBytes(const stdfs::path &path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0 ? std::uint64_t(status.st_blocks) * 512 : 0;
}

TEST_F(PosixTrimFileTest, HolesStayHolesInEitherModeAndReadAsTheZerosTheyWere) {
  constexpr off_t kStep = 256 << 10;
  // A carriage return just before a hole and a line feed just after one;
  // the last line after holes, or in one of its own; in a file of several
  // chunks, and in one read whole.
  const std::pair<off_t, SparseLayout> layouts[] = {
      {5 * kStep + 6,
       {{0, "a\nb\r\n"}, {2 * kStep, "c\r"}, {3 * kStep, "\nd\n"}, {5 * kStep, "last\n"}}},
      {3 * kStep, {{0, "x\ny\n"}, {kStep, "z\r\n"}}},
  };
  const stdfs::path path = scratch_.tree() / "sparse";
  for (const auto &[size, layout] : layouts)
    for (const TrimSettings &settings :
         {TrimSettings{}, TrimSettings{1, true, {}}, TrimSettings{2, false, {}}})
      for (const std::size_t chunk : {std::size_t{4093}, TrimBuffer::kDefaultChunk}) {
        WriteSparse(path, size, layout);
        const std::uint64_t stored = StoredBytes(path);
        if (stored >= static_cast<std::uint64_t>(size))
          GTEST_SKIP() << "the file system under " << path << " keeps no holes";
        const std::string expected =
            reference::Shortened(ReadBytes(path), settings.lines, settings.keepLineEnds);
        TrimBuffer buffer(chunk);
        const TrimResult result = TrimFile(path.string(), buffer, TrimMode::Replace, settings);
        const std::string how = "chunk " + std::to_string(chunk) + ", " +
                                std::to_string(settings.lines) + " lines, line ends kept " +
                                std::to_string(settings.keepLineEnds);
        EXPECT_EQ(Outcome::Shortened, result.outcome) << how;
        EXPECT_TRUE(ReadBytes(path) == expected) << how;
        // Blocks the copy's lines now straddle may be stored; no hole is.
        EXPECT_LE(StoredBytes(path), stored + 64 * 1024) << how;
      }
}

} // namespace
} // namespace tailsnip
