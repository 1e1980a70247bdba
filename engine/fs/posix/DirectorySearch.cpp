// The directory search over opendir/readdir; lstat only where the folder's
// listing does not already tell an entry's type.
#include "engine/fs/DirectorySearch.h"

#include <cerrno>
#include <dirent.h>
#include <string>
#include <sys/stat.h>

namespace tailsnip {

namespace {

struct Search {
  DIR *folder;
  std::string path;
};

std::uint32_t AttributesOf(const Search &search, const dirent &entry) {
  unsigned char type = entry.d_type;
  if (type == DT_UNKNOWN) {
    struct stat status;
    const std::string path = search.path + '/' + entry.d_name;
    if (::lstat(path.c_str(), &status) == 0)
      type = S_ISDIR(status.st_mode) ? DT_DIR : S_ISLNK(status.st_mode) ? DT_LNK : DT_REG;
  }
  if (type == DT_DIR)
    return kAttributeFolder;
  if (type == DT_LNK)
    return kAttributeReparsePoint;
  return 0;
}

bool Deliver(Search &search, FindRecord &record) {
  errno = 0;
  const dirent *entry = ::readdir(search.folder);
  if (!entry) {
    if (errno == 0)
      errno = ENOENT; // the end of the listing, as _findnext reports it
    return false;
  }
  record.attributes = AttributesOf(search, *entry);
  record.name = entry->d_name;
  return true;
}

} // namespace

SearchHandle FindFirst(const FolderPath &pattern, FindRecord &record) {
  static const std::string kSuffix = "/*";
  if (pattern.size() < kSuffix.size() ||
      pattern.compare(pattern.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0) {
    errno = EINVAL;
    return kNoSearch;
  }
  std::string path = pattern.substr(0, pattern.size() - kSuffix.size());
  if (path.empty())
    path = "/";
  DIR *folder = ::opendir(path.c_str());
  if (!folder)
    return kNoSearch;
  auto *search = new Search{folder, std::move(path)};
  if (!Deliver(*search, record)) {
    const int error = errno;
    FindClose(reinterpret_cast<SearchHandle>(search));
    errno = error;
    return kNoSearch;
  }
  return reinterpret_cast<SearchHandle>(search);
}

int FindNext(SearchHandle handle, FindRecord &record) {
  return Deliver(*reinterpret_cast<Search *>(handle), record) ? 0 : -1;
}

void FindClose(SearchHandle handle) {
  auto *search = reinterpret_cast<Search *>(handle);
  ::closedir(search->folder);
  delete search;
}

} // namespace tailsnip
