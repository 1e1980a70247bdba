// The program's one operation: shorten every file beneath a folder.
#ifndef TAILSNIP_ENGINE_RUNTRIM_H
#define TAILSNIP_ENGINE_RUNTRIM_H

#include "engine/FolderPath.h"
#include "engine/Outcome.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tailsnip {

// Shows a text to the user and returns once it has been dismissed.
using Notify = std::function<void(const std::string &text)>;

// The text shown when every entry was handled.
inline constexpr const char kFinished[] = "finished!";

struct RunReport {
  std::size_t listed = 0;        // entries the walk found
  std::size_t shortened = 0;     // files replaced by their shortened copy
  std::size_t unchanged = 0;     // entries with nothing to shorten
  std::vector<Failure> failures; // entries and folders kept as they were
  std::uint64_t bytesRead = 0;
  std::uint64_t bytesWritten = 0;
  bool outOfMemory = false; // the list could not grow: nothing was changed
  FolderPath busyFolder;    // another run works there: nothing was changed
};

// What a caller may ask of a run beyond the plain one.
struct RunOptions {
  // Walk and read as a run would, but change nothing and write nothing.
  bool dryRun = false;
  // How many copies may be written before any of them takes its entry's
  // place. With 1, each entry is shortened through "temp.txt" in the current
  // directory, flushed and replaced before the next is read. With more, the
  // copies go beside their entries, are flushed together (one flush of each
  // volume where the system has it) and then renamed over their entries in
  // list order, each after its checks, as a single one would be.
  std::size_t copiesInFlight = 1;
  // Called once the whole list is built, with its length.
  std::function<void(std::size_t listed)> onListed;
  // Called after each entry with what became of it (or would, in a dry run).
  std::function<void(const FolderPath &path, const TrimResult &result)> onEntry;
};

// Returns "finished!" when nothing failed; otherwise "finished!", a blank
// line, the number of failures and up to ten paths with their reasons.
std::string FormatNotice(const RunReport &report);

// Says that another run is working in `busy` and this one changed nothing.
std::string FormatBusy(const FolderPath &busy);

// Lists every entry beneath `folder`, shortens each file by its last line in
// list order, then calls `notify` once with FormatNotice of the report.
// Each entry is reached through the folders the walk listed, held open; an
// entry whose folder was renamed or replaced meanwhile is kept and reported.
// When another run is working in `folder`, inside it or above it, nothing is
// touched and `notify` is called with FormatBusy instead.
// An empty `folder` is no folder the user chose: nothing is walked, nothing
// is touched and `notify` is not called.
RunReport RunTrim(FolderPath folder, const Notify &notify, const RunOptions &options = {});

} // namespace tailsnip

#endif
