// The last step of shortening a file: its copy, written, flushed and then
// put in the entry's place in one step, only while the entry's name still
// leads to the file that was read and nobody else has that file open. Where
// the shortened file is the entry's first bytes as they are, the entry has
// one name and the run holds it alone, the step may instead cut the entry
// to those bytes in place, and the flush follows the cut.
//
// At every moment the entry is either its old file or its whole new one. A
// copy that never takes its place is removed; where the system refuses its
// removal, it is counted, for the run's journal to stay and name it.
#ifndef TAILSNIP_ENGINE_TRIM_REPLACEMENT_H
#define TAILSNIP_ENGINE_TRIM_REPLACEMENT_H

#include "engine/FolderPath.h"
#include "engine/Outcome.h"
#include "engine/fs/FileSystem.h"
#include "engine/trim/Backup.h"
#include "engine/trim/CopyWriter.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace tailsnip {

// The name of the shortened copy, in the current directory.
inline constexpr const char kTemporaryName[] = "temp.txt";

// Where an entry is reached: the folder the run holds open for it, the
// current directory's folder (where "temp.txt" goes; unopened when copies
// are to go beside their entries), each with its `changeable` asked, and
// the entry's path, whose last component is its name in `folder`; for a
// run that keeps backups, the numbers of the backups found in the folder,
// read once for its entries; and where given, the count of the run's copies
// that could not be removed, which then stay for its journal to name.
struct TrimPlace {
  std::shared_ptr<const fs::Folder> folder;
  const fs::Folder *currentFolder;
  const FolderPath &path;
  BackupNumbers *backupNumbers = nullptr;
  std::atomic<std::size_t> *copiesLeft = nullptr;
  // Whether the file found is the one listed under the name, as it was
  // then; every file is, where nothing was listed.
  std::function<bool(const fs::FileInfo &found)> foundAsListed = {};
  // Whether a folder was listed under the name: it is only ever entered,
  // and whatever else is found there now was put in its place meanwhile.
  bool listedAsFolder = false;
  // Whether a run listed the entry: one no longer there was removed since.
  bool listed = false;
  // Whether `folder` is on a file system of the kernel's own: its entries
  // are only ever entered, as folders, never opened as files.
  bool onSystemVolume = false;
  // Its place in the run's list, which names its copy.
  std::size_t entry = 0;
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
  // Whether the commit changes another file: one this entry's backup
  // replaces a name of.
  bool changesAnotherFile() const { return backup_.removesANameOfAnother(); }

  // The folder the entry lies in, held open, and the entry's path.
  const std::shared_ptr<const fs::Folder> &folder() const { return folder_; }
  const FolderPath &path() const { return path_; }
  // The copy, open for writing until flush(), and the volume it lies on.
  fs::File &copy() { return copy_; }
  std::uint64_t volume() const {
    return cut_ ? info_.identity.volume : copyFolder_->info.identity.volume;
  }

  // Whether the commit cuts the entry in place: then it is flushed after
  // the commit rather than before.
  bool cutsInPlace() const { return cut_; }
  // What a flush makes durable: the copy, or the entry cut in place.
  fs::File &written() { return cut_ ? input_ : copy_; }

  // Gives the written copy the entry's owner, permissions and attributes,
  // and then, if it has none yet, its name. Returns `result`, marked failed
  // where that could not be done: then the copy is removed and the entry
  // must be kept.
  TrimResult keepAttributes(TrimResult result);

  // Flushes the copy, and the name of the entry's backup, to stable storage,
  // unless `volumeFlushed` says a flush of its whole volume since its last
  // write has done so, and closes it; an entry cut in place is flushed the
  // same way, and stays open.
  fs::FsError flush(bool volumeFlushed);

  // Puts the flushed copy in the entry's place, once the entry is checked to
  // be unchanged and unopened by any other program, provided its name still
  // leads to it; or cuts the entry, after the same checks and provided it
  // still has one name. `result` holds what was read and written so far; on
  // failure the copy is removed and the entry kept as it was.
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
  // writes the first `keep` bytes of the entry into it, with CR LF line ends
  // unless `keepLineEnds`; `buffer.input()` may already hold the first
  // `buffered` of them. Adds to `result`'s byte counts.
  TrimResult write(std::uint64_t keep, std::size_t buffered, bool keepLineEnds, TrimBuffer &buffer,
                   TrimResult &result);

  // Has the commit cut the entry to its first `keep` bytes in place rather
  // than write a copy: for an entry with one name, claimed exclusively after
  // fs::CheckOpenedForCutting, whose first `keep` bytes as they are make the
  // shortened file.
  TrimResult cutInPlace(std::uint64_t keep, TrimResult &result);

  // Keeps the entry under a backup's name, as `settings` ask, once its copy
  // is written; the backup is removed again should the entry be kept.
  // Returns `result`, marked failed where no backup could be made: then the
  // copy is removed and the entry must be kept.
  TrimResult keepOriginal(const BackupSettings &settings, BackupNumbers &numbers,
                          TrimBuffer &buffer, TrimResult result);

  // Writes the copy again, beside the entry, after mayRetryBeside().
  TrimResult writeBeside(TrimBuffer &buffer, TrimResult &result);

private:
  fs::FsError create(bool currentFolderFirst);
  template <typename Take> fs::FsError takeName(Take take);
  TrimResult fill(std::size_t buffered, TrimBuffer &buffer, TrimResult &result);
  fs::FsError removeCopy();
  TrimResult cut(TrimResult result);

  std::shared_ptr<const fs::Folder> folder_;
  const fs::Folder *currentFolder_;
  FolderPath path_;
  fs::File input_;
  fs::FileInfo info_;
  std::atomic<std::size_t> *copiesLeft_;
  std::size_t entry_; // the entry's place in the run's list
  const fs::Folder *copyFolder_ = nullptr;
  FolderPath copyPath_; // set only while a file of ours exists under it
  fs::File copy_;
  fs::KeptAttributes kept_;     // once the copy has its entry's attributes
  bool temporaryFirst_ = false; // the copy is to be "temp.txt" where that is free
  std::uint64_t keep_ = 0;      // the entry's bytes the copy holds, shortened
  bool keepLineEnds_ = false;   // ... as they are, rather than with CR LF line ends
  bool crossedVolumes_ = false;
  bool cut_ = false; // the commit cuts the entry in place
  Backup backup_;
};

} // namespace tailsnip

#endif
