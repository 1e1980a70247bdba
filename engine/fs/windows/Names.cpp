// Changes to the names in held folders: a copy put in its entry's place in
// one step, further names (links), names moved aside and removed.
#include "engine/fs/windows/Win32Errors.h"

#include "engine/fs/windows/WidePath.h"
#include "engine/fs/windows/WineLinks.h"

#include <windows.h>

namespace tailsnip::fs {

FsError MoveOver(const File &, const FolderPath &from, const File &, const FolderPath &to) {
  // Without MOVEFILE_COPY_ALLOWED a move between volumes fails instead of
  // becoming a copy and delete, which would not be one step.
  return MoveFileExW(ToWidePath(from).c_str(), ToWidePath(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
             ? FsError::None
             : LastError();
}

// Until just before, the entry was held open without sharing its deletion:
// no Windows program could rename over it. Under Wine a Linux program can,
// sharing or not, so the name is asked once more, which leaves an instant
// between the two.
FsError MoveOverSame(const File &fromFolder, const FolderPath &from, const File &toFolder,
                     const FolderPath &to, const File &, const FileInfo &described,
                     const KeptAttributes &, bool &removeFrom) {
  removeFrom = true;
  FileInfo named;
  if (const FsError error = DescribeByName(to, named); error != FsError::None)
    return error;
  if (named.kind != FileKind::Regular || named.identity != described.identity)
    return Fail(FsError::Changed, ERROR_SUCCESS);
  const FsError error = MoveOver(fromFolder, from, toFolder, to);
  removeFrom = error != FsError::None;
  return error;
}

// The entry is held open without sharing its deletion: nothing can have
// taken its name meanwhile, so the link made by name is of the held file.
FsError LinkFile(const File &, const FolderPath &path, const File &, const FolderPath &name) {
  if (CreateHardLinkW(ToWidePath(name).c_str(), ToWidePath(path).c_str(), nullptr))
    return FsError::None;
  const DWORD error = GetLastError();
  // FAT and exFAT keep no links; NTFS keeps at most 1024 of a file.
  if (error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
      error == ERROR_TOO_MANY_LINKS)
    return Fail(FsError::NotSupported, error);
  return FromWin32(error);
}

FsError MoveAsideFile(const File &folder, const FolderPath &from, const FolderPath &to) {
  const DWORD attributes = GetFileAttributesW(ToWidePath(from).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return LastError();
  if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
      IsWineLinkByName(folder.handle(), from))
    return Fail(FsError::Changed, ERROR_SUCCESS);
  // Without MOVEFILE_REPLACE_EXISTING, a taken `to` is refused.
  return MoveFileExW(ToWidePath(from).c_str(), ToWidePath(to).c_str(), MOVEFILE_WRITE_THROUGH)
             ? FsError::None
             : LastError();
}

// The replacement that follows a link is written through (MoveOver), and
// NTFS logs its changes of names in order: the link is on disk with it.
FsError FlushFolder(const File &) { return FsError::None; }

FsError Remove(const File &, const FolderPath &path) {
  return DeleteFileW(ToWidePath(path).c_str()) ? FsError::None : LastError();
}

} // namespace tailsnip::fs
