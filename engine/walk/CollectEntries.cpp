#include "engine/walk/CollectEntries.h"

#include "engine/fs/DirectorySearch.h"
#include "engine/fs/FileSystem.h"

#include <cerrno>
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
};

bool IsDotOrDotDot(const std::string &name) { return name == "." || name == ".."; }

// A drive's root is the only folder whose search may find nothing at all.
bool IsRoot(const FolderPath &dir) {
  return !dir.empty() && (dir.back() == kPathSeparator || dir.back() == ':');
}

Reason SearchFailureReason(int error) {
  return error == ENAMETOOLONG ? Reason::PathTooLong : Reason::CannotSearchFolder;
}

// Reads a folder's entries whole and ends its search before any subfolder
// is entered, so a deep tree holds no search handles open.
Reason ReadListing(const FolderPath &dir, std::vector<FindRecord> &entries, int &error) {
  FindRecord record;
  const SearchHandle search = FindFirst(JoinPath(dir, "*"), record);
  if (search == kNoSearch) {
    error = errno;
    if (error == ENOENT && IsRoot(dir))
      return Reason::None;
    return SearchFailureReason(error);
  }
  // Memory may run out while the listing grows; the search is ended anyway.
  struct SearchEnd {
    SearchHandle search;
    ~SearchEnd() { FindClose(search); }
  } end{search};
  do
    entries.push_back(record);
  while (FindNext(search, record) == 0);
  error = errno;
  return error == ENOENT ? Reason::None : Reason::CannotSearchFolder;
}

#ifdef _WIN32
// The search's errno is the runtime's rendering, not a system code.
std::error_code SystemErrorOf(int) { return {}; }
#else
std::error_code SystemErrorOf(int error) { return std::error_code(error, std::generic_category()); }
#endif

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

    auto enter = [&](FolderPath folder) {
      fs::FileIdentity identity;
      const bool known = fs::GetIdentity(folder, identity) == fs::FsError::None;
      if (known && !entered.insert({identity.volume, identity.index}).second)
        return; // reached again by another name: its entries are listed already
      if (path.empty())
        rootVolume = identity.volume;
      else if (walk.oneFileSystem && (!known || identity.volume != rootVolume))
        return;
      if (known && identities)
        identities->emplace(folder, identity);
      Listing listing;
      int error = 0;
      const Reason reason = ReadListing(folder, listing.entries, error);
      if (reason != Reason::None)
        failures.push_back({folder, reason, SystemErrorOf(error)});
      listing.dir = std::move(folder);
      path.push_back(std::move(listing));
    };

    enter(std::move(dir));
    while (!path.empty() && !(walk.stopRequested && walk.stopRequested())) {
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
      list.push_back(entryPath);
      if (isFolder && (entry.attributes & kAttributeReparsePoint) == 0)
        enter(std::move(entryPath)); // invalidates `current` and `entry`
    }
  } catch (const std::bad_alloc &) {
    return false;
  }
  return true;
}

} // namespace tailsnip
