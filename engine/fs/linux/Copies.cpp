// Copies that nobody can open before they have their entry's owner, access
// and attributes: unnamed until then where the file system allows.
#include "engine/fs/linux/Descriptors.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>

namespace tailsnip::fs {

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

FsError CreateNew(const Folder &folder, const FolderPath &path, const FileInfo &like, File &file) {
  // Owner only: under a folder's default access list the mode masks every
  // entry the file inherits from it.
  const int fd = ::openat(folder.handle.handle(), NameOf(path),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
  if (fd < 0)
    return LastError();
  file.adopt(fd);
  // A file system that sets modes of its own (a FUSE one, say) may let
  // others read what the copy is about to hold; one that gives every file
  // the entry's mode lets them no more than the entry does.
  struct stat got;
  const FsError error = ::fstat(fd, &got) != 0 ? LastError()
                        : (got.st_mode & 077 & ~like.permissions) != 0
                            ? Fail(FsError::AttributesNotKept, EPERM)
                            : FsError::None;
  if (error != FsError::None) {
    file = File();
    ::unlinkat(folder.handle.handle(), NameOf(path), 0);
  }
  return error;
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

} // namespace

FsError ReadExtendedAttributes(int fd, ExtendedAttributes &all) {
  std::vector<char> names;
  if (const FsError error = ListAttributes(fd, names); error != FsError::None)
    return error;
  all.clear();
  std::vector<char> value;
  for (std::size_t at = 0; at < names.size(); at += std::strlen(&names[at]) + 1) {
    const char *name = &names[at];
    ssize_t got;
    do { // it may grow between asking its size and reading it
      const ssize_t size = ::fgetxattr(fd, name, nullptr, 0);
      if (size < 0)
        return LastError();
      value.resize(static_cast<std::size_t>(size));
      got = ::fgetxattr(fd, name, value.data(), value.size());
    } while (got < 0 && errno == ERANGE);
    // Removed since it was listed, or listed to a user who may not read it
    // (btrfs lists trusted.* to anyone): not there for this user to keep.
    if (got < 0 && errno == ENODATA)
      continue;
    if (got < 0)
      return LastError();
    all.emplace_back(name, std::string(value.data(), static_cast<std::size_t>(got)));
  }
  // Listed in no order one can count on: one removed and set again may come last.
  std::sort(all.begin(), all.end());
  return FsError::None;
}

namespace {

// A folder that passes its project on to its files refuses a name to a
// file of any other: a copy given its entry's project finds that out only
// when it is named.
FsError CheckProjectCanBeKept(const Folder &folder, File &file) {
  File readable; // a folder held by its path alone takes no ioctl
  readable.adopt(Reopen(folder.handle, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct fsxattr passedOn {
  }, own{};
  if (!readable.isOpen() || ::ioctl(readable.handle(), FS_IOC_FSGETXATTR, &passedOn) != 0 ||
      (passedOn.fsx_xflags & FS_XFLAG_PROJINHERIT) == 0 ||
      ::ioctl(file.handle(), FS_IOC_FSGETXATTR, &own) != 0 || own.fsx_projid == passedOn.fsx_projid)
    return FsError::None;
  return Fail(FsError::AttributesNotKept, EXDEV);
}

} // namespace

FsError CheckAttributesCanBeKept(const Folder &folder, File &file) {
  if (const FsError error = CheckProjectCanBeKept(folder, file); error != FsError::None)
    return error;
  if (IsSuperuser())
    return FsError::None;
  std::vector<char> names;
  if (const FsError error = ListAttributes(file.handle(), names); error != FsError::None)
    return error;
  // A security module decides who may set its own label; the kernel lets
  // only a privileged process set any other security attribute (file
  // capabilities among them).
  const auto startsWith = [](std::string_view name, std::string_view prefix) {
    return name.substr(0, prefix.size()) == prefix;
  };
  const auto privileged = [&](std::string_view name) {
    return startsWith(name, "security.") && name != "security.selinux" &&
           !startsWith(name, "security.SMACK64");
  };
  for (std::size_t at = 0; at < names.size(); at += std::strlen(&names[at]) + 1)
    if (privileged(&names[at]))
      return Fail(FsError::AttributesNotKept, EPERM);
  return FsError::None;
}

namespace {

// Gives `to` the extended attributes of `from` this user can read (ACLs,
// security labels, user attributes), `copied`, and removes those `from` has
// not, such as an access list inherited from the folder. Done after the
// owner, since a change of owner clears file capabilities. `setAccessList`
// tells whether an access list was set, which sets the permission bits too.
FsError CopyExtendedAttributes(int from, int to, ExtendedAttributes &copied, bool &setAccessList) {
  if (const FsError error = ReadExtendedAttributes(from, copied); error != FsError::None)
    return error;
  std::vector<char> own;
  if (const FsError error = ListAttributes(to, own); error != FsError::None)
    return error;
  const auto has = [&copied](const char *name) {
    for (const auto &[copiedName, value] : copied)
      if (copiedName == name)
        return true;
    return false;
  };
  // One may go with another: XFS shows the superuser an access list under a
  // second name too, gone once the first is removed.
  for (std::size_t at = 0; at < own.size(); at += std::strlen(&own[at]) + 1)
    if (!has(&own[at]) && ::fremovexattr(to, &own[at]) != 0 && errno != ENODATA)
      return Fail(FsError::AttributesNotKept, errno);
  for (const auto &[name, value] : copied) {
    if (::fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0)
      return Fail(FsError::AttributesNotKept, errno);
    setAccessList |= name == kAccessList;
  }
  return FsError::None;
}

// The flags an owner sets with chattr that say how the file is to be kept;
// not immutable or append-only (such files are never replaced), nor those
// the file system keeps of its own (extents, inline data).
constexpr int kOwnersFlags = FS_SECRM_FL | FS_UNRM_FL | FS_COMPR_FL | FS_SYNC_FL | FS_NODUMP_FL |
                             FS_NOATIME_FL | FS_JOURNAL_DATA_FL | FS_NOCOMP_FL | FS_NOCOW_FL |
                             FS_DAX_FL;

// A file system that keeps no such flags answers so.
bool KeepsNoFlags(int error) {
  return error == ENOTTY || error == EOPNOTSUPP || error == EINVAL || error == ENOSYS;
}

} // namespace

FsError KeepFlags(File &entry, File &copy) {
  int flags = 0, own = 0;
  if (::ioctl(entry.handle(), FS_IOC_GETFLAGS, &flags) != 0)
    return KeepsNoFlags(errno) ? FsError::None : LastError();
  if ((flags & kOwnersFlags) != 0) {
    if (::ioctl(copy.handle(), FS_IOC_GETFLAGS, &own) != 0)
      return Fail(FsError::AttributesNotKept, errno);
    const int wanted = (own & ~kOwnersFlags) | (flags & kOwnersFlags);
    if (wanted != own && ::ioctl(copy.handle(), FS_IOC_SETFLAGS, &wanted) != 0)
      return Fail(FsError::AttributesNotKept, errno);
  }
  // The project counts the file's blocks towards its quota.
  struct fsxattr project {
  }, ownProject{};
  if (::ioctl(entry.handle(), FS_IOC_FSGETXATTR, &project) != 0)
    return KeepsNoFlags(errno) ? FsError::None : LastError();
  if (::ioctl(copy.handle(), FS_IOC_FSGETXATTR, &ownProject) != 0)
    return Fail(FsError::AttributesNotKept, errno);
  if (ownProject.fsx_projid == project.fsx_projid)
    return FsError::None;
  ownProject.fsx_projid = project.fsx_projid;
  return ::ioctl(copy.handle(), FS_IOC_FSSETXATTR, &ownProject) == 0
             ? FsError::None
             : Fail(FsError::AttributesNotKept, errno);
}

FsError CheckAttributesKept(File &, const KeptAttributes &) { return FsError::None; }

FsError KeepTimes(File &entry, File &copy) {
  struct stat times;
  if (::fstat(entry.handle(), &times) != 0)
    return LastError();
  const struct timespec kept[2] = {times.st_atim, times.st_mtim};
  return ::futimens(copy.handle(), kept) == 0 ? FsError::None : LastError();
}

FsError KeepAttributes(File &entry, const FileInfo &like, File &copy, KeptAttributes &kept) {
  // Decided from what the copy got, not from who runs: what it has already
  // needs no change, which a file system that gives every file the same
  // owner and mode (FAT through FUSE) would refuse.
  const int fd = copy.handle();
  struct stat got;
  if (::fstat(fd, &got) != 0)
    return LastError();
  kept.copy = IdentityOf(got);
  kept.size = static_cast<std::uint64_t>(got.st_size);
  kept.modified = ModifiedOf(got);
  const bool ownerDiffers = got.st_uid != like.owner || got.st_gid != like.group;
  if (ownerDiffers && ::fchown(fd, like.owner, like.group) != 0)
    return Fail(FsError::OwnerNotKept, errno);
  bool setAccessList = false;
  if (const FsError error =
          CopyExtendedAttributes(entry.handle(), fd, kept.extended, setAccessList);
      error != FsError::None)
    return error;
  // Last: a change of owner clears the set-id bits, an access list sets the
  // permission bits, and until now the copy was for this user alone.
  const mode_t mode = static_cast<mode_t>(like.permissions);
  if ((ownerDiffers || setAccessList || (got.st_mode & 07777) != mode) && ::fchmod(fd, mode) != 0)
    return Fail(FsError::AttributesNotKept, errno);
  return FsError::None;
}

} // namespace tailsnip::fs
