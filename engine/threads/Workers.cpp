#include "engine/threads/Workers.h"

#include <atomic>
#include <new>
#include <system_error>
#include <utility>

namespace tailsnip {

Workers::Workers(unsigned threads, std::size_t mostInHand)
    : threads_(threads), mostInHand_(mostInHand) {
  // Reserved now, so that a thread once started always finds its place.
  running_.reserve(threads);
}

Workers::~Workers() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
  }
  handed_.notify_all();
  for (std::thread &thread : running_)
    thread.join();
}

void Workers::start() {
  try {
    while (running_.size() < threads_)
      running_.push_back(StartThread([this] { serve(); }));
  } catch (const std::system_error &) {
  } catch (const std::bad_alloc &) {
  }
}

bool Workers::post(std::function<void()> job) {
  if (running_.empty())
    start();
  if (running_.empty())
    return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (inHand_ >= mostInHand_)
      return false;
    try {
      waiting_.push_back(std::move(job));
    } catch (const std::bad_alloc &) {
      return false;
    }
    ++inHand_;
  }
  handed_.notify_one();
  return true;
}

void Workers::forEach(std::size_t count, const std::function<void(std::size_t)> &job) {
  struct Round {
    const std::size_t count;
    const std::function<void(std::size_t)> &job;
    std::atomic<std::size_t> next{0};
  } round{count, job};
  // Captures one reference: held in place, no allocation per hand-over.
  const auto take = [&round] {
    for (std::size_t i; (i = round.next++) < round.count;)
      round.job(i);
  };
  for (std::size_t helpers = 1; helpers < count && helpers <= threads_; ++helpers)
    if (!post(take))
      break;
  take();
  wait(); // the helpers hold `round`: none may outlive it
}

void Workers::wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  returned_.wait(lock, [&] { return inHand_ == 0; });
}

void Workers::serve() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    handed_.wait(lock, [&] { return ending_ || !waiting_.empty(); });
    if (waiting_.empty())
      return;
    std::function<void()> job = std::move(waiting_.front());
    waiting_.pop_front();
    lock.unlock();
    job();
    job = nullptr; // what it held goes before it counts as returned
    lock.lock();
    if (--inHand_ == 0)
      returned_.notify_all();
  }
}

} // namespace tailsnip
