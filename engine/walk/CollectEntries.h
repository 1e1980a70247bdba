// The folder walk: every file and subfolder beneath a folder, in walk order.
#ifndef TAILSNIP_ENGINE_COLLECTENTRIES_H
#define TAILSNIP_ENGINE_COLLECTENTRIES_H

#include "engine/WorkList.h"
#include "engine/Outcome.h"
#include "engine/fs/FileSystem.h"

#include <cstddef>
#include <functional>
#include <limits>
#include <string>
#include <unordered_map>
#include <vector>

namespace tailsnip {

// The identity of every folder a walk entered, by the path it was listed under.
using FolderIdentities = std::unordered_map<FolderPath, fs::FileIdentity>;

// What a caller may ask of a walk beyond listing everything.
struct WalkOptions {
  // Decides by an entry's path below the walked folder (no leading
  // separator) whether it is listed; a folder left out is not entered
  // either. Everything is listed when empty.
  std::function<bool(const std::string &relative, bool isFolder)> include;
  // Asked of every entry but a folder that `include` kept, with the identity
  // of the folder it lies in and its name; an entry for which it returns
  // true is not listed. A caller walking several folders thus lists each
  // entry once, however it is reached. Folders are always listed, for what
  // lies beneath them. Not asked where the folder's identity is unknown.
  std::function<bool(const fs::FileIdentity &folder, const std::string &name)> listedBefore;
  // Lists folders on another volume than the walked folder, but does not
  // enter them (nor any folder whose volume cannot be told).
  bool oneFileSystem = false;
  // Lists entries at most this many levels below the walked folder (its own
  // entries are at level 1) and enters no folder at that level; 0 lists nothing.
  std::size_t maxDepth = std::numeric_limits<std::size_t>::max();
  // Asked before each entry; once it returns true the walk ends, and the
  // list holds what was found so far.
  std::function<bool()> stopRequested;
  // Asked before entering each folder beneath the walked one whose identity
  // is known, with that identity; once it returns false the walk ends there,
  // as with stopRequested.
  std::function<bool(const FolderPath &folder, const fs::FileIdentity &identity)> mayEnter;
};

// Appends to `list` the path of every entry beneath `dir`, depth-first in the
// file system's order, each subfolder's path just before its contents; "."
// and ".." are skipped. A link is listed but never entered, and no folder is
// entered twice. Folders that cannot be searched (and, on Windows, names the
// code page cannot hold) are appended to `failures`, and, where `identities`
// is given, each folder entered is recorded there. Uses no stack in
// proportion to the depth. Returns false if memory ran out; `list` then holds
// what was found so far. `walk` narrows what is listed and entered.
[[nodiscard]] bool CollectEntries(FolderPath dir, WorkList &list, std::vector<Failure> &failures,
                                  const WalkOptions &walk = {},
                                  FolderIdentities *identities = nullptr);

} // namespace tailsnip

#endif
