// The engine's file operations over Linux file descriptors, relative to the
// folders a run holds open, with Linux's own calls where POSIX has none:
// O_PATH, syncfs, copy_file_range. Claims and leases are in Claims.cpp,
// copies and their attributes in Copies.cpp, renames and links in Names.cpp.
#include "engine/fs/linux/Descriptors.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <linux/magic.h>
#include <sys/statfs.h>

namespace tailsnip::fs {

const File::Handle File::kNone = -1;

File::~File() {
  if (isOpen())
    ::close(handle_);
}

File &File::operator=(File &&other) noexcept {
  if (this != &other) {
    if (isOpen())
      ::close(handle_);
    exclusive_ = other.exclusive_;
    writable_ = other.writable_;
    handle_ = other.release();
  }
  return *this;
}

namespace {

FsError::Kind KindOfErrno(int error) {
  switch (error) {
  case 0:
    return FsError::None;
  case ENOENT:
  case ENOTDIR:
    return FsError::NotFound;
  case EACCES:
  case EPERM:
  case EROFS:
    return FsError::AccessDenied;
  case EBUSY:
  case ETXTBSY:
  case EAGAIN:
    return FsError::InUse;
  case EEXIST:
    return FsError::Exists;
  case ENOSPC:
  case EDQUOT:
  case EFBIG:
    return FsError::NoSpace;
  case EXDEV:
    return FsError::CrossVolume;
  case ENAMETOOLONG:
    return FsError::NameTooLong;
  default:
    return FsError::Other;
  }
}

FileKind KindOf(mode_t mode) {
  if (S_ISREG(mode))
    return FileKind::Regular;
  if (S_ISDIR(mode))
    return FileKind::Folder;
  if (S_ISLNK(mode))
    return FileKind::Link;
  return FileKind::Other;
}

} // namespace

// The failure the call that just failed reported in errno.
FsError LastError() { return FsError::FromSystem(errno); }

// A failure of `kind` whatever errno `code` would otherwise mean.
FsError Fail(FsError::Kind kind, int code) {
  return {kind, std::error_code(code, std::generic_category())};
}

// The entry's name in its folder, for the system's calls: the path's own
// last name, which ends where the path's characters do.
const char *NameOf(const FolderPath &path) { return tailsnip::NameOf(path).data(); }

FileIdentity IdentityOf(const struct stat &status) {
  return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

std::uint64_t ModifiedOf(const struct stat &status) {
  return static_cast<std::uint64_t>(status.st_mtim.tv_sec) * 1000000000u +
         static_cast<std::uint64_t>(status.st_mtim.tv_nsec);
}

void Fill(const struct statx &status, FileInfo &info) {
  info.kind = KindOf(status.stx_mode);
  info.readOnly = (status.stx_mode & 0222) == 0;
  info.size = status.stx_size;
  info.modified =
      static_cast<std::uint64_t>(status.stx_mtime.tv_sec) * 1000000000u + status.stx_mtime.tv_nsec;
  info.statusChanged =
      static_cast<std::uint64_t>(status.stx_ctime.tv_sec) * 1000000000u + status.stx_ctime.tv_nsec;
  info.permissions = status.stx_mode & 07777u;
  info.owner = status.stx_uid;
  info.group = status.stx_gid;
  // As stat encodes the device, for identities from either to compare.
  info.identity = {static_cast<std::uint64_t>(makedev(status.stx_dev_major, status.stx_dev_minor)),
                   status.stx_ino};
  info.names = status.stx_nlink;
  info.mount = (status.stx_mask & STATX_MNT_ID) != 0 ? status.stx_mnt_id : 0;
  info.immutable = (status.stx_attributes & (STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND)) != 0;
  // stx_blocks counts 512-byte units whatever the file system's block size.
  info.mayHaveHoles = status.stx_blocks * 512 < info.size;
}

FsError FsError::FromSystem(int code) {
  return {KindOfErrno(code), std::error_code(code, std::generic_category())};
}

std::string DescribeSystemError(const std::error_code &code) { return std::strerror(code.value()); }

FsError OpenFolder(const FolderPath &path, Folder &folder) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return LastError();
  folder.handle.adopt(fd);
  return Describe(folder.handle, folder.info);
}

namespace {

// O_PATH: a folder that may be searched but not read still holds entries.
FsError OpenFolderPath(const char *path, Folder &folder) {
  const int fd = ::open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return LastError();
  folder.handle.adopt(fd);
  return Describe(folder.handle, folder.info);
}

} // namespace

FsError OpenParentFolder(const FolderPath &path, Folder &folder) {
  const std::size_t separator = path.find_last_of('/');
  const FolderPath parent = separator == FolderPath::npos ? "."
                            : separator == 0              ? "/"
                                                          : path.substr(0, separator);
  return OpenFolderPath(parent.c_str(), folder);
}

FsError OpenCurrentFolder(Folder &folder) { return OpenFolderPath(".", folder); }

namespace {

// A read-only file is kept anyway; opening it for writing would tell
// anyone watching it (a build or a sync) that it was written.
bool MayOpenForCutting(const Folder &folder, const FileInfo &info) {
  return info.kind == FileKind::Regular && info.names == 1 && !info.readOnly &&
         (info.permissions & (S_ISUID | S_ISGID)) == 0 && info.mount != 0 &&
         info.mount == folder.info.mount && !folder.info.onOverlay;
}

} // namespace

FsError DescribeEntry(const Folder &folder, const FolderPath &path, FileInfo &info) {
  struct statx status;
  if (::statx(folder.handle.handle(), NameOf(path), AT_SYMLINK_NOFOLLOW,
              STATX_BASIC_STATS | STATX_MNT_ID, &status) != 0)
    return LastError();
  Fill(status, info);
  return FsError::None;
}

namespace {

File OpenProcFilesFolder() {
  File folder;
  folder.adopt(::open("/proc/self/fd", O_PATH | O_DIRECTORY | O_CLOEXEC));
  return folder;
}

File &OpenFiles() {
  static File folder = OpenProcFilesFolder();
  return folder;
}

} // namespace

int OpenFilesFolder() { return OpenFiles().handle(); }

void OpenFilesFolderAgain() { OpenFiles() = OpenProcFilesFolder(); }

int Reopen(const File &held, int flags) {
  const std::string name = std::to_string(held.handle());
  // The name is a link to the file itself: it must be followed.
  if (const int openFiles = OpenFilesFolder(); openFiles >= 0)
    return ::openat(openFiles, name.c_str(), flags & ~O_NOFOLLOW);
  return ::open(("/proc/self/fd/" + name).c_str(), flags & ~O_NOFOLLOW);
}

FsError OpenEntry(const Folder &folder, const FolderPath &path, File &file, FileInfo &info,
                  OpenFor purpose) {
  const char *name = NameOf(path);
  const int at = folder.handle.handle();
  // Held from here on by what it is, not by its name: an entry swapped for a
  // pipe or a device after its description is not opened.
  File held;
  held.adopt(::openat(at, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (!held.isOpen())
    return LastError();
  if (const FsError error = Describe(held, info); error != FsError::None)
    return error;
  if (info.kind != FileKind::Regular && info.kind != FileKind::Folder)
    return FsError::None;
  // A file mounted over the entry: no rename can replace it, and its data
  // lies outside the folder.
  if (info.kind == FileKind::Regular && info.mount != 0 && folder.info.mount != 0 &&
      info.mount != folder.info.mount)
    return Fail(FsError::InUse, EBUSY);
  // O_NONBLOCK: without /proc, the entry is opened by its name, and one
  // swapped for a pipe meanwhile must not wait for a writer.
  const int reading = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  bool byName = false;
  const auto open = [&](int flags) {
    const int fd = Reopen(held, flags);
    if (fd >= 0 || errno != ENOENT)
      return fd;
    byName = true;
    return ::openat(at, name, flags);
  };
  int fd = -1;
  bool writable = false;
  if (purpose == OpenFor::Cutting && MayOpenForCutting(folder, info)) {
    fd = open((reading & ~O_ACCMODE) | O_RDWR);
    writable = fd >= 0;
    // Unwritable, or a program running: read, and copy it.
    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == ETXTBSY || errno == EROFS))
      fd = open(reading);
  } else {
    fd = open(reading);
  }
  // Another program's lease refuses an opening that does not wait: that
  // program has the file open, which "in use" says; its EAGAIN would blur it.
  if (fd < 0)
    return errno == EWOULDBLOCK ? Fail(FsError::InUse, 0) : LastError();
  file.adopt(fd);
  file.setWritable(writable);
  // Reopened through /proc, it is the very file described; by its name, it
  // may be another by now.
  return byName ? Describe(file, info) : FsError::None;
}

// statx rather than stat: it tells the immutable and append-only flags too,
// for no further call.
FsError Describe(File &file, FileInfo &info) {
  struct statx status;
  if (::statx(file.handle(), "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_MNT_ID, &status) != 0)
    return LastError();
  Fill(status, info);
  struct statfs volume;
  info.onOverlay = info.kind == FileKind::Folder && (::fstatfs(file.handle(), &volume) != 0 ||
                                                     volume.f_type == OVERLAYFS_SUPER_MAGIC);
  return FsError::None;
}

FsError DescribeByName(const FolderPath &path, FileInfo &info) {
  struct statx status;
  if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_MNT_ID,
              &status) != 0)
    return LastError();
  Fill(status, info);
  return FsError::None;
}

// Asked once a folder, not once a file. access(2) tells of a read-only mount
// (EROFS), an immutable folder and the user's permission, ACLs included, as
// the kernel would decide a creation; only the append-only flag lets a file
// be created where it can be neither renamed nor removed.
FsError CheckFolderChangeable(const Folder &folder) {
  if (folder.info.immutable)
    return Fail(FsError::Immutable, EPERM);
  return ::faccessat(folder.handle.handle(), ".", W_OK | X_OK, AT_EACCESS) == 0 ? FsError::None
                                                                                : LastError();
}

FsError ReadSome(File &file, char *buffer, std::size_t capacity, std::size_t &got) {
  for (;;) {
    const ssize_t count = ::read(file.handle(), buffer, capacity);
    if (count >= 0) {
      got = static_cast<std::size_t>(count);
      return FsError::None;
    }
    if (errno != EINTR)
      return LastError();
  }
}

FsError ReadAt(File &file, std::uint64_t offset, char *buffer, std::size_t capacity,
               std::size_t &got) {
  for (;;) {
    const ssize_t count = ::pread(file.handle(), buffer, capacity, static_cast<off_t>(offset));
    if (count >= 0) {
      got = static_cast<std::size_t>(count);
      return FsError::None;
    }
    if (errno != EINTR)
      return LastError();
  }
}

FsError WriteAll(File &file, const char *data, std::size_t size) {
  while (size > 0) {
    const ssize_t count = ::write(file.handle(), data, size);
    if (count < 0) {
      if (errno == EINTR)
        continue;
      return LastError();
    }
    data += count;
    size -= static_cast<std::size_t>(count);
  }
  return FsError::None;
}

FsError CopyRange(File &from, std::uint64_t offset, File &to, std::uint64_t size) {
  auto at = static_cast<loff_t>(offset);
  bool copiedAny = false;
  while (size > 0) {
    // At most 1 GiB a call, so that any count fits the result's type.
    const ssize_t count = ::copy_file_range(
        from.handle(), &at, to.handle(), nullptr,
        static_cast<std::size_t>(std::min<std::uint64_t>(size, std::uint64_t{1} << 30)), 0);
    if (count > 0) {
      size -= static_cast<std::uint64_t>(count);
      copiedAny = true;
      continue;
    }
    if (count == 0) // the file ends before the range: it shrank meanwhile
      return FsError::Changed;
    if (errno == EINTR)
      continue;
    // No such system call, no copy between these file systems, or not
    // between these kinds of file: all mean "read and write it yourself".
    if (!copiedAny && (errno == ENOSYS || errno == EXDEV || errno == EOPNOTSUPP || errno == EINVAL))
      return FsError::NotSupported;
    return LastError();
  }
  return FsError::None;
}

FsError CutTo(File &file, std::uint64_t size) {
  for (;;) {
    if (::ftruncate(file.handle(), static_cast<off_t>(size)) == 0)
      return FsError::None;
    if (errno != EINTR)
      return LastError();
  }
}

FsError FindData(File &file, std::uint64_t offset, std::uint64_t limit, DataRange &range) {
  range = {limit, limit};
  const off_t data = ::lseek(file.handle(), static_cast<off_t>(offset), SEEK_DATA);
  if (data < 0) {
    if (errno == ENXIO) // nothing stored from there on
      return FsError::None;
    if (errno != EINVAL && errno != EOPNOTSUPP)
      return LastError();
    range = {offset, limit}; // a file system that knows no holes
    return FsError::None;
  }
  if (static_cast<std::uint64_t>(data) >= limit)
    return FsError::None;
  const off_t hole = ::lseek(file.handle(), data, SEEK_HOLE); // the file's end is one
  if (hole < 0)
    return LastError();
  range = {static_cast<std::uint64_t>(data), std::min(static_cast<std::uint64_t>(hole), limit)};
  return FsError::None;
}

FsError LeaveHole(File &file, std::uint64_t size) {
  return ::lseek(file.handle(), static_cast<off_t>(size), SEEK_CUR) < 0 ? LastError()
                                                                        : FsError::None;
}

FsError FlushToDisk(File &file) {
  return ::fsync(file.handle()) == 0 ? FsError::None : LastError();
}

FsError FlushVolume(File &file) {
  // A FUSE file system's syncfs writes the kernel's cache to its program
  // and asks no more: only each file's fsync has the program flush its own.
  struct statfs volume;
  if (::fstatfs(file.handle(), &volume) != 0)
    return LastError();
  if (volume.f_type == FUSE_SUPER_MAGIC)
    return Fail(FsError::NotSupported, EOPNOTSUPP);
  return ::syncfs(file.handle()) == 0 ? FsError::None : LastError();
}

bool CanFlushVolumes() { return true; }

bool IsSystemVolume(const Folder &folder) {
  static constexpr decltype(statfs::f_type) kSystemKinds[] = {
      PROC_SUPER_MAGIC,    SYSFS_MAGIC,        DEBUGFS_MAGIC,
      TRACEFS_MAGIC,       SECURITYFS_MAGIC,   CGROUP_SUPER_MAGIC,
      CGROUP2_SUPER_MAGIC, EFIVARFS_MAGIC,     BPF_FS_MAGIC,
      PSTOREFS_MAGIC,      SELINUX_MAGIC,      SMACK_MAGIC,
      BINFMTFS_MAGIC,      DEVPTS_SUPER_MAGIC, 0x62656570 /* configfs */,
      0x65735543 /* fusectl */};
  struct statfs volume;
  return ::fstatfs(folder.handle.handle(), &volume) == 0 &&
         std::find(std::begin(kSystemKinds), std::end(kSystemKinds), volume.f_type) !=
             std::end(kSystemKinds);
}

FsError Close(File &file) {
  // POSIX leaves the descriptor closed even when close reports an error.
  return ::close(file.release()) == 0 ? FsError::None : LastError();
}

FsError GetIdentity(const FolderPath &path, FileIdentity &identity, bool *inMemory) {
  struct stat status;
  struct statfs volume;
  if (::stat(path.c_str(), &status) != 0 || (inMemory && ::statfs(path.c_str(), &volume) != 0))
    return LastError();
  identity = IdentityOf(status);
  if (inMemory)
    *inMemory = volume.f_type == TMPFS_MAGIC || volume.f_type == RAMFS_MAGIC;
  return FsError::None;
}

std::size_t OpenFilesAllowed() {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
      limit.rlim_cur > std::numeric_limits<std::size_t>::max())
    return std::numeric_limits<std::size_t>::max();
  return static_cast<std::size_t>(limit.rlim_cur);
}

} // namespace tailsnip::fs
