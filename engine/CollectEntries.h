// The folder walk: every file and subfolder beneath a folder, in walk order.
#ifndef TAILSNIP_ENGINE_COLLECTENTRIES_H
#define TAILSNIP_ENGINE_COLLECTENTRIES_H

#include "engine/FolderPath.h"
#include "engine/Outcome.h"

#include <vector>

namespace tailsnip {

// Appends to `list` the path of every entry beneath `dir`, depth-first in the
// file system's order, each subfolder's path just before its contents; "."
// and ".." are skipped. A link is listed but never entered, and no folder is
// entered twice. Folders that cannot be searched (and, on Windows, names the
// code page cannot hold) are appended to `failures`. Uses no stack in
// proportion to the depth. Returns false if memory ran out; `list` then holds
// what was found so far.
[[nodiscard]] bool CollectEntries(FolderPath dir, WorkList &list, std::vector<Failure> &failures);

} // namespace tailsnip

#endif
