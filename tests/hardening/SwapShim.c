// Swaps an entry for a named pipe just before the program under test first
// opens it, as another user racing a run could between its look at the
// entry and its opening. Loaded with LD_PRELOAD; set up through the
// environment:
//   TAILSNIP_SWAP_NAME  the entry's name, its last component
//   TAILSNIP_SWAP_WITH  the path of the pipe renamed over it
// Each opening that yields the pipe itself, not a mere handle on it
// (O_PATH), is told on standard error: "swap shim: opened a pipe".
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

typedef int (*OpenFunction)(const char *, int, ...);
typedef int (*OpenAtFunction)(int, const char *, int, ...);

static bool swapped;

// dlsym gives a function's address as a void *, which POSIX allows and ISO
// C cannot cast: its bytes are copied instead.
static void Resolve(void *function, size_t size, const char *name) {
  void *found = dlsym(RTLD_NEXT, name);
  if (!found) {
    fprintf(stderr, "swap shim: no %s to forward to\n", name);
    abort();
  }
  memcpy(function, &found, size);
}

static void SwapIfNamed(int dir, const char *path) {
  const char *name = getenv("TAILSNIP_SWAP_NAME");
  const char *with = getenv("TAILSNIP_SWAP_WITH");
  const char *last = strrchr(path, '/');
  last = last ? last + 1 : path;
  if (swapped || !name || !with || strcmp(last, name) != 0)
    return;
  swapped = true;
  if (renameat(AT_FDCWD, with, dir, path) != 0)
    perror("swap shim: rename");
}

static int TellIfPipe(int fd, int flags) {
  struct stat status;
  if (fd >= 0 && !(flags & O_PATH) && fstat(fd, &status) == 0 && S_ISFIFO(status.st_mode))
    fputs("swap shim: opened a pipe\n", stderr);
  return fd;
}

static mode_t ModeOf(int flags, va_list args) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, mode_t) : 0;
}

#define DEFINE_OPEN(name)                                                                          \
  int name(const char *path, int flags, ...) {                                                     \
    va_list args;                                                                                  \
    va_start(args, flags);                                                                         \
    const mode_t mode = ModeOf(flags, args);                                                       \
    va_end(args);                                                                                  \
    SwapIfNamed(AT_FDCWD, path);                                                                   \
    OpenFunction real;                                                                             \
    Resolve(&real, sizeof real, #name);                                                            \
    return TellIfPipe(real(path, flags, mode), flags);                                             \
  }
DEFINE_OPEN(open)
DEFINE_OPEN(open64)

#define DEFINE_OPENAT(name)                                                                        \
  int name(int dir, const char *path, int flags, ...) {                                            \
    va_list args;                                                                                  \
    va_start(args, flags);                                                                         \
    const mode_t mode = ModeOf(flags, args);                                                       \
    va_end(args);                                                                                  \
    SwapIfNamed(dir, path);                                                                        \
    OpenAtFunction real;                                                                           \
    Resolve(&real, sizeof real, #name);                                                            \
    return TellIfPipe(real(dir, path, flags, mode), flags);                                        \
  }
DEFINE_OPENAT(openat)
DEFINE_OPENAT(openat64)
