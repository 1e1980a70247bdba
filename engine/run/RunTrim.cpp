#include "engine/run/RunTrim.h"

#include "engine/walk/CollectEntries.h"
#include "engine/run/RunLock.h"
#include "engine/trim/TrimFile.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>
#include <system_error>
#include <thread>

namespace tailsnip {

namespace {

constexpr std::size_t kFailuresNamed = 10;

void Count(const FolderPath &path, const TrimResult &result, RunReport &report) {
  report.bytesRead += result.bytesRead;
  report.bytesWritten += result.bytesWritten;
  switch (result.outcome) {
  case Outcome::Shortened:
    ++report.shortened;
    break;
  case Outcome::LeftUnchanged:
    ++report.unchanged;
    if (result.reason != Reason::NoLines)
      ++report.notFiles;
    break;
  case Outcome::Failed:
    report.failures.push_back({path, result.reason, result.systemError});
    break;
  }
}

bool Contains(const std::vector<std::uint64_t> &values, std::uint64_t value) {
  return std::find(values.begin(), values.end(), value) != values.end();
}

bool IsWithin(std::string_view path, std::string_view folder) {
  return path.size() > folder.size() && path.substr(0, folder.size()) == folder &&
         path[folder.size()] == kPathSeparator;
}

// The folders from the run's folder down to the one whose entries are being
// trimmed, each held open and each the very folder the walk listed, so that
// a folder renamed or swapped for a link meanwhile leads nowhere.
class FolderChain {
public:
  // Holds the run's own folder, if it is still the one the walk listed.
  void start(const FolderPath &folder, const FolderIdentities &identities) {
    fs::Folder opened;
    if (fs::OpenFolder(folder, opened) == fs::FsError::None)
      enter(folder, std::move(opened), identities);
  }

  // Holds `folder`, an entry just opened, if it is the folder the walk
  // listed under `path`.
  void enter(const FolderPath &path, fs::Folder folder, const FolderIdentities &identities) {
    const auto listed = identities.find(path);
    if (listed == identities.end() || folder.info.identity != listed->second)
      return;
    held_.push_back({path, std::make_shared<fs::Folder>(std::move(folder))});
  }

  // Notes that the folder at `path` could not be opened, for the system's
  // reason `systemError` (too many open files, say): what lies beneath it
  // is told of with that reason.
  void enterUnopened(const FolderPath &path, int systemError) {
    held_.push_back({path, nullptr, systemError});
  }

  // The held folder that `entry` lies in; null when that folder is not the
  // one the walk listed, or lies in one that could not be opened (then
  // `unopenedError` says why). Entries come in walk order, so folders whose
  // entries are all done are let go on the way.
  std::shared_ptr<const fs::Folder> folderOf(const FolderPath &entry, int &unopenedError) {
    // The walk joins with a separator even after a root's own ("C:\\" "\\" name).
    const std::size_t separator = entry.find_last_of(kPathSeparator);
    if (separator == FolderPath::npos)
      return nullptr;
    const std::string_view parent = std::string_view(entry).substr(0, separator);
    while (!held_.empty() && held_.back().path != parent && !IsWithin(parent, held_.back().path))
      held_.pop_back();
    if (held_.empty())
      return nullptr;
    unopenedError = held_.back().folder ? 0 : held_.back().systemError;
    return held_.back().path == parent ? held_.back().folder : nullptr;
  }

private:
  struct Held {
    FolderPath path;
    std::shared_ptr<const fs::Folder> folder; // shared with copies still in flight
    int systemError = 0;                      // why `folder` could not be opened
  };
  std::vector<Held> held_;
};

// An entry on its way from being read to being told of: what became of it,
// or its copy waiting to take its place.
struct Slot {
  const FolderPath *entry = nullptr;
  bool doneBefore = false; // a stopped run's entry that it had handled
  TrimResult result;
  std::unique_ptr<Replacement> pending;
};

// Hands batches of slots from the thread that reads and writes copies to
// the one that commits them, in order: one batch waits while another is
// committed and a third is being made.
class BatchQueue {
public:
  // Waits for room; false once the taker has gone, and the batch is dropped.
  bool push(std::vector<Slot> batch) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !waiting_ || abandoned_; });
    if (abandoned_)
      return false;
    batch_ = std::move(batch);
    waiting_ = true;
    ++pushed_;
    changed_.notify_all();
    return true;
  }

  // Waits until every batch pushed has been committed; false once the taker
  // has gone.
  bool waitUntilCommitted() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return committed_ == pushed_ || abandoned_; });
    return !abandoned_;
  }

  // Tells that a batch taken has been committed.
  void noteCommitted() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++committed_;
    changed_.notify_all();
  }

  // Waits for a batch; false once the queue is closed and empty.
  bool pop(std::vector<Slot> &batch) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return waiting_ || closed_; });
    if (!waiting_)
      return false;
    batch = std::move(batch_);
    waiting_ = false;
    changed_.notify_all();
    return true;
  }

  void close() { set(closed_); }
  void abandon() { set(abandoned_); }

private:
  void set(bool &flag) {
    std::lock_guard<std::mutex> lock(mutex_);
    flag = true;
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Slot> batch_;
  std::size_t pushed_ = 0;
  std::size_t committed_ = 0;
  bool waiting_ = false;
  bool closed_ = false;
  bool abandoned_ = false;
};

// Threads that flush copies each on its own, several at once: where no
// flush of a whole volume is to be had, a disk still takes many flushes
// together faster than one after another. Started at the first need and
// kept until the run ends, since starting a thread costs milliseconds in
// Wine.
class FlushThreads {
public:
  FlushThreads() = default;
  FlushThreads(const FlushThreads &) = delete;
  FlushThreads &operator=(const FlushThreads &) = delete;
  ~FlushThreads() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    started_.notify_all();
    for (std::thread &helper : helpers_)
      helper.join();
  }

  // Calls `flush(i)` for every i below `count`, from this thread and the
  // helpers at once, and returns when every call has. Where no helper can
  // be started, this thread makes every call.
  void forEach(std::size_t count, const std::function<void(std::size_t)> &flush) {
    if (count == 0)
      return;
    if (count > 1 && helpers_.empty())
      start();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      task_ = &flush;
      count_ = count;
      next_ = 0;
      busy_ = helpers_.size();
      ++round_;
    }
    started_.notify_all();
    take(flush, count);
    std::unique_lock<std::mutex> lock(mutex_);
    finished_.wait(lock, [&] { return busy_ == 0; });
  }

private:
  static constexpr unsigned kHelpers = 7; // eight flushes in flight, measured best

  void start() {
    try {
      while (helpers_.size() < kHelpers)
        helpers_.emplace_back([this] { serve(); });
    } catch (const std::system_error &) {
      // The helpers started so far serve; without any, this thread does.
    }
  }

  void take(const std::function<void(std::size_t)> &flush, std::size_t count) {
    for (std::size_t i; (i = next_++) < count;)
      flush(i);
  }

  void serve() {
    std::uint64_t served = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      started_.wait(lock, [&] { return stopping_ || round_ != served; });
      if (stopping_)
        return;
      served = round_;
      const std::function<void(std::size_t)> &flush = *task_;
      const std::size_t count = count_;
      lock.unlock();
      take(flush, count);
      lock.lock();
      if (--busy_ == 0)
        finished_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable started_;
  std::condition_variable finished_;
  std::vector<std::thread> helpers_;
  const std::function<void(std::size_t)> *task_ = nullptr;
  std::size_t count_ = 0;
  std::atomic<std::size_t> next_{0};
  std::size_t busy_ = 0;
  std::uint64_t round_ = 0;
  bool stopping_ = false;
};

// Closes the entries whose names their copies took, on a thread of its
// own: such a close frees the entry's space, which on a journalled disk
// costs as much as the rest of a commit. Batches are handed over whole; at
// most `waiting` entries wait, so that open files stay few: beyond that, or
// where no thread can be started, the caller closes them itself.
class Closer {
public:
  explicit Closer(std::size_t waiting) : mostWaiting_(waiting) {}
  Closer(const Closer &) = delete;
  Closer &operator=(const Closer &) = delete;
  ~Closer() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable())
      thread_.join();
  }

  void close(std::vector<fs::File> &entries) {
    if (entries.empty() || (!thread_.joinable() && !start()))
      return entries.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    if (waiting_.size() + entries.size() > mostWaiting_)
      return entries.clear();
    std::move(entries.begin(), entries.end(), std::back_inserter(waiting_));
    entries.clear();
    changed_.notify_all();
  }

private:
  bool start() {
    try {
      thread_ = std::thread([this] { serve(); });
      return true;
    } catch (const std::system_error &) {
      return false;
    }
  }

  void serve() {
    std::vector<fs::File> closing;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return stopping_ || !waiting_.empty(); });
      if (waiting_.empty())
        return;
      closing.swap(waiting_);
      lock.unlock();
      closing.clear();
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  const std::size_t mostWaiting_;
  std::vector<fs::File> waiting_;
  bool stopping_ = false;
  std::thread thread_;
};

// How many copies may be in flight, of the `wanted`, within the files this
// process may keep open: each holds its entry, and until flushed its copy;
// two batches more of entries may wait to be closed. Some files are kept
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
        batched_(inFlight_ > 1), batch_(batched_ ? std::max<std::size_t>(inFlight_ / 3, 1) : 1),
        closer_(2 * batch_) {
    // "temp.txt" is for one copy at a time: copies in flight go beside their
    // entries, and so do all copies where the current folder cannot be opened.
    if (!batched_)
      fs::OpenCurrentFolder(currentFolder_);
  }

  // Works through `list`, the entries beneath `folder`, from its start until
  // its end or a stop.
  void run(const FolderPath &folder, const WorkList &list) {
    chain_.start(folder, identities_);
    if (batched_)
      runAhead(list);
    else
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

  void runAhead(const WorkList &list) {
    BatchQueue queue;
    bool stopped = false;
    bool outOfMemory = false;
    std::thread reader([&] {
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
    });
    // The reader is waited for whatever happens here, and let go first.
    struct Join {
      BatchQueue &queue;
      std::thread &reader;
      ~Join() {
        queue.abandon();
        reader.join();
      }
    } join{queue, reader};
    for (std::vector<Slot> batch; queue.pop(batch);) {
      report_.handled += batch.size();
      commit(batch);
      queue.noteCommitted();
    }
    report_.stopped = stopped;
    if (outOfMemory)
      throw std::bad_alloc();
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
  FlushThreads flushThreads_;
  Closer closer_;
};

} // namespace

std::string FormatBusy(const FolderPath &busy) {
  return "Another run is working in " + busy + " (or in a folder inside it); nothing was changed.";
}

std::string FormatNotice(const RunReport &report,
                         const std::function<std::string(const FolderPath &)> &showPath) {
  // Stopped during the walk, the list is not whole: its length says nothing.
  std::string text = !report.stopped      ? std::string(kFinished)
                     : report.handled > 0 ? "stopped after " + std::to_string(report.handled) +
                                                " of " + std::to_string(report.listed) + " entries."
                                          : std::string("stopped before any entry was changed.");
  if (report.outOfMemory)
    text += "\n\nThe list of files outgrew the memory; no file was changed.";
  const std::size_t failed = report.failures.size();
  if (failed == 0)
    return text;
  text += "\n\n" + std::to_string(failed) +
          (failed == 1 ? " entry could not be shortened:" : " entries could not be shortened:");
  for (std::size_t i = 0; i < failed && i < kFailuresNamed; ++i)
    text += "\n" + (showPath ? showPath(report.failures[i].path) : report.failures[i].path) + ": " +
            DescribeFailure(report.failures[i].reason, report.failures[i].systemError);
  if (failed > kFailuresNamed)
    text += "\n... and " + std::to_string(failed - kFailuresNamed) + " more.";
  return text;
}

RunReport RunTrim(FolderPath folder, const Notify &notify, const RunOptions &options) {
  RunReport report;
  if (folder.empty())
    return report;
  fs::ReadProcessIdentity();
  // Made before the run, so the notice needs no memory once memory is gone.
  std::string notice = "finished!\n\nMemory ran out; the run stopped before "
                       "every file was handled.";
  try {
    RunLock lock;
    if (!options.locked && !LockRun(folder, lock, report.busyFolder)) {
      notify(FormatBusy(report.busyFolder));
      return report;
    }
    WorkList walked;
    FolderIdentities walkedFolders;
    WalkOptions walk = options.walk;
    walk.stopRequested = options.stopRequested;
    if (!options.plan && !CollectEntries(folder, walked, report.failures, walk, &walkedFolders)) {
      report.outOfMemory = true;
    } else {
      const WorkList &list = options.plan ? *options.plan : walked;
      report.listed = list.size();
      if (options.onListed)
        options.onListed(list.size());
      // A stop asked for during the walk needs no record of a plan.
      report.stopped = options.stopRequested && options.stopRequested();
      if (!report.stopped && options.beforeChanges && !options.beforeChanges(list))
        return report;
      if (!report.stopped) {
        Trimmer trimmer(options, report, options.plan ? *options.planFolders : walkedFolders);
        trimmer.run(folder, list);
      }
    }
    notice = FormatNotice(report, options.showPath);
  } catch (const std::bad_alloc &) {
    report.outOfMemory = true;
  }
  notify(notice);
  return report;
}

} // namespace tailsnip
