// The folders above a folder by the names in its full path: Windows gives
// a handle no parent to open. Junctions and mounted folders in the path
// are resolved by ToFullPath no further than their own names.
#include "engine/run/FoldersAbove.h"

#include "engine/fs/windows/WidePath.h"

namespace tailsnip {

std::vector<HeldFolder> FolderAndAbove(const FolderPath &folder) {
  std::vector<HeldFolder> chain;
  std::string path = ToFullPath(folder);
  for (;;) {
    HeldFolder held;
    if (fs::GetIdentity(path, held.identity) == fs::FsError::None) {
      held.path = path;
      chain.push_back(std::move(held));
    }
    if (path.size() <= 3) // the drive's root, "C:\"
      break;
    const std::size_t separator = path.find_last_of('\\', path.size() - 2);
    if (separator == std::string::npos)
      break;
    path = path.substr(0, separator < 3 ? 3 : separator);
  }
  return chain;
}

} // namespace tailsnip
