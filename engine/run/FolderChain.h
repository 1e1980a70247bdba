// The folders from a run's folder down to the one whose entries are being
// shortened, each held open and each the very folder the walk listed, with
// whether its entries may be replaced, asked once when it is entered.
//
// An entry is reached only through its folder as listed: a folder renamed,
// or swapped for a link, after the listing leads nowhere, and its entries
// are kept and reported rather than looked for elsewhere.
#ifndef TAILSNIP_ENGINE_RUN_FOLDERCHAIN_H
#define TAILSNIP_ENGINE_RUN_FOLDERCHAIN_H

#include "engine/FolderPath.h"
#include "engine/fs/FileSystem.h"
#include "engine/walk/CollectEntries.h"

#include <memory>
#include <system_error>
#include <vector>

namespace tailsnip {

class FolderChain {
public:
  // Holds the run's own folder, if it is still the one the walk listed; one
  // the user may not open is noted as unopened, for its entries to say so.
  void start(const FolderPath &folder, const FolderIdentities &identities);

  // Holds `folder`, an entry just opened, if it is the folder the walk
  // listed under `path`.
  void enter(const FolderPath &path, fs::Folder folder, const FolderIdentities &identities);

  // Notes that the folder at `path` could not be opened, for the system's
  // reason `systemError` (too many open files, say): what lies beneath it
  // is told of with that reason.
  void enterUnopened(const FolderPath &path, const std::error_code &systemError);

  // The held folder that `entry` lies in; null when that folder is not the
  // one the walk listed, or lies in one that could not be opened (then
  // `unopenedError` says why). Entries come in walk order, so folders whose
  // entries are all done are let go on the way.
  std::shared_ptr<const fs::Folder> folderOf(const FolderPath &entry,
                                             std::error_code &unopenedError);

private:
  struct Held {
    FolderPath path;
    std::shared_ptr<const fs::Folder> folder; // shared with copies still in flight
    std::error_code systemError{};            // why `folder` could not be opened
  };
  std::vector<Held> held_;
};

} // namespace tailsnip

#endif
