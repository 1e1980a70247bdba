// Makes one kind of file operation fail, for the fault-injection tests.
// Loaded with LD_PRELOAD into the program under test; set up through the
// environment:
//   TAILSNIP_FAULT_CALL     the operation: open-read, open-write, fstat, read,
//                           pread, write, copy-range (copy_file_range),
//                           fchmod, fsync, syncfs, close, rename (renameat2
//                           too), link (linkat), unlink, cut (ftruncate),
//                           opendir or readdir
//   TAILSNIP_FAULT_AT       which call of it fails, counting from 1
//   TAILSNIP_FAULT_PERSIST  "1": every later call fails as well
//   TAILSNIP_FAULT_ERRNO    the error it fails with; 0 makes read, pread,
//                           write and copy_file_range move only half the
//                           bytes asked for instead; -1 makes read, pread
//                           and copy_file_range find the file's end, as
//                           where another program cut it shorter
//   TAILSNIP_FAULT_ALWAYS   operations that fail on every call, with EIO
//                           (names separated by commas)
//   TAILSNIP_FAULT_LOG      where to write "<calls> <faults injected>" at exit
// Calls made inside the C library (the loader, opendir, stdio) are not
// counted, so the counts are the program's own.
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum Call {
  kOpenRead,
  kOpenWrite,
  kFstat,
  kRead,
  kPread,
  kWrite,
  kCopyFileRange,
  kFchmod,
  kFsync,
  kSyncfs,
  kClose,
  kRename,
  kLink,
  kUnlink,
  kOpendir,
  kReaddir,
  kCut,
  kCallKinds,
  kNoCall = kCallKinds,
};

static const char *const kCallNames[kCallKinds] = {
    "open-read",  "open-write", "fstat",   "read",    "pread", "write",
    "copy-range", "fchmod",     "fsync",   "syncfs",  "close", "rename",
    "link",       "unlink",     "opendir", "readdir", "cut"};

enum Verdict { kProceed, kFail, kShorten, kEnd };

static enum Call target = kNoCall;
static bool always[kCallKinds];
static long failAt;
static bool persist;
static int faultError = EIO;
static long calls;
static long injected;

static enum Call CallNamed(const char *name) {
  if (name)
    for (int call = 0; call < kCallKinds; ++call)
      if (strcmp(name, kCallNames[call]) == 0)
        return (enum Call)call;
  return kNoCall;
}

__attribute__((constructor)) static void ReadSettings(void) {
  target = CallNamed(getenv("TAILSNIP_FAULT_CALL"));
  const char *alwaysSetting = getenv("TAILSNIP_FAULT_ALWAYS");
  for (int call = 0; alwaysSetting && call < kCallKinds; ++call) {
    const size_t length = strlen(kCallNames[call]);
    for (const char *at = strstr(alwaysSetting, kCallNames[call]); at;
         at = strstr(at + 1, kCallNames[call]))
      if ((at == alwaysSetting || at[-1] == ',') && (at[length] == ',' || at[length] == '\0'))
        always[call] = true;
  }
  const char *at = getenv("TAILSNIP_FAULT_AT");
  failAt = at ? atol(at) : 0;
  const char *persistSetting = getenv("TAILSNIP_FAULT_PERSIST");
  persist = persistSetting && strcmp(persistSetting, "1") == 0;
  const char *error = getenv("TAILSNIP_FAULT_ERRNO");
  if (error)
    faultError = atoi(error);
}

// Looks up, into the function pointer at `real`, the definition of `name`
// that this library hides. dlsym gives a function's address as a void *,
// which POSIX allows and ISO C cannot cast: its bytes are copied instead.
static void Resolve(void *real, const char *name) {
  void *function = dlsym(RTLD_NEXT, name);
  if (!function) {
    fprintf(stderr, "fault shim: no %s to forward to\n", name);
    abort();
  }
  memcpy(real, &function, sizeof function);
}

#define REAL(name) (real_##name ? real_##name : (Resolve(&real_##name, #name), real_##name))

typedef int (*OpenFunction)(const char *, int, ...);
typedef int (*OpenAtFunction)(int, const char *, int, ...);
typedef int (*FstatFunction)(int, struct stat *);
typedef int (*Fstat64Function)(int, struct stat64 *);
typedef ssize_t (*ReadFunction)(int, void *, size_t);
typedef ssize_t (*PreadFunction)(int, void *, size_t, off_t);
typedef ssize_t (*WriteFunction)(int, const void *, size_t);
typedef ssize_t (*CopyFileRangeFunction)(int, off64_t *, int, off64_t *, size_t, unsigned);
typedef int (*FchmodFunction)(int, mode_t);
typedef int (*FtruncateFunction)(int, off_t);
typedef int (*FdFunction)(int);
typedef int (*RenameFunction)(const char *, const char *);
typedef int (*RenameAtFunction)(int, const char *, int, const char *);
typedef int (*RenameAt2Function)(int, const char *, int, const char *, unsigned);
typedef int (*LinkAtFunction)(int, const char *, int, const char *, int);
typedef int (*UnlinkFunction)(const char *);
typedef int (*UnlinkAtFunction)(int, const char *, int);
typedef DIR *(*OpendirFunction)(const char *);
typedef struct dirent *(*ReaddirFunction)(DIR *);
typedef struct dirent64 *(*Readdir64Function)(DIR *);

static OpenFunction real_open, real_open64;
static OpenAtFunction real_openat, real_openat64;
static FstatFunction real_fstat;
static Fstat64Function real_fstat64;
static ReadFunction real_read;
static PreadFunction real_pread, real_pread64;
static WriteFunction real_write;
static CopyFileRangeFunction real_copy_file_range;
static FchmodFunction real_fchmod;
static FtruncateFunction real_ftruncate, real_ftruncate64;
static FdFunction real_fsync, real_syncfs, real_close;
static RenameFunction real_rename;
static RenameAtFunction real_renameat;
static RenameAt2Function real_renameat2;
static LinkAtFunction real_linkat;
static UnlinkFunction real_unlink;
static UnlinkAtFunction real_unlinkat;
static OpendirFunction real_opendir;
static ReaddirFunction real_readdir;
static Readdir64Function real_readdir64;

__attribute__((destructor)) static void WriteLog(void) {
  const char *path = getenv("TAILSNIP_FAULT_LOG");
  if (!path)
    return;
  char line[64];
  const int length = snprintf(line, sizeof line, "%ld %ld\n", calls, injected);
  const int fd = REAL(open)(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0)
    return;
  REAL(write)(fd, line, (size_t)length);
  REAL(close)(fd);
}

static enum Verdict Judge(enum Call call) {
  if (always[call]) {
    errno = EIO;
    return kFail;
  }
  if (call != target)
    return kProceed;
  ++calls;
  if (calls != failAt && !(persist && calls > failAt))
    return kProceed;
  ++injected;
  if (faultError == 0)
    return kShorten;
  if (faultError < 0)
    return kEnd;
  errno = faultError;
  return kFail;
}

static enum Call OpenCall(int flags) {
  return (flags & O_ACCMODE) != O_RDONLY || (flags & O_CREAT) ? kOpenWrite : kOpenRead;
}

static bool NeedsMode(int flags) { return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE; }

#define DEFINE_OPEN(name)                                                                          \
  int name(const char *path, int flags, ...) {                                                     \
    mode_t mode = 0;                                                                               \
    if (NeedsMode(flags)) {                                                                        \
      va_list args;                                                                                \
      va_start(args, flags);                                                                       \
      mode = va_arg(args, mode_t);                                                                 \
      va_end(args);                                                                                \
    }                                                                                              \
    if (Judge(OpenCall(flags)) == kFail)                                                           \
      return -1;                                                                                   \
    return REAL(name)(path, flags, mode);                                                          \
  }
DEFINE_OPEN(open)
DEFINE_OPEN(open64)

#define DEFINE_OPENAT(name)                                                                        \
  int name(int dir, const char *path, int flags, ...) {                                            \
    mode_t mode = 0;                                                                               \
    if (NeedsMode(flags)) {                                                                        \
      va_list args;                                                                                \
      va_start(args, flags);                                                                       \
      mode = va_arg(args, mode_t);                                                                 \
      va_end(args);                                                                                \
    }                                                                                              \
    if (Judge(OpenCall(flags)) == kFail)                                                           \
      return -1;                                                                                   \
    return REAL(name)(dir, path, flags, mode);                                                     \
  }
DEFINE_OPENAT(openat)
DEFINE_OPENAT(openat64)

int fstat(int fd, struct stat *status) {
  if (Judge(kFstat) == kFail)
    return -1;
  return REAL(fstat)(fd, status);
}

int fstat64(int fd, struct stat64 *status) {
  if (Judge(kFstat) == kFail)
    return -1;
  return REAL(fstat64)(fd, status);
}

// A short transfer moves half the bytes (at least one): legal for any
// read or write, and callers must carry on from where it stopped.
static size_t Half(size_t count) { return count > 1 ? count / 2 : count; }

ssize_t read(int fd, void *buffer, size_t count) {
  const enum Verdict verdict = Judge(kRead);
  if (verdict == kFail)
    return -1;
  if (verdict == kEnd)
    return 0;
  return REAL(read)(fd, buffer, verdict == kShorten ? Half(count) : count);
}

#define DEFINE_PREAD(name)                                                                         \
  ssize_t name(int fd, void *buffer, size_t count, off_t offset) {                                 \
    const enum Verdict verdict = Judge(kPread);                                                    \
    if (verdict == kFail)                                                                          \
      return -1;                                                                                   \
    if (verdict == kEnd)                                                                           \
      return 0;                                                                                    \
    return REAL(name)(fd, buffer, verdict == kShorten ? Half(count) : count, offset);              \
  }
DEFINE_PREAD(pread)
DEFINE_PREAD(pread64)

ssize_t write(int fd, const void *buffer, size_t count) {
  const enum Verdict verdict = Judge(kWrite);
  if (verdict == kFail)
    return -1;
  return REAL(write)(fd, buffer, verdict != kProceed ? Half(count) : count);
}

ssize_t copy_file_range(int from, off64_t *fromOffset, int to, off64_t *toOffset, size_t count,
                        unsigned flags) {
  const enum Verdict verdict = Judge(kCopyFileRange);
  if (verdict == kFail)
    return -1;
  if (verdict == kEnd)
    return 0;
  return REAL(copy_file_range)(from, fromOffset, to, toOffset,
                               verdict == kShorten ? Half(count) : count, flags);
}

int fchmod(int fd, mode_t mode) {
  if (Judge(kFchmod) == kFail)
    return -1;
  return REAL(fchmod)(fd, mode);
}

#define DEFINE_FTRUNCATE(name)                                                                     \
  int name(int fd, off_t length) {                                                                 \
    if (Judge(kCut) == kFail)                                                                      \
      return -1;                                                                                   \
    return REAL(name)(fd, length);                                                                 \
  }
DEFINE_FTRUNCATE(ftruncate)
DEFINE_FTRUNCATE(ftruncate64)

int fsync(int fd) {
  if (Judge(kFsync) == kFail)
    return -1;
  return REAL(fsync)(fd);
}

int syncfs(int fd) {
  if (Judge(kSyncfs) == kFail)
    return -1;
  return REAL(syncfs)(fd);
}

// A failing close still releases the descriptor, as the kernel does.
int close(int fd) {
  const enum Verdict verdict = Judge(kClose);
  const int error = errno;
  const int result = REAL(close)(fd);
  if (verdict != kFail)
    return result;
  errno = error;
  return -1;
}

int rename(const char *from, const char *to) {
  if (Judge(kRename) == kFail)
    return -1;
  return REAL(rename)(from, to);
}

int renameat(int fromDir, const char *from, int toDir, const char *to) {
  if (Judge(kRename) == kFail)
    return -1;
  return REAL(renameat)(fromDir, from, toDir, to);
}

int renameat2(int fromDir, const char *from, int toDir, const char *to, unsigned flags) {
  if (Judge(kRename) == kFail)
    return -1;
  return REAL(renameat2)(fromDir, from, toDir, to, flags);
}

int linkat(int fromDir, const char *from, int toDir, const char *to, int flags) {
  if (Judge(kLink) == kFail)
    return -1;
  return REAL(linkat)(fromDir, from, toDir, to, flags);
}

int unlinkat(int dir, const char *path, int flags) {
  if (Judge(kUnlink) == kFail)
    return -1;
  return REAL(unlinkat)(dir, path, flags);
}

int unlink(const char *path) {
  if (Judge(kUnlink) == kFail)
    return -1;
  return REAL(unlink)(path);
}

DIR *opendir(const char *path) {
  if (Judge(kOpendir) == kFail)
    return NULL;
  return REAL(opendir)(path);
}

struct dirent *readdir(DIR *folder) {
  if (Judge(kReaddir) == kFail)
    return NULL;
  return REAL(readdir)(folder);
}

struct dirent64 *readdir64(DIR *folder) {
  if (Judge(kReaddir) == kFail)
    return NULL;
  return REAL(readdir64)(folder);
}
