// The 32-bit program's memory while it shortens one large file: writes a
// text file of the given size (600 MiB by default) to the temporary folder,
// shortens it with the engine, and prints the process's peak working set
// and peak private memory. Run under Wine or on Windows:
//   scripts/wine-run build-win/bench/peak-memory.exe [MiB]
#include "engine/trim/TrimFile.h"

#include <windows.h>

#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char **argv) {
  const unsigned long long mebibytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 600;
  char folder[MAX_PATH];
  GetTempPathA(MAX_PATH, folder);
  const std::string path = std::string(folder) + "tailsnip-peak-memory.txt";

  std::FILE *out = std::fopen(path.c_str(), "wb");
  if (!out)
    return 1;
  const std::string line = "a line of text as a log file might hold it, number 0123456789\n";
  for (unsigned long long written = 0; written < mebibytes << 20; written += line.size())
    std::fwrite(line.data(), 1, line.size(), out);
  std::fclose(out);

  SetCurrentDirectoryA(folder);
  tailsnip::TrimBuffer buffer;
  const tailsnip::TrimResult result = tailsnip::TrimFile(path, buffer);
  DeleteFileA(path.c_str());

  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  std::printf("%llu MiB file: %s, read %.1f MiB, wrote %.1f MiB\n", mebibytes,
              result.outcome == tailsnip::Outcome::Shortened
                  ? "shortened"
                  : tailsnip::DescribeReason(result.reason),
              static_cast<double>(result.bytesRead) / (1 << 20),
              static_cast<double>(result.bytesWritten) / (1 << 20));
  std::printf("peak working set %.1f MiB, peak private memory %.1f MiB (target < 64 MiB)\n",
              static_cast<double>(counters.PeakWorkingSetSize) / (1 << 20),
              static_cast<double>(counters.PeakPagefileUsage) / (1 << 20));
  return result.outcome == tailsnip::Outcome::Shortened ? 0 : 1;
}
