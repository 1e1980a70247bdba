#include "cli/Console.h"

#ifdef _WIN32
#include "engine/fs/windows/WidePath.h"

#include <io.h>
#include <windows.h>
#else
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tailsnip::cli {

#ifdef _WIN32

bool IsTerminal(std::FILE *stream) { return _isatty(_fileno(stream)) != 0; }

bool IsFolder(const std::string &path) {
  const DWORD attributes = GetFileAttributesW(ToWidePath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string EraseLine(std::size_t width) { return std::string(width, ' ') + '\r'; }

void AllowAllOpenFiles() {}

#else

bool IsTerminal(std::FILE *stream) { return ::isatty(::fileno(stream)) != 0; }

bool IsFolder(const std::string &path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::string EraseLine(std::size_t) { return "\033[K"; }

void AllowAllOpenFiles() {
  // The program never uses select(), so descriptors above 1024 are safe.
  // An unlimited hard limit is not a value the kernel takes for the soft one.
  constexpr rlim_t kMost = rlim_t{1} << 20;
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
    return;
  const rlim_t most = limit.rlim_max == RLIM_INFINITY ? kMost : limit.rlim_max;
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < most) {
    limit.rlim_cur = most;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

#endif

} // namespace tailsnip::cli
