// Flushing many copies at once where no flush of a whole volume exists.
#ifndef TAILSNIP_ENGINE_RUN_FLUSHTHREADS_H
#define TAILSNIP_ENGINE_RUN_FLUSHTHREADS_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace tailsnip {

// Threads that flush copies each on its own, several at once: where no
// flush of a whole volume is to be had, a disk still takes many flushes
// together faster than one after another. Started at the first need and
// kept until the run ends, since starting a thread costs milliseconds in
// Wine.
class FlushThreads {
public:
  FlushThreads() = default;
  FlushThreads(const FlushThreads &) = delete;
  FlushThreads &operator=(const FlushThreads &) = delete;
  ~FlushThreads() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    started_.notify_all();
    for (std::thread &helper : helpers_)
      helper.join();
  }

  // Calls `flush(i)` for every i below `count`, from this thread and the
  // helpers at once, and returns when every call has. Where no helper can
  // be started, this thread makes every call.
  void forEach(std::size_t count, const std::function<void(std::size_t)> &flush) {
    if (count == 0)
      return;
    if (count > 1 && helpers_.empty())
      start();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      task_ = &flush;
      count_ = count;
      next_ = 0;
      busy_ = helpers_.size();
      ++round_;
    }
    started_.notify_all();
    take(flush, count);
    std::unique_lock<std::mutex> lock(mutex_);
    finished_.wait(lock, [&] { return busy_ == 0; });
  }

private:
  static constexpr unsigned kHelpers = 7; // eight flushes in flight, measured best

  void start() {
    try {
      while (helpers_.size() < kHelpers)
        helpers_.emplace_back([this] { serve(); });
    } catch (const std::system_error &) {
      // The helpers started so far serve; without any, this thread does.
    }
  }

  void take(const std::function<void(std::size_t)> &flush, std::size_t count) {
    for (std::size_t i; (i = next_++) < count;)
      flush(i);
  }

  void serve() {
    std::uint64_t served = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      started_.wait(lock, [&] { return stopping_ || round_ != served; });
      if (stopping_)
        return;
      served = round_;
      const std::function<void(std::size_t)> &flush = *task_;
      const std::size_t count = count_;
      lock.unlock();
      take(flush, count);
      lock.lock();
      if (--busy_ == 0)
        finished_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable started_;
  std::condition_variable finished_;
  std::vector<std::thread> helpers_;
  const std::function<void(std::size_t)> *task_ = nullptr;
  std::size_t count_ = 0;
  std::atomic<std::size_t> next_{0};
  std::size_t busy_ = 0;
  std::uint64_t round_ = 0;
  bool stopping_ = false;
};

} // namespace tailsnip

#endif
