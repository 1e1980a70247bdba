// Who may replace a file, and keeping other programs from it meanwhile:
// the user's right to write it and to give a copy its owner, and a write
// lease that is given up the moment anyone else opens the file.
#include "engine/fs/linux/Descriptors.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>

namespace tailsnip::fs {

namespace {

// Who this process is, as ReadProcessIdentity last found.
struct ProcessIdentity {
  pid_t id = ::getpid();
  uid_t user = ::geteuid();
  gid_t group = ::getegid();
  std::vector<gid_t> groups = SupplementaryGroups();

  static std::vector<gid_t> SupplementaryGroups() {
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(count > 0 ? static_cast<std::size_t>(count) : 0);
    if (count > 0 && ::getgroups(count, groups.data()) != count)
      groups.clear();
    return groups;
  }
};

ProcessIdentity &Process() {
  static ProcessIdentity process;
  return process;
}

} // namespace

bool IsSuperuser() { return Process().user == 0; }

namespace {

bool IsMemberOf(gid_t group) {
  const ProcessIdentity &process = Process();
  return group == process.group ||
         std::find(process.groups.begin(), process.groups.end(), group) != process.groups.end();
}

// Whether this user may write the open file, as the kernel would decide it
// (ACLs included), without naming the file again.
FsError CheckWriteAccess(int fd) {
  if (::faccessat(fd, "", W_OK, AT_EACCESS | AT_EMPTY_PATH) == 0)
    return FsError::None;
  if (errno != EINVAL && errno != ENOSYS)
    return LastError();
  // Kernels before 5.8 take no empty path here; /proc names the same file.
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return ::access(self.c_str(), W_OK) == 0 || errno == ENOENT ? FsError::None : LastError();
}

// A lease breaks when anyone else opens the file, which tells the holder by
// SIGIO unless another signal is set; its default action would end the
// program.
void IgnoreLeaseBreakSignal() {
  static const bool ignored = [] {
    struct sigaction current {};
    if (::sigaction(SIGIO, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
      ::signal(SIGIO, SIG_IGN);
    return true;
  }();
  (void)ignored;
}

// The file in a CutWindow, whose lease's break waits for the window's end;
// kBrokenInWindow once a break has come for it, which the window then lets go.
constexpr int kNoWindow = -1;
constexpr int kBrokenInWindow = -2;
std::atomic<int> cutting{kNoWindow};
static_assert(std::atomic<int>::is_always_lock_free);

// The opener waits until the holder lets go, or for the kernel's
// lease-break time (45 s by default). Letting go at once, on whichever
// thread the signal reaches, makes it wait for nothing; the run then finds
// the lease gone before its rename and keeps the file. A file being cut is
// let go of by its CutWindow instead: either the handler marks the window
// or the window closes first, never both. fcntl is async-signal-safe.
extern "C" void LetGoOfBrokenLease(int, siginfo_t *info, void *) {
  const int saved = errno;
  int window = info->si_fd;
  if (!cutting.compare_exchange_strong(window, kBrokenInWindow))
    ::fcntl(info->si_fd, F_SETLEASE, F_UNLCK);
  errno = saved;
}

// The signal leases break by: the highest real-time signal the program left
// at its default, taken once, so that none of its own is touched. 0 (SIGIO)
// when there is none.
int LeaseBreakSignal() {
  static const int chosen = [] {
    for (int signal = SIGRTMAX; signal >= SIGRTMIN; --signal) {
      struct sigaction current {};
      if (::sigaction(signal, nullptr, &current) != 0 || current.sa_handler != SIG_DFL)
        continue;
      struct sigaction action {};
      action.sa_sigaction = LetGoOfBrokenLease;
      sigemptyset(&action.sa_mask);
      action.sa_flags = SA_SIGINFO | SA_RESTART;
      if (::sigaction(signal, &action, nullptr) == 0)
        return signal;
    }
    return 0;
  }();
  return chosen;
}

// Takes a write lease: granted only while nobody else has the file open, and
// given up (not waited for) as soon as someone opens it. Where the file
// system or the user's rights allow no lease, the caller falls back to
// comparing size and time.
FsError TakeLease(File &file) {
  // SIGIO still comes when too many real-time signals are queued.
  IgnoreLeaseBreakSignal();
  ::fcntl(file.handle(), F_SETSIG, LeaseBreakSignal());
  // To the process: the break would otherwise go to this thread alone, and
  // be lost once it has ended.
  const f_owner_ex process{F_OWNER_PID, Process().id};
  ::fcntl(file.handle(), F_SETOWN_EX, &process);
  if (::fcntl(file.handle(), F_SETLEASE, F_WRLCK) == 0) {
    file.setExclusive(true);
    return FsError::None;
  }
  // Another program's opening is no fault of the system's: its code
  // (EAGAIN) would only blur "in use".
  if (errno == EAGAIN || errno == EBUSY)
    return Fail(FsError::InUse, 0);
  return FsError::None;
}

} // namespace

FsError ClaimForReplacement(File &file, const FileInfo &info) {
  // Before any copy: the rename over such a file would fail.
  if (info.immutable)
    return Fail(FsError::Immutable, EPERM);
  // The superuser may write any file; a read-only mount is the folder's to
  // tell (CheckFolderChangeable).
  if (!IsSuperuser())
    if (const FsError error = CheckWriteAccess(file.handle()); error != FsError::None)
      return error;
  return TakeLease(file);
}

FsError CheckOwnerCanBeKept(const FileInfo &info) {
  if (IsSuperuser())
    return FsError::None;
  if (info.owner != Process().user || !IsMemberOf(info.group))
    return Fail(FsError::OwnerNotKept, EPERM);
  return FsError::None;
}

namespace {

// The kernel drops these on a truncation, lest a changed program keep its
// privileges; a copy is given them again.
bool CutDropsPrivileges(File &file, const FileInfo &info) {
  return (info.permissions & (S_ISUID | S_ISGID)) != 0 ||
         ::fgetxattr(file.handle(), "security.capability", nullptr, 0) >= 0;
}

} // namespace

FsError CheckOpenedForCutting(File &file, const FileInfo &info) {
  if (CutDropsPrivileges(file, info))
    return Fail(FsError::NotSupported, EPERM);
  // OpenEntry opened it for reading alone where a cut may not follow.
  return file.writable() ? FsError::None : Fail(FsError::NotSupported, EBADF);
}

FsError CheckCuttable(File &file, const FileInfo &info) {
  if (CutDropsPrivileges(file, info))
    return Fail(FsError::NotSupported, EPERM);
  struct statvfs volume;
  if (::fstatvfs(file.handle(), &volume) == 0 && (volume.f_flag & ST_RDONLY) != 0)
    return Fail(FsError::NotSupported, EROFS);
  return FsError::None;
}

FsError CheckChangeable(File &file) {
  int flags = 0;
  if (::ioctl(file.handle(), FS_IOC_GETFLAGS, &flags) == 0 &&
      (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0)
    return Fail(FsError::Immutable, EPERM);
  return FsError::None;
}

bool StillExclusive(const File &file) { return ::fcntl(file.handle(), F_GETLEASE) == F_WRLCK; }

CutWindow::CutWindow(const File &file) : file_(file) { cutting = file.handle(); }

CutWindow::~CutWindow() {
  // A break that came meanwhile was left to the window; one that comes
  // later is let go by the handler.
  int window = file_.handle();
  if (!cutting.compare_exchange_strong(window, kNoWindow)) {
    cutting = kNoWindow;
    ::fcntl(file_.handle(), F_SETLEASE, F_UNLCK);
  }
}

void ReleaseForReplacement(File &) {}

std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(Process().id); }

std::uint32_t CurrentUser() { return ::geteuid(); }

void ReadProcessIdentity() {
  Process() = ProcessIdentity();
  OpenFilesFolderAgain();
}

} // namespace tailsnip::fs
