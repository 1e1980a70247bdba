// The engine's file operations over Win32 handles.
#include "engine/FileSystem.h"

#include "engine/windows/WidePath.h"

#include <windows.h>

#include <climits>

namespace tailsnip::fs {

const File::Handle File::kNone = INVALID_HANDLE_VALUE;

File::~File() {
  if (isOpen())
    CloseHandle(handle_);
}

namespace {

FsError FromWin32(DWORD error) {
  switch (error) {
  case ERROR_SUCCESS:
    return FsError::None;
  case ERROR_FILE_NOT_FOUND:
  case ERROR_PATH_NOT_FOUND:
  case ERROR_INVALID_NAME:
    return FsError::NotFound;
  case ERROR_ACCESS_DENIED:
  case ERROR_WRITE_PROTECT:
    return FsError::AccessDenied;
  case ERROR_SHARING_VIOLATION:
  case ERROR_LOCK_VIOLATION:
  case ERROR_USER_MAPPED_FILE:
    return FsError::InUse;
  case ERROR_FILE_EXISTS:
  case ERROR_ALREADY_EXISTS:
    return FsError::Exists;
  case ERROR_DISK_FULL:
  case ERROR_HANDLE_DISK_FULL:
    return FsError::NoSpace;
  case ERROR_NOT_SAME_DEVICE:
    return FsError::CrossVolume;
  case ERROR_FILENAME_EXCED_RANGE:
  case ERROR_BUFFER_OVERFLOW:
    return FsError::NameTooLong;
  default:
    return FsError::Other;
  }
}

FsError LastError() { return FromWin32(GetLastError()); }

bool IsNameSurrogate(HANDLE handle) {
  FILE_ATTRIBUTE_TAG_INFO info{};
  return !GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info) ||
         IsReparseTagNameSurrogate(info.ReparseTag);
}

FileKind KindOf(HANDLE handle, DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsNameSurrogate(handle))
    return FileKind::Link;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return FileKind::Folder;
  return GetFileType(handle) == FILE_TYPE_DISK ? FileKind::Regular : FileKind::Other;
}

FsError Read(File &file, OVERLAPPED *at, char *buffer, std::size_t capacity, std::size_t &got) {
  const DWORD wanted = capacity > MAXDWORD ? MAXDWORD : static_cast<DWORD>(capacity);
  DWORD count = 0;
  if (!ReadFile(file.handle(), buffer, wanted, &count, at)) {
    if (GetLastError() != ERROR_HANDLE_EOF)
      return LastError();
    count = 0;
  }
  got = count;
  return FsError::None;
}

} // namespace

FsError OpenForReading(const FolderPath &path, File &file, FileInfo &info) {
  // Sharing reads only: a file someone is writing counts as in use.
  HANDLE handle = CreateFileW(
      ToWidePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN,
      nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return LastError();
  file.adopt(handle);
  return Describe(file, info);
}

FsError Describe(File &file, FileInfo &info) {
  BY_HANDLE_FILE_INFORMATION described;
  if (!GetFileInformationByHandle(file.handle(), &described))
    return LastError();
  info.kind = KindOf(file.handle(), described.dwFileAttributes);
  info.readOnly = (described.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  info.size = (std::uint64_t{described.nFileSizeHigh} << 32) | described.nFileSizeLow;
  info.modified = (std::uint64_t{described.ftLastWriteTime.dwHighDateTime} << 32) |
                  described.ftLastWriteTime.dwLowDateTime;
  return FsError::None;
}

FsError ReadSome(File &file, char *buffer, std::size_t capacity, std::size_t &got) {
  return Read(file, nullptr, buffer, capacity, got);
}

FsError ReadAt(File &file, std::uint64_t offset, char *buffer, std::size_t capacity,
               std::size_t &got) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return Read(file, &at, buffer, capacity, got);
}

FsError CreateNew(const FolderPath &path, const FileInfo &, File &file) {
  // A new, ordinary file: hidden and system attributes are not carried over.
  HANDLE handle = CreateFileW(ToWidePath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return LastError();
  file.adopt(handle);
  return FsError::None;
}

FsError WriteAll(File &file, const char *data, std::size_t size) {
  while (size > 0) {
    const DWORD wanted = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
    DWORD count = 0;
    if (!WriteFile(file.handle(), data, wanted, &count, nullptr))
      return LastError();
    data += count;
    size -= count;
  }
  return FsError::None;
}

FsError FlushToDisk(File &file) {
  return FlushFileBuffers(file.handle()) ? FsError::None : LastError();
}

FsError Close(File &file) { return CloseHandle(file.release()) ? FsError::None : LastError(); }

FsError MoveOver(const FolderPath &from, const FolderPath &to) {
  // Without MOVEFILE_COPY_ALLOWED a move between volumes fails instead of
  // becoming a copy and delete, which would not be one step.
  return MoveFileExW(ToWidePath(from).c_str(), ToWidePath(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
             ? FsError::None
             : LastError();
}

FsError Remove(const FolderPath &path) {
  return DeleteFileW(ToWidePath(path).c_str()) ? FsError::None : LastError();
}

FsError GetIdentity(const FolderPath &path, FileIdentity &identity) {
  HANDLE handle = CreateFileW(ToWidePath(path).c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return LastError();
  BY_HANDLE_FILE_INFORMATION described;
  const bool known = GetFileInformationByHandle(handle, &described);
  const FsError error = known ? FsError::None : LastError();
  CloseHandle(handle);
  if (known) {
    identity.volume = described.dwVolumeSerialNumber;
    identity.index = (std::uint64_t{described.nFileIndexHigh} << 32) | described.nFileIndexLow;
  }
  return error;
}

std::uint32_t CurrentProcessId() { return GetCurrentProcessId(); }

} // namespace tailsnip::fs
