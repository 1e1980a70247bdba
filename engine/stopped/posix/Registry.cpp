// The registry over POSIX: markers made and read relative to the folder
// held open, never following a link, as befits a folder every user writes.
#include "engine/stopped/Registry.h"

#include "engine/run/RunFiles.h"
#include "engine/trim/CopyName.h"

#include <cerrno>
#include <charconv>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace tailsnip {

namespace {

constexpr char kRegistry[] = "/var/tmp/tailsnip";
constexpr off_t kLongestMarker = 64 * 1024;

struct Descriptor {
  int fd = -1;
  ~Descriptor() {
    if (fd >= 0)
      ::close(fd);
  }
};

RegistryUse Failed(RegistryState state = RegistryState::Failed) {
  return {state, std::error_code(errno, std::generic_category())};
}

// Opens the registry, making it first when `make` asks. A folder that is
// not sticky, or is owned by another user than root, could lose markers
// to anyone: it is not used.
RegistryUse OpenRegistry(bool make, Descriptor &registry) {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  registry.fd = ::open(kRegistry, kFlags);
  if (registry.fd < 0 && errno == ENOENT && make) {
    if (::mkdir(kRegistry, 01777) != 0 && errno != EEXIST)
      return Failed(errno == ENOENT || errno == EROFS ? RegistryState::Unavailable
                                                      : RegistryState::Failed);
    registry.fd = ::open(kRegistry, kFlags);
  }
  if (registry.fd < 0)
    return Failed(errno == ELOOP || errno == ENOTDIR || errno == EACCES ? RegistryState::Unavailable
                                                                        : RegistryState::Failed);
  struct stat status;
  if (::fstat(registry.fd, &status) != 0)
    return Failed();
  const uid_t user = ::geteuid();
  if (!(status.st_mode & S_ISVTX) || (status.st_uid != 0 && status.st_uid != user)) {
    errno = EPERM;
    return Failed(RegistryState::Unavailable);
  }
  // The umask narrows the one this user made: every user must add to it.
  if (status.st_uid == user && (status.st_mode & 07777) != 01777 && make &&
      ::fchmod(registry.fd, 01777) != 0)
    return Failed();
  return {};
}

std::string MarkerName(const fs::FileIdentity &identity) {
  return std::to_string(identity.volume) + "-" + std::to_string(identity.index);
}

// A marker's name of its own, "VOLUME-INDEX-TOKEN", for where the plain one
// is taken by what stops nobody and cannot be removed (another user's,
// planted there): nobody takes a name they cannot foresee.
std::string DrawnMarkerName(const fs::FileIdentity &identity) {
  return MarkerName(identity) + "-" + DrawToken();
}

bool ParseMarkerName(const std::string &name, fs::FileIdentity &identity) {
  const char *end = name.data() + name.size();
  const auto volume = std::from_chars(name.data(), end, identity.volume);
  if (volume.ec != std::errc() || volume.ptr == end || *volume.ptr != '-')
    return false;
  const auto index = std::from_chars(volume.ptr + 1, end, identity.index);
  if (index.ec != std::errc() || volume.ptr + 1 == index.ptr)
    return false;
  return index.ptr == end ||
         (*index.ptr == '-' && IsCopyToken(std::string_view(name).substr(
                                   static_cast<std::size_t>(index.ptr - name.data()) + 1)));
}

// The journal a marker names, and the marker's owner.
bool ReadMarker(int registry, const std::string &name, FolderPath &journal, uid_t &owner) {
  Descriptor marker;
  marker.fd = ::openat(registry, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat status;
  if (marker.fd < 0 || ::fstat(marker.fd, &status) != 0 || !S_ISREG(status.st_mode) ||
      status.st_size > kLongestMarker)
    return false;
  journal.resize(static_cast<std::size_t>(status.st_size));
  if (::read(marker.fd, journal.data(), journal.size()) != status.st_size)
    return false;
  owner = status.st_uid;
  return true;
}

bool JournalGone(const FolderPath &journal) {
  struct stat status;
  return ::lstat(journal.c_str(), &status) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

// Whether a marker of `owner`'s for the folder `identity` names a journal
// such as a run keeps: named for that folder, by a full path, a regular
// file of the marker's owner where it can be described. Anyone may add a
// marker; nobody stops others' runs by naming any file at all with one.
bool NamesJournal(const FolderPath &journal, const fs::FileIdentity &identity, uid_t owner) {
  const std::string name = "/" + JournalName(identity);
  if (journal.size() <= name.size() || journal[0] != '/' ||
      journal.compare(journal.size() - name.size(), name.size(), name) != 0)
    return false;
  struct stat status;
  if (::lstat(journal.c_str(), &status) != 0)
    return errno == EACCES; // beyond this user's reach: trusted, as its marker is
  return S_ISREG(status.st_mode) && status.st_uid == owner;
}

std::string UserName(uid_t user) {
  const passwd *entry = ::getpwuid(user);
  return entry ? entry->pw_name : std::to_string(user);
}

// Writes a new marker naming `journal` and makes it and its name durable.
RegistryUse WriteMarker(int registry, const std::string &name, const FolderPath &journal,
                        Durability durability) {
  Descriptor marker;
  marker.fd =
      ::openat(registry, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (marker.fd < 0)
    return Failed(errno == EACCES ? RegistryState::Unavailable : RegistryState::Failed);
  // Readable by every user whatever the umask: that is what it is for.
  const bool written =
      ::fchmod(marker.fd, 0644) == 0 &&
      ::write(marker.fd, journal.data(), journal.size()) == static_cast<ssize_t>(journal.size()) &&
      (durability == Durability::InMemory || (::fsync(marker.fd) == 0 && ::fsync(registry) == 0));
  if (written)
    return {};
  const RegistryUse failed = Failed();
  ::unlinkat(registry, name.c_str(), 0);
  return failed;
}

} // namespace

FolderPath RegistryFolder() { return kRegistry; }

RegistryUse ReadRegistry(RegisteredRuns &runs) {
  Descriptor registry;
  if (const RegistryUse use = OpenRegistry(false, registry); use.state != RegistryState::Used)
    return use.systemError == std::errc::no_such_file_or_directory ? RegistryUse() : use;
  const int listed = ::dup(registry.fd);
  DIR *listing = listed < 0 ? nullptr : ::fdopendir(listed);
  if (!listing) {
    const RegistryUse failed = Failed();
    if (listed >= 0)
      ::close(listed);
    return failed;
  }
  const uid_t user = ::geteuid();
  for (;;) {
    errno = 0;
    const dirent *entry = ::readdir(listing);
    if (!entry)
      break;
    fs::FileIdentity identity;
    FolderPath journal;
    uid_t owner = 0;
    if (!ParseMarkerName(entry->d_name, identity) ||
        !ReadMarker(registry.fd, entry->d_name, journal, owner))
      continue;
    if (JournalGone(journal)) {
      ::unlinkat(registry.fd, entry->d_name, 0);
      continue;
    }
    if (!NamesJournal(journal, identity, owner))
      continue;
    runs[{identity.volume, identity.index}] = {journal, owner == user ? "" : UserName(owner)};
  }
  const RegistryUse read = errno == 0 ? RegistryUse() : Failed();
  ::closedir(listing);
  return read;
}

RegistryUse Register(const fs::FileIdentity &identity, const FolderPath &journal,
                     Durability durability) {
  Descriptor registry;
  if (const RegistryUse use = OpenRegistry(true, registry); use.state != RegistryState::Used)
    return use;
  const std::string name = MarkerName(identity);
  const RegistryUse written = WriteMarker(registry.fd, name, journal, durability);
  if (written.systemError != std::errc::file_exists)
    return written;
  FolderPath named;
  uid_t owner = 0;
  const bool marker = ReadMarker(registry.fd, name, named, owner);
  if (marker && owner == ::geteuid() && named == journal)
    return {}; // a resumed run's, registered when it began
  if (marker && !JournalGone(named) && NamesJournal(named, identity, owner))
    return written; // another run's
  if (marker && ::unlinkat(registry.fd, name.c_str(), 0) == 0)
    return WriteMarker(registry.fd, name, journal, durability);
  return WriteMarker(registry.fd, DrawnMarkerName(identity), journal, durability);
}

namespace {

// Removes the marker `name` where it names `journal` and this user may
// forget it; whether it did.
bool RemoveMarker(int registry, const char *name, const FolderPath &journal) {
  FolderPath named;
  uid_t owner = 0;
  return ReadMarker(registry, name, named, owner) &&
         (owner == ::geteuid() || MayForgetOthersRuns()) && named == journal &&
         ::unlinkat(registry, name, 0) == 0;
}

} // namespace

void Unregister(const fs::FileIdentity &identity, const FolderPath &journal) {
  Descriptor registry;
  if (OpenRegistry(false, registry).state != RegistryState::Used ||
      RemoveMarker(registry.fd, MarkerName(identity).c_str(), journal))
    return;
  // Only then under a name of its own (DrawnMarkerName), which few need.
  const int listed = ::dup(registry.fd);
  DIR *listing = listed < 0 ? nullptr : ::fdopendir(listed);
  if (!listing) {
    if (listed >= 0)
      ::close(listed);
    return;
  }
  while (const dirent *entry = ::readdir(listing))
    if (fs::FileIdentity named; ParseMarkerName(entry->d_name, named) && named == identity)
      RemoveMarker(registry.fd, entry->d_name, journal);
  ::closedir(listing);
}

bool MayForgetOthersRuns() { return ::geteuid() == 0; }

} // namespace tailsnip
