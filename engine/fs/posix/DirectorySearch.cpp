// The directory search over opendir/readdir; fstatat only where the
// folder's listing does not already tell an entry's type.
#include "engine/fs/DirectorySearch.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tailsnip {

namespace {

std::uint32_t AttributesOf(DIR *listing, const dirent &entry) {
  unsigned char type = entry.d_type;
  if (type == DT_UNKNOWN) {
    struct stat status;
    if (::fstatat(::dirfd(listing), entry.d_name, &status, AT_SYMLINK_NOFOLLOW) == 0)
      type = S_ISDIR(status.st_mode) ? DT_DIR : S_ISLNK(status.st_mode) ? DT_LNK : DT_REG;
  }
  if (type == DT_DIR)
    return kAttributeFolder;
  if (type == DT_LNK)
    return kAttributeReparsePoint;
  return 0;
}

// Reads the whole of `listing`, then closes it.
fs::FsError ReadListing(DIR *listing, std::vector<FindRecord> &entries) {
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
    entries.push_back({AttributesOf(listing, *entry), entry->d_name});
  }
  if (errno != 0)
    return fs::FsError::FromSystem(errno);
  // A folder removed while open lists not even "." and "..".
  return entries.size() == before ? fs::FsError::FromSystem(ENOENT) : fs::FsError::None;
}

fs::FileIdentity IdentityOf(const struct stat &status) {
  return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

// Lists the folder `held` is a descriptor of, wherever it is now.
fs::FsError ListHeld(int held, std::vector<FindRecord> &entries) {
  const int fd = ::openat(held, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return fs::FsError::FromSystem(errno);
  DIR *listing = ::fdopendir(fd);
  if (!listing) {
    const int error = errno;
    ::close(fd);
    return fs::FsError::FromSystem(error);
  }
  return ReadListing(listing, entries);
}

} // namespace

fs::FsError ListFolder(const FolderPath &folder, std::vector<FindRecord> &entries) {
  DIR *listing = ::opendir(folder.c_str());
  return listing ? ReadListing(listing, entries) : fs::FsError::FromSystem(errno);
}

fs::FsError EnterFolder(const FolderPath &folder, const fs::FileIdentity *parent,
                        EnteredFolder &entered) {
  entered.path = folder;
  // O_PATH: described even where it may not be read, which its listing
  // then reports.
  entered.handle.adopt(
      ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC | (parent ? O_NOFOLLOW : 0)));
  if (!entered.handle.isOpen())
    return parent && errno == ENOTDIR ? fs::FsError(fs::FsError::Changed)
                                      : fs::FsError::FromSystem(errno);
  struct stat status;
  if (::fstat(entered.handle.handle(), &status) != 0)
    return fs::FsError::FromSystem(errno);
  entered.identity = IdentityOf(status);
  entered.known = true;
  if (!parent)
    return fs::FsError::None;
  // A folder above it swapped for a link leads elsewhere: there, ".." is
  // not the folder listed. A folder that may not be searched has no ".."
  // to look at: nothing in it could be reached either.
  if (::fstatat(entered.handle.handle(), "..", &status, 0) != 0)
    return fs::FsError::FromSystem(errno);
  return IdentityOf(status) == *parent ? fs::FsError::None : fs::FsError::Changed;
}

fs::FsError ListFolder(EnteredFolder &entered, std::vector<FindRecord> &entries) {
  return ListHeld(entered.handle.handle(), entries);
}

fs::FsError ListFolder(const fs::Folder &folder, const FolderPath &,
                       std::vector<FindRecord> &entries) {
  return ListHeld(folder.handle.handle(), entries);
}

} // namespace tailsnip
