// The platform's directory search, with the entries and attributes the
// Windows runtime's _findfirst family delivers.
//
// A search delivers every entry of a folder, "." and ".." included (except at
// a drive's root), hidden ones too, in the file system's own order. It is
// read whole and ended at once, so that a deep walk holds no search open.
#ifndef TAILSNIP_ENGINE_DIRECTORYSEARCH_H
#define TAILSNIP_ENGINE_DIRECTORYSEARCH_H

#include "engine/FolderPath.h"
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

} // namespace tailsnip

#endif
