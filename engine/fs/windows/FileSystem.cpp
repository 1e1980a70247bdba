// The engine's file operations over Win32 handles. The run holds each
// folder it works in open without sharing deletion, so that no folder on an
// entry's path can be renamed or replaced while the run uses the path.
// Claims are in Claims.cpp, copies and their security in Copies.cpp, renames
// and links in Names.cpp.
#include "engine/fs/windows/Win32Errors.h"

#include "engine/fs/windows/WidePath.h"
#include "engine/fs/windows/WineLinks.h"

#include <windows.h>

#include <climits>
#include <limits>
#include <string>

namespace tailsnip::fs {

const File::Handle File::kNone = INVALID_HANDLE_VALUE;

File::~File() {
  if (isOpen())
    CloseHandle(handle_);
}

File &File::operator=(File &&other) noexcept {
  if (this != &other) {
    if (isOpen())
      CloseHandle(handle_);
    exclusive_ = other.exclusive_;
    writable_ = other.writable_;
    handle_ = other.release();
  }
  return *this;
}

namespace {

// Folders are shared for reading and writing their entries, never for
// deletion: nobody may rename or remove them while the run holds them.
constexpr DWORD kFolderSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;

FsError::Kind KindOfWin32(DWORD error) {
  switch (error) {
  case ERROR_SUCCESS:
    return FsError::None;
  case ERROR_FILE_NOT_FOUND:
  case ERROR_PATH_NOT_FOUND:
  case ERROR_INVALID_NAME:
  case ERROR_NO_MORE_FILES: // a search that matched nothing at all
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

} // namespace

FsError FromWin32(DWORD error) {
  return {KindOfWin32(error), std::error_code(static_cast<int>(error), std::system_category())};
}

// The failure the call that just failed reported through GetLastError.
FsError LastError() { return FromWin32(GetLastError()); }

// A failure of `kind` whatever the Win32 error `code` would otherwise mean.
FsError Fail(FsError::Kind kind, DWORD code) {
  return {kind, std::error_code(static_cast<int>(code), std::system_category())};
}

namespace {

FsError OpenFolderHandle(const FolderPath &path, File &folder) {
  HANDLE handle =
      CreateFileW(ToWidePath(path).c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                  kFolderSharing, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return LastError();
  folder.adopt(handle);
  return FsError::None;
}

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

FsError FsError::FromSystem(int code) { return FromWin32(static_cast<DWORD>(code)); }

std::string DescribeSystemError(const std::error_code &code) {
  if (code.category() != std::system_category())
    return code.message(); // a portable code the engine chose itself
  char *text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code.value()), 0, reinterpret_cast<char *>(&text), 0, nullptr);
  std::string message =
      length > 0 ? std::string(text, length) : "error " + std::to_string(code.value());
  LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == '.' || message.back() == ' '))
    message.pop_back();
  return message;
}

FsError OpenFolder(const FolderPath &path, Folder &folder) {
  if (const FsError error = OpenFolderHandle(path, folder.handle); error != FsError::None)
    return error;
  return Describe(folder.handle, folder.info);
}

FsError OpenParentFolder(const FolderPath &path, Folder &folder) {
  const std::size_t separator = path.find_last_of("\\/");
  if (separator == FolderPath::npos)
    return OpenFolder(".", folder);
  // A drive's root keeps its separator: "C:\\".
  const bool root = separator > 0 && path[separator - 1] == ':';
  return OpenFolder(path.substr(0, root ? separator + 1 : separator), folder);
}

FsError OpenCurrentFolder(Folder &folder) { return OpenFolder(".", folder); }

FsError OpenEntry(const Folder &folder, const FolderPath &path, File &file, FileInfo &info,
                  OpenFor) {
  const std::wstring wide = ToWidePath(path);
  HANDLE handle = CreateFileW(wide.c_str(), GENERIC_READ, kFolderSharing, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT |
                                  FILE_FLAG_SEQUENTIAL_SCAN,
                              nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
      info.kind = FileKind::Folder;
    return FromWin32(error);
  }
  file.adopt(handle);
  const FsError error = Describe(file, info);
  if (error == FsError::None && info.kind == FileKind::Regular &&
      IsWineLink(folder.handle.handle(), handle, path))
    info.kind = FileKind::Link;
  return error;
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
  info.identity.volume = described.dwVolumeSerialNumber;
  info.identity.index = (std::uint64_t{described.nFileIndexHigh} << 32) | described.nFileIndexLow;
  info.names = described.nNumberOfLinks;
  return FsError::None;
}

namespace {

// Describes the entry at `path`, held open for that alone; a Unix link
// under Wine as a link where `folder` is open.
FsError DescribeHeld(HANDLE folder, const FolderPath &path, FileInfo &info) {
  File file;
  file.adopt(CreateFileW(ToWidePath(path).c_str(), FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                         nullptr));
  if (!file.isOpen())
    return LastError();
  const FsError error = Describe(file, info);
  if (error == FsError::None && info.kind == FileKind::Regular && folder &&
      IsWineLink(folder, file.handle(), path))
    info.kind = FileKind::Link;
  return error;
}

} // namespace

FsError DescribeByName(const FolderPath &path, FileInfo &info) {
  return DescribeHeld(nullptr, path, info);
}

FsError DescribeEntry(const Folder &folder, const FolderPath &path, FileInfo &info) {
  return DescribeHeld(folder.handle.handle(), path, info);
}

FsError CutTo(File &file, std::uint64_t size) {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  return SetFileInformationByHandle(file.handle(), FileEndOfFileInfo, &end, sizeof end)
             ? FsError::None
             : LastError();
}

// A write-protected volume is told by the volume, once a folder. Whether the
// folder's access list lets this user create and delete entries, Windows
// tells only by trying.
FsError CheckFolderChangeable(const Folder &folder) {
  DWORD flags = 0;
  if (GetVolumeInformationByHandleW(folder.handle.handle(), nullptr, 0, nullptr, nullptr, &flags,
                                    nullptr, 0) &&
      (flags & FILE_READ_ONLY_VOLUME) != 0)
    return Fail(FsError::AccessDenied, ERROR_WRITE_PROTECT);
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

// Windows has no general copy between open files in the kernel (block
// sharing is for ReFS alone); reading and writing serves everywhere.
FsError CopyRange(File &, std::uint64_t, File &, std::uint64_t) { return FsError::NotSupported; }

// Holes of sparse NTFS files are not looked for: their copies are written
// whole, zeros included.
FsError FindData(File &, std::uint64_t offset, std::uint64_t limit, DataRange &range) {
  range = {offset, limit};
  return FsError::None;
}

FsError LeaveHole(File &file, std::uint64_t size) {
  LARGE_INTEGER distance;
  distance.QuadPart = static_cast<LONGLONG>(size);
  return SetFilePointerEx(file.handle(), distance, nullptr, FILE_CURRENT) ? FsError::None
                                                                          : LastError();
}

FsError FlushToDisk(File &file) {
  return FlushFileBuffers(file.handle()) ? FsError::None : LastError();
}

FsError FlushVolume(File &) {
  // Flushing a whole volume needs administrator rights on Windows.
  return Fail(FsError::Other, ERROR_NOT_SUPPORTED);
}

bool CanFlushVolumes() { return false; }

bool IsSystemVolume(const Folder &) { return false; }

FsError Close(File &file) { return CloseHandle(file.release()) ? FsError::None : LastError(); }

FsError GetIdentity(const FolderPath &path, FileIdentity &identity, bool *inMemory) {
  if (inMemory)
    *inMemory = false; // a RAM disk's driver says nothing that tells it apart
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

// Handles are limited only by memory.
std::size_t OpenFilesAllowed() { return std::numeric_limits<std::size_t>::max(); }

} // namespace tailsnip::fs
