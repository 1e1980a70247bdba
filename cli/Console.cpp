#include "cli/Console.h"

#ifdef _WIN32
#include "engine/windows/WidePath.h"

#include <io.h>
#include <windows.h>
#else
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

#else

bool IsTerminal(std::FILE *stream) { return ::isatty(::fileno(stream)) != 0; }

bool IsFolder(const std::string &path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::string EraseLine(std::size_t) { return "\033[K"; }

#endif

} // namespace tailsnip::cli
