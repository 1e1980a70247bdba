// Assertions in the manner of Wine's conformance tests: each check states
// what it expected and what it got, failures do not stop the program, and
// the run ends with a "N passed, N failed" line and a matching exit code.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <string>

namespace wine_test {

inline int passed = 0;
inline int failed = 0;

inline bool report(bool condition, const char *file, int line,
                   const char *format, ...) {
  if (condition) {
    ++passed;
    return true;
  }
  ++failed;
  std::printf("%s:%d: Test failed: ", file, line);
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
  return false;
}

inline int finish() {
  std::printf("%d passed, %d failed\n", passed, failed);
  std::fflush(stdout);
  return failed == 0 ? 0 : 1;
}

// CTest hands over the host's paths; under Wine the host's root is drive Z:.
inline std::wstring windowsPathFromArgument(const char *argument) {
  std::wstring path;
  for (const char *c = argument; *c; ++c)
    path += *c == '/' ? L'\\'
                      : static_cast<wchar_t>(static_cast<unsigned char>(*c));
  if (argument[0] == '/')
    path = L"Z:" + path;
  return path;
}

} // namespace wine_test

#define ok(condition, ...)                                                     \
  wine_test::report((condition), __FILE__, __LINE__, __VA_ARGS__)
