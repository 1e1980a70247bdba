// flush-ways DIR [FILES] [KIB]: how long making FILES new files of KIB KiB
// in DIR durable takes, each way a run could do it: one flush after the
// other, the same flushes issued from several threads at once, and one flush
// of the whole volume. Each way gets files of its own, written just before
// it is timed and removed after; the ways take turns, three rounds, and the
// best round of each is printed. Built for Windows too, where it shows what
// FlushFileBuffers costs from one thread and from several.
#include "engine/fs/FileSystem.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace tailsnip;
using Clock = std::chrono::steady_clock;

struct Way {
  const char *name;
  unsigned threads; // 0: one flush of the volume
  double best = 1e9;
};

// Flushes `files` `threads` ways and returns the seconds it took, negative
// on failure. Threads are started before the clock is: a run would keep
// its own for the whole run, and starting one costs milliseconds in Wine.
double TimeFlush(std::vector<fs::File> &files, unsigned threads) {
  if (threads == 0) {
    const Clock::time_point start = Clock::now();
    const bool flushed = fs::FlushVolume(files.front()) == fs::FsError::None;
    return flushed ? std::chrono::duration<double>(Clock::now() - start).count() : -1;
  }
  std::atomic<bool> go{false};
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  auto work = [&] {
    while (!go)
      std::this_thread::yield();
    for (std::size_t i; (i = next++) < files.size();)
      if (fs::FlushToDisk(files[i]) != fs::FsError::None)
        failed = true;
  };
  std::vector<std::thread> helpers;
  for (unsigned t = 1; t < threads; ++t)
    helpers.emplace_back(work);
  const Clock::time_point start = Clock::now();
  go = true;
  work();
  for (std::thread &helper : helpers)
    helper.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return failed ? -1 : seconds;
}

// Writes `count` files in `folder`, times flushing them `threads` ways, and
// removes them, whatever happened. Negative when something failed.
double TimeOneWay(const fs::Folder &folder, const FolderPath &root, std::size_t count,
                  const std::string &content, unsigned threads) {
  std::vector<fs::File> files(count);
  std::vector<FolderPath> names;
  bool written = true;
  for (std::size_t i = 0; i < count && written; ++i) {
    const FolderPath name = JoinPath(root, "flush-ways-" + std::to_string(i) + ".tmp");
    written = fs::CreateNew(folder, name, folder.info, files[i]) == fs::FsError::None;
    if (written)
      names.push_back(name);
    written =
        written && fs::WriteAll(files[i], content.data(), content.size()) == fs::FsError::None;
  }
  const double seconds = written ? TimeFlush(files, threads) : -1;
  for (std::size_t i = 0; i < names.size(); ++i) {
    fs::Close(files[i]);
    if (fs::Remove(folder.handle, names[i]) != fs::FsError::None)
      std::fprintf(stderr, "flush-ways: cannot remove %s\n", names[i].c_str());
  }
  return seconds;
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 2 || argc > 4) {
    std::fprintf(stderr, "usage: flush-ways DIR [FILES] [KIB]\n");
    return 2;
  }
  const FolderPath root = argv[1];
  const std::size_t count = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 256;
  const std::size_t kib = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 4;
  fs::Folder folder;
  if (count == 0 || fs::OpenFolder(root, folder) != fs::FsError::None) {
    std::fprintf(stderr, "flush-ways: cannot use %s\n", root.c_str());
    return 1;
  }
  const std::string content(kib * 1024, 'x');
  std::vector<Way> ways = {{"one flush after the other", 1},
                           {"from 2 threads", 2},
                           {"from 4 threads", 4},
                           {"from 8 threads", 8},
                           {"from 16 threads", 16},
                           {"one flush of the volume", 0}};
  for (int round = 0; round < 3; ++round)
    for (Way &way : ways) {
      const double seconds = TimeOneWay(folder, root, count, content, way.threads);
      if (seconds < 0 && way.threads == 0) {
        way.best = -1; // the system has no such flush here
        continue;
      }
      if (seconds < 0) {
        std::fprintf(stderr, "flush-ways: %s failed in %s\n", way.name, root.c_str());
        return 1;
      }
      way.best = std::min(way.best, seconds);
    }
  std::printf("%zu files of %zu KiB, best of 3 rounds:\n", count, kib);
  for (const Way &way : ways)
    if (way.best < 0)
      std::printf("  %-28s not available here\n", way.name);
    else
      std::printf("  %-28s %8.1f ms  %6.0f us a file\n", way.name, way.best * 1e3,
                  way.best * 1e6 / static_cast<double>(count));
  return 0;
}
