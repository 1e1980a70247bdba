// Wine shows a Unix link to a file as the file it leads to: no reparse
// point, the target's attributes and identity, and a rename or removal by
// the link's name moves or removes that file, wherever it lies. Only where
// the handle says it really is tells such a link from the file it names.
#ifndef TAILSNIP_ENGINE_FS_WINDOWS_WINELINKS_H
#define TAILSNIP_ENGINE_FS_WINDOWS_WINELINKS_H

#include "engine/FolderPath.h"

#include <windows.h>

namespace tailsnip::fs {

// Whether the file open as `entry`, reached by the name `path` in the
// folder open as `folder`, was reached through a Unix link under Wine: its
// final path is not the folder's and then that name (nor the long name a
// short one stands for). Always false on Windows itself, whose links are
// reparse points, and where either final path cannot be had.
bool IsWineLink(HANDLE folder, HANDLE entry, const FolderPath &path);

// IsWineLink for the entry at `path` in `folder`, opened here without
// following anything Windows would not follow.
bool IsWineLinkByName(HANDLE folder, const FolderPath &path);

} // namespace tailsnip::fs

#endif
