// Run claims as named kernel objects of the logon session, named by folder
// identity: "run" objects for the folders runs work in, "inside" objects for
// every folder above one. A run makes its own objects first and then looks
// for the others', so of two runs starting together at least one sees the
// other. The objects vanish with the last handle, when a run ends in any way.
#include "engine/run/RunLock.h"

#include "engine/run/FoldersAbove.h"

#include <windows.h>

#include <string>

namespace tailsnip {

struct RunLock::Held {
  std::vector<HANDLE> objects;
  ~Held() {
    for (HANDLE object : objects)
      CloseHandle(object);
  }
};

RunLock::RunLock() = default;
RunLock::RunLock(RunLock &&) noexcept = default;
RunLock &RunLock::operator=(RunLock &&) noexcept = default;
RunLock::~RunLock() = default;

namespace {

std::string ObjectName(const char *kind, const fs::FileIdentity &identity) {
  return std::string("Local\\Tailsnip.") + kind + "." + std::to_string(identity.volume) + "." +
         std::to_string(identity.index);
}

bool Exists(const std::string &name) {
  HANDLE object = OpenMutexA(SYNCHRONIZE, FALSE, name.c_str());
  if (!object)
    return false;
  CloseHandle(object);
  return true;
}

// Whether a run works in a folder above the first of `folders`, which
// `busy` then names.
bool RunAbove(const std::vector<HeldFolder> &folders, FolderPath &busy) {
  for (std::size_t i = 1; i < folders.size(); ++i)
    if (Exists(ObjectName("run", folders[i].identity))) {
      busy = folders[i].path;
      return true;
    }
  return false;
}

} // namespace

bool LockRun(const FolderPath &folder, RunLock &lock, FolderPath &busy) {
  auto held = std::make_unique<RunLock::Held>();
  const std::vector<HeldFolder> folders = FolderAndAbove(folder);
  if (folders.empty())
    return true;
  HANDLE own = CreateMutexA(nullptr, FALSE, ObjectName("run", folders[0].identity).c_str());
  if (own)
    held->objects.push_back(own);
  if (own && GetLastError() == ERROR_ALREADY_EXISTS) {
    busy = folder;
    return false;
  }
  for (std::size_t i = 1; i < folders.size(); ++i)
    if (HANDLE inside =
            CreateMutexA(nullptr, FALSE, ObjectName("inside", folders[i].identity).c_str()))
      held->objects.push_back(inside);
  if (Exists(ObjectName("inside", folders[0].identity))) {
    busy = folder;
    return false;
  }
  if (RunAbove(folders, busy))
    return false;
  lock.held_ = std::move(held);
  return true;
}

bool MayLockRun(const FolderPath &folder, FolderPath &busy) {
  const std::vector<HeldFolder> folders = FolderAndAbove(folder);
  if (folders.empty())
    return true;
  if (Exists(ObjectName("run", folders[0].identity)) ||
      Exists(ObjectName("inside", folders[0].identity))) {
    busy = folder;
    return false;
  }
  if (RunAbove(folders, busy))
    return false;
  return true;
}

// Looking is all a claim's check does here.
bool ClaimedByAnotherRun(const FolderPath &, const fs::FileIdentity &identity, bool) {
  return Exists(ObjectName("run", identity));
}

} // namespace tailsnip
