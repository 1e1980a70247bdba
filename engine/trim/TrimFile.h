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
  Preview, // as DryRun, and tell which lines a file would lose (TrimResult::lost)
};

// Reads the entry at `place` and, for a file with lines, writes its copy
// without its last line, every line end written as CR LF (or, as `settings`
// ask, without its last lines, the rest as it is), and hands it over in
// `copy`, for a Committer to put in the entry's place. The copy is written to
// "temp.txt" in `place`'s current directory where one is open (or, where that
// name is taken, the directory cannot be changed or lies on another volume,
// beside the entry under a unique name), and beside the entry where none is,
// as for runs with several copies in flight. Entries without lines, folders,
// links and other non-files are left alone; a file this user may not replace
// (or whose folder's `changeable` says no), or one that another program holds
// open for writing, is kept and reported as failed. On any failure the entry
// is exactly as it was, no copy is left behind, and the reason is returned. A
// folder entry is moved into `folderOut`, opened and described, where one is
// given, so that the run can reach the folder's own entries through it. With
// `mayCutInPlace`, a file whose shortened form is its first bytes as they are
// (its line ends kept, or CR LF throughout already), which has one name and
// which the run holds alone, is instead to be cut to them in place by the
// commit: the same bytes, without a copy.
TrimResult TrimEntry(const TrimPlace &place, TrimBuffer &buffer, TrimMode mode,
                     std::unique_ptr<Replacement> &copy, fs::Folder *folderOut = nullptr,
                     const TrimSettings &settings = {}, bool mayCutInPlace = false);

// For tests and benchmarks of one file: replaces the file at `path`,
// outside a run, by its copy without its last line(s): TrimEntry, its
// folder opened by path, then the copy flushed to disk and renamed over the
// entry in one step, so the entry is never missing or partial; a copy whose
// owner or attributes could not be kept is dropped.
TrimResult TrimFile(FolderPath path, TrimBuffer &buffer, TrimMode mode = TrimMode::Replace,
                    const TrimSettings &settings = {});

} // namespace tailsnip

#endif
