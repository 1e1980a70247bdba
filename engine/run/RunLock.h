// Keeps runs from working in the same folders at once: a second run would
// shorten a file the first one is replacing, or shorten it twice.
#ifndef TAILSNIP_ENGINE_RUNLOCK_H
#define TAILSNIP_ENGINE_RUNLOCK_H

#include "engine/FolderPath.h"
#include "engine/fs/FileSystem.h"

#include <memory>

namespace tailsnip {

// Held for the length of a run; released when destroyed, and by the system
// when the process ends in any way.
class RunLock {
public:
  struct Held;
  RunLock();
  RunLock(RunLock &&) noexcept;
  RunLock &operator=(RunLock &&) noexcept;
  ~RunLock();

private:
  friend bool LockRun(const FolderPath &folder, RunLock &lock, FolderPath &busy);
  std::unique_ptr<Held> held_;
};

// Claims `folder` for one run. Returns false, and sets `busy` to the folder
// in question, when another run is working in `folder`, in a folder inside
// it, or in a folder above it (found by identity: FoldersAbove.h). Runs by
// other users count where the system lets this user see them: on a folder
// this user may not open, as the system's table of locks shows them. A run
// working in a folder that now lies inside `folder` by a name it was not
// started under is found by ClaimedByAnotherRun.
[[nodiscard]] bool LockRun(const FolderPath &folder, RunLock &lock, FolderPath &busy);

// Whether LockRun would claim `folder` now, found without claiming it:
// false, with `busy` set as LockRun sets it, where another run is in the
// way. A run that only looks (a dry run) asks this, so that it never turns
// another run away as busy, not even for a moment.
[[nodiscard]] bool MayLockRun(const FolderPath &folder, FolderPath &busy);

// Whether another run works in `folder` (whose identity is `identity`) as its
// own, whatever name it reached the folder by: a run's walk asks this of
// every folder it enters, so that a run's folder moved or mounted into
// another run's tree still keeps that run out. With `lookOnly`, as a dry
// run asks, it is found without trying a claim there.
bool ClaimedByAnotherRun(const FolderPath &folder, const fs::FileIdentity &identity, bool lookOnly);

} // namespace tailsnip

#endif
