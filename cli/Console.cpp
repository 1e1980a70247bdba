#include "cli/Console.h"

#include <cstdlib>

#ifdef _WIN32
#include "engine/fs/windows/WidePath.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>
#endif

namespace tailsnip::cli {

#ifdef _WIN32

bool IsTerminal(std::FILE *stream) { return _isatty(_fileno(stream)) != 0; }

namespace {
// The width the terminal behind `stream` tells; 0 where it tells none.
std::size_t ToldWidth(std::FILE *stream) {
  CONSOLE_SCREEN_BUFFER_INFO screen;
  const auto console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  if (!GetConsoleScreenBufferInfo(console, &screen) || screen.srWindow.Right < screen.srWindow.Left)
    return 0;
  return static_cast<std::size_t>(screen.srWindow.Right - screen.srWindow.Left + 1);
}
} // namespace

bool ShowsAsCharacter(char32_t code) { return code > 0x9f && code != 0x2028 && code != 0x2029; }

void WriteText(std::FILE *stream, std::string_view text) {
  const auto console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD mode;
  const int size = static_cast<int>(text.size());
  if (size > 0 && GetConsoleMode(console, &mode)) {
    std::wstring wide(static_cast<std::size_t>(size), L'\0'); // never more than the bytes
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), size);
    DWORD written = 0;
    std::fflush(stream);
    if (length > 0 &&
        WriteConsoleW(console, wide.data(), static_cast<DWORD>(length), &written, nullptr))
      return;
  }
  std::fwrite(text.data(), 1, text.size(), stream);
}

void ReadStandardInputAsBytes() { _setmode(_fileno(stdin), _O_BINARY); }

bool IsFolder(const std::string &path) {
  const DWORD attributes = GetFileAttributesW(ToWidePath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsRootFolder(const std::string &path) {
  const HANDLE folder = CreateFileW(ToWidePath(path).c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE)
    return false;
  // A root is "\" within its volume; room for more tells it apart.
  wchar_t within[4];
  const DWORD length = GetFinalPathNameByHandleW(folder, within, 4, VOLUME_NAME_NONE);
  CloseHandle(folder);
  return length == 1 && within[0] == L'\\';
}

std::string EraseLine(std::size_t width) { return std::string(width, ' ') + '\r'; }

void HoldClosedStandardStreams() {}

void AllowAllOpenFiles() {}

#else

bool IsTerminal(std::FILE *stream) { return ::isatty(::fileno(stream)) != 0; }

namespace {
// The width the terminal behind `stream` tells; 0 where it tells none.
std::size_t ToldWidth(std::FILE *stream) {
  struct winsize size {};
  return ::ioctl(::fileno(stream), TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}
} // namespace

void WriteText(std::FILE *stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
}

bool ShowsAsCharacter(char32_t code) {
  // Asked of the environment without setting the program's own locale,
  // which nothing else should follow. A locale the system lacks is C.
  static const locale_t utf8 = [] {
    const locale_t user = ::newlocale(LC_CTYPE_MASK, "", nullptr);
    if (user != nullptr && std::strcmp(::nl_langinfo_l(CODESET, user), "UTF-8") != 0) {
      ::freelocale(user);
      return locale_t{nullptr};
    }
    return user;
  }();
  return utf8 != nullptr && ::iswprint_l(static_cast<wint_t>(code), utf8) != 0;
}

void ReadStandardInputAsBytes() {}

bool IsFolder(const std::string &path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool IsRootFolder(const std::string &path) {
  struct stat folder, root;
  return ::stat(path.c_str(), &folder) == 0 && ::stat("/", &root) == 0 &&
         folder.st_dev == root.st_dev && folder.st_ino == root.st_ino;
}

std::string EraseLine(std::size_t) { return "\033[K"; }

void HoldClosedStandardStreams() {
  // A handle that only names a folder can be neither read nor written; the
  // lowest free number is the one taken, so they fill in order.
  for (int stream = STDIN_FILENO; stream <= STDERR_FILENO; ++stream)
    if (::fcntl(stream, F_GETFD) == -1 && errno == EBADF &&
        ::open("/", O_PATH | O_DIRECTORY) != stream)
      return;
}

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

std::size_t TerminalWidth(std::FILE *stream) {
  // The usual width, where neither the terminal nor COLUMNS tells one.
  constexpr std::size_t kUsualColumns = 80;
  if (const std::size_t told = ToldWidth(stream))
    return told;
  const char *columns = std::getenv("COLUMNS");
  const long given = columns ? std::strtol(columns, nullptr, 10) : 0;
  return given > 0 ? static_cast<std::size_t>(given) : kUsualColumns;
}

} // namespace tailsnip::cli
