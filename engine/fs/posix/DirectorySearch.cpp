// The directory search over opendir/readdir; lstat only where the folder's
// listing does not already tell an entry's type.
#include "engine/fs/DirectorySearch.h"

#include <cerrno>
#include <dirent.h>
#include <string>
#include <sys/stat.h>

namespace tailsnip {

namespace {

std::uint32_t AttributesOf(const FolderPath &folder, const dirent &entry) {
  unsigned char type = entry.d_type;
  if (type == DT_UNKNOWN) {
    struct stat status;
    const std::string path = folder + '/' + entry.d_name;
    if (::lstat(path.c_str(), &status) == 0)
      type = S_ISDIR(status.st_mode) ? DT_DIR : S_ISLNK(status.st_mode) ? DT_LNK : DT_REG;
  }
  if (type == DT_DIR)
    return kAttributeFolder;
  if (type == DT_LNK)
    return kAttributeReparsePoint;
  return 0;
}

} // namespace

fs::FsError ListFolder(const FolderPath &folder, std::vector<FindRecord> &entries) {
  DIR *listing = ::opendir(folder.c_str());
  if (!listing)
    return fs::FsError::FromSystem(errno);
  // Memory may run out while the entries grow; the listing is closed anyway.
  struct End {
    DIR *listing;
    ~End() { ::closedir(listing); }
  } end{listing};
  const std::size_t before = entries.size();
  for (;;) {
    errno = 0;
    const dirent *entry = ::readdir(listing);
    if (!entry)
      break;
    entries.push_back({AttributesOf(folder, *entry), entry->d_name});
  }
  if (errno != 0)
    return fs::FsError::FromSystem(errno);
  // A folder removed while open lists not even "." and "..".
  return entries.size() == before ? fs::FsError::FromSystem(ENOENT) : fs::FsError::None;
}

} // namespace tailsnip
