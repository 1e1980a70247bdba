// The platform's directory search: each entry's name, and whether it is a
// folder or a link, told by the attribute bits Windows lists them with.
//
// A search delivers every entry of a folder, "." and ".." included (except at
// a drive's root), hidden ones too, in the file system's own order. It is
// read whole and ended at once, so that a deep walk holds no search open.
#ifndef TAILSNIP_ENGINE_DIRECTORYSEARCH_H
#define TAILSNIP_ENGINE_DIRECTORYSEARCH_H

#include "engine/FolderPath.h"
#include "engine/fs/FileSystem.h"
#include "engine/fs/FsError.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tailsnip {

inline constexpr std::uint32_t kAttributeFolder = 0x10;        // _A_SUBDIR
inline constexpr std::uint32_t kAttributeReparsePoint = 0x400; // a link

struct FindRecord {
  std::uint32_t attributes = 0;
  std::string name;
};

// Appends every entry of the folder at `folder` to `entries`. Returns None
// once the whole listing is read; NotFound when nothing matched at all (the
// folder is gone, or it is an empty drive's root); otherwise why the
// listing could not be read, with the entries read until then appended.
fs::FsError ListFolder(const FolderPath &folder, std::vector<FindRecord> &entries);

// A folder a walk enters, held from its description to its listing where
// the platform allows it (POSIX), so that what is listed is what was
// described and checked.
struct EnteredFolder {
  FolderPath path;
  fs::File handle; // on Windows not open: the folder is listed by its path
  fs::FileIdentity identity;
  bool known = false; // whether `identity` is
};

// Describes the folder at `folder` for a walk to enter. `parent`: the
// identity of the folder whose listing named it, where the walk reached it
// so; then it must still be a folder there, and no link, and lie in that
// very folder, or it is not entered (Changed): a folder swapped for a link
// after its folder was listed would lead the walk elsewhere. Without, the
// walk's own folder may be reached through links. An error other than
// Changed: why it could not be reached at all.
fs::FsError EnterFolder(const FolderPath &folder, const fs::FileIdentity *parent,
                        EnteredFolder &entered);

// Lists the folder `entered` holds, as ListFolder lists one by its path.
fs::FsError ListFolder(EnteredFolder &entered, std::vector<FindRecord> &entries);

// Lists the folder `folder` holds, which was at `path` when opened: on POSIX
// through its descriptor, so that a folder moved since is still the one
// listed; on Windows by its path, which a held folder cannot leave.
fs::FsError ListFolder(const fs::Folder &folder, const FolderPath &path,
                       std::vector<FindRecord> &entries);

} // namespace tailsnip

#endif
