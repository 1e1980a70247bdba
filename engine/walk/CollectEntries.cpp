#include "engine/walk/CollectEntries.h"

#include "engine/fs/DirectorySearch.h"
#include "engine/fs/FileSystem.h"

#include <new>
#include <set>
#include <utility>

namespace tailsnip {

namespace {

// One folder on the path from the walk's start to where it is now.
struct Listing {
  FolderPath dir;
  std::vector<FindRecord> entries;
  std::size_t next = 0;
  fs::FileIdentity identity;
  bool known = false; // whether `identity` is
};

bool IsDotOrDotDot(const std::string &name) { return name == "." || name == ".."; }

// A drive's root is the only folder whose search may find nothing at all.
bool IsRoot(const FolderPath &dir) {
  return !dir.empty() && (dir.back() == kPathSeparator || dir.back() == ':');
}

Reason SearchFailureReason(const fs::FsError &error) {
  return error == fs::FsError::NameTooLong ? Reason::PathTooLong : Reason::CannotSearchFolder;
}

#ifdef _WIN32
// The narrow search replaces characters outside the code page by '?', which
// no real name can hold: such a path would open some other file, or none.
bool IsLossyName(const std::string &name) { return name.find('?') != std::string::npos; }
#else
bool IsLossyName(const std::string &) { return false; }
#endif

} // namespace

bool CollectEntries(FolderPath dir, WorkList &list, std::vector<Failure> &failures,
                    const WalkOptions &walk, FolderIdentities *identities) {
  try {
    std::set<std::pair<std::uint64_t, std::uint64_t>> entered;
    std::vector<Listing> path;
    const std::size_t relativeStart = dir.size() + 1; // JoinPath always adds a separator
    std::uint64_t rootVolume = 0;
    bool refused = false; // by mayEnter

    auto enter = [&](FolderPath folder) {
      EnteredFolder folderHeld;
      if (const fs::FsError error =
              EnterFolder(folder, path.empty() ? nullptr : &path.back().identity, folderHeld);
          error != fs::FsError::None) {
        failures.push_back(
            {std::move(folder),
             error == fs::FsError::Changed ? Reason::FolderChanged : SearchFailureReason(error),
             error.code()});
        return;
      }
      const fs::FileIdentity &identity = folderHeld.identity;
      const bool known = folderHeld.known;
      if (known && !entered.insert({identity.volume, identity.index}).second)
        return; // reached again by another name: its entries are listed already
      if (path.empty())
        rootVolume = identity.volume;
      else if (walk.oneFileSystem && (!known || identity.volume != rootVolume))
        return;
      else if (known && walk.mayEnter && !walk.mayEnter(folder, identity)) {
        refused = true;
        return;
      }
      if (known && identities)
        identities->emplace(folder, identity);
      Listing listing;
      listing.identity = identity;
      listing.known = known;
      const fs::FsError error = ListFolder(folderHeld, listing.entries);
      if (error != fs::FsError::None && !(error == fs::FsError::NotFound && IsRoot(folder)))
        failures.push_back({folder, SearchFailureReason(error), error.code()});
      listing.dir = std::move(folder);
      path.push_back(std::move(listing));
    };

    if (walk.maxDepth > 0)
      enter(std::move(dir));
    while (!path.empty() && !refused && !(walk.stopRequested && walk.stopRequested())) {
      Listing &current = path.back();
      if (current.next == current.entries.size()) {
        path.pop_back();
        continue;
      }
      const FindRecord &entry = current.entries[current.next++];
      const bool isFolder = (entry.attributes & kAttributeFolder) != 0;
      if (isFolder && IsDotOrDotDot(entry.name))
        continue;
      FolderPath entryPath = JoinPath(current.dir, entry.name);
      if (IsLossyName(entry.name)) {
        failures.push_back({std::move(entryPath), Reason::NameNotRepresentable});
        continue;
      }
      if (walk.include && !walk.include(entryPath.substr(relativeStart), isFolder))
        continue;
      if (!isFolder && current.known && walk.listedBefore &&
          walk.listedBefore(current.identity, entry.name))
        continue;
      list.push_back(entryPath);
      // This entry lies path.size() levels deep; its own entries one deeper.
      if (isFolder && (entry.attributes & kAttributeReparsePoint) == 0 &&
          path.size() < walk.maxDepth)
        enter(std::move(entryPath)); // invalidates `current` and `entry`
    }
  } catch (const std::bad_alloc &) {
    return false;
  }
  return true;
}

} // namespace tailsnip
