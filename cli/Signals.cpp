#include "cli/Signals.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace tailsnip::cli {

namespace {

// Lock-free, so safe in a signal handler, and read by the run's threads.
std::atomic<int> caught{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void NoteStop(int signal) {
  int none = 0;
  caught.compare_exchange_strong(none, signal);
}

// A stop by any of them leaves what an interruption by Ctrl-C leaves: no copy,
// and a notice saying how to finish. SIGPIPE comes when a reader such as
// `head` has gone; the run stops as for the others.
const int kStopSignals[] = {
#ifdef _WIN32
    SIGINT, SIGTERM, SIGBREAK, // SIGBREAK: Ctrl-Break
#else
    SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE,
#endif
};

} // namespace

void CatchStopSignals() {
  for (const int signal : kStopSignals) {
#ifdef _WIN32
    if (std::signal(signal, NoteStop) == SIG_IGN)
      std::signal(signal, SIG_IGN);
#else
    struct sigaction previous {};
    if (::sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
      continue;
    struct sigaction action {};
    action.sa_handler = NoteStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART; // a stop waits for the entry; no call may fail for it
    ::sigaction(signal, &action, nullptr);
#endif
  }
}

void LetWritesPastTheSizeLimitFail() {
#ifndef _WIN32
  std::signal(SIGXFSZ, SIG_IGN);
#endif
}

int StopSignal() { return caught; }

bool StoppedByBrokenPipe() {
#ifdef _WIN32
  return false;
#else
  return caught == SIGPIPE;
#endif
}

void EndBySignal(int signal) {
  std::fflush(stderr);
#ifndef _WIN32 // Windows ends a raised SIGINT with status 3
  // The run has ended in order: a core dump, which SIGQUIT would write in
  // the current directory, would be a file left behind for nothing.
  const rlimit noCore{0, 0};
  ::setrlimit(RLIMIT_CORE, &noCore);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
#endif
  std::_Exit(128 + signal);
}

} // namespace tailsnip::cli
