// The folders above a folder by each one's "..", opened as paths so that a
// folder the user may pass through but not read still leads upwards. At
// the root of a bind mount, ".." leads to where it is mounted; the folder is
// looked up again through a mount of its file system that shows more of it
// (/proc/self/mountinfo), and the way up goes on from there.
#include "engine/run/FoldersAbove.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace tailsnip {

namespace {

struct Mount {
  int id = 0;
  std::string device; // major:minor
  std::string root;   // the folder of its file system it shows
  std::string point;  // where it is mounted
};

// Mount table fields escape spaces, tabs, line feeds and backslashes as \ooo.
std::string Unescape(const std::string &field) {
  std::string text;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      text += static_cast<char>(std::strtol(field.substr(i + 1, 3).c_str(), nullptr, 8));
      i += 3;
    } else {
      text += field[i];
    }
  }
  return text;
}

// Read with plain calls: iostreams would load their locales into every run.
std::string ReadTable(const char *path) {
  std::string text;
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return text;
  char chunk[16384];
  for (ssize_t got; (got = ::read(fd, chunk, sizeof chunk)) > 0;)
    text.append(chunk, static_cast<std::size_t>(got));
  ::close(fd);
  return text;
}

// The next field of `line` from `at` on, fields being separated by spaces.
std::string NextField(const std::string &line, std::size_t &at) {
  const std::size_t begin = line.find_first_not_of(' ', at);
  if (begin == std::string::npos) {
    at = line.size();
    return {};
  }
  const std::size_t end = std::min(line.find(' ', begin), line.size());
  at = end;
  return line.substr(begin, end - begin);
}

std::vector<Mount> ReadMounts() {
  std::vector<Mount> mounts;
  const std::string table = ReadTable("/proc/self/mountinfo");
  for (std::size_t start = 0; start < table.size();) {
    const std::size_t end = std::min(table.find('\n', start), table.size());
    const std::string line = table.substr(start, end - start);
    start = end + 1;
    std::size_t at = 0;
    const std::string id = NextField(line, at);
    NextField(line, at); // the parent mount's id
    Mount mount;
    mount.device = NextField(line, at);
    const std::string root = NextField(line, at);
    const std::string point = NextField(line, at);
    if (point.empty())
      continue;
    mount.id = std::atoi(id.c_str());
    mount.root = Unescape(root);
    mount.point = Unescape(point);
    mounts.push_back(std::move(mount));
  }
  return mounts;
}

bool IsBeneath(const std::string &path, const std::string &folder) {
  return folder == "/" || path == folder ||
         (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
          path[folder.size()] == '/');
}

struct Step {
  int fd = -1; // O_PATH
  FolderPath path;
  struct stat status {};
};

// The mount `step` is the root of, when it shows only part of its file
// system; then the same folder through the mount that shows the most of it.
bool Rejoin(Step &step, const std::vector<Mount> &mounts) {
  struct statx extended;
  if (::statx(step.fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &extended) != 0 ||
      !(extended.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) ||
      !(extended.stx_attributes & STATX_ATTR_MOUNT_ROOT) || !(extended.stx_mask & STATX_MNT_ID))
    return false;
  const Mount *own = nullptr;
  for (const Mount &mount : mounts)
    if (static_cast<std::uint64_t>(mount.id) == extended.stx_mnt_id)
      own = &mount;
  if (!own || own->root == "/")
    return false;
  const Mount *wider = nullptr;
  for (const Mount &mount : mounts)
    if (mount.device == own->device && mount.root.size() < own->root.size() &&
        IsBeneath(own->root, mount.root) && (!wider || mount.root.size() < wider->root.size()))
      wider = &mount;
  if (!wider)
    return false;
  const std::string below = own->root.substr(wider->root == "/" ? 0 : wider->root.size());
  const FolderPath path = wider->point == "/" ? below : wider->point + below;
  const int fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  struct stat status;
  if (fd < 0 || ::fstat(fd, &status) != 0 || status.st_dev != step.status.st_dev ||
      status.st_ino != step.status.st_ino) {
    if (fd >= 0)
      ::close(fd);
    return false;
  }
  ::close(step.fd);
  step.fd = fd;
  step.path = path;
  return true;
}

FolderPath ParentName(const FolderPath &path) {
  const std::size_t separator = path.find_last_of('/');
  return separator == 0 || separator == FolderPath::npos ? "/" : path.substr(0, separator);
}

} // namespace

std::vector<HeldFolder> FolderAndAbove(const FolderPath &folder) {
  std::vector<HeldFolder> chain;
  char resolved[PATH_MAX];
  Step step;
  step.path = ::realpath(folder.c_str(), resolved) ? resolved : folder;
  step.fd = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  const std::vector<Mount> mounts = ReadMounts();
  std::set<std::pair<dev_t, ino_t>> seen; // a bind mount may show a folder beneath itself
  while (step.fd >= 0 && ::fstat(step.fd, &step.status) == 0 &&
         seen.insert({step.status.st_dev, step.status.st_ino}).second) {
    HeldFolder held;
    held.path = step.path;
    held.identity = {static_cast<std::uint64_t>(step.status.st_dev),
                     static_cast<std::uint64_t>(step.status.st_ino)};
    const int readable = ::openat(step.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (readable >= 0)
      held.handle.adopt(readable);
    chain.push_back(std::move(held));
    Rejoin(step, mounts);
    const int parent = ::openat(step.fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
    ::close(step.fd);
    step.fd = parent;
    step.path = ParentName(step.path);
  }
  if (step.fd >= 0)
    ::close(step.fd);
  return chain;
}

} // namespace tailsnip
