// The engine's file operations over Linux file descriptors, relative to the
// folders a run holds open, with Linux's own calls where POSIX has none:
// O_PATH, leases, syncfs, copy_file_range, extended attributes.
#include "engine/fs/FileSystem.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <limits>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>

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

// The failure the call that just failed reported in errno.
FsError LastError() { return FsError::FromSystem(errno); }

// A failure of `kind` whatever errno `code` would otherwise mean.
FsError Fail(FsError::Kind kind, int code) {
  return {kind, std::error_code(code, std::generic_category())};
}

// The entry's name in its folder: what follows the last separator.
const char *NameOf(const FolderPath &path) {
  const std::size_t separator = path.find_last_of('/');
  return separator == FolderPath::npos ? path.c_str() : path.c_str() + separator + 1;
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

FileIdentity IdentityOf(const struct stat &status) {
  return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

void Fill(const struct stat &status, FileInfo &info) {
  info.kind = KindOf(status.st_mode);
  info.readOnly = (status.st_mode & 0222) == 0;
  info.size = static_cast<std::uint64_t>(status.st_size);
  info.modified = static_cast<std::uint64_t>(status.st_mtim.tv_sec) * 1000000000u +
                  static_cast<std::uint64_t>(status.st_mtim.tv_nsec);
  info.permissions = status.st_mode & 07777;
  info.owner = status.st_uid;
  info.group = status.st_gid;
  info.identity = IdentityOf(status);
  info.names = static_cast<std::uint32_t>(status.st_nlink);
}

// Who this process is, as ReadProcessIdentity last found.
struct ProcessIdentity {
  pid_t id = ::getpid();
  uid_t user = ::geteuid();
  gid_t group = ::getegid();
  std::vector<gid_t> groups = SupplementaryGroups();

  static std::vector<gid_t> SupplementaryGroups() {
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(count > 0 ? static_cast<std::size_t>(count) : 0);
    if (count > 0 && ::getgroups(count, groups.data()) != count)
      groups.clear();
    return groups;
  }
};

ProcessIdentity &Process() {
  static ProcessIdentity process;
  return process;
}

bool IsSuperuser() { return Process().user == 0; }

bool IsMemberOf(gid_t group) {
  const ProcessIdentity &process = Process();
  return group == process.group ||
         std::find(process.groups.begin(), process.groups.end(), group) != process.groups.end();
}

// Whether this user may write the open file, as the kernel would decide it
// (ACLs included), without naming the file again.
FsError CheckWriteAccess(int fd) {
  if (::faccessat(fd, "", W_OK, AT_EACCESS | AT_EMPTY_PATH) == 0)
    return FsError::None;
  if (errno != EINVAL && errno != ENOSYS)
    return LastError();
  // Kernels before 5.8 take no empty path here; /proc names the same file.
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return ::access(self.c_str(), W_OK) == 0 || errno == ENOENT ? FsError::None : LastError();
}

// Only the superuser may give a file away, and a user may give it only to a
// group of their own; a copy that cannot have the entry's owner must not
// replace it.
FsError CheckOwnerCanBeKept(const FileInfo &info) {
  if (IsSuperuser())
    return FsError::None;
  if (info.owner != Process().user || !IsMemberOf(info.group))
    return Fail(FsError::OwnerNotKept, EPERM);
  return FsError::None;
}

// A lease breaks when anyone else opens the file, which tells the holder by
// SIGIO unless another signal is set; its default action would end the
// program.
void IgnoreLeaseBreakSignal() {
  static const bool ignored = [] {
    struct sigaction current {};
    if (::sigaction(SIGIO, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
      ::signal(SIGIO, SIG_IGN);
    return true;
  }();
  (void)ignored;
}

// The opener waits until the holder lets go, or for the kernel's
// lease-break time (45 s by default). Letting go at once, on whichever
// thread the signal reaches, makes it wait for nothing; the run then finds
// the lease gone before its rename and keeps the file. fcntl is
// async-signal-safe.
extern "C" void LetGoOfBrokenLease(int, siginfo_t *info, void *) {
  const int saved = errno;
  ::fcntl(info->si_fd, F_SETLEASE, F_UNLCK);
  errno = saved;
}

// The signal leases break by: the highest real-time signal the program left
// at its default, taken once, so that none of its own is touched. 0 (SIGIO)
// when there is none.
int LeaseBreakSignal() {
  static const int chosen = [] {
    for (int signal = SIGRTMAX; signal >= SIGRTMIN; --signal) {
      struct sigaction current {};
      if (::sigaction(signal, nullptr, &current) != 0 || current.sa_handler != SIG_DFL)
        continue;
      struct sigaction action {};
      action.sa_sigaction = LetGoOfBrokenLease;
      sigemptyset(&action.sa_mask);
      action.sa_flags = SA_SIGINFO | SA_RESTART;
      if (::sigaction(signal, &action, nullptr) == 0)
        return signal;
    }
    return 0;
  }();
  return chosen;
}

// Takes a write lease: granted only while nobody else has the file open, and
// given up (not waited for) as soon as someone opens it. Where the file
// system or the user's rights allow no lease, the caller falls back to
// comparing size and time.
FsError TakeLease(File &file) {
  // SIGIO still comes when too many real-time signals are queued.
  IgnoreLeaseBreakSignal();
  ::fcntl(file.handle(), F_SETSIG, LeaseBreakSignal());
  // To the process: the break would otherwise go to this thread alone, and
  // be lost once it has ended.
  const f_owner_ex process{F_OWNER_PID, Process().id};
  ::fcntl(file.handle(), F_SETOWN_EX, &process);
  if (::fcntl(file.handle(), F_SETLEASE, F_WRLCK) == 0) {
    file.setExclusive(true);
    return FsError::None;
  }
  if (errno == EAGAIN || errno == EBUSY)
    return Fail(FsError::InUse, errno);
  return FsError::None;
}

} // namespace

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

FsError OpenEntry(const File &folder, const FolderPath &path, File &file, FileInfo &info) {
  const char *name = NameOf(path);
  // O_NONBLOCK: opening a pipe with no writer must not wait for one.
  const int fd =
      ::openat(folder.handle(), name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    struct stat status;
    if (::fstatat(folder.handle(), name, &status, AT_SYMLINK_NOFOLLOW) == 0) {
      Fill(status, info);
      // A final link is refused by O_NOFOLLOW; a socket cannot be opened.
      if (error == ELOOP || error == ENXIO || error == EOPNOTSUPP)
        return FsError::None;
    }
    return FsError::FromSystem(error);
  }
  file.adopt(fd);
  return Describe(file, info);
}

FsError Describe(File &file, FileInfo &info) {
  struct stat status;
  if (::fstat(file.handle(), &status) != 0)
    return LastError();
  Fill(status, info);
  return FsError::None;
}

FsError DescribeByName(const FolderPath &path, FileInfo &info) {
  struct stat status;
  if (::lstat(path.c_str(), &status) != 0)
    return LastError();
  Fill(status, info);
  return FsError::None;
}

FsError ClaimForReplacement(File &file, const FileInfo &info) {
  // The superuser may write any file; the file system's refusal (read-only,
  // immutable) comes with the copy or the rename.
  if (!IsSuperuser()) {
    if (const FsError error = CheckWriteAccess(file.handle()); error != FsError::None)
      return error;
    if (const FsError error = CheckOwnerCanBeKept(info); error != FsError::None)
      return error;
  }
  return TakeLease(file);
}

FsError CheckChangeable(File &file) {
  int flags = 0;
  if (::ioctl(file.handle(), FS_IOC_GETFLAGS, &flags) == 0 &&
      (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0)
    return Fail(FsError::Immutable, EPERM);
  return FsError::None;
}

bool StillExclusive(File &file) { return ::fcntl(file.handle(), F_GETLEASE) == F_WRLCK; }

void ReleaseForReplacement(File &) {}

bool MayCreateIn(const Folder &folder) {
  return ::faccessat(folder.handle.handle(), ".", W_OK | X_OK, AT_EACCESS) == 0;
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

namespace {

// Whether this process can give an unnamed file a name: through its
// descriptor where it may link one (the superuser), through /proc elsewhere.
bool CanNameUnnamed() {
  static const bool proc = ::access("/proc/self/fd", X_OK) == 0;
  return proc || IsSuperuser();
}

} // namespace

FsError CreateUnnamed(const Folder &folder, const FileInfo &like, File &file) {
  if (!CanNameUnnamed())
    return Fail(FsError::NotSupported, EOPNOTSUPP);
  // Nobody can open it: the entry's own permissions at once save a change.
  const int fd = ::openat(folder.handle.handle(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC,
                          like.permissions & 0777);
  if (fd < 0)
    return errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL
               ? Fail(FsError::NotSupported, errno)
               : LastError();
  file.adopt(fd);
  return FsError::None;
}

FsError NameUnnamed(File &file, const Folder &folder, const FolderPath &path) {
  const int into = folder.handle.handle();
  const char *name = NameOf(path);
  if (IsSuperuser()) {
    if (::linkat(file.handle(), "", into, name, AT_EMPTY_PATH) == 0)
      return FsError::None;
    if (errno != ENOENT) // the refusal of a superuser without the capability
      return LastError();
  }
  const std::string self = "/proc/self/fd/" + std::to_string(file.handle());
  return ::linkat(AT_FDCWD, self.c_str(), into, name, AT_SYMLINK_FOLLOW) == 0 ? FsError::None
                                                                              : LastError();
}

FsError CreateNew(const Folder &folder, const FolderPath &path, const FileInfo &, File &file) {
  // Owner only: under a folder's default access list the mode masks every
  // entry the file inherits from it.
  const int fd = ::openat(folder.handle.handle(), NameOf(path),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
  if (fd < 0)
    return LastError();
  file.adopt(fd);
  return FsError::None;
}

namespace {

constexpr char kAccessList[] = "system.posix_acl_access";

// The names of the extended attributes of `fd` this user can see, each
// ending in a NUL; none where the file system keeps none.
FsError ListAttributes(int fd, std::vector<char> &names) {
  for (;;) {
    const ssize_t size = ::flistxattr(fd, nullptr, 0);
    if (size <= 0) {
      names.clear();
      return size == 0 || errno == ENOTSUP ? FsError::None : LastError();
    }
    names.resize(static_cast<std::size_t>(size));
    const ssize_t got = ::flistxattr(fd, names.data(), names.size());
    if (got >= 0) {
      names.resize(static_cast<std::size_t>(got));
      return FsError::None;
    }
    if (errno != ERANGE)
      return LastError();
  }
}

bool Lists(const std::vector<char> &names, const char *name) {
  for (std::size_t at = 0; at < names.size(); at += std::strlen(&names[at]) + 1)
    if (std::strcmp(&names[at], name) == 0)
      return true;
  return false;
}

// Gives `to` the extended attributes of `from` this user can read (ACLs,
// security labels, user attributes) and removes those `from` has not, such
// as an access list inherited from the folder. Done after the owner, since
// a change of owner clears file capabilities. `setAccessList` tells whether
// an access list was set, which sets the permission bits too.
FsError CopyExtendedAttributes(int from, int to, bool &setAccessList) {
  std::vector<char> names, own;
  if (const FsError error = ListAttributes(from, names); error != FsError::None)
    return error;
  if (const FsError error = ListAttributes(to, own); error != FsError::None)
    return error;
  for (std::size_t at = 0; at < own.size(); at += std::strlen(&own[at]) + 1)
    if (!Lists(names, &own[at]) && ::fremovexattr(to, &own[at]) != 0)
      return Fail(FsError::AttributesNotKept, errno);
  std::vector<char> value;
  for (std::size_t at = 0; at < names.size(); at += std::strlen(&names[at]) + 1) {
    const char *name = &names[at];
    const ssize_t size = ::fgetxattr(from, name, nullptr, 0);
    if (size < 0)
      return LastError();
    value.resize(static_cast<std::size_t>(size));
    const ssize_t got = ::fgetxattr(from, name, value.data(), value.size());
    if (got < 0)
      return LastError();
    if (::fsetxattr(to, name, value.data(), static_cast<std::size_t>(got), 0) != 0)
      return Fail(FsError::AttributesNotKept, errno);
    setAccessList |= std::strcmp(name, kAccessList) == 0;
  }
  return FsError::None;
}

} // namespace

FsError KeepAttributes(File &entry, const FileInfo &like, File &copy) {
  // Decided from what the copy got, not from who runs: what it has already
  // needs no change, which a file system that gives every file the same
  // owner and mode (FAT through FUSE) would refuse.
  const int fd = copy.handle();
  struct stat got;
  if (::fstat(fd, &got) != 0)
    return LastError();
  const bool ownerDiffers = got.st_uid != like.owner || got.st_gid != like.group;
  if (ownerDiffers && ::fchown(fd, like.owner, like.group) != 0)
    return Fail(FsError::OwnerNotKept, errno);
  bool setAccessList = false;
#ifdef __linux__
  if (const FsError error = CopyExtendedAttributes(entry.handle(), fd, setAccessList);
      error != FsError::None)
    return error;
#else
  (void)entry;
#endif
  // Last: a change of owner clears the set-id bits, an access list sets the
  // permission bits, and until now the copy was for this user alone.
  const mode_t mode = static_cast<mode_t>(like.permissions);
  if ((ownerDiffers || setAccessList || (got.st_mode & 07777) != mode) && ::fchmod(fd, mode) != 0)
    return Fail(FsError::AttributesNotKept, errno);
  return FsError::None;
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
      return FsError::Other;
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

FsError FlushToDisk(File &file) {
  return ::fsync(file.handle()) == 0 ? FsError::None : LastError();
}

FsError FlushVolume(File &file) {
  return ::syncfs(file.handle()) == 0 ? FsError::None : LastError();
}

FsError Close(File &file) {
  // POSIX leaves the descriptor closed even when close reports an error.
  return ::close(file.release()) == 0 ? FsError::None : LastError();
}

FsError MoveOver(const File &fromFolder, const FolderPath &from, const File &toFolder,
                 const FolderPath &to) {
  return ::renameat(fromFolder.handle(), NameOf(from), toFolder.handle(), NameOf(to)) == 0
             ? FsError::None
             : LastError();
}

FsError MoveOverSame(const File &fromFolder, const FolderPath &from, const File &toFolder,
                     const FolderPath &to, const File &expected, bool &removeFrom) {
  const int fromAt = fromFolder.handle(), toAt = toFolder.handle();
  const char *fromName = NameOf(from), *toName = NameOf(to);
  removeFrom = true;
  // The held file is described afresh: an overlay's copy-up gives it another
  // inode number, the one the name then shows.
  struct stat held, named;
  if (::renameat2(fromAt, fromName, toAt, toName, RENAME_EXCHANGE) == 0) {
    if (::fstat(expected.handle(), &held) == 0 &&
        ::fstatat(fromAt, fromName, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        IdentityOf(named) == IdentityOf(held))
      return FsError::None;
    // Another file came out: it goes back under its name, the copy under its own.
    if (::renameat2(fromAt, fromName, toAt, toName, RENAME_EXCHANGE) != 0) {
      removeFrom = false; // what lies there is not ours
      return Fail(FsError::Changed, errno);
    }
    return Fail(FsError::Changed, 0);
  }
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
    return LastError();
  // This file system cannot exchange: the name is checked just before the
  // rename, which leaves an instant between the two.
  if (::fstat(expected.handle(), &held) != 0 ||
      ::fstatat(toAt, toName, &named, AT_SYMLINK_NOFOLLOW) != 0)
    return LastError();
  if (IdentityOf(named) != IdentityOf(held))
    return Fail(FsError::Changed, 0);
  if (::renameat(fromAt, fromName, toAt, toName) != 0)
    return LastError();
  removeFrom = false;
  return FsError::None;
}

FsError Remove(const File &folder, const FolderPath &path) {
  return ::unlinkat(folder.handle(), NameOf(path), 0) == 0 ? FsError::None : LastError();
}

FsError GetIdentity(const FolderPath &path, FileIdentity &identity) {
  struct stat status;
  if (::stat(path.c_str(), &status) != 0)
    return LastError();
  identity = IdentityOf(status);
  return FsError::None;
}

std::size_t OpenFilesAllowed() {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
      limit.rlim_cur > std::numeric_limits<std::size_t>::max())
    return std::numeric_limits<std::size_t>::max();
  return static_cast<std::size_t>(limit.rlim_cur);
}

std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(Process().id); }

void ReadProcessIdentity() { Process() = ProcessIdentity(); }

} // namespace tailsnip::fs
