// The engine's file operations over POSIX file descriptors.
#include "engine/FileSystem.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tailsnip::fs {

const File::Handle File::kNone = -1;

File::~File() {
  if (isOpen())
    ::close(handle_);
}

namespace {

FsError FromErrno(int error) {
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

FsError LastError() { return FromErrno(errno); }

FileKind KindOf(mode_t mode) {
  if (S_ISREG(mode))
    return FileKind::Regular;
  if (S_ISDIR(mode))
    return FileKind::Folder;
  if (S_ISLNK(mode))
    return FileKind::Link;
  return FileKind::Other;
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
}

// The process's file creation mask, read once: umask can only be read by
// setting it, so this is done before any file is created.
mode_t CreationMask() {
  static const mode_t mask = [] {
    const mode_t current = ::umask(0);
    ::umask(current);
    return current;
  }();
  return mask;
}

} // namespace

FsError OpenForReading(const FolderPath &path, File &file, FileInfo &info) {
  // O_NONBLOCK: opening a pipe with no writer must not wait for one.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    struct stat status;
    // A final link is refused by O_NOFOLLOW; a socket cannot be opened.
    if ((error == ELOOP || error == ENXIO || error == EOPNOTSUPP) &&
        ::lstat(path.c_str(), &status) == 0) {
      Fill(status, info);
      return FsError::None;
    }
    return FromErrno(error);
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

FsError CreateNew(const FolderPath &path, const FileInfo &like, File &file) {
  const mode_t mode = static_cast<mode_t>(like.permissions);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC,
                        mode); // writable even when mode says otherwise
  if (fd < 0)
    return LastError();
  file.adopt(fd);
  // Changing the owner clears set-id bits, so the mode is set after it.
  static const uid_t user = ::geteuid();
  static const gid_t group = ::getegid();
  const bool ownerDiffers = like.owner != user || like.group != group;
  if (ownerDiffers && ::fchown(fd, like.owner, like.group) != 0) {
    // Only the superuser may give files away: keep ours, like an editor would.
  }
  const bool modeDiffers = (mode & ~CreationMask()) != mode;
  if ((ownerDiffers || modeDiffers) && ::fchmod(fd, mode) != 0) {
    // A creation that fails leaves nothing behind, not even an empty file.
    const FsError error = LastError();
    ::close(file.release());
    ::unlink(path.c_str());
    return error;
  }
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
#if defined(__linux__)
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
#else
  (void)from, (void)offset, (void)to, (void)size;
  return FsError::NotSupported;
#endif
}

FsError FlushToDisk(File &file) {
  return ::fsync(file.handle()) == 0 ? FsError::None : LastError();
}

FsError Close(File &file) {
  // POSIX leaves the descriptor closed even when close reports an error.
  return ::close(file.release()) == 0 ? FsError::None : LastError();
}

FsError MoveOver(const FolderPath &from, const FolderPath &to) {
  return ::rename(from.c_str(), to.c_str()) == 0 ? FsError::None : LastError();
}

FsError Remove(const FolderPath &path) {
  return ::unlink(path.c_str()) == 0 ? FsError::None : LastError();
}

FsError GetIdentity(const FolderPath &path, FileIdentity &identity) {
  struct stat status;
  if (::stat(path.c_str(), &status) != 0)
    return LastError();
  identity.volume = static_cast<std::uint64_t>(status.st_dev);
  identity.index = static_cast<std::uint64_t>(status.st_ino);
  return FsError::None;
}

std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(::getpid()); }

} // namespace tailsnip::fs
