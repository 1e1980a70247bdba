// journal-cost DIR [FOLDER]: what a run's journal costs over the tree at DIR. Lists
// the tree as a run does, then times writing the journal (one stat of each
// entry, one flushed write, a rename and a flush of its folder), reading it
// back as --resume does, and checking every entry against it as a refused
// run or --resume does. Prints the figures; the journal is written to a
// scratch folder in FOLDER (by default beside DIR) and removed.
#include "engine/stopped/Journal.h"
#include "engine/walk/CollectEntries.h"

#include <chrono>
#include <cstdio>
#include <filesystem>

namespace {

using namespace tailsnip;
using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: journal-cost DIR [FOLDER]\n");
    return 2;
  }
  const FolderPath root = argv[1];
  WorkList list;
  std::vector<Failure> failures;
  auto start = Clock::now();
  if (!CollectEntries(root, list, failures))
    return 1;
  const double walk = MillisecondsSince(start);

  const FolderPath folder = (argc == 3 ? JoinPath(argv[2], "") : root) + ".journal-cost";
  const FolderPath path = JoinPath(folder, "run.journal");
  JournalHeader header;
  header.version = "bench";
  header.folder = AbsolutePath(root);
  start = Clock::now();
  if (WriteJournal(path, header, root, list) != fs::FsError::None) {
    std::fprintf(stderr, "journal-cost: cannot write %s\n", path.c_str());
    return 1;
  }
  const double write = MillisecondsSince(start);
  const auto bytes = std::filesystem::file_size(path);

  WorkList plan;
  StampList stamps;
  start = Clock::now();
  if (ReadJournal(path, header, root, &plan, &stamps) != JournalState::Found)
    return 1;
  const double read = MillisecondsSince(start);
  start = Clock::now();
  std::size_t asListed = 0;
  for (std::size_t i = 0; i < plan.size(); ++i) {
    EntryStamp now;
    StampEntry(plan[i], now);
    asListed += now == stamps[i];
  }
  const double check = MillisecondsSince(start);
  std::filesystem::remove_all(folder);

  std::printf("entries %zu (walk %.0f ms)\n", list.size(), walk);
  std::printf("journal %.1f MiB, %.1f bytes an entry\n", static_cast<double>(bytes) / 1048576,
              static_cast<double>(bytes) / static_cast<double>(list.size()));
  std::printf("write, flushed: %.0f ms; read back: %.0f ms; check every entry: %.0f ms "
              "(%zu as listed)\n",
              write, read, check, asListed);
  return 0;
}
