#include "engine/run/Pipeline.h"

#include "engine/run/BatchQueue.h"
#include "engine/run/Closer.h"
#include "engine/run/FolderChain.h"
#include "engine/run/RunFiles.h"
#include "engine/threads/Workers.h"
#include "engine/trim/Committer.h"
#include "engine/trim/TrimFile.h"

#include <algorithm>
#include <new>

namespace tailsnip {

namespace {

// How many copies may be in flight, of the `wanted`, within the files this
// process may keep open: each holds its entry, and until flushed its copy;
// the closing thread may hold as many entries again. Some files are kept
// for the rest: the run's folders, its journal, the standard streams.
std::size_t CopiesInFlight(std::size_t wanted) {
  constexpr std::size_t kKeptForTheRest = 64;
  const std::size_t allowed = fs::OpenFilesAllowed();
  const std::size_t spare = allowed > kKeptForTheRest ? allowed - kKeptForTheRest : 0;
  return std::min(wanted, spare / 3);
}

// How many entries are committed together: a third of those in flight, as
// two more batches may wait. A flush of a volume costs a commit of its
// journal however few entries it covers, so a long list's batches are a
// sixteenth of it, and a run makes a bounded number of flushes. A short
// list's stay at the shortest, so that its entries are told of, and a stop
// taken, a few at a time; so do all where each file is flushed on its own,
// as a longer batch would only hold its files longer.
std::size_t BatchSize(std::size_t inFlight, std::size_t listed) {
  constexpr std::size_t kShortestBatch = 85;
  const std::size_t wanted =
      fs::CanFlushVolumes() ? std::max(kShortestBatch, listed / 16) : kShortestBatch;
  return std::max<std::size_t>(std::min(inFlight / 3, wanted), 1);
}

// Trims the listed entries in order and tells of each, in order: reads a
// batch of entries and writes their copies, commits the batch, tells of its
// entries, and so on. With copies in flight, one thread reads and writes
// batches ahead while the calling one commits them: the two halves of the
// work overlap, and the order of the renames stays the list's. One entry at
// a time, the batches are of one, through "temp.txt".
class Trimmer {
public:
  Trimmer(const RunOptions &options, RunReport &report, const FolderIdentities &identities,
          std::size_t listed)
      : options_(options), report_(report), identities_(identities),
        mode_(!options.dryRun            ? TrimMode::Replace
              : options.previewLostLines ? TrimMode::Preview
                                         : TrimMode::DryRun),
        inFlight_(options.dryRun ? 1 : CopiesInFlight(options.copiesInFlight)),
        batched_(inFlight_ > 1), batch_(batched_ ? BatchSize(inFlight_, listed) : 1),
        severalBatches_(listed > batch_), closer_(severalBatches_) {
    // "temp.txt" is for a run that asks for one copy at a time: copies in
    // flight go beside their entries, and so do those of a run that asked
    // for more than the files it may open allow, as a copy in the current
    // folder could be read by users whom the entry's folders keep out. So do
    // all copies where the current folder cannot be opened.
    if (options.copiesInFlight == 1 && !batched_ &&
        fs::OpenCurrentFolder(currentFolder_) == fs::FsError::None)
      currentFolder_.changeable = fs::CheckFolderChangeable(currentFolder_);
  }

  // Works through `list`, the entries beneath `folder`, from its start until
  // its end or a stop.
  void run(const FolderPath &folder, const WorkList &list) {
    chain_.start(folder, identities_);
    if (!batched_ || !severalBatches_ || !runAhead(list))
      runInTurn(list);
    // Each names an entry already counted as shortened.
    for (Failure &failure : committer_.flushNames()) {
      report_.failures.push_back(std::move(failure));
      report_.shortened -= std::min<std::size_t>(report_.shortened, 1);
    }
    report_.stopped = stopped_;
    report_.copiesLeft = copiesLeft_;
  }

private:
  // Written copies wait in the page cache, not in this program's memory;
  // the bound keeps one flush from growing without end.
  static constexpr std::uint64_t kBytesInFlight = std::uint64_t{64} << 20;

  // Reads and commits each batch in turn, on this thread.
  void runInTurn(const WorkList &list) {
    std::vector<Slot> batch;
    for (std::size_t next = 0; read(list, next, batch);) {
      report_.handled += batch.size();
      commit(batch, &buffer_);
    }
  }

  // Reads batches ahead on a thread of its own while this one commits them.
  // False where no thread could be started, before anything was read.
  bool runAhead(const WorkList &list) {
    BatchQueue queue;
    bool outOfMemory = false;
    const auto readAhead = [&] {
      try {
        std::vector<Slot> batch;
        for (std::size_t next = 0; read(list, next, batch); batch.clear()) {
          // Another name of a file in flight would break its lease, as
          // another program's opening would; a file whose name a commit
          // removes would look changed by another program: such an entry
          // is committed before the next is opened.
          const bool committedFirst = commitsFirst(batch.back());
          if (!queue.push(std::move(batch)) || (committedFirst && !queue.waitUntilCommitted()))
            break;
        }
      } catch (const std::bad_alloc &) {
        outOfMemory = true;
      }
      queue.close();
    };
    Workers reader(1, 1);
    if (!reader.post(readAhead))
      return false;
    // The reader is waited for whatever happens here, and let go first.
    struct Release {
      BatchQueue &queue;
      Workers &reader;
      ~Release() {
        queue.abandon();
        reader.wait();
      }
    } release{queue, reader};
    for (std::vector<Slot> batch; queue.pop(batch);) {
      report_.handled += batch.size();
      commit(batch, nullptr);
      queue.noteCommitted();
    }
    if (outOfMemory)
      throw std::bad_alloc();
    return true;
  }

  static bool commitsFirst(const Slot &slot) {
    const std::unique_ptr<Replacement> &copy = slot.shortening.copy;
    return copy && (copy->hasOtherNames() || copy->changesAnotherFile());
  }

  // Reads entries from `next` on into `batch`, writing their copies, until
  // the batch is full, its copies hold a third of kBytesInFlight, it holds
  // an entry committed first, the list ends or a stop is asked for. Returns
  // whether the batch holds any entry.
  bool read(const WorkList &list, std::size_t &next, std::vector<Slot> &batch) {
    std::uint64_t bytes = 0;
    while (next < list.size() && batch.size() < batch_ && bytes < kBytesInFlight / 3) {
      // The copies written so far are still committed, not dropped.
      if (stopped_ || (options_.stopRequested && options_.stopRequested())) {
        stopped_ = true;
        break;
      }
      batch.push_back(prepare(next, list));
      ++next;
      const Shortening &last = batch.back().shortening;
      bytes += last.copy ? last.result.bytesWritten : 0;
      if (commitsFirst(batch.back()))
        break;
    }
    return !batch.empty();
  }

  // What a stopped run, or someone meanwhile, made of entry `index`: true
  // when it is to be started, otherwise `slot` says why not.
  bool startable(std::size_t index, Slot &slot) const {
    TrimResult &result = slot.shortening.result;
    const SinceListed since =
        options_.sinceListed ? options_.sinceListed(index, slot.entry) : SinceListed::Unchanged;
    switch (since) {
    case SinceListed::Unchanged:
      break;
    case SinceListed::Shortened:
    case SinceListed::Changed:
      // A backup the stopped run made in place of an earlier one is no file
      // it shortened: it is left alone as a backup.
      if (IsBackupName(slot.entry, options_.trim.backup))
        break;
      if (since == SinceListed::Changed) {
        result = {Outcome::Failed, Reason::ChangedDuringRun};
        return false;
      }
      slot.doneBefore = true;
      return false;
    case SinceListed::Removed:
      result = {Outcome::Failed, Reason::RemovedDuringRun};
      return false;
    case SinceListed::Replaced:
      result = {Outcome::Failed, Reason::ChangedDuringRun};
      return false;
    case SinceListed::Unreadable:
      result = {Outcome::Failed, Reason::CannotRead};
      return false;
    }
    if (!IsRunsOwnFile(slot.entry))
      return true;
    result = {Outcome::LeftUnchanged, Reason::RunsOwnFile};
    return false;
  }

  // Reads entry `index` and, for a file, writes its copy.
  Slot prepare(std::size_t index, const WorkList &list) {
    Slot slot;
    slot.entry = list[index];
    slot.index = index;
    const bool start = startable(index, slot);
    TrimResult &result = slot.shortening.result;
    const bool changedSince = !start && result.reason == Reason::ChangedDuringRun;
    if (!start && !slot.doneBefore && !changedSince)
      return slot;
    std::error_code unopenedError;
    const std::shared_ptr<const fs::Folder> folder = chain_.folderOf(slot.entry, unopenedError);
    // An entry counts as done before, or as changed since, only where its
    // name still leads through the folders listed: under another folder put
    // in place of one, the file found is not the one the stopped run listed.
    if (!folder) {
      slot.doneBefore = false;
      result = unopenedError
                   ? TrimResult{Outcome::Failed, Reason::CannotSearchFolder, 0, 0, unopenedError}
                   : TrimResult{Outcome::Failed, Reason::FolderChanged};
      return slot;
    }
    if (!start)
      return slot;
    fs::Folder opened;
    TrimPlace place{folder, &currentFolder_, slot.entry, &backupNumbers_, &copiesLeft_};
    place.listed = true;
    place.entry = index;
    place.listedAsFolder = identities_.count(slot.entry) != 0;
    place.onSystemVolume = onSystemVolume(*folder);
    if (options_.foundAsListed)
      place.foundAsListed = [this, index](const fs::FileInfo &found) {
        return options_.foundAsListed(index, found);
      };
    result = TrimEntry(place, buffer_, mode_, slot.shortening.copy, &opened, options_.trim,
                       options_.shortenInPlace);
    // A listed folder the system failed to open or describe (a failing
    // disk) is no changed one: its entries are told of with its reason.
    if (opened.handle.isOpen())
      chain_.enter(slot.entry, std::move(opened), identities_);
    else if (result.reason == Reason::IsFolder || (place.listedAsFolder && result.systemError))
      chain_.enterUnopened(slot.entry, result.systemError);
    return slot;
  }

  // Asked once a volume: a tree holds few.
  bool onSystemVolume(const fs::Folder &folder) {
    const std::uint64_t volume = folder.info.identity.volume;
    for (const auto &[known, system] : systemVolumes_)
      if (known == volume)
        return system;
    return systemVolumes_.emplace_back(volume, fs::IsSystemVolume(folder)).second;
  }

  // Puts the copies of `batch` in their entries' places, then tells of its
  // entries in list order. `rewriteBuffer`: as Committer::commit takes it.
  void commit(std::vector<Slot> &batch, TrimBuffer *rewriteBuffer) {
    std::vector<Shortening *> copies;
    for (Slot &slot : batch)
      copies.push_back(&slot.shortening);
    std::function<std::error_code(std::size_t)> changing;
    if (options_.beforeChanging)
      changing = [&](std::size_t i) { return options_.beforeChanging(batch[i].index); };
    std::vector<fs::File> replaced;
    // Each entry is told of before the next takes its place, as one at a time.
    committer_.commit(copies, rewriteBuffer, changing,
                      [&](std::size_t i) { tell(batch[i], replaced); });
    closer_.close(replaced);
    batch.clear();
  }

  // Counts and tells what became of the entry of `slot`; its replaced entry,
  // still open, joins `replaced` to be closed away from this thread.
  void tell(Slot &slot, std::vector<fs::File> &replaced) {
    if (slot.doneBefore) {
      ++report_.alreadyDone;
      return;
    }
    Shortening &done = slot.shortening;
    if (done.result.reason == Reason::CopyChangedLeft && options_.copyKept)
      options_.copyKept(slot.index);
    // Another name of the file still reaches it: nothing is freed.
    // Windows closed the entry before its rename.
    if (done.copy && done.result.outcome == Outcome::Shortened && !done.copy->hasOtherNames())
      if (fs::File entry = done.copy->takeEntry(); entry.isOpen())
        replaced.push_back(std::move(entry));
    done.copy.reset();
    Count(slot.entry, done.result, report_);
    if (options_.onEntry)
      options_.onEntry(slot.entry, done.result);
  }

  const RunOptions &options_;
  RunReport &report_;
  const FolderIdentities &identities_;
  const TrimMode mode_;
  const std::size_t inFlight_; // copies written and not yet committed, at most
  const bool batched_;
  const std::size_t batch_; // copies committed together; two more batches may wait
  // Only then does a thread of its own let any work overlap: a single
  // batch is all written before any of it is committed, and closed last.
  const bool severalBatches_;
  // Used by the thread that reads.
  TrimBuffer buffer_;
  fs::Folder currentFolder_;
  FolderChain chain_;
  BackupNumbers backupNumbers_;
  std::vector<std::pair<std::uint64_t, bool>> systemVolumes_; // volume, IsSystemVolume
  bool stopped_ = false;
  // Counted by either thread, as copies are let go of.
  std::atomic<std::size_t> copiesLeft_{0};
  // Used by the thread that commits.
  Committer committer_;
  Closer closer_;
};

} // namespace

void ShortenListed(const FolderPath &folder, const WorkList &list,
                   const FolderIdentities &identities, const RunOptions &options,
                   RunReport &report) {
  Trimmer trimmer(options, report, identities, list.size());
  trimmer.run(folder, list);
}

} // namespace tailsnip
