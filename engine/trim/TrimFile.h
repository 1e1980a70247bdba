// Shortening one entry by its last line, safely.
#ifndef TAILSNIP_ENGINE_TRIMFILE_H
#define TAILSNIP_ENGINE_TRIMFILE_H

#include "engine/fs/FileSystem.h"
#include "engine/FolderPath.h"
#include "engine/Outcome.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace tailsnip {

// The name of the shortened copy, in the current directory.
inline constexpr const char kTemporaryName[] = "temp.txt";

class WriteBehind;

// Memory for reading and writing one file at a time, reused from file to
// file so that a run allocates it once whatever the files' sizes. It comes
// in two halves: while a large file's copy is written from one, the next
// chunk is read into the other.
class TrimBuffer {
public:
  static constexpr std::size_t kDefaultChunk = std::size_t{1} << 20;
  explicit TrimBuffer(std::size_t chunk = kDefaultChunk);
  ~TrimBuffer();
  TrimBuffer(const TrimBuffer &) = delete;
  TrimBuffer &operator=(const TrimBuffer &) = delete;

  std::size_t chunk() const { return chunk_; }
  char *input(int half = 0) { return memory_.get() + half * 3 * chunk_; }
  char *output(int half = 0) { return input(half) + chunk_; } // holds 2 * chunk bytes
  // The thread that writes a large file's copy behind its reading.
  WriteBehind &writeBehind() { return *writeBehind_; }

private:
  std::size_t chunk_;
  std::unique_ptr<char[]> memory_;
  std::unique_ptr<WriteBehind> writeBehind_;
};

enum class TrimMode {
  Replace, // shorten the entry
  DryRun,  // read it and tell what would become of it, changing nothing
};

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

  // Creates the copy ("temp.txt" first where `currentFolderFirst` and the
  // current folder allows) and writes the first `keep` bytes of the entry
  // into it, shortened; `buffer.input()` may already hold the first
  // `buffered` of them. Adds to `result`'s byte counts.
  TrimResult write(std::uint64_t keep, std::size_t buffered, TrimBuffer &buffer, TrimResult &result,
                   bool currentFolderFirst);

private:
  fs::FsError create(bool currentFolderFirst);
  fs::FsError createBeside();
  void removeCopy();

  std::shared_ptr<const fs::Folder> folder_;
  const fs::Folder *currentFolder_;
  FolderPath path_;
  fs::File input_;
  fs::FileInfo info_;
  const fs::Folder *copyFolder_ = nullptr;
  FolderPath copyPath_; // set only while a copy of ours exists under it
  fs::File copy_;
  bool crossedVolumes_ = false;
};

// Replaces the file at `path` by a copy without its last line, every line
// end written as CR LF. The copy is written to "temp.txt" in the current
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
                     std::unique_ptr<Replacement> *pending = nullptr);

// TrimEntry for a single file outside a run: its folder is opened by path.
TrimResult TrimFile(FolderPath path, TrimBuffer &buffer, TrimMode mode = TrimMode::Replace);

} // namespace tailsnip

#endif
