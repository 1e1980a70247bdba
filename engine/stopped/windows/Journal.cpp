// The journal's platform parts over Win32.
#include "engine/stopped/Journal.h"

#include "engine/fs/windows/PrivateSecurity.h"
#include "engine/fs/windows/WidePath.h"
#include "engine/run/RunFiles.h"

#include <windows.h>

#include <cctype>
#include <cstdlib>

namespace tailsnip {

FolderPath DefaultJournalFolder() {
  // A relative one would put each run's journal under its current folder,
  // where a run from elsewhere would not see a stopped run.
  const char *local = std::getenv("LOCALAPPDATA");
  const bool full =
      local && ((std::isalpha(static_cast<unsigned char>(local[0])) && local[1] == ':' &&
                 (local[2] == '\\' || local[2] == '/')) ||
                ((local[0] == '\\' || local[0] == '/') && (local[1] == '\\' || local[1] == '/')));
  return full ? FolderPath(local) + "\\" + kJournalFolderName : FolderPath();
}

// LOCALAPPDATA lies in the user's profile, which no other user may change.
bool OthersMayChangeJournals(const FolderPath &) { return false; }

FolderPath AbsolutePath(const FolderPath &path) { return ToFullPath(path); }

namespace {

// Opens `path` for `access`, shared as `sharing` allows; made with
// `security` where it is new.
fs::FsError Open(const FolderPath &path, DWORD access, DWORD sharing, DWORD disposition,
                 fs::File &file, SECURITY_ATTRIBUTES *security = nullptr) {
  HANDLE handle = CreateFileW(ToWidePath(path).c_str(), access, sharing, security, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return fs::FsError::FromSystem(static_cast<int>(GetLastError()));
  file.adopt(handle);
  return fs::FsError::None;
}

} // namespace

namespace journal {

fs::FsError MakeFolders(const FolderPath &folder) {
  // The first separator after a drive or a share's name starts the parts to make.
  for (std::size_t at = 3; at <= folder.size(); ++at) {
    if (at < folder.size() && folder[at] != '\\')
      continue;
    if (!CreateDirectoryW(ToWidePath(folder.substr(0, at)).c_str(), nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS)
      return fs::FsError::FromSystem(static_cast<int>(GetLastError()));
  }
  return fs::FsError::None;
}

// The user's profile keeps %LOCALAPPDATA% to the user on Windows; under
// Wine it is a Linux folder others may read.
fs::FsError CreatePrivate(const FolderPath &path, fs::File &file) {
  fs::PrivateSecurity security;
  return Open(path, GENERIC_WRITE, 0, CREATE_NEW, file, security.get());
}

// No umask on Windows: CreatePrivate gave the file its access.
fs::FsError KeepPrivate(fs::File &) { return fs::FsError::None; }

// Shared for reading: a run holds its journal open for its notes, and a
// run over a folder above or beneath reads it meanwhile.
fs::FsError OpenForAppend(const FolderPath &path, fs::File &file) {
  return Open(path, FILE_APPEND_DATA, FILE_SHARE_READ, OPEN_EXISTING, file);
}

} // namespace journal

} // namespace tailsnip
