// Shortening one entry by its last line, safely.
#ifndef TAILSNIP_ENGINE_TRIMFILE_H
#define TAILSNIP_ENGINE_TRIMFILE_H

#include "engine/FolderPath.h"
#include "engine/Outcome.h"
#include "engine/fs/FileSystem.h"
#include "engine/trim/CopyWriter.h"
#include "engine/trim/Replacement.h"

#include <memory>

namespace tailsnip {

enum class TrimMode {
  Replace, // shorten the entry
  DryRun,  // read it and tell what would become of it, changing nothing
};

// Replaces the file at `path` by a copy without its last line, every line
// end written as CR LF; or, as `settings` ask, without its last lines, the
// rest as it is. The copy is written to "temp.txt" in the current
// directory (or, where that name is taken, the directory cannot be written
// or lies on another volume, beside the entry under a unique name), flushed
// to disk and renamed over the entry in one step, so the entry is never
// missing or partial. Entries without lines, folders, links and other
// non-files are left alone, and so is a file this user may not replace, one
// whose owner or attributes a copy could not keep, and one that another
// program holds open for writing. On any failure the entry is exactly as it
// was, no copy is left behind, and the reason is returned.
// A folder entry is moved into `folderOut`, opened and described, where one
// is given, so that the run can reach the folder's own entries through it.
// Where `pending` is given, a file whose copy gets written is not replaced
// yet: its unflushed copy is handed over in `*pending` for the caller to
// flush and commit, together with others.
TrimResult TrimEntry(const TrimPlace &place, TrimBuffer &buffer, TrimMode mode,
                     fs::Folder *folderOut = nullptr,
                     std::unique_ptr<Replacement> *pending = nullptr,
                     const TrimSettings &settings = {});

// TrimEntry for a single file outside a run: its folder is opened by path.
TrimResult TrimFile(FolderPath path, TrimBuffer &buffer, TrimMode mode = TrimMode::Replace,
                    const TrimSettings &settings = {});

} // namespace tailsnip

#endif
