// What a run did, and the notice that tells the user.
#ifndef TAILSNIP_ENGINE_RUN_RUNREPORT_H
#define TAILSNIP_ENGINE_RUN_RUNREPORT_H

#include "engine/FolderPath.h"
#include "engine/Outcome.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tailsnip {

// The text shown when every entry was handled.
inline constexpr const char kFinished[] = "finished!";

struct RunReport {
  std::size_t listed = 0;        // entries the walk found
  std::size_t shortened = 0;     // files replaced by their shortened copy, or cut in place
  std::size_t unchanged = 0;     // entries with nothing to shorten
  std::size_t notFiles = 0;      // of those, all but files without lines: folders, links,
                                 // pipes, devices, backups, the run's own files
  std::vector<Failure> failures; // entries and folders kept as they were
  std::uint64_t bytesRead = 0;
  std::uint64_t bytesWritten = 0;
  // Memory ran out: while listing, and nothing was changed, or while
  // shortening, and the entries from `handled` on were not started.
  bool outOfMemory = false;
  bool stopped = false;        // asked to stop: entries from `handled` on were not started
  std::size_t handled = 0;     // entries handled, in list order
  std::size_t alreadyDone = 0; // of those, entries a stopped run had shortened
  std::size_t copiesLeft = 0;  // copies the system would not let the run remove
  FolderPath busyFolder;       // another run works there: nothing was changed

  // Whether an entry was changed but its change is not known to be on disk:
  // after a crash only the journal tells whether it was, and spares it a
  // second shortening.
  bool changedNotKnownOnDisk() const;
};

// Returns "finished!" when nothing failed; otherwise "finished!", a blank
// line, the number of failures and up to ten paths, shown by `showPath`,
// with their reasons. A stopped run says "stopped after N of M entries."
// (or, before its first entry, "stopped before any entry was changed.") in
// place of "finished!".
std::string FormatNotice(const RunReport &report,
                         const std::function<std::string(const FolderPath &)> &showPath = {});

// Says that another run is working in `busy` and this one changed nothing.
std::string FormatBusy(const FolderPath &busy);

// Adds what became of the entry at `path` to `report`.
void Count(const FolderPath &path, const TrimResult &result, RunReport &report);

} // namespace tailsnip

#endif
