// The last steps of shortening entries whose copies are written, in one
// sequence for a batch: each copy gets its entry's attributes, all are
// flushed to stable storage, then each takes its entry's place, in the
// batch's order. Entries to be cut in place are cut before that flush, so
// that it covers them too. Shortening one entry at a time, as the dialog
// does, is the same sequence with batches of one.
#ifndef TAILSNIP_ENGINE_TRIM_COMMITTER_H
#define TAILSNIP_ENGINE_TRIM_COMMITTER_H

#include "engine/Outcome.h"
#include "engine/threads/Workers.h"
#include "engine/trim/CopyWriter.h"
#include "engine/trim/Replacement.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace tailsnip {

// An entry on its way from its reading to its outcome.
struct Shortening {
  TrimResult result;                 // what became of it so far
  std::unique_ptr<Replacement> copy; // its written copy, until it takes the entry's place
};

class Committer {
public:
  // Commits the copies of `batch`. A copy lone on its volume in the batch
  // is flushed on its own; where several share one, the volume is flushed
  // once, where the system can, and otherwise each copy on its own, several
  // at once. A copy that fails at any step is removed, its entry kept and
  // the reason told in its result. A copy in "temp.txt" refused across
  // volumes is written again beside its entry, through `rewriteBuffer`,
  // where one is given: the buffer of the thread that wrote it, this one.
  // `changing`, where given, is told of an item's index just before its
  // entry is cut or replaced; where it gives the system's reason for a
  // failure, the entry is kept (JournalNotWritten). `committed`, where
  // given, is told of each item's index once that item is done and flushed,
  // in the batch's order, before the next takes its place. A cut whose
  // flush fails is told as a failure: the entry is cut all the same.
  void commit(const std::vector<Shortening *> &batch, TrimBuffer *rewriteBuffer,
              const std::function<std::error_code(std::size_t index)> &changing = {},
              const std::function<void(std::size_t index)> &committed = {});

  // Flushes the folders whose entries took new files under their names
  // since a flush of their volume last covered them: a rename is written
  // to the disk later than it is made, and a run's journal, on another
  // volume, may be gone by then. Called once the last batch is committed;
  // returns the failures, each naming one entry of a folder not flushed.
  std::vector<Failure> flushNames();

private:
  void commitOne(Shortening &item, TrimBuffer *rewriteBuffer);
  void noteRenamed(const Replacement &copy);
  void keepAttributes(const std::vector<Shortening *> &batch);
  // Flushes the batch's copies and its entries cut in place.
  void flush(const std::vector<Shortening *> &batch);

  // Seven threads and the one calling forEach: eight flushes in flight,
  // measured best.
  Workers flushers_{7, 7};
  // The folders of entries renamed since their volume was last flushed,
  // each with the first such entry, to name it.
  std::vector<std::pair<std::shared_ptr<const fs::Folder>, FolderPath>> renamedIn_;
};

} // namespace tailsnip

#endif
