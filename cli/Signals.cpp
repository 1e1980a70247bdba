#include "cli/Signals.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace tailsnip::cli {

namespace {

// Lock-free, so safe in a signal handler, and read by the run's threads.
std::atomic<int> caught{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void NoteStop(int signal) {
  int none = 0;
  caught.compare_exchange_strong(none, signal);
}

const int kStopSignals[] = {
    SIGINT,
    SIGTERM,
#ifdef SIGHUP
    SIGHUP,
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

int StopSignal() { return caught; }

void EndBySignal(int signal) {
  std::fflush(stderr);
#ifndef _WIN32 // Windows ends a raised SIGINT with status 3
  std::signal(signal, SIG_DFL);
  std::raise(signal);
#endif
  std::_Exit(128 + signal);
}

} // namespace tailsnip::cli
