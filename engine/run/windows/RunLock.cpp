// Run claims as named kernel objects of the logon session, named by folder
// identity: "run" objects for the folders runs work in, "inside" objects for
// every folder above one. A run makes its own objects first and then looks
// for the others', so of two runs starting together at least one sees the
// other. The objects vanish with the last handle, when a run ends in any way.
#include "engine/run/RunLock.h"

#include "engine/fs/FileSystem.h"
#include "engine/fs/windows/WidePath.h"

#include <windows.h>

#include <string>
#include <vector>

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

// The folder and every folder above it, nearest first, by their paths.
std::vector<std::string> FolderAndAbove(const FolderPath &folder) {
  std::vector<std::string> folders;
  std::string path = ToFullPath(folder);
  folders.push_back(path);
  while (path.size() > 3) { // down to the drive's root, "C:\"
    const std::size_t separator = path.find_last_of('\\', path.size() - 2);
    if (separator == std::string::npos)
      break;
    path = path.substr(0, separator < 3 ? 3 : separator);
    folders.push_back(path);
  }
  return folders;
}

} // namespace

bool LockRun(const FolderPath &folder, RunLock &lock, FolderPath &busy) {
  auto held = std::make_unique<RunLock::Held>();
  std::vector<std::pair<std::string, fs::FileIdentity>> folders;
  for (const std::string &path : FolderAndAbove(folder)) {
    fs::FileIdentity identity;
    if (fs::GetIdentity(path, identity) == fs::FsError::None)
      folders.push_back({path, identity});
  }
  if (folders.empty())
    return true;
  HANDLE own = CreateMutexA(nullptr, FALSE, ObjectName("run", folders[0].second).c_str());
  if (own)
    held->objects.push_back(own);
  if (own && GetLastError() == ERROR_ALREADY_EXISTS) {
    busy = folder;
    return false;
  }
  for (std::size_t i = 1; i < folders.size(); ++i)
    if (HANDLE inside =
            CreateMutexA(nullptr, FALSE, ObjectName("inside", folders[i].second).c_str()))
      held->objects.push_back(inside);
  if (Exists(ObjectName("inside", folders[0].second))) {
    busy = folder;
    return false;
  }
  for (std::size_t i = 1; i < folders.size(); ++i)
    if (Exists(ObjectName("run", folders[i].second))) {
      busy = folders[i].first;
      return false;
    }
  lock.held_ = std::move(held);
  return true;
}

} // namespace tailsnip
