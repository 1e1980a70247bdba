// The journal's platform parts over Win32.
#include "engine/stopped/Journal.h"

#include "engine/fs/windows/WidePath.h"

#include <windows.h>

#include <cstdlib>

namespace tailsnip {

fs::FsError StampEntry(const FolderPath &path, EntryStamp &stamp) {
  stamp = EntryStamp();
  HANDLE handle =
      CreateFileW(ToWidePath(path).c_str(), FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return fs::FsError::FromSystem(static_cast<int>(GetLastError()));
  BY_HANDLE_FILE_INFORMATION info;
  const bool described = GetFileInformationByHandle(handle, &info) != 0;
  const DWORD error = GetLastError();
  CloseHandle(handle);
  if (!described)
    return fs::FsError::FromSystem(static_cast<int>(error));
  stamp.known = true;
  stamp.kind = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? fs::FileKind::Link
               : (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)   ? fs::FileKind::Folder
                                                                      : fs::FileKind::Regular;
  stamp.volume = info.dwVolumeSerialNumber;
  stamp.index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  stamp.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  stamp.modified = (std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) |
                   info.ftLastWriteTime.dwLowDateTime;
  return fs::FsError::None;
}

FolderPath DefaultJournalFolder() {
  const char *local = std::getenv("LOCALAPPDATA");
  return local && local[0] ? FolderPath(local) + "\\Tailsnip" : FolderPath();
}

FolderPath AbsolutePath(const FolderPath &path) { return ToFullPath(path); }

namespace {

// Opens `path` for `access`, shared with nobody.
fs::FsError OpenUnshared(const FolderPath &path, DWORD access, DWORD disposition, fs::File &file) {
  HANDLE handle = CreateFileW(ToWidePath(path).c_str(), access, 0, nullptr, disposition,
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

// The user's profile already keeps %LOCALAPPDATA% to the user.
fs::FsError CreatePrivate(const FolderPath &path, fs::File &file) {
  return OpenUnshared(path, GENERIC_WRITE, CREATE_NEW, file);
}

fs::FsError OpenForAppend(const FolderPath &path, fs::File &file) {
  return OpenUnshared(path, FILE_APPEND_DATA, OPEN_EXISTING, file);
}

// MoveFileEx with MOVEFILE_WRITE_THROUGH has made the rename durable already.
fs::FsError FlushFolder(const FolderPath &) { return fs::FsError::None; }

} // namespace journal

} // namespace tailsnip
