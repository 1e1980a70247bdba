// Narrow engine paths as the wide file functions take them.
#ifndef TAILSNIP_ENGINE_WINDOWS_WIDEPATH_H
#define TAILSNIP_ENGINE_WINDOWS_WIDEPATH_H

#include "engine/FolderPath.h"

#include <string>

namespace tailsnip::fs {

// `path` (in the process's code page) in UTF-16.
std::wstring ToWidePath(const FolderPath &path);

} // namespace tailsnip::fs

#endif
