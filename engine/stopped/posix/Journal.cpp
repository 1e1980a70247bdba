// The journal's platform parts over POSIX.
#include "engine/stopped/Journal.h"

#include "engine/run/RunFiles.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tailsnip {

FolderPath DefaultJournalFolder() {
  // A relative XDG_STATE_HOME is invalid; other programs ignore it too.
  const char *state = std::getenv("XDG_STATE_HOME");
  if (state && state[0] == '/')
    return FolderPath(state) + "/" + kJournalFolderName;
  const char *home = std::getenv("HOME");
  // Without HOME (a service, a cron job, env -i) the user's home folder is
  // the one the password database gives.
  if (!home || home[0] != '/')
    if (const passwd *user = ::getpwuid(::getuid()))
      home = user->pw_dir;
  if (home && home[0] == '/')
    return FolderPath(home) + "/.local/state/" + kJournalFolderName;
  return {};
}

FolderPath AbsolutePath(const FolderPath &path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved))
    return resolved;
  // A folder that is gone: its parent may still be there to resolve.
  const std::size_t separator = path.find_last_of('/');
  const FolderPath parent = separator == FolderPath::npos ? "." : path.substr(0, separator);
  if (separator != 0 && ::realpath(parent.c_str(), resolved))
    return FolderPath(resolved) + "/" + path.substr(separator + 1);
  return path;
}

namespace journal {

fs::FsError MakeFolders(const FolderPath &folder) {
  for (std::size_t at = 1; at <= folder.size(); ++at) {
    if (at < folder.size() && folder[at] != '/')
      continue;
    if (::mkdir(folder.substr(0, at).c_str(), 0700) != 0 && errno != EEXIST)
      return fs::FsError::FromSystem(errno);
  }
  return fs::FsError::None;
}

fs::FsError CreatePrivate(const FolderPath &path, fs::File &file) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0)
    return fs::FsError::FromSystem(errno);
  file.adopt(fd);
  return fs::FsError::None;
}

fs::FsError OpenForAppend(const FolderPath &path, fs::File &file) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0)
    return fs::FsError::FromSystem(errno);
  file.adopt(fd);
  return fs::FsError::None;
}

} // namespace journal

} // namespace tailsnip
