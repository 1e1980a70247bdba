// Shortening one entry by its last line, safely.
#ifndef TAILSNIP_ENGINE_TRIMFILE_H
#define TAILSNIP_ENGINE_TRIMFILE_H

#include "engine/FileSystem.h"
#include "engine/FolderPath.h"
#include "engine/Outcome.h"

#include <cstddef>
#include <memory>

namespace tailsnip {

// The name of the shortened copy, in the current directory.
inline constexpr const char kTemporaryName[] = "temp.txt";

// Memory for reading and writing one file at a time, reused from file to
// file so that a run allocates it once whatever the files' sizes.
class TrimBuffer {
public:
  static constexpr std::size_t kDefaultChunk = std::size_t{1} << 20;
  explicit TrimBuffer(std::size_t chunk = kDefaultChunk);

  std::size_t chunk() const { return chunk_; }
  char *input() { return memory_.get(); }
  char *output() { return memory_.get() + chunk_; } // holds 2 * chunk bytes

private:
  std::size_t chunk_;
  std::unique_ptr<char[]> memory_;
};

enum class TrimMode {
  Replace, // shorten the entry
  DryRun,  // read it and tell what would become of it, changing nothing
};

// Where an entry is reached: the folder the run holds open for it, the
// current directory's folder (where "temp.txt" goes; may be unopened), and
// the entry's path, whose last component is its name in `folder`.
struct TrimPlace {
  const fs::Folder *folder;
  const fs::Folder *currentFolder;
  const FolderPath &path;
};

// Replaces the file at `path` by a copy without its last line, every line
// end written as CR LF. The copy is written to "temp.txt" in the current
// directory (or, where that name is taken, beside the entry under a unique
// name), flushed to disk and renamed over the entry in one step, so the
// entry is never missing or partial. Entries without lines, folders, links
// and other non-files are left alone, and so is a file this user may not
// replace, one whose owner or attributes a copy could not keep, and one that
// another program holds open for writing. On any failure the entry is exactly
// as it was, no copy is left behind, and the reason is returned.
// A folder entry is moved into `folderOut`, opened and described, where one
// is given, so that the run can reach the folder's own entries through it.
TrimResult TrimEntry(const TrimPlace &place, TrimBuffer &buffer, TrimMode mode,
                     fs::Folder *folderOut = nullptr);

// TrimEntry for a single file outside a run: its folder is opened by path.
TrimResult TrimFile(FolderPath path, TrimBuffer &buffer, TrimMode mode = TrimMode::Replace);

} // namespace tailsnip

#endif
