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

namespace {

// Whether `status`, of a folder or the link to one, leaves it to this user
// and the superuser. A sticky folder anyone may write to (/tmp) lets
// nobody take or replace another's entries.
bool OnlyOursToChange(const struct stat &status) {
  if (status.st_uid != ::geteuid() && status.st_uid != 0)
    return false;
  return S_ISLNK(status.st_mode) || (status.st_mode & S_IWOTH) == 0 ||
         (status.st_mode & S_ISVTX) != 0;
}

} // namespace

bool OthersMayChangeJournals(const FolderPath &journals) {
  struct stat status;
  // Not there yet: this user makes it, private, where the folder above allows.
  if (::lstat(journals.c_str(), &status) == 0 &&
      (!OnlyOursToChange(status) ||
       (S_ISLNK(status.st_mode) &&
        (::stat(journals.c_str(), &status) != 0 || !OnlyOursToChange(status)))))
    return true;
  const std::size_t separator = journals.find_last_of('/');
  const FolderPath above = separator == 0 ? "/" : journals.substr(0, separator);
  return ::stat(above.c_str(), &status) == 0 && !OnlyOursToChange(status);
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

// The user's own bits are set whatever the umask: one that takes them would
// leave folders and journals that even the user's later runs cannot use.
fs::FsError MakeFolders(const FolderPath &folder) {
  for (std::size_t at = 1; at <= folder.size(); ++at) {
    if (at < folder.size() && folder[at] != '/')
      continue;
    const FolderPath made = folder.substr(0, at);
    if (::mkdir(made.c_str(), 0700) == 0) {
      if (::chmod(made.c_str(), 0700) != 0)
        return fs::FsError::FromSystem(errno);
    } else if (errno != EEXIST) {
      return fs::FsError::FromSystem(errno);
    }
  }
  return fs::FsError::None;
}

fs::FsError CreatePrivate(const FolderPath &path, fs::File &file) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0)
    return fs::FsError::FromSystem(errno);
  file.adopt(fd);
  return KeepPrivate(file);
}

fs::FsError KeepPrivate(fs::File &file) {
  return ::fchmod(file.handle(), 0600) == 0 ? fs::FsError::None : fs::FsError::FromSystem(errno);
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
