// Paths and the list a run works through.
#ifndef TAILSNIP_ENGINE_FOLDERPATH_H
#define TAILSNIP_ENGINE_FOLDERPATH_H

#include <string>
#include <vector>

namespace tailsnip {

// A path as the platform's narrow file functions take it: bytes in the
// system code page on Windows, plain bytes elsewhere. No length limit of ours.
using FolderPath = std::string;

// Every path beneath a folder, in walk order. Only appended to, read by index.
using WorkList = std::vector<FolderPath>;

#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

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

} // namespace tailsnip

#endif
