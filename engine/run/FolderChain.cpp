#include "engine/run/FolderChain.h"

#include <string_view>

namespace tailsnip {

void FolderChain::start(const FolderPath &folder, const FolderIdentities &identities) {
  fs::Folder opened;
  const fs::FsError error = fs::OpenFolder(folder, opened);
  if (error == fs::FsError::None)
    enter(folder, std::move(opened), identities);
  else if (error == fs::FsError::AccessDenied) // entered but not read: the same folder still
    enterUnopened(folder, error.code());
}

void FolderChain::enter(const FolderPath &path, fs::Folder folder,
                        const FolderIdentities &identities) {
  const auto listed = identities.find(path);
  if (listed == identities.end() || folder.info.identity != listed->second)
    return;
  folder.changeable = fs::CheckFolderChangeable(folder);
  held_.push_back({path, std::make_shared<fs::Folder>(std::move(folder))});
}

void FolderChain::enterUnopened(const FolderPath &path, const std::error_code &systemError) {
  held_.push_back({path, nullptr, systemError});
}

std::shared_ptr<const fs::Folder> FolderChain::folderOf(const FolderPath &entry,
                                                        std::error_code &unopenedError) {
  // The walk joins with a separator even after a root's own ("C:\\" "\\" name).
  const std::size_t separator = entry.find_last_of(kPathSeparator);
  if (separator == FolderPath::npos)
    return nullptr;
  const std::string_view parent = std::string_view(entry).substr(0, separator);
  while (!held_.empty() && held_.back().path != parent && !IsWithin(parent, held_.back().path))
    held_.pop_back();
  if (held_.empty())
    return nullptr;
  unopenedError = held_.back().folder ? std::error_code() : held_.back().systemError;
  return held_.back().path == parent ? held_.back().folder : nullptr;
}

} // namespace tailsnip
