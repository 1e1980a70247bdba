// Arbitrary bytes read as a run's journal. The reader must never crash, and
// never find a plan it must not: one whose entries are not all inside the
// folder, whose length is not the count its header gives, or that names no
// process whose copies a resumed run would remove. A plan not found must be
// empty, so that nothing half read is worked through.
#include "engine/stopped/Journal.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

using namespace tailsnip;
namespace stdfs = std::filesystem;

stdfs::path workFolder;
std::string journalPath;

// The folder the plan's entries are joined to; the reader touches none.
const FolderPath kRoot = "/fuzzed/run";

void RemoveWorkFolder() {
  std::error_code ignored;
  stdfs::remove_all(workFolder, ignored);
}

// Aborting is how a fuzz target reports; libFuzzer then keeps the input.
[[noreturn]] void Wrong(const char *what) {
  std::fprintf(stderr, "journal fuzzer: %s\n", what);
  RemoveWorkFolder();
  std::abort();
}

// Inside the folder, and spelled as the walk spells it: no ".", "..", empty
// name or NUL, which normalising the path would show.
bool InsideTheFolder(const FolderPath &entry) {
  return IsWithin(entry, kRoot) && entry.find('\0') == FolderPath::npos &&
         stdfs::path(entry).lexically_normal().string() == entry;
}

void CheckPlan(JournalReader &reader, JournalHeader &header) {
  WorkList list{"left from before"};
  StampList stamps;
  stamps.push_back({});
  if (reader.readPlan(kRoot, header, list, stamps) != JournalState::Found) {
    if (!list.empty() || !stamps.empty())
      Wrong("a plan not found is not empty");
    return;
  }
  if (list.size() != header.entries || stamps.size() != header.entries)
    Wrong("a plan found differs in length from its header's count");
  if (header.processes.empty())
    Wrong("a plan found names no process");
  for (const FolderPath &entry : list)
    if (!InsideTheFolder(entry))
      Wrong("a plan found has an entry outside the folder");
}

} // namespace

// The journal is written where reading it costs least: in memory if possible.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  const stdfs::path parent =
      stdfs::is_directory("/dev/shm") ? stdfs::path("/dev/shm") : stdfs::temp_directory_path();
  workFolder = parent / ("tailsnip-journal-fuzz-" + std::to_string(::getpid()));
  stdfs::create_directories(workFolder);
  journalPath = (workFolder / "fuzzed.journal").string();
  std::atexit(RemoveWorkFolder);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  {
    std::ofstream out(journalPath, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
  }
  JournalReader reader;
  JournalHeader header;
  switch (reader.readHeader(journalPath, header)) {
  case JournalState::Found:
    if (header.folder.empty())
      Wrong("a header found names no folder");
    if (header.trim.lines == 0)
      Wrong("a header found removes no line");
    CheckPlan(reader, header);
    break;
  case JournalState::OtherFormat:
    if (!header.version.empty() || !header.folder.empty())
      Wrong("another format's header was half read");
    break;
  case JournalState::Missing:
    Wrong("the journal written is missing");
  case JournalState::Unreadable:
  case JournalState::Malformed:
    break;
  }
  return 0;
}
