#include "engine/run/Pipeline.h"

#include "engine/run/BatchQueue.h"
#include "engine/run/Closer.h"
#include "engine/run/FolderChain.h"
#include "engine/threads/Workers.h"
#include "engine/trim/TrimFile.h"

#include <algorithm>
#include <new>

namespace tailsnip {

namespace {

bool Contains(const std::vector<std::uint64_t> &values, std::uint64_t value) {
  return std::find(values.begin(), values.end(), value) != values.end();
}

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

// Trims the listed entries in order and tells of each, in order. With
// copies in flight, one thread reads entries and writes their copies ahead
// while the calling one flushes and commits them: the two halves of the work
// overlap, and the order of the renames stays the list's.
class Trimmer {
public:
  Trimmer(const RunOptions &options, RunReport &report, const FolderIdentities &identities)
      : options_(options), report_(report), identities_(identities),
        mode_(options.dryRun ? TrimMode::DryRun : TrimMode::Replace),
        inFlight_(options.dryRun ? 1 : CopiesInFlight(options.copiesInFlight)),
        batched_(inFlight_ > 1), batch_(batched_ ? std::max<std::size_t>(inFlight_ / 3, 1) : 1) {
    // "temp.txt" is for one copy at a time: copies in flight go beside their
    // entries, and so do all copies where the current folder cannot be opened.
    if (!batched_)
      fs::OpenCurrentFolder(currentFolder_);
  }

  // Works through `list`, the entries beneath `folder`, from its start until
  // its end or a stop.
  void run(const FolderPath &folder, const WorkList &list) {
    chain_.start(folder, identities_);
    if (!batched_ || !runAhead(list))
      runInTurn(list);
  }

private:
  // Written copies wait in the page cache, not in this program's memory;
  // the bound keeps one flush from growing without end.
  static constexpr std::uint64_t kBytesInFlight = std::uint64_t{64} << 20;

  bool stopRequested() const { return options_.stopRequested && options_.stopRequested(); }

  void runInTurn(const WorkList &list) {
    std::vector<Slot> batch;
    for (std::size_t i = 0; i < list.size(); ++i, ++report_.handled) {
      if (stopRequested()) {
        report_.stopped = true;
        break;
      }
      batch.push_back(prepare(i, list));
      commit(batch);
    }
  }

  // False where no thread could be started to read ahead, before anything was read.
  bool runAhead(const WorkList &list) {
    BatchQueue queue;
    bool stopped = false;
    bool outOfMemory = false;
    const auto readAhead = [&] {
      try {
        std::vector<Slot> batch;
        std::uint64_t bytes = 0;
        for (std::size_t i = 0; i < list.size(); ++i) {
          if (stopRequested()) {
            stopped = true;
            break;
          }
          batch.push_back(prepare(i, list));
          const Slot &last = batch.back();
          bytes += last.pending ? last.result.bytesWritten : 0;
          // Another name of a file in flight would break its lease, as
          // another program's opening would: such a file is committed
          // before the next entry is opened.
          const bool alone = last.pending && last.pending->hasOtherNames();
          if (alone || batch.size() >= batch_ || bytes >= kBytesInFlight / 3) {
            const bool pushed = queue.push(std::move(batch));
            batch.clear();
            bytes = 0;
            if (!pushed || (alone && !queue.waitUntilCommitted()))
              break;
          }
        }
        // Copies already written are finished, not abandoned: no new entry starts.
        if (!batch.empty())
          queue.push(std::move(batch));
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
      commit(batch);
      queue.noteCommitted();
    }
    report_.stopped = stopped;
    if (outOfMemory)
      throw std::bad_alloc();
    return true;
  }

  // Reads entry `index` and, for a file, writes its copy.
  Slot prepare(std::size_t index, const WorkList &list) {
    Slot slot;
    slot.entry = &list[index];
    if (options_.isDone && options_.isDone(index, list[index])) {
      slot.doneBefore = true;
      return slot;
    }
    int unopenedError = 0;
    const std::shared_ptr<const fs::Folder> folder = chain_.folderOf(*slot.entry, unopenedError);
    if (!folder) {
      slot.result = unopenedError != 0 ? TrimResult{Outcome::Failed, Reason::CannotSearchFolder, 0,
                                                    0, unopenedError}
                                       : TrimResult{Outcome::Failed, Reason::FolderChanged};
      return slot;
    }
    fs::Folder opened;
    slot.result = TrimEntry({folder, &currentFolder_, *slot.entry}, buffer_, mode_, &opened,
                            batched_ ? &slot.pending : nullptr);
    if (opened.handle.isOpen())
      chain_.enter(*slot.entry, std::move(opened), identities_);
    else if (slot.result.reason == Reason::IsFolder)
      chain_.enterUnopened(*slot.entry, fs::LastSystemError());
    return slot;
  }

  // Flushes and closes the copy of `slot`; a failure is told in its result,
  // with the system's text, on whichever thread it happened.
  static void FlushCopy(Slot &slot, bool volumeFlushed) {
    if (slot.pending->flush(volumeFlushed) != fs::FsError::None) {
      slot.result.outcome = Outcome::Failed;
      slot.result.reason = Reason::CannotWriteCopy;
      slot.result.systemError = fs::LastSystemError();
    }
  }

  // Flushes and closes the copies of `batch`: one flush for each volume
  // where the system has one, otherwise each copy on its own, several at
  // once. A copy that cannot be flushed is removed and its entry kept.
  void flush(std::vector<Slot> &batch) {
    std::vector<std::uint64_t> flushedVolumes;
    std::vector<std::uint64_t> unflushableVolumes;
    std::vector<Slot *> alone;
    for (Slot &slot : batch) {
      if (!slot.pending)
        continue;
      const std::uint64_t volume = slot.pending->volume();
      if (!Contains(flushedVolumes, volume) && !Contains(unflushableVolumes, volume))
        (fs::FlushVolume(slot.pending->copy()) == fs::FsError::None ? flushedVolumes
                                                                    : unflushableVolumes)
            .push_back(volume);
      if (Contains(flushedVolumes, volume))
        FlushCopy(slot, true);
      else
        alone.push_back(&slot);
    }
    flushThreads_.forEach(alone.size(), [&](std::size_t i) { FlushCopy(*alone[i], false); });
    for (Slot &slot : batch)
      if (slot.pending && slot.result.outcome == Outcome::Failed)
        slot.pending.reset(); // removes the copy
  }

  // Flushes the copies of `batch`, each volume once where the system can,
  // then puts them in their entries' places in list order, and tells.
  void commit(std::vector<Slot> &batch) {
    // Attributes first: a flush covers them too. Done here, on the thread
    // that waits for the disk, rather than on the one that reads ahead.
    for (Slot &slot : batch)
      if (slot.pending)
        if (const Reason reason = slot.pending->keepAttributes(); reason != Reason::None) {
          slot.result.outcome = Outcome::Failed;
          slot.result.reason = reason;
          slot.result.systemError = fs::LastSystemError();
          slot.pending.reset();
        }
    flush(batch);
    std::vector<fs::File> replaced;
    for (Slot &slot : batch) {
      if (slot.doneBefore) {
        ++report_.alreadyDone;
        continue;
      }
      if (slot.pending) {
        slot.result = slot.pending->commit(slot.result);
        // Another name of the file still reaches it: nothing is freed.
        // Windows closed the entry before its rename.
        if (slot.result.outcome == Outcome::Shortened && !slot.pending->hasOtherNames())
          if (fs::File entry = slot.pending->takeEntry(); entry.isOpen())
            replaced.push_back(std::move(entry));
        slot.pending.reset();
      }
      Count(*slot.entry, slot.result, report_);
      if (options_.onEntry)
        options_.onEntry(*slot.entry, slot.result);
    }
    closer_.close(replaced);
    batch.clear();
  }

  const RunOptions &options_;
  RunReport &report_;
  const FolderIdentities &identities_;
  const TrimMode mode_;
  const std::size_t inFlight_; // copies written and not yet committed, at most
  const bool batched_;
  const std::size_t batch_; // copies committed together; two more batches may wait
  TrimBuffer buffer_;
  fs::Folder currentFolder_;
  FolderChain chain_;
  Workers flushThreads_{7, 7}; // eight flushes in flight, measured best
  Closer closer_;
};

} // namespace

void ShortenListed(const FolderPath &folder, const WorkList &list,
                   const FolderIdentities &identities, const RunOptions &options,
                   RunReport &report) {
  Trimmer trimmer(options, report, identities);
  trimmer.run(folder, list);
}

} // namespace tailsnip
