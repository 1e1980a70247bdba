// Run claims as flock(2) locks on folders: a run holds its folder exclusively
// and every folder above it shared, so runs over the same folder, over one
// inside another, or over one above another meet on some folder's lock. The
// folders above are found by identity (FoldersAbove.h), so no name a run
// was started under, a bind mount's included, hides them.
#include "engine/run/RunLock.h"

#include "engine/run/FoldersAbove.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
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

// Returns false only when another holder's lock is in the way. A folder the
// user may not read: nobody's claim can be seen or made there.
bool LockFolder(const HeldFolder &folder, int operation) {
  return !folder.handle.isOpen() || ::flock(folder.handle.handle(), operation | LOCK_NB) == 0 ||
         errno != EWOULDBLOCK;
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

bool ClaimedByAnotherRun(const FolderPath &folder, const fs::FileIdentity &) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return false; // unreadable here: nobody's claim can be seen
  const bool claimed = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd); // and the shared lock with it: only the run's own folders stay held
  return claimed;
}

} // namespace tailsnip
