// Handing written copies from the thread that makes them to the one that
// commits them, a batch at a time and in list order.
#ifndef TAILSNIP_ENGINE_RUN_BATCHQUEUE_H
#define TAILSNIP_ENGINE_RUN_BATCHQUEUE_H

#include "engine/FolderPath.h"
#include "engine/Outcome.h"
#include "engine/trim/Committer.h"

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

namespace tailsnip {

// An entry on its way from being read to being told of.
struct Slot {
  FolderPath entry;
  std::size_t index = 0;   // the entry's place in the list
  bool doneBefore = false; // a stopped run's entry that it had handled
  Shortening shortening;
};

// Hands batches of slots from the thread that reads and writes copies to
// the one that commits them, in order: one batch waits while another is
// committed and a third is being made.
class BatchQueue {
public:
  // Waits for room; false once the taker has gone, and the batch is dropped.
  bool push(std::vector<Slot> batch) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !waiting_ || abandoned_; });
    if (abandoned_)
      return false;
    batch_ = std::move(batch);
    waiting_ = true;
    ++pushed_;
    changed_.notify_all();
    return true;
  }

  // Waits until every batch pushed has been committed; false once the taker
  // has gone.
  bool waitUntilCommitted() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return committed_ == pushed_ || abandoned_; });
    return !abandoned_;
  }

  // Tells that a batch taken has been committed.
  void noteCommitted() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++committed_;
    changed_.notify_all();
  }

  // Waits for a batch; false once the queue is closed and empty.
  bool pop(std::vector<Slot> &batch) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return waiting_ || closed_; });
    if (!waiting_)
      return false;
    batch = std::move(batch_);
    waiting_ = false;
    changed_.notify_all();
    return true;
  }

  void close() { set(closed_); }
  void abandon() { set(abandoned_); }

private:
  void set(bool &flag) {
    std::lock_guard<std::mutex> lock(mutex_);
    flag = true;
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Slot> batch_;
  std::size_t pushed_ = 0;
  std::size_t committed_ = 0;
  bool waiting_ = false;
  bool closed_ = false;
  bool abandoned_ = false;
};

} // namespace tailsnip

#endif
