// tailsnip-cli FOLDER: one trimming run over FOLDER, for scripts and servers.
//
// Prints the run's notice on standard output. Exit status: 0 when every
// entry was handled, 1 when any entry or folder could not be, 2 on a usage
// error (then nothing is touched).
#include "engine/RunTrim.h"

#include <cstdio>
#include <string>
#include <sys/stat.h>

namespace {

constexpr int kUsageError = 2;

bool IsFolder(const std::string &path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// "dir/" and "dir" name the same folder; entries read better without "//".
std::string WithoutTrailingSeparators(std::string path) {
  while (path.size() > 1 && path.back() == tailsnip::kPathSeparator)
    path.pop_back();
  return path;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2 || argv[1][0] == '\0') {
    std::fprintf(stderr, "usage: tailsnip-cli FOLDER\n");
    return kUsageError;
  }
  const std::string folder = WithoutTrailingSeparators(argv[1]);
  if (!IsFolder(folder)) {
    std::fprintf(stderr, "tailsnip-cli: %s: not an existing folder\n", argv[1]);
    return kUsageError;
  }
  const tailsnip::RunReport report = tailsnip::RunTrim(
      folder, [](const std::string &text) { std::printf("%s\n", text.c_str()); });
  const bool allHandled = report.failures.empty() && !report.outOfMemory;
  return allHandled ? 0 : 1;
}
