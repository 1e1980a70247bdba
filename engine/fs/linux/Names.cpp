// Changes to the names in held folders: a copy put in its entry's place in
// one step, further names (links), names moved aside and removed. Where the
// file system allows, each checks that a name still leads to the file meant.
#include "engine/fs/linux/Descriptors.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <linux/fs.h>

namespace tailsnip::fs {

FsError MoveOver(const File &fromFolder, const FolderPath &from, const File &toFolder,
                 const FolderPath &to) {
  return ::renameat(fromFolder.handle(), NameOf(from), toFolder.handle(), NameOf(to)) == 0
             ? FsError::None
             : LastError();
}

namespace {

// Whether the name `name` in `at` leads to the file `identity`, links not
// followed.
bool Holds(int at, const char *name, const FileIdentity &identity) {
  struct stat named;
  return ::fstatat(at, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && IdentityOf(named) == identity;
}

// Whether `named` describes the file open as `held`, which was `described`
// moments before. A file held open keeps its identity, so only another one
// sends for a fresh description: an overlay's copy-up, which a rename
// makes, gives the held file another inode number, the one its name then
// shows.
bool IsHeld(const struct stat &named, const File &held, const FileIdentity &described) {
  if (IdentityOf(named) == described)
    return true;
  struct stat now;
  return ::fstat(held.handle(), &now) == 0 && IdentityOf(named) == IdentityOf(now);
}

// Whether the copy under `name` in `at`, back from the entry's place, is as
// it was given (`copy`, with the entry's `described` access): anything done
// by the entry's name as it lay there was done to it instead, and is
// another program's to keep. What cannot be asked (no /proc to reopen it
// through) counts as changed: the copy stays.
bool CopyAsGiven(int at, const char *name, const FileInfo &described, const KeptAttributes &copy) {
  File held;
  held.adopt(::openat(at, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat now;
  if (!held.isOpen() || ::fstat(held.handle(), &now) != 0 || IdentityOf(now) != copy.copy)
    return false;
  File file;
  file.adopt(Reopen(held, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  ExtendedAttributes extended;
  return file.isOpen() && static_cast<std::uint64_t>(now.st_size) == copy.size &&
         ModifiedOf(now) == copy.modified && (now.st_mode & 07777) == described.permissions &&
         now.st_uid == described.owner && now.st_gid == described.group &&
         ReadExtendedAttributes(file.handle(), extended) == FsError::None &&
         extended == copy.extended;
}

} // namespace

FsError MoveOverSame(const File &fromFolder, const FolderPath &from, const File &toFolder,
                     const FolderPath &to, const File &expected, const FileInfo &described,
                     const KeptAttributes &copy, bool &removeFrom) {
  const int fromAt = fromFolder.handle(), toAt = toFolder.handle();
  const char *fromName = NameOf(from), *toName = NameOf(to);
  removeFrom = true;
  struct stat named = {};
  if (::renameat2(fromAt, fromName, toAt, toName, RENAME_EXCHANGE) == 0) {
    const bool same = ::fstatat(fromAt, fromName, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                      IsHeld(named, expected, described.identity);
    // A program that opened the file as it was exchanged, its lease let go
    // at once, holds the file that came out: what it writes must not go
    // with that file.
    const bool opened = same && expected.exclusive() && !StillExclusive(expected);
    // A chmod, chown, setfacl or setfattr by name just before the exchange,
    // which opens nothing, went to the file that came out: the copy would
    // undo it.
    ExtendedAttributes extended;
    const bool accessChanged =
        same && ((named.st_mode & 07777) != described.permissions ||
                 named.st_uid != described.owner || named.st_gid != described.group ||
                 ReadExtendedAttributes(expected.handle(), extended) != FsError::None ||
                 extended != copy.extended);
    if (same && !opened && !accessChanged)
      return FsError::None;
    // It goes back under its name, the copy under its own.
    const FsError::Kind kept = !same           ? FsError::Changed
                               : accessChanged ? FsError::AttributesNotKept
                                               : FsError::InUse;
    if (::renameat2(fromAt, fromName, toAt, toName, RENAME_EXCHANGE) != 0) {
      removeFrom = false; // what lies there is not ours
      return Fail(kept, errno);
    }
    if (Holds(fromAt, fromName, copy.copy)) {
      if (CopyAsGiven(fromAt, fromName, described, copy))
        return Fail(kept, 0);
      removeFrom = false;
      return Fail(FsError::CopyChanged, 0);
    }
    // Saved over again as the copy lay in its place: that save went back
    // under the copy's name, and the copy is gone. The save goes back under
    // its own, and what it replaced is left to remove, as the save itself
    // had it; anything else there is not ours.
    if (::renameat2(fromAt, fromName, toAt, toName, RENAME_EXCHANGE) != 0 ||
        !Holds(fromAt, fromName, IdentityOf(named)))
      removeFrom = false;
    return Fail(kept, 0);
  }
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
    return LastError();
  // This file system cannot exchange: the name is checked just before the
  // rename, which leaves an instant between the two.
  if (::fstatat(toAt, toName, &named, AT_SYMLINK_NOFOLLOW) != 0)
    return LastError();
  if (!IsHeld(named, expected, described.identity))
    return Fail(FsError::Changed, 0);
  if (::renameat(fromAt, fromName, toAt, toName) != 0)
    return LastError();
  removeFrom = false;
  return FsError::None;
}

namespace {

// A link refused for what the file system or the user's rights allow
// (FAT keeps no links, a FUSE driver may have no call for them;
// protected_hardlinks; too many links already).
FsError LinkRefused(int error) {
  return error == EPERM || error == EMLINK || error == EOPNOTSUPP || error == ENOSYS
             ? Fail(FsError::NotSupported, error)
             : FsError::FromSystem(error);
}

} // namespace

FsError LinkFile(const File &folder, const FolderPath &path, const File &file,
                 const FolderPath &name) {
  const int into = folder.handle();
  const char *linkName = NameOf(name);
  if (IsSuperuser()) {
    if (::linkat(file.handle(), "", into, linkName, AT_EMPTY_PATH) == 0)
      return FsError::None;
    if (errno != ENOENT) // the refusal of a superuser without the capability
      return LinkRefused(errno);
  }
  static const bool proc = ::access("/proc/self/fd", X_OK) == 0;
  if (proc) {
    const std::string self = "/proc/self/fd/" + std::to_string(file.handle());
    return ::linkat(AT_FDCWD, self.c_str(), into, linkName, AT_SYMLINK_FOLLOW) == 0
               ? FsError::None
               : LinkRefused(errno);
  }
  // By name, then checked: another file may have taken the entry's name.
  if (::linkat(into, NameOf(path), into, linkName, 0) != 0)
    return LinkRefused(errno);
  struct stat held, named;
  if (::fstat(file.handle(), &held) == 0 &&
      ::fstatat(into, linkName, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
      IdentityOf(named) == IdentityOf(held))
    return FsError::None;
  ::unlinkat(into, linkName, 0);
  return Fail(FsError::Changed, 0);
}

FsError MoveAsideFile(const File &folder, const FolderPath &from, const FolderPath &to) {
  const int at = folder.handle();
  const char *fromName = NameOf(from), *toName = NameOf(to);
  struct stat status;
  if (::fstatat(at, fromName, &status, AT_SYMLINK_NOFOLLOW) != 0)
    return LastError();
  if (!S_ISREG(status.st_mode))
    return Fail(FsError::Changed, 0);
  if (::renameat2(at, fromName, at, toName, RENAME_NOREPLACE) == 0) {
    // Another entry may have taken the name since it was looked at: it goes back.
    if (::fstatat(at, toName, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode))
      return FsError::None;
    ::renameat2(at, toName, at, fromName, RENAME_NOREPLACE);
    return Fail(FsError::Changed, 0);
  }
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
    return LastError();
  // This file system cannot refuse to replace: `to` is checked just before.
  if (::fstatat(at, toName, &status, AT_SYMLINK_NOFOLLOW) == 0)
    return Fail(FsError::Exists, EEXIST);
  return ::renameat(at, fromName, at, toName) == 0 ? FsError::None : LastError();
}

FsError FlushFolder(const File &folder) {
  // Reopened for reading: a folder held by O_PATH cannot be flushed.
  const int fd = ::openat(folder.handle(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return LastError();
  const FsError error = ::fsync(fd) == 0 ? FsError::None : LastError();
  ::close(fd);
  return error;
}

FsError Remove(const File &folder, const FolderPath &path) {
  return ::unlinkat(folder.handle(), NameOf(path), 0) == 0 ? FsError::None : LastError();
}

} // namespace tailsnip::fs
