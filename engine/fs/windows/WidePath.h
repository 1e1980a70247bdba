// The engine keeps paths narrow, as the dialog delivers them; the narrow file
// functions of Windows stop at 260 characters. Every file-system call of the
// Windows engine goes through ToWidePath, which has no such limit, and
// every absolute name it keeps is made by ToFullPath.
#ifndef TAILSNIP_ENGINE_WINDOWS_WIDEPATH_H
#define TAILSNIP_ENGINE_WINDOWS_WIDEPATH_H

#include "engine/FolderPath.h"

#include <string>

namespace tailsnip {

// Returns `path`, narrow in the process's ANSI code page (UTF-8 under the
// manifest), as a wide absolute path with the \\?\ prefix, which the wide
// file functions take at any length: made absolute against the current
// directory, "." and ".." resolved, '/' made '\' and doubled separators
// single. Every name is kept as it is, unlike the narrow functions, which
// would read COM1, NUL or con.txt as a device and drop trailing dots and
// spaces: the names a folder lists lead to those very entries. A device
// path (\\.\) is only made absolute. Returns an empty string, which no
// file function accepts, when `path` cannot be made absolute.
std::wstring ToWidePath(const FolderPath &path);

// Returns `path` made absolute against the current directory and
// normalized, as ToWidePath does, but narrow and without the prefix, at any
// length: for naming a folder rather than opening it. Returns `path` itself
// when it cannot be made absolute.
FolderPath ToFullPath(const FolderPath &path);

} // namespace tailsnip

#endif
