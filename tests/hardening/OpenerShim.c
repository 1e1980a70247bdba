// Has another program open a file and append a line to it just as the
// program under test replaces it (its first exchange of names) or cuts it
// (its first ftruncate), after the run's last look at the file, or just
// before the run opens the file it has looked at (its first opening
// through /proc/self/fd); or save over it as an editor does, keeping the
// old file as a backup, once the run holds it (at its first pread); or
// save over it twice, just before and just after the run's first exchange
// of names, or once just before it, the run then killed; or remove its
// name or take all access from others, once the run holds it. Loaded
// with LD_PRELOAD; set up through the environment:
//   TAILSNIP_OPENER_PATH  the file the other program opens
//   TAILSNIP_OPENER_AT    "rename", "cut", "reopen", "save" (the file
//                         renamed to its name and "~", a new one saved
//                         under its name), "twice" (saved "once", then
//                         "twice", each a new file renamed over it),
//                         "killed" (saved "saved", the run killed after
//                         its exchange), "remove" (its name removed),
//                         "narrow" (its mode made 0600), "narrow-exchange"
//                         (so, just before the first exchange) or
//                         "deny-exchange" (an access list entry denying user
//                         65534 everything, its mode unchanged, given it
//                         just before the first exchange) or
//                         "deny-write-exchange" (so, and "written" appended
//                         to its name just after that exchange), or
//                         "deny-write-exchange-killed" (so, the run then
//                         killed at its third exchange: the next file's)
// The other program is a child process. Before a rename or an opening it
// is waited for:
// the run lets go of its lease at once, and the child's line goes to the
// file as it was. Before a cut the cut goes ahead once the child waits in
// its opening (the lease shown breaking in /proc/locks), for the run to let
// go of the file: the line then follows the cut.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

typedef int (*RenameAt2Function)(int, const char *, int, const char *, unsigned);
typedef int (*TruncateFunction)(int, off_t);
typedef ssize_t (*PreadFunction)(int, void *, size_t, off_t);
typedef int (*OpenAtFunction)(int, const char *, int, ...);

static bool opened;

// dlsym gives a function's address as a void *, which POSIX allows and ISO
// C cannot cast: its bytes are copied instead.
static void Resolve(void *function, size_t size, const char *name) {
  void *found = dlsym(RTLD_NEXT, name);
  if (!found) {
    fprintf(stderr, "opener shim: no %s to forward to\n", name);
    abort();
  }
  memcpy(function, &found, size);
}

// Whether the lease on the file with inode `inode` is breaking. /proc/locks
// tells of every process's: another test's may break meanwhile.
static bool LeaseBreaking(ino_t inode) {
  char text[65536] = {0};
  const int locks = open("/proc/locks", O_RDONLY | O_CLOEXEC);
  if (locks < 0)
    return false;
  const ssize_t got = read(locks, text, sizeof text - 1);
  close(locks);
  char file[32];
  snprintf(file, sizeof file, ":%llu ", (unsigned long long)inode);
  for (char *line = got > 0 ? text : NULL; line && *line;) {
    char *end = strchr(line, '\n');
    if (end)
      *end = '\0';
    if (strstr(line, "BREAKING") && strstr(line, file))
      return true;
    line = end ? end + 1 : NULL;
  }
  return false;
}

// The file the other program acts on, where `at` is the moment asked for
// and it has not acted yet (from now on it has); NULL otherwise.
static const char *ActingNow(const char *at) {
  const char *path = getenv("TAILSNIP_OPENER_PATH");
  const char *moment = getenv("TAILSNIP_OPENER_AT");
  if (opened || !path || !moment || strcmp(moment, at) != 0)
    return NULL;
  opened = true;
  return path;
}

// Starts the other program, if `at` is the moment asked for; returns it.
static pid_t StartOpener(const char *at) {
  const char *path = ActingNow(at);
  if (!path)
    return -1;
  const pid_t child = fork();
  if (child == 0) {
    const int file = open(path, O_WRONLY | O_APPEND | O_CLOEXEC);
    _exit(file >= 0 && write(file, "opener\n", 7) == 7 ? 0 : 1);
  }
  return child;
}

// An editor's save that keeps no backup: a new file renamed over the old.
static void Save(const char *path, const char *text) {
  char saved[4096];
  snprintf(saved, sizeof saved, "%s.saving", path);
  const int file = open(saved, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  const size_t size = strlen(text);
  if (file < 0 || write(file, text, size) != (ssize_t)size || close(file) != 0 ||
      rename(saved, path) != 0)
    perror("opener shim: save");
}

// setfacl -m u:65534:--- by name on a file of mode 0644, as the kernel
// takes it: a version, then entries sorted by tag (user, named user,
// group, mask, other).
static void DenyNobody(const char *path) {
  struct {
    uint16_t tag, permissions;
    uint32_t id;
  } entries[] = {{0x01, 6, ~0u}, {0x02, 0, 65534}, {0x04, 4, ~0u}, {0x10, 4, ~0u}, {0x20, 4, ~0u}};
  char value[sizeof(uint32_t) + sizeof entries];
  const uint32_t version = 2;
  memcpy(value, &version, sizeof version);
  memcpy(value + sizeof version, entries, sizeof entries);
  if (setxattr(path, "system.posix_acl_access", value, sizeof value, 0) != 0)
    perror("opener shim: setxattr");
}

int renameat2(int fromAt, const char *from, int toAt, const char *to, unsigned flags) {
  static RenameAt2Function real;
  if (!real)
    Resolve(&real, sizeof real, "renameat2");
  const char *path = (flags & RENAME_EXCHANGE) ? ActingNow("twice") : NULL;
  if (path) {
    Save(path, "once\n");
    const int exchanged = real(fromAt, from, toAt, to, flags);
    Save(path, "twice\n");
    return exchanged;
  }
  path = (flags & RENAME_EXCHANGE) ? ActingNow("narrow-exchange") : NULL;
  if (path && chmod(path, 0600) != 0)
    perror("opener shim: chmod");
  path = (flags & RENAME_EXCHANGE) ? ActingNow("deny-exchange") : NULL;
  if (path)
    DenyNobody(path);
  static int exchanges;
  static bool killAtThird;
  if ((flags & RENAME_EXCHANGE) && ++exchanges == 3 && killAtThird)
    raise(SIGKILL);
  path = (flags & RENAME_EXCHANGE) ? ActingNow("deny-write-exchange") : NULL;
  if (!path && (flags & RENAME_EXCHANGE)) {
    path = ActingNow("deny-write-exchange-killed");
    killAtThird |= path != NULL;
  }
  if (path) {
    DenyNobody(path);
    const int exchanged = real(fromAt, from, toAt, to, flags);
    const int file = open(path, O_WRONLY | O_APPEND | O_CLOEXEC);
    if (file < 0 || write(file, "written\n", 8) != 8 || close(file) != 0)
      perror("opener shim: write");
    return exchanged;
  }
  path = (flags & RENAME_EXCHANGE) ? ActingNow("killed") : NULL;
  if (path) {
    Save(path, "saved\n");
    real(fromAt, from, toAt, to, flags);
    raise(SIGKILL);
  }
  const pid_t child = (flags & RENAME_EXCHANGE) ? StartOpener("rename") : -1;
  if (child > 0)
    waitpid(child, NULL, 0);
  return real(fromAt, from, toAt, to, flags);
}

// An opening through /proc/self/fd names a descriptor by its number alone.
static bool NamesDescriptor(const char *path) {
  return path[0] != '\0' && strspn(path, "0123456789") == strlen(path);
}

#define DEFINE_OPENAT(name)                                                                        \
  int name(int at, const char *path, int flags, ...) {                                             \
    static OpenAtFunction real;                                                                    \
    if (!real)                                                                                     \
      Resolve(&real, sizeof real, #name);                                                          \
    mode_t mode = 0;                                                                               \
    if (flags & (O_CREAT | O_TMPFILE)) {                                                           \
      va_list arguments;                                                                           \
      va_start(arguments, flags);                                                                  \
      mode = va_arg(arguments, mode_t);                                                            \
      va_end(arguments);                                                                           \
    }                                                                                              \
    const pid_t child = NamesDescriptor(path) ? StartOpener("reopen") : -1;                        \
    if (child > 0)                                                                                 \
      waitpid(child, NULL, 0);                                                                     \
    return real(at, path, flags, mode);                                                            \
  }
DEFINE_OPENAT(openat)
DEFINE_OPENAT(openat64)

// The editor's save: a rename opens nothing, and breaks no lease.
static void SaveOver(void) {
  const char *path = ActingNow("save");
  if (!path)
    return;
  char backup[4096], saved[4096];
  snprintf(backup, sizeof backup, "%s~", path);
  snprintf(saved, sizeof saved, "%s.saving", path);
  const int file = open(saved, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (file < 0 || write(file, "saved\n", 6) != 6 || close(file) != 0 || rename(path, backup) != 0 ||
      rename(saved, path) != 0)
    perror("opener shim: save");
}

// Another program's removal of the name: it opens nothing either.
static void RemoveName(void) {
  const char *path = ActingNow("remove");
  if (path && unlink(path) != 0)
    perror("opener shim: unlink");
}

// The owner's chmod: it opens nothing, and breaks no lease.
static void Narrow(void) {
  const char *path = ActingNow("narrow");
  if (path && chmod(path, 0600) != 0)
    perror("opener shim: chmod");
}

#define DEFINE_PREAD(name)                                                                         \
  ssize_t name(int fd, void *buffer, size_t size, off_t offset) {                                  \
    static PreadFunction real;                                                                     \
    if (!real)                                                                                     \
      Resolve(&real, sizeof real, #name);                                                          \
    SaveOver();                                                                                    \
    RemoveName();                                                                                  \
    Narrow();                                                                                      \
    return real(fd, buffer, size, offset);                                                         \
  }
DEFINE_PREAD(pread)
DEFINE_PREAD(pread64)

// The opener at the cut waits for the run to let go of the file, after the
// cut: the program waits for it in turn as it ends, so that the line is
// written once it has.
static pid_t cutOpener = -1;

__attribute__((destructor)) static void WaitForCutOpener(void) {
  if (cutOpener > 0)
    waitpid(cutOpener, NULL, 0);
}

int ftruncate(int fd, off_t length) {
  static TruncateFunction real;
  if (!real)
    Resolve(&real, sizeof real, "ftruncate");
  // The failsafe: five seconds at most, should the opening never wait.
  const struct timespec tick = {0, 10 * 1000 * 1000};
  struct stat file;
  const pid_t child = fstat(fd, &file) == 0 ? StartOpener("cut") : -1;
  if (child > 0) {
    cutOpener = child;
    for (int ticks = 0; ticks < 500 && !LeaseBreaking(file.st_ino); ++ticks)
      nanosleep(&tick, NULL);
  }
  return real(fd, length);
}
