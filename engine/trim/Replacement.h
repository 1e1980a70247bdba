// The last step of shortening a file: its copy, written, flushed and then
// put in the entry's place in one rename, after checks that the entry is
// still the file that was read and that nobody else has it open.
//
// At every moment the entry is either its old file or its whole new one. A
// copy that never takes its place is removed; none is left behind.
#ifndef TAILSNIP_ENGINE_TRIM_REPLACEMENT_H
#define TAILSNIP_ENGINE_TRIM_REPLACEMENT_H

#include "engine/FolderPath.h"
#include "engine/Outcome.h"
#include "engine/fs/FileSystem.h"
#include "engine/trim/CopyWriter.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace tailsnip {

// The name of the shortened copy, in the current directory.
inline constexpr const char kTemporaryName[] = "temp.txt";

// Where an entry is reached: the folder the run holds open for it, the
// current directory's folder (where "temp.txt" goes; unopened when copies
// are to go beside their entries), and the entry's path, whose last
// component is its name in `folder`.
struct TrimPlace {
  std::shared_ptr<const fs::Folder> folder;
  const fs::Folder *currentFolder;
  const FolderPath &path;
};

// An entry's shortened copy, written, waiting to take the entry's place.
// The entry stays open (and, where the platform allows, leased) meanwhile.
// A copy that never takes its place is removed when this is destroyed.
class Replacement {
public:
  Replacement(const TrimPlace &place, fs::File input, const fs::FileInfo &info);
  Replacement(const Replacement &) = delete;
  Replacement &operator=(const Replacement &) = delete;
  ~Replacement();

  // Whether the entry is one of several names of a file: opening another
  // of them would count as another program's opening.
  bool hasOtherNames() const { return info_.names > 1; }

  // The copy, open for writing until flush(), and the volume it lies on.
  fs::File &copy() { return copy_; }
  std::uint64_t volume() const { return copyFolder_->info.identity.volume; }

  // Gives the written copy the entry's owner, permissions and attributes.
  // Returns why it could not (then the copy is removed and the entry must
  // be kept), or Reason::None.
  Reason keepAttributes();

  // Flushes the copy to stable storage, unless `volumeFlushed` says a flush
  // of its whole volume since its last write has done so, and closes it.
  fs::FsError flush(bool volumeFlushed);

  // Puts the flushed copy in the entry's place, once the entry is checked to
  // be unchanged and unopened by any other program. `result` holds what was
  // read and written so far; on failure the copy is removed and the entry
  // kept as it was.
  TrimResult commit(TrimResult result);

  // The entry, as it was before a successful commit: still open on POSIX,
  // where its last close frees its space, which on a journalled disk costs
  // as much as the rest of a commit, and may be left to another thread.
  fs::File takeEntry() { return std::move(input_); }

  // Whether a commit failed only because the copy, made in the current
  // directory, lies on another volume (one volume mounted twice), and the
  // copy may be made again beside the entry.
  bool mayRetryBeside() const;

  // Creates the copy ("temp.txt" where the current folder takes it) and
  // writes the first `keep` bytes of the entry into it, shortened;
  // `buffer.input()` may already hold the first `buffered` of them. Adds to
  // `result`'s byte counts.
  TrimResult write(std::uint64_t keep, std::size_t buffered, TrimBuffer &buffer,
                   TrimResult &result);

  // Writes the copy again, beside the entry, after mayRetryBeside().
  TrimResult writeBeside(TrimBuffer &buffer, TrimResult &result);

private:
  fs::FsError create(bool currentFolderFirst);
  fs::FsError createBeside();
  TrimResult fill(std::size_t buffered, TrimBuffer &buffer, TrimResult &result);
  void removeCopy();

  std::shared_ptr<const fs::Folder> folder_;
  const fs::Folder *currentFolder_;
  FolderPath path_;
  fs::File input_;
  fs::FileInfo info_;
  const fs::Folder *copyFolder_ = nullptr;
  FolderPath copyPath_; // set only while a copy of ours exists under it
  fs::File copy_;
  std::uint64_t keep_ = 0; // the entry's bytes the copy holds, shortened
  bool crossedVolumes_ = false;
};

// Whether "temp.txt" may go to `current`: where it is open, and on the
// entry's volume, so that one rename puts the copy in place.
bool TakesTemporaryCopy(const fs::Folder &current, const fs::FileInfo &entry);

// Marks `result` failed for `reason`, keeping what was read and written, with
// what the system said of it (0: it said nothing).
inline TrimResult Fail(TrimResult &result, Reason reason, int systemError = fs::LastSystemError()) {
  result.outcome = Outcome::Failed;
  result.reason = reason;
  result.systemError = systemError;
  return result;
}

} // namespace tailsnip

#endif
