// Paths, as the platform's file functions take them.
#ifndef TAILSNIP_ENGINE_FOLDERPATH_H
#define TAILSNIP_ENGINE_FOLDERPATH_H

#include <string>
#include <string_view>

namespace tailsnip {

// A path as the platform's narrow file functions take it: bytes in the
// system code page on Windows, plain bytes elsewhere. No length limit of ours.
using FolderPath = std::string;

#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
inline constexpr char kSeparators[] = "\\/"; // Windows takes either
#else
inline constexpr char kPathSeparator = '/';
inline constexpr char kSeparators[] = "/";
#endif

// The last name of `path`: what follows its last separator, or all of it.
inline std::string_view NameOf(std::string_view path) {
  const std::size_t separator = path.find_last_of(kSeparators);
  return separator == std::string_view::npos ? path : path.substr(separator + 1);
}

// The folder part of `path` up to its last separator, that included; empty
// where there is none.
inline FolderPath FolderOf(const FolderPath &path) {
  const std::size_t separator = path.find_last_of(kSeparators);
  return separator == FolderPath::npos ? FolderPath() : path.substr(0, separator + 1);
}

// Returns dir + separator + name. The separator is added even when dir
// already ends in one (a drive's root): the file functions accept the double.
inline FolderPath JoinPath(const FolderPath &dir, const std::string &name) {
  FolderPath path;
  path.reserve(dir.size() + 1 + name.size());
  path += dir;
  path += kPathSeparator;
  path += name;
  return path;
}

// Whether `path` lies beneath `folder`, at any depth; no folder lies within
// itself. `folder` may end in a separator, as a drive's or the system's root
// does; "dir" + separator names "dir" itself. Compared byte for byte.
inline bool IsWithin(std::string_view path, std::string_view folder) {
  if (folder.empty() || path.size() <= folder.size() || path.substr(0, folder.size()) != folder)
    return false;
  const std::string_view rest = path.substr(folder.size());
  if (folder.back() != kPathSeparator && rest.front() != kPathSeparator)
    return false; // "/a/bc" is not within "/a/b"
  return rest.find_first_not_of(kPathSeparator) != std::string_view::npos;
}

} // namespace tailsnip

#endif
