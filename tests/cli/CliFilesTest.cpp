// What a shortened file keeps (flags, inode, access list, holes), and files a
// run cannot change: mounts, immutable folders, deep trees, no /proc.
#include "CliRun.h"
#include "OpenFileLimit.h"
#include "PosixVolume.h"
#include "ReferenceModel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <linux/fs.h>
#include <set>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace tailsnip::testing {
namespace {

namespace stdfs = std::filesystem;

// Without /proc a file cannot be reopened through the handle it was
// described by: it is opened by its name again, and described again.
TEST_F(CliTest, WithoutProcFilesAreOpenedByNameAndShortenedAlike) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "LeakSanitizer reads /proc as the program ends, and its options from there";
#endif
  const stdfs::path jail = scratch_.root() / "root";
  MakeRoot(jail);
  stdfs::create_directories(jail / "tree" / "sub");
  WriteBytes(jail / "tree" / "lf", "a\nb\nc\n");
  WriteBytes(jail / "tree" / "sub" / "crlf", "x\r\ny\r\nz\n");
  How inJail;
  inJail.root = jail.c_str();
  inJail.rootWithoutProc = true;
  const Ran kept = RunCli({"-k", "/tree"}, inJail);
  if (kept.status == 125)
    GTEST_SKIP() << "no root folder of the test's own could be made";
  EXPECT_EQ(0, kept.status) << kept.err;
  EXPECT_EQ("a\nb\n", ReadBytes(jail / "tree" / "lf"));
  EXPECT_EQ("x\r\ny\r\n", ReadBytes(jail / "tree" / "sub" / "crlf"));
  const Ran copied = RunCli({"/tree"}, inJail);
  EXPECT_EQ(0, copied.status) << copied.err;
  EXPECT_EQ("a\r\n", ReadBytes(jail / "tree" / "lf"));
  EXPECT_EQ("x\r\n", ReadBytes(jail / "tree" / "sub" / "crlf"));
}

TEST_F(CliTest, TreeDeeperThanTheOpenFilesAllowedAtStartIsShortenedWhole) {
  // Every folder down to the one worked in is held open.
  stdfs::path deep = scratch_.tree();
  for (int level = 0; level < 150; ++level)
    deep /= "d";
  stdfs::create_directories(deep);
  WriteBytes(deep / "f", "1\n2\n");
  struct rlimit hard;
  ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &hard));
  if (hard.rlim_max != RLIM_INFINITY && hard.rlim_max < 256)
    GTEST_SKIP() << "the hard limit on open files is " << hard.rlim_max;
  Ran ran;
  {
    const OpenFileLimit few(64); // the program starts with it
    ASSERT_TRUE(few.lowered());
    ran = RunCli({"--quiet", Tree()});
  }
  EXPECT_EQ(0, ran.status) << ran.out << ran.err;
  EXPECT_EQ("1\r\n", ReadBytes(deep / "f"));
}

// An attribute flag (FS_IMMUTABLE_FL, FS_APPEND_FL) set on a file or folder
// for as long as this lives.
class AttributeFlag {
public:
  AttributeFlag(const stdfs::path &path, int flag)
      : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    int flags = 0;
    set_ = ::ioctl(fd_, FS_IOC_GETFLAGS, &flags) == 0 &&
           (flags |= flag, ::ioctl(fd_, FS_IOC_SETFLAGS, &flags) == 0);
    cleared_ = flags & ~flag;
  }
  ~AttributeFlag() {
    if (set_)
      ::ioctl(fd_, FS_IOC_SETFLAGS, &cleared_);
    ::close(fd_);
  }
  bool set() const { return set_; }

private:
  int fd_;
  int cleared_ = 0;
  bool set_ = false;
};

// Flags its owner set (not to be dumped, no access times, direct access
// where the file system takes it) say how the file is to be kept: its
// shortened copy keeps them.
TEST_F(CliTest, ShortenedCopyKeepsTheFlagsTheOwnerSet) {
  constexpr int kFlags = FS_NODUMP_FL | FS_NOATIME_FL | FS_DAX_FL;
  const auto flagsOf = [this](int set) {
    const int fd = ::open(a_.c_str(), O_RDONLY | O_CLOEXEC);
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && set != 0 &&
        (flags |= set, ::ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0))
      flags = 0;
    ::close(fd); // an open file would be kept as in use
    return flags & kFlags;
  };
  if (flagsOf(FS_NODUMP_FL | FS_NOATIME_FL) == 0)
    GTEST_SKIP() << "this file system takes no flags";
  flagsOf(FS_DAX_FL);
  const int set = flagsOf(0);
  const Ran ran = RunCli({"-q", a_.string()});
  EXPECT_EQ(0, ran.status) << ran.out;
  EXPECT_EQ("1\r\n2\r\n", ReadBytes(a_));
  EXPECT_EQ(set, flagsOf(0));
}

// `folder` mounted over itself read-only (the same device beneath) for as
// long as this lives.
class ReadOnlyBind {
public:
  explicit ReadOnlyBind(const stdfs::path &folder) : folder_(folder) {
    mounted_ = ::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) == 0;
    readOnly_ = mounted_ && ::mount(nullptr, folder.c_str(), nullptr,
                                    MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
  }
  ~ReadOnlyBind() {
    if (mounted_)
      ::umount2(folder_.c_str(), MNT_DETACH);
  }
  bool readOnly() const { return readOnly_; }

private:
  stdfs::path folder_;
  bool mounted_ = false;
  bool readOnly_ = false;
};

TEST_F(CliTest, FileMountedOverAnEntryIsKeptAndTheDryRunSaysSo) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "mounts need root";
  const stdfs::path outside = scratch_.file("../outside", "1\n2\n");
  const stdfs::path entry = scratch_.file("mountedOver", "3\n4\n");
  ASSERT_EQ(0, ::mount(outside.c_str(), entry.c_str(), nullptr, MS_BIND, nullptr));
  const Ran dryRun = RunCli({"--dry-run", entry.string()});
  const Ran ran = RunCli({entry.string()});
  ::umount2(entry.c_str(), MNT_DETACH);
  const std::string kept = "finished!\n\n1 entry could not be shortened:\n" + entry.string() +
                           ": in use: Device or resource busy\n";
  EXPECT_EQ(kept, dryRun.out);
  EXPECT_EQ(kept, ran.out);
  EXPECT_EQ("1\n2\n", ReadBytes(outside));
  EXPECT_EQ("3\n4\n", ReadBytes(entry));
}

// A file of /proc or /sys is a setting or a device, whose cut would act
// on the machine: neither a run nor a dry run takes it for text.
TEST_F(CliTest, FilesOfTheSystemsOwnAreLeftAlone) {
  const Ran ran = RunCli({"-nv", "/proc/self/status"});
  EXPECT_EQ(0, ran.status);
  EXPECT_EQ(0u, ran.err.find("left alone /proc/self/status: a file of the system's own"))
      << ran.err;
}

// A FUSE file system may give a new file modes of its own, whatever it was
// asked: a copy that would let others read more than its entry is not made.
TEST_F(CliTest, CopyTheFileSystemWouldWidenIsNotMade) {
  if (::geteuid() != 0 || ::access("/usr/bin/bindfs", X_OK) != 0)
    GTEST_SKIP() << "needs root and bindfs";
  const stdfs::path source = scratch_.root() / "source";
  const stdfs::path mounted = scratch_.root() / "mounted";
  stdfs::create_directories(mounted);
  const stdfs::path secret = scratch_.file("../source/secret", "1\n2\n");
  ::chmod(secret.c_str(), 0600);
  if (std::system(
          ("bindfs --create-with-perms=u=rw,g=rw,o=rw " + source.string() + " " + mounted.string())
              .c_str()) != 0)
    GTEST_SKIP() << "bindfs could not mount (no FUSE?)";
  const Ran ran = RunCli({"-q", mounted.string()});
  ::umount2(mounted.c_str(), MNT_DETACH);
  EXPECT_EQ(1, ran.status);
  EXPECT_NE(std::string::npos, ran.out.find("secret: its permissions or attributes could not be "
                                            "kept"))
      << ran.out;
  EXPECT_EQ("1\n2\n", ReadBytes(secret));
  EXPECT_EQ(1, std::distance(stdfs::directory_iterator(source), {})) << "a copy was left";
}

// An append-only folder lets a copy be made but never renamed or removed.
TEST_F(CliTest, DryRunNamesWhatTheRunCannotChangeAndTheRunLeavesNoCopyThere) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "read-only mounts and immutable folders need root";
  const std::string tree = Tree();
  for (const char *name : {"mounted/f", "immutable/f", "appendOnly/f", "appendOnlyFile"})
    scratch_.file(name, "1\n2\n");
  const ReadOnlyBind mounted(tree + "/mounted");
  const AttributeFlag immutable(tree + "/immutable", FS_IMMUTABLE_FL);
  const AttributeFlag appendOnly(tree + "/appendOnly", FS_APPEND_FL);
  const AttributeFlag appendOnlyFile(tree + "/appendOnlyFile", FS_APPEND_FL);
  if (!mounted.readOnly() || !immutable.set() || !appendOnly.set() || !appendOnlyFile.set())
    GTEST_SKIP() << "this file system takes no immutable or append-only flags";
  const std::set<std::string> failed = {
      tree + "/mounted/f: its folder cannot be written: Read-only file system",
      tree + "/immutable/f: its folder is immutable or append-only: Operation not permitted",
      tree + "/appendOnly/f: its folder is immutable or append-only: Operation not permitted",
      tree + "/appendOnlyFile: immutable or append-only: Operation not permitted"};
  const auto lines = [](const std::string &text) {
    std::set<std::string> all;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
      all.insert(line);
    return all;
  };
  const std::set<std::string> shortened = {a_.string(), b_.string()};
  std::set<std::string> told = failed;
  told.insert({"finished!", "", "4 entries could not be shortened:"});

  const Ran dryRun = RunCli({"--dry-run", "--quiet", tree});
  EXPECT_EQ(1, dryRun.status);
  std::set<std::string> listedAndTold = told;
  listedAndTold.insert(shortened.begin(), shortened.end());
  EXPECT_EQ(listedAndTold, lines(dryRun.out));
  // Nor could the file be cut in place there.
  const Ran cutDryRun = RunCli({"--dry-run", "--quiet", "--keep-line-ends", tree + "/mounted"});
  EXPECT_EQ(1, cutDryRun.status);
  EXPECT_EQ("finished!\n\n1 entry could not be shortened:\n" + tree +
                "/mounted/f: its folder cannot be written: Read-only file system\n",
            cutDryRun.out);

  const Ran ran = RunCli({"--quiet", tree});
  EXPECT_EQ(1, ran.status);
  EXPECT_EQ(told, lines(ran.out));
  for (const auto &entry : stdfs::recursive_directory_iterator(tree))
    EXPECT_EQ(std::string::npos, entry.path().filename().string().find(".tailsnip-"))
        << "copy left: " << entry.path();
  for (const char *name : {"mounted/f", "immutable/f", "appendOnly/f", "appendOnlyFile"})
    EXPECT_EQ("1\n2\n", ReadBytes(tree + "/" + name)) << name;
}

// What a file keeps of itself besides its bytes.
struct Kept {
  ino_t inode = 0;
  uid_t owner = 0;
  mode_t mode = 0;
  std::string attributes; // getfacl's listing, and the user attribute
  bool operator==(const Kept &other) const {
    return inode == other.inode && owner == other.owner && mode == other.mode &&
           attributes == other.attributes;
  }
};

Kept KeptOf(const stdfs::path &path) {
  Kept kept;
  struct stat status;
  if (::stat(path.c_str(), &status) == 0) {
    kept.inode = status.st_ino;
    kept.owner = status.st_uid;
    kept.mode = status.st_mode;
  }
  std::FILE *const acl = ::popen(("getfacl -c " + path.string() + " 2>&1").c_str(), "r");
  for (char chunk[256]; acl && std::fgets(chunk, sizeof chunk, acl);)
    kept.attributes += chunk;
  if (acl)
    ::pclose(acl);
  char value[64];
  const ssize_t size = ::getxattr(path.c_str(), "user.origin", value, sizeof value);
  kept.attributes += std::string(value, size > 0 ? static_cast<std::size_t>(size) : 0);
  return kept;
}

// Where the shortened file is the file's start (line ends kept, or CR LF
// throughout already), the file is cut in place: it keeps its inode, owner,
// access list and attributes, and needs no room on the disk for a copy.
TEST_F(CliTest, FileCutInPlaceKeepsItselfAndWorksOnAFullDisk) {
  const stdfs::path folder = scratch_.tree() / "full";
  stdfs::create_directory(folder);
  TmpfsVolume volume(folder, 1 << 20);
  TAILSNIP_REQUIRE_MOUNTED(volume);
  std::string lines;
  while (lines.size() < (400 << 10))
    lines += "line " + std::to_string(lines.size()) + "\n";
  const stdfs::path lf = scratch_.file("full/lf", lines);
  std::string crlfLines = lines;
  for (std::size_t at = 0; (at = crlfLines.find('\n', at)) != std::string::npos; at += 2)
    crlfLines.insert(at, 1, '\r');
  const stdfs::path crlf = scratch_.file("full/crlf", crlfLines.substr(0, 500 << 10));
  for (const stdfs::path &path : {lf, crlf}) {
    ASSERT_EQ(0, ::chown(path.c_str(), 65534, 65534));
    ASSERT_EQ(0, ::chmod(path.c_str(), 0640));
    if (::setxattr(path.c_str(), "user.origin", "camera", 6, 0) != 0 ||
        std::system(("setfacl -m u:65534:r " + path.string()).c_str()) != 0)
      GTEST_SKIP() << "no user attributes or access lists on tmpfs here";
  }
  {
    std::ofstream filler(folder / "filler", std::ios::binary);
    const std::string block(4096, 'x');
    while (filler.write(block.data(), block.size()))
      ;
  }
  const Kept lfBefore = KeptOf(lf), crlfBefore = KeptOf(crlf);

  const Ran copied = RunCli({lf.string()});
  EXPECT_EQ(1, copied.status) << "the disk was not full: " << copied.out;
  EXPECT_NE(std::string::npos, copied.out.find("No space left on device")) << copied.out;
  EXPECT_TRUE(lines == ReadBytes(lf)) << "a failed copy changed the file";

  const Ran kept = RunCli({"-k", lf.string()});
  EXPECT_EQ(0, kept.status) << kept.out << kept.err;
  EXPECT_TRUE(lines.substr(0, lines.rfind('\n', lines.size() - 2) + 1) == ReadBytes(lf));
  EXPECT_TRUE(lfBefore == KeptOf(lf)) << "the file was replaced, or lost what it had";
  const Ran cut = RunCli({crlf.string()});
  EXPECT_EQ(0, cut.status) << cut.out << cut.err;
  EXPECT_TRUE(reference::Shortened(crlfLines.substr(0, 500 << 10)) == ReadBytes(crlf));
  EXPECT_TRUE(crlfBefore == KeptOf(crlf)) << "the file was replaced, or lost what it had";
}

// `size` bytes of `path` from `offset` on.
std::string ReadPart(const stdfs::path &path, off_t offset, std::size_t size) {
  std::string bytes(size, '?');
  const int fd = ::open(path.c_str(), O_RDONLY);
  bytes.resize(
      static_cast<std::size_t>(std::max<ssize_t>(0, ::pread(fd, &bytes[0], size, offset))));
  ::close(fd);
  return bytes;
}

TEST_F(CliTest, SparseFileOfGibibytesIsShortenedWithItsHoleKept) {
  constexpr off_t kHole = off_t{3} << 30;
  constexpr std::size_t kEdge = 64 << 10;
  for (const bool keepLineEnds : {false, true}) {
    const stdfs::path sparse = scratch_.file("sparse", "first\n");
    ASSERT_EQ(0, ::truncate(sparse.c_str(), kHole));
    { std::ofstream(sparse, std::ios::binary | std::ios::app) << "x\nlast\n"; }
    struct stat before, after;
    ASSERT_EQ(0, ::stat(sparse.c_str(), &before));
    if (before.st_blocks * 512 >= before.st_size)
      GTEST_SKIP() << "the file system under " << sparse << " keeps no holes";
    std::vector<std::string> args{sparse.string()};
    if (keepLineEnds)
      args.insert(args.begin(), "-k");
    const Ran ran = RunCli(args);
    EXPECT_EQ(0, ran.status) << ran.err;
    const std::string end = keepLineEnds ? "\n" : "\r\n";
    // The first line end may have grown by a byte, which moves the rest on.
    const off_t size = kHole + 2 * static_cast<off_t>(end.size());
    ASSERT_EQ(0, ::stat(sparse.c_str(), &after));
    EXPECT_EQ(size, after.st_size);
    EXPECT_LE(after.st_blocks * 512, before.st_blocks * 512 + 2 * off_t{kEdge}) << keepLineEnds;
    std::string head = "first" + end, tail = "x" + end;
    head.resize(kEdge, '\0');
    tail.insert(0, kEdge - tail.size(), '\0');
    EXPECT_TRUE(head == ReadPart(sparse, 0, kEdge)) << keepLineEnds;
    EXPECT_TRUE(tail == ReadPart(sparse, size - off_t{kEdge}, kEdge)) << keepLineEnds;
    // Nothing is stored between the two: the rest reads as zeros.
    const int fd = ::open(sparse.c_str(), O_RDONLY);
    EXPECT_LE(size - off_t{kEdge}, ::lseek(fd, kEdge, SEEK_DATA)) << keepLineEnds;
    ::close(fd);
  }
}

TEST_F(CliTest, SparseFileIsReadOnlyWhereItsDataIsStored) {
  // Its lines follow a hole: the kept part is CR LF throughout, which only
  // its stored bytes can tell.
  const stdfs::path sparse = scratch_.file("sparse", "");
  ASSERT_EQ(0, ::truncate(sparse.c_str(), off_t{1} << 30));
  { std::ofstream(sparse, std::ios::binary | std::ios::app) << "x\r\nlast\r\n"; }
  struct stat before;
  ASSERT_EQ(0, ::stat(sparse.c_str(), &before));
  if (before.st_blocks * 512 >= before.st_size)
    GTEST_SKIP() << "the file system under " << sparse << " keeps no holes";
  const Ran ran = RunCli({sparse.string()});
  EXPECT_EQ(0, ran.status) << ran.err;
  EXPECT_EQ((off_t{1} << 30) + 3, static_cast<off_t>(stdfs::file_size(sparse)));
  EXPECT_EQ("x\r\n", ReadPart(sparse, (off_t{1} << 30), 16));
  // The window at its end, and the stored bytes kept.
  EXPECT_NE(std::string::npos, ran.err.find("; read 64.0 KiB, ")) << ran.err;
}

} // namespace
} // namespace tailsnip::testing
