// Who may replace a file, and keeping other programs from it meanwhile: a
// handle that may write it and shares it for reading only.
#include "engine/fs/windows/Win32Errors.h"

#include <windows.h>

namespace tailsnip::fs {

FsError ClaimForReplacement(File &file, const FileInfo &) {
  // Reopened for writing and shared for reading only: the system checks the
  // user's right to write, refuses while another program has the file open
  // for writing, and keeps any from opening it so until this handle closes.
  HANDLE handle = ReOpenFile(file.handle(), GENERIC_READ | FILE_WRITE_DATA | READ_CONTROL,
                             FILE_SHARE_READ, FILE_FLAG_SEQUENTIAL_SCAN);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
        error == ERROR_CALL_NOT_IMPLEMENTED)
      return FsError::None; // no reopening here: size and time are compared instead
    return FromWin32(error);
  }
  CloseHandle(file.release());
  file.adopt(handle);
  file.setExclusive(true);
  return FsError::None;
}

// Windows tells whether a copy can have the file's owner only as the copy
// is given it (KeepAttributes).
FsError CheckOwnerCanBeKept(const FileInfo &) { return FsError::None; }

FsError CheckAttributesCanBeKept(const Folder &, File &) { return FsError::None; }

// The claim reopens the file with the right to write it, shared for reading
// only: the handle a cut needs.
FsError CheckOpenedForCutting(File &, const FileInfo &) { return FsError::None; }

FsError CheckCuttable(File &, const FileInfo &) { return FsError::None; }

bool StillExclusive(const File &) { return true; }

CutWindow::CutWindow(const File &file) : file_(file) {}

CutWindow::~CutWindow() = default;

void ReleaseForReplacement(File &file) { Close(file); }

FsError CheckChangeable(File &) { return FsError::None; }

std::uint32_t CurrentProcessId() { return GetCurrentProcessId(); }

std::uint32_t CurrentUser() { return 0; }

void ReadProcessIdentity() {}

} // namespace tailsnip::fs
