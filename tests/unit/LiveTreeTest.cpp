// Runs over a tree that is alive: other programs write to it, other users
// share it, and its folders change while a run works in it.
#include "engine/run/RunTrim.h"

#include "OpenFileLimit.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <linux/filter.h>
#include <linux/fs.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <set>
#include <thread>
#include <vector>

namespace tailsnip {
namespace {

using testing::Native;
using testing::ReadBytes;
using testing::Scratch;
using testing::WriteBytes;
namespace stdfs = std::filesystem;

constexpr uid_t kNobody = 65534;

// Each failure as "name: reason".
std::vector<std::string> Failed(const RunReport &report) {
  std::vector<std::string> named;
  for (const Failure &failure : report.failures)
    named.push_back(stdfs::path(failure.path).filename().string() + ": " +
                    DescribeFailure(failure.reason, failure.systemError));
  return named;
}

class LiveTreeTest : public ::testing::Test {
protected:
  RunReport Run(const stdfs::path &folder, RunOptions options = {}) {
    return RunTrim(
        Native(folder), [this](const std::string &text) { notices_.push_back(text); }, options);
  }

  // The folder "x" in the tree, holding "inside", and a folder beside the
  // tree, returned, holding `name`: where a link put in x's place leads.
  stdfs::path FolderAndElsewhere(const std::string &name) {
    scratch_.file("x/inside", "1\n2\n");
    const stdfs::path elsewhere = scratch_.root() / "elsewhere";
    stdfs::create_directory(elsewhere);
    WriteBytes(elsewhere / name, "keep\nme\n");
    return elsewhere;
  }

  // Moves "x" aside, to "x-moved" beside the tree, and puts a link to
  // `elsewhere` in its place.
  void SwapFolderForLinkTo(const stdfs::path &elsewhere) {
    stdfs::rename(scratch_.tree() / "x", scratch_.root() / "x-moved");
    stdfs::create_directory_symlink(elsewhere, scratch_.tree() / "x");
  }

  Scratch scratch_;
  std::vector<std::string> notices_;
};

// The names in `folder`, sorted.
std::vector<std::string> Listing(const stdfs::path &folder) {
  std::vector<std::string> names;
  for (const auto &item : stdfs::directory_iterator(folder))
    names.push_back(item.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Runs over "a" and "b" with copies in flight, twice: once the first is
// replaced, the other, whose copy waits while the run holds it, is saved anew
// the way editors save (written beside and renamed over it, the old file
// never opened), and the second time removed. Returns what went wrong.
std::string SaveOverThenRemoveMidRun(const stdfs::path &tree) {
  std::string problems;
  for (const bool remove : {false, true}) {
    WriteBytes(tree / "a", "1\n2\n");
    WriteBytes(tree / "b", "1\n2\n");
    std::string first, other;
    RunOptions options;
    options.copiesInFlight = 256;
    options.onEntry = [&](const FolderPath &path, const TrimResult &) {
      if (!first.empty())
        return;
      first = stdfs::path(path).filename().string();
      other = first == "a" ? "b" : "a";
      WriteBytes(tree / "new", "saved\n");
      stdfs::rename(tree / "new", tree / other);
      if (remove)
        stdfs::remove(tree / other);
    };
    const RunReport report = RunTrim(
        Native(tree), [](const std::string &) {}, options);
    const std::vector<std::string> expected = {other + (remove ? ": removed" : ": changed") +
                                               " during the run"};
    if (Failed(report) != expected)
      problems += "not reported as " + expected[0] + "; ";
    if (remove ? Listing(tree) != std::vector<std::string>{first}
               : Listing(tree) != std::vector<std::string>{"a", "b"} ||
                     ReadBytes(tree / other) != "saved\n")
      problems += remove ? "the removed file came back, or a copy was left; "
                         : "the saved version was lost, or a copy was left; ";
  }
  return problems;
}

std::size_t OpenFiles() {
  return static_cast<std::size_t>(
      std::distance(stdfs::directory_iterator("/proc/self/fd"), stdfs::directory_iterator()));
}

TEST_F(LiveTreeTest, ReplacedFilesAreLetGoBeforeTheRunEnds) {
  // Until its last close a replaced file keeps its space on the disk, and a
  // program that runs again and again would run out of open files.
  for (int n = 0; n < 600; ++n)
    scratch_.file("f/" + std::to_string(n), "a\nb\n");
  // What a first run opens for the process's life (/proc/self/fd) is not
  // the run's to close.
  Run(scratch_.tree() / "f" / "none");
  const std::size_t before = OpenFiles();
  RunOptions options;
  options.copiesInFlight = 256;
  const RunReport report = Run(scratch_.tree(), options);
  EXPECT_EQ(600u, report.shortened);
  EXPECT_EQ(before, OpenFiles()) << "files the run opened are still open";
}

TEST_F(LiveTreeTest, FewOpenFilesAllowedMeansFewerCopiesInFlight) {
  for (int n = 0; n < 600; ++n)
    scratch_.file("f/" + std::to_string(n), "a\nb\n");
  RunOptions options;
  options.copiesInFlight = 256;
  RunReport report;
  {
    const testing::OpenFileLimit few(150);
    ASSERT_TRUE(few.lowered());
    report = Run(scratch_.tree(), options);
  }
  EXPECT_EQ(std::vector<std::string>{}, Failed(report));
  EXPECT_EQ(600u, report.shortened);
}

// "temp.txt" in the current folder is for a run that asks for it: there,
// users the entry's folders keep out could read it.
TEST_F(LiveTreeTest, RunAllowedFewerOpenFilesThanItsCopiesNeedWritesThemBesideTheirEntries) {
  scratch_.file("private/f", "a\nb\n");
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_LE(0, watch);
  ASSERT_LE(0, ::inotify_add_watch(watch, scratch_.cwd().c_str(), IN_CREATE | IN_MOVED_TO));
  RunOptions options;
  options.copiesInFlight = 256;
  RunReport report;
  {
    const testing::OpenFileLimit few(66); // room for one copy at most
    ASSERT_TRUE(few.lowered());
    report = Run(scratch_.tree(), options);
  }
  char events[4096];
  const ssize_t made = ::read(watch, events, sizeof events);
  ::close(watch);
  EXPECT_EQ(-1, made) << "a file was made in the current folder";
  EXPECT_EQ(1u, report.shortened);
  EXPECT_EQ("a\r\n", ReadBytes(scratch_.tree() / "private" / "f"));
}

TEST_F(LiveTreeTest, FoldersTooDeepToHoldOpenAreNamedWithTheSystemsReason) {
  // Every folder on the way down is held open; past the open-file limit
  // what lies deeper cannot be reached, and must not be called changed.
  stdfs::path deep = scratch_.tree();
  for (int level = 0; level < 100; ++level)
    deep /= "d";
  stdfs::create_directories(deep);
  WriteBytes(deep / "f", "a\nb\n");
  RunReport report;
  {
    const testing::OpenFileLimit few(64);
    ASSERT_TRUE(few.lowered());
    report = Run(scratch_.tree());
  }
  EXPECT_EQ("a\nb\n", ReadBytes(deep / "f"));
  const std::vector<std::string> failed = Failed(report);
  ASSERT_FALSE(failed.empty());
  EXPECT_EQ("f: folder could not be searched: Too many open files", failed.back());
}

TEST_F(LiveTreeTest, FolderSwappedForALinkLeadsNowhere) {
  const stdfs::path elsewhere = FolderAndElsewhere("inside");
  RunOptions options;
  options.onListed = [&](std::size_t) { // between the listing and the first change
    SwapFolderForLinkTo(elsewhere);
  };
  const RunReport report = Run(scratch_.tree(), options);
  EXPECT_EQ("keep\nme\n", ReadBytes(elsewhere / "inside")) << "a file outside the tree changed";
  EXPECT_EQ("1\n2\n", ReadBytes(scratch_.root() / "x-moved" / "inside"));
  EXPECT_EQ((std::vector<std::string>{"x: changed during the run",
                                      "inside: folder changed during the run"}),
            Failed(report));
}

// A folder swapped for a link after its own folder was listed is not
// entered: nothing the link leads to is listed.
TEST_F(LiveTreeTest, FolderSwappedForALinkWhileTheWalkListsIsNotEntered) {
  const stdfs::path elsewhere = FolderAndElsewhere("secret");
  RunOptions options;
  options.walk.include = [&](const std::string &relative, bool isFolder) {
    if (isFolder && relative == "x") // listed, and about to be entered
      SwapFolderForLinkTo(elsewhere);
    return true;
  };
  const RunReport report = Run(scratch_.tree(), options);
  EXPECT_EQ("keep\nme\n", ReadBytes(elsewhere / "secret"));
  EXPECT_EQ(std::vector<std::string>{"x: folder changed during the run"}, Failed(report));
}

// A file put where a folder was listed is no entry the run chose: it is
// kept, not shortened.
TEST_F(LiveTreeTest, FileSwappedForAListedFolderIsKept) {
  scratch_.file("x/inside", "1\n2\n");
  RunOptions options;
  options.onListed = [&](std::size_t) {
    stdfs::rename(scratch_.tree() / "x", scratch_.root() / "x-moved");
    WriteBytes(scratch_.tree() / "x", "not\nchosen\n");
  };
  const RunReport report = Run(scratch_.tree(), options);
  EXPECT_EQ("not\nchosen\n", ReadBytes(scratch_.tree() / "x"));
  EXPECT_EQ((std::vector<std::string>{"x: changed during the run",
                                      "inside: folder changed during the run"}),
            Failed(report));
}

TEST_F(LiveTreeTest, WriterHoldingTheFileOpenLosesNoLine) {
  const stdfs::path log = scratch_.file("app.log", "start\n");
  const int writer = ::open(log.c_str(), O_WRONLY | O_APPEND);
  ASSERT_LE(0, writer);
  ASSERT_EQ(7, ::write(writer, "during\n", 7));
  const RunReport report = Run(scratch_.tree());
  ASSERT_EQ(6, ::write(writer, "after\n", 6));
  ::close(writer);
  EXPECT_EQ("start\nduring\nafter\n", ReadBytes(log));
  // The lease's refusal is no error of the system's to tell of.
  EXPECT_EQ(std::vector<std::string>{"app.log: in use"}, Failed(report));
}

TEST_F(LiveTreeTest, FileAnotherProgramHoldsLeasedIsKeptAsInUse) {
  const stdfs::path file = scratch_.file("shared.db", "1\n2\n");
  int ready[2];
  ASSERT_EQ(0, ::pipe(ready));
  const pid_t holder = ::fork();
  if (holder == 0) {
    ::signal(SIGIO, SIG_IGN); // told of each break, and holding on until the break time
    const int fd = ::open(file.c_str(), O_RDONLY);
    const char held = ::fcntl(fd, F_SETLEASE, F_RDLCK) == 0 ? 'y' : 'n';
    (void)!::write(ready[1], &held, 1);
    ::pause();
    ::_exit(0);
  }
  char held = 0;
  ASSERT_EQ(1, ::read(ready[0], &held, 1));
  RunOptions options;
  options.shortenInPlace = true; // opened for writing, which the lease refuses
  options.trim.keepLineEnds = true;
  const RunReport report = Run(scratch_.tree(), options);
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);
  ASSERT_EQ('y', held) << "no lease could be taken here";
  EXPECT_EQ("1\n2\n", ReadBytes(file));
  EXPECT_EQ(std::vector<std::string>{"shared.db: in use"}, Failed(report));
}

// A reader that opens a file whose copy waits, flushed, for its rename gets
// the file at once; the kernel would otherwise hold it for its lease-break
// time (45 s by default) or until the rename. The file is kept, as in use.
TEST_F(LiveTreeTest, OpeningAFileThatWaitsForItsRenameTakesItBackAtOnce) {
  scratch_.file("a", "1\n2\n");
  scratch_.file("b", "3\n4\n");
  RunOptions options;
  options.copiesInFlight = 6; // a and b are written and flushed together, then renamed in turn
  stdfs::path opened;
  bool openedBeforeItsTurn = false;
  int reader = -1;
  options.onEntry = [&](const FolderPath &path, const TrimResult &) {
    if (!opened.empty())
      return;
    opened = scratch_.tree() / (stdfs::path(path).filename() == "a" ? "b" : "a");
    std::future<int> open =
        std::async(std::launch::async, [&] { return ::open(opened.c_str(), O_RDONLY); });
    // Waited for in short sleeps: ThreadSanitizer runs a signal's handler
    // only once the thread it reached enters a call it watches.
    for (int tick = 0; tick < 1000 && !openedBeforeItsTurn; ++tick) {
      openedBeforeItsTurn = open.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
      if (!openedBeforeItsTurn)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    reader = open.get();
  };
  const RunReport report = Run(scratch_.tree(), options);
  EXPECT_TRUE(openedBeforeItsTurn) << "the reader waited for the run";
  ASSERT_LE(0, reader);
  char seen[8] = {};
  EXPECT_EQ(4, ::read(reader, seen, sizeof seen));
  ::close(reader);
  EXPECT_EQ(std::string(seen), ReadBytes(opened)) << "the reader's file was replaced";
  EXPECT_EQ(std::vector<std::string>{opened.filename().string() + ": in use"}, Failed(report));
  EXPECT_EQ(1u, report.shortened);
  EXPECT_EQ(2, std::distance(stdfs::directory_iterator(scratch_.tree()), {}))
      << "a copy was left beside the entries";
}

// A reader that opens a file while it waits, read and leased, to be cut in
// place gets it at once, as it is: the cut is not made, the file is kept as
// in use.
TEST_F(LiveTreeTest, OpeningAFileThatWaitsForItsCutTakesItBackAtOnce) {
  for (const char *name : {"a", "b", "c"})
    scratch_.file(name, "1\n2\n");
  RunOptions options;
  options.copiesInFlight = 9; // the three are read before the first is cut
  options.shortenInPlace = true;
  options.trim.keepLineEnds = true;
  std::vector<stdfs::path> read;
  int reader = -1;
  options.sinceListed = [&](std::size_t index, const FolderPath &path) {
    read.push_back(path);
    if (index == 2)
      reader = ::open(read[1].c_str(), O_RDONLY);
    return SinceListed::Unchanged;
  };
  const RunReport report = Run(scratch_.tree(), options);
  ASSERT_LE(0, reader);
  char seen[8] = {};
  EXPECT_EQ(4, ::read(reader, seen, sizeof seen));
  ::close(reader);
  EXPECT_STREQ("1\n2\n", seen);
  EXPECT_EQ("1\n2\n", ReadBytes(read[1])) << "the reader's file was cut";
  EXPECT_EQ(std::vector<std::string>{read[1].filename().string() + ": in use"}, Failed(report));
  EXPECT_EQ(2u, report.shortened);
}

// A truncation drops a file's capabilities and set-user-ID bit: a file that
// has them is copied, and the copy given them again, rather than cut.
TEST_F(LiveTreeTest, FileWithPrivilegesKeepsThemWhenShortenedInPlace) {
  const stdfs::path program = scratch_.file("program", "1\n2\n");
  if (std::system(("setcap cap_net_raw+ep " + program.string() + " 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "file capabilities cannot be set here";
  RunOptions options;
  options.shortenInPlace = true;
  options.trim.keepLineEnds = true;
  const RunReport report = Run(scratch_.tree(), options);
  EXPECT_EQ(1u, report.shortened);
  EXPECT_EQ("1\n", ReadBytes(program));
  EXPECT_LT(0, ::getxattr(program.c_str(), "security.capability", nullptr, 0))
      << "the file lost its capabilities";
}

// Whether this process has a file of `folder` open: a copy being written
// there, named or not.
bool WritingIn(const stdfs::path &folder) {
  std::error_code ignored;
  for (const auto &fd : stdfs::directory_iterator("/proc/self/fd"))
    if (stdfs::read_symlink(fd.path(), ignored).parent_path() == folder)
      return true;
  return false;
}

// A reader that opens a large file while its copy is written stops the copy:
// the file is kept as it was, in use, and no copy is left.
TEST_F(LiveTreeTest, OpeningAFileBeingCopiedStopsItsCopy) {
  // Dense, not sparse: holes are skipped, and the copy must take a while.
  constexpr off_t kSize = off_t{128} << 20;
  const stdfs::path big =
      scratch_.file("big", std::string(static_cast<std::size_t>(kSize) - 5, 'x') + "\nend\n");
  std::atomic<bool> runEnded{false};
  std::atomic<bool> readerOpened{false};
  std::thread reader([&] {
    while (!runEnded && !WritingIn(scratch_.cwd()))
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (runEnded)
      return;
    const int fd = ::open(big.c_str(), O_RDONLY);
    readerOpened = fd >= 0;
    ::close(fd);
  });
  std::uint64_t copied = 0;
  RunOptions options;
  options.onEntry = [&](const FolderPath &, const TrimResult &result) {
    copied = result.bytesWritten;
  };
  const RunReport report = Run(scratch_.tree(), options);
  runEnded = true;
  reader.join();
  ASSERT_TRUE(readerOpened);
  EXPECT_EQ(std::vector<std::string>{"big: in use"}, Failed(report));
  EXPECT_LT(copied, static_cast<std::uint64_t>(kSize) / 2)
      << "the copy went on after the reader came";
  EXPECT_EQ(static_cast<std::uintmax_t>(kSize), stdfs::file_size(big));
  std::ifstream in(big, std::ios::binary);
  in.seekg(kSize - 5);
  EXPECT_EQ("\nend\n", std::string(std::istreambuf_iterator<char>(in), {}));
  EXPECT_TRUE(stdfs::is_empty(scratch_.cwd())) << "the copy was left behind";
}

TEST_F(LiveTreeTest, FileRemovedAfterTheListingIsToldOfAsRemoved) {
  scratch_.file("gone", "a\nb\n");
  RunOptions options;
  options.onListed = [&](std::size_t) { stdfs::remove(scratch_.tree() / "gone"); };
  EXPECT_EQ(std::vector<std::string>{"gone: removed during the run"},
            Failed(Run(scratch_.tree(), options)));
}

// The next number is counted in the folder the run holds, wherever it went.
TEST_F(LiveTreeTest, NumberedBackupInAFolderMovedDuringTheRunTakesTheNextNumber) {
  scratch_.file("x/b", "1\n2\n");
  scratch_.file("x/b.~7~", "older\n");
  RunOptions options;
  options.trim.backup.control = BackupControl::Numbered;
  options.copiesInFlight = 8;
  options.foundAsListed = [&](std::size_t, const fs::FileInfo &) {
    if (stdfs::exists(scratch_.tree() / "x"))
      stdfs::rename(scratch_.tree() / "x", scratch_.root() / "x-moved");
    return true;
  };
  const RunReport report = Run(scratch_.tree(), options);
  EXPECT_EQ(std::vector<std::string>{}, Failed(report));
  EXPECT_EQ((std::vector<std::string>{"b", "b.~7~", "b.~8~"}),
            Listing(scratch_.root() / "x-moved"));
  EXPECT_EQ("1\n2\n", ReadBytes(scratch_.root() / "x-moved" / "b.~8~"));
}

TEST_F(LiveTreeTest, FileSavedOverOrRemovedDuringTheRunIsLeftSo) {
  EXPECT_EQ("", SaveOverThenRemoveMidRun(scratch_.tree()));
}

// Runs `run` in a child process in which the system call `number` fails
// with `error` whenever its argument `argument` has any of the bits of
// `flags`, as on a file system without that feature; returns its exit code.
int RunRefusing(long number, int argument, std::uint32_t flags, int error,
                const std::function<int()> &run) {
  const pid_t child = ::fork();
  if (child == 0) {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(number), 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, // the argument's low half, on little-endian machines
                 static_cast<std::uint32_t>(offsetof(seccomp_data, args) +
                                            static_cast<std::size_t>(argument) * 8)),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, flags, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<std::uint32_t>(error)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program = {static_cast<unsigned short>(std::size(filter)), filter};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
      ::_exit(99);
    ::_exit(run());
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

TEST_F(LiveTreeTest, WithoutExchangeTheNameIsCheckedJustBeforeTheRename) {
  const int status = RunRefusing(SYS_renameat2, 4, RENAME_EXCHANGE, EINVAL, [&] {
    return SaveOverThenRemoveMidRun(scratch_.tree()).empty() ? 0 : 1;
  });
  EXPECT_EQ(0, status) << "without exchange, a file saved over or removed during the run was "
                          "replaced, or not reported";
}

// An access list in the form the kernel keeps it, granting user 65534
// `permissions`: owner rw, that user, group r, mask `mask`, others none.
std::string AccessListGranting(std::uint16_t permissions, std::uint16_t mask) {
  const std::uint32_t header = 2;
  struct Entry {
    std::uint16_t tag, permissions;
    std::uint32_t id;
  };
  const Entry entries[] = {{0x01, 6, ~0u},
                           {0x02, permissions, kNobody},
                           {0x04, 4, ~0u},
                           {0x10, mask, ~0u},
                           {0x20, 0, ~0u}};
  std::string acl(reinterpret_cast<const char *>(&header), sizeof header);
  acl.append(reinterpret_cast<const char *>(entries), sizeof entries);
  return acl;
}

TEST_F(LiveTreeTest, AccessListAndUserAttributeAreKept) {
  const stdfs::path path = scratch_.file("f", "a\nb\n");
  const std::string acl = AccessListGranting(4, 4);
  if (::setxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0 ||
      ::setxattr(path.c_str(), "user.origin", "camera", 6, 0) != 0)
    GTEST_SKIP() << "this file system keeps no access lists or user attributes";
  const RunReport report = Run(scratch_.tree());
  EXPECT_EQ(1u, report.shortened);
  char value[64];
  const ssize_t size = ::getxattr(path.c_str(), "system.posix_acl_access", value, sizeof value);
  EXPECT_EQ(acl, std::string(value, size > 0 ? static_cast<std::size_t>(size) : 0));
  EXPECT_EQ(6, ::getxattr(path.c_str(), "user.origin", value, sizeof value));
}

TEST_F(LiveTreeTest, DryRunListsWhatARealRunShortens) {
  scratch_.file("plain", "a\nb\n");
  const stdfs::path readOnly = scratch_.file("read-only", "a\nb\n");
  stdfs::permissions(readOnly, stdfs::perms::owner_read);
  const stdfs::path held = scratch_.file("held", "a\nb\n");
  const int writer = ::open(held.c_str(), O_WRONLY | O_APPEND);
  const stdfs::path fixed = scratch_.file("immutable", "a\nb\n");
  const int fd = ::open(fixed.c_str(), O_RDONLY);
  int flags = 0;
  const bool immutable = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                         (flags |= FS_IMMUTABLE_FL, ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
  ::close(fd);

  std::set<std::string> listed, shortened;
  auto collect = [](std::set<std::string> &into) {
    return [&into](const FolderPath &path, const TrimResult &result) {
      if (result.outcome == Outcome::Shortened)
        into.insert(stdfs::path(path).filename().string());
    };
  };
  RunOptions dry;
  dry.dryRun = true;
  dry.onEntry = collect(listed);
  Run(scratch_.tree(), dry);
  RunOptions real;
  real.onEntry = collect(shortened);
  const RunReport report = Run(scratch_.tree(), real);
  ::close(writer);
  if (immutable) {
    flags &= ~FS_IMMUTABLE_FL;
    const int again = ::open(fixed.c_str(), O_RDONLY);
    ::ioctl(again, FS_IOC_SETFLAGS, &flags);
    ::close(again);
  }
  EXPECT_EQ(std::set<std::string>{"plain"}, shortened);
  EXPECT_EQ(shortened, listed);
  EXPECT_EQ(immutable ? 3u : 2u, report.failures.size());
}

// Runs `run` as user and group 65534 in a child process; returns its exit code.
int RunAsNobody(const std::function<int()> &run) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
        ::setresuid(kNobody, kNobody, kNobody) != 0)
      ::_exit(99);
    ::_exit(run());
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

TEST_F(LiveTreeTest, OtherUsersFilesInYourFolderAreKeptAndNamedOnce) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root, to let another user run";
  const stdfs::path theirs = scratch_.file("theirs", "root's\nlines\n");
  const stdfs::path mine = scratch_.file("mine", "a\nb\n");
  stdfs::create_directory(scratch_.tree() / "closed");
  stdfs::permissions(scratch_.tree() / "closed", stdfs::perms::owner_all);
  ASSERT_EQ(0, ::chown(scratch_.tree().c_str(), kNobody, kNobody));
  ASSERT_EQ(0, ::chown(mine.c_str(), kNobody, kNobody));
  ::chmod(theirs.c_str(), 0644);
  // The current directory is root's: the copies must go beside the entries.
  const int status = RunAsNobody([&] {
    const RunReport report = Run(scratch_.tree());
    const std::vector<std::string> expected = {
        "closed: folder could not be searched: Permission denied",
        "theirs: no permission to write it: Permission denied"};
    std::vector<std::string> named = Failed(report);
    std::sort(named.begin(), named.end());
    return named == expected && report.shortened == 1 ? 0 : 1;
  });
  EXPECT_EQ(0, status) << "the run as user 65534 did not keep and name exactly the two";
  EXPECT_EQ("root's\nlines\n", ReadBytes(theirs));
  struct stat status_;
  ASSERT_EQ(0, ::stat(theirs.c_str(), &status_));
  EXPECT_EQ(0u, status_.st_uid) << "the file changed owner";
  EXPECT_EQ("a\r\n", ReadBytes(mine));
  EXPECT_EQ(3, std::distance(stdfs::directory_iterator(scratch_.tree()), {}))
      << "a copy was left beside the entries";
}

// The first file in `folders` that user 65534 can open, or "".
std::string OpenableByNobody(std::initializer_list<stdfs::path> folders) {
  std::vector<std::string> paths;
  for (const stdfs::path &folder : folders)
    for (const auto &item : stdfs::directory_iterator(folder))
      paths.push_back(item.path().string());
  const int found = RunAsNobody([&] {
    // Forked from a run's threads: nothing but system calls here.
    for (std::size_t i = 0; i < paths.size(); ++i)
      if (::open(paths[i].c_str(), O_RDONLY) >= 0)
        return static_cast<int>(i) + 1;
    return 0;
  });
  return found == 0                                ? ""
         : found <= static_cast<int>(paths.size()) ? paths[static_cast<std::size_t>(found) - 1]
                                                   : "(no child)";
}

// Shortens "a" and "b", mode 0640, in folders whose default access list
// would let user 65534 read and write new files: with copies in flight, then
// the dialog's way through "temp.txt". Returns what went wrong, or "".
std::string ShortenUnderADefaultAccessList(const Scratch &scratch) {
  for (const char *name : {"a", "b"}) {
    WriteBytes(scratch.tree() / name, "secret\nx\ny\n");
    stdfs::permissions(scratch.tree() / name, stdfs::perms(0640));
  }
  const std::string inherited = AccessListGranting(6, 6);
  for (const stdfs::path &folder : {scratch.tree(), scratch.cwd()})
    if (::setxattr(folder.c_str(), "system.posix_acl_default", inherited.data(), inherited.size(),
                   0) != 0)
      return "skip";
  std::string problems, openedMidRun = "(not looked at)";
  RunOptions options;
  options.copiesInFlight = 256; // copies beside their entries, the second's waiting
  options.onEntry = [&](const FolderPath &, const TrimResult &) {
    if (openedMidRun == "(not looked at)")
      openedMidRun = OpenableByNobody({scratch.tree()});
  };
  const auto ignore = [](const std::string &) {};
  if (RunTrim(Native(scratch.tree()), ignore, options).shortened != 2 ||
      RunTrim(Native(scratch.tree()), ignore).shortened != 2)
    problems += "not every file was shortened; ";
  if (!openedMidRun.empty())
    problems += "user 65534 could open " + openedMidRun + " during the run; ";
  if (const std::string opened = OpenableByNobody({scratch.tree(), scratch.cwd()}); !opened.empty())
    problems += "user 65534 can open " + opened + "; ";
  for (const char *name : {"a", "b"}) {
    const stdfs::path path = scratch.tree() / name;
    if (ReadBytes(path) != "secret\r\n" ||
        stdfs::status(path).permissions() != stdfs::perms(0640) ||
        ::getxattr(path.c_str(), "system.posix_acl_access", nullptr, 0) >= 0)
      problems += std::string(name) + " has other contents, permissions or an access list; ";
  }
  return problems;
}

TEST_F(LiveTreeTest, CopyTakesNoAccessFromTheFoldersDefaultAccessList) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root, to let another user try";
  const std::string problems = ShortenUnderADefaultAccessList(scratch_);
  if (problems == "skip")
    GTEST_SKIP() << "this file system keeps no access lists";
  EXPECT_EQ("", problems);
}

TEST_F(LiveTreeTest, WithoutUnnamedFilesTheCopyIsStillClosedToOthers) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root, to let another user try";
  const int status = RunRefusing(SYS_openat, 2, O_TMPFILE & ~O_DIRECTORY, EOPNOTSUPP, [&] {
    const std::string problems = ShortenUnderADefaultAccessList(scratch_);
    return problems.empty() ? 0 : problems == "skip" ? 2 : 1;
  });
  if (status == 2)
    GTEST_SKIP() << "this file system keeps no access lists";
  EXPECT_EQ(0, status) << "without unnamed files, user 65534 could open a copy or a shortened file";
}

} // namespace
} // namespace tailsnip
