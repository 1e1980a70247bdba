// The platform's directory search, with the contract of the Windows runtime's
// _findfirst, _findnext and _findclose.
//
// A search delivers every entry of a folder, "." and ".." included (except at
// a drive's root), hidden ones too, in the file system's own order.
#ifndef TAILSNIP_ENGINE_DIRECTORYSEARCH_H
#define TAILSNIP_ENGINE_DIRECTORYSEARCH_H

#include "engine/FolderPath.h"

#include <cstdint>
#include <string>

namespace tailsnip {

inline constexpr std::uint32_t kAttributeFolder = 0x10;        // _A_SUBDIR
inline constexpr std::uint32_t kAttributeReparsePoint = 0x400; // a link

struct FindRecord {
  std::uint32_t attributes = 0;
  std::string name;
};

using SearchHandle = std::intptr_t;
inline constexpr SearchHandle kNoSearch = -1;

// Starts a search for `pattern`, a folder followed by a separator and "*",
// and delivers the first entry. Returns kNoSearch, with errno set, when
// nothing matches (ENOENT) or the folder cannot be read (any other errno).
SearchHandle FindFirst(const FolderPath &pattern, FindRecord &record);

// Delivers the next entry; returns 0 if it did, non-zero when none are left
// (errno ENOENT) or the listing could not be read further (any other errno).
int FindNext(SearchHandle search, FindRecord &record);

// Ends a search started by FindFirst.
void FindClose(SearchHandle search);

} // namespace tailsnip

#endif
