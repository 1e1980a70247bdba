// Run claims as flock(2) locks on folders: a run holds its folder exclusively
// and every folder above it shared, so runs over the same folder, over one
// inside another, or over one above another meet on some folder's lock. The
// folders above are found by identity (FoldersAbove.h), so no name a run
// was started under, a bind mount's included, hides them.
#include "engine/run/RunLock.h"

#include "engine/run/FoldersAbove.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace tailsnip {

struct RunLock::Held {
  std::vector<HeldFolder> folders;
};

RunLock::RunLock() = default;
RunLock::RunLock(RunLock &&) noexcept = default;
RunLock &RunLock::operator=(RunLock &&) noexcept = default;
RunLock::~RunLock() = default;

namespace {

// The device the system's table of locks names the folder at `path` by:
// its file system's own, as the folder's mount tells it. btrfs gives the
// files of each subvolume a device of their own (st_dev), which the table
// does not show. `identity`'s device where the mount cannot be told.
std::string TableDevice(const FolderPath &path, const fs::FileIdentity &identity) {
  unsigned major = ::major(static_cast<dev_t>(identity.volume));
  unsigned minor = ::minor(static_cast<dev_t>(identity.volume));
  struct statx status;
  if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_INO | STATX_MNT_ID, &status) ==
          0 &&
      (status.stx_mask & STATX_MNT_ID) != 0 && status.stx_ino == identity.index)
    if (std::FILE *mounts = std::fopen("/proc/self/mountinfo", "re")) {
      // "36 35 98:0 /mnt1 /mnt2 ...": mount ID, parent ID, major:minor.
      unsigned long long id = 0;
      unsigned mountMajor = 0, mountMinor = 0;
      char line[4096];
      while (std::fgets(line, sizeof line, mounts))
        if (std::sscanf(line, "%llu %*u %u:%u", &id, &mountMajor, &mountMinor) == 3 &&
            id == status.stx_mnt_id) {
          major = mountMajor;
          minor = mountMinor;
          break;
        }
      std::fclose(mounts);
    }
  char device[32];
  std::snprintf(device, sizeof device, "%02x:%02x", major, minor);
  return device;
}

// Whether the system's table of locks shows a flock(2) lock on the folder
// at `path` (`identity`) that a claim taken with `operation` would meet: an
// exclusive one, or any where `operation` is exclusive. A folder this user
// may not open can still be another user's run's folder; the table names
// it by device and inode to anyone.
bool ClaimShownOn(const FolderPath &path, const fs::FileIdentity &identity, int operation) {
  std::FILE *table = std::fopen("/proc/locks", "re");
  if (!table)
    return false;
  const std::string wanted = TableDevice(path, identity) + ":" + std::to_string(identity.index);
  bool shown = false;
  char line[256];
  // "1: FLOCK  ADVISORY  WRITE 4711 fd:01:1234 0 EOF"; a waiter's has "->"
  // before FLOCK, and holds nothing.
  while (!shown && std::fgets(line, sizeof line, table)) {
    char kind[16], mode[16], where[64];
    shown = std::sscanf(line, "%*s %15s %*s %15s %*s %63s", kind, mode, where) == 3 &&
            std::strcmp(kind, "FLOCK") == 0 && wanted == where &&
            (operation == LOCK_EX || std::strcmp(mode, "WRITE") == 0);
  }
  std::fclose(table);
  return shown;
}

bool LockTableShown() { return ::access("/proc/locks", R_OK) == 0; }

// Returns false only when another holder's lock is in the way. A folder the
// user may not read cannot be locked: a claim already there is still seen.
bool LockFolder(const HeldFolder &folder, int operation) {
  if (!folder.handle.isOpen())
    return !ClaimShownOn(folder.path, folder.identity, operation);
  return ::flock(folder.handle.handle(), operation | LOCK_NB) == 0 || errno != EWOULDBLOCK;
}

} // namespace

bool LockRun(const FolderPath &folder, RunLock &lock, FolderPath &busy) {
  auto held = std::make_unique<RunLock::Held>();
  held->folders = FolderAndAbove(folder);
  for (std::size_t i = 0; i < held->folders.size(); ++i)
    if (!LockFolder(held->folders[i], i == 0 ? LOCK_EX : LOCK_SH)) {
      busy = i == 0 ? folder : held->folders[i].path;
      return false;
    }
  lock.held_ = std::move(held);
  return true;
}

bool MayLockRun(const FolderPath &folder, FolderPath &busy) {
  // Without a table to look in, the claim is tried and let go at once.
  if (!LockTableShown()) {
    RunLock tried;
    return LockRun(folder, tried, busy);
  }
  const std::vector<HeldFolder> folders = FolderAndAbove(folder);
  for (std::size_t i = 0; i < folders.size(); ++i)
    if (ClaimShownOn(folders[i].path, folders[i].identity, i == 0 ? LOCK_EX : LOCK_SH)) {
      busy = i == 0 ? folder : folders[i].path;
      return false;
    }
  return true;
}

bool ClaimedByAnotherRun(const FolderPath &folder, const fs::FileIdentity &identity,
                         bool lookOnly) {
  if (lookOnly && LockTableShown())
    return ClaimShownOn(folder, identity, LOCK_SH);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return false; // unreadable here: nobody's claim can be seen
  const bool claimed = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd); // and the shared lock with it: only the run's own folders stay held
  return claimed;
}

} // namespace tailsnip
