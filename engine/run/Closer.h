// Closing replaced entries away from the thread that commits.
#ifndef TAILSNIP_ENGINE_RUN_CLOSER_H
#define TAILSNIP_ENGINE_RUN_CLOSER_H

#include "engine/fs/FileSystem.h"

#include <algorithm>
#include <condition_variable>
#include <iterator>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace tailsnip {

// Closes the entries whose names their copies took, on a thread of its
// own: such a close frees the entry's space, which on a journalled disk
// costs as much as the rest of a commit. Batches are handed over whole; at
// most `waiting` entries wait, so that open files stay few: beyond that, or
// where no thread can be started, the caller closes them itself.
class Closer {
public:
  explicit Closer(std::size_t waiting) : mostWaiting_(waiting) {}
  Closer(const Closer &) = delete;
  Closer &operator=(const Closer &) = delete;
  ~Closer() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable())
      thread_.join();
  }

  void close(std::vector<fs::File> &entries) {
    if (entries.empty() || (!thread_.joinable() && !start()))
      return entries.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    if (waiting_.size() + entries.size() > mostWaiting_)
      return entries.clear();
    std::move(entries.begin(), entries.end(), std::back_inserter(waiting_));
    entries.clear();
    changed_.notify_all();
  }

private:
  bool start() {
    try {
      thread_ = std::thread([this] { serve(); });
      return true;
    } catch (const std::system_error &) {
      return false;
    }
  }

  void serve() {
    std::vector<fs::File> closing;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return stopping_ || !waiting_.empty(); });
      if (waiting_.empty())
        return;
      closing.swap(waiting_);
      lock.unlock();
      closing.clear();
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  const std::size_t mostWaiting_;
  std::vector<fs::File> waiting_;
  bool stopping_ = false;
  std::thread thread_;
};

} // namespace tailsnip

#endif
