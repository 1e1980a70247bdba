// trim-in-turn DIR: shortens every file under DIR one at a time, as the
// dialog program does and as tailsnip-cli did before it put copies in
// flight: each copy written to "temp.txt" in the current directory, flushed
// on its own and renamed over its entry before the next is read. The
// baseline for what sharing flushes gains. Prints the run's notice.
#include "engine/run/RunTrim.h"

#include <cstdio>

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: trim-in-turn DIR\n");
    return 2;
  }
  tailsnip::RunOptions inTurn;
  inTurn.copiesInFlight = 1;
  const tailsnip::RunReport report = tailsnip::RunTrim(
      argv[1], [](const std::string &notice) { std::printf("%s\n", notice.c_str()); }, inTurn);
  return report.failures.empty() && !report.outOfMemory ? 0 : 1;
}
