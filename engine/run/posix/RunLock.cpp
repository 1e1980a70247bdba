// Run claims as flock(2) locks on folders: a run holds its folder exclusively
// and every folder above it shared, so runs over the same folder, over one
// inside another, or over one above another meet on some folder's lock.
#include "engine/run/RunLock.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

namespace tailsnip {

struct RunLock::Held {
  std::vector<int> folders;
  ~Held() {
    for (const int fd : folders)
      ::close(fd);
  }
};

RunLock::RunLock() = default;
RunLock::RunLock(RunLock &&) noexcept = default;
RunLock &RunLock::operator=(RunLock &&) noexcept = default;
RunLock::~RunLock() = default;

namespace {

// Returns false only when another holder's lock is in the way.
bool LockFolder(const std::string &path, int operation, std::vector<int> &held) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return true; // unreadable here: nobody's claim can be seen or made
  held.push_back(fd);
  return ::flock(fd, operation | LOCK_NB) == 0 || errno != EWOULDBLOCK;
}

} // namespace

bool LockRun(const FolderPath &folder, RunLock &lock, FolderPath &busy) {
  auto held = std::make_unique<RunLock::Held>();
  char resolved[PATH_MAX];
  const std::string path = ::realpath(folder.c_str(), resolved) ? resolved : folder;
  if (!LockFolder(path, LOCK_EX, held->folders)) {
    busy = folder;
    return false;
  }
  for (std::size_t end = path.find_last_of('/'); end != std::string::npos && end > 0;
       end = path.find_last_of('/', end - 1)) {
    const std::string above = path.substr(0, end);
    if (!LockFolder(above, LOCK_SH, held->folders)) {
      busy = above;
      return false;
    }
  }
  if (path != "/" && !LockFolder("/", LOCK_SH, held->folders)) {
    busy = "/";
    return false;
  }
  lock.held_ = std::move(held);
  return true;
}

} // namespace tailsnip
