// What the Windows halves of the file operations share: failures made from
// Win32 error codes, each carrying the code.
#ifndef TAILSNIP_ENGINE_FS_WINDOWS_WIN32ERRORS_H
#define TAILSNIP_ENGINE_FS_WINDOWS_WIN32ERRORS_H

#include "engine/fs/FileSystem.h"

#include <windows.h>

namespace tailsnip::fs {

// The failure the Win32 error `error` means.
FsError FromWin32(DWORD error);

// The failure the call that just failed reported through GetLastError.
FsError LastError();

// A failure of `kind` whatever the Win32 error `code` would otherwise mean.
FsError Fail(FsError::Kind kind, DWORD code);

} // namespace tailsnip::fs

#endif
