// Closing replaced entries away from the thread that commits.
#ifndef TAILSNIP_ENGINE_RUN_CLOSER_H
#define TAILSNIP_ENGINE_RUN_CLOSER_H

#include "engine/fs/FileSystem.h"
#include "engine/threads/Workers.h"

#include <memory>
#include <vector>

namespace tailsnip {

// Closes the entries whose names their copies took, on a thread of its
// own: such a close frees the entry's space, which on a journalled disk
// costs as much as the rest of a commit. Batches are handed over whole; at
// most three are in hand, one closing and two waiting, so that open files
// stay few: beyond that, where no thread can be started, or where the
// caller has nothing else to do meanwhile, it closes them itself.
class Closer {
public:
  explicit Closer(bool onThread) : onThread_(onThread) {}

  void close(std::vector<fs::File> &entries) {
    if (entries.empty())
      return;
    const auto closing = std::make_shared<std::vector<fs::File>>(std::move(entries));
    entries.clear();
    const auto closeAll = [closing] { closing->clear(); };
    if (!onThread_ || !thread_.post(closeAll))
      closeAll();
  }

private:
  const bool onThread_;
  Workers thread_{1, 3};
};

} // namespace tailsnip

#endif
