// Threads that do the work one thread hands them: the one way the engine
// runs anything on a thread of its own.
//
// The contract:
// - One thread at a time owns a Workers: it alone hands work over (post,
//   forEach), waits for it (wait) and destroys it.
// - Up to `threads` threads are started at the first hand-over and kept
//   until destruction, since starting one costs about 2 ms under Wine.
//   Where some cannot be started, those that could serve; where none
//   could, the next hand-over tries again.
// - A job handed over runs exactly once, on a worker, begun after every
//   job handed over before it; on a single worker, one after the other.
// - At most `mostInHand` jobs are handed over and not yet returned.
// - wait() returns once every job handed over has returned and let go of
//   what it held; all they did is then seen by the owner. Destruction
//   waits likewise, then ends the threads.
// - A job must not throw: nobody is there to catch it.
#ifndef TAILSNIP_ENGINE_THREADS_WORKERS_H
#define TAILSNIP_ENGINE_THREADS_WORKERS_H

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tailsnip {

class Workers {
public:
  Workers(unsigned threads, std::size_t mostInHand);
  Workers(const Workers &) = delete;
  Workers &operator=(const Workers &) = delete;
  ~Workers();

  // Hands `job` to the workers. False where none could be started, or
  // `mostInHand` jobs are in hand already: then the job is not run, and
  // the owner does that work itself.
  bool post(std::function<void()> job);

  // Calls `job(i)` once for every i below `count`, from this thread and as
  // many workers as will help, and returns once every call has returned.
  // A single call is made on this thread, and starts no worker.
  void forEach(std::size_t count, const std::function<void(std::size_t)> &job);

  // Waits until every job handed over has returned.
  void wait();

private:
  void start();
  void serve();

  const unsigned threads_;
  const std::size_t mostInHand_;
  std::mutex mutex_;
  std::condition_variable handed_;   // a job waits, or the workers are to end
  std::condition_variable returned_; // no job is in hand
  std::deque<std::function<void()>> waiting_;
  std::size_t inHand_ = 0; // handed over and not yet returned
  bool ending_ = false;
  std::vector<std::thread> running_;
};

// Starts `body` on a new thread; throws std::system_error where the system
// cannot start one. Defined in a file of its own, so that a test program
// may bring its own, which then takes this one's place.
std::thread StartThread(std::function<void()> body);

} // namespace tailsnip

#endif
