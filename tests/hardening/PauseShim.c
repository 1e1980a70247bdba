// Pauses every thread but the process's first for a moment after each
// mutex it unlocks, as a busy machine's scheduler may: the windows between
// two locked sections, where a race between threads lies, open wide.
// Loaded with LD_PRELOAD into the program under test.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

typedef int (*UnlockFunction)(pthread_mutex_t *);

static UnlockFunction real_unlock;

// Found before any thread but the first can unlock.
__attribute__((constructor)) static void FindRealUnlock(void) {
  // dlsym gives a function's address as a void *, which POSIX allows and
  // ISO C cannot cast: its bytes are copied instead.
  void *function = dlsym(RTLD_NEXT, "pthread_mutex_unlock");
  memcpy(&real_unlock, &function, sizeof function);
  if (!real_unlock) {
    fprintf(stderr, "pause shim: no pthread_mutex_unlock to forward to\n");
    abort();
  }
}

int pthread_mutex_unlock(pthread_mutex_t *mutex) {
  const int result = real_unlock(mutex);
  if (syscall(SYS_gettid) != getpid()) {
    const struct timespec pause = {0, 300 * 1000};
    nanosleep(&pause, NULL);
  }
  return result;
}
